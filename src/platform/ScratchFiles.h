#pragma once
// Scratch files: files a process makes on its way to something else (a
// print's pages before they take their file's place) and removes once it is
// done with them. A process killed meanwhile removes nothing; a later start
// does.
//
// Each scratch file is noted, before it is made, in a journal of the making
// process's own in the application's Library/Caches directory (the tmp
// directory is the page's, and is left empty). The process holds its
// journal locked (flock) for as long as it lives, and the kernel lets go of
// the lock when the process ends, however it ends. removeScratchLeftovers()
// takes the lock of each journal it can, that is of each process that has
// ended, removes the files the journal names, then the journal: what a
// process still running is making (a second launch on the same home) is
// never touched, and nothing is removed that a journal does not name.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/FileDescriptor.h"

namespace wharf::platform {

// The names scratch files of one form get: the prefix, eight random
// lower-case hex digits, the suffix.
struct ScratchName {
    std::string_view prefix;
    std::string_view suffix;
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
// never followed to the file. Any thread. The number of files removed.
std::size_t removeScratchLeftovers(const std::string& kind, const std::vector<ScratchName>& forms);

}  // namespace wharf::platform
