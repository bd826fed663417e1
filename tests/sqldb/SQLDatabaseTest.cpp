#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <limits>
#include <thread>

#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/storage/PropertyList.h"
#include "sqldb/SQLDatabase.h"

using namespace wharf;
using platform::Bytes;
using platform::Error;
using platform::LogCapture;
using platform::Value;
using namespace std::chrono_literals;

namespace {

class SQLDatabaseTest : public ::testing::Test {
protected:
    void SetUp() override {
        db = SQLDatabase::databaseWithPath(dir.file("test.sqlite"));
        ASSERT_TRUE(db->open());
        ASSERT_TRUE(db->executeUpdate("create table t (a, b)"));
    }
    int64_t count(const char* table = "t") { return db->longForQuery(std::string("select count(*) from ") + table); }

    test::TempDir dir;
    std::shared_ptr<SQLDatabase> db;
};

TEST(SQLDatabaseOpen, PathsMemoryAndTemporary) {
    test::TempDir dir;
    auto file = SQLDatabase::databaseWithPath(dir.file("a.db"));
    EXPECT_EQ(file->sqliteHandle(), nullptr);
    ASSERT_TRUE(file->open());
    sqlite3* handle = file->sqliteHandle();
    EXPECT_TRUE(file->open());  // already open: nothing changes
    EXPECT_EQ(file->sqliteHandle(), handle);
    EXPECT_TRUE(file->executeUpdate("create table x (v)"));
    EXPECT_TRUE(std::filesystem::exists(dir.file("a.db")));
    EXPECT_TRUE(file->goodConnection());
    EXPECT_TRUE(file->close());
    EXPECT_TRUE(file->close());
    EXPECT_FALSE(file->goodConnection());

    // Both have no file name; only an in-memory database keeps its journal in memory.
    SQLDatabase memory;  // no path: in memory
    ASSERT_TRUE(memory.open());
    EXPECT_STREQ(sqlite3_db_filename(memory.sqliteHandle(), "main"), "");
    EXPECT_EQ(memory.stringForQuery("pragma journal_mode"), "memory");
    EXPECT_TRUE(memory.executeUpdate("create table x (v)"));
    SQLDatabase temporary(std::string(""));
    ASSERT_TRUE(temporary.open());
    EXPECT_STREQ(sqlite3_db_filename(temporary.sqliteHandle(), "main"), "");
    EXPECT_EQ(temporary.stringForQuery("pragma journal_mode"), "delete");
    EXPECT_TRUE(temporary.executeUpdate("create table x (v)"));
}

TEST(SQLDatabaseOpen, FailuresAreReportedAndLogged) {
    test::TempDir dir;
    LogCapture capture;
    SQLDatabase missing(dir.file("no/such/dir/db.sqlite"));
    EXPECT_FALSE(missing.open());
    EXPECT_TRUE(capture.contains("error opening!: 14"));
    EXPECT_EQ(missing.sqliteHandle(), nullptr);

    // A NUL inside the path must not open the file named by its first part.
    SQLDatabase nul(dir.file("a.db") + std::string("\0b", 2));
    EXPECT_FALSE(nul.open());
    EXPECT_FALSE(std::filesystem::exists(dir.file("a.db")));

    SQLDatabase readOnly(dir.file("absent.db"));
    EXPECT_FALSE(readOnly.openWithFlags(SQLITE_OPEN_READONLY));

    capture.clear();
    SQLDatabase closed;
    EXPECT_EQ(closed.executeQuery("select 1"), nullptr);
    Error error;
    EXPECT_FALSE(closed.executeUpdateWithErrorAndBindings("select 1", &error));
    EXPECT_TRUE(capture.contains("is not open."));
    EXPECT_FALSE(closed.interrupt());
}

TEST(SQLDatabaseOpen, CloseClosesCursorsAndCache) {
    SQLDatabase db;
    ASSERT_TRUE(db.open());
    db.setShouldCacheStatements(true);
    ASSERT_TRUE(db.executeUpdate("create table t (v)"));
    ASSERT_TRUE(db.executeUpdate("insert into t values (?)", 1));
    auto rs = db.executeQuery("select v from t");
    ASSERT_TRUE(rs);
    EXPECT_TRUE(db.hasOpenResultSets());
    EXPECT_TRUE(db.close());
    EXPECT_FALSE(db.hasOpenResultSets());
    EXPECT_EQ(rs->statement(), nullptr);
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(db.cachedStatementCount(), 0u);
}

TEST(SQLDatabaseOpen, CursorsAndStatementsMayOutliveTheConnection) {
    auto db = std::make_unique<SQLDatabase>();
    ASSERT_TRUE(db->open());
    db->setShouldCacheStatements(true);
    ASSERT_TRUE(db->executeUpdate("create table t (v)"));
    auto held = db->cachedStatementForQuery("create table t (v)");
    ASSERT_TRUE(held);
    db->setShouldCacheStatements(false);  // the cache lets go; this owner does not
    auto rs = db->executeQuery("select 1");
    ASSERT_TRUE(rs && rs->next());
    LogCapture capture;
    db.reset();
    EXPECT_TRUE(capture.contains("Closing leaked statement"));
    EXPECT_FALSE(rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 0);
    rs.reset();
    held.reset();  // finalising it lets SQLite finish closing the connection
}

TEST(SQLDatabaseVersion, TheNumberFollowsTheTextAndTheLibraryIsTheOneInUse) {
    EXPECT_EQ(SQLDatabase::versionNumberFromString("2.6.2"), 0x262u);
    EXPECT_EQ(SQLDatabase::versionNumberFromString("2.6"), 0x260u);
    EXPECT_EQ(SQLDatabase::versionNumberFromString("2.10.1"), 0x2101u);
    EXPECT_EQ(SQLDatabase::SQLDBVersion(), SQLDatabase::versionNumberFromString(SQLDatabase::SQLDBUserVersion()));

    SQLDatabase db;
    ASSERT_TRUE(db.open());
    EXPECT_EQ(db.stringForQuery("select sqlite_version()"), SQLDatabase::sqliteLibVersion());
    LogCapture capture;
    EXPECT_EQ(db.busyRetryTimeout(), -1);
    EXPECT_TRUE(capture.contains("SQLDB: busyRetryTimeout no longer works, please use maxBusyRetryTimeInterval"));
}

TEST_F(SQLDatabaseTest, EveryBindKindRoundTrips) {
    const std::string textWithNul("a\0b\xC3\xA9", 5);
    const Bytes blobWithNul{0, 1, 0, 255};
    const auto date = dateWithSecondsSince1970(1234567890.25);
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", int8_t{-5}, uint16_t{65535}));
    ASSERT_TRUE(
        db->executeUpdate("insert into t values (?, ?)", uint32_t{4294967295u}, std::numeric_limits<int64_t>::min()));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", std::numeric_limits<uint64_t>::max(), true));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", 1.5f, 0.1));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", textWithNul, blobWithNul));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", std::string(), Bytes{}));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", nullptr, std::optional<int>()));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, ?)", date, static_cast<const char*>(nullptr)));

    auto rs = db->executeQuery("select a, b, typeof(a), typeof(b) from t order by rowid");
    ASSERT_TRUE(rs);
    auto row = [&] { return rs->next(); };
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->intForColumnIndex(0), -5);
    EXPECT_EQ(rs->intForColumnIndex(1), 65535);
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->longForColumnIndex(0), 4294967295LL);  // zero-extended
    EXPECT_EQ(rs->longForColumnIndex(1), std::numeric_limits<int64_t>::min());
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->longForColumnIndex(0), -1);  // same 64 bits
    EXPECT_EQ(rs->unsignedLongLongIntForColumnIndex(0), std::numeric_limits<uint64_t>::max());
    EXPECT_EQ(rs->objectForColumnIndex(1), Value(1));
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->doubleForColumnIndex(0), 1.5);
    EXPECT_EQ(rs->doubleForColumnIndex(1), 0.1);
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->stringForColumnIndex(0), textWithNul);
    EXPECT_EQ(rs->dataForColumnIndex(1), blobWithNul);
    EXPECT_EQ(rs->stringForColumnIndex(3), "blob");
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->stringForColumnIndex(0), "");
    EXPECT_EQ(rs->stringForColumnIndex(2), "text");
    EXPECT_EQ(rs->stringForColumnIndex(3), "blob");  // an empty blob is not NULL
    EXPECT_EQ(rs->dataForColumnIndex(1), Bytes{});
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->stringForColumnIndex(2), "null");
    EXPECT_EQ(rs->stringForColumnIndex(3), "null");
    ASSERT_TRUE(row());
    EXPECT_EQ(rs->stringForColumnIndex(2), "real");
    EXPECT_EQ(rs->doubleForColumnIndex(0), 1234567890.25);
    EXPECT_EQ(rs->dateForColumnIndex(0), date);
    EXPECT_TRUE(rs->columnIndexIsNull(1));
    EXPECT_FALSE(row());
}

TEST_F(SQLDatabaseTest, ValueArraysAndDictionariesBindTheSameKinds) {
    std::vector<Value> values{Value(true), platform::bytesValue(Bytes{0, 7})};
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t values (?, ?)", values));
    values = {Value(std::numeric_limits<uint64_t>::max()), Value(std::string("x\0y", 3))};
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t values (?, ?)", values));
    values = {platform::plist::dateValue(10.5), Value{{"k", 1}}};
    ASSERT_TRUE(db->executeUpdateWithArgumentsInArray("insert into t values (?, ?)", values));
    ASSERT_TRUE(
        db->executeUpdateWithParameterDictionary("insert into t values (:a, :b)", Value{{"a", nullptr}, {"b", 2.5}}));

    auto rs = db->executeQuery("select a, b from t order by rowid");
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->objectForColumnIndex(0), Value(1));
    EXPECT_EQ(rs->objectForColumnIndex(1), platform::bytesValue(Bytes{0, 7}));
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->longForColumnIndex(0), -1);
    EXPECT_EQ(rs->objectForColumnIndex(1), Value(std::string("x\0y", 3)));
    ASSERT_TRUE(rs->next());
    EXPECT_EQ(rs->objectForColumnIndex(0), Value(10.5));
    EXPECT_EQ(rs->objectForColumnIndex(1), Value("{\"k\":1}"));
    ASSERT_TRUE(rs->next());
    EXPECT_TRUE(rs->objectForColumnIndex(0).is_null());
    EXPECT_EQ(rs->objectForColumnIndex(1), Value(2.5));
}

TEST_F(SQLDatabaseTest, DatesUseTheFormatWhenOneIsSet) {
    db->setDateFormat(SQLDatabase::storeableDateFormat("yyyy-MM-dd HH:mm:ss.SSS"));
    const auto date = dateWithSecondsSince1970(86400.5);
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, 0)", date));
    EXPECT_EQ(db->stringForQuery("select a from t"), "1970-01-02 00:00:00.500");
    EXPECT_EQ(db->dateForQuery("select a from t"), date);
    EXPECT_EQ(db->dateFromString("garbage"), std::nullopt);

    // Times on an exact millisecond, as the clock and the page give them,
    // keep that millisecond both ways, before 1970 as after.
    ASSERT_TRUE(db->executeUpdate("delete from t"));
    const SQLDate today{std::chrono::milliseconds(1700000000300)};
    const SQLDate early{std::chrono::milliseconds(-1700000000300)};
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, 1)", today));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, 2)", early));
    EXPECT_EQ(db->stringForQuery("select a from t where b = 1"), "2023-11-14 22:13:20.300");
    EXPECT_EQ(db->stringForQuery("select a from t where b = 2"), "1916-02-18 01:46:39.700");
    EXPECT_EQ(db->dateForQuery("select a from t where b = 1"), today);
    EXPECT_EQ(db->dateForQuery("select a from t where b = 2"), early);
    // Through a format string, and as a date among values (both seconds in a double).
    ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%@, 3)", today));
    ASSERT_TRUE(db->executeUpdate("insert into t values (?, 4)", platform::plist::dateValue(1700000000.3)));
    EXPECT_EQ(db->stringForQuery("select a from t where b = 3"), "2023-11-14 22:13:20.300");
    EXPECT_EQ(db->stringForQuery("select a from t where b = 4"), "2023-11-14 22:13:20.300");
    EXPECT_EQ(dateWithSecondsSince1970(-1e-300), dateWithSecondsSince1970(0));

    SQLDateFormatter words("d MMM yyyy 'at' h a Z");
    EXPECT_EQ(words.stringFromDate(dateWithSecondsSince1970(1700000000)), "14 Nov 2023 at 10 PM +0000");
    EXPECT_EQ(words.dateFromString("14 nov 2023 at 10 PM +0100"), dateWithSecondsSince1970(1699999200 - 3600));
    EXPECT_EQ(words.dateFromString("14 nov 2023 at 10 PM"), std::nullopt);
}

TEST_F(SQLDatabaseTest, BindCountsMustMatch) {
    LogCapture capture;
    auto rs = db->executeQuery("select ?, ?", 1, 2, 3);  // extra values are left over
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(1), 2);
    rs->close();

    EXPECT_EQ(db->executeQuery("select ?, ?", 1), nullptr);
    EXPECT_TRUE(capture.contains("Error: the bind count is not correct for the # of variables (executeQuery)"));

    Error error;
    EXPECT_EQ(db->executeQueryValues("select ?, ?", {Value(1)}, &error), nullptr);
    EXPECT_EQ(error.code, SQLITE_RANGE);  // not the "not an error" of the previous statement
    EXPECT_FALSE(db->executeUpdateValues("insert into t values (?, ?)", {Value(1)}, &error));
    EXPECT_EQ(error.localizedDescription(),
              "Error: the bind count (1) is not correct for the # of variables in the query (2) "
              "(insert into t values (?, ?)) (executeUpdate)");
    EXPECT_EQ(error.domain, "SQLDatabase");

    // A key the statement does not name is skipped, so the count falls short.
    EXPECT_EQ(db->executeQueryWithParameterDictionary("select :a, :b", Value{{"a", 1}, {"c", 2}}), nullptr);
    EXPECT_TRUE(capture.contains("Could not find index for c"));
    EXPECT_FALSE(db->executeUpdateWithParameterDictionary("insert into t values (:a, :b)", Value{{"a", 1}, {"zz", 2}}));
    EXPECT_EQ(count(), 0);
    EXPECT_FALSE(db->hasOpenResultSets());
    EXPECT_TRUE(db->executeUpdate("insert into t values (1, 2)"));  // still usable
}

TEST_F(SQLDatabaseTest, ValuesSQLiteRefusesFailTheStatement) {
    constexpr int kLimit = 100;
    sqlite3_limit(db->sqliteHandle(), SQLITE_LIMIT_LENGTH, kLimit);
    const std::string longText(kLimit + 1, 'x');
    const Bytes longBlob(kLimit + 1, 7);
    const std::string sql = "insert into t values (?, ?)";
    LogCapture capture;
    for (bool caching : {false, true}) {
        SCOPED_TRACE(caching ? "cached" : "uncached");
        db->setShouldCacheStatements(caching);
        ASSERT_TRUE(db->executeUpdate(sql, "good", 1));  // with caching: a statement holding values
        Error error;
        EXPECT_FALSE(db->update(sql, &error, "text", longText));
        EXPECT_EQ(error.code, SQLITE_TOOBIG);
        EXPECT_EQ(error.domain, "SQLDatabase");
        EXPECT_EQ(error.localizedDescription(),
                  "Error: could not bind the value of parameter 2 (18: string or blob too big) (executeUpdate)");
        error = {};
        EXPECT_FALSE(db->executeUpdateValues(sql, {Value("blob"), platform::bytesValue(longBlob)}, &error));
        EXPECT_EQ(error.code, SQLITE_TOOBIG);
        EXPECT_FALSE(db->executeUpdateWithParameterDictionary("insert into t values (:a, :b)",
                                                              Value{{"a", longText}, {"b", 2}}));
        EXPECT_FALSE(db->executeUpdate(sql, longBlob, "first refused"));
        EXPECT_EQ(count(), 1);  // only the good row

        error = {};
        EXPECT_EQ(db->executeQueryValues("select ?", {Value(longText)}, &error), nullptr);
        EXPECT_EQ(error.code, SQLITE_TOOBIG);
        EXPECT_EQ(db->executeQuery("select ?", longBlob), nullptr);
        EXPECT_FALSE(db->hasOpenResultSets());

        // The next run binds afresh: nothing of the refused values or the earlier row is left.
        ASSERT_TRUE(db->executeUpdate(sql, "next", 3));
        auto rs = db->executeQuery("select a, b from t order by rowid desc");
        ASSERT_TRUE(rs && rs->next());
        EXPECT_EQ(rs->stringForColumnIndex(0), "next");
        EXPECT_EQ(rs->intForColumnIndex(1), 3);
        rs->close();
        ASSERT_TRUE(db->executeUpdate("delete from t"));
    }
    EXPECT_TRUE(capture.contains("(18: string or blob too big) (executeQuery)"));
    EXPECT_TRUE(capture.contains("DB Query: insert into t values (?, ?)"));
}

TEST_F(SQLDatabaseTest, UpdateAndQueryResultCodes) {
    LogCapture capture;
    Error error;
    ASSERT_TRUE(db->executeUpdate("insert into t values (1, 2)"));
    EXPECT_EQ(db->lastInsertRowId(), 1);
    EXPECT_EQ(db->changes(), 1);

    // A SELECT that yields a row ran, but is no update.
    EXPECT_FALSE(db->executeUpdateWithErrorAndBindings("select * from t", &error));
    EXPECT_EQ(error.localizedDescription(), "A executeUpdate is being called with a query string 'select * from t'");
    EXPECT_EQ(error.code, SQLITE_ROW);

    error = {};
    EXPECT_FALSE(db->update("insert into nowhere values (1)", &error));
    EXPECT_EQ(error.code, SQLITE_ERROR);
    EXPECT_EQ(error.localizedDescription(), "no such table: nowhere");
    EXPECT_TRUE(capture.contains("DB Error: 1 \"no such table: nowhere\""));
    EXPECT_TRUE(capture.contains("DB Query: insert into nowhere values (1)"));
    EXPECT_TRUE(db->hadError());

    ASSERT_TRUE(db->executeUpdate("create table u (k primary key)"));
    ASSERT_TRUE(db->executeUpdate("insert into u values (1)"));
    error = {};
    EXPECT_FALSE(db->update("insert into u values (?)", &error, 1));
    EXPECT_EQ(error.code, SQLITE_CONSTRAINT);
    EXPECT_TRUE(capture.contains("Unknown error calling sqlite3_step (19: UNIQUE constraint failed: u.k) eu"));

    EXPECT_EQ(db->executeQuery("selec 1"), nullptr);
    EXPECT_EQ(db->executeQuery("   "), nullptr);  // nothing to prepare
    error = {};
    EXPECT_FALSE(db->update("-- only a comment", &error));
    EXPECT_EQ(error.code, SQLITE_MISUSE);

    auto rs = db->executeQuery("select a from t");
    ASSERT_TRUE(rs);
    while (rs->next()) {}
    EXPECT_FALSE(db->hadError());

    capture.clear();
    db->setLogsErrors(false);
    EXPECT_FALSE(db->executeUpdate("insert into nowhere values (1)"));
    EXPECT_EQ(capture.lines().size(), 0u);
}

TEST_F(SQLDatabaseTest, CrashOnErrorsThrowsAndLeavesTheConnectionUsable) {
    db->setCrashOnErrors(true);
    db->setLogsErrors(false);
    EXPECT_THROW(db->executeUpdate("bogus"), SQLDBAssertionFailure);
    EXPECT_TRUE(db->executeUpdate("insert into t values (1, 1)"));
}

TEST_F(SQLDatabaseTest, InterruptedUpdateFillsTheError) {
    sqlite3* handle = db->sqliteHandle();
    db->makeFunctionNamed("stop", 0, [handle](sqlite3_context* context, int, sqlite3_value**) {
        sqlite3_interrupt(handle);
        sqlite3_result_int(context, 1);
    });
    LogCapture capture;
    Error error;
    EXPECT_FALSE(
        db->update("insert into t select stop(), x from (with recursive c(x) as (select 1 union all select x+1 from c "
                   "where x < 100000) select x from c)",
                   &error));
    EXPECT_EQ(error.code, SQLITE_INTERRUPT);
    EXPECT_TRUE(capture.contains("Query was interrupted (9: interrupted) SQLITE_INTERRUPT"));
    EXPECT_EQ(count(), 0);
}

TEST_F(SQLDatabaseTest, InterruptFromAnotherThread) {
    std::atomic<bool> started{false};
    db->makeFunctionNamed("started", 0, [&](sqlite3_context* context, int, sqlite3_value**) {
        started = true;
        sqlite3_result_int(context, 1);
    });
    std::thread stopper([&] {
        while (!started) std::this_thread::sleep_for(1ms);
        db->interrupt();
    });
    Error error;
    bool ok = db->update(
        "insert into t select started(), x from (with recursive c(x) as (select 1 union all select x+1 from c) "
        "select x from c)",
        &error);
    stopper.join();
    EXPECT_FALSE(ok);
    EXPECT_EQ(error.code, SQLITE_INTERRUPT);
}

TEST_F(SQLDatabaseTest, StatementCacheReusesOnlyFreeStatements) {
    db->setShouldCacheStatements(true);
    const std::string sql = "select a from t where a > ?";
    ASSERT_TRUE(db->executeUpdate("insert into t values (1, 0), (2, 0)"));

    auto first = db->executeQuery(sql, 0);
    ASSERT_TRUE(first && first->next());
    auto second = db->executeQuery(sql, 1);  // the first still owns its statement
    ASSERT_TRUE(second && second->next());
    EXPECT_NE(first->statement(), second->statement());
    EXPECT_EQ(second->intForColumnIndex(0), 2);
    EXPECT_EQ(first->intForColumnIndex(0), 1);
    auto firstStatement = first->statement();
    first->close();
    EXPECT_FALSE(firstStatement->inUse());
    auto third = db->executeQuery(sql, 0);
    EXPECT_EQ(third->statement(), firstStatement);
    EXPECT_EQ(firstStatement->useCount(), 2);
    EXPECT_EQ(firstStatement->query(), sql);
    third->close();
    second->close();
    EXPECT_EQ(db->cachedStatementCount(), 3u);  // the insert above, and two for the query

    // A bind-count failure leaves the cached statement usable.
    EXPECT_EQ(db->executeQuery(sql), nullptr);
    EXPECT_EQ(db->intForQuery(sql, 1), 2);

    // Updates are cached too and run again with new values.
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(db->executeUpdate("insert into t values (?, 1)", i));
    EXPECT_EQ(db->cachedStatementForQuery("insert into t values (?, 1)")->useCount(), 3);
    EXPECT_EQ(count(), 5);
    db->clearCachedStatements();
    EXPECT_EQ(db->cachedStatementCount(), 0u);
    EXPECT_EQ(firstStatement->statement(), nullptr);
}

TEST_F(SQLDatabaseTest, TransactionsReportTheirResults) {
    EXPECT_FALSE(db->commit());  // nothing to commit is not success
    EXPECT_FALSE(db->inTransaction());
    ASSERT_TRUE(db->beginTransaction());
    EXPECT_TRUE(db->inTransaction());
    EXPECT_FALSE(db->beginDeferredTransaction());  // no nesting
    ASSERT_TRUE(db->executeUpdate("insert into t values (1, 1)"));
    ASSERT_TRUE(db->rollback());
    EXPECT_FALSE(db->inTransaction());
    EXPECT_EQ(count(), 0);
    ASSERT_TRUE(db->beginDeferredTransaction());
    ASSERT_TRUE(db->executeUpdate("insert into t values (1, 1)"));
    ASSERT_TRUE(db->commit());
    EXPECT_EQ(count(), 1);

    EXPECT_TRUE(db->runInTransaction(false, [&](bool* rollback) {
        db->executeUpdate("insert into t values (2, 2)");
        *rollback = true;
    }));
    EXPECT_EQ(count(), 1);

    // When the transaction cannot begin, the block must not run outside one.
    ASSERT_TRUE(db->beginTransaction());
    bool ran = false;
    EXPECT_FALSE(db->runInTransaction(true, [&](bool*) { ran = true; }));
    EXPECT_FALSE(ran);
    ASSERT_TRUE(db->rollback());
}

TEST_F(SQLDatabaseTest, SavepointsNestAndRollBack) {
    Error error;
    ASSERT_TRUE(db->startSavePointWithName("outer", &error));
    ASSERT_TRUE(db->executeUpdate("insert into t values (1, 1)"));
    ASSERT_TRUE(db->startSavePointWithName("it's inner", &error));  // quoted, not pasted
    ASSERT_TRUE(db->executeUpdate("insert into t values (2, 2)"));
    ASSERT_TRUE(db->rollbackToSavePointWithName("it's inner", &error));
    ASSERT_TRUE(db->releaseSavePointWithName("it's inner", &error));
    ASSERT_TRUE(db->releaseSavePointWithName("outer", &error));
    EXPECT_EQ(count(), 1);
    EXPECT_FALSE(db->releaseSavePointWithName("never", &error));
    EXPECT_EQ(error.localizedDescription(), "no such savepoint: never");

    auto result = db->inSavePoint([&](bool* rollback) {
        db->executeUpdate("insert into t values (3, 3)");
        auto inner = db->inSavePoint([&](bool*) { db->executeUpdate("insert into t values (4, 4)"); });
        EXPECT_FALSE(inner.has_value());
        *rollback = true;
    });
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(count(), 1);
    EXPECT_FALSE(db->inSavePoint([&](bool*) { db->executeUpdate("insert into t values (5, 5)"); }).has_value());
    EXPECT_EQ(count(), 2);
}

// Holds an exclusive lock on the file from a second connection.
class LockHolder {
public:
    explicit LockHolder(const std::string& path) : db_(path) {
        EXPECT_TRUE(db_.open());
        EXPECT_TRUE(db_.beginTransaction());
    }
    void release() { EXPECT_TRUE(db_.commit()); }

private:
    SQLDatabase db_;
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(SQLDatabaseTest, BusyHandlerRetriesForItsInterval) {
    db->setLogsErrors(false);
    LockHolder holder(dir.file("test.sqlite"));
    Error error;

    db->setMaxBusyRetryTimeInterval(0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(db->update("insert into t values (1, 1)", &error));
    EXPECT_EQ(error.code, SQLITE_BUSY);
    EXPECT_LT(secondsSince(start), 0.3);

    db->setMaxBusyRetryTimeInterval(0.5);
    start = std::chrono::steady_clock::now();
    error = {};
    EXPECT_FALSE(db->update("insert into t values (1, 1)", &error));
    double waited = secondsSince(start);
    EXPECT_EQ(error.code, SQLITE_BUSY);
    EXPECT_GE(waited, 0.45);
    EXPECT_LT(waited, 3.0);

    db->setMaxBusyRetryTimeInterval(5.0);
    std::thread releaser([&] {
        std::this_thread::sleep_for(200ms);
        holder.release();
    });
    start = std::chrono::steady_clock::now();
    EXPECT_TRUE(db->executeUpdate("insert into t values (1, 1)"));
    waited = secondsSince(start);
    releaser.join();
    EXPECT_GE(waited, 0.15);
    EXPECT_EQ(count(), 1);
}

TEST_F(SQLDatabaseTest, FormatStrings) {
    std::string sql;
    std::vector<Value> args;
    SQLDatabase::extractSQL("a %d%% %s %@ %lld %llu %hu %c %q %%d %%%d", {1, "x", nullptr, 5, 6, 7, 65, 8}, sql, args);
    EXPECT_EQ(sql, "a ?% ? NULL ? ? ? ? q %d %?");
    ASSERT_EQ(args.size(), 7u);
    EXPECT_EQ(args[0], Value(1));
    EXPECT_EQ(args[1], Value("x"));
    EXPECT_EQ(args[5], Value("A"));
    EXPECT_EQ(args[6], Value(8));

    ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%d, %@)", 7, std::string("it's")));
    ASSERT_TRUE(db->executeUpdateWithFormat("insert into t values (%f, %@)", 2.5, nullptr));
    EXPECT_EQ(db->stringForQuery("select b from t where a = 7"), "it's");
    auto rs = db->executeQueryWithFormat("select count(*) from t where b is %@ and a like '%%'", nullptr);
    ASSERT_TRUE(rs && rs->next());
    EXPECT_EQ(rs->intForColumnIndex(0), 1);
}

TEST_F(SQLDatabaseTest, AFormatWithTooFewArgumentsRunsNothing) {
    LogCapture capture;
    EXPECT_FALSE(db->executeUpdateWithFormat("insert into t values (%d, %d)", 5));
    EXPECT_FALSE(db->executeUpdateWithFormat("insert into t values (%@, %s)", std::string("x")));
    EXPECT_EQ(db->executeQueryWithFormat("select a from t where a = %lld"), nullptr);
    EXPECT_EQ(capture.count("more conversions than"), 3u);
    EXPECT_EQ(count(), 0);
    // "%%" takes no argument.
    EXPECT_TRUE(db->executeUpdateWithFormat("insert into t values (%d, '100%%')", 5));
    EXPECT_EQ(db->stringForQuery("select b from t where a = 5"), "100%");
}

TEST_F(SQLDatabaseTest, SchemaQuestions) {
    ASSERT_TRUE(db->executeUpdate("create table \"it's\" (Name text, other)"));
    EXPECT_TRUE(db->tableExists("T"));
    EXPECT_FALSE(db->tableExists("nope"));
    EXPECT_TRUE(db->columnExistsInTableWithName("name", "IT'S"));
    EXPECT_TRUE(db->columnExistsColumnName("it's", "OTHER"));
    EXPECT_FALSE(db->columnExistsInTableWithName("missing", "it's"));
    // A crafted name stays inside the quoted pragma argument.
    auto rs = db->getTableSchema("t'); drop table t; --");
    ASSERT_TRUE(rs);
    EXPECT_FALSE(rs->next());
    EXPECT_TRUE(db->tableExists("t"));

    auto schema = db->getSchema();
    std::vector<std::string> names;
    while (schema && schema->next()) names.push_back(*schema->stringForColumn("name"));
    EXPECT_EQ(names, (std::vector<std::string>{"it's", "t"}));

    db->setUserVersion(0xFFFFFFF0u);
    EXPECT_EQ(db->userVersion(), 0xFFFFFFF0u);
    db->setApplicationID(42);
    EXPECT_EQ(db->applicationID(), 42u);

    Error error;
    EXPECT_TRUE(db->validateSQL("select * from t", &error));
    EXPECT_FALSE(db->validateSQL("select * from nowhere", &error));
    EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
    EXPECT_EQ(error.code, SQLITE_ERROR);
    EXPECT_EQ(error.localizedDescription(), "no such table: nowhere");
}

TEST_F(SQLDatabaseTest, UserFunctionsAndStatementBatches) {
    db->makeFunctionNamed("twice", 1, [](sqlite3_context* context, int, sqlite3_value** argv) {
        sqlite3_result_int64(context, 2 * sqlite3_value_int64(argv[0]));
    });
    db->makeFunctionNamed("boom", 0, [](sqlite3_context*, int, sqlite3_value**) { throw std::runtime_error("boom!"); });
    EXPECT_EQ(db->longForQuery("select twice(?)", 21), 42);
    Error error;
    EXPECT_FALSE(db->update("insert into t values (boom(), 1)", &error));
    EXPECT_EQ(error.localizedDescription(), "boom!");

    EXPECT_TRUE(db->executeStatements("insert into t values (1, 'x'); insert into t values (2, null);"));
    std::vector<Value> rows;
    EXPECT_TRUE(
        db->executeStatementsWithResultBlock("select a, b from t order by a; select 3 as a", [&](const Value& row) {
            rows.push_back(row);
            return 0;
        }));
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0], (Value{{"a", "1"}, {"b", "x"}}));
    EXPECT_TRUE(rows[1]["b"].is_null());
    int seen = 0;
    EXPECT_FALSE(db->executeStatementsWithResultBlock("select a from t", [&](const Value&) { return ++seen; }));
    EXPECT_EQ(seen, 1);
    LogCapture capture;
    EXPECT_FALSE(db->executeStatements("insert into t values (9, 9); bogus;"));
    EXPECT_TRUE(capture.contains("Error inserting batch: near \"bogus\": syntax error"));
}

}  // namespace
