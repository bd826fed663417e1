#include <gtest/gtest.h>

#include <thread>

#include "TestSupport.h"
#include "platform/base/Log.h"
#include "sqldb/SQLDatabasePool.h"
#include "sqldb/SQLDatabaseQueue.h"

using namespace wharf;
using platform::Error;
using platform::LogCapture;

namespace {

class SQLDatabaseQueueTest : public ::testing::Test {
protected:
    void SetUp() override {
        queue = SQLDatabaseQueue::databaseQueueWithPath(dir.file("queue.sqlite"));
        ASSERT_TRUE(queue);
        queue->inDatabase([](SQLDatabase* db) { ASSERT_TRUE(db->executeUpdate("create table t (v)")); });
    }
    int64_t rows() {
        int64_t n = -1;
        queue->inDatabase([&](SQLDatabase* db) { n = db->longForQuery("select count(*) from t"); });
        return n;
    }
    test::TempDir dir;
    std::shared_ptr<SQLDatabaseQueue> queue;
};

TEST_F(SQLDatabaseQueueTest, TwoThreadsInsertingSeeEveryRow) {
    // Durability is not the point here; without syncs the test stays fast on a busy disk.
    queue->inDatabase([](SQLDatabase* db) { db->executeUpdate("pragma synchronous = off"); });
    auto insert = [&](int base) {
        for (int i = 0; i < 1000; ++i) {
            queue->inDatabase(
                [&](SQLDatabase* db) { EXPECT_TRUE(db->executeUpdate("insert into t values (?)", base + i)); });
        }
    };
    std::thread a(insert, 0), b(insert, 10000);
    a.join();
    b.join();
    EXPECT_EQ(rows(), 2000);
}

TEST_F(SQLDatabaseQueueTest, ReentrantUseIsRefused) {
    LogCapture capture;
    bool threw = false;
    queue->inDatabase([&](SQLDatabase*) {
        try {
            queue->inDatabase([](SQLDatabase*) { FAIL() << "ran re-entrantly"; });
        } catch (const SQLDBAssertionFailure& e) {
            threw = std::string(e.what()).find("inDatabase: was called reentrantly") != std::string::npos;
        }
        EXPECT_THROW(queue->inTransaction([](SQLDatabase*, bool*) {}), SQLDBAssertionFailure);
        EXPECT_THROW(queue->inSavePoint([](SQLDatabase*, bool*) {}), SQLDBAssertionFailure);
    });
    EXPECT_TRUE(threw);
    EXPECT_TRUE(capture.contains("which would lead to a deadlock"));
    EXPECT_EQ(rows(), 0);  // the queue is free again

    // Another queue may be used from inside a block.
    auto other = SQLDatabaseQueue::databaseQueueWithPath(std::nullopt);
    ASSERT_TRUE(other);
    int64_t answer = 0;
    queue->inDatabase(
        [&](SQLDatabase*) { other->inDatabase([&](SQLDatabase* db) { answer = db->longForQuery("select 6*7"); }); });
    EXPECT_EQ(answer, 42);
}

TEST_F(SQLDatabaseQueueTest, CloseThenReopen) {
    queue->close();
    EXPECT_FALSE(queue->interrupt());
    queue->inDatabase([](SQLDatabase* db) {
        ASSERT_NE(db, nullptr);
        EXPECT_TRUE(db->executeUpdate("insert into t values (1)"));
    });
    EXPECT_EQ(rows(), 1);
}

TEST_F(SQLDatabaseQueueTest, MissingDirectoryGivesNoQueue) {
    LogCapture capture;
    std::string path = dir.file("missing/db.sqlite");
    EXPECT_EQ(SQLDatabaseQueue::databaseQueueWithPath(path), nullptr);
    EXPECT_TRUE(capture.contains("Could not create database queue for path " + path));
}

TEST_F(SQLDatabaseQueueTest, TransactionsCommitOrRollBack) {
    EXPECT_TRUE(queue->inTransaction([](SQLDatabase* db, bool* rollback) {
        db->executeUpdate("insert into t values (1)");
        *rollback = true;
    }));
    EXPECT_EQ(rows(), 0);
    EXPECT_TRUE(
        queue->inDeferredTransaction([](SQLDatabase* db, bool*) { db->executeUpdate("insert into t values (1)"); }));
    EXPECT_EQ(rows(), 1);

    // A block that leaves a transaction open makes the next begin fail: that block must not run.
    queue->inDatabase([](SQLDatabase* db) { ASSERT_TRUE(db->beginTransaction()); });
    bool ran = false;
    EXPECT_FALSE(queue->inTransaction([&](SQLDatabase*, bool*) { ran = true; }));
    EXPECT_FALSE(ran);
    queue->inDatabase([](SQLDatabase* db) { ASSERT_TRUE(db->rollback()); });

    // A failed commit is reported and leaves no transaction open.
    LogCapture capture;
    queue->inDatabase([](SQLDatabase* db) {
        db->setLogsErrors(false);
        ASSERT_TRUE(db->executeUpdate("create table child (p references t(rowid) deferrable initially deferred)"));
        ASSERT_TRUE(db->executeUpdate("create table parent (id integer primary key)"));
        ASSERT_TRUE(db->executeUpdate("drop table child"));
        ASSERT_TRUE(db->executeUpdate("create table child (p references parent(id) deferrable initially deferred)"));
        ASSERT_TRUE(db->executeUpdate("pragma foreign_keys = on"));
    });
    EXPECT_FALSE(
        queue->inTransaction([](SQLDatabase* db, bool*) { db->executeUpdate("insert into child values (99)"); }));
    EXPECT_TRUE(capture.contains("Could not commit a transaction (19"));
    queue->inDatabase([](SQLDatabase* db) {
        EXPECT_FALSE(db->inTransaction());
        EXPECT_TRUE(sqlite3_get_autocommit(db->sqliteHandle()));
        EXPECT_EQ(db->longForQuery("select count(*) from child"), 0);
    });
}

TEST_F(SQLDatabaseQueueTest, SavePoints) {
    auto result = queue->inSavePoint([](SQLDatabase* db, bool* rollback) {
        db->executeUpdate("insert into t values (1)");
        *rollback = true;
    });
    EXPECT_FALSE(result.has_value());
    EXPECT_EQ(rows(), 0);
    EXPECT_FALSE(queue->inSavePoint([](SQLDatabase* db, bool*) { db->executeUpdate("insert into t values (1)"); }));
    EXPECT_EQ(rows(), 1);

    // Successive savepoints are numbered one after the other.
    queue->inDatabase([](SQLDatabase* db) { db->setTraceExecution(true); });
    LogCapture capture;
    std::vector<long> numbers;
    for (int i = 0; i < 2; ++i) {
        capture.clear();
        queue->inSavePoint([](SQLDatabase*, bool*) {});
        for (const auto& line : capture.lines()) {
            auto at = line.find("executeUpdate: savepoint 'savePoint");
            if (at != std::string::npos) numbers.push_back(std::stol(line.substr(at + 35)));
        }
    }
    ASSERT_EQ(numbers.size(), 2u);
    EXPECT_EQ(numbers[1], numbers[0] + 1);
}

TEST_F(SQLDatabaseQueueTest, WarnsAboutCursorsLeftOpen) {
    LogCapture capture;
    std::unique_ptr<SQLResultSet> leaked;
    queue->inDatabase([&](SQLDatabase* db) { leaked = db->executeQuery("select * from t"); });
    EXPECT_TRUE(capture.contains("Warning: there is at least one open result set around after performing "
                                 "[SQLDatabaseQueue inDatabase:]"));
    queue->inDatabase([&](SQLDatabase*) { leaked.reset(); });
}

class Veto : public SQLDatabasePoolDelegate {
public:
    bool databasePoolShouldAddDatabaseToPool(SQLDatabasePool&, SQLDatabase&) override { return allow; }
    void databasePoolDidAddDatabase(SQLDatabasePool&, SQLDatabase&) override { ++added; }
    bool allow = true;
    int added = 0;
};

TEST(SQLDatabasePoolTest, LimitsVetoesAndGivingBack) {
    test::TempDir dir;
    auto pool = SQLDatabasePool::databasePoolWithPath(dir.file("pool.sqlite"));
    auto delegate = std::make_shared<Veto>();
    pool->setDelegate(delegate);
    pool->setMaximumNumberOfDatabasesToCreate(2);

    auto a = pool->db();
    auto b = pool->db();
    ASSERT_TRUE(a && b);
    EXPECT_NE(a, b);
    EXPECT_EQ(delegate->added, 2);
    LogCapture capture;
    EXPECT_EQ(pool->db(), nullptr);
    EXPECT_TRUE(capture.contains("Maximum number of databases (2) has already been reached!"));
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 2u);

    pool->pushDatabaseBackInPool(a);
    EXPECT_THROW(pool->pushDatabaseBackInPool(a), SQLDatabasePoolError);
    pool->pushDatabaseBackInPool(nullptr);
    EXPECT_EQ(pool->countOfCheckedInDatabases(), 1u);
    EXPECT_EQ(pool->db(), a);  // an idle one is reused, not announced again
    EXPECT_EQ(delegate->added, 2);

    pool->pushDatabaseBackInPool(a);
    delegate->allow = false;
    EXPECT_EQ(pool->db(), nullptr);
    EXPECT_EQ(a->sqliteHandle(), nullptr);  // vetoed: closed
    delegate->allow = true;

    pool->pushDatabaseBackInPool(b);
    pool->inDatabase([](SQLDatabase* db) { ASSERT_TRUE(db && db->executeUpdate("create table t (v)")); });
    EXPECT_TRUE(pool->inTransaction([](SQLDatabase* db, bool*) { db->executeUpdate("insert into t values (1)"); }));
    EXPECT_FALSE(pool->inSavePoint([](SQLDatabase* db, bool* rollback) {
        db->executeUpdate("insert into t values (2)");
        *rollback = true;
    }));
    EXPECT_EQ(pool->countOfCheckedOutDatabases(), 0u);
    int64_t n = 0;
    pool->inDatabase([&](SQLDatabase* db) { n = db->longForQuery("select count(*) from t"); });
    EXPECT_EQ(n, 1);
    pool->releaseAllDatabases();
    EXPECT_EQ(pool->countOfOpenDatabases(), 0u);
}

}  // namespace
