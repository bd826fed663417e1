#pragma once
// Extended attributes (Linux `user.*` namespace).
#include <optional>
#include <string>

namespace wharf::platform::xattr {

enum class Result { Ok, NotFound, Unsupported, Error };

// "Exclude from device backup" marker (freedesktop.org common attribute: the
// value "false" asks backup tools to skip the file).
inline constexpr const char* kExcludeFromBackup = "user.xdg.robots.backup";

Result get(const std::string& path, const std::string& name, std::string* value);
Result set(const std::string& path, const std::string& name, const std::string& value);
Result remove(const std::string& path, const std::string& name);
// By descriptor (for files that may have been renamed or unlinked).
Result fget(int fd, const std::string& name, std::string* value);
Result fset(int fd, const std::string& name, const std::string& value);

// Sets (to "false": do not back up) or removes the backup attribute. Removing
// an absent attribute is Ok. Unsupported where the file system refuses user
// attributes.
Result setExcludedFromBackup(const std::string& path, bool excluded);
bool isExcludedFromBackup(const std::string& path);

}  // namespace wharf::platform::xattr
