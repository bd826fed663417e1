#pragma once
// How a local filesystem changes files whole or not at all: a copy or a write
// is built beside its place under a hidden staging name and renamed into it,
// a move to another device keeps a whole copy in one of its two places at
// every moment, and what a process that ended midway left is swept at the
// next start. All of it works on open directories and names in them, links
// never followed, so that a path renamed meanwhile cannot lead it elsewhere.
#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/Value.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf::staging {

// The names in an open directory (without "." and ".."), sorted; nullopt
// when it cannot be listed. The descriptor stays the caller's.
std::optional<std::vector<std::string>> listDirectory(int directory);

// False when the directory `name` in `parent` holds anything, cannot be read
// or is no directory (a link is not followed).
bool directoryIsEmpty(int parent, const std::string& name);

// Removes the file, link or directory tree `name` in `parent` (links are
// removed, never followed). The directory `kept` (device and inode: the
// read-only one) is never entered: EROFS. 0 or the first errno.
int removeTree(int parent, const std::string& name, const WFDirectoryIdentity& kept = std::nullopt);

// Writes every byte (a short write is continued, EINTR retried). 0 or errno.
int writeAll(int fd, const uint8_t* data, std::size_t size);

// A copy that failed while reading its source or while writing its target.
struct CopyFailure {
    bool reading;
    int err;
    // A move's source could not be removed (the copy was taken back).
    bool removing = false;
};

// A place in a directory: the directory's descriptor and a name in it.
struct At {
    int directory;
    std::string name;
};

// Copies what `in` holds from where it stands into a new file `to`.
std::optional<CopyFailure> copyInto(int in, const At& to, mode_t mode);

// Copies the regular file `from` (a link is not followed) into a new file `to`.
std::optional<CopyFailure> copyFile(const At& from, const At& to, mode_t mode);

constexpr std::string_view kStagingPrefix = ".wharf-";
constexpr std::size_t kStagingDigits = 16;

// Deeper than the sweep for staging leftovers goes, and more entries than it
// looks at in one start: it must not hold the first actions back for long.
constexpr int kSweepDepth = 128;
constexpr std::size_t kSweepEntries = 100000;

// Removes the staging entries below `directory` (on `device`, links not
// followed, each directory once).
void sweepStaging(int directory, dev_t device, std::set<std::pair<dev_t, ino_t>>& seen, std::size_t& budget, int depth);

// Copies `from` beside `to`, then renames the copy into place (never over
// something there by then): a failure leaves nothing half-written.
std::optional<CopyFailure> copyIntoPlace(const At& from, const At& to);

// Copies what `in` holds to a new file beside `to` and renames it into place
// (replacing what is there): a failure leaves nothing half-written.
std::optional<CopyFailure> copyAtomically(int in, const At& to);

// Writes bytes to a new file beside `to` and renames it into place.
int writeAtomically(const At& to, const platform::Bytes& data);

// Moves `from` to `to` on another device, wholly or not at all: the copy
// takes the target's place (what was there waits aside), then the source
// steps aside and goes. A source that cannot go entirely (one the system
// keeps from being removed) is put back from the copy, and the target as it
// was: the move answers its failure. At every moment a whole copy lies in
// one of the two places, so a process that ends midway loses nothing.
std::optional<CopyFailure> moveAcrossDevices(const At& from, const At& to, const WFDirectoryIdentity& kept);

}  // namespace wharf::staging
