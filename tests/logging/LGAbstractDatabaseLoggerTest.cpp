#include <gtest/gtest.h>

#include <sqlite3.h>

#include <cmath>
#include <limits>

#include "LoggingTestSupport.h"
#include "TestSupport.h"
#include "logging/LGAbstractDatabaseLogger.h"

using namespace wharf;
using namespace std::chrono_literals;

namespace {

// Writes entries into a real SQLite table, the way the geolocation log store does.
class SQLiteTestLogger : public LGAbstractDatabaseLogger {
public:
    SQLiteTestLogger(const std::string& path, std::shared_ptr<platform::Clock> clock)
        : LGAbstractDatabaseLogger(std::move(clock)) {
        sqlite3_open(path.c_str(), &db_);
        sqlite3_busy_timeout(db_, 5000);  // the test reads the file while it is written
        sqlite3_exec(db_,
                     "CREATE TABLE IF NOT EXISTS logs (context INTEGER, level INTEGER, message TEXT, "
                     "timestamp DOUBLE)",
                     nullptr, nullptr, nullptr);
        pending_.reserve(saveThreshold_);
    }
    ~SQLiteTestLogger() override { sqlite3_close(db_); }

    std::atomic<bool> accept{true};
    std::atomic<int> saves{0}, deletes{0}, saveAndDeletes{0};

protected:
    bool db_log(const LGLogMessage& message) override {
        if (!accept) return false;
        pending_.push_back(message);
        return true;
    }
    void db_save() override {
        ++saves;
        write();
    }
    void db_delete() override {
        ++deletes;
        purge();
    }
    void db_saveAndDelete() override {
        ++saveAndDeletes;
        write();
        purge();
    }

private:
    void write() {
        sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr);
        sqlite3_stmt* insert = nullptr;
        sqlite3_prepare_v2(db_, "INSERT INTO logs VALUES (?, ?, ?, ?)", -1, &insert, nullptr);
        for (const auto& m : pending_) {
            sqlite3_bind_int64(insert, 1, m.context());
            sqlite3_bind_int64(insert, 2, static_cast<sqlite3_int64>(m.flag()));
            sqlite3_bind_text(insert, 3, m.message().data(), static_cast<int>(m.message().size()), SQLITE_TRANSIENT);
            sqlite3_bind_double(insert, 4, m.timestamp());
            sqlite3_step(insert);
            sqlite3_reset(insert);
        }
        sqlite3_finalize(insert);
        sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        pending_.clear();
    }
    void purge() {
        sqlite3_stmt* purge = nullptr;
        sqlite3_prepare_v2(db_, "DELETE FROM logs WHERE timestamp < ?", -1, &purge, nullptr);
        sqlite3_bind_double(purge, 1, clock()->secondsSince1970() - maxAge_);
        sqlite3_step(purge);
        sqlite3_finalize(purge);
    }

    sqlite3* db_ = nullptr;
    std::vector<LGLogMessage> pending_;
};

class DatabaseLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetLogging();
        clock_ = std::make_shared<platform::ManualClock>();
        logger_ = std::make_shared<SQLiteTestLogger>(dir_.file("log.sqlite"), clock_);
    }
    void TearDown() override { test::resetLogging(); }

    // Rows on disk, read through a connection of our own.
    int rows() {
        sqlite3* db = nullptr;
        sqlite3_open(dir_.file("log.sqlite").c_str(), &db);
        sqlite3_busy_timeout(db, 5000);
        sqlite3_stmt* count = nullptr;
        int n = -1;
        if (sqlite3_prepare_v2(db, "SELECT COUNT(*) FROM logs", -1, &count, nullptr) == SQLITE_OK &&
            sqlite3_step(count) == SQLITE_ROW)
            n = sqlite3_column_int(count, 0);
        sqlite3_finalize(count);
        sqlite3_close(db);
        return n;
    }
    // A getter passes the logging queue and the logger's queue: every earlier
    // message has been handled once it returns (without flushing).
    void barrier() { (void)logger_->saveThreshold(); }
    static void logAt(double timestamp, const char* text) {
        LGLog::log(true, LGLogMessage(text, LGLogLevelAll, LGLogFlagInfo, 0, "f", "g", 1, std::nullopt, 0, timestamp));
    }

    test::TempDir dir_;
    std::shared_ptr<platform::ManualClock> clock_;
    std::shared_ptr<SQLiteTestLogger> logger_;
};

TEST_F(DatabaseLoggerTest, SavesWhenTheThresholdIsReached) {
    logger_->setSaveThreshold(3);
    logger_->setSaveInterval(0);
    LGLog::addLogger(logger_);
    LGLogInfo("one");
    LGLogInfo("two");
    barrier();
    EXPECT_EQ(rows(), 0);
    LGLogInfo("three");
    barrier();
    EXPECT_EQ(rows(), 3);
    EXPECT_EQ(logger_->saves.load(), 1);

    // Lowering the threshold below what is pending saves at once.
    LGLogInfo("four");
    LGLogInfo("five");
    logger_->setSaveThreshold(2);
    barrier();
    EXPECT_EQ(rows(), 5);
}

TEST_F(DatabaseLoggerTest, RefusedEntriesAreNotCountedAndEmptySavesCallNoHook) {
    logger_->setSaveThreshold(1);
    LGLog::addLogger(logger_);
    logger_->accept = false;
    LGLogInfo("refused");
    LGLog::flushLog();
    EXPECT_EQ(logger_->saves.load(), 0);
    logger_->accept = true;
    LGLogInfo("taken");
    barrier();
    EXPECT_EQ(rows(), 1);
    logger_->savePendingLogEntries();
    barrier();
    EXPECT_EQ(logger_->saves.load(), 1);
}

TEST_F(DatabaseLoggerTest, SavesByTimeAfterTheFirstUnsavedEntry) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(0.05);
    LGLog::addLogger(logger_);
    LGLogInfo("timed");
    LGLogInfo("also timed");
    EXPECT_TRUE(test::waitUntil([&] { return rows() == 2; })) << "the save timer never fired";
    EXPECT_EQ(logger_->saves.load(), 1);
}

TEST_F(DatabaseLoggerTest, APositiveIntervalSetLaterSavesAnOldBatchAtOnce) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(0);
    LGLog::addLogger(logger_);
    LGLogInfo("pending");
    LGLogInfo("pending too");
    barrier();
    EXPECT_EQ(rows(), 0);
    clock_->advance(10s);
    logger_->setSaveInterval(5);
    EXPECT_TRUE(test::waitUntil([&] { return rows() == 2; }));
}

TEST_F(DatabaseLoggerTest, FlushAndRemovalSavePendingEntries) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(0);
    LGLog::addLogger(logger_);
    LGLogInfo("a");
    LGLog::flushLog();
    EXPECT_EQ(rows(), 1);
    LGLogInfo("b");
    LGLog::removeLogger(logger_);
    barrier();
    EXPECT_EQ(rows(), 2);
}

TEST_F(DatabaseLoggerTest, PurgesByAge) {
    logger_->setSaveThreshold(1);
    LGLog::addLogger(logger_);
    double now = clock_->secondsSince1970();
    logAt(now - 10 * 86400, "ten days old");
    logAt(now - 2 * 86400, "two days old");
    logAt(now, "fresh");
    barrier();
    ASSERT_EQ(rows(), 3);

    logger_->deleteOldLogEntries();  // the default maximum age is 7 days
    barrier();
    EXPECT_EQ(rows(), 2);
    logger_->setMaxAge(86400);  // lowering purges at once
    barrier();
    EXPECT_EQ(rows(), 1);
    int deletes = logger_->deletes.load();
    logger_->setMaxAge(7 * 86400);  // raising does nothing
    barrier();
    EXPECT_EQ(logger_->deletes.load(), deletes);
}

TEST_F(DatabaseLoggerTest, SaveAndPurgeTogether) {
    logger_->setSaveThreshold(1);
    logger_->setDeleteOnEverySave(true);
    LGLog::addLogger(logger_);
    logAt(clock_->secondsSince1970() - 30 * 86400, "ancient");
    barrier();
    EXPECT_EQ(logger_->saveAndDeletes.load(), 1);
    EXPECT_EQ(logger_->saves.load(), 0);
    EXPECT_EQ(rows(), 0);
}

TEST_F(DatabaseLoggerTest, OutlandishIntervalsAreClampedNotUndefined) {
    logger_->setSaveThreshold(0);
    logger_->setSaveInterval(INFINITY);
    logger_->setDeleteInterval(1e300);
    logger_->setMaxAge(-std::numeric_limits<double>::infinity());
    logger_->setSaveInterval(NAN);
    LGLog::addLogger(logger_);
    LGLogInfo("x");
    EXPECT_EQ(logger_->saveInterval(), INFINITY);
    EXPECT_EQ(logger_->maxAge(), -INFINITY);
    LGLog::flushLog();
    EXPECT_EQ(rows(), 1);
}

}  // namespace
