#pragma once
// A directory that paths are resolved beneath, opened for one operation:
// every path below it is resolved by the kernel without leaving it (openat2
// with RESOLVE_BENEATH, or a walk a component at a time where the kernel has
// no openat2). A link that stays below the root is followed; one that leads
// out, or an absolute one, is refused with EXDEV, so that what a page names
// never reaches past the root whatever links it finds or someone plants or
// swaps in there meanwhile: whatever is opened is acted on through its
// descriptor, never looked up again by its path.
#include <sys/types.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/FileDescriptor.h"

namespace wharf::platform {

class RootDirectory {
public:
    // Opens the root itself; links in the root's own path are followed.
    explicit RootDirectory(const std::string& root);

    // 0, or the errno of opening the root.
    int error() const { return error_; }

    // Opens `relative` (components separated by "/"; "" is the root itself)
    // below the root with open(2)'s flags. An invalid descriptor with errno
    // set when it fails: EXDEV when the path or a link on it leads out of the
    // root, ELOOP for too many links.
    FileDescriptor open(const std::string& relative, int flags, mode_t mode = 0) const;

    // The directory that holds the last component of `relative`, opened below
    // the root (O_PATH), and that component's name; for changes made to the
    // name itself (mkdirat, unlinkat, renameat), which never follow it.
    // nullopt with errno set when it fails (EINVAL for the root itself).
    struct Parent {
        FileDescriptor directory;
        std::string name;
    };
    std::optional<Parent> parent(const std::string& relative) const;

    // As parent(), once links in the last component are followed (below the
    // root): the directory and name of the entry a change through `relative`
    // reaches, which is no link when it is there at all. Acted on with
    // O_NOFOLLOW, a link swapped in afterwards fails the change instead of
    // leading it elsewhere.
    std::optional<Parent> target(const std::string& relative) const;

    // Resolves by the walk even where the kernel has openat2 (for tests).
    static void setWalkOnly(bool walkOnly);

private:
    FileDescriptor walk(const std::string& relative, int flags, mode_t mode) const;

    FileDescriptor root_;
    int error_ = 0;
};

}  // namespace wharf::platform
