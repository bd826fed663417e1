#include "platform/storage/Xattr.h"

#include <errno.h>
#include <sys/xattr.h>

#include <functional>

namespace wharf::platform::xattr {

namespace {

Result fromErrno(int err) {
    switch (err) {
    case ENODATA: return Result::NotFound;
    case ENOTSUP:
#if EOPNOTSUPP != ENOTSUP
    case EOPNOTSUPP:
#endif
    case EPERM:  // some file systems refuse the user namespace this way
        return Result::Unsupported;
    default: return Result::Error;
    }
}

// Reads an attribute whose size may change between the size query and the read.
Result readValue(const std::function<ssize_t(void*, size_t)>& read, std::string* value) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        ssize_t size = read(nullptr, 0);
        if (size < 0) return fromErrno(errno);
        std::string buf(static_cast<size_t>(size), '\0');
        ssize_t n = size == 0 ? 0 : read(buf.data(), buf.size());
        if (n < 0) {
            if (errno == ERANGE) continue;  // grew meanwhile
            return fromErrno(errno);
        }
        buf.resize(static_cast<size_t>(n));
        if (value) *value = std::move(buf);
        return Result::Ok;
    }
    return Result::Error;
}

}  // namespace

Result get(const std::string& path, const std::string& name, std::string* value) {
    return readValue([&](void* buf, size_t size) { return ::getxattr(path.c_str(), name.c_str(), buf, size); }, value);
}

Result set(const std::string& path, const std::string& name, const std::string& value) {
    if (::setxattr(path.c_str(), name.c_str(), value.data(), value.size(), 0) != 0) return fromErrno(errno);
    return Result::Ok;
}

Result remove(const std::string& path, const std::string& name) {
    if (::removexattr(path.c_str(), name.c_str()) != 0) return fromErrno(errno);
    return Result::Ok;
}

Result fget(int fd, const std::string& name, std::string* value) {
    return readValue([&](void* buf, size_t size) { return ::fgetxattr(fd, name.c_str(), buf, size); }, value);
}

Result fset(int fd, const std::string& name, const std::string& value) {
    if (::fsetxattr(fd, name.c_str(), value.data(), value.size(), 0) != 0) return fromErrno(errno);
    return Result::Ok;
}

Result setExcludedFromBackup(const std::string& path, bool excluded) {
    if (excluded) return set(path, kExcludeFromBackup, "false");
    Result r = remove(path, kExcludeFromBackup);
    return r == Result::NotFound ? Result::Ok : r;
}

bool isExcludedFromBackup(const std::string& path) {
    std::string value;
    return get(path, kExcludeFromBackup, &value) == Result::Ok && value == "false";
}

}  // namespace wharf::platform::xattr
