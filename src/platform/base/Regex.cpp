#include "platform/base/Regex.h"

#include <cctype>
#include <mutex>

#include <glib.h>

#include "platform/base/Log.h"
#include "platform/base/Value.h"

namespace wharf::platform {

namespace {

constexpr const char* kErrorDomain = "Regex";

// PCRE2 works from the heap, so long input cannot overflow the stack; this
// bounds the backtracking of one match attempt (catastrophic patterns stop
// here instead of running for minutes).
constexpr const char* kLimitPrefix = "(*LIMIT_MATCH=10000000)";

struct RegexDeleter {
    void operator()(GRegex* r) const {
        if (r) g_regex_unref(r);
    }
};
using RegexPtr = std::unique_ptr<GRegex, RegexDeleter>;

struct MatchInfoDeleter {
    void operator()(GMatchInfo* m) const { g_match_info_free(m); }
};
using MatchInfoPtr = std::unique_ptr<GMatchInfo, MatchInfoDeleter>;

GRegexCompileFlags compileFlags(unsigned options, bool raw) {
    unsigned f = 0;
    if (options & Regex::CaseInsensitive) f |= G_REGEX_CASELESS;
    if (options & Regex::AnchorsMatchLines) f |= G_REGEX_MULTILINE;
    if (options & Regex::DotMatchesLineSeparators) f |= G_REGEX_DOTALL;
    if (raw) f |= G_REGEX_RAW;
    return static_cast<GRegexCompileFlags>(f);
}

RegexPtr compileRaw(const std::string& pattern, GRegexCompileFlags flags, GError** error) {
    return RegexPtr(g_regex_new(pattern.c_str(), flags, static_cast<GRegexMatchFlags>(0), error));
}

}  // namespace

struct Regex::Impl {
    std::string pattern;
    unsigned options = 0;
    // [0] UTF-8 mode, [1] byte mode for text that is not valid UTF-8 (or is ASCII).
    struct Variant {
        std::once_flag once;
        RegexPtr search;  // the pattern as given
        RegexPtr whole;  // \A(?:pattern)\z, null if that does not compile
    } variants[2];

    // GLib validates the UTF-8 of the rest of the subject again for every next
    // match, so finding many matches in a long text is quadratic in UTF-8 mode.
    // ASCII text and an ASCII pattern read the same in byte mode, which has no
    // such check; a pattern byte mode cannot compile stays in UTF-8 mode.
    Variant& variantFor(std::string_view text) {
        if (!isValidUTF8(text)) return compiled(true);
        if (isAscii(text) && isAscii(pattern)) {
            Variant& bytes = compiled(true);
            if (bytes.search) return bytes;
        }
        return compiled(false);
    }

    static bool isAscii(std::string_view s) {
        for (const char c : s)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    }

    Variant& compiled(bool byteMode) {
        Variant& v = byteMode ? variants[1] : variants[0];
        std::call_once(v.once, [&] {
            const auto flags = compileFlags(options, byteMode);
            if (!v.search) v.search = compileRaw(kLimitPrefix + pattern, flags, nullptr);
            if (!v.search) v.search = compileRaw(pattern, flags, nullptr);
            std::string whole = kLimitPrefix;
            whole.append("\\A(?:").append(pattern).append(")\\z");
            v.whole = compileRaw(whole, flags, nullptr);
        });
        return v;
    }

    // Runs a match; a failure of the engine (the backtracking limit, bad
    // input) counts as no match and is logged.
    MatchInfoPtr match(GRegex* re, std::string_view text, GRegexMatchFlags flags = static_cast<GRegexMatchFlags>(0)) {
        GMatchInfo* info = nullptr;
        GError* error = nullptr;
        const char* data = text.empty() ? "" : text.data();
        g_regex_match_full(re, data, static_cast<gssize>(text.size()), 0, flags, &info, &error);
        if (error) {
            log("Regex: matching /%s/ abandoned: %s", pattern.c_str(), error->message);
            g_error_free(error);
            g_match_info_free(info);
            return nullptr;
        }
        return MatchInfoPtr(info);
    }

    // Calls `each(start, end)` for every whole match left to right; false if
    // the engine gave up part way.
    template <typename F>
    bool forEachMatch(std::string_view text, F each) {
        Variant& v = variantFor(text);
        if (!v.search) return false;
        auto info = match(v.search.get(), text);
        if (!info) return false;
        while (g_match_info_matches(info.get())) {
            int start = -1, end = -1;
            g_match_info_fetch_pos(info.get(), 0, &start, &end);
            each(start, end);
            GError* error = nullptr;
            g_match_info_next(info.get(), &error);
            if (error) {
                log("Regex: matching /%s/ abandoned: %s", pattern.c_str(), error->message);
                g_error_free(error);
                return false;
            }
        }
        return true;
    }
};

std::optional<Regex> Regex::compile(std::string_view pattern, unsigned options, Error* error) {
    const std::string text(pattern);
    if (text.find('\0') != std::string::npos) {
        setError(error,
                 Error::withDescription(kErrorDomain, G_REGEX_ERROR_COMPILE, "The pattern contains a NUL character."));
        return std::nullopt;
    }
    // PCRE2 is told the pattern is valid UTF-8 and crashes on one that is not.
    if (!isValidUTF8(text)) {
        setError(error, Error::withDescription(kErrorDomain, G_REGEX_ERROR_COMPILE, "The pattern is not valid UTF-8."));
        return std::nullopt;
    }
    // Compile as given first, so that a fault is reported at its own offset.
    GError* gerror = nullptr;
    RegexPtr plain = compileRaw(text, compileFlags(options, false), &gerror);
    if (!plain) {
        setError(error, Error::withDescription(kErrorDomain, gerror ? gerror->code : G_REGEX_ERROR_COMPILE,
                                               gerror ? gerror->message : "The pattern is invalid."));
        if (gerror) g_error_free(gerror);
        return std::nullopt;
    }
    Regex r;
    r.impl_ = std::make_shared<Impl>();
    r.impl_->pattern = text;
    r.impl_->options = options;
    r.impl_->variants[0].search = compileRaw(kLimitPrefix + text, compileFlags(options, false), nullptr);
    if (!r.impl_->variants[0].search) r.impl_->variants[0].search = std::move(plain);
    return r;
}

bool Regex::search(std::string_view text) const {
    if (!impl_) return false;
    auto& v = impl_->variantFor(text);
    if (!v.search) return false;
    auto info = impl_->match(v.search.get(), text);
    return info && g_match_info_matches(info.get());
}

bool Regex::matchesEntire(std::string_view text) const {
    if (!impl_) return false;
    auto& v = impl_->variantFor(text);
    if (v.whole) {
        auto info = impl_->match(v.whole.get(), text);
        return info && g_match_info_matches(info.get());
    }
    // The pattern cannot be wrapped (it starts with a verb, say): an anchored
    // match that happens to reach the end will do.
    if (!v.search) return false;
    auto info = impl_->match(v.search.get(), text, G_REGEX_MATCH_ANCHORED);
    if (!info || !g_match_info_matches(info.get())) return false;
    int start = -1, end = -1;
    g_match_info_fetch_pos(info.get(), 0, &start, &end);
    return start == 0 && end == static_cast<int>(text.size());
}

std::optional<std::vector<std::string>> Regex::firstMatch(std::string_view text) const {
    if (!impl_) return std::nullopt;
    auto& v = impl_->variantFor(text);
    if (!v.search) return std::nullopt;
    auto info = impl_->match(v.search.get(), text);
    if (!info || !g_match_info_matches(info.get())) return std::nullopt;
    const int groups = g_regex_get_capture_count(v.search.get());
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(groups) + 1);
    for (int i = 0; i <= groups; ++i) {
        int start = -1, end = -1;
        if (g_match_info_fetch_pos(info.get(), i, &start, &end) && start >= 0 && end >= start)
            out.emplace_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
        else
            out.emplace_back();
    }
    return out;
}

std::vector<std::string> Regex::allMatches(std::string_view text) const {
    std::vector<std::string> out;
    if (!impl_) return out;
    impl_->forEachMatch(text, [&](int start, int end) {
        out.emplace_back(text.substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start)));
    });
    return out;
}

std::string Regex::replaceAll(std::string_view text, std::string_view replacement) const {
    if (!impl_) return std::string(text);
    std::string out;
    std::size_t copied = 0;
    const bool complete = impl_->forEachMatch(text, [&](int start, int end) {
        out.append(text.substr(copied, static_cast<std::size_t>(start) - copied));
        out.append(replacement);
        copied = static_cast<std::size_t>(end);
    });
    // Half-replaced text would be worse than none.
    if (!complete) return std::string(text);
    out.append(text.substr(copied));
    return out;
}

const std::string& Regex::pattern() const {
    static const std::string empty;
    return impl_ ? impl_->pattern : empty;
}

std::string Regex::escape(std::string_view text) {
    std::string out;
    out.reserve(text.size() * 2);
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c == 0) {
            out += "\\x00";
        } else if (c >= 0x80 || std::isalnum(c)) {
            out += ch;
        } else {
            // A backslash before any other ASCII character makes it literal.
            out += '\\';
            out += ch;
        }
    }
    return out;
}

}  // namespace wharf::platform
