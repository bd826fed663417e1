#include <gtest/gtest.h>

#include <fcntl.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstring>

#include <systemd/sd-journal.h>

#include "LoggingTestSupport.h"
#include "PrivateJournal.h"
#include "TestSupport.h"
#include "logging/LGASLLogCapture.h"
#include "logging/LGASLLogger.h"
#include "platform/base/Log.h"
#include "platform/device/SystemLog.h"

using namespace wharf;

namespace {

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        test::resetLogging();
        logger_ = std::make_shared<test::RecordingLogger>();
        LGLog::addLogger(logger_);
        LGASLLogCapture::setCaptureLevel(LGLogLevelVerbose);
    }
    void TearDown() override {
        LGASLLogCapture::setCaptureLevel(LGLogLevelVerbose);
        test::resetLogging();
    }
    std::vector<LGLogMessage> delivered() {
        LGLog::flushLog();
        return logger_->messages();
    }
    std::shared_ptr<test::RecordingLogger> logger_;
};

TEST(LGASLLoggerTest, OneInstancePerProcess) {
    auto shared = LGASLLogger::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(LGASLLogger::sharedInstance(), shared);
    EXPECT_EQ(LGASLLogger::create(), nullptr);
    EXPECT_EQ(shared->loggerQueue()->label(), "wharf.logging.aslLogger");
}

// What reaches file descriptor 2 while it lives.
class StandardErrorCapture {
public:
    StandardErrorCapture() : file_(dir_.file("stderr")) {
        int fd = ::open(file_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        saved_ = ::dup(2);
        ::dup2(fd, 2);
        ::close(fd);
    }
    ~StandardErrorCapture() { restore(); }
    std::string text() {
        restore();
        return test::readFile(file_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        ::dup2(saved_, 2);
        ::close(saved_);
        saved_ = -1;
    }
    test::TempDir dir_;
    std::string file_;
    int saved_ = -1;
};

// Where neither journald nor a syslog daemon runs, the system-log logger takes
// every message without a word and without holding up the loggers after it.
TEST(LGASLLoggerTest, WritingWithoutASystemLogIsSilent) {
    if (platform::SystemLog::journalAvailable() || ::access("/dev/log", F_OK) == 0) {
        GTEST_SKIP() << "a system log runs here; the messages would go into it";
    }
    test::resetLogging();
    auto after = std::make_shared<test::RecordingLogger>();
    LGLog::addLogger(LGASLLogger::sharedInstance(), LGLogLevelInfo);
    LGLog::addLogger(after);
    platform::LogCapture lines;
    StandardErrorCapture standardError;
    LGLogError("to the system log");
    LGLogInfo("and more");
    LGLog::flushLog();
    EXPECT_EQ(standardError.text(), "");
    EXPECT_TRUE(lines.lines().empty());
    EXPECT_EQ(after->count(), 2u);
    test::resetLogging();
}

TEST_F(CaptureTest, LevelsBecomeFlagsAndRespectTheCaptureLevel) {
    LGASLLogCapture::setCaptureLevel(LGLogLevelInfo);
    LGASLLogCapture::aslMessageReceived({{"Message", "debug record"}, {"Level", "5"}, {"Time", "100"}});
    LGASLLogCapture::aslMessageReceived({{"Message", "critical record"}, {"Level", "1"}, {"Time", "100"}});
    LGASLLogCapture::aslMessageReceived({{"Message", "no level"}, {"Time", "100"}});
    LGASLLogCapture::aslMessageReceived({{"Level", "3"}, {"Time", "100"}});  // no text
    LGASLLogCapture::aslMessageReceived({{"Message", "warning record"}, {"Level", "3"}, {"Time", "100"}});

    auto messages = delivered();
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_EQ(messages[0].message(), "critical record");
    EXPECT_EQ(messages[0].flag(), LGLogFlagError);
    EXPECT_EQ(messages[0].level(), LGLogLevelInfo);
    EXPECT_EQ(messages[0].fileName(), "LGASLLogCapture");
    EXPECT_EQ(messages[1].flag(), LGLogFlagError);
    EXPECT_EQ(messages[2].flag(), LGLogFlagWarning);

    LGASLLogCapture::setCaptureLevel(LGLogLevelVerbose);
    LGASLLogCapture::aslMessageReceived({{"Message", "six"}, {"Level", "6"}});
    LGASLLogCapture::aslMessageReceived({{"Message", "odd"}, {"Level", "-1"}});
    messages = delivered();
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_EQ(messages[3].flag(), LGLogFlagVerbose);
    EXPECT_EQ(messages[4].flag(), LGLogFlagVerbose);
}

TEST_F(CaptureTest, RecordTimes) {
    double before =
        std::floor(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    LGASLLogCapture::aslMessageReceived(
        {{"Message", "timed"}, {"Level", "4"}, {"Time", "1000"}, {"TimeNanoSec", "500000000"}});
    LGASLLogCapture::aslMessageReceived({{"Message", "untimed"}, {"Level", "4"}});
    auto messages = delivered();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_DOUBLE_EQ(messages[0].timestamp(), 1000.5);
    EXPECT_GE(messages[1].timestamp(), before);
    EXPECT_LE(messages[1].timestamp(), before + 5);
}

TEST(LGASLLogCaptureQueryTest, SkipsOwnRecordsAndOwnConsoleOutput) {
    std::string self = std::to_string(::getpid());
    EXPECT_TRUE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Level", "7"}}));
    EXPECT_FALSE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Level", "8"}}));
    EXPECT_FALSE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Level", "4"}, {"LGLog", "1"}}));
    EXPECT_FALSE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Transport", "stdout"}, {"PID", self}}));
    EXPECT_TRUE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Transport", "stdout"}, {"PID", "1"}}));
    EXPECT_TRUE(LGASLLogCapture::matchesQuery({{"Message", "m"}, {"Transport", "journal"}, {"PID", self}}));
}

TEST(LGASLLogCaptureTest, CannotStartWithoutAJournal) {
    if (platform::SystemLog::journalAvailable()) GTEST_SKIP() << "a journal runs here";
    EXPECT_FALSE(LGASLLogCapture::start()) << "capture started without a journal";
    EXPECT_FALSE(LGASLLogCapture::isCapturing());
}

// Against a real journald: one of the test's own (see PrivateJournal.h).
class JournalTest : public CaptureTest {
protected:
    void SetUp() override {
        status_ = journal_.enter();
        if (status_ == test::PrivateJournal::Status::Unavailable) GTEST_SKIP() << journal_.reason();
        if (status_ == test::PrivateJournal::Status::Ready) CaptureTest::SetUp();
    }
    void TearDown() override {
        if (status_ != test::PrivateJournal::Status::Ready) return;
        LGASLLogCapture::stop();
        CaptureTest::TearDown();
    }
    // The checks ran in a child process with a journal of its own.
    bool ranElsewhere() const { return status_ != test::PrivateJournal::Status::Ready; }

    // How often the capture brought `text` in.
    std::size_t captured(const std::string& text) {
        std::size_t count = 0;
        for (const auto& m : logger_->messages()) count += m.fileName() == "LGASLLogCapture" && m.message() == text;
        return count;
    }

    test::PrivateJournal journal_;
    test::PrivateJournal::Status status_ = test::PrivateJournal::Status::Settled;
};

class TaggingFormatter : public LGLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const LGLogMessage& m) override {
        return "[formatted] " + std::string(m.message());
    }
};

TEST_F(JournalTest, LoggerWritesMessageLevelAndItsOwnFields) {
    if (ranElsewhere()) return;
    auto logger = LGASLLogger::sharedInstance();
    LGLog::addLogger(logger);
    std::string tag = std::to_string(::getpid());
    std::string error = "an error for the journal " + tag;
    std::string info = "some information for the journal " + tag;
    std::string recaptured = "came from the journal " + tag;
    std::string formatted = "a warning for the journal " + tag;
    std::string debug = "a debug line for the journal " + tag;
    std::string verbose = "a verbose line for the journal " + tag;
    LGLogError("%s", error.c_str());
    LGLogInfo("%s", info.c_str());
    LGLogDebug("%s", debug.c_str());
    LGLogVerbose("%s", verbose.c_str());
    // What the capture brought in is in the system log already.
    LGLog::log(false, LGLogMessage(recaptured, LGLogLevelAll, LGLogFlagWarning, 0, "LGASLLogCapture", nullptr, 0));
    LGLog::flushLog();
    logger->setLogFormatter(std::make_shared<TaggingFormatter>());
    LGLogWarn("%s", formatted.c_str());
    LGLog::flushLog();
    logger->setLogFormatter(nullptr);

    auto errors = test::waitForJournalEntries(error);
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0]["PRIORITY"], "2");
    EXPECT_EQ(errors[0]["LGLOG"], "1");
    EXPECT_EQ(errors[0]["READ_UID"], std::to_string(::geteuid()));
    EXPECT_EQ(errors[0]["SYSLOG_IDENTIFIER"], program_invocation_short_name);
    EXPECT_EQ(errors[0]["_PID"], tag);
    EXPECT_EQ(errors[0]["_TRANSPORT"], "journal");
    auto infos = test::waitForJournalEntries(info);
    ASSERT_EQ(infos.size(), 1u);
    EXPECT_EQ(infos[0]["PRIORITY"], "4");
    EXPECT_EQ(infos[0]["LGLOG"], "1");
    for (const std::string* text : {&debug, &verbose}) {
        auto entries = test::waitForJournalEntries(*text);
        ASSERT_EQ(entries.size(), 1u) << *text;
        EXPECT_EQ(entries[0]["PRIORITY"], "5") << *text;
    }
    auto warnings = test::waitForJournalEntries("[formatted] " + formatted);
    ASSERT_EQ(warnings.size(), 1u);
    EXPECT_EQ(warnings[0]["PRIORITY"], "3");
    EXPECT_TRUE(test::journalEntries(formatted).empty()) << "the unformatted text went out too";
    // Sent after the recaptured message over the same socket: that one would be there by now.
    EXPECT_TRUE(test::journalEntries(recaptured).empty()) << "a captured message was written back";
}

// `text` on this process's own stdout stream to the journal, as a process's
// console output reaches it when journald collects it.
void writeToOwnConsoleStream(const std::string& text) {
    int fd = sd_journal_stream_fd("wharf-capture-test", LOG_INFO, 0);
    ASSERT_GE(fd, 0) << strerror(-fd);
    // The line follows the connection at once, possibly before journald has
    // set up its end to receive the sender's credentials; without them the
    // record has no _PID and nobody can tell whose output it is. Sending them
    // from this end closes that window (a process's real console stream is
    // connected long before it writes).
    int on = 1;
    EXPECT_EQ(::setsockopt(fd, SOL_SOCKET, SO_PASSCRED, &on, sizeof on), 0) << strerror(errno);
    std::string line = text + "\n";
    EXPECT_EQ(::write(fd, line.data(), line.size()), static_cast<ssize_t>(line.size()));
    ::close(fd);
}

// `text` on another process's console stream to the journal.
void writeFromAnotherProcess(const std::string& text) {
    const char* argv[] = {"systemd-cat", "-t", "wharf-capture-test", "echo", text.c_str(), nullptr};
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, "systemd-cat", nullptr, nullptr, const_cast<char**>(argv), environ);
    ASSERT_EQ(rc, 0) << "cannot run systemd-cat: " << strerror(rc);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "systemd-cat: wait status " << status;
}

TEST_F(JournalTest, CapturesOtherRecordsOnceAcrossRestartsButNeverItsOwn) {
    if (ranElsewhere()) return;
    // The system-log logger sees what the capture brings in and must leave it out.
    LGLog::addLogger(LGASLLogger::sharedInstance());
    ASSERT_TRUE(LGASLLogCapture::start());
    LGASLLogCapture::stop();
    ASSERT_TRUE(LGASLLogCapture::start());
    ASSERT_TRUE(LGASLLogCapture::start());

    std::string tag = std::to_string(::getpid());
    std::string direct = "written to the journal directly " + tag;
    std::string otherProcess = "another process's console output " + tag;
    std::string framework = "written through the framework " + tag;
    std::string ownConsole = "this process's console output " + tag;
    std::string last = "the last record " + tag;
    platform::SystemLog::write(4, direct, {{"SYSLOG_IDENTIFIER", "wharf-capture-test"}});
    writeFromAnotherProcess(otherProcess);
    LGLogWarn("%s", framework.c_str());
    writeToOwnConsoleStream(ownConsole);
    LGLog::flushLog();
    // All in the journal before the last record: once that one is captured,
    // the capture has read past the others.
    for (const std::string* text : {&direct, &otherProcess, &framework, &ownConsole}) {
        ASSERT_EQ(test::waitForJournalEntries(*text).size(), 1u) << *text;
    }
    platform::SystemLog::write(4, last, {{"SYSLOG_IDENTIFIER", "wharf-capture-test"}});
    ASSERT_TRUE(test::waitUntil([&] { return captured(last) > 0; })) << "nothing captured";
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a second copy to show up
    LGASLLogCapture::stop();
    LGLog::flushLog();

    EXPECT_EQ(captured(direct), 1u);
    EXPECT_EQ(captured(otherProcess), 1u);
    EXPECT_EQ(captured(last), 1u);
    EXPECT_EQ(captured(framework), 0u) << "the framework's own record came back";
    EXPECT_EQ(captured(ownConsole), 0u) << "this process's console output came back";
    for (const auto& m : logger_->messages()) {
        if (m.message() == direct) {
            EXPECT_EQ(m.flag(), LGLogFlagInfo);
        }
    }
    // Nothing captured went back into the journal: a record sent after them is there, they are not twice.
    std::string probe = "after the capture " + tag;
    LGLogWarn("%s", probe.c_str());
    LGLog::flushLog();
    ASSERT_EQ(test::waitForJournalEntries(probe).size(), 1u);
    EXPECT_EQ(test::journalEntries(direct).size(), 1u);
    EXPECT_EQ(test::journalEntries(otherProcess).size(), 1u);
    EXPECT_EQ(test::journalEntries(last).size(), 1u);
}

}  // namespace

namespace {

// Scripted records; a byte in the pipe is the journal's wake-up.
class FakeReader : public SystemLogReader {
public:
    // Registrations open at once, and the most ever open together.
    static inline std::atomic<int> live{0};
    static inline std::atomic<int> mostLive{0};

    FakeReader() {
        if (::pipe(pipe_) != 0) pipe_[0] = pipe_[1] = -1;
        int now = ++live;
        int most = mostLive.load();
        while (now > most && !mostLive.compare_exchange_weak(most, now)) {}
    }
    ~FakeReader() override {
        --live;
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    int fd() const override { return pipe_[0]; }
    std::vector<LGASLRecord> readNew() override {
        char buffer[64];
        while (::read(pipe_[0], buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {}
        std::lock_guard<std::mutex> lock(mutex_);
        return std::exchange(records_, {});
    }
    void add(LGASLRecord record) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            records_.push_back(std::move(record));
        }
        ssize_t written = ::write(pipe_[1], "x", 1);
        (void)written;
    }

private:
    int pipe_[2];
    std::mutex mutex_;
    std::vector<LGASLRecord> records_;
};

class FakeCaptureTest : public CaptureTest {
protected:
    void SetUp() override {
        CaptureTest::SetUp();
        FakeReader::mostLive = FakeReader::live.load();
        LGASLLogCapture::setReaderFactory([this](uint64_t, std::string*) {
            ++opened_;
            auto reader = std::make_unique<FakeReader>();
            reader_ = reader.get();
            return reader;
        });
    }
    void TearDown() override {
        LGASLLogCapture::stop();
        LGASLLogCapture::setReaderFactory(nullptr);
        CaptureTest::TearDown();
    }
    std::atomic<int> opened_{0};
    FakeReader* reader_ = nullptr;
};

TEST_F(FakeCaptureTest, RestartBeforeTheNextRecordKeepsOneRegistration) {
    ASSERT_TRUE(LGASLLogCapture::start());
    LGASLLogCapture::stop();
    ASSERT_TRUE(LGASLLogCapture::start());
    ASSERT_TRUE(LGASLLogCapture::start());
    // Whether the restart reuses the registration or the capture queue has
    // already dropped it is a matter of timing; two at once never happen.
    EXPECT_LE(opened_.load(), 2);
    EXPECT_EQ(FakeReader::mostLive.load(), 1);
    EXPECT_TRUE(LGASLLogCapture::isCapturing());

    reader_->add({{"Message", "from elsewhere"}, {"Level", "4"}, {"PID", "1"}, {"Transport", "journal"}});
    reader_->add(
        {{"Message", "our own stderr"}, {"Level", "6"}, {"PID", std::to_string(::getpid())}, {"Transport", "stdout"}});
    reader_->add({{"Message", "our own logger"}, {"Level", "4"}, {"LGLog", "1"}});
    ASSERT_TRUE(test::waitUntil([&] { return logger_->count() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a duplicate to show up
    auto messages = delivered();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message(), "from elsewhere");
    EXPECT_EQ(messages[0].flag(), LGLogFlagInfo);
}

}  // namespace
