#pragma once
// Scratch files: files a process makes on its way to something else (a
// print's pages before they take their file's place) and removes once it is
// done with them. A process killed meanwhile removes nothing; a later start
// does.
//
// Each scratch file is noted, before it is made, in a journal of the making
// process's own, with the device and inode of the directory it is made in.
// The journals lie in the home's private state directory outside the home
// (Container::privateStatePath()), which nothing rooted in the home reaches:
// no page writes one. The process holds its journal locked (flock) for as
// long as it lives, and the kernel lets go of the lock when the process ends,
// however it ends. removeScratchLeftovers() takes the lock of each journal it
// can, that is of each process that has ended, removes each file the journal
// names that is still a plain file of one of the forms in the very directory
// it was made in, then the journal. What a process still running is making (a
// second launch on the same home) is never touched, and nothing is removed
// that a journal does not name.
//
// Earlier versions kept their journals in Library/Caches, where a page can
// write one of its own: what such a journal names is never taken on trust. Of
// it only a file of one of the forms in that form's own place goes (the
// application's tmp directory, or beside a target inside the home).
#include <sys/types.h>

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileDescriptor.h"

namespace wharf::platform {

// Where the scratch files of a form are made.
enum class ScratchPlace {
    ApplicationTmp,  // the application's tmp directory, and nowhere else
    BesideTarget,  // beside the file they become, wherever that is
};

// The names scratch files of one form get: the prefix, eight random
// lower-case hex digits, the suffix.
struct ScratchName {
    std::string_view prefix;
    std::string_view suffix;
    ScratchPlace place = ScratchPlace::BesideTarget;
    bool matches(std::string_view name) const;
};

// Makes a new file of the form `form` in the directory `directory` (a
// descriptor; `directoryPath` is its path), noted first in this process's
// journal of `kind` ("print"), open for reading and writing with `mode`.
// Its name goes to `name`. A file the journal cannot note (a full disk) is
// made all the same: only a kill then leaves it behind. An invalid
// descriptor (errno set) when the file cannot be made.
FileDescriptor createScratchFile(const std::string& kind, int directory, const std::string& directoryPath,
                                 const ScratchName& form, mode_t mode, std::string& name);

// Removes the scratch files of `kind`, of the forms `forms`, that processes
// which have ended left, and their journals; logs each removal. Links are
// never followed to the file, nor journals read through one. Any thread. The
// number of files removed.
std::size_t removeScratchLeftovers(const std::string& kind, const std::vector<ScratchName>& forms);

}  // namespace wharf::platform
