#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>

#include <gtest/gtest.h>

#include "TestSupport.h"
#include "nimbus/core/NBAppEnvironmentUtil.h"
#include "nimbus/core/NBConfiguration.h"
#include "nimbus/core/NBLogger.h"
#include "nimbus/core/NBLoggerTesting.h"
#include "platform/base/ClassRegistry.h"
#include "platform/device/Application.h"
#include "platform/storage/UserDefaults.h"

extern char** environ;

namespace wharf {
namespace {

class NBLoggerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_FALSE(NBLoggerDebugModeForTesting()) << "the test container must not be in debug mode";
        NBLoggerResetForTesting();
    }
    void TearDown() override {
        NBAppEnvironmentUtil::setFactsProviderForTesting(nullptr);
        NBLoggerResetForTesting();
    }
    static void beAppStoreBuild() {
        NBAppEnvironmentUtil::setFactsProviderForTesting([] {
            NBAppEnvironmentUtil::Facts facts;
            facts.hasSCInfoFolder = true;
            return facts;
        });
        ASSERT_TRUE(NBAppEnvironmentUtil::isFromAppStore());
    }
    NBLoggerCapture capture;
};

TEST_F(NBLoggerTest, WritesTheLineWithServiceAndCodeAtItsLevel) {
    NBLogNotice(kNBLoggerCore, "I-COR000001", "Configuring the default app.");
    NBLogError(kNBLoggerCore, "I-COR000099", "value %d of %s", 7, "seven");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Core][I-COR000001] Configuring the default app.");
    EXPECT_EQ(lines[0].level, 5);
    EXPECT_EQ(lines[1].text, "[Nimbus/Core][I-COR000099] value 7 of seven");
    EXPECT_EQ(lines[1].level, 3);
}

TEST_F(NBLoggerTest, TextFromOutsideIsNeverTakenAsAFormat) {
    const std::string hostile = "%s%s%n %x";
    NBLogError(kNBLoggerCore, "I-COR000014", "file %s", hostile.c_str());
    std::string longText(5000, 'x');
    NBLogError(kNBLoggerCore, "I-COR000015", "%s", longText.c_str());
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Core][I-COR000014] file %s%s%n %x");
    EXPECT_EQ(lines[1].text, "[Nimbus/Core][I-COR000015] " + longText);
}

TEST_F(NBLoggerTest, DefaultThresholdIsNotice) {
    NBLogDebug(kNBLoggerCore, "I-COR000001", "debug");
    NBLogInfo(kNBLoggerCore, "I-COR000002", "info");
    NBLogNotice(kNBLoggerCore, "I-COR000003", "notice");
    NBLogWarning(kNBLoggerCore, "I-COR000004", "warning");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Core][I-COR000003] notice");
    EXPECT_EQ(lines[1].text, "[Nimbus/Core][I-COR000004] warning");
    EXPECT_FALSE(NBIsLoggableLevel(6, false));
    EXPECT_TRUE(NBIsLoggableLevel(5, false));
}

TEST_F(NBLoggerTest, ThresholdFollowsTheLevelSet) {
    NBSetLoggerLevel(3);
    NBLoggerFlush();
    NBLogWarning(kNBLoggerCore, "I-COR000001", "dropped warning");
    NBLogError(kNBLoggerCore, "I-COR000002", "kept error");
    NBConfiguration::sharedInstance().setLoggerLevel(7);
    NBLoggerFlush();
    NBLogInfo(kNBLoggerCore, "I-COR000003", "kept info");
    NBLogDebug(kNBLoggerCore, "I-COR000004", "kept debug");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Core][I-COR000002] kept error");
    EXPECT_EQ(lines[1].text, "[Nimbus/Core][I-COR000003] kept info");
    EXPECT_EQ(lines[2].text, "[Nimbus/Core][I-COR000004] kept debug");
}

TEST_F(NBLoggerTest, InvalidLevelIsReportedAndIgnored) {
    NBSetLoggerLevel(6);
    NBLoggerFlush();
    NBSetLoggerLevel(8);
    NBSetLoggerLevel(2);
    NBLoggerFlush();
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Core][I-COR000023] Invalid logger level, 8");
    EXPECT_EQ(lines[0].level, 3);
    EXPECT_EQ(lines[1].text, "[Nimbus/Core][I-COR000023] Invalid logger level, 2");
    EXPECT_TRUE(NBIsLoggableLevel(6, false));
    EXPECT_FALSE(NBIsLoggableLevel(7, false));
}

TEST_F(NBLoggerTest, AnalyticsDebugModeLetsOnlyAnalyticsLinesThrough) {
    NBSetAnalyticsDebugMode(true);
    NBLoggerFlush();
    NBLogInfo(kNBLoggerAnalytics, "I-ACS000001", "analytics info");
    NBLogInfo(kNBLoggerCore, "I-COR000001", "core info");
    EXPECT_TRUE(NBIsLoggableLevel(6, true));
    EXPECT_FALSE(NBIsLoggableLevel(6, false));
    NBSetAnalyticsDebugMode(false);
    NBLoggerFlush();
    NBLogInfo(kNBLoggerAnalytics, "I-ACS000002", "analytics info after");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Analytics][I-ACS000001] analytics info");
}

TEST_F(NBLoggerTest, ThresholdNarrowsTheMaskEvenForAnalyticsDebugLines) {
    NBSetAnalyticsDebugMode(true);
    NBSetLoggerLevel(3);
    NBLoggerFlush();
    EXPECT_TRUE(NBIsLoggableLevel(6, true));
    NBLogInfo(kNBLoggerAnalytics, "I-ACS000001", "held back by the mask");
    NBSetAnalyticsDebugMode(true);  // widens the mask again
    NBLoggerFlush();
    NBLogInfo(kNBLoggerAnalytics, "I-ACS000002", "written");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[Nimbus/Analytics][I-ACS000002] written");
}

TEST_F(NBLoggerTest, AppStoreBuildKeepsTheThresholdBelowNotice) {
    beAppStoreBuild();
    NBSetLoggerLevel(4);
    NBLoggerFlush();
    EXPECT_FALSE(NBIsLoggableLevel(5, false));
    NBSetLoggerLevel(5);
    NBSetLoggerLevel(7);
    NBSetAnalyticsDebugMode(true);
    NBLoggerFlush();
    EXPECT_FALSE(NBIsLoggableLevel(5, false));
    EXPECT_FALSE(NBIsLoggableLevel(6, true));
    EXPECT_TRUE(NBIsLoggableLevel(4, false));
}

TEST_F(NBLoggerTest, LinesFromManyThreadsKeepTheirOrderPerThread) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) NBLogNotice(kNBLoggerCore, "I-COR000001", "%d:%03d", t, i);
        });
    for (auto& thread : threads) thread.join();
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 400u);
    std::vector<int> next(4, 0);
    for (const auto& line : lines) {
        auto text = line.text.substr(line.text.find("] ") + 2);
        int t = text[0] - '0';
        EXPECT_EQ(std::stoi(text.substr(2)), next[t]++);
    }
}

TEST_F(NBLoggerTest, WrapperIsFoundByName) {
    NBLoggerWrapper::registerClass();
    auto log = platform::ClassRegistry::shared().classMethod<NBLoggerWrapper::LogFunction>(
        "NBLoggerWrapper", "logWithLevel:withService:withCode:withMessage:withArgs:");
    ASSERT_TRUE(log.has_value());
    auto call = [&](const char* format, ...) {
        va_list args;
        va_start(args, format);
        (*log)(4, kNBLoggerInstanceID, "I-IID000003", format, args);
        va_end(args);
    };
    call("token %s", "abc");
    auto lines = capture.lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].text, "[Nimbus/InstanceID][I-IID000003] token abc");
}

// --- debug mode across launches -------------------------------------------------
// Debug mode is decided once per process, so each launch is a child run of this
// binary with its own arguments and a shared temporary home.

struct ChildResult {
    int status = -1;
    std::string output;
};

ChildResult runChild(const std::string& home, const std::vector<std::string>& arguments, bool expectDebug,
                     bool expectDefault) {
    test::TempDir outDir;
    const std::string outPath = outDir.file("out.txt");
    std::vector<std::string> argv = {"/proc/self/exe", "--gtest_filter=NBLoggerChild.ReportsDebugMode"};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        std::string entry = *e;
        if (entry.starts_with("WHARF_HOME=") || entry.starts_with("WHARF_BUNDLE=") || entry.starts_with("GTEST_"))
            continue;
        env.push_back(entry);
    }
    env.push_back("WHARF_HOME=" + home);
    env.push_back("WHARF_BUNDLE=" + home);
    env.push_back("NBLOGGER_CHILD=1");
    env.push_back(std::string("NBLOGGER_EXPECT_DEBUG=") + (expectDebug ? "1" : "0"));
    env.push_back(std::string("NBLOGGER_EXPECT_DEFAULT=") + (expectDefault ? "1" : "0"));

    std::vector<char*> cargv, cenv;
    for (auto& a : argv) cargv.push_back(a.data());
    cargv.push_back(nullptr);
    for (auto& e : env) cenv.push_back(e.data());
    cenv.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    pid_t pid = 0;
    ChildResult result;
    if (posix_spawn(&pid, "/proc/self/exe", &actions, nullptr, cargv.data(), cenv.data()) == 0) {
        int status = 0;
        waitpid(pid, &status, 0);
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    posix_spawn_file_actions_destroy(&actions);
    result.output = test::readFile(outPath);
    return result;
}

TEST(NBLoggerChild, ReportsDebugMode) {
    if (!std::getenv("NBLOGGER_CHILD")) GTEST_SKIP() << "runs only as a child of DebugModePersistsAcrossLaunches";
    std::ifstream cmdline("/proc/self/cmdline", std::ios::binary);
    std::string raw((std::istreambuf_iterator<char>(cmdline)), std::istreambuf_iterator<char>());
    std::vector<std::string> arguments;
    for (std::size_t start = 0; start < raw.size();) {
        auto end = raw.find('\0', start);
        if (end == std::string::npos) end = raw.size();
        arguments.push_back(raw.substr(start, end - start));
        start = end + 1;
    }
    platform::Application::shared().setLaunchArguments(arguments);

    auto set = [](const char* name) {
        const char* value = std::getenv(name);
        return value && std::string(value) == "1";
    };
    const bool expectDebug = set("NBLOGGER_EXPECT_DEBUG");
    const bool expectDefault = set("NBLOGGER_EXPECT_DEFAULT");
    NBLoggerCapture capture;
    NBLogDebug(kNBLoggerCore, "I-COR000001", "debug line");
    EXPECT_EQ(NBLoggerDebugModeForTesting(), expectDebug);
    EXPECT_EQ(NBIsLoggableLevel(7, false), expectDebug);
    EXPECT_EQ(capture.count("[Nimbus/Core][I-COR000001] debug line"), expectDebug ? 1u : 0u);
    platform::UserDefaults stored(platform::UserDefaults::standard().path());
    auto value = stored.objectForKey("/rovude/nimbus/debug_mode");
    EXPECT_EQ(value.has_value(), expectDefault);
    if (value) {
        EXPECT_TRUE(platform::boolValue(*value));
    }
}

TEST(NBLoggerDebugMode, PersistsAcrossLaunches) {
    test::TempDir home;
    struct Launch {
        std::vector<std::string> arguments;
        bool debug;
        bool storedDefault;
    };
    const std::vector<Launch> launches = {
        {{}, false, false}, {{"-NBDebugEnabled"}, true, true},
        {{}, true, true},   {{"-NBDebugDisabled", "-NBDebugEnabled"}, false, false},
        {{}, false, false},
    };
    for (std::size_t i = 0; i < launches.size(); ++i) {
        const auto& launch = launches[i];
        auto result = runChild(home.path(), launch.arguments, launch.debug, launch.storedDefault);
        EXPECT_EQ(result.status, 0) << "launch " << i << ":\n" << result.output;
        EXPECT_NE(result.output.find("[  PASSED  ] 1 test"), std::string::npos) << "launch " << i << ":\n"
                                                                                << result.output;
    }
}

}  // namespace
}  // namespace wharf
