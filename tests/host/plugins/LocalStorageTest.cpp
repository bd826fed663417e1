// Web-storage backup: the newer-than rules, safe copies of live SQLite
// databases, the actions, the start-up restore and the legacy fix-up.
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>

#include "TestSupport.h"
#include "host/WFLocalStorage.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"
#include "platform/storage/PropertyList.h"
#include "platform/storage/UserDefaults.h"
#include "platform/storage/Xattr.h"

namespace wharf {
namespace {

namespace fs = std::filesystem;
using test::readFile;
using test::TempHome;
using test::writeFile;

void setTime(const std::string& path, int secondsAgo) {
    fs::last_write_time(path, fs::file_time_type::clock::now() - std::chrono::seconds(secondsAgo));
}

// A WAL database with one row; the connection stays open (as the web engine
// keeps it), so the row lives only in the -wal file.
struct LiveDatabase {
    explicit LiveDatabase(const std::string& path, const std::string& value = "v1") {
        fs::create_directories(fs::path(path).parent_path());
        sqlite3_open(path.c_str(), &db);
        sqlite3_exec(db,
                     "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0;"
                     "CREATE TABLE ItemTable (key TEXT UNIQUE ON CONFLICT REPLACE, value BLOB NOT NULL);",
                     nullptr, nullptr, nullptr);
        put(value);
    }
    ~LiveDatabase() { sqlite3_close(db); }
    void put(const std::string& value) {
        std::string sql = "INSERT INTO ItemTable VALUES ('k', '" + value + "');";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3* db = nullptr;
};

std::string readValue(const std::string& path) {
    sqlite3* db = nullptr;
    std::string value = "<none>";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT value FROM ItemTable WHERE key='k'", -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW)
            value = reinterpret_cast<const char*>(sqlite3_column_text(stmt, 0));
        sqlite3_finalize(stmt);
    }
    sqlite3_close(db);
    return value;
}

// A main bundle whose Info.plist gives only an identifier; the previous one
// comes back at the end of the scope.
struct MainBundleWithIdentifier {
    explicit MainBundleWithIdentifier(const std::string& identifier) {
        writeFile(dir.file("Info.plist"),
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                  "<string>" +
                      identifier + "</string></dict></plist>");
        platform::Bundle::setMainBundle(platform::Bundle::open(dir.path()));
    }
    ~MainBundleWithIdentifier() { platform::Bundle::setMainBundle(previous); }
    test::TempDir dir;
    std::shared_ptr<platform::Bundle> previous = platform::Bundle::mainBundle();
};

class LocalStorageTest : public ::testing::Test {
protected:
    TempHome home;
    std::string dir(const std::string& name) {
        std::string path = home.path() + "/" + name;
        fs::create_directories(path);
        return path;
    }
};

TEST_F(LocalStorageTest, FileNewerRules) {
    std::string a = home.path() + "/a", b = home.path() + "/b";
    EXPECT_FALSE(WFBackupInfo::fileIsNewerThanFile(a, b));  // neither exists
    writeFile(a, "x");
    EXPECT_TRUE(WFBackupInfo::fileIsNewerThanFile(a, b));
    EXPECT_FALSE(WFBackupInfo::fileIsNewerThanFile(b, a));
    writeFile(b, "y");
    auto now = fs::file_time_type::clock::now();
    fs::last_write_time(a, now);
    fs::last_write_time(b, now);
    EXPECT_FALSE(WFBackupInfo::fileIsNewerThanFile(a, b));  // same date: neither way
    EXPECT_FALSE(WFBackupInfo::fileIsNewerThanFile(b, a));
    setTime(b, 10);
    EXPECT_TRUE(WFBackupInfo::fileIsNewerThanFile(a, b));
    // A database's -wal file carries its latest writes.
    setTime(a, 20);
    writeFile(a + "-wal", "w");
    EXPECT_TRUE(WFBackupInfo::fileIsNewerThanFile(a, b));
}

TEST_F(LocalStorageTest, FolderNewerWhenAnyFileBelowIsNewer) {
    std::string a = dir("live/file__0"), b = dir("copy/file__0");
    fs::create_directories(a + "/deep/er");
    fs::create_directories(b + "/deep/er");
    writeFile(a + "/deep/er/db", "1");
    writeFile(b + "/deep/er/db", "1");
    writeFile(a + "/top", "1");
    writeFile(b + "/top", "1");
    for (const auto& p : {a, a + "/deep", a + "/deep/er", a + "/deep/er/db", a + "/top"}) setTime(p, 100);
    for (const auto& p : {b, b + "/deep", b + "/deep/er", b + "/deep/er/db", b + "/top"}) setTime(p, 50);
    EXPECT_FALSE(WFBackupInfo::itemIsNewerThanItem(a, b));
    EXPECT_TRUE(WFBackupInfo::itemIsNewerThanItem(b, a));
    setTime(a + "/deep/er/db", 1);
    EXPECT_TRUE(WFBackupInfo::itemIsNewerThanItem(a, b));
    EXPECT_FALSE(WFBackupInfo::itemIsNewerThanItem(home.path() + "/missing", b));
    // A folder against a file falls back to the file test.
    writeFile(home.path() + "/plain", "x");
    setTime(home.path() + "/plain", 1000);
    EXPECT_TRUE(WFBackupInfo::itemIsNewerThanItem(a, home.path() + "/plain"));
}

TEST_F(LocalStorageTest, ItemPaths) {
    auto items = WFLocalStorage::createBackupInfoWithTargetDir("/L", "/B", true, false, true);
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[0].label, "localStorage database");
    EXPECT_EQ(items[0].original, "/L/WebKit/LocalStorage/file__0.localstorage");
    EXPECT_EQ(items[0].backup, "/B/localstorage.appdata.db");
    EXPECT_EQ(items[2].original, "/L/WebKit/LocalStorage/file__0");
    EXPECT_EQ(items[2].backup, "/B/websqldbs.appdata.db");
    items = WFLocalStorage::createBackupInfoWithTargetDir("/L/Caches", "/L", false, true, false);
    EXPECT_EQ(items[1].original, "/L/Caches/Databases.db");
    EXPECT_EQ(items[1].backup, "/L/WebKit/LocalStorage/Databases.db");
}

TEST_F(LocalStorageTest, BackupFolderExclusionFollowsType) {
    auto items = WFLocalStorage::createBackupInfoWithCloudBackup(false);
    std::string backups = platform::Container::documentsPath() + "/Backups";
    EXPECT_EQ(items[0].original, platform::Container::cachesPath() + "/file__0.localstorage");
    EXPECT_EQ(items[0].backup, backups + "/localstorage.appdata.db");
    std::string value;
    if (platform::xattr::get(backups, platform::xattr::kExcludeFromBackup, &value) ==
        platform::xattr::Result::Unsupported)
        GTEST_SKIP() << "no user xattrs here";
    EXPECT_EQ(value, "false");
    WFLocalStorage::createBackupInfoWithCloudBackup(true);
    EXPECT_EQ(platform::xattr::get(backups, platform::xattr::kExcludeFromBackup, &value),
              platform::xattr::Result::NotFound);
}

TEST_F(LocalStorageTest, CopyOfMissingSourceIsAnError) {
    platform::Error error;
    EXPECT_FALSE(WFLocalStorage::copyFrom(home.path() + "/nope", home.path() + "/dst", &error));
    EXPECT_EQ(error.domain, "kWFLocalStorageErrorDomain");
    EXPECT_EQ(error.code, 1);
    EXPECT_EQ(error.localizedDescription(), home.path() + "/nope file does not exist.");
}

TEST_F(LocalStorageTest, CopiesLiveDatabaseConsistentlyAndKeepsItsDate) {
    std::string live = dir("Library/Caches") + "/file__0.localstorage";
    LiveDatabase db(live, "fresh");
    ASSERT_TRUE(fs::exists(live + "-wal"));
    std::string copy = home.path() + "/Documents/Backups/localstorage.appdata.db";
    platform::Error error;
    ASSERT_TRUE(WFLocalStorage::copyFrom(live, copy, &error)) << error.localizedDescription();
    EXPECT_EQ(readValue(copy), "fresh");
    EXPECT_FALSE(fs::exists(copy + "-wal"));
    WFBackupInfo item{live, copy, "localStorage database"};
    EXPECT_FALSE(item.shouldBackup());
    EXPECT_FALSE(item.shouldRestore());
}

TEST_F(LocalStorageTest, RestoreDropsStaleCompanionsOfTheReplacedDatabase) {
    std::string backup = dir("b") + "/copy.db";
    { LiveDatabase old(backup, "saved"); }
    std::string live = dir("live") + "/file__0.localstorage";
    {
        LiveDatabase current(live, "current");
        ASSERT_TRUE(WFLocalStorage::copyFrom(backup, live, nullptr));
    }
    EXPECT_EQ(readValue(live), "saved");
}

TEST_F(LocalStorageTest, FailedCopyLeavesDestinationAsItWas) {
    std::string destination = dir("b") + "/copy.db";
    writeFile(destination, "previous backup");
    writeFile(destination + "-journal", "j");
    // Looks like a database, is not one: the copy fails half-way.
    std::string broken = home.path() + "/broken.db";
    writeFile(broken, std::string("SQLite format 3\0", 16) + std::string(5000, '\x7f'));
    platform::Error error;
    EXPECT_FALSE(WFLocalStorage::copyFrom(broken, destination, &error));
    EXPECT_FALSE(error.localizedDescription().empty());
    EXPECT_EQ(readFile(destination), "previous backup");
    EXPECT_EQ(readFile(destination + "-journal"), "j");
    // The saved copy went back in place: nothing is left beside it.
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(dir("b"))) left.push_back(e.path().filename().string());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"copy.db", "copy.db-journal"}));
}

TEST_F(LocalStorageTest, SpecialFileInPlaceOfADatabaseIsAnErrorNotAHang) {
    std::string fifo = dir("b") + "/localstorage.appdata.db";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    std::string link = home.path() + "/b/link.db";
    fs::create_symlink(fifo, link);
    std::string destination = home.path() + "/live/file__0.localstorage";
    for (const auto& source : {fifo, link}) {
        platform::Error error;
        EXPECT_FALSE(WFLocalStorage::copyFrom(source, destination, &error)) << source;
        EXPECT_FALSE(error.localizedDescription().empty());
        EXPECT_FALSE(fs::exists(destination));
    }
}

TEST_F(LocalStorageTest, CopiesFolderTrees) {
    std::string source = dir("src/file__0");
    fs::create_directories(source + "/x");
    writeFile(source + "/x/1.db", "one");
    std::string destination = home.path() + "/dst/websqldbs.appdata.db";
    dir("dst/websqldbs.appdata.db/stale");
    ASSERT_TRUE(WFLocalStorage::copyFrom(source, destination, nullptr));
    EXPECT_EQ(readFile(destination + "/x/1.db"), "one");
    EXPECT_FALSE(fs::exists(destination + "/stale"));
    EXPECT_FALSE(WFBackupInfo::itemIsNewerThanItem(source, destination));
}

class LocalStoragePluginTest : public LocalStorageTest {
protected:
    void SetUp() override {
        controller = testing::FakeViewController::create();
        controller->mutableSettings()["backupwebstorage"] = "local";
        plugin = std::make_shared<WFLocalStorage>();
        plugin->initWithWebViewEngine(controller->engine());
        controller->registerPlugin(plugin, "localstorage");
        live = platform::Container::cachesPath() + "/file__0.localstorage";
        copy = platform::Container::documentsPath() + "/Backups/localstorage.appdata.db";
    }
    WFInvokedUrlCommand command(const std::string& action) {
        return WFInvokedUrlCommand(platform::Value::array(), "LocalStorage1", "WFLocalStorage", action);
    }
    std::vector<std::string> results(const std::string& text) {
        platform::RunLoop::pumpFor(std::chrono::milliseconds(30));
        std::vector<std::string> found;
        for (auto& script : controller->engine()->callbackScripts())
            if (script.find(text) != std::string::npos) found.push_back(script);
        return found;
    }

    std::shared_ptr<testing::FakeViewController> controller;
    std::shared_ptr<WFLocalStorage> plugin;
    std::string live, copy;
};

TEST_F(LocalStoragePluginTest, BackupOnFreshInstallSendsNothing) {
    plugin->backup(command("backup"));
    EXPECT_TRUE(results("nativeCallback").empty());
}

TEST_F(LocalStoragePluginTest, BackupAnswersPerCopiedItem) {
    LiveDatabase db(live, "page value");
    plugin->backup(command("backup"));
    auto answers = results("nativeCallback");
    ASSERT_EQ(answers.size(), 1u);
    EXPECT_NE(answers[0].find("Backed up: localStorage database"), std::string::npos);
    EXPECT_EQ(readValue(copy), "page value");
    plugin->backup(command("backup"));  // nothing changed since
    EXPECT_EQ(results("nativeCallback").size(), 1u);
}

TEST_F(LocalStoragePluginTest, BackupReportsEachItemByItsOwnCopy) {
    writeFile(live, std::string("SQLite format 3\0", 16) + std::string(5000, '\x7f'));
    fs::create_directories(platform::Container::cachesPath() + "/file__0");
    writeFile(platform::Container::cachesPath() + "/file__0/db", "x");
    plugin->backup(command("backup"));
    auto answers = results("nativeCallback");
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_NE(answers[0].find("Error in WFLocalStorage (localStorage database) backup: "), std::string::npos);
    EXPECT_NE(answers[1].find("Backed up: websql databases"), std::string::npos);
}

TEST_F(LocalStoragePluginTest, RestoreIsScheduledForTheNextStart) {
    {
        LiveDatabase db(live, "kept");
        plugin->backup(command("backup"));
    }
    fs::remove(live);
    platform::LogCapture log;
    plugin->restore(command("restore"));
    auto answers = results("Restore scheduled for next start: localStorage database");
    EXPECT_EQ(answers.size(), 1u);
    EXPECT_FALSE(fs::exists(live));  // the engine may hold the files open: nothing copied now
    EXPECT_TRUE(WFLocalStorage::restoreIsScheduled());

    WFLocalStorage::fixupDatabaseLocationsWithBackupType("local");
    EXPECT_EQ(readValue(live), "kept");
    EXPECT_TRUE(log.contains("Restored: localStorage database"));
    EXPECT_FALSE(WFLocalStorage::restoreIsScheduled());
}

TEST_F(LocalStoragePluginTest, PageStartSchedulesAndStartUpWithoutScheduleRestoresNothing) {
    {
        LiveDatabase db(live, "kept");
        plugin->backup(command("backup"));
    }
    fs::remove(live);
    WFLocalStorage::fixupDatabaseLocationsWithBackupType("local");
    EXPECT_FALSE(fs::exists(live));
    platform::LogCapture log;
    plugin->onReset();
    EXPECT_TRUE(log.contains("Restore scheduled for next start: localStorage database"));
    WFLocalStorage::fixupDatabaseLocationsWithBackupType("local");
    EXPECT_EQ(readValue(live), "kept");
}

TEST_F(LocalStoragePluginTest, ResignActiveBacksUpInTheBackgroundUnderATask) {
    auto& app = platform::Application::shared();
    app.resetForTesting();
    LiveDatabase db(live, "v");
    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillResignActiveNotification);
    EXPECT_TRUE(platform::RunLoop::pumpUntil([&] { return fs::exists(copy) && app.backgroundTaskCount() == 0; }));
    EXPECT_EQ(readValue(copy), "v");
}

TEST_F(LocalStoragePluginTest, TerminationBacksUpBeforeTheProcessEnds) {
    LiveDatabase db(live, "last words");
    platform::NotificationCenter::defaultCenter().post(platform::kUIApplicationWillTerminateNotification);
    EXPECT_EQ(readValue(copy), "last words");
}

TEST_F(LocalStorageTest, DatabaseLocationKeysMovedIntoTheContainer) {
    std::string container = home.path();
    platform::Value dict = {{"WebKitLocalStorageDatabasePathPreferenceKey", "/old/place"},
                            {"WebDatabaseDirectory", container + "/Library/Caches"},
                            {"Other", "/elsewhere"}};
    fs::remove_all(container + "/Library/Caches");
    EXPECT_TRUE(WFLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(dict, container));
    EXPECT_EQ(dict["WebKitLocalStorageDatabasePathPreferenceKey"], container + "/Library/WebKit");
    EXPECT_EQ(dict["WebDatabaseDirectory"], container + "/Library/Caches");
    EXPECT_EQ(dict["Other"], "/elsewhere");
    EXPECT_FALSE(WFLocalStorage::verifyAndFixDatabaseLocationsWithAppPlistDict(dict, container));
}

TEST_F(LocalStorageTest, StoredLocationsFixedInThePreferencesFileOnce) {
    MainBundleWithIdentifier bundle("org.wharf.storagetest");
    std::string prefs = platform::Container::preferencesPath() + "/org.wharf.storagetest.plist";
    fs::create_directories(fs::path(prefs).parent_path());
    ASSERT_TRUE(platform::plist::writeFile(prefs, {{"WebDatabaseDirectory", "/var/old/WebKit"}, {"Keep", 1}}));
    platform::Container::ensureDirectory(platform::Container::cachesPath());
    platform::LogCapture log;
    WFLocalStorage::verifyAndFixDatabaseLocations();
    auto stored = platform::plist::readFile(prefs);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ((*stored)["WebDatabaseDirectory"], platform::Container::cachesPath());
    EXPECT_EQ((*stored)["Keep"], 1);
    EXPECT_EQ(log.lines(), std::vector<std::string>{"Fix applied for database locations?: YES"});
    WFLocalStorage::verifyAndFixDatabaseLocations();
    EXPECT_EQ(log.lines().size(), 1u);
}

TEST_F(LocalStorageTest, IdentifierLeadingOutOfPreferencesIsNotFollowed) {
    MainBundleWithIdentifier bundle("../../../outside");
    // Where Library/Preferences/../../../outside.plist points.
    std::string outside = (fs::path(platform::Container::home()).parent_path() / "outside.plist").string();
    ASSERT_TRUE(platform::plist::writeFile(outside, {{"WebDatabaseDirectory", "/var/old/WebKit"}}));
    fs::create_directories(platform::Container::preferencesPath());
    WFLocalStorage::verifyAndFixDatabaseLocations();
    auto stored = platform::plist::readFile(outside);
    fs::remove(outside);
    ASSERT_TRUE(stored.has_value());
    EXPECT_EQ((*stored)["WebDatabaseDirectory"], "/var/old/WebKit");
}

TEST_F(LocalStorageTest, LegacyStorageMovesToTheTypesPlace) {
    // Earlier "cloud" storage under Library/WebKit/LocalStorage, now type "local".
    std::string library = platform::Container::libraryPath();
    std::string old = library + "/WebKit/LocalStorage/file__0.localstorage";
    { LiveDatabase db(old, "legacy"); }
    platform::LogCapture log;
    WFLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("local");
    EXPECT_EQ(readValue(library + "/Caches/file__0.localstorage"), "legacy");
    EXPECT_FALSE(fs::exists(old));
    EXPECT_TRUE(log.contains("Removing old webstorage backup: '" + old + "'."));
    EXPECT_FALSE(platform::UserDefaults::standard().boolForKey("WebKitStoreWebDataForBackup"));
    EXPECT_TRUE(platform::UserDefaults::standard().objectForKey("WebKitStoreWebDataForBackup").has_value());

    WFLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("cloud");
    EXPECT_TRUE(platform::UserDefaults::standard().boolForKey("WebKitStoreWebDataForBackup"));
}

TEST_F(LocalStorageTest, LegacyStorageThatCannotMoveIsKept) {
    std::string library = platform::Container::libraryPath();
    std::string old = library + "/Caches/file__0.localstorage";
    { LiveDatabase db(old, "only copy"); }
    // The new place cannot be made: a file stands where its folder belongs.
    fs::remove_all(library + "/WebKit");
    writeFile(library + "/WebKit", "not a folder");
    platform::LogCapture log;
    WFLocalStorage::restoreLegacyDatabaseLocationsWithBackupType("cloud");
    EXPECT_EQ(readValue(old), "only copy");
    EXPECT_TRUE(log.contains("Keeping old webstorage backup '" + old + "'"));
    EXPECT_FALSE(log.contains("Removing old webstorage backup: '" + old + "'."));
}

TEST_F(LocalStorageTest, WebEngineIsToldTheTypesPlace) {
    std::string library = platform::Container::libraryPath();
    EXPECT_EQ(WFLocalStorage::webStorageLocationForBackupType("cloud").localStorageDirectory,
              library + "/WebKit/LocalStorage");
    EXPECT_EQ(WFLocalStorage::webStorageLocationForBackupType("none").localStorageDirectory, library + "/Caches");
}

}  // namespace
}  // namespace wharf
