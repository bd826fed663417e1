#include "plugins/file/WFFilesystemURL.h"

#include <cstring>

namespace wharf {

namespace {

bool isLocalFilesystemURL(const platform::Url& url) {
    return url.scheme() == kWFFilesystemURLPrefix && url.host() == "localhost";
}

// The path with escapes undone; a trailing "/" is kept (it tells a directory).
std::string decodedPath(const platform::Url& url) {
    auto decoded = platform::percentDecode(url.encodedPath());
    return decoded ? *decoded : url.encodedPath();
}

}  // namespace

WFFilesystemURL WFFilesystemURL::fileSystemURLWithString(std::string_view text) {
    auto url = platform::Url::parse(text);
    return url ? fileSystemURLWithURL(*url) : WFFilesystemURL();
}

WFFilesystemURL WFFilesystemURL::fileSystemURLWithURL(const platform::Url& url) {
    WFFilesystemURL out;
    out.url_ = url;
    out.fileSystemName_ = filesystemNameForLocalURI(url);
    out.fullPath_ = fullPathForLocalURI(url);
    return out;
}

std::optional<std::string> WFFilesystemURL::filesystemNameForLocalURI(const platform::Url& url) {
    if (url.scheme() == kWFAssetsLibraryPrefix) return std::string(kWFAssetsLibraryFilesystemName);
    if (!isLocalFilesystemURL(url)) return std::nullopt;
    // The first component after the leading "/".
    const std::string path = decodedPath(url);
    if (path.empty() || path.front() != '/') return std::nullopt;
    const std::size_t begin = path.find_first_not_of('/');
    if (begin == std::string::npos) return std::nullopt;
    const std::size_t end = path.find('/', begin);
    return path.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
}

std::optional<std::string> WFFilesystemURL::fullPathForLocalURI(const platform::Url& url) {
    if (url.scheme() == kWFAssetsLibraryPrefix) {
        // From the second "/" after the colon, query included.
        const std::size_t prefix = std::strlen(kWFAssetsLibraryPrefix) + std::strlen(":/");
        const std::string& text = url.absoluteString();
        return text.size() > prefix ? text.substr(prefix) : std::string();
    }
    if (!isLocalFilesystemURL(url)) return std::nullopt;
    std::string path = decodedPath(url);
    if (url.hasQuery()) path += "?" + url.query();
    if (path.size() < 2) return std::string();
    const std::size_t slash = path.find('/', 1);
    return slash == std::string::npos ? std::string() : path.substr(slash);
}

std::string WFFilesystemURL::absoluteURL() const {
    return std::string(kWFFilesystemURLPrefix) + "://localhost/" + fileSystemName_.value_or("") +
           fullPath_.value_or("");
}

}  // namespace wharf
