#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include "LoggingTestSupport.h"
#include "TestSupport.h"
#include "logging/LGTTYLogger.h"

using namespace wharf;

namespace {

// A console logger writing into a temporary file, registered for every flag.
class TTYFixture : public ::testing::Test {
protected:
    void SetUp() override { test::resetLogging(); }
    void TearDown() override {
        test::resetLogging();
        if (fd_ >= 0) ::close(fd_);
    }

    std::shared_ptr<LGTTYLogger> makeLogger(LGTerminalKind kind) {
        fd_ = ::open(dir_.file("tty.out").c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        auto logger = std::make_shared<LGTTYLogger>(fd_, kind);
        return logger;
    }
    std::string output() {
        LGLog::flushLog();
        return test::readFile(dir_.file("tty.out"));
    }
    static void logAt(uint64_t flag, int64_t context, const char* text, const LGLogTag& tag = std::nullopt) {
        LGLog::log(true, LGLogLevelAll, flag, context, __FILE__, __func__, __LINE__, tag, "%s", text);
    }

    test::TempDir dir_;
    int fd_ = -1;
};

TEST_F(TTYFixture, PlainLineLayout) {
    auto logger = makeLogger(LGTerminalKind::None);
    LGLog::addLogger(logger);
    logAt(LGLogFlagInfo, 0, "hello there");
    logAt(LGLogFlagInfo, 0, "already ended\n");
    std::string out = output();

    // "yyyy-MM-dd HH:mm:ss:SSS <process>[<pid>:<tid>] <text>\n"
    std::size_t firstEnd = out.find('\n');
    ASSERT_NE(firstEnd, std::string::npos);
    std::string line = out.substr(0, firstEnd);
    ASSERT_GE(line.size(), 24u);
    for (std::size_t i : {4u, 7u}) EXPECT_EQ(line[i], '-') << line;
    EXPECT_EQ(line[10], ' ');
    for (std::size_t i : {13u, 16u, 19u}) EXPECT_EQ(line[i], ':') << line;
    EXPECT_EQ(line[23], ' ');
    std::string prefix = std::string(program_invocation_short_name) + "[" + std::to_string(::getpid()) + ":";
    EXPECT_EQ(line.compare(24, prefix.size(), prefix), 0) << line;
    std::size_t close = line.find("] ", 24);
    ASSERT_NE(close, std::string::npos);
    std::string tid = line.substr(24 + prefix.size(), close - 24 - prefix.size());
    EXPECT_FALSE(tid.empty());
    EXPECT_LE(tid.size(), 8u);
    EXPECT_EQ(line.substr(close + 2), "hello there");

    // No second newline after a text that has one; exactly two lines in all.
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 2);
    EXPECT_TRUE(out.ends_with("] already ended\n"));
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
}

TEST_F(TTYFixture, ThreadIdentifierIsCutToEightCharacters) {
    auto logger = makeLogger(LGTerminalKind::None);
    LGLog::addLogger(logger);
    LGLog::log(true, LGLogLevelAll, LGLogFlagInfo, 0, "f", "g", 1, std::nullopt, "%s", "x");
    LGLog::flushLog();
    std::string out = output();
    std::size_t close = out.find("] x");
    std::size_t colon = out.rfind(':', close);
    ASSERT_NE(colon, std::string::npos);
    EXPECT_LE(close - colon - 1, 8u);
}

class FixedFormatter : public LGLogFormatter {
public:
    std::optional<std::string> formatLogMessage(const LGLogMessage& m) override {
        if (m.message() == "drop") return std::nullopt;
        return "[" + std::string(m.message()) + "]";
    }
};

TEST_F(TTYFixture, FormattedLinesFollowTheNewlineSwitch) {
    auto logger = makeLogger(LGTerminalKind::None);
    logger->setLogFormatter(std::make_shared<FixedFormatter>());
    LGLog::addLogger(logger);
    logAt(LGLogFlagInfo, 0, "one");
    logAt(LGLogFlagInfo, 0, "drop");
    EXPECT_EQ(output(), "[one]\n");

    logger->setAutomaticallyAppendNewlineForCustomFormatters(false);
    logAt(LGLogFlagInfo, 0, "two");
    EXPECT_EQ(output(), "[one]\n[two]");
}

TEST_F(TTYFixture, DefaultColoursOnA16ColourTerminal) {
    auto logger = makeLogger(LGTerminalKind::Colors16);
    logger->setColorsEnabled(true);
    EXPECT_TRUE(logger->colorsEnabled());
    LGLog::addLogger(logger);
    logAt(LGLogFlagError, 0, "bad");
    logAt(LGLogFlagWarning, 0, "odd");
    logAt(LGLogFlagInfo, 0, "fine");
    std::string out = output();

    std::size_t first = out.find('\n');
    std::string error = out.substr(0, first + 5);
    EXPECT_TRUE(error.starts_with("\x1b[31m")) << error;
    EXPECT_TRUE(error.ends_with("bad\n\x1b[0m")) << error;
    std::string rest = out.substr(first + 5);
    EXPECT_TRUE(rest.starts_with("\x1b[33m")) << rest;
    std::size_t infoStart = rest.find("\x1b[0m") + 4;
    EXPECT_EQ(rest.find('\x1b', infoStart), std::string::npos) << "info lines stay uncoloured";
}

TEST_F(TTYFixture, ColoursOnA256ColourTerminal) {
    auto logger = makeLogger(LGTerminalKind::Colors256);
    LGColor peach = LGColor::fromBytes(252, 187, 148);  // colour 216 exactly
    logger->setForegroundColor(peach, peach, LGLogFlagInfo);
    logger->setColorsEnabled(true);
    LGLog::addLogger(logger);
    logAt(LGLogFlagInfo, 3, "peach");
    std::string out = output();
    EXPECT_TRUE(out.starts_with("\x1b[38;5;216m\x1b[48;5;216m")) << out;
    EXPECT_TRUE(out.ends_with("peach\n\x1b[0m"));
}

TEST_F(TTYFixture, RgbEscapeForm) {
    auto logger = makeLogger(LGTerminalKind::RGB);
    logger->setColorsEnabled(true);
    LGLog::addLogger(logger);
    logAt(LGLogFlagError, 0, "bad");
    std::string out = output();
    EXPECT_TRUE(out.starts_with("\x1b[fg214,57,30;")) << out;
    EXPECT_TRUE(out.ends_with("bad\n\x1b[;"));
}

TEST_F(TTYFixture, ContextAndTagRulesTakePrecedence) {
    auto logger = makeLogger(LGTerminalKind::Colors16);
    LGColor red = LGColor::fromBytes(194, 54, 33), green = LGColor::fromBytes(37, 188, 36),
            blue = LGColor::fromBytes(73, 46, 225);
    logger->setForegroundColor(red, std::nullopt, LGLogFlagInfo);  // all contexts
    logger->setForegroundColor(green, std::nullopt, LGLogFlagInfo, 5);  // context 5
    logger->setForegroundColorForTag(blue, std::nullopt, "net");
    logger->setColorsEnabled(true);
    LGLog::addLogger(logger);
    logAt(LGLogFlagInfo, 5, "five");
    logAt(LGLogFlagInfo, 6, "six");
    logAt(LGLogFlagInfo, 5, "tagged", LGLogTag("net"));
    std::string out = output();
    EXPECT_NE(out.find("\x1b[32m"), std::string::npos);
    EXPECT_LT(out.find("\x1b[32m"), out.find("five"));
    EXPECT_LT(out.find("\x1b[31m"), out.find("six"));
    EXPECT_GT(out.find("\x1b[31m"), out.find("five"));
    EXPECT_LT(out.find("\x1b[34m"), out.find("tagged"));
    EXPECT_GT(out.find("\x1b[34m"), out.find("six"));

    // Clearing with the default context leaves the all-contexts rule.
    logger->clearColorsForFlag(LGLogFlagInfo);
    logger->clearColorsForFlag(LGLogFlagInfo, 5);
    logAt(LGLogFlagInfo, 5, "after");
    out = output();
    EXPECT_LT(out.rfind("\x1b[31m"), out.find("after"));
    EXPECT_GT(out.rfind("\x1b[31m"), out.find("tagged"));
}

// A console whose reader has gone (the pipe to a pager that was closed):
// messages are lost, the process goes on, and the logger's thread is left
// with no signal pending that could end it later.
TEST_F(TTYFixture, AConsoleWhoseReaderHasGoneDoesNotEndTheProcess) {
    int ends[2];
    ASSERT_EQ(::pipe2(ends, O_CLOEXEC), 0);
    ::close(ends[0]);
    fd_ = ends[1];
    auto logger = std::make_shared<LGTTYLogger>(fd_, LGTerminalKind::None);
    LGLog::addLogger(logger);
    LGLogError("nobody reads this");
    logAt(LGLogFlagInfo, 0, "nor this");
    LGLog::flushLog();
    bool pending = true;
    logger->loggerQueue()->sync([&] {
        sigset_t set;
        sigpending(&set);
        pending = sigismember(&set, SIGPIPE) == 1;
    });
    EXPECT_FALSE(pending);
}

TEST(LGTTYLoggerTerminalTest, TerminalKindFromTheEnvironment) {
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment(nullptr, nullptr), LGTerminalKind::None);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment(nullptr, "xterm"), LGTerminalKind::None);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment(nullptr, "xterm-color"), LGTerminalKind::Colors16);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment(nullptr, "XTERM-COLOR"), LGTerminalKind::Colors16);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment(nullptr, "xterm-256color"), LGTerminalKind::Colors256);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment("YES", "xterm-256color"), LGTerminalKind::RGB);
    EXPECT_EQ(LGTTYLogger::terminalKindForEnvironment("yes", "dumb"), LGTerminalKind::None);
}

TEST(LGTTYLoggerTerminalTest, ProfilesTakeTheCodeOfTheNearestTerminalColour) {
    // Colours the terminal numbers are known to show map to those numbers,
    // for the foreground and the background alike.
    struct Probe {
        uint8_t r, g, b;
        LGTerminalKind kind;
        const char* foreground;
        const char* background;
    };
    const Probe probes[] = {
        {0, 0, 0, LGTerminalKind::Colors16, "30m", "40m"},
        {73, 46, 225, LGTerminalKind::Colors16, "34m", "44m"},
        {252, 57, 31, LGTerminalKind::Colors16, "1;31m", "1;41m"},
        {233, 235, 235, LGTerminalKind::Colors16, "1;37m", "1;47m"},
        {255, 0, 0, LGTerminalKind::Colors16, "1;31m", "1;41m"},  // nearest, not equal
        {47, 49, 49, LGTerminalKind::Colors256, "38;5;16m", "48;5;16m"},
        {60, 42, 144, LGTerminalKind::Colors256, "38;5;17m", "48;5;17m"},
        {66, 44, 183, LGTerminalKind::Colors256, "38;5;18m", "48;5;18m"},
        {252, 187, 148, LGTerminalKind::Colors256, "38;5;216m", "48;5;216m"},
        {200, 201, 202, LGTerminalKind::Colors256, "38;5;250m", "48;5;250m"},
        {240, 242, 242, LGTerminalKind::Colors256, "38;5;255m", "48;5;255m"},
    };
    for (const Probe& p : probes) {
        LGColor colour = LGColor::fromBytes(p.r, p.g, p.b);
        LGTTYLoggerColorProfile profile(colour, colour, 1, LGLogContextAll, p.kind);
        SCOPED_TRACE(std::to_string(p.r) + "," + std::to_string(p.g) + "," + std::to_string(p.b));
        EXPECT_EQ(profile.fgCode, std::string("\x1b[") + p.foreground);
        EXPECT_EQ(profile.bgCode, std::string("\x1b[") + p.background);
        EXPECT_EQ(profile.resetCode, "\x1b[0m");
    }

    LGTTYLoggerColorProfile error(LGColor::fromBytes(214, 57, 30), std::nullopt, 1, LGLogContextAll,
                                  LGTerminalKind::Colors16);
    LGTTYLoggerColorProfile warning(LGColor::fromBytes(204, 121, 32), std::nullopt, 2, LGLogContextAll,
                                    LGTerminalKind::Colors16);
    EXPECT_EQ(error.fgCodeRaw, "31m");
    EXPECT_EQ(warning.fgCodeRaw, "33m");
    EXPECT_EQ(error.bgCode, "");
    EXPECT_NE(error.description().find("fgCode:31m"), std::string::npos);

    LGTTYLoggerColorProfile plain(LGColor::fromBytes(1, 2, 3), std::nullopt, 1, 0, LGTerminalKind::None);
    EXPECT_EQ(plain.fgCode, "");
    EXPECT_EQ(plain.resetCode, "");
}

}  // namespace
