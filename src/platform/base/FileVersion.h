#pragma once
// What tells one version of a file from another: the file itself (device and
// inode), its size and its modification and change times. A file cut short
// or grown, another put in its place, and a file written to all have another
// version (a write that keeps the size, within the grain of the file
// system's clock, only where it keeps fine times, as Linux does since 6.13).
#include <sys/stat.h>

#include <cstdint>
#include <optional>

namespace wharf::platform {

struct FileVersion {
    uint64_t device = 0;
    uint64_t inode = 0;
    uint64_t size = 0;
    int64_t modified = 0;  // nanoseconds since 1970
    int64_t changed = 0;
    bool operator==(const FileVersion&) const = default;
};

inline FileVersion fileVersionOf(const struct stat& st) {
    auto nanoseconds = [](const struct timespec& t) { return int64_t{t.tv_sec} * 1000000000 + t.tv_nsec; };
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<uint64_t>(st.st_size),
            nanoseconds(st.st_mtim), nanoseconds(st.st_ctim)};
}

// The version of an open file; nullopt when it cannot be told.
inline std::optional<FileVersion> fileVersion(int fd) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return std::nullopt;
    return fileVersionOf(st);
}

}  // namespace wharf::platform
