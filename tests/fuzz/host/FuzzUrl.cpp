// URLs and the access whitelist. The input is access entries, one a line, then
// a line "--", then URLs, one a line. Parsing is stable (a parsed URL's text
// parses to the same text), percent coding round-trips, and a web URL on a
// plain host is allowed by the entry naming its scheme and host.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "host/WFWhitelist.h"
#include "platform/base/Url.h"

using namespace wharf;
using platform::Url;

namespace {

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    while (!text.empty()) {
        auto [line, rest] = fuzz::splitAt(text, "\n");
        out.emplace_back(line);
        if (rest.empty() && line.size() == text.size()) break;
        text = rest;
    }
    return out;
}

bool plainHost(const std::string& host) {
    if (host.empty()) return false;
    for (char c : host)
        if (!((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-')) return false;
    return true;
}

void checkUrl(const std::string& text, const WFWhitelist& whitelist, const std::optional<Url>& base) {
    const std::string encoded = platform::percentEncode(text);
    FUZZ_CHECK(platform::percentDecode(encoded) == text);
    (void)platform::percentEncode(text, platform::kQueryAllowedCharacters);
    (void)platform::percentDecode(text);

    if (base) (void)Url::resolve(*base, text);
    auto url = Url::parse(text);
    if (!url) return;
    auto again = Url::parse(url->absoluteString());
    FUZZ_CHECK(again && again->absoluteString() == url->absoluteString());
    (void)url->path();
    (void)url->withoutFragment();

    (void)whitelist.URLIsAllowed(*url, false);
    (void)whitelist.schemeIsAllowed(url->scheme());
    (void)whitelist.errorStringForURL(*url);

    if ((url->scheme() == "http" || url->scheme() == "https") && url->port() == -1 && plainHost(url->host())) {
        WFWhitelist own({url->scheme() + "://" + url->host() + "/*"});
        FUZZ_CHECK(own.URLIsAllowed(*url, false));
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    auto [entryText, urlText] = fuzz::splitAt(input, "\n--\n");
    const WFWhitelist whitelist(lines(entryText));
    std::optional<Url> base;
    for (const auto& text : lines(urlText)) {
        checkUrl(text, whitelist, base);
        if (!base) base = Url::parse(text);
    }
    return 0;
}
