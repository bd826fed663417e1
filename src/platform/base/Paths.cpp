#include "platform/base/Paths.h"

#include <cstdlib>

namespace wharf::platform {

std::optional<std::string> resolvedPath(const std::string& path) {
    char* resolved = ::realpath(path.c_str(), nullptr);
    if (!resolved) return std::nullopt;
    std::string out(resolved);
    std::free(resolved);
    return out;
}

std::vector<std::string> pathComponents(const std::string& path) {
    std::vector<std::string> out;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (!part.empty() && part != ".") out.push_back(std::move(part));
        at = end + 1;
    }
    return out;
}

}  // namespace wharf::platform
