#include "platform/ScratchFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

#include "platform/Container.h"
#include "platform/Error.h"
#include "platform/Log.h"

namespace wharf::platform {

namespace {

constexpr std::string_view kJournal = "-journal-";
constexpr std::size_t kDigits = 8;
// More than any run of prints notes; what lies beyond is not read.
constexpr std::size_t kLongestJournal = std::size_t(16) << 20;

struct Journals {
    std::mutex mutex;
    // "<journal directory>/<kind>" -> the descriptor that holds that journal's lock.
    std::map<std::string, int> held;
};

Journals& journals() {
    static auto* j = new Journals;  // never destroyed: the locks last as long as the process
    return *j;
}

// This process's journal of `kind` in `directory`, made on first use; -1
// (errno set) when it cannot be. It is locked before it appears under a
// journal's name, so that no sweep can take it in between.
int journalLocked(Journals& j, const std::string& directory, const std::string& kind) {
    const std::string key = directory + "/" + kind;
    if (auto it = j.held.find(key); it != j.held.end()) return it->second;
    if (!Container::ensureDirectory(directory)) return -1;
    const std::string name = kind + std::string(kJournal);
    std::string made = directory + "/." + name + "XXXXXX";
    const int fd = ::mkostemp(made.data(), O_APPEND | O_CLOEXEC);
    if (fd < 0) return -1;
    const std::string named = directory + "/" + made.substr(directory.size() + 2);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0 || ::rename(made.c_str(), named.c_str()) != 0) {
        const int error = errno;
        ::unlink(made.c_str());
        ::close(fd);
        errno = error;
        return -1;
    }
    j.held.emplace(key, fd);
    return fd;
}

// One line in one write: a journal read after a kill holds whole lines, and
// at most a part of its last one.
bool note(int journal, char sign, const std::string& path) {
    const std::string line = sign + path + "\n";
    ssize_t n;
    do {
        n = ::write(journal, line.data(), line.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(line.size());
}

std::vector<std::string> namesIn(int directory) {
    std::vector<std::string> names;
    const int copy = ::dup(directory);
    if (copy < 0) return names;
    DIR* dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return names;
    }
    while (const dirent* entry = ::readdir(dir)) names.emplace_back(entry->d_name);
    ::closedir(dir);
    return names;
}

// The files a journal names that were made and not given up, in the order
// they were made.
std::vector<std::string> notedFiles(int journal) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while (text.size() < kLongestJournal && (n = ::read(journal, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    std::vector<std::string> files;
    std::set<std::string> givenUp;
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        if (end - at < 2) continue;
        std::string path = text.substr(at + 1, end - at - 1);
        if (text[at] == '+')
            files.push_back(std::move(path));
        else if (text[at] == '-')
            givenUp.insert(std::move(path));
    }
    std::erase_if(files, [&](const std::string& path) { return givenUp.contains(path); });
    return files;
}

// Removes the noted file at `path` when it is still there, a plain file of
// one of the forms; true when it was removed.
bool removeLeftover(const std::string& path, const std::vector<ScratchName>& forms) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return false;
    const std::string name = path.substr(slash + 1);
    if (std::none_of(forms.begin(), forms.end(), [&](const ScratchName& form) { return form.matches(name); }))
        return false;
    const FileDescriptor directory(
        ::open(slash == 0 ? "/" : path.substr(0, slash).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!directory || ::fstatat(directory.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode) ||
        ::unlinkat(directory.get(), name.c_str(), 0) != 0)
        return false;
    log("Removed %s, which a process that ended left unfinished", path.c_str());
    return true;
}

}  // namespace

bool ScratchName::matches(std::string_view name) const {
    if (name.size() != prefix.size() + kDigits + suffix.size() || !name.starts_with(prefix) || !name.ends_with(suffix))
        return false;
    const std::string_view digits = name.substr(prefix.size(), kDigits);
    return std::all_of(digits.begin(), digits.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

FileDescriptor createScratchFile(const std::string& kind, int directory, const std::string& directoryPath,
                                 const ScratchName& form, mode_t mode, std::string& name) {
    auto& j = journals();
    std::lock_guard lock(j.mutex);
    // What the file is for matters more than its removal after a kill: a
    // journal that cannot note it (a full disk) does not stop it.
    const int journal = journalLocked(j, Container::cachesPath(), kind);
    if (journal < 0) log("Scratch files of %s are not noted: %s", kind.c_str(), errnoText(errno).c_str());
    for (int attempt = 0; attempt < 16; ++attempt) {
        char digits[kDigits + 1];
        std::snprintf(digits, sizeof digits, "%08x", g_random_int());
        std::string candidate = std::string(form.prefix) + digits + std::string(form.suffix);
        const std::string path = (directoryPath == "/" ? "" : directoryPath) + "/" + candidate;
        const bool noted = journal >= 0 && note(journal, '+', path);
        FileDescriptor fd(
            ::openat(directory, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) {
            name = std::move(candidate);
            return fd;
        }
        // Not made here: whatever bears the name is not ours to remove.
        const int error = errno;
        if (noted) note(journal, '-', path);
        errno = error;
        if (error != EEXIST) break;
    }
    return FileDescriptor();
}

std::size_t removeScratchLeftovers(const std::string& kind, const std::vector<ScratchName>& forms) {
    const FileDescriptor journals(::open(Container::cachesPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!journals) return 0;
    const std::string journalPrefix = kind + std::string(kJournal);
    std::size_t removed = 0;
    for (const std::string& name : namesIn(journals.get())) {
        if (!name.starts_with(journalPrefix)) continue;
        const FileDescriptor journal(
            ::openat(journals.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat held {};
        struct stat named {};
        // A process still running holds its journal locked; a start that
        // swept the journal first unlinked it before letting it go, and the
        // lock is then on a file no longer of that name.
        if (!journal || ::fstat(journal.get(), &held) != 0 || !S_ISREG(held.st_mode) ||
            ::flock(journal.get(), LOCK_EX | LOCK_NB) != 0 ||
            ::fstatat(journals.get(), name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
            named.st_ino != held.st_ino)
            continue;
        for (const std::string& path : notedFiles(journal.get())) removed += removeLeftover(path, forms) ? 1 : 0;
        ::unlinkat(journals.get(), name.c_str(), 0);
    }
    return removed;
}

}  // namespace wharf::platform
