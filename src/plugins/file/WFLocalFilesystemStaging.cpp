#include "plugins/file/WFLocalFilesystemStaging.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <random>

#include "platform/base/FileDescriptor.h"

namespace wharf::staging {

namespace {

using WFFd = platform::FileDescriptor;

// Copies a file, a link or a directory tree to `to`, which must not exist.
// Links are copied as links; sockets, pipes and devices are not copied
// (reading one could block).
std::optional<CopyFailure> copyTree(const At& from, const At& to) {
    struct stat st {};
    if (::fstatat(from.directory, from.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return CopyFailure{true, errno};
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = ::readlinkat(from.directory, from.name.c_str(), target.data(), target.size());
        if (n < 0) return CopyFailure{true, errno};
        if (::symlinkat(std::string(target.data(), static_cast<std::size_t>(n)).c_str(), to.directory,
                        to.name.c_str()) != 0)
            return CopyFailure{false, errno};
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        WFFd source(::openat(from.directory, from.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!source) return CopyFailure{true, errno};
        if (::mkdirat(to.directory, to.name.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0)
            return CopyFailure{false, errno};
        WFFd target(::openat(to.directory, to.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!target) return CopyFailure{false, errno};
        auto names = listDirectory(source.get());
        if (!names) return CopyFailure{true, errno};
        for (const auto& name : *names)
            if (auto failure = copyTree({source.get(), name}, {target.get(), name})) return failure;
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode)) return copyFile(from, to, st.st_mode);
    return CopyFailure{true, ENODEV};
}

// A short hidden name for building a copy beside its place: any name the
// page may use still fits beside it (names end at 255 bytes).
std::string stagingName() {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    char name[32];
    std::snprintf(name, sizeof name, "%s%0*llx", kStagingPrefix.data(), static_cast<int>(kStagingDigits),
                  static_cast<unsigned long long>(random()));
    return name;
}

// Renames into place; unless `replace`, never over something that is there
// by then (another copy to the same name may have finished meanwhile).
int renameIntoPlace(int directory, const std::string& from, const std::string& to, bool replace) {
    if (!replace) {
        if (::renameat2(directory, from.c_str(), directory, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL) return errno;  // EINVAL: a file system without RENAME_NOREPLACE
    }
    return ::renameat(directory, from.c_str(), directory, to.c_str()) == 0 ? 0 : errno;
}

// Puts the entry `copy` of `directory` in the place of `name`; what was there
// (a file or an empty directory) is kept under a staging name, `previous`,
// for the caller to remove or to put back. 0 or errno (nothing changed).
int takePlace(int directory, const std::string& copy, const std::string& name, std::optional<std::string>& previous) {
    if (::renameat2(directory, copy.c_str(), directory, name.c_str(), RENAME_EXCHANGE) == 0) {
        previous = copy;
        return 0;
    }
    if (errno == EINVAL) {  // a file system that cannot exchange: what is there steps aside first
        std::string aside = stagingName();
        if (::renameat(directory, name.c_str(), directory, aside.c_str()) == 0)
            previous = std::move(aside);
        else if (errno != ENOENT)
            return errno;
    } else if (errno != ENOENT) {
        return errno;
    }
    if (int err = renameIntoPlace(directory, copy, name, false)) {
        if (previous) (void)::renameat(directory, previous->c_str(), directory, name.c_str());
        previous.reset();
        return err;
    }
    return 0;
}

// Undoes takePlace(): the copy goes, and what was there comes back.
void giveBackPlace(int directory, const std::string& name, const std::optional<std::string>& previous) {
    const std::string copy = stagingName();
    if (::renameat(directory, name.c_str(), directory, copy.c_str()) != 0) return;
    if (previous) (void)::renameat(directory, previous->c_str(), directory, name.c_str());
    removeTree(directory, copy);
}

// Puts back into `into` what a removal took from it, from a copy of it.
void restoreFrom(const At& copy, const At& into) {
    struct stat st {};
    if (::fstatat(into.directory, into.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        copyTree(copy, into);
        return;
    }
    if (!S_ISDIR(st.st_mode)) return;  // still there as it was
    WFFd source(::openat(copy.directory, copy.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    WFFd target(::openat(into.directory, into.name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    auto names = source ? listDirectory(source.get()) : std::nullopt;
    if (!target || !names) return;
    for (const auto& name : *names) restoreFrom({source.get(), name}, {target.get(), name});
}

}  // namespace

std::optional<std::vector<std::string>> listDirectory(int directory) {
    const int copy = ::openat(directory, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* dir = copy < 0 ? nullptr : ::fdopendir(copy);
    if (!dir) {
        const int err = errno;
        if (copy >= 0) ::close(copy);
        errno = err;
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

bool directoryIsEmpty(int parent, const std::string& name) {
    WFFd directory(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!directory) return false;
    auto names = listDirectory(directory.get());
    return names && names->empty();
}

int removeTree(int parent, const std::string& name, const WFDirectoryIdentity& kept) {
    struct stat st {};
    if (::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return errno;
    if (S_ISDIR(st.st_mode)) {
        WFFd directory(::openat(parent, name.c_str(), O_PATH | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!directory || ::fstat(directory.get(), &st) != 0) return errno;
        // Asked of the directory opened, whatever is renamed meanwhile.
        if (kept && st.st_dev == kept->first && st.st_ino == kept->second) return EROFS;
        auto names = listDirectory(directory.get());
        if (!names) return errno;
        for (const auto& child : *names)
            if (int err = removeTree(directory.get(), child, kept)) return err;
        return ::unlinkat(parent, name.c_str(), AT_REMOVEDIR) == 0 ? 0 : errno;
    }
    return ::unlinkat(parent, name.c_str(), 0) == 0 ? 0 : errno;
}

int writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

std::optional<CopyFailure> copyInto(int in, const At& to, mode_t mode) {
    const int out =
        ::openat(to.directory, to.name.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode & 0777);
    if (out < 0) return CopyFailure{false, errno};
    std::optional<CopyFailure> failure;
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = CopyFailure{true, errno};
            break;
        }
        if (n == 0) break;
        if (int err = writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            failure = CopyFailure{false, err};
            break;
        }
    }
    if (::close(out) != 0 && !failure) failure = CopyFailure{false, errno};
    return failure;
}

std::optional<CopyFailure> copyFile(const At& from, const At& to, mode_t mode) {
    WFFd in(::openat(from.directory, from.name.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    if (!in) return CopyFailure{true, errno};
    return copyInto(in.get(), to, mode);
}

void sweepStaging(int directory, dev_t device, std::set<std::pair<dev_t, ino_t>>& seen, std::size_t& budget,
                  int depth) {
    struct stat st {};
    if (depth > kSweepDepth || ::fstat(directory, &st) != 0 || !seen.insert({st.st_dev, st.st_ino}).second) return;
    auto names = listDirectory(directory);
    if (!names) return;
    for (const auto& name : *names) {
        if (budget == 0) return;
        --budget;
        if (WFLocalFilesystem::isStagingName(name)) {
            removeTree(directory, name);
        } else if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode) &&
                   st.st_dev == device) {
            WFFd child(::openat(directory, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (child) sweepStaging(child.get(), device, seen, budget, depth + 1);
        }
    }
}

std::optional<CopyFailure> copyIntoPlace(const At& from, const At& to) {
    const At staging{to.directory, stagingName()};
    auto failure = copyTree(from, staging);
    if (!failure) {
        if (int err = renameIntoPlace(to.directory, staging.name, to.name, false)) failure = CopyFailure{false, err};
    }
    if (failure) removeTree(staging.directory, staging.name);
    return failure;
}

std::optional<CopyFailure> copyAtomically(int in, const At& to) {
    const At staging{to.directory, stagingName()};
    auto failure = copyInto(in, staging, 0666);
    if (!failure && ::renameat(to.directory, staging.name.c_str(), to.directory, to.name.c_str()) != 0)
        failure = CopyFailure{false, errno};
    if (failure) ::unlinkat(to.directory, staging.name.c_str(), 0);
    return failure;
}

int writeAtomically(const At& to, const platform::Bytes& data) {
    const std::string staging = stagingName();
    const int fd = ::openat(to.directory, staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int err = writeAll(fd, data.data(), data.size());
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::renameat(to.directory, staging.c_str(), to.directory, to.name.c_str()) != 0) err = errno;
    if (err) ::unlinkat(to.directory, staging.c_str(), 0);
    return err;
}

std::optional<CopyFailure> moveAcrossDevices(const At& from, const At& to, const WFDirectoryIdentity& kept) {
    const At copied{to.directory, stagingName()};
    if (auto failure = copyTree(from, copied)) {
        removeTree(copied.directory, copied.name);
        return failure;
    }
    std::optional<std::string> previous;
    if (int err = takePlace(to.directory, copied.name, to.name, previous)) {
        removeTree(copied.directory, copied.name);
        return CopyFailure{false, err};
    }
    const std::string aside = stagingName();
    int err = renameIntoPlace(from.directory, from.name, aside, false);
    if (!err && (err = removeTree(from.directory, aside, kept))) {
        restoreFrom({to.directory, to.name}, {from.directory, aside});
        (void)::renameat(from.directory, aside.c_str(), from.directory, from.name.c_str());
    }
    if (err) {
        giveBackPlace(to.directory, to.name, previous);
        return CopyFailure{false, err, true};
    }
    if (previous) removeTree(to.directory, *previous);
    return std::nullopt;
}

}  // namespace wharf::staging
