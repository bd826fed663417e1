#pragma once
// A directory that paths are resolved beneath: every path below it is
// resolved by the kernel without leaving it (openat2 with RESOLVE_BENEATH, or
// a walk a component at a time where the kernel has no openat2). A link that
// stays below the root is followed; one that leads out, or an absolute one,
// is refused with EXDEV, so that what a page names never reaches past the
// root whatever links it finds or someone plants or swaps in there
// meanwhile: whatever is opened is acted on through its descriptor, never
// looked up again by its path.
//
// The root itself is held as the directory its path led to when it was
// opened: a root renamed away and replaced (by a link, or by another
// directory) is never resolved beneath. While its path leads elsewhere, or
// nowhere, every open is refused with EXDEV, as a link out of it is; once
// the path leads back to it, opens work again. A root that was not there at
// start is looked for below the deepest directory of its path that was,
// held from then on, following no link: one made later as a directory is
// opened then; one made as a link is refused with EXDEV, as a root replaced
// by a link is.
//
// Where openat2 is missing, or refused (a seccomp filter answers it with an
// error of its own, as container runtimes do for calls they do not know),
// every path is resolved by the walk: the same answers, a component at a
// time.
#include <sys/types.h>

#include <atomic>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileDescriptor.h"

namespace wharf::platform {

class RootDirectory {
public:
    // Opens the root now; links in the root's own path are followed. A root
    // that is not there yet is opened when it is first found as a directory.
    explicit RootDirectory(std::string root);
    ~RootDirectory();
    RootDirectory(const RootDirectory&) = delete;
    RootDirectory& operator=(const RootDirectory&) = delete;

    const std::string& path() const { return path_; }

    // Opens `relative` (components separated by "/"; "" is the root itself)
    // below the root with open(2)'s flags. An invalid descriptor with errno
    // set when it fails: EXDEV when the path or a link on it leads out of the
    // root, or the root's path no longer leads to the directory held; ELOOP
    // for too many links.
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
    struct Held {
        FileDescriptor directory;
        dev_t device;
        ino_t inode;
    };
    // The directory held, opened now if it was not yet; null with errno set.
    const Held* held() const;
    // The root below the directory held for it at start, no link followed
    // (EXDEV for one); an invalid descriptor with errno set.
    FileDescriptor foundLater() const;
    // Whether the root's path still leads to the directory held.
    bool stillThere(const Held& held) const;
    static FileDescriptor walk(int root, const std::string& relative, int flags, mode_t mode);

    std::string path_;
    mutable std::atomic<const Held*> held_{nullptr};
    // For a root not there at start: the deepest directory of its path that
    // was (none when not even the first was), and the names from there to
    // the root.
    bool missingAtStart_ = false;
    FileDescriptor heldAbove_;
    std::vector<std::string> namesToRoot_;
    // Whether opens are being refused (logged once a spell).
    mutable std::atomic<bool> refusing_{false};
};

}  // namespace wharf::platform
