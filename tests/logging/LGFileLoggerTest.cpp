#include <gtest/gtest.h>

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <future>
#include <limits>
#include <optional>
#include <sstream>

#include "LoggingTestSupport.h"
#include "TestSupport.h"
#include "logging/LGFileLogger.h"
#include "platform/base/Log.h"
#include "platform/storage/Xattr.h"

using namespace wharf;
using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

const std::string& app() { return LGLogFileManagerDefault::applicationName(); }

// A file system that keeps no birth time, as NFS, ext2/3, ext4 with 128-byte
// inodes and many FUSE file systems answer: the rest as this one says.
std::shared_ptr<const LGFileTimesReader> withoutBirthTimes() {
    return std::make_shared<const LGFileTimesReader>([](const std::string& path) {
        auto times = LGReadFileTimes(path);
        if (times) times->birth.reset();
        return times;
    });
}

// Counts how often the time is read: every firing of the age timer reads it.
class CountingClock : public platform::ManualClock {
public:
    WallTime now() const override {
        ++reads;
        return ManualClock::now();
    }
    mutable std::atomic<int> reads{0};
};

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

// Lists its directory oldest file first, as a file system that keeps entries
// in creation order may: whatever the test machine's file system, files of
// one minute that tie on their dates are then listed the worst way round.
class OldestFirstManager : public WatchingManager {
public:
    using WatchingManager::WatchingManager;
    std::vector<std::string> unsortedLogFileNames() override {
        auto names = WatchingManager::unsortedLogFileNames();
        std::sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
            return sequenceNumberOfName(a) < sequenceNumberOfName(b);
        });
        return names;
    }
};

class FileLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetLogging();
        clock_ = std::make_shared<platform::ManualClock>();
        // Files are dated by the minute in their names.
        manager_ = std::make_shared<WatchingManager>(dir_.path(), clock_, withoutBirthTimes());
    }
    void TearDown() override { test::resetLogging(); }

    std::shared_ptr<LGFileLogger> makeLogger() {
        auto logger = std::make_shared<LGFileLogger>(manager_, clock_);
        logger->setLogFormatter(nullptr);  // bare text lines
        return logger;
    }
    std::vector<std::string> logFiles() { return manager_->sortedLogFilePaths(); }
    // A log file of the given minute (its date: the fixture's file system
    // keeps no birth times).
    std::string makeFile(int minute, std::size_t size) {
        char name[64];
        std::snprintf(name, sizeof name, " 2017-01-01 10-%02d.log", minute);
        std::string path = dir_.file(app() + name);
        test::writeFile(path, std::string(size, 'x'));
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
    auto clock = std::make_shared<CountingClock>();
    manager_ = std::make_shared<WatchingManager>(dir_.path(), clock, withoutBirthTimes());
    auto logger = std::make_shared<LGFileLogger>(manager_, clock);
    logger->setLogFormatter(nullptr);
    LGLog::addLogger(logger);
    LGLogInfo("first");
    LGLog::flushLog();
    std::string first = logFiles().at(0);
    // The injected clock says the file was created just now, whatever the
    // real time is.
    std::chrono::duration<double> born(manager_->sortedLogFileInfos().at(0)->creationDate());
    clock->setNow(
        std::chrono::system_clock::time_point(std::chrono::duration_cast<std::chrono::system_clock::duration>(born)));
    int reads = clock->reads.load();
    logger->setRollingFrequency(0.05);  // not due yet: only arms the timer
    ASSERT_TRUE(test::waitUntil([&] { return clock->reads.load() >= reads + 8; })) << "the timer does not re-arm";
    EXPECT_EQ(manager_->rolledCount(), 0u) << "rolled although the clock says the file is young";

    clock->advance(1s);  // nothing else happens: the timer must notice
    ASSERT_TRUE(test::waitUntil([&] { return manager_->rolledCount() == 1; })) << "the age timer did not roll";
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

// The newest file cannot be written (another user's, or made read-only; here
// immutable, which refuses root too): the lines go to a new file rather than
// nowhere until the old one is due by age.
TEST_F(FileLoggerTest, ANewestFileThatRefusesWritingIsNotTakenAgain) {
    const std::string refusing = manager_->createNewLogFile();
    ASSERT_FALSE(refusing.empty());
    auto setImmutable = [&](bool on) {
        const int fd = ::open(refusing.c_str(), O_RDONLY | O_CLOEXEC);
        int flags = 0;
        bool ok = fd >= 0 && ::ioctl(fd, FS_IOC_GETFLAGS, &flags) == 0;
        flags = on ? flags | FS_IMMUTABLE_FL : flags & ~FS_IMMUTABLE_FL;
        ok = ok && ::ioctl(fd, FS_IOC_SETFLAGS, &flags) == 0;
        if (fd >= 0) ::close(fd);
        return ok;
    };
    if (!setImmutable(true)) GTEST_SKIP() << "this file system or user cannot make a file immutable";
    struct Restore {
        std::function<bool(bool)> set;
        ~Restore() { set(false); }
    } restore{setImmutable};

    auto logger = makeLogger();
    LGLog::addLogger(logger);
    for (int i = 0; i < 3; ++i) LGLogInfo("line %d", i);
    LGLog::flushLog();
    auto files = logFiles();
    ASSERT_EQ(files.size(), 2u);
    EXPECT_NE(files[0], refusing);
    EXPECT_EQ(test::readFile(files[0]), "line 0\nline 1\nline 2\n");
    EXPECT_EQ(test::readFile(refusing), "");
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
    logger->setRollingFrequency(-std::numeric_limits<double>::infinity());
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
    ASSERT_EQ(::mkfifo(dir_.file(app() + " 2017-01-01 10-01.log").c_str(), 0644), 0);
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

// Files of one minute tie on their dates; the directory's listing order (hash
// order on ext4, newest first on tmpfs) would then decide which one goes.
TEST_F(FileLoggerTest, QuickRollingWithinOneMinuteKeepsTheNewestFiles) {
    manager_ = std::make_shared<OldestFirstManager>(dir_.path(), clock_, withoutBirthTimes());
    auto logger = makeLogger();
    logger->setMaximumFileSize(200);
    LGLog::addLogger(logger);
    constexpr int kLines = 400;
    for (int i = 0; i < kLines; ++i) LGLogInfo("line %04d of the rolling test", i);
    LGLog::flushLog();

    // The files kept hold the last lines, in order and without a gap.
    auto files = logFiles();
    ASSERT_EQ(files.size(), 5u);
    std::vector<int> numbers;
    for (auto it = files.rbegin(); it != files.rend(); ++it) {
        std::istringstream lines(test::readFile(*it));
        for (std::string line; std::getline(lines, line);) numbers.push_back(std::stoi(line.substr(5, 4)));
    }
    ASSERT_GE(numbers.size(), 4 * 7u) << "fewer lines kept than four full files hold";
    EXPECT_EQ(numbers.back(), kLines - 1) << "the newest lines are gone";
    for (std::size_t i = 1; i < numbers.size(); ++i) {
        ASSERT_EQ(numbers[i], numbers[i - 1] + 1) << "lines lost or out of order after line " << numbers[i - 1];
    }
}

TEST_F(FileLoggerTest, AnUncreatableLogsDirectoryIsReportedOncePerCause) {
    std::string blocker = dir_.file("blocker");
    test::writeFile(blocker, "a file where the directory's parent should be");
    auto manager = std::make_shared<WatchingManager>(blocker + "/Logs", clock_);
    auto logger = std::make_shared<LGFileLogger>(manager, clock_);
    logger->setLogFormatter(nullptr);
    platform::LogCapture capture;
    LGLog::addLogger(logger);
    for (int i = 0; i < 50; ++i) LGLogInfo("lost %d", i);
    LGLog::flushLog();
    EXPECT_EQ(capture.count("Error creating logsDirectory"), 1u);
    auto lines = capture.lines();
    EXPECT_LE(lines.size(), 3u) << "50 messages, " << lines.size() << " reports; the first: " << lines.at(0);

    fs::remove(blocker);
    LGLogInfo("back");
    LGLog::flushLog();
    EXPECT_EQ(test::readFile(manager->sortedLogFilePaths().at(0)), "back\n");

    // Once cleared, the same failure is worth a report again.
    LGLog::removeLogger(logger);
    LGLog::flushLog();
    fs::remove_all(blocker);
    test::writeFile(blocker, "in the way again");
    manager->logsDirectory();
    manager->logsDirectory();
    EXPECT_EQ(capture.count("Error creating logsDirectory"), 2u);
}

// A file system of its own, mounted over a directory of the test. Needs
// permission to mount; skipped where there is none.
class MountedTest : public FileLoggerTest {
protected:
    void mountOrSkip(const char* type, const char* options) {
        disk_.emplace(options, type);
        if (!disk_->mounted()) GTEST_SKIP() << disk_->why();
        mountPoint_ = disk_->path();
        FileLoggerTest::SetUp();
        manager_ = std::make_shared<WatchingManager>(mountPoint_, clock_);
    }
    void TearDown() override {
        if (!disk_ || !disk_->mounted()) return;
        FileLoggerTest::TearDown();
        disk_.reset();
    }
    std::optional<test::SmallFilesystem> disk_;
    std::string mountPoint_;
};

// Refuses user attributes and keeps no birth times.
class RamfsTest : public MountedTest {
protected:
    void SetUp() override { mountOrSkip("ramfs", nullptr); }
};

// 64 KiB: easily filled.
class SmallTmpfsTest : public MountedTest {
protected:
    void SetUp() override { mountOrSkip("tmpfs", "size=64k"); }
};

TEST_F(SmallTmpfsTest, AFullDiskLosesWholeMessagesAndLeavesNoBrokenLine) {
    auto logger = makeLogger();
    logger->setMaximumFileSize(0);
    LGLog::addLogger(logger);
    LGLogInfo("first line");
    LGLog::flushLog();

    std::string filler = mountPoint_ + "/filler";
    ASSERT_EQ(disk_->fill(), ENOSPC);

    // The log file's last page has room for a few of these; one of them
    // crosses into a page the file system no longer has.
    std::string payload(999, 'p');
    for (int i = 0; i < 10; ++i) LGLogInfo("%d %s", i, payload.c_str());
    LGLog::flushLog();
    ASSERT_EQ(::unlink(filler.c_str()), 0);
    LGLogInfo("after the disk had room again");
    LGLog::flushLog();

    std::istringstream text(test::readFile(logFiles().at(0)));
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.front(), "first line");
    EXPECT_EQ(lines.back(), "after the disk had room again");
    std::size_t kept = lines.size() - 2;
    EXPECT_LT(kept, 10u) << "the disk never filled up";
    for (std::size_t i = 0; i < kept; ++i) EXPECT_EQ(lines[i + 1], std::to_string(i) + " " + payload);
}

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
