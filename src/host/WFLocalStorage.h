#pragma once
// Keeps copies of the web engine's storage (local storage, and the WebSQL
// items, which never exist on WebKitGTK) in a folder of its own, copies them
// back at start-up when they are newer than the live ones, and moves storage
// between its old and new places according to "BackupWebStorage".
//
// Restoring over database files that the running web engine holds open would
// corrupt them, so a restore only ever runs at start-up, before the web
// context exists: the `restore` action and a page start schedule it.
#include <atomic>
#include <memory>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "platform/base/Error.h"
#include "platform/base/Value.h"
#include "platform/device/Application.h"

namespace wharf {

inline constexpr const char* kWFLocalStorageErrorDomain = "kWFLocalStorageErrorDomain";

// One file or folder that is copied.
class WFBackupInfo {
public:
    std::string original;  // live storage path
    std::string backup;  // path of its copy
    std::string label;  // the item's name in messages

    bool shouldBackup() const;  // original newer than backup
    bool shouldRestore() const;  // backup newer than original

    // a missing: false. Either not a folder: the file test. Both folders: true at
    // the first path x below a for which a/x is newer than b/x.
    static bool itemIsNewerThanItem(const std::string& a, const std::string& b);
    // Neither has a modification time: false; only a has one: true; else a strictly later.
    static bool fileIsNewerThanFile(const std::string& a, const std::string& b);
};

// Where the web engine keeps its storage for a backup type: pass these to the
// web context (platform::WebContextOptions) when it is created.
struct WFWebStorageLocation {
    std::string localStorageDirectory;  // the engine's local-storage directory
    std::string dataDirectory;  // the engine's base data directory
};

class WFLocalStorage : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }

    void pluginInitialize() override;
    void onAppTerminate() override;
    void onReset() override;
    void onResignActive();

    // Actions (service "localstorage"). `backup` copies now; `restore` schedules
    // the restore for the next start and answers so.
    void backup(const WFInvokedUrlCommand& command);
    void restore(const WFInvokedUrlCommand& command);
    // Without a command: only logs.
    void backupWithoutCommand();
    void scheduleRestore(const WFInvokedUrlCommand* command);

    bool shouldBackup() const;
    bool shouldRestore() const;
    const std::vector<WFBackupInfo>& backupInfo() const { return backupInfo_; }

    // The plug-in's items: live under Library/Caches, copies in Documents/Backups
    // (created, and marked excluded from device backup unless `cloudBackup`).
    static std::vector<WFBackupInfo> createBackupInfoWithCloudBackup(bool cloudBackup);
    static std::vector<WFBackupInfo> createBackupInfoWithTargetDir(const std::string& targetDir,
                                                                   const std::string& backupDir, bool targetDirNests,
                                                                   bool backupDirNests, bool rename);
    static bool addSkipBackupAttributeToItemAtURL(const std::string& path, bool skip);
    // Copies a file or folder tree; on failure the destination is as it was.
    static bool copyFrom(const std::string& source, const std::string& destination, platform::Error* error);

    // Start-up, before the web context is created: fixes stored locations, moves
    // legacy storage, and runs a scheduled restore.
    static void fixupDatabaseLocationsWithBackupType(const std::string& backupType);
    static void verifyAndFixDatabaseLocations();
    // Points the two WebKit location keys inside the container; true when changed.
    static bool verifyAndFixDatabaseLocationsWithAppPlistDict(platform::Value& dict, const std::string& containerPath);
    static void restoreLegacyDatabaseLocationsWithBackupType(const std::string& backupType);
    // Runs the restore scheduled by `restore` or a page start, if any.
    static void restoreScheduledBackups(const std::string& backupType);
    static bool restoreIsScheduled();

    static WFWebStorageLocation webStorageLocationForBackupType(const std::string& backupType);
    // The location for the type given to the last start-up fix-up ("cloud" before
    // any): what the web-view factory passes to the web context it creates.
    static WFWebStorageLocation webStorageLocation();

private:
    void sendMessage(const WFInvokedUrlCommand* command, bool ok, const std::string& message);

    std::vector<WFBackupInfo> backupInfo_;
    platform::ObserverToken resignActiveObservation_;
    // Cleared by whichever of the background backup and the expiration handler ends the task.
    std::shared_ptr<std::atomic<platform::BackgroundTaskIdentifier>> backgroundTask_ =
        std::make_shared<std::atomic<platform::BackgroundTaskIdentifier>>(platform::kInvalidBackgroundTask);
};

}  // namespace wharf
