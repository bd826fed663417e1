#include "host/WFStrings.h"

#include <glib.h>

#include "platform/base/Value.h"

namespace wharf {

std::string wf_lowercase(std::string_view text) {
    const std::string valid = platform::sanitizeUTF8(text);
    gchar* lowered = g_utf8_strdown(valid.data(), static_cast<gssize>(valid.size()));
    std::string result = lowered ? lowered : "";
    g_free(lowered);
    return result;
}

std::vector<std::string> wf_split(std::string_view text, char separator) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (;;) {
        const auto at = text.find(separator, start);
        pieces.emplace_back(text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
        if (at == std::string_view::npos) return pieces;
        start = at + 1;
    }
}

std::string wf_logExcerpt(std::string_view text) {
    constexpr std::size_t kMost = 200;
    if (text.size() <= kMost) return std::string(text);
    // A character cut in two is not left half in the line.
    std::size_t end = kMost;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    return platform::sanitizeUTF8(text.substr(0, end)) + "... (" + std::to_string(text.size()) + " bytes)";
}

}  // namespace wharf
