#pragma once
// Native paths.
#include <optional>
#include <string>
#include <vector>

namespace wharf::platform {

// The absolute path with every link resolved (realpath); nullopt when
// something on the way does not exist or cannot be read.
std::optional<std::string> resolvedPath(const std::string& path);

// The components of a path, without empty and "." ones: "/a//./b/" → a, b.
std::vector<std::string> pathComponents(const std::string& path);

}  // namespace wharf::platform
