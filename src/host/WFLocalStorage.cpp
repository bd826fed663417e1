#include "host/WFLocalStorage.h"

#include <glib.h>
#include <sqlite3.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

#include "host/WFCommandDelegate.h"
#include "host/WFPreferences.h"
#include "platform/base/Log.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"
#include "platform/storage/Xattr.h"

namespace wharf {

namespace fs = std::filesystem;

namespace {

// Set while a restore waits for the next start (the web engine holds the live
// databases open until then).
constexpr const char* kRestoreScheduledKey = "WFLocalStorageRestoreScheduled";

// The files SQLite keeps beside a database; they belong to the database, so
// they travel with it and never outlive a replaced one.
constexpr const char* kCompanionSuffixes[] = {"-wal", "-shm", "-journal"};

bool exists(const std::string& path) {
    std::error_code ec;
    return fs::exists(fs::symlink_status(path, ec));
}

bool isDirectory(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

// A database in WAL mode changes its -wal file, not its main file, until the
// next checkpoint: the later of the two is the item's modification time.
std::optional<fs::file_time_type> modificationDate(const std::string& path) {
    std::error_code ec;
    auto date = fs::last_write_time(path, ec);
    if (ec) return std::nullopt;
    if (!isDirectory(path)) {
        auto wal = fs::last_write_time(path + "-wal", ec);
        if (!ec && wal > date) date = wal;
    }
    return date;
}

platform::Error fileError(const std::string& description, const std::error_code& ec) {
    return platform::Error::withDescription("NSCocoaErrorDomain", ec.value(), description + ": " + ec.message() + ".");
}

bool isSQLiteDatabase(const std::string& path) {
    // Only a regular file is opened: reading a FIFO or a device found in place
    // of a database would block for ever.
    std::error_code ec;
    if (!fs::is_regular_file(path, ec)) return false;
    std::ifstream in(path, std::ios::binary);
    char header[16] = {};
    in.read(header, sizeof header);
    return in.gcount() == 16 && std::string(header, 16) == std::string("SQLite format 3\0", 16);
}

// The source's change counter as this connection sees it: it moves when
// another connection's commit becomes visible.
int64_t dataVersion(sqlite3* db) {
    sqlite3_stmt* stmt = nullptr;
    int64_t version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA data_version", -1, &stmt, nullptr) == SQLITE_OK &&
        sqlite3_step(stmt) == SQLITE_ROW)
        version = sqlite3_column_int64(stmt, 0);
    sqlite3_finalize(stmt);
    return version;
}

// A consistent copy of a live database: SQLite's online backup reads one
// snapshot, the pages still in the -wal file included. The copy is a plain
// rollback-journal database that needs no companion files. `changed` tells
// whether another commit became visible while the copy was taken.
bool backupDatabase(const std::string& source, const std::string& destination, bool& changed, platform::Error* error) {
    sqlite3* from = nullptr;
    sqlite3* to = nullptr;
    auto fail = [&](sqlite3* db, const std::string& what) {
        std::string message = what + ": " + (db ? sqlite3_errmsg(db) : "out of memory");
        int code = db ? sqlite3_extended_errcode(db) : SQLITE_NOMEM;
        sqlite3_close(from);
        sqlite3_close(to);
        platform::setError(error, platform::Error::withDescription("SQLDatabase", code, message));
        return false;
    };
    if (sqlite3_open_v2(source.c_str(), &from, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK)
        return fail(from, "Cannot open " + source);
    sqlite3_busy_timeout(from, 2000);
    const int64_t versionBefore = dataVersion(from);
    if (sqlite3_open_v2(destination.c_str(), &to, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) != SQLITE_OK)
        return fail(to, "Cannot create " + destination);
    sqlite3_backup* backup = sqlite3_backup_init(to, "main", from, "main");
    if (!backup) return fail(to, "Cannot back up " + source);
    int rc = SQLITE_OK;
    for (int attempt = 0; attempt < 50; ++attempt) {
        rc = sqlite3_backup_step(backup, -1);
        if (rc != SQLITE_BUSY && rc != SQLITE_LOCKED) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    sqlite3_backup_finish(backup);
    if (rc != SQLITE_DONE) return fail(to, "Cannot back up " + source);
    changed = dataVersion(from) != versionBefore;
    if (sqlite3_exec(to, "PRAGMA journal_mode=DELETE", nullptr, nullptr, nullptr) != SQLITE_OK)
        return fail(to, "Cannot finish " + destination);
    sqlite3_close(from);
    sqlite3_close(to);
    return true;
}

// Copies a file, or a folder with its whole tree, keeping modification times
// so that a fresh copy is neither newer nor older than its source.
bool copyTree(const std::string& source, const std::string& destination, platform::Error* error) {
    std::error_code ec;
    if (isDirectory(source)) {
        fs::copy(source, destination, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (!ec) {
            for (auto it = fs::recursive_directory_iterator(source, ec);
                 !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
                if (it->is_symlink()) continue;
                std::error_code ignored;
                auto target = fs::path(destination) / fs::relative(it->path(), source, ignored);
                fs::last_write_time(target, fs::last_write_time(it->path(), ignored), ignored);
            }
            std::error_code ignored;
            fs::last_write_time(destination, fs::last_write_time(source, ignored), ignored);
        }
    } else if (isSQLiteDatabase(source)) {
        // The date from before the snapshot: a write during the copy leaves the
        // live database newer than its copy, so the next backup takes it. A
        // commit reaches the -wal file (and its date) a moment before readers
        // can see it: one that became visible only during the copy may be
        // missing from it although the date says otherwise. Such a copy is
        // dated before its source, so that the next backup takes it again.
        auto date = modificationDate(source);
        bool changed = false;
        if (!backupDatabase(source, destination, changed, error)) return false;
        if (date) {
            if (changed) *date -= std::chrono::seconds(1);
            fs::last_write_time(destination, *date, ec);
        }
        ec.clear();
    } else {
        fs::copy_file(source, destination, ec);
        if (!ec) {
            std::error_code ignored;
            fs::last_write_time(destination, fs::last_write_time(source, ignored), ignored);
        }
    }
    if (ec) {
        platform::setError(error, fileError("Cannot copy " + source + " to " + destination, ec));
        return false;
    }
    return true;
}

bool removeItem(const std::string& path, std::error_code& ec) {
    fs::remove_all(path, ec);
    if (ec) return false;
    for (const char* suffix : kCompanionSuffixes) {
        fs::remove(path + suffix, ec);
        if (ec) return false;
    }
    return true;
}

// Moves an item with its companion files; a rename where possible, else a copy
// and a removal.
bool moveItem(const std::string& from, const std::string& to, platform::Error* error) {
    std::vector<std::string> suffixes = {""};
    for (const char* suffix : kCompanionSuffixes)
        if (exists(from + suffix)) suffixes.emplace_back(suffix);
    for (const auto& suffix : suffixes) {
        std::error_code ec;
        fs::rename(from + suffix, to + suffix, ec);
        if (!ec) continue;
        fs::copy(from + suffix, to + suffix, fs::copy_options::recursive | fs::copy_options::copy_symlinks, ec);
        if (!ec) fs::remove_all(from + suffix, ec);
        if (ec) {
            platform::setError(error, fileError("Cannot move " + from + suffix + " to " + to + suffix, ec));
            return false;
        }
    }
    return true;
}

// The previous contents of a destination wait beside it, not in the app's
// tmp: tmp is emptied at termination, and a copy kept after a failed put-back
// must survive that. Beside it, the move is also a plain rename.
std::string savedCopyPath(const std::string& destination) {
    gchar* uuid = g_uuid_string_random();
    fs::path path(destination);
    std::string name = "." + path.filename().string() + "." + uuid + ".saved";
    g_free(uuid);
    return (path.parent_path() / name).string();
}

std::string join(const std::string& a, const std::string& b) { return (fs::path(a) / b).string(); }

}  // namespace

// ---- WFBackupInfo ----

bool WFBackupInfo::shouldBackup() const { return itemIsNewerThanItem(original, backup); }

bool WFBackupInfo::shouldRestore() const { return itemIsNewerThanItem(backup, original); }

bool WFBackupInfo::fileIsNewerThanFile(const std::string& a, const std::string& b) {
    auto dateA = modificationDate(a);
    auto dateB = modificationDate(b);
    if (!dateA && !dateB) return false;
    if (!dateB) return true;
    if (!dateA) return false;
    return *dateA > *dateB;
}

bool WFBackupInfo::itemIsNewerThanItem(const std::string& a, const std::string& b) {
    if (!exists(a)) return false;
    if (!isDirectory(a) || !isDirectory(b)) return fileIsNewerThanFile(a, b);
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(a, ec); !ec && it != fs::recursive_directory_iterator();
         it.increment(ec)) {
        std::error_code ignored;
        fs::path relative = fs::relative(it->path(), a, ignored);
        if (fileIsNewerThanFile(it->path().string(), (fs::path(b) / relative).string())) return true;
    }
    return false;
}

// ---- WFLocalStorage: items and copies ----

std::vector<WFBackupInfo> WFLocalStorage::createBackupInfoWithTargetDir(const std::string& targetDir,
                                                                        const std::string& backupDir,
                                                                        bool targetDirNests, bool backupDirNests,
                                                                        bool rename) {
    struct Item {
        const char* label;
        const char* liveName;
        const char* backupName;
    };
    static constexpr Item kItems[] = {
        {"localStorage database", "file__0.localstorage", "localstorage.appdata.db"},
        {"websql main database", "Databases.db", "websqlmain.appdata.db"},
        {"websql databases", "file__0", "websqldbs.appdata.db"},
    };
    const std::string nest = "WebKit/LocalStorage";
    std::string target = targetDirNests ? join(targetDir, nest) : targetDir;
    std::string backup = backupDirNests ? join(backupDir, nest) : backupDir;
    std::vector<WFBackupInfo> items;
    for (const auto& item : kItems) {
        WFBackupInfo info;
        info.original = join(target, item.liveName);
        info.backup = join(backup, rename ? item.backupName : item.liveName);
        info.label = item.label;
        items.push_back(std::move(info));
    }
    return items;
}

std::vector<WFBackupInfo> WFLocalStorage::createBackupInfoWithCloudBackup(bool cloudBackup) {
    std::string backupDir = join(platform::Container::documentsPath(), "Backups");
    platform::Container::ensureDirectory(backupDir);
    addSkipBackupAttributeToItemAtURL(backupDir, !cloudBackup);
    return createBackupInfoWithTargetDir(platform::Container::cachesPath(), backupDir, false, false, true);
}

bool WFLocalStorage::addSkipBackupAttributeToItemAtURL(const std::string& path, bool skip) {
    auto result = platform::xattr::setExcludedFromBackup(path, skip);
    if (result == platform::xattr::Result::Ok) return true;
    const char* reason = result == platform::xattr::Result::Unsupported ? "extended attributes not supported"
                         : result == platform::xattr::Result::NotFound  ? "no such file"
                                                                        : "cannot set attribute";
    platform::log("Error excluding %s from backup %s", fs::path(path).filename().c_str(), reason);
    return false;
}

bool WFLocalStorage::copyFrom(const std::string& source, const std::string& destination, platform::Error* error) {
    if (!exists(source)) {
        platform::setError(
            error, platform::Error::withDescription(kWFLocalStorageErrorDomain, 1, source + " file does not exist."));
        return false;
    }
    std::optional<std::string> saved;
    if (exists(destination)) {
        std::string temporary = savedCopyPath(destination);
        if (!moveItem(destination, temporary, error)) return false;
        saved = temporary;
    } else {
        std::error_code ec;
        fs::create_directories(fs::path(destination).parent_path(), ec);
        if (ec) {
            platform::setError(error, fileError("Cannot create the folder of " + destination, ec));
            return false;
        }
    }
    // Stale companions of a database that was removed by hand would be applied
    // to the new copy by SQLite: they go as well.
    std::error_code ignored;
    for (const char* suffix : kCompanionSuffixes) fs::remove(destination + suffix, ignored);

    if (copyTree(source, destination, error)) {
        if (saved) removeItem(*saved, ignored);
        return true;
    }
    // Put the destination back as it was; a saved copy that cannot be moved
    // back is kept and named, never deleted.
    removeItem(destination, ignored);
    if (saved) {
        platform::Error moveError;
        if (!moveItem(*saved, destination, &moveError))
            platform::log("WFLocalStorage: could not put back %s; its previous contents are kept in %s (%s)",
                          destination.c_str(), saved->c_str(), moveError.localizedDescription().c_str());
    }
    return false;
}

// ---- the plug-in ----

const WFActionTable& WFLocalStorage::actions() {
    static const WFActionTable table =
        WFMakeActionTable<WFLocalStorage>({{"backup", &WFLocalStorage::backup}, {"restore", &WFLocalStorage::restore}});
    return table;
}

void WFLocalStorage::pluginInitialize() {
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    resignActiveObservation_ = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kUIApplicationWillResignActiveNotification, nullptr, [weak](const platform::Notification&) {
            if (auto plugin = weak.lock()) static_cast<WFLocalStorage&>(*plugin).onResignActive();
        });
    std::string type;
    if (auto delegate = commandDelegate()) {
        auto value = wharfSettingForKey(delegate->settings(), "BackupWebStorage");
        if (value && value->is_string()) type = value->get<std::string>();
    }
    backupInfo_ = createBackupInfoWithCloudBackup(type == "cloud");
}

void WFLocalStorage::sendMessage(const WFInvokedUrlCommand* command, bool ok, const std::string& message) {
    platform::logMessage(message);
    if (!command || !command->callbackId()) return;
    auto delegate = commandDelegate();
    if (!delegate) return;
    delegate->sendPluginResult(
        WFPluginResult::resultWithStatusMessageAsString(ok ? WFResultStatus::OK : WFResultStatus::Error, message),
        command->callbackId());
}

bool WFLocalStorage::shouldBackup() const {
    for (const auto& item : backupInfo_)
        if (item.shouldBackup()) return true;
    return false;
}

bool WFLocalStorage::shouldRestore() const {
    for (const auto& item : backupInfo_)
        if (item.shouldRestore()) return true;
    return false;
}

namespace {

using Reporter = std::function<void(bool ok, const std::string& message)>;

// A background backup may still run when termination backs up on the main
// thread: one copy of the items at a time.
std::mutex& copyMutex() {
    static std::mutex mutex;
    return mutex;
}

void backupItems(const std::vector<WFBackupInfo>& items, const Reporter& report) {
    std::lock_guard lock(copyMutex());
    for (const auto& item : items) {
        if (!item.shouldBackup()) continue;
        platform::Error error;
        if (WFLocalStorage::copyFrom(item.original, item.backup, &error))
            report(true, "Backed up: " + item.label);
        else
            report(false, "Error in WFLocalStorage (" + item.label + ") backup: " + error.localizedDescription());
    }
}

void restoreItems(const std::vector<WFBackupInfo>& items, const Reporter& report) {
    std::lock_guard lock(copyMutex());
    for (const auto& item : items) {
        if (!item.shouldRestore()) continue;
        platform::Error error;
        if (WFLocalStorage::copyFrom(item.backup, item.original, &error))
            report(true, "Restored: " + item.label);
        else
            report(false, "Error in WFLocalStorage (" + item.label + ") restore: " + error.localizedDescription());
    }
}

}  // namespace

void WFLocalStorage::backup(const WFInvokedUrlCommand& command) {
    backupItems(backupInfo_, [&](bool ok, const std::string& message) { sendMessage(&command, ok, message); });
}

void WFLocalStorage::backupWithoutCommand() {
    backupItems(backupInfo_, [&](bool ok, const std::string& message) { sendMessage(nullptr, ok, message); });
}

void WFLocalStorage::restore(const WFInvokedUrlCommand& command) { scheduleRestore(&command); }

void WFLocalStorage::scheduleRestore(const WFInvokedUrlCommand* command) {
    auto& defaults = platform::UserDefaults::standard();
    if (!defaults.boolForKey(kRestoreScheduledKey)) defaults.setBool(true, kRestoreScheduledKey);
    for (const auto& item : backupInfo_)
        if (item.shouldRestore()) sendMessage(command, true, "Restore scheduled for next start: " + item.label);
}

void WFLocalStorage::onReset() { scheduleRestore(nullptr); }

// The process ends right after this notification, before a background queue
// could finish: the copies are made at once.
void WFLocalStorage::onAppTerminate() { backupWithoutCommand(); }

void WFLocalStorage::onResignActive() {
    bool exitsOnSuspend = false;
    if (auto bundle = platform::Bundle::mainBundle())
        exitsOnSuspend = platform::boolValue(bundle->objectForInfoDictionaryKey("UIApplicationExitsOnSuspend"));
    if (exitsOnSuspend) {
        backupWithoutCommand();
        return;
    }
    // A desktop always runs tasks in the background: back up off the main thread
    // under a background task.
    auto& app = platform::Application::shared();
    auto task = backgroundTask_;
    task->store(app.beginBackgroundTask([task] {
        auto id = task->exchange(platform::kInvalidBackgroundTask);
        if (id != platform::kInvalidBackgroundTask) platform::Application::shared().endBackgroundTask(id);
        platform::logMessage("Background task to backup WebSQL/LocalStorage expired.");
    }));
    std::weak_ptr<WFPlugin> weak = weak_from_this();
    auto work = [weak, task] {
        std::vector<WFBackupInfo> items;
        if (auto plugin = weak.lock()) items = static_cast<WFLocalStorage&>(*plugin).backupInfo();
        backupItems(items, [](bool, const std::string& message) { platform::logMessage(message); });
        auto id = task->exchange(platform::kInvalidBackgroundTask);
        if (id != platform::kInvalidBackgroundTask) platform::Application::shared().endBackgroundTask(id);
    };
    if (auto delegate = commandDelegate())
        delegate->runInBackground(std::move(work));
    else
        work();
}

// ---- start-up ----

namespace {

std::mutex& fixedTypeMutex() {
    static std::mutex mutex;
    return mutex;
}

std::string& fixedType() {
    static std::string type = "cloud";
    return type;
}

}  // namespace

void WFLocalStorage::fixupDatabaseLocationsWithBackupType(const std::string& backupType) {
    {
        std::lock_guard lock(fixedTypeMutex());
        fixedType() = backupType;
    }
    verifyAndFixDatabaseLocations();
    restoreLegacyDatabaseLocationsWithBackupType(backupType);
    restoreScheduledBackups(backupType);
}

void WFLocalStorage::verifyAndFixDatabaseLocations() {
    auto bundle = platform::Bundle::mainBundle();
    std::string identifier = bundle ? bundle->bundleIdentifier() : std::string();
    // The identifier names a file inside Preferences: one that would lead out of
    // that folder ("a/../../x", "..") is not followed.
    if (identifier.empty() || identifier.find('/') != std::string::npos || identifier == "..") return;
    std::string container = platform::Container::home();
    std::string path = join(container, "Library/Preferences/" + identifier + ".plist");
    auto dict = platform::plist::readFile(path);
    if (!dict || !dict->is_object()) return;
    if (!verifyAndFixDatabaseLocationsWithAppPlistDict(*dict, container)) return;
    bool written = platform::plist::writeFile(path, *dict);
    platform::UserDefaults::standard().synchronize();
    platform::log("Fix applied for database locations?: %s", written ? "YES" : "NO");
}

bool WFLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(platform::Value& dict,
                                                                   const std::string& containerPath) {
    if (!dict.is_object()) return false;
    bool changed = false;
    for (const char* key : {"WebKitLocalStorageDatabasePathPreferenceKey", "WebDatabaseDirectory"}) {
        auto it = dict.find(key);
        if (it == dict.end() || !it->is_string()) continue;
        if (it->get<std::string>().starts_with(containerPath)) continue;
        std::string caches = join(containerPath, "Library/Caches");
        *it = isDirectory(caches) ? caches : join(containerPath, "Library/WebKit");
        changed = true;
    }
    return changed;
}

void WFLocalStorage::restoreLegacyDatabaseLocationsWithBackupType(const std::string& backupType) {
    const std::string library = platform::Container::libraryPath();
    std::vector<WFBackupInfo> items;
    if (backupType == "cloud") {
        items = createBackupInfoWithTargetDir(library, join(platform::Container::documentsPath(), "Backups"), true,
                                              false, true);
        auto more = createBackupInfoWithTargetDir(library, join(library, "Caches"), true, false, false);
        items.insert(items.end(), more.begin(), more.end());
    } else {
        items = createBackupInfoWithTargetDir(join(library, "Caches"), library, false, true, false);
    }
    for (const auto& item : items) {
        if (!exists(item.backup)) continue;
        if (item.shouldRestore()) {
            platform::log("Restoring old webstorage backup. From: '%s' To: '%s'.", item.backup.c_str(),
                          item.original.c_str());
            // The old place may hold the only copy: it stays until a later start moves it.
            platform::Error error;
            if (!copyFrom(item.backup, item.original, &error)) {
                platform::log("Keeping old webstorage backup '%s': %s", item.backup.c_str(),
                              error.localizedDescription().c_str());
                continue;
            }
        }
        platform::log("Removing old webstorage backup: '%s'.", item.backup.c_str());
        std::error_code ignored;
        removeItem(item.backup, ignored);
    }
    platform::UserDefaults::standard().setBool(backupType == "cloud", "WebKitStoreWebDataForBackup");
}

bool WFLocalStorage::restoreIsScheduled() {
    return platform::UserDefaults::standard().boolForKey(kRestoreScheduledKey);
}

void WFLocalStorage::restoreScheduledBackups(const std::string& backupType) {
    auto& defaults = platform::UserDefaults::standard();
    if (!defaults.boolForKey(kRestoreScheduledKey)) return;
    defaults.removeObjectForKey(kRestoreScheduledKey);
    restoreItems(createBackupInfoWithCloudBackup(backupType == "cloud"),
                 [](bool, const std::string& message) { platform::logMessage(message); });
}

WFWebStorageLocation WFLocalStorage::webStorageLocation() {
    std::string type;
    {
        std::lock_guard lock(fixedTypeMutex());
        type = fixedType();
    }
    return webStorageLocationForBackupType(type);
}

WFWebStorageLocation WFLocalStorage::webStorageLocationForBackupType(const std::string& backupType) {
    const std::string library = platform::Container::libraryPath();
    WFWebStorageLocation location;
    location.localStorageDirectory =
        backupType == "cloud" ? join(library, "WebKit/LocalStorage") : join(library, "Caches");
    location.dataDirectory = join(library, "WebKit");
    return location;
}

}  // namespace wharf
