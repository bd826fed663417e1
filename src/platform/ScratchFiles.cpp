#include "platform/ScratchFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <glib.h>
#include <sys/file.h>
#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <utility>

#include "platform/Container.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/RootDirectory.h"

namespace wharf::platform {

namespace {

constexpr std::string_view kJournal = "-journal-";
// The letters and digits mkostemp puts at the end of a journal's name.
constexpr std::size_t kJournalLetters = 6;
constexpr std::size_t kDigits = 8;
// More than any run of prints notes; what lies beyond is not read.
constexpr std::size_t kLongestJournal = std::size_t(16) << 20;

using Identity = std::pair<dev_t, ino_t>;

struct Journals {
    std::mutex mutex;
    // "<journal directory>/<kind>" -> the descriptor that holds that journal's lock.
    std::map<std::string, int> held;
};

Journals& journals() {
    static auto* j = new Journals;  // never destroyed: the locks last as long as the process
    return *j;
}

bool isJournalName(std::string_view name, std::string_view prefix) {
    return name.size() == prefix.size() + kJournalLetters && name.starts_with(prefix) &&
           std::all_of(name.begin() + prefix.size(), name.end(), [](unsigned char c) { return std::isalnum(c); });
}

// This process's journal of `kind` in `directory`, made on first use; -1
// (errno set) when it cannot be. It is locked before it appears under a
// journal's name, so that no sweep can take it in between.
int journalLocked(Journals& j, const std::string& directory, const std::string& kind) {
    const std::string key = directory + "/" + kind;
    if (auto it = j.held.find(key); it != j.held.end()) return it->second;
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

// One record in one write: "+" (about to be made) or "-" (not made here after
// all), the device and inode of the directory, the file's path, and a NUL,
// which no path holds. A journal read after a kill holds whole records, and
// at most a part of its last one.
bool note(int journal, char sign, const struct stat& directory, const std::string& path) {
    std::string record(1, sign);
    record += std::to_string(directory.st_dev) + " " + std::to_string(directory.st_ino) + " " + path;
    record += '\0';
    ssize_t n;
    do {
        n = ::write(journal, record.data(), record.size());
    } while (n < 0 && errno == EINTR);
    return n == static_cast<ssize_t>(record.size());
}

// In the order of their names: a sweep goes through journals in the same order
// whatever order the directory lists them in.
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
    std::sort(names.begin(), names.end());
    return names;
}

// A file a journal names.
struct Noted {
    std::string directory;  // the path of the directory it was made in
    std::string name;
    // That directory's device and inode when the file was made; unknown in
    // journals of earlier versions.
    std::optional<Identity> identity;
    std::string path() const { return (directory == "/" ? "" : directory) + "/" + name; }
};

std::optional<Noted> notedAt(std::string_view path) {
    const auto slash = path.rfind('/');
    if (path.empty() || path.front() != '/' || slash + 1 == path.size()) return std::nullopt;
    return Noted{std::string(slash == 0 ? std::string_view("/") : path.substr(0, slash)),
                 std::string(path.substr(slash + 1)), std::nullopt};
}

// "<device> <inode> <path>".
std::optional<Noted> notedIn(std::string_view record) {
    unsigned long long device = 0, inode = 0;
    const char* end = record.data() + record.size();
    auto [afterDevice, e1] = std::from_chars(record.data(), end, device);
    if (e1 != std::errc() || afterDevice == end || *afterDevice != ' ') return std::nullopt;
    auto [afterInode, e2] = std::from_chars(afterDevice + 1, end, inode);
    if (e2 != std::errc() || afterInode == end || *afterInode != ' ') return std::nullopt;
    auto noted = notedAt(std::string_view(afterInode + 1, static_cast<std::size_t>(end - afterInode - 1)));
    if (noted) noted->identity = Identity(static_cast<dev_t>(device), static_cast<ino_t>(inode));
    return noted;
}

// The files a journal notes as made and not given up, in the order they
// were made. This version's records end with a NUL and say where the file
// was made; an earlier version's are lines of a path each.
std::vector<Noted> notedFiles(int journal, bool earlierVersion) {
    std::string text;
    char buffer[65536];
    ssize_t n;
    while (text.size() < kLongestJournal &&
           (n = ::pread(journal, buffer, sizeof buffer, static_cast<off_t>(text.size()))) != 0) {
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
    }
    const char end = earlierVersion ? '\n' : '\0';
    std::vector<std::string> made;
    std::set<std::string> givenUp;
    for (std::size_t at = 0, stop; (stop = text.find(end, at)) != std::string::npos; at = stop + 1) {
        if (stop - at < 2) continue;
        std::string body = text.substr(at + 1, stop - at - 1);
        if (text[at] == '+')
            made.push_back(std::move(body));
        else if (text[at] == '-')
            givenUp.insert(std::move(body));
    }
    std::vector<Noted> files;
    for (const std::string& body : made) {
        if (givenUp.contains(body)) continue;
        if (auto noted = earlierVersion ? notedAt(body) : notedIn(body)) files.push_back(std::move(*noted));
    }
    return files;
}

std::optional<Identity> identityOf(int fd) {
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0) return std::nullopt;
    return Identity(st.st_dev, st.st_ino);
}

// Where leftovers may be removed from when a journal does not say where its
// files were made: the application's tmp directory, and below the home.
struct Places {
    std::string home = Container::home();
    RootDirectory homeRoot{home};
    std::optional<Identity> tmp =
        identityOf(FileDescriptor(::open(Container::tmpPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)).get());
};

// The directory a noted file lies in, opened when it is one that file's form
// is made in: for a file of a journal of this version, the directory it was
// made in, whatever path leads there now; else, the application's tmp
// directory or (beside a target) one below the home, reached without a link
// or ".." leading out of it.
FileDescriptor directoryOf(const Noted& noted, const ScratchName& form, const Places& places) {
    FileDescriptor directory;
    if (noted.identity || form.place == ScratchPlace::ApplicationTmp) {
        directory = FileDescriptor(::open(noted.directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    } else {
        const std::string below = places.home == "/" ? "/" : places.home + "/";
        if (noted.directory != places.home && !noted.directory.starts_with(below)) return {};
        directory = places.homeRoot.open(noted.directory.substr(std::min(below.size(), noted.directory.size())),
                                         O_RDONLY | O_DIRECTORY);
    }
    const auto identity = identityOf(directory.get());
    if (!identity || (noted.identity && *identity != *noted.identity) ||
        (form.place == ScratchPlace::ApplicationTmp && identity != places.tmp))
        return {};
    return directory;
}

// Removes the noted file when it is still there, a plain file of one of the
// forms in its form's place; true when it was removed.
bool removeLeftover(const Noted& noted, const std::vector<ScratchName>& forms, const Places& places) {
    const auto form =
        std::find_if(forms.begin(), forms.end(), [&](const ScratchName& f) { return f.matches(noted.name); });
    if (form == forms.end()) return false;
    const FileDescriptor directory = directoryOf(noted, *form, places);
    struct stat st {};
    if (!directory || ::fstatat(directory.get(), noted.name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
        !S_ISREG(st.st_mode) || ::unlinkat(directory.get(), noted.name.c_str(), 0) != 0)
        return false;
    log("Removed %s, which a process that ended left unfinished", noted.path().c_str());
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
    const std::string journalDirectory = Container::privateStatePath();
    struct stat where {};
    int journal = -1;
    std::string why;
    if (journalDirectory.empty())
        why = "the application has no directory of its own outside its home";
    else if (::fstat(directory, &where) != 0 || (journal = journalLocked(j, journalDirectory, kind)) < 0)
        why = errnoText(errno);
    if (!why.empty()) log("Scratch files of %s are not noted: %s", kind.c_str(), why.c_str());
    for (int attempt = 0; attempt < 16; ++attempt) {
        char digits[kDigits + 1];
        std::snprintf(digits, sizeof digits, "%08x", g_random_int());
        std::string candidate = std::string(form.prefix) + digits + std::string(form.suffix);
        const std::string path = (directoryPath == "/" ? "" : directoryPath) + "/" + candidate;
        const bool noted = journal >= 0 && note(journal, '+', where, path);
        FileDescriptor fd(
            ::openat(directory, candidate.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (fd) {
            name = std::move(candidate);
            return fd;
        }
        // Not made here: whatever bears the name is not ours to remove.
        const int error = errno;
        if (noted) note(journal, '-', where, path);
        errno = error;
        if (error != EEXIST) break;
    }
    return FileDescriptor();
}

std::size_t removeScratchLeftovers(const std::string& kind, const std::vector<ScratchName>& forms) {
    const std::string journalPrefix = kind + std::string(kJournal);
    struct Location {
        FileDescriptor directory;
        bool earlierVersion;
    };
    std::vector<Location> locations;
    if (const std::string path = Container::privateStatePath(); !path.empty())
        locations.push_back({FileDescriptor(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), false});
    locations.push_back(
        {FileDescriptor(::open(Container::cachesPath().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)), true});

    struct Ended {
        const Location* location;
        std::string name;
        FileDescriptor journal;  // locked
    };
    std::vector<Ended> ended;
    // The names a running process notes: none of them goes, whatever an
    // ended (or a forged) journal says.
    std::set<std::string> running;
    for (const Location& location : locations) {
        if (!location.directory) continue;
        const int directory = location.directory.get();
        for (const std::string& name : namesIn(directory)) {
            if (!isJournalName(name, journalPrefix)) continue;
            FileDescriptor journal(::openat(directory, name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
            struct stat held {};
            if (!journal || ::fstat(journal.get(), &held) != 0 || !S_ISREG(held.st_mode)) continue;
            if (::flock(journal.get(), LOCK_EX | LOCK_NB) != 0) {
                for (const Noted& noted : notedFiles(journal.get(), location.earlierVersion))
                    running.insert(noted.name);
                continue;
            }
            // A start that swept the journal first unlinked it before letting
            // it go, and the lock is then on a file no longer of that name.
            struct stat named {};
            if (::fstatat(directory, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) != 0 || named.st_dev != held.st_dev ||
                named.st_ino != held.st_ino)
                continue;
            ended.push_back({&location, name, std::move(journal)});
        }
    }
    if (ended.empty()) return 0;
    const Places places;
    std::size_t removed = 0;
    for (const Ended& e : ended) {
        for (const Noted& noted : notedFiles(e.journal.get(), e.location->earlierVersion))
            if (!running.contains(noted.name)) removed += removeLeftover(noted, forms, places) ? 1 : 0;
        ::unlinkat(e.location->directory.get(), e.name.c_str(), 0);
    }
    return removed;
}

}  // namespace wharf::platform
