#pragma once
// Is a URL allowed by a list of access entries such as "https://*/*",
// "tel:*" or "*"? Each entry yields one or two patterns over scheme, host,
// port and path.
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/base/Regex.h"
#include "platform/base/Url.h"

namespace wharf {

class WFWhitelistPattern {
public:
    // Each component may be absent (nullopt), which matches anything; so do a
    // scheme or host of "*" and a path of "/*".
    WFWhitelistPattern(const std::optional<std::string>& scheme, const std::optional<std::string>& host,
                       const std::optional<std::string>& port, const std::optional<std::string>& path);

    // The expression for one component: literal text, "*" a wildcard when
    // allowed, a trailing "/*" also matching without the slash; ends with "$".
    static std::string regexFromPattern(const std::string& pattern, bool allowWildcards);

    bool matches(const platform::Url& url) const;

private:
    std::optional<platform::Regex> scheme_;
    std::optional<platform::Regex> host_;
    // Kept at full width: a port written beyond int's range must match no
    // URL, not the port it would wrap to.
    std::optional<int64_t> port_;
    std::optional<platform::Regex> path_;
    // A component whose expression would not compile (e.g. one too long for
    // the engine) matches nothing, never everything.
    bool unusable_ = false;
};

class WFWhitelist {
public:
    explicit WFWhitelist(const std::vector<std::string>& entries);

    void addWhiteListEntry(const std::string& entry);
    bool schemeIsAllowed(const std::string& scheme) const;
    bool URLIsAllowed(const platform::Url& url) const { return URLIsAllowed(url, true); }
    bool URLIsAllowed(const platform::Url& url, bool logFailure) const;
    std::string errorStringForURL(const platform::Url& url) const;
    bool isIPv4Address(const std::string& text) const;

    // nullopt: every URL is allowed (the entry "*").
    const std::optional<std::vector<WFWhitelistPattern>>& whitelist() const { return whitelist_; }
    // nullopt: any scheme. Schemes are kept lower-cased.
    const std::optional<std::set<std::string>>& permittedSchemes() const { return permittedSchemes_; }
    const std::string& whitelistRejectionFormatString() const { return rejectionFormat_; }

private:
    std::optional<std::vector<WFWhitelistPattern>> whitelist_;
    std::optional<std::set<std::string>> permittedSchemes_;
    std::string rejectionFormat_;
};

}  // namespace wharf
