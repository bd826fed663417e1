#include "platform/base/Mime.h"

#include <gio/gio.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>
#include <vector>

namespace wharf::platform::mime {

namespace {

std::string lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string takeGString(gchar* s) {
    std::string out = s ? s : "";
    g_free(s);
    return out;
}

// A MIME type safe to turn into a path below a data directory: "type/subtype".
bool plausibleMimeType(const std::string& m) {
    auto slash = m.find('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 == m.size()) return false;
    if (m.find('/', slash + 1) != std::string::npos || m[0] == '.' || m[slash + 1] == '.') return false;
    return std::all_of(m.begin(), m.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) || c == '/' || c == '.' || c == '+' || c == '-' || c == '_';
    });
}

// The value of attribute `name` inside one XML start tag, or "".
std::string attribute(const std::string& tag, const std::string& name) {
    const std::string key = name + "=\"";
    auto at = tag.find(key);
    while (at != std::string::npos && at > 0 && !std::isspace(static_cast<unsigned char>(tag[at - 1])))
        at = tag.find(key, at + 1);
    if (at == std::string::npos) return {};
    at += key.size();
    auto end = tag.find('"', at);
    return end == std::string::npos ? std::string() : tag.substr(at, end - at);
}

// The preferred extension among the type's "*.ext" globs in its shared-mime-info
// description: the highest weight, the first listed among equals (the
// database keeps its authors' order there, unlike globs2).
std::optional<std::string> extensionFromDatabase(const std::string& mimeType) {
    std::vector<std::string> dirs;
    dirs.emplace_back(g_get_user_data_dir());
    for (const gchar* const* d = g_get_system_data_dirs(); d && *d; ++d) dirs.emplace_back(*d);
    for (const auto& dir : dirs) {
        std::ifstream in(dir + "/mime/" + mimeType + ".xml");
        if (!in) continue;
        std::stringstream ss;
        ss << in.rdbuf();
        const std::string xml = ss.str();
        std::optional<std::string> best;
        int bestWeight = -1;
        for (auto pos = xml.find("<glob "); pos != std::string::npos; pos = xml.find("<glob ", pos + 1)) {
            auto end = xml.find('>', pos);
            if (end == std::string::npos) break;
            const std::string tag = xml.substr(pos, end - pos);
            const std::string pattern = attribute(tag, "pattern");
            if (pattern.size() < 3 || pattern.compare(0, 2, "*.") != 0) continue;
            const std::string ext = pattern.substr(2);
            if (ext.find_first_of("*?[]&<>") != std::string::npos) continue;
            const std::string w = attribute(tag, "weight");
            int weight = 50;  // the default of the format; also for a weight that is no number
            if (!w.empty()) {
                char* end = nullptr;
                const long parsed = std::strtol(w.c_str(), &end, 10);
                if (end != w.c_str() && *end == '\0') weight = static_cast<int>(std::clamp(parsed, 0L, 100L));
            }
            if (weight > bestWeight) {
                bestWeight = weight;
                best = lower(ext);
            }
        }
        return best;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::string> mimeTypeForExtension(const std::string& extension) {
    std::string ext = extension;
    while (!ext.empty() && ext.front() == '.') ext.erase(0, 1);
    if (ext.empty() || ext.find('/') != std::string::npos || ext.find('\0') != std::string::npos) return std::nullopt;
    const std::string fileName = "x." + ext;
    gboolean uncertain = FALSE;
    std::string type = takeGString(g_content_type_guess(fileName.c_str(), nullptr, 0, &uncertain));
    if (type.empty() || g_content_type_is_unknown(type.c_str())) return std::nullopt;
    std::string mime = takeGString(g_content_type_get_mime_type(type.c_str()));
    if (mime.empty() || mime == "application/octet-stream") return std::nullopt;
    return mime;
}

std::optional<std::string> extensionForMimeType(const std::string& mimeType) {
    // "Text/HTML; charset=utf-8" → "text/html"
    std::string m = lower(mimeType.substr(0, mimeType.find(';')));
    m.erase(std::remove_if(m.begin(), m.end(), [](unsigned char c) { return std::isspace(c); }), m.end());
    if (!plausibleMimeType(m)) return std::nullopt;
    // Aliases ("text/javascript") resolve to their canonical type.
    std::string canonical = takeGString(g_content_type_from_mime_type(m.c_str()));
    if (canonical.empty()) canonical = m;
    canonical = takeGString(g_content_type_get_mime_type(canonical.c_str()));
    if (!plausibleMimeType(canonical)) canonical = m;

    struct Cache {
        std::mutex mutex;
        std::map<std::string, std::optional<std::string>> answers;
    };
    static auto* cache = new Cache;  // never destroyed: may be asked during exit
    {
        std::lock_guard lock(cache->mutex);
        auto it = cache->answers.find(canonical);
        if (it != cache->answers.end()) return it->second;
    }
    auto ext = extensionFromDatabase(canonical);
    std::lock_guard lock(cache->mutex);
    if (cache->answers.size() < 1024) cache->answers.emplace(canonical, ext);
    return ext;
}

}  // namespace wharf::platform::mime
