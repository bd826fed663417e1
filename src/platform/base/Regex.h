#pragma once
// Regular expressions over GLib's GRegex (PCRE2). Safe on long input: matching
// is iterative, with a bounded match limit reported as no match plus an error.
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Error.h"

namespace wharf::platform {

class Regex {
public:
    enum Options : unsigned {
        None = 0,
        CaseInsensitive = 1u << 0,
        AnchorsMatchLines = 1u << 1,  // ^ and $ at line breaks
        DotMatchesLineSeparators = 1u << 2,
    };

    static std::optional<Regex> compile(std::string_view pattern, unsigned options = None, Error* error = nullptr);

    // True when the pattern matches somewhere in `text`.
    bool search(std::string_view text) const;
    // True when the pattern matches the whole of `text`.
    bool matchesEntire(std::string_view text) const;
    // The groups of the first match (index 0 = whole match); unset groups are "".
    std::optional<std::vector<std::string>> firstMatch(std::string_view text) const;
    // Every whole match, left to right.
    std::vector<std::string> allMatches(std::string_view text) const;
    // Replaces every match by `replacement` (literal text).
    std::string replaceAll(std::string_view text, std::string_view replacement) const;

    const std::string& pattern() const;

    // Escapes regex metacharacters so the text matches itself.
    static std::string escape(std::string_view text);

private:
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

}  // namespace wharf::platform
