#include <gtest/gtest.h>

#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cmath>
#include <filesystem>
#include <future>

#include "LoggingTestSupport.h"
#include "TestSupport.h"
#include "logging/LGFileLogger.h"
#include "platform/Xattr.h"

using namespace wharf;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& app() { return LGLogFileManagerDefault::applicationName(); }

// Records the manager's notifications.
class WatchingManager : public LGLogFileManagerDefault {
public:
    using LGLogFileManagerDefault::LGLogFileManagerDefault;
    void didRollAndArchiveLogFile(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex);
        rolled.push_back(path);
    }
    void didArchiveLogFile(const std::string& path) override {
        std::lock_guard<std::mutex> lock(mutex);
        archived.push_back(path);
    }
    std::size_t rolledCount() {
        std::lock_guard<std::mutex> lock(mutex);
        return rolled.size();
    }
    std::mutex mutex;
    std::vector<std::string> rolled, archived;
};

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetLogging();
        clock_ = std::make_shared<platform::ManualClock>();
        manager_ = std::make_shared<WatchingManager>(dir_.path(), clock_);
    }
    void TearDown() override { test::resetLogging(); }

    std::shared_ptr<LGFileLogger> makeLogger() {
        auto logger = std::make_shared<LGFileLogger>(manager_, clock_);
        logger->setLogFormatter(nullptr);  // bare text lines
        return logger;
    }
    std::vector<std::string> logFiles() { return manager_->sortedLogFilePaths(); }
    // A log-file name of the given minute, created now.
    std::string makeFile(int minute, std::size_t size) {
        char name[64];
        std::snprintf(name, sizeof name, " 2017-01-01 10-%02d.log", minute);
        std::string path = dir_.file(app() + name);
        test::writeFile(path, std::string(size, 'x'));
        std::this_thread::sleep_for(10ms);  // distinct birth times (coarse file-system clock)
        return path;
    }

    test::TempDir dir_;
    std::shared_ptr<platform::ManualClock> clock_;
    std::shared_ptr<WatchingManager> manager_;
};

TEST(LGLogFileManagerNamesTest, RecognisesLogFileNames) {
    EXPECT_TRUE(LGLogFileManagerDefault::isLogFile("App 2017-01-01 10-00.log", "App"));
    EXPECT_TRUE(LGLogFileManagerDefault::isLogFile("App 2017-01-01 10-00 2.log", "App"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile("App notes.log", "App"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile("App 2017-01-01 10-00.txt", "App"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile("Other 2017-01-01 10-00.log", "App"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile(".App 2017-01-01 10-00.log.user.wharf.log.archived", ""));
    // Names overlapping the extension must not wrap the length computation.
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile("x.log", "x.lo"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile("x.log", "x.log"));
    EXPECT_FALSE(LGLogFileManagerDefault::isLogFile(".log", "x.l"));
}

TEST_F(FileLoggerTest, NewFileNamesAndVariants) {
    clock_->setNow(std::chrono::system_clock::from_time_t(1483265040));  // 2017-01-01 10:04 GMT
    EXPECT_EQ(manager_->newLogFileName(), app() + " 2017-01-01 10-04.log");
    std::string first = manager_->createNewLogFile();
    std::string second = manager_->createNewLogFile();
    EXPECT_EQ(fs::path(first).filename(), app() + " 2017-01-01 10-04.log");
    EXPECT_EQ(fs::path(second).filename(), app() + " 2017-01-01 10-04 2.log");
}

TEST_F(FileLoggerTest, CreatingAFileKeepsFiveByDefault) {
    for (int i = 0; i < 6; ++i) makeFile(i, 1024);
    std::string newest = manager_->createNewLogFile();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 5u);
    EXPECT_EQ(files[0], newest);
    EXPECT_FALSE(fs::exists(dir_.file(app() + " 2017-01-01 10-00.log")));
    EXPECT_FALSE(fs::exists(dir_.file(app() + " 2017-01-01 10-01.log")));
}

TEST_F(FileLoggerTest, DeletesBeyondTheDiskQuota) {
    manager_->setMaximumNumberOfLogFiles(0);
    std::string oldest = makeFile(0, 1500);
    std::string middle = makeFile(1, 1000);
    std::string newest = makeFile(2, 1000);
    manager_->setLogFilesDiskQuota(3000);  // deletes on the logging queue
    LGLog::flushLog();
    EXPECT_FALSE(fs::exists(oldest));
    EXPECT_TRUE(fs::exists(middle));
    EXPECT_TRUE(fs::exists(newest));

    manager_->setLogFilesDiskQuota(0);
    for (int i = 3; i < 12; ++i) makeFile(i, 10);
    manager_->deleteOldLogFiles();
    EXPECT_EQ(logFiles().size(), 11u) << "no limits: nothing deleted";
}

TEST_F(FileLoggerTest, AppendsLinesAndRollsBySize) {
    auto logger = makeLogger();
    logger->setMaximumFileSize(100);
    LGLog::addLogger(logger);
    LGLogInfo("%s", std::string(59, 'a').c_str());  // 60 bytes with the newline
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    std::string first = files[0];
    LGLogInfo("%s", std::string(39, 'b').c_str());  // reaches 100: rolls right after the write
    LGLog::flushLog();
    std::string expected(59, 'a');
    expected.append(1, '\n').append(39, 'b').append(1, '\n');
    EXPECT_EQ(test::readFile(first), expected);
    EXPECT_TRUE(LGLogFileInfo(first).isArchived());
    EXPECT_EQ(manager_->rolledCount(), 1u);

    LGLogInfo("next");
    LGLog::flushLog();
    files = logFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(files[0], first);
    EXPECT_EQ(test::readFile(files[0]), "next\n");
    EXPECT_FALSE(LGLogFileInfo(files[0]).isArchived());
}

TEST_F(FileLoggerTest, RollsByAge) {
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("old day");
    LGLog::flushLog();
    std::string first = logFiles().at(0);

    clock_->advance(25h);
    logger->setRollingFrequency(86400);  // re-checks the age
    LGLog::flushLog();
    EXPECT_TRUE(LGLogFileInfo(first).isArchived());

    clock_->setNow(std::chrono::system_clock::now());
    LGLogInfo("new day");
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_EQ(test::readFile(files[0]), "new day\n");
    EXPECT_EQ(test::readFile(first), "old day\n");
}

TEST_F(FileLoggerTest, TheAgeTimerRollsByItself) {
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("first");
    LGLog::flushLog();
    std::string first = logFiles().at(0);
    // The injected clock says the file was created just now, whatever the
    // real time is.
    std::chrono::duration<double> born(LGLogFileInfo(first).creationDate());
    clock_->setNow(std::chrono::system_clock::time_point(
        std::chrono::duration_cast<std::chrono::system_clock::duration>(born)));
    logger->setRollingFrequency(0.05);  // not due yet: only arms the timer
    std::this_thread::sleep_for(300ms);  // it fires and re-arms several times
    EXPECT_EQ(manager_->rolledCount(), 0u) << "rolled although the clock says the file is young";

    clock_->advance(1s);  // nothing else happens: the timer must notice
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 1; }, 2s)) << "the age timer did not roll";
    EXPECT_TRUE(LGLogFileInfo(first).isArchived());
    EXPECT_EQ(test::readFile(first), "first\n");
}

TEST_F(FileLoggerTest, AnOldUnarchivedFileIsArchivedAtStart) {
    std::string leftover = makeFile(0, 10);
    clock_->advance(48h);
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("fresh");
    LGLog::flushLog();
    EXPECT_TRUE(LGLogFileInfo(leftover).isArchived());
    EXPECT_EQ(manager_->archived, std::vector<std::string>{leftover});
    EXPECT_EQ(test::readFile(logFiles().at(0)), "fresh\n");
}

TEST_F(FileLoggerTest, RenamingTheCurrentFileRollsAndMarksTheMovedFile) {
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("before");
    LGLog::flushLog();
    std::string current = logFiles().at(0);
    std::string moved = dir_.file("moved-away.txt");
    ASSERT_EQ(::rename(current.c_str(), moved.c_str()), 0);
    // Something new takes the old name: it must not get the mark.
    test::writeFile(current, "impostor");
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 1; })) << "rename not noticed";

    EXPECT_TRUE(LGLogFileInfo(moved).isArchived());
    EXPECT_FALSE(LGLogFileInfo(current).isArchived());
    LGLogInfo("after");
    LGLog::flushLog();
    EXPECT_EQ(test::readFile(moved), "before\n");
}

TEST_F(FileLoggerTest, DeletingTheCurrentFileRollsToANewOne) {
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("doomed");
    LGLog::flushLog();
    std::string current = logFiles().at(0);
    ASSERT_EQ(::unlink(current.c_str()), 0);
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 1; })) << "deletion not noticed";

    LGLogInfo("survivor");
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(test::readFile(files[0]), "survivor\n");

    // Again, with something new at the old path before the logger notices
    // (its queue held meanwhile): the mark goes on the deleted file only.
    std::string second = files[0];
    std::promise<void> gate;
    logger->loggerQueue()->async([held = gate.get_future().share()] { held.wait(); });
    ASSERT_EQ(::unlink(second.c_str()), 0);
    test::writeFile(second, "newcomer\n");
    gate.set_value();
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 2; })) << "second deletion not noticed";
    EXPECT_FALSE(LGLogFileInfo(second).isArchived()) << "the file now at the old path got the archived mark";
    EXPECT_EQ(test::readFile(second), "newcomer\n");
}

TEST_F(FileLoggerTest, TwoLoggersOnOneFileNeverOverwriteEachOther) {
    auto first = makeLogger();
    LGLog::addLogger(first);
    LGLogInfo("start");
    LGLog::flushLog();
    auto secondManager = std::make_shared<WatchingManager>(dir_.path(), clock_);
    auto second = std::make_shared<LGFileLogger>(secondManager, clock_);
    second->setLogFormatter(nullptr);
    LGLog::addLogger(second);  // reuses the same, unarchived file
    for (int i = 0; i < 200; ++i) LGLogInfo("line %03d", i);
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    std::string text = test::readFile(files[0]);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1 + 2 * 200);
    EXPECT_EQ(text.size(), 6 + 2 * 200 * 9u);
}

class BareFormatter : public LGLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const LGLogMessage& m) override {
        return "<" + std::string(m.message()) + ">";
    }
};

TEST_F(FileLoggerTest, NewlinesForDefaultAndCustomFormatters) {
    auto logger = std::make_shared<LGFileLogger>(manager_, clock_);
    LGLog::addLogger(logger);
    LGLogInfo("default");
    LGLog::flushLog();
    std::string text = test::readFile(logFiles().at(0));
    // "yyyy/MM/dd HH:mm:ss:SSS  default\n"
    ASSERT_EQ(text.size(), 23u + 2 + 7 + 1);
    EXPECT_EQ(text[4], '/');
    EXPECT_EQ(text[19], ':');
    EXPECT_TRUE(text.ends_with("  default\n"));

    logger->setLogFormatter(std::make_shared<BareFormatter>());
    LGLogInfo("a");
    LGLog::flushLog();
    logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    LGLogInfo("b");
    LGLog::flushLog();
    EXPECT_TRUE(test::readFile(logFiles().at(0)).ends_with("  default\n<a>\n<b>"));
}

TEST_F(FileLoggerTest, RollWithoutAnOpenFileDoesNothing) {
    auto logger = makeLogger();
    LGLog::addLogger(logger);
    std::atomic<bool> completed{false};
    logger->rollLogFileWithCompletionBlock([&] { completed = true; });
    EXPECT_TRUE(test::waitUntil([&] { return completed.load(); }));
    EXPECT_TRUE(logFiles().empty());
    EXPECT_EQ(manager_->rolledCount(), 0u);
}

TEST_F(FileLoggerTest, OutlandishFrequenciesAreClamped) {
    auto logger = makeLogger();
    logger->setRollingFrequency(INFINITY);
    logger->setRollingFrequency(1e300);
    logger->setRollingFrequency(-INFINITY);
    logger->setRollingFrequency(NAN);
    logger->setRollingFrequency(1e300);
    LGLog::addLogger(logger);
    LGLogInfo("still fine");
    LGLog::flushLog();
    EXPECT_EQ(logger->rollingFrequency(), 1e300);
    EXPECT_EQ(test::readFile(logFiles().at(0)), "still fine\n");
}

// Entries named like log files that are not regular files of ours: the
// logger must neither block on them, write through them, nor stall on them.
TEST_F(FileLoggerTest, OnlyRegularFilesAreTakenAsLogFiles) {
    fs::create_directory(dir_.file(app() + " 2017-01-01 10-00.log"));
    std::this_thread::sleep_for(10ms);
    ASSERT_EQ(::mkfifo(dir_.file(app() + " 2017-01-01 10-01.log").c_str(), 0644), 0);
    std::this_thread::sleep_for(10ms);
    // The link's target is the newest file of all.
    std::string outside = dir_.file("outside.txt");
    test::writeFile(outside, "keep\n");
    fs::create_symlink(outside, dir_.file(app() + " 2017-01-01 10-02.log"));
    EXPECT_TRUE(logFiles().empty());

    auto logger = makeLogger();
    LGLog::addLogger(logger);
    LGLogInfo("line");
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 1u);
    EXPECT_EQ(test::readFile(files[0]), "line\n");
    EXPECT_EQ(test::readFile(outside), "keep\n");
    EXPECT_TRUE(fs::is_fifo(dir_.file(app() + " 2017-01-01 10-01.log")));
}

// A file system that refuses user attributes. Needs permission to mount.
class RamfsTest : public FileLoggerTest {
protected:
    void SetUp() override {
        mountPoint_ = dir_.file("ramfs");
        fs::create_directory(mountPoint_);
        if (::mount("ramfs", mountPoint_.c_str(), "ramfs", 0, nullptr) != 0) {
            GTEST_SKIP() << "cannot mount a ramfs here (" << strerror(errno) << "); skipping the xattr fallback test";
        }
        mounted_ = true;
        FileLoggerTest::SetUp();
        manager_ = std::make_shared<WatchingManager>(mountPoint_, clock_);
    }
    void TearDown() override {
        if (!mounted_) return;
        FileLoggerTest::TearDown();
        ::umount2(mountPoint_.c_str(), MNT_DETACH);
    }
    std::string mountPoint_;
    bool mounted_ = false;
};

TEST_F(RamfsTest, ArchivedMarkFallsBackToAHiddenMarker) {
    std::string path = manager_->createNewLogFile();
    ASSERT_EQ(platform::xattr::set(path, "user.probe", ""), platform::xattr::Result::Unsupported)
        << "ramfs unexpectedly keeps user attributes";
    LGLogFileInfo info(path);
    EXPECT_FALSE(info.isArchived());
    info.setIsArchived(true);
    EXPECT_TRUE(info.isArchived());
    EXPECT_EQ(manager_->sortedLogFilePaths(), std::vector<std::string>{path}) << "the marker looks like a log file";

    info.renameFile(app() + " 2017-01-01 10-09.log");
    EXPECT_TRUE(info.isArchived()) << "the mark did not move with the file";
    info.setIsArchived(false);
    EXPECT_FALSE(info.isArchived());

    // Rolling marks the open file, and deletion takes the marker along.
    auto logger = std::make_shared<LGFileLogger>(manager_, clock_);
    LGLog::addLogger(logger);
    LGLogInfo("on ramfs");
    LGLog::flushLog();
    logger->rollLogFile();
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 1; }));
    std::string rolled = manager_->rolled[0];
    EXPECT_TRUE(LGLogFileInfo(rolled).isArchived());
    LGLogFileInfo::removeLogFile(rolled);
    EXPECT_FALSE(fs::exists(rolled));
    EXPECT_FALSE(fs::exists(LGLogFileInfo::markerPathFor(rolled, LGLogFileArchivedAttribute)))
        << "a marker outlived its log file";
}

}  // namespace
