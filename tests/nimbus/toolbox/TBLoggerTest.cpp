#include "nimbus/toolbox/TBLogger.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <set>
#include <sstream>
#include <stdexcept>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "platform/base/Regex.h"
#include "platform/storage/UserDefaults.h"

using namespace wharf;

namespace {

// Sends what the process writes to one of its descriptors into a file while alive.
class CapturedFd {
public:
    CapturedFd(int fd, const std::string& path) : fd_(fd), path_(path) {
        std::fflush(nullptr);
        saved_ = ::dup(fd);
        const int file = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        ::dup2(file, fd);
        ::close(file);
    }
    ~CapturedFd() { restore(); }
    // Everything written so far; the descriptor goes back where it was.
    std::string text() {
        restore();
        return test::readFile(path_);
    }

private:
    void restore() {
        if (saved_ < 0) return;
        std::fflush(nullptr);
        ::dup2(saved_, fd_);
        ::close(saved_);
        saved_ = -1;
    }
    int fd_;
    std::string path_;
    int saved_ = -1;
};

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

// Logs one line at each level, naming the level.
void logEveryLevel(TBLogger& logger) {
    logger.logDebug("debug %d", 1);
    logger.logInfo("info %d", 2);
    logger.logError("error %d", 3);
    logger.logAssert("assert %d", 4);
}

// Matches a line of the standard formatter and captures level, function and message.
bool standardLine(const std::string& line, std::string* level, std::string* rest) {
    static const auto regex =
        platform::Regex::compile("^\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d\\.\\d{3} " +
                                 platform::Regex::escape(program_invocation_short_name) + "\\[" +
                                 std::to_string(::getpid()) + "/0x[0-9a-f]+\\] \\[lvl=(\\d)\\] (.*)$");
    auto match = regex ? regex->firstMatch(line) : std::nullopt;
    if (!match) return false;
    *level = (*match)[1];
    *rest = (*match)[2];
    return true;
}

class ThrowingFormatter : public TBLogFormatter {
public:
    std::optional<std::string> stringForFunc(const std::optional<std::string>&, const char*, va_list, int) override {
        throw std::runtime_error("formatter failed");
    }
};

}  // namespace

TEST(TBLogger, PlainLoggerWritesExactlyTheFormattedLineToStandardOutput) {
    test::TempDir dir;
    CapturedFd out(STDOUT_FILENO, dir.file("stdout"));
    TBLogger logger;
    logger.logError("%s has %d items", "cart", 3);
    logger.logDebug("debug too");
    logger.logMessage("level 0 is dropped", 0);
    logger.logMessage("a line passed on", TBLoggerLevelInfo);
    EXPECT_EQ(out.text(), "cart has 3 items\ndebug too\na line passed on\n");
}

TEST(TBLogger, StandardLoggerFormatsAndFiltersByVerboseSetting) {
    test::TempHome home;
    test::TempDir dir;
    ::unsetenv("TBVerboseLogging");
    auto logger = TBLogger::standardLoggerWithPath(dir.file("app.log"));
    ASSERT_TRUE(logger);
    logEveryLevel(*logger);
    logger->logFuncError("doWork", "named");
    logger->logFuncError("-[A b]", "method");
    logger->logFuncError("int main(int, char**)", "signature");
    logger->logFuncError(" \n\t", "blank");

    // The user default turns info lines on while it is set.
    platform::UserDefaults::standard().setBool(true, "TBVerboseLogging");
    logger->logInfo("verbose %s", "now");
    platform::UserDefaults::standard().setBool(false, "TBVerboseLogging");
    logger->logInfo("quiet again");

    std::vector<std::string> got;
    for (const std::string& line : linesOf(test::readFile(dir.file("app.log")))) {
        std::string level, rest;
        ASSERT_TRUE(standardLine(line, &level, &rest)) << line;
        got.push_back(level + " " + rest);
    }
    EXPECT_EQ(got, (std::vector<std::string>{"3 (unknown) error 3", "4 (unknown) assert 4", "3 doWork() named",
                                             "3 -[A b] method", "3 int main(int, char**) signature",
                                             "3 (unknown) blank", "2 (unknown) verbose now"}));
}

TEST(TBLogger, EnvironmentDecidesVerboseLoggingOverTheUserDefault) {
    test::TempHome home;
    test::TempDir dir;
    platform::UserDefaults::standard().setBool(true, "TBVerboseLogging");
    const std::pair<const char*, bool> cases[] = {{"yes", true}, {" t", true}, {"TRUE", true}, {"12", true},
                                                  {"no", false}, {"0", false}, {"", false},    {"false", false}};
    for (const auto& [value, verbose] : cases) {
        ::setenv("TBVerboseLogging", value, 1);
        const std::string path = dir.file(std::string("log-") + value);
        auto logger = TBLogger::standardLoggerWithPath(path);
        ASSERT_TRUE(logger);
        logger->logInfo("info");
        logger->logDebug("debug");
        EXPECT_EQ(linesOf(test::readFile(path)).size(), verbose ? 1u : 0u) << "\"" << value << "\"";
    }
    ::unsetenv("TBVerboseLogging");
}

TEST(TBLogger, StdoutAndStderrLoggerSplitsLinesByLevel) {
    test::TempHome home;
    test::TempDir dir;
    ::setenv("TBVerboseLogging", "Y", 1);
    auto logger = TBLogger::standardLoggerWithStdoutAndStderr();
    ASSERT_TRUE(logger);
    std::string outText, errText;
    {
        CapturedFd out(STDOUT_FILENO, dir.file("stdout"));
        CapturedFd err(STDERR_FILENO, dir.file("stderr"));
        logEveryLevel(*logger);
        errText = err.text();
        outText = out.text();
    }
    ::unsetenv("TBVerboseLogging");
    std::string level, rest;
    const auto out = linesOf(outText), err = linesOf(errText);
    ASSERT_EQ(out.size(), 1u) << outText;
    ASSERT_TRUE(standardLine(out[0], &level, &rest)) << out[0];
    EXPECT_EQ(level + " " + rest, "2 (unknown) info 2");
    ASSERT_EQ(err.size(), 2u) << errText;
    ASSERT_TRUE(standardLine(err[0], &level, &rest)) << err[0];
    EXPECT_EQ(level + " " + rest, "3 (unknown) error 3");
    ASSERT_TRUE(standardLine(err[1], &level, &rest)) << err[1];
    EXPECT_EQ(level + " " + rest, "4 (unknown) assert 4");
}

TEST(TBLogger, FileHandleAppendsCreatesWithTheModeAndRefusesMissingDirectories) {
    test::TempDir dir;
    EXPECT_FALSE(TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("missing/x.log"), 0644));
    EXPECT_FALSE(TBFileHandleLogWriter::fileHandleForLoggingAtPath("", 0644));
    EXPECT_FALSE(TBLogger::standardLoggerWithPath(dir.file("missing/x.log")));

    test::writeFile(dir.file("old.log"), "kept\n");
    {
        auto logger = TBLogger::loggerWithWriter(
            TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("old.log"), 0600), nullptr, nullptr);
        logger->logInfo("added");
    }
    EXPECT_EQ(test::readFile(dir.file("old.log")), "kept\nadded\n");

    const mode_t mask = ::umask(0);
    auto created = TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("new.log"), 0600);
    ::umask(mask);
    ASSERT_TRUE(created);
    struct stat st {};
    ASSERT_EQ(::stat(dir.file("new.log").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    // The descriptor goes with the writer.
    const int fd = created->fileDescriptor();
    created.reset();
    EXPECT_EQ(::fcntl(fd, F_GETFD), -1);
}

TEST(TBLogger, LevelFiltersPassTheirRangeAndRefuseBadSets) {
    EXPECT_FALSE(TBLogAllowedLevelFilter::initWithAllowedLevels({}));
    EXPECT_FALSE(TBLogAllowedLevelFilter::initWithAllowedLevels({2, 5}));
    EXPECT_FALSE(TBLogAllowedLevelFilter::initWithAllowedLevels({-1, 2}));
    EXPECT_FALSE(TBLogMininumLevelFilter::initWithMinimumLevel(5));
    EXPECT_FALSE(TBLogMininumLevelFilter::initWithMinimumLevel(-1));
    EXPECT_FALSE(TBLogMaximumLevelFilter::initWithMaximumLevel(5));
    EXPECT_FALSE(TBLogMaximumLevelFilter::initWithMaximumLevel(-2147483647 - 1));

    test::TempDir dir;
    const std::pair<std::shared_ptr<TBLogFilter>, std::string> cases[] = {
        {TBLogMininumLevelFilter::initWithMinimumLevel(3), "error 3|assert 4|"},
        {TBLogMaximumLevelFilter::initWithMaximumLevel(2), "debug 1|info 2|"},
        {TBLogAllowedLevelFilter::initWithAllowedLevels({1, 4}), "debug 1|assert 4|"},
        {std::make_shared<TBLogAllowedLevelFilter>(), "debug 1|info 2|error 3|assert 4|"},
    };
    int n = 0;
    for (const auto& [filter, expected] : cases) {
        ASSERT_TRUE(filter);
        const std::string path = dir.file(std::to_string(n++));
        auto logger =
            TBLogger::loggerWithWriter(TBFileHandleLogWriter::fileHandleForLoggingAtPath(path, 0600), nullptr, filter);
        logEveryLevel(*logger);
        std::string joined;
        for (const auto& line : linesOf(test::readFile(path))) joined += line + "|";
        EXPECT_EQ(joined, expected);
    }
}

TEST(TBLogger, PartsExchangedWhileOtherThreadsLogLoseNoLine) {
    test::TempDir dir;
    auto fileA = TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("a"), 0600);
    auto fileB = TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("b"), 0600);
    auto logger = TBLogger::loggerWithWriter(fileA, nullptr, nullptr);
    constexpr int kThreads = 4, kLines = 2000;
    std::atomic<bool> done{false};
    std::thread swapper([&] {
        // Each exchange drops the logger's hold on a fresh formatter and filter:
        // a line still using one must keep it alive.
        for (int i = 0; !done.load(); ++i) {
            logger->setWriter(i % 2 ? fileA : fileB);
            logger->setFormatter(std::make_shared<TBLogBasicFormatter>());
            logger->setFilter(i % 3 ? nullptr : std::make_shared<TBLogAllowedLevelFilter>());
        }
    });
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kLines; ++i) logger->logError("thread %d line %d", t, i);
        });
    for (auto& thread : threads) thread.join();
    done = true;
    swapper.join();
    fileA.reset();
    fileB.reset();
    logger.reset();

    // Every line once, and each thread's lines in the order it wrote them
    // within each file (the two files split them, so only within one).
    std::set<std::pair<int, int>> seen;
    for (const char* name : {"a", "b"}) {
        std::vector<int> last(kThreads, -1);
        for (const auto& line : linesOf(test::readFile(dir.file(name)))) {
            int t = -1, i = -1;
            // NOLINTNEXTLINE(cert-err34-c): lines the test wrote; the count of fields is checked
            ASSERT_EQ(std::sscanf(line.c_str(), "thread %d line %d", &t, &i), 2) << line;
            ASSERT_TRUE(t >= 0 && t < kThreads) << line;
            EXPECT_GT(i, last[t]) << "out of order in " << name << ": " << line;
            last[t] = i;
            EXPECT_TRUE(seen.emplace(t, i).second) << "twice: " << line;
        }
    }
    EXPECT_EQ(seen.size(), static_cast<std::size_t>(kThreads * kLines));
}

TEST(TBLogger, AFailingPartNeverReachesTheCaller) {
    test::TempDir dir;
    auto file = TBFileHandleLogWriter::fileHandleForLoggingAtPath(dir.file("log"), 0600);
    auto logger = TBLogger::loggerWithWriter(file, std::make_shared<ThrowingFormatter>(), nullptr);
    EXPECT_NO_THROW(logger->logError("lost"));
    logger->setFormatter(nullptr);
    logger->logError("after");
    EXPECT_EQ(test::readFile(dir.file("log")), "after\n");
}
