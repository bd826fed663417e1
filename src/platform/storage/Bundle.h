#pragma once
// An application bundle: a directory holding Info.plist and resources.
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

namespace wharf::platform {

class Bundle {
public:
    // Loads `<path>/Info.plist` if present (XML or binary). A missing Info.plist
    // gives an empty dictionary; a malformed one an error.
    static std::shared_ptr<Bundle> open(const std::string& path, Error* error = nullptr);

    // The main bundle: set once at start-up (setMainBundle), else the
    // directory of $WHARF_BUNDLE, else the current directory.
    static std::shared_ptr<Bundle> mainBundle();
    static void setMainBundle(std::shared_ptr<Bundle> bundle);

    const std::string& bundlePath() const { return path_; }
    const std::string& resourcePath() const { return path_; }
    const Value& infoDictionary() const { return info_; }
    // Info.plist value or null.
    Value objectForInfoDictionaryKey(const std::string& key) const;
    std::string bundleIdentifier() const;  // CFBundleIdentifier, "" if none

    // The path of `<subdirectory>/<name>.<type>` inside the bundle if that file
    // exists. Refuses (nullopt) any name that would resolve outside the bundle
    // ("..", absolute paths, symlinks leading out).
    std::optional<std::string> pathForResource(const std::string& name, const std::string& type = "",
                                               const std::string& subdirectory = "") const;

private:
    Bundle(std::string path, Value info) : path_(std::move(path)), info_(std::move(info)) {}
    std::string path_;
    Value info_;
};

}  // namespace wharf::platform
