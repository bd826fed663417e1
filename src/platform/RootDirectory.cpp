#include "platform/RootDirectory.h"

#include <fcntl.h>
#include <linux/openat2.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <deque>
#include <iterator>
#include <utility>
#include <vector>

#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/Paths.h"

namespace wharf::platform {

namespace {

// As many links as the kernel follows in one path.
constexpr int kMostLinks = 40;
// openat2 answers EAGAIN when a rename elsewhere raced its check of a "..".
constexpr int kMostRetries = 8;

std::atomic<bool> gWalkOnly{false};
std::atomic<bool> gNoOpenat2{false};

FileDescriptor failed(int err) {
    errno = err;
    return FileDescriptor();
}

std::deque<std::string> componentsOf(const std::string& path) {
    auto parts = pathComponents(path);
    return {std::make_move_iterator(parts.begin()), std::make_move_iterator(parts.end())};
}

std::string withoutLeadingSlashes(const std::string& path) {
    const std::size_t begin = path.find_first_not_of('/');
    return begin == std::string::npos ? std::string() : path.substr(begin);
}

// A path's directory part (what comes before its last component) and its
// last component, leading and trailing "/" aside.
std::pair<std::string, std::string> splitLast(const std::string& relative) {
    const std::string path = withoutLeadingSlashes(relative);
    std::size_t end = path.size();
    while (end > 0 && path[end - 1] == '/') --end;
    const std::size_t slash = path.rfind('/', end == 0 ? 0 : end - 1);
    const std::size_t begin = slash == std::string::npos ? 0 : slash + 1;
    return {path.substr(0, begin), path.substr(begin, end - begin)};
}

// Puts the components of the link `name` in `directory` in front of those
// still to walk. False with errno set when it is no link, one too many, or
// absolute (which would leave the root).
bool followLink(int directory, const std::string& name, std::deque<std::string>& pending, int& links) {
    if (++links > kMostLinks) {
        errno = ELOOP;
        return false;
    }
    std::vector<char> target(PATH_MAX + 1);
    const ssize_t n = ::readlinkat(directory, name.c_str(), target.data(), target.size());
    if (n < 0) {
        if (errno == EINVAL) errno = ELOOP;  // not a link after all: the open's own ELOOP stands
        return false;
    }
    if (n == 0 || static_cast<std::size_t>(n) >= target.size()) {
        errno = n == 0 ? ENOENT : ENAMETOOLONG;
        return false;
    }
    const std::string text(target.data(), static_cast<std::size_t>(n));
    if (text.front() == '/') {
        errno = EXDEV;
        return false;
    }
    auto parts = componentsOf(text);
    pending.insert(pending.begin(), parts.begin(), parts.end());
    return true;
}

// Whether openat2 itself is refused (a seccomp filter answering it with an
// error of its own) rather than what it was asked: it fails for the
// directory itself where a plain openat of that works. errno is kept.
bool openat2Refused(int directory) {
    const int err = errno;
    open_how how{};
    how.flags = O_PATH | O_DIRECTORY | O_CLOEXEC;
    const FileDescriptor itself(static_cast<int>(::syscall(SYS_openat2, directory, ".", &how, sizeof how)));
    const bool refused = !itself && FileDescriptor(::openat(directory, ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    errno = err;
    return refused;
}

}  // namespace

RootDirectory::RootDirectory(std::string root) : path_(std::move(root)) {
    if (held()) return;
    missingAtStart_ = true;
    // Not there yet: it is looked for later below the deepest directory of
    // its path that is there now, so that no link made meanwhile on the rest
    // of the way (the root itself among them) is followed.
    const std::vector<std::string> names = pathComponents(path_);
    for (std::size_t kept = names.size(); kept-- > 0;) {
        std::string above = path_.starts_with('/') ? "/" : ".";
        for (std::size_t i = 0; i < kept; ++i) above += (above.back() == '/' ? "" : "/") + names[i];
        heldAbove_ = FileDescriptor(::open(above.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (heldAbove_) {
            namesToRoot_.assign(names.begin() + static_cast<std::ptrdiff_t>(kept), names.end());
            return;
        }
    }
}

RootDirectory::~RootDirectory() { delete held_.load(); }

const RootDirectory::Held* RootDirectory::held() const {
    if (const Held* root = held_.load(std::memory_order_acquire)) return root;
    // Opened by its path only at start; later, only as found below what was
    // there at start.
    FileDescriptor directory =
        missingAtStart_ ? foundLater() : FileDescriptor(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!directory || ::fstat(directory.get(), &st) != 0) return nullptr;
    auto* opened = new Held{std::move(directory), st.st_dev, st.st_ino};
    const Held* expected = nullptr;
    // Another thread may have found it first: the first one found stays.
    if (held_.compare_exchange_strong(expected, opened, std::memory_order_acq_rel)) return opened;
    delete opened;
    return expected;
}

FileDescriptor RootDirectory::foundLater() const {
    FileDescriptor directory;
    int at = heldAbove_.get();
    if (!heldAbove_) return failed(ENOENT);
    for (const auto& name : namesToRoot_) {
        if (name == "..") return failed(EXDEV);  // never above what was held
        FileDescriptor next(::openat(at, name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        struct stat st {};
        if (!next || ::fstat(next.get(), &st) != 0) return FileDescriptor();
        if (!S_ISDIR(st.st_mode)) {
            if (S_ISLNK(st.st_mode) && !refusing_.exchange(true, std::memory_order_relaxed))
                log("%s was not there at start and is now reached through a link: nothing below it is reached "
                    "until it is a directory",
                    path_.c_str());
            return failed(S_ISLNK(st.st_mode) ? EXDEV : ENOTDIR);
        }
        directory = std::move(next);
        at = directory.get();
    }
    return directory;
}

bool RootDirectory::stillThere(const Held& held) const {
    const FileDescriptor now(::open(path_.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    const bool there = now && ::fstat(now.get(), &st) == 0 && st.st_dev == held.device && st.st_ino == held.inode;
    if (there) {
        refusing_.store(false, std::memory_order_relaxed);
    } else if (!refusing_.exchange(true, std::memory_order_relaxed)) {
        log("%s no longer leads to the directory it named when it was opened: nothing below it is reached until it "
            "does again",
            path_.c_str());
    }
    return there;
}

void RootDirectory::setWalkOnly(bool walkOnly) { gWalkOnly = walkOnly; }

FileDescriptor RootDirectory::open(const std::string& relative, int flags, mode_t mode) const {
    const Held* root = held();
    if (!root) return FileDescriptor();
    // Whatever took the root's name is never resolved beneath. What was
    // checked here is what is opened beneath: the directory held, even when
    // it is renamed away the moment after.
    if (!stillThere(*root)) return failed(EXDEV);
    const std::string path = withoutLeadingSlashes(relative);
    if (gWalkOnly || gNoOpenat2) return walk(root->directory.get(), path, flags, mode);
    open_how how{};
    how.flags = static_cast<uint64_t>(flags | O_CLOEXEC);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < kMostRetries; ++attempt) {
        const long fd =
            ::syscall(SYS_openat2, root->directory.get(), path.empty() ? "." : path.c_str(), &how, sizeof how);
        if (fd >= 0) return FileDescriptor(static_cast<int>(fd));
        if (errno == EAGAIN || errno == EINTR) continue;
        if (errno != ENOSYS && !openat2Refused(root->directory.get())) return FileDescriptor();
        if (!gNoOpenat2.exchange(true))
            log("openat2 is refused here (%s): paths below roots are resolved a component at a time",
                errnoText(errno).c_str());
        return walk(root->directory.get(), path, flags, mode);
    }
    return FileDescriptor();
}

// Opens each directory on the way with O_NOFOLLOW and follows the links it
// meets by hand, keeping the directories walked so that ".." never climbs
// above the root.
FileDescriptor RootDirectory::walk(int root, const std::string& relative, int flags, mode_t mode) {
    std::vector<FileDescriptor> directories;
    directories.emplace_back(::fcntl(root, F_DUPFD_CLOEXEC, 0));
    if (!directories.back()) return FileDescriptor();
    auto top = [&] { return directories.back().get(); };
    std::deque<std::string> pending = componentsOf(relative);
    int links = 0;
    while (!pending.empty()) {
        const std::string name = std::move(pending.front());
        pending.pop_front();
        if (name == "..") {
            if (directories.size() == 1) return failed(EXDEV);
            directories.pop_back();
            continue;
        }
        if (!pending.empty()) {
            FileDescriptor next(::openat(top(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
            struct stat st {};
            if (!next || ::fstat(next.get(), &st) != 0) return FileDescriptor();
            if (S_ISLNK(st.st_mode)) {
                if (!followLink(top(), name, pending, links)) return FileDescriptor();
            } else if (!S_ISDIR(st.st_mode)) {
                return failed(ENOTDIR);
            } else {
                directories.push_back(std::move(next));
            }
            continue;
        }
        // The last component: opened as asked, unless it is a link to follow
        // (an exclusive create never follows one: it finds the name taken).
        const bool follow = !(flags & O_NOFOLLOW) && (flags & (O_CREAT | O_EXCL)) != (O_CREAT | O_EXCL);
        struct stat st {};
        if (follow && ::fstatat(top(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode)) {
            if (!followLink(top(), name, pending, links)) return FileDescriptor();
            continue;
        }
        FileDescriptor fd(::openat(top(), name.c_str(), flags | O_NOFOLLOW | O_CLOEXEC, mode));
        int err = errno;
        if (fd) {
            if (!(flags & O_PATH) || !follow) return fd;
            if (::fstat(fd.get(), &st) != 0) return FileDescriptor();
            if (!S_ISLNK(st.st_mode)) return fd;
            err = ELOOP;  // it became a link meanwhile
        }
        if (err != ELOOP || !follow) return failed(err);
        if (!followLink(top(), name, pending, links)) return FileDescriptor();
    }
    // The walk ended on a directory: the root, or one that ".." or a link led to.
    return FileDescriptor(::openat(top(), ".", flags | O_CLOEXEC, mode));
}

std::optional<RootDirectory::Parent> RootDirectory::parent(const std::string& relative) const {
    auto [directoryPath, name] = splitLast(relative);
    if (name.empty() || name == "." || name == "..") {
        errno = EINVAL;
        return std::nullopt;
    }
    FileDescriptor directory = open(directoryPath, O_PATH | O_DIRECTORY);
    if (!directory) return std::nullopt;
    return Parent{std::move(directory), std::move(name)};
}

std::optional<RootDirectory::Parent> RootDirectory::target(const std::string& relative) const {
    std::string path = relative;
    int links = 0;
    for (;;) {
        auto found = parent(path);
        if (!found) return std::nullopt;
        struct stat st {};
        if (::fstatat(found->directory.get(), found->name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode))
            return found;
        // The link's target, named from the root by way of the directory
        // that holds the link; resolved again, from the root, in full.
        std::deque<std::string> pending;
        if (!followLink(found->directory.get(), found->name, pending, links)) return std::nullopt;
        path = splitLast(path).first;
        for (const auto& part : pending) path += "/" + part;
    }
}

}  // namespace wharf::platform
