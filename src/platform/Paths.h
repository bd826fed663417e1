#pragma once
// Native paths.
#include <optional>
#include <string>

namespace wharf::platform {

// The absolute path with every link resolved (realpath); nullopt when
// something on the way does not exist or cannot be read.
std::optional<std::string> resolvedPath(const std::string& path);

}  // namespace wharf::platform
