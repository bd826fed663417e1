#include "platform/storage/UserDefaults.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/PropertyList.h"

namespace wharf::platform {

struct UserDefaults::Observers {
    std::mutex mutex;
    uint64_t nextId = 1;
    std::map<uint64_t, Observer> byId;
};

namespace {

std::mutex gStandardMutex;
std::unique_ptr<UserDefaults> gStandard;
// Instances dropped by resetStandard stay alive: callers may still hold the reference.
std::vector<std::unique_ptr<UserDefaults>> gRetired;

std::string parentDirectory(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// Holds an exclusive advisory lock on the side file "<plist>.lock". The plist
// itself is replaced by rename, so locking it would lock a vanishing inode.
class FileLock {
public:
    explicit FileLock(const std::string& plistPath) {
        const std::string lockPath = plistPath + ".lock";
        fd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd_ < 0) return;
        while (::flock(fd_, LOCK_EX) != 0) {
            if (errno != EINTR) {
                ::close(fd_);
                fd_ = -1;
                return;
            }
        }
    }
    ~FileLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

// The codes of the property-list domain that readDomain tells apart.
constexpr int64_t kNoSuchFile = 260;
constexpr int64_t kCorruptFile = 3840;

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

// Reads the stored domain. A missing file is an empty domain; an unreadable
// one answers nullopt, and `refused` then says whether what lies there was
// read and refused (not a property list, not a dictionary, not a plain file)
// rather than could not be read at all for now (no descriptor left, an I/O
// error): only the first is a file to keep aside and replace.
std::optional<Value> readDomain(const std::string& path, Error* error, bool* refused = nullptr) {
    if (refused) *refused = false;
    if (!fileExists(path)) return Value::object();
    Error readError;
    auto v = plist::readFile(path, &readError);
    if (v && v->is_object()) return v;
    if (v)
        readError =
            Error::withDescription(plist::kErrorDomain, kCorruptFile, "The stored defaults are not a dictionary.");
    if (readError.code == kNoSuchFile) return Value::object();  // removed meanwhile
    if (refused) {
        struct stat st {};
        *refused = readError.code == kCorruptFile || (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode));
    }
    setError(error, std::move(readError));
    return std::nullopt;
}

// True when `domain` holds each change already (a removal: holds no such key).
bool holdsAll(const Value& domain, const UserDefaults::Changes& changes) {
    for (const auto& [key, value] : changes) {
        auto it = domain.find(key);
        if (!value ? it != domain.end() : (it == domain.end() || !identical(*it, *value))) return false;
    }
    return true;
}

// Renames `path` to "<path>.corrupt" (or ".corrupt.2", …: an earlier copy kept
// aside is never replaced). Answers the new name, or "" (errno set).
std::string moveAside(const std::string& path) {
    for (int n = 1; n < 1000; ++n) {
        std::string aside = path + ".corrupt";
        if (n > 1) aside.append(".").append(std::to_string(n));
        if (::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE) == 0) return aside;
        if (errno == EINVAL) {  // a file system without RENAME_NOREPLACE
            if (fileExists(aside)) continue;
            if (std::rename(path.c_str(), aside.c_str()) == 0) return aside;
        }
        if (errno != EEXIST) return {};
    }
    errno = EEXIST;
    return {};
}

// A key and value the defaults file can hold, checked before either is taken
// in: once in the domain, a value the writer refuses would keep every later
// change from being saved. Keys must be valid UTF-8 like everything else
// written; repairing them instead could merge two keys and lose a value.
bool storable(const std::string& key, const Value& value, Error* error) {
    return plist::serialize(Value::object({{key, value}}), plist::Format::XML, error).has_value();
}

}  // namespace

UserDefaults& UserDefaults::standard() {
    std::lock_guard lock(gStandardMutex);
    if (!gStandard) {
        // The identifier names one file in the preferences directory, as it names the container.
        std::string id = Bundle::mainBundle()->bundleIdentifier();
        for (char& c : id)
            if (c == '/' || c == '\0') c = '_';
        if (id.empty() || id == "." || id == "..") id = "wharf";
        gStandard = std::make_unique<UserDefaults>(Container::preferencesPath() + "/" + id + ".plist");
    }
    return *gStandard;
}

void UserDefaults::resetStandard() {
    std::lock_guard lock(gStandardMutex);
    if (gStandard) gRetired.push_back(std::move(gStandard));
}

UserDefaults::UserDefaults(std::string plistPath)
    : path_(std::move(plistPath)), observers_(std::make_unique<Observers>()) {
    Error error;
    if (auto domain = readDomain(path_, &error))
        persistent_ = std::move(*domain);
    else
        log("UserDefaults: cannot read %s: %s", path_.c_str(), error.localizedDescription().c_str());
}

UserDefaults::~UserDefaults() = default;

void UserDefaults::registerDefaults(const Value& dictionary) {
    if (!dictionary.is_object()) return;
    std::lock_guard lock(mutex_);
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) registered_[it.key()] = it.value();
}

std::optional<Value> UserDefaults::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    if (auto it = persistent_.find(key); it != persistent_.end()) return *it;
    if (auto it = registered_.find(key); it != registered_.end()) return *it;
    return std::nullopt;
}

std::string UserDefaults::stringForKey(const std::string& key) const {
    const auto v = objectForKey(key);
    return v ? stringValue(*v) : std::string();
}

int64_t UserDefaults::integerForKey(const std::string& key) const {
    const auto v = objectForKey(key);
    return v ? integerValue(*v) : 0;
}

bool UserDefaults::boolForKey(const std::string& key) const {
    const auto v = objectForKey(key);
    return v && boolValue(*v);
}

double UserDefaults::doubleForKey(const std::string& key) const {
    const auto v = objectForKey(key);
    return v ? doubleValue(*v) : 0.0;
}

float UserDefaults::floatForKey(const std::string& key) const {
    const auto v = objectForKey(key);
    return v ? floatValue(*v) : 0.0f;
}

Value UserDefaults::arrayForKey(const std::string& key) const {
    auto v = objectForKey(key);
    return v && v->is_array() ? std::move(*v) : Value();
}

Value UserDefaults::dictionaryForKey(const std::string& key) const {
    auto v = objectForKey(key);
    return v && v->is_object() ? std::move(*v) : Value();
}

void UserDefaults::setObject(const Value& value, const std::string& key) {
    setObjectsForKeys(Value::object({{key, value}}));
}

void UserDefaults::setObjectsForKeys(const Value& dictionary) {
    if (!dictionary.is_object()) return;
    Changes changes;
    for (auto it = dictionary.begin(); it != dictionary.end(); ++it) {
        if (it->is_null()) {
            changes.emplace(it.key(), std::nullopt);
            continue;
        }
        Error error;
        if (!storable(it.key(), *it, &error)) {
            log("UserDefaults: refusing to store the value for key %s: %s", sanitizeUTF8(it.key()).c_str(),
                error.localizedDescription().c_str());
            continue;
        }
        changes.emplace(it.key(), *it);
    }
    if (!changes.empty()) store(changes);
}

void UserDefaults::removeObjectForKey(const std::string& key) { store({{key, std::nullopt}}); }

void UserDefaults::store(const Changes& changes) {
    {
        std::lock_guard lock(mutex_);
        Container::ensureDirectory(parentDirectory(path_));
        FileLock fileLock(path_);
        if (!fileLock.locked()) log("UserDefaults: cannot lock %s.lock: %s", path_.c_str(), errnoText(errno).c_str());

        // Start from what is on disk now, so another process's keys survive.
        Error error;
        bool refused = false;
        const bool existed = fileExists(path_);
        auto onDisk = readDomain(path_, &error, &refused);
        // Changes not saved yet (a full disk, no descriptor left) go on top
        // of what is on disk with this one, until a save takes them: a later
        // save of another key must not drop them.
        for (const auto& [key, value] : changes) unsaved_[key] = value;
        // A file that holds every change already is not written again: a
        // write costs a sync to the disk, and a setting made at every launch
        // would cost every launch that time.
        if (onDisk && existed && holdsAll(*onDisk, unsaved_)) {
            unsaved_.clear();
            persistent_ = std::move(*onDisk);
        } else {
            bool writable = true;
            if (!onDisk && !refused) {
                // The file may be sound: it is neither moved nor saved over.
                log("UserDefaults: %s cannot be read (%s); not saving over it", path_.c_str(),
                    error.localizedDescription().c_str());
                writable = false;
                onDisk = persistent_;
            } else if (!onDisk) {
                // Keep the unreadable file for inspection rather than overwrite it.
                const std::string aside = moveAside(path_);
                if (aside.empty()) {
                    log("UserDefaults: %s is unreadable (%s) and cannot be moved aside (%s); not saving over it",
                        path_.c_str(), error.localizedDescription().c_str(), errnoText(errno).c_str());
                    writable = false;
                } else {
                    log("UserDefaults: %s is unreadable (%s); moved to %s", path_.c_str(),
                        error.localizedDescription().c_str(), aside.c_str());
                }
                onDisk = persistent_;
            }
            applyUnsaved(*onDisk);
            persistent_ = std::move(*onDisk);
            // XML cannot spell every date a binary file holds; a domain with one is
            // saved in the binary format rather than not at all.
            if (writable && (plist::writeFile(path_, persistent_, plist::Format::XML, &error) ||
                             plist::writeFile(path_, persistent_, plist::Format::Binary, &error)))
                unsaved_.clear();
            else if (writable)
                log("UserDefaults: cannot save %s: %s", path_.c_str(), error.localizedDescription().c_str());
        }
    }
    for (const auto& change : changes) notify(change.first);
}

bool UserDefaults::synchronize() {
    std::lock_guard lock(mutex_);
    Error error;
    auto domain = readDomain(path_, &error);
    if (!domain) {
        log("UserDefaults: cannot read %s: %s", path_.c_str(), error.localizedDescription().c_str());
        return false;
    }
    applyUnsaved(*domain);
    persistent_ = std::move(*domain);
    return true;
}

void UserDefaults::applyUnsaved(Value& domain) const {
    for (const auto& [key, value] : unsaved_) {
        if (value)
            domain[key] = *value;
        else
            domain.erase(key);
    }
}

Value UserDefaults::persistentDomain() const {
    std::lock_guard lock(mutex_);
    return persistent_;
}

uint64_t UserDefaults::addObserver(Observer observer) {
    std::lock_guard lock(observers_->mutex);
    const uint64_t id = observers_->nextId++;
    observers_->byId.emplace(id, std::move(observer));
    return id;
}

void UserDefaults::removeObserver(uint64_t id) {
    std::lock_guard lock(observers_->mutex);
    observers_->byId.erase(id);
}

void UserDefaults::notify(const std::string& key) {
    std::vector<Observer> toCall;
    {
        std::lock_guard lock(observers_->mutex);
        for (const auto& [id, observer] : observers_->byId) toCall.push_back(observer);
    }
    for (const auto& observer : toCall) observer(key);
}

}  // namespace wharf::platform
