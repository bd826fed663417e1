#include <gtest/gtest.h>

#include <unistd.h>

#include <cmath>

#include "LoggingTestSupport.h"
#include "logging/LGASLLogCapture.h"
#include "logging/LGASLLogger.h"
#include "platform/SystemLog.h"

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

TEST(LGASLLoggerTest, FlagsMapToSystemLogLevels) {
    EXPECT_EQ(LGASLLogger::levelForFlag(LGLogFlagError), 2);
    EXPECT_EQ(LGASLLogger::levelForFlag(LGLogFlagWarning), 3);
    EXPECT_EQ(LGASLLogger::levelForFlag(LGLogFlagInfo), 4);
    EXPECT_EQ(LGASLLogger::levelForFlag(LGLogFlagDebug), 5);
    EXPECT_EQ(LGASLLogger::levelForFlag(LGLogFlagVerbose), 5);
    EXPECT_EQ(LGASLLogger::levelForFlag(64), 5);
}

TEST(LGASLLoggerTest, OneInstancePerProcess) {
    auto shared = LGASLLogger::sharedInstance();
    ASSERT_TRUE(shared);
    EXPECT_EQ(LGASLLogger::sharedInstance(), shared);
    EXPECT_EQ(LGASLLogger::create(), nullptr);
    EXPECT_EQ(shared->loggerQueue()->label(), "wharf.logging.aslLogger");
}

TEST(LGASLLoggerTest, WritingWithoutASystemLogIsSilent) {
    test::resetLogging();
    LGLog::addLogger(LGASLLogger::sharedInstance(), LGLogLevelInfo);
    LGLogError("to the system log");
    LGLogInfo("and more");
    LGLog::flushLog();
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
    double before = std::floor(std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count());
    LGASLLogCapture::aslMessageReceived({{"Message", "timed"}, {"Level", "4"}, {"Time", "1000"}, {"TimeNanoSec", "500000000"}});
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

// Needs a running journal; this machine may have none.
TEST_F(CaptureTest, CapturesOtherRecordsOnceAcrossRestarts) {
    if (!platform::SystemLog::journalAvailable()) {
        EXPECT_FALSE(LGASLLogCapture::start()) << "capture started without a journal";
        EXPECT_FALSE(LGASLLogCapture::isCapturing());
        GTEST_SKIP() << "no journal socket (/run/systemd/journal/socket): capture cannot be tested here";
    }
    ASSERT_TRUE(LGASLLogCapture::start());
    LGASLLogCapture::stop();
    ASSERT_TRUE(LGASLLogCapture::start());
    ASSERT_TRUE(LGASLLogCapture::start());
    std::string marker = "capture probe " + std::to_string(::getpid());
    platform::SystemLog::write(4, marker, {{"SYSLOG_IDENTIFIER", "wharf-capture-test"}});
    ASSERT_TRUE(test::waitUntil([&] { return !logger_->messages().empty(); })) << "nothing captured";
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    LGASLLogCapture::stop();
    std::size_t copies = 0;
    for (const auto& m : delivered()) copies += m.message() == marker;
    EXPECT_EQ(copies, 1u);
}

}  // namespace

namespace {

// Scripted records; a byte in the pipe is the journal's wake-up.
class FakeReader : public SystemLogReader {
public:
    FakeReader() {
        if (::pipe(pipe_) != 0) pipe_[0] = pipe_[1] = -1;
    }
    ~FakeReader() override {
        ::close(pipe_[0]);
        ::close(pipe_[1]);
    }
    int fd() const override { return pipe_[0]; }
    std::vector<LGASLRecord> readNew() override {
        char buffer[64];
        while (::read(pipe_[0], buffer, sizeof buffer) == static_cast<ssize_t>(sizeof buffer)) {
        }
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
    EXPECT_EQ(opened_.load(), 1);
    EXPECT_TRUE(LGASLLogCapture::isCapturing());

    reader_->add({{"Message", "from elsewhere"}, {"Level", "4"}, {"PID", "1"}, {"Transport", "journal"}});
    reader_->add({{"Message", "our own stderr"}, {"Level", "6"}, {"PID", std::to_string(::getpid())},
                  {"Transport", "stdout"}});
    reader_->add({{"Message", "our own logger"}, {"Level", "4"}, {"LGLog", "1"}});
    ASSERT_TRUE(test::waitUntil([&] { return logger_->count() >= 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));  // room for a duplicate to show up
    auto messages = delivered();
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0].message(), "from elsewhere");
    EXPECT_EQ(messages[0].flag(), LGLogFlagInfo);
}

}  // namespace
