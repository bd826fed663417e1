#include "host/WFWhitelist.h"

#include <algorithm>
#include <cstdlib>
#include <string_view>

#include "host/WFStrings.h"
#include "platform/base/Log.h"

namespace wharf {

using platform::Regex;
using platform::Url;

namespace {

constexpr const char* kEntryPattern = "^((\\*|[A-Za-z-]+):/?/?)?(((\\*\\.)?[^*/:]+)|\\*)?(:(\\d+))?(/.*)?";
constexpr const char* kDefaultScheme = "wf-default-scheme";
constexpr std::string_view kMetacharacters = "\\^$.|?*+()[]{}/";

bool isWebScheme(const std::string& scheme) {
    return scheme == "http" || scheme == "https" || scheme == "ftp" || scheme == "ftps";
}

std::optional<Regex> compile(const std::string& pattern, unsigned options) {
    platform::Error error;
    auto regex = Regex::compile(pattern, options, &error);
    if (!regex) {
        // Patterns come from config.xml and may be huge: quote only their start.
        constexpr std::size_t kQuoted = 200;
        platform::log("Whitelist pattern '%.*s%s' does not compile: %s",
                      static_cast<int>(std::min(pattern.size(), kQuoted)), pattern.c_str(),
                      pattern.size() > kQuoted ? "..." : "", error.localizedDescription().c_str());
    }
    return regex;
}

std::optional<std::string> group(const std::vector<std::string>& groups, std::size_t index) {
    // Every group that can take part matches at least one character, so an
    // empty group is one that did not take part.
    if (index >= groups.size() || groups[index].empty()) return std::nullopt;
    return groups[index];
}

}  // namespace

std::string WFWhitelistPattern::regexFromPattern(const std::string& pattern, bool allowWildcards) {
    std::string regex;
    regex.reserve(pattern.size() * 2 + 8);
    for (char c : pattern) {
        if (kMetacharacters.find(c) != std::string_view::npos) regex += '\\';
        regex += c;
    }
    if (allowWildcards) {
        std::string replaced;
        for (std::size_t i = 0; i < regex.size(); ++i) {
            if (regex.compare(i, 2, "\\*") == 0) {
                replaced += ".*";
                ++i;
            } else {
                replaced += regex[i];
            }
        }
        regex = std::move(replaced);
        const std::string_view tail = "\\/.*";
        if (regex.size() >= tail.size() && regex.compare(regex.size() - tail.size(), tail.size(), tail) == 0) {
            regex.resize(regex.size() - tail.size());
            regex += "(\\/.*)?";
        }
    }
    return regex + "$";
}

WFWhitelistPattern::WFWhitelistPattern(const std::optional<std::string>& scheme, const std::optional<std::string>& host,
                                       const std::optional<std::string>& port, const std::optional<std::string>& path) {
    auto component = [this](const std::string& regex, unsigned options) {
        std::optional<Regex> compiled = compile(regex, options);
        if (!compiled) unusable_ = true;
        return compiled;
    };
    if (scheme && *scheme != "*") scheme_ = component(regexFromPattern(*scheme, false), Regex::CaseInsensitive);
    if (host && *host != "*") {
        if (host->starts_with("*."))
            host_ = component("([a-z0-9.-]*\\.)?" + regexFromPattern(host->substr(2), false), Regex::CaseInsensitive);
        else
            host_ = component(regexFromPattern(*host, false), Regex::CaseInsensitive);
    }
    if (port && *port != "*") port_ = platform::stringIntegerValue(*port);
    if (path && *path != "/*") path_ = component(regexFromPattern(*path, true), Regex::None);
}

bool WFWhitelistPattern::matches(const Url& url) const {
    if (unusable_) return false;
    if (scheme_ && !scheme_->matchesEntire(url.scheme())) return false;
    if (host_ && (url.host().empty() || !host_->matchesEntire(url.host()))) return false;
    if (port_ && url.port() != *port_) return false;
    // Matched as the server will resolve it: "/app/../secret" (or with the
    // dots percent-encoded) is not under "/app/*".
    if (path_ && !path_->matchesEntire(platform::removeDotSegments(url.path()))) return false;
    return true;
}

WFWhitelist::WFWhitelist(const std::vector<std::string>& entries)
    : whitelist_(std::vector<WFWhitelistPattern>{}),
      permittedSchemes_(std::set<std::string>{}),
      rejectionFormat_("ERROR whitelist rejection: url='%@'") {
    for (const auto& entry : entries) addWhiteListEntry(entry);
}

void WFWhitelist::addWhiteListEntry(const std::string& entry) {
    if (!whitelist_) return;
    if (entry == "*") {
        platform::log("Unlimited access to network resources");
        whitelist_.reset();
        permittedSchemes_.reset();
        return;
    }
    static const std::optional<Regex> entryPattern = compile(kEntryPattern, Regex::None);
    std::vector<std::string> groups;
    if (entryPattern) {
        if (auto match = entryPattern->firstMatch(entry)) groups = std::move(*match);
    }
    std::optional<std::string> scheme = group(groups, 2);
    std::optional<std::string> host = group(groups, 3);
    std::optional<std::string> port = group(groups, 7);
    std::optional<std::string> path = group(groups, 8);
    if (scheme && (*scheme == "file" || *scheme == "content") && !host) host = "*";
    if (scheme) {
        whitelist_->emplace_back(scheme, host, port, path);
    } else {
        whitelist_->emplace_back(std::string("http"), host, port, path);
        whitelist_->emplace_back(std::string("https"), host, port, path);
    }
    if (permittedSchemes_ && scheme) {
        // Lower-cased: patterns compare schemes case-insensitively and the
        // scheme test looks up the URL's lower-cased scheme.
        if (*scheme == "*")
            permittedSchemes_.reset();
        else
            permittedSchemes_->insert(wf_lowercase(*scheme));
    }
}

bool WFWhitelist::schemeIsAllowed(const std::string& scheme) const {
    if (isWebScheme(scheme)) return true;
    return !permittedSchemes_ || permittedSchemes_->contains(scheme);
}

bool WFWhitelist::URLIsAllowed(const Url& url, bool logFailure) const {
    if (!whitelist_) return true;
    const std::string scheme = wf_lowercase(url.scheme());
    auto reject = [&] {
        if (logFailure) platform::logMessage(errorStringForURL(url));
        return false;
    };
    if (!schemeIsAllowed(scheme)) return reject();
    if (isWebScheme(scheme)) {
        // An entry for "wf-default-scheme" (or "*") admits the host and path
        // under every web scheme.
        const std::string text = std::string(kDefaultScheme) + "://" + url.host() + platform::percentEncode(url.path());
        if (auto defaultSchemeUrl = Url::parse(text); defaultSchemeUrl && URLIsAllowed(*defaultSchemeUrl, false))
            return true;
    }
    for (const auto& pattern : *whitelist_) {
        if (pattern.matches(url)) return true;
    }
    return reject();
}

std::string WFWhitelist::errorStringForURL(const Url& url) const {
    std::string text = rejectionFormat_;
    if (auto at = text.find("%@"); at != std::string::npos) text.replace(at, 2, url.absoluteString());
    return text;
}

bool WFWhitelist::isIPv4Address(const std::string& text) const {
    const std::vector<std::string> components = wf_split(text, '.');
    if (components.size() != 4) return false;
    for (const auto& component : components) {
        if (component == "*") continue;
        if (component.empty() || component.size() > 3 || component.find_first_not_of("0123456789") != std::string::npos)
            return false;
        if (std::stoi(component) > 255) return false;  // one to three digits: always a number
    }
    return true;
}

}  // namespace wharf
