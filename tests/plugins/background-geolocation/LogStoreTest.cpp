#include <gtest/gtest.h>

#include <filesystem>

#include "GeolocationTestSupport.h"
#include "TestSupport.h"
#include "logging/LGLog.h"
#include "platform/base/Log.h"
#include "plugins/background-geolocation/LogReader.h"
#include "plugins/background-geolocation/SQLDBLogger.h"

using namespace wharf;
using namespace std::chrono_literals;
using platform::Value;
using test::sqliteShell;

namespace {

class LogStoreTest : public ::testing::Test {
protected:
    void SetUp() override {
        LGLog::removeAllLoggers();
        clock_ = std::make_shared<platform::ManualClock>();
        clock_->setNow(dateWithSecondsSince1970(2'000'000'000));
    }
    void TearDown() override {
        LGLog::removeAllLoggers();
        LGLog::flushLog();
    }

    // A logger set up as the plug-in sets it up.
    std::shared_ptr<SQLDBLogger> addPluginLogger(const std::string& directory) {
        auto logger = std::make_shared<SQLDBLogger>(directory, clock_);
        logger->setSaveThreshold(1);
        logger->setSaveInterval(0);
        logger->setMaxAge(604800);
        logger->setDeleteInterval(86400);
        logger->setDeleteOnEverySave(false);
        LGLog::addLogger(logger, LGLogLevelDebug);
        return logger;
    }
    static void logAt(double timestamp, const std::string& text, uint64_t flag = LGLogFlagInfo, int64_t context = 0) {
        LGLog::log(true, LGLogMessage(text, LGLogLevelAll, flag, context, "f", "g", 1, std::nullopt, 0, timestamp));
    }
    std::string logFile() const { return dir_.file("SQLiteLogger/log.sqlite"); }
    std::vector<std::string> messages(const Value& entries) {
        std::vector<std::string> m;
        for (const auto& e : entries) m.push_back(e["message"].get<std::string>());
        return m;
    }

    test::TempDir dir_;
    std::shared_ptr<platform::ManualClock> clock_;
};

TEST_F(LogStoreTest, ReaderAnswersTheNewestEntriesAndThePageLimitRules) {
    addPluginLogger(dir_.file("SQLiteLogger"));
    for (int i = 1; i <= 120; ++i) logAt(1'000'000 + i, "line " + std::to_string(i));
    logAt(4102444800.75, "in 2100", LGLogFlagWarning, 7);  // past 32-bit seconds
    LGLog::flushLog();

    auto ten = LogReader::getEntries(logFile(), 10);
    ASSERT_TRUE(ten);
    ASSERT_EQ(ten->size(), 10u);
    EXPECT_EQ((*ten)[0], (Value{{"context", 7}, {"level", 2}, {"message", "in 2100"}, {"timestamp", 4102444800}}));
    EXPECT_EQ((*ten)[1], (Value{{"context", 0}, {"level", 4}, {"message", "line 120"}, {"timestamp", 1000120}}));
    EXPECT_EQ((*ten)[9]["message"], "line 112");

    // The page's limit: 0, negative or not a number reads the hundred newest.
    for (const char* argument : {"-3", "null", "\"10\""}) {
        const int64_t limit = LogReader::limitFromArgument(Value::parse(argument));
        auto entries = LogReader::getEntries(logFile(), limit);
        ASSERT_TRUE(entries) << argument;
        EXPECT_EQ(entries->size(), 100u) << argument;
        EXPECT_EQ(messages(*entries).back(), "line 22") << argument;
    }
    EXPECT_EQ(LogReader::limitFromArgument(Value::parse("10.9")), 10);

    EXPECT_EQ(sqliteShell(logFile(), ".schema"),
              "CREATE TABLE logs (context integer, level integer, message text, timestamp double);\n"
              "CREATE INDEX timestamp ON logs (timestamp);\n");
}

TEST_F(LogStoreTest, PurgeDropsEntriesOlderThanTheMaximumAge) {
    auto logger = addPluginLogger(dir_.file("SQLiteLogger"));
    const double now = clock_->secondsSince1970();
    logAt(now - 8 * 86400, "eight days old");
    logAt(now - 6 * 86400, "six days old");
    LGLog::flushLog();
    logger->deleteOldLogEntries();
    LGLog::flushLog();
    auto entries = LogReader::getEntries(logFile(), 0);
    ASSERT_TRUE(entries);
    EXPECT_EQ(messages(*entries), std::vector<std::string>{"six days old"});
}

TEST_F(LogStoreTest, UnusableDirectoryAndMissingFile) {
    test::writeFile(dir_.file("taken"), "not a directory");
    platform::LogCapture capture;
    auto logger = addPluginLogger(dir_.file("taken"));
    EXPECT_FALSE(logger->hasDatabase());
    EXPECT_EQ(capture.count("SQLDBLogger: validateLogDirectory - logDirectory(" + dir_.file("taken") + ") is a file!"),
              1u);
    logAt(1, "goes nowhere");
    LGLog::flushLog();
    EXPECT_EQ(test::readFile(dir_.file("taken")), "not a directory");

    // The reader never creates the file it reads.
    EXPECT_FALSE(LogReader::getEntries(dir_.file("none/log.sqlite"), 10));
    EXPECT_FALSE(LogReader::getEntries(dir_.file("absent.sqlite"), 10));
    EXPECT_FALSE(std::filesystem::exists(dir_.file("absent.sqlite")));
    EXPECT_TRUE(capture.contains("LogReader: Failed opening database!"));

    // A file without the log table reads as empty.
    sqliteShell(dir_.file("other.sqlite"), "CREATE TABLE t (x)");
    auto empty = LogReader::getEntries(dir_.file("other.sqlite"), 10);
    ASSERT_TRUE(empty);
    EXPECT_TRUE(empty->empty());
}

}  // namespace
