#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <thread>
#include <vector>

#include "GeolocationTestSupport.h"
#include "TestSupport.h"
#include "platform/Container.h"
#include "platform/Log.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

using namespace wharf;
using test::fixAt;
using test::sqliteShell;

namespace {

class LocationStoreTest : public ::testing::Test {
protected:
    std::string file() const { return platform::Container::libraryPath() + "/wharf_bg_geolocation.db"; }
    // "id|time|valid" of every row, oldest first, as the shell sees the file.
    std::string rows() const { return sqliteShell(file(), "SELECT id, time, valid FROM location ORDER BY time, id"); }
    static std::vector<double> times(const std::vector<Location>& locations) {
        std::vector<double> t;
        for (const auto& l : locations) t.push_back(secondsSince1970(*l.time));
        return t;
    }

    test::TempHome home_;
};

TEST_F(LocationStoreTest, FreshInstallHasTheSchemaAndMetaRowAndASecondStartChangesNothing) {
    {
        SQLiteLocationDAO store;
        // Made, it has not touched the file: it opens on first use.
        EXPECT_FALSE(std::filesystem::exists(file()));
        ASSERT_TRUE(store.open());
    }
    EXPECT_EQ(sqliteShell(file(), ".schema"),
              "CREATE TABLE __META ( id INTEGER PRIMARY KEY , db_version INTEGER , created INTEGER , "
              "last_updated INTEGER );\n"
              "CREATE TABLE location ( id INTEGER PRIMARY KEY AUTOINCREMENT , time REAL , accuracy REAL , "
              "speed REAL , bearing REAL , altitude REAL , latitude REAL , longitude REAL , provider TEXT , "
              "service_provider TEXT , valid INTEGER );\n"
              "CREATE TABLE sqlite_sequence(name,seq);\n"
              "CREATE INDEX time_idx ON location (time);\n");
    const std::string meta = sqliteShell(file(), "SELECT id, db_version, typeof(created), last_updated >= created, "
                                                 "created >= datetime('now', '-1 minute') FROM __META");
    EXPECT_EQ(meta, "1|1|text|1|1\n");
    const std::string before = sqliteShell(file(), "SELECT * FROM __META");
    // Where and when the user went is the user's alone.
    EXPECT_EQ(std::filesystem::status(file()).permissions() & std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);

    platform::LogCapture capture;
    SQLiteLocationDAO again;
    ASSERT_TRUE(again.open());
    EXPECT_TRUE(capture.contains("Current db version: 1"));
    EXPECT_EQ(sqliteShell(file(), "SELECT * FROM __META"), before);
    EXPECT_EQ(sqliteShell(file(), "SELECT COUNT(*) FROM location"), "0\n");
}

TEST_F(LocationStoreTest, RingBufferOfThreeKeepsTheThreeNewestFixesInTheirRows) {
    SQLiteLocationDAO store;
    std::vector<int64_t> ids;
    for (int i = 1; i <= 5; ++i) {
        auto id = store.persistLocation(fixAt(1000 + i), 3);
        ASSERT_TRUE(id) << i;
        ids.push_back(*id);
    }
    // The fourth and fifth fix took the rows of the first and second.
    EXPECT_EQ(ids, (std::vector<int64_t>{1, 2, 3, 1, 2}));
    EXPECT_EQ(rows(), "3|1003.0|1\n1|1004.0|1\n2|1005.0|1\n");

    // A lower limit trims the oldest rows before the overwrite.
    for (int i = 6; i <= 7; ++i) store.persistLocation(fixAt(1000 + i), 5);
    EXPECT_EQ(store.getAllLocations().size(), 5u);
    auto id = store.persistLocation(fixAt(1010), 3);
    ASSERT_TRUE(id);
    EXPECT_EQ(times(store.getAllLocations()), (std::vector<double>{1006, 1007, 1010}));

    // Of two rows sharing the oldest time, only the one with the lower id gives way.
    store.persistLocation(fixAt(1006), 4);
    EXPECT_EQ(store.persistLocation(fixAt(1020), 4), 4);
    EXPECT_EQ(rows(), "6|1006.0|1\n5|1007.0|1\n2|1010.0|1\n4|1020.0|1\n");

    // No room at all: nothing stored.
    EXPECT_FALSE(store.persistLocation(fixAt(1021), 0));
    EXPECT_EQ(sqliteShell(file(), "SELECT COUNT(*) FROM location"), "0\n");
}

TEST_F(LocationStoreTest, AnUploadMarksItsOwnFixNotARowTheRingBufferHasSinceReused) {
    SQLiteLocationDAO store;
    Location first = fixAt(100);
    first.id = store.persistLocation(first, 1);
    Location second = fixAt(200);
    second.id = store.persistLocation(second, 1);
    ASSERT_EQ(first.id, second.id);  // one row, now holding the second fix

    // The first fix's late success must not mark the second fix as sent.
    EXPECT_TRUE(store.deleteLocation(first));
    EXPECT_EQ(store.getValidLocations().size(), 1u);
    EXPECT_TRUE(store.deleteLocation(second));
    EXPECT_TRUE(store.getValidLocations().empty());
    ASSERT_EQ(store.getAllLocations().size(), 1u);
    EXPECT_FALSE(store.getAllLocations()[0].isValid);
}

TEST_F(LocationStoreTest, SyncHandOffMarksTheBatchAndAFailedUploadGivesItBack) {
    SQLiteLocationDAO store;
    for (int i = 1; i <= 4; ++i) store.persistLocation(fixAt(100 * i), 4);
    store.deleteLocation(int64_t{2});
    EXPECT_EQ(store.getLocationsCount(), 3);

    auto batch = store.getLocationsForSync();
    EXPECT_EQ(times(batch), (std::vector<double>{100, 300, 400}));
    EXPECT_EQ(store.getLocationsCount(), 0);
    EXPECT_TRUE(store.getLocationsForSync().empty());

    // While the batch was out, the ring buffer gave its oldest row to a new fix.
    auto reused = store.persistLocation(fixAt(500), 4);
    ASSERT_EQ(reused, batch[0].id);
    Location sent = fixAt(500);
    sent.id = reused;
    store.deleteLocation(sent);  // and was sent on its own

    EXPECT_TRUE(store.revalidateLocations(batch));
    // The two rows still holding the batch's fixes wait again; the reused row keeps its own state.
    EXPECT_EQ(times(store.getValidLocations()), (std::vector<double>{300, 400}));
    auto again = store.getLocationsForSync();
    EXPECT_EQ(times(again), (std::vector<double>{300, 400}));
}

TEST_F(LocationStoreTest, RowsReadBackCarryTheStoredColumnsUntilCleared) {
    SQLiteLocationDAO store;
    Location fix = fixAt(1234.5, 7.25);
    fix.provider = "gps";
    fix.serviceProvider = 42;
    ASSERT_TRUE(store.persistLocation(fix));
    store.persistLocation(fixAt(2000));
    store.deleteLocation(int64_t{2});

    const auto all = store.getAllLocations();
    ASSERT_EQ(all.size(), 2u);
    const Location& back = all[0];
    EXPECT_EQ(back.id, 1);
    EXPECT_TRUE(back.isValid);
    EXPECT_FALSE(all[1].isValid);
    // Everything stored comes back (heading from the bearing column); the type is not stored.
    Location expected = fix.copy();
    expected.id = 1;
    expected.altitudeAccuracy.reset();
    expected.type.reset();
    EXPECT_EQ(back.toDictionaryWithId(), expected.toDictionaryWithId());
    EXPECT_EQ(sqliteShell(file(), "SELECT provider, typeof(service_provider) FROM location WHERE id = 2"), "|null\n");

    const auto valid = store.getValidLocations();
    ASSERT_EQ(valid.size(), 1u);
    EXPECT_EQ(valid[0].id, 1);

    // Clearing keeps the time index the oldest-first reads rely on.
    EXPECT_TRUE(store.clearDatabase());
    EXPECT_TRUE(store.getAllLocations().empty());
    EXPECT_EQ(sqliteShell(file(), "SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'location'"),
              "time_idx\n");
}

TEST_F(LocationStoreTest, ConcurrentFixesNeverOverfillTheRingBuffer) {
    SQLiteLocationDAO store;
    constexpr int kThreads = 4, kEach = 40, kLimit = 25;
    std::atomic<int> stored{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kEach; ++i)
                if (store.persistLocation(fixAt(t * 1000 + i), kLimit)) ++stored;
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(stored.load(), kThreads * kEach);
    EXPECT_EQ(store.getAllLocations().size(), size_t{kLimit});
    EXPECT_EQ(sqliteShell(file(), "SELECT COUNT(DISTINCT id), MAX(id) FROM location"), "25|25\n");
}

TEST_F(LocationStoreTest, RowsThatCannotBeMarkedSentAreNotHandedOutAndStayFreeToTake) {
    test::SmallFilesystem disk("size=1m");
    WHARF_REQUIRE_COMPONENT(disk.mounted(), disk.why());
    platform::Container::setHome(disk.path());
    SQLiteLocationDAO store;
    for (int i = 1; i <= 3; ++i) ASSERT_TRUE(store.persistLocation(fixAt(100 * i), 10));
    const std::string library = platform::Container::libraryPath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });

    // Read-only (no journal can be made): the rollback goes through, and
    // nothing was marked.
    auto taken = store.claimLocationsForSync();
    ASSERT_EQ(taken.size(), 3u);
    ASSERT_TRUE(test::setImmutable(library, true));
    EXPECT_FALSE(store.markLocationsSent(taken));
    EXPECT_TRUE(store.getLocationsForSync().empty());
    ASSERT_TRUE(test::setImmutable(library, false));
    EXPECT_EQ(times(store.getValidLocations()), (std::vector<double>{100, 200, 300}));

    // Locked by another program: nothing runs at all, and the rows are let go.
    taken = store.claimLocationsForSync();
    ASSERT_EQ(taken.size(), 3u);
    store.setMaxBusyRetryTimeInterval(0);
    SQLDatabase other(file());
    ASSERT_TRUE(other.open());
    ASSERT_TRUE(other.executeStatements("BEGIN EXCLUSIVE"));
    EXPECT_FALSE(store.markLocationsSent(taken));
    ASSERT_TRUE(other.rollback());
    EXPECT_EQ(times(store.claimLocationsForSync()), (std::vector<double>{100, 200, 300}));
}

// Fixes the server took on their own while their rows could not be marked
// (no journal can be made in an immutable directory): no batch takes them
// meanwhile, and whichever write finds the store writable again marks them
// and lets their rows go, for the ring buffer's next fixes to go out too.
TEST_F(LocationStoreTest, DeliveriesThatCouldNotBeMarkedAreMarkedByTheNextWriteAndFreeTheirRows) {
    SQLiteLocationDAO store;
    const std::string library = platform::Container::libraryPath();
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    auto stored = [&](double time) {
        Location l = fixAt(time);
        l.id = store.persistLocation(l, 3);
        EXPECT_TRUE(l.id) << time;
        return l;
    };
    // Taken for its own POST, which the server accepts once the store has turned read-only.
    auto deliveredUnmarked = [&](const Location& l, bool claimed = false) {
        if (!claimed) {
            ASSERT_EQ(store.claimLocation(l), SQLiteLocationDAO::Claim::Claimed);
        }
        ASSERT_TRUE(test::setImmutable(library, true));
        EXPECT_FALSE(store.markLocationsDelivered({l}));
        ASSERT_TRUE(test::setImmutable(library, false));
    };
    const Location a = stored(100);
    stored(200);
    WHARF_REQUIRE_COMPONENT(test::setImmutable(library, false), "chattr on the test's home");
    deliveredUnmarked(a);
    auto taken = store.claimLocationsForSync();
    EXPECT_EQ(times(taken), std::vector<double>{200}) << "a batch took a fix the server has";
    store.releaseLocations(taken);

    // A fix stored: the first write marks it.
    stored(300);
    EXPECT_EQ(rows(), "1|100.0|0\n2|200.0|1\n3|300.0|1\n");
    // Its row is the oldest: the next fix takes it, and is free to go on its own.
    const Location d = stored(400);
    ASSERT_EQ(d.id, a.id);
    EXPECT_EQ(store.claimLocation(d), SQLiteLocationDAO::Claim::Claimed);

    // A batch marked sent: that write marks it too.
    deliveredUnmarked(d, true);
    taken = store.claimLocationsForSync();
    EXPECT_EQ(times(taken), (std::vector<double>{200, 300}));
    ASSERT_TRUE(store.markLocationsSent(taken));
    EXPECT_EQ(rows(), "2|200.0|0\n3|300.0|0\n1|400.0|0\n");

    // Or nothing but the retry that asks for it.
    const Location e = stored(500);
    deliveredUnmarked(e);
    EXPECT_TRUE(store.markDeliveredLocations());
    EXPECT_EQ(sqliteShell(file(), "SELECT valid FROM location WHERE time = 500"), "0\n");
}

// A store file the host cannot write (immutable: chattr +i binds root too,
// where a read-only mode would not) is not opened: SQLite would open it
// read-only and count that a success, and it would stay read-only once the
// file could be written. Asked for five times a second for an hour, it is
// tried ever less often and its spell is logged once; writable, it opens at
// the next try. So does a store on a read-only mount, and one whose schema
// could not be written (an empty file in an immutable directory: no journal
// can be made).
TEST_F(LocationStoreTest, AStoreTheHostCannotWriteIsNotOpenedAndIsTriedLessOftenUntilItCanBe) {
    {
        SQLiteLocationDAO made;
        ASSERT_TRUE(made.persistLocation(fixAt(100), 10));
    }
    std::shared_ptr<void> writableAtExit(nullptr, [&](void*) { test::setImmutable(file(), false); });
    WHARF_REQUIRE_COMPONENT(test::setImmutable(file(), true), "chattr on the test's home");
    auto clock = std::make_shared<platform::ManualClock>();
    SQLiteLocationDAO store(clock);
    platform::LogCapture capture;
    platform::Error error;
    EXPECT_FALSE(store.persistLocation(fixAt(200), 10, &error));
    EXPECT_EQ(error.code, SQLITE_CANTOPEN);
    EXPECT_NE(error.localizedDescription().find("cannot be written: Operation not permitted"), std::string::npos)
        << error.localizedDescription();
    for (int i = 0; i < 5 * 3600; ++i) {
        clock->advance(std::chrono::milliseconds(200));
        ASSERT_FALSE(store.open());
    }
    EXPECT_EQ(capture.lines().size(), 1u) << capture.lines().back();
    // What only reads it may open it read-only.
    EXPECT_EQ(GeolocationOpenHelper().getDatabaseMetadata()["dbVersion"], 1);
    capture.clear();

    ASSERT_TRUE(test::setImmutable(file(), false));
    int waited = 0;
    for (; !store.open() && waited < 200; ++waited) clock->advance(std::chrono::milliseconds(200));
    EXPECT_LE(std::chrono::milliseconds(200) * waited, SQLiteLocationDAO::kMostOpenInterval);
    ASSERT_TRUE(store.persistLocation(fixAt(200), 10));
    EXPECT_EQ(rows(), "1|100.0|1\n2|200.0|1\n");
    // Tried about once for each longest interval, not 18,000 times.
    const std::string opened = capture.lines().back();
    const std::string prefix = "The location store opened after ";
    ASSERT_TRUE(opened.starts_with(prefix) && opened.ends_with(" failed attempts")) << opened;
    const long attempts = std::strtol(opened.c_str() + prefix.size(), nullptr, 10);
    EXPECT_GT(attempts, 0);
    EXPECT_LT(attempts, 3600 / SQLiteLocationDAO::kMostOpenInterval.count() + 10);

    // No journal can be made beside an empty store file: its schema cannot be written.
    std::filesystem::remove(file());
    test::writeFile(file(), "");
    const std::string library = platform::Container::libraryPath();
    std::shared_ptr<void> libraryWritableAtExit(nullptr, [&](void*) { test::setImmutable(library, false); });
    ASSERT_TRUE(test::setImmutable(library, true));
    SQLiteLocationDAO empty(clock);
    EXPECT_FALSE(empty.open());
    ASSERT_TRUE(test::setImmutable(library, false));
    clock->advance(SQLiteLocationDAO::kFirstOpenInterval);
    ASSERT_TRUE(empty.open());
    EXPECT_TRUE(empty.persistLocation(fixAt(300), 10));
    EXPECT_EQ(rows(), "1|300.0|1\n");

    // Library on a read-only mount.
    test::ReadOnlyBind mount(library);
    WHARF_REQUIRE_COMPONENT(mount.readOnly(), "a read-only bind mount");
    SQLiteLocationDAO mounted(clock);
    EXPECT_FALSE(mounted.open());
    ASSERT_TRUE(mount.release());
    clock->advance(SQLiteLocationDAO::kFirstOpenInterval);
    ASSERT_TRUE(mounted.persistLocation(fixAt(400), 10));
    EXPECT_EQ(rows(), "1|300.0|1\n2|400.0|1\n");
}

TEST_F(LocationStoreTest, AStoreThatCannotOpenItsFileAnswersEmptyHanded) {
    std::filesystem::create_directories(file());  // a directory where the file belongs
    SQLiteLocationDAO store;
    EXPECT_FALSE(store.persistLocation(fixAt(1), 10));
    EXPECT_TRUE(store.getLocationsForSync().empty());
    EXPECT_FALSE(store.getLocationsCount());
    EXPECT_FALSE(store.deleteAllLocations());
}

}  // namespace
