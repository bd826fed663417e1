#pragma once
// The URL of a file or directory the file plug-in serves: "wffile://localhost/"
// then the filesystem's name and the full path inside it; photo-library URLs
// ("assets-library:") belong to the filesystem "assets-library".
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Url.h"

namespace wharf {

inline constexpr const char* kWFFilesystemURLPrefix = "wffile";
inline constexpr const char* kWFAssetsLibraryPrefix = "assets-library";
inline constexpr const char* kWFAssetsLibraryFilesystemName = "assets-library";

class WFFilesystemURL {
public:
    WFFilesystemURL() = default;
    // An unparseable string gives a URL whose three parts are empty.
    static WFFilesystemURL fileSystemURLWithString(std::string_view text);
    static WFFilesystemURL fileSystemURLWithURL(const platform::Url& url);

    static std::optional<std::string> filesystemNameForLocalURI(const platform::Url& url);
    static std::optional<std::string> fullPathForLocalURI(const platform::Url& url);

    // The URL as given.
    const std::optional<platform::Url>& url() const { return url_; }
    const std::optional<std::string>& fileSystemName() const { return fileSystemName_; }
    // "" or a path beginning with "/"; may carry a query ("/a.txt?x=1").
    const std::optional<std::string>& fullPath() const { return fullPath_; }
    // "wffile://localhost/<name><full path>".
    std::string absoluteURL() const;

private:
    std::optional<platform::Url> url_;
    std::optional<std::string> fileSystemName_;
    std::optional<std::string> fullPath_;
};

}  // namespace wharf
