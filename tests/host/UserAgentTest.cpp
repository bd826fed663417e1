// The user-agent lock, the cached default user agent and the named timers.
#include <gtest/gtest.h>

#include "TestSupport.h"
#include "host/WFTimer.h"
#include "host/WFUserAgentUtil.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/UserDefaults.h"

namespace wharf::test {
namespace {

class UserAgentLock : public ::testing::Test {
protected:
    void SetUp() override { WFUserAgentUtil::resetForTesting(); }
    void TearDown() override { WFUserAgentUtil::resetForTesting(); }
};

TEST_F(UserAgentLock, HandsTokensOverFirstComeFirstServed) {
    platform::LogCapture log;
    int64_t first = 0, second = 0, third = 0;
    std::vector<int> order;
    WFUserAgentUtil::acquireLock([&](int64_t token) {
        first = token;
        order.push_back(1);
    });
    EXPECT_EQ(first, 1);  // free: called before acquireLock returns
    WFUserAgentUtil::acquireLock([&](int64_t token) {
        second = token;
        order.push_back(2);
    });
    WFUserAgentUtil::acquireLock([&](int64_t token) {
        third = token;
        order.push_back(3);
    });
    EXPECT_EQ(second, 0);
    EXPECT_EQ(third, 0);

    WFUserAgentUtil::releaseLock(&first);
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 2);
    EXPECT_EQ(third, 0);
    EXPECT_TRUE(log.contains("Gave lock 2"));

    WFUserAgentUtil::releaseLock(&second);
    EXPECT_EQ(third, 3);
    WFUserAgentUtil::releaseLock(&third);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));

    // Free again: the next token is new, never reused.
    int64_t fourth = 0;
    WFUserAgentUtil::acquireLock([&](int64_t token) { fourth = token; });
    EXPECT_EQ(fourth, 4);
}

TEST_F(UserAgentLock, ReleasingNothingChangesNothing) {
    int64_t held = 0;
    WFUserAgentUtil::acquireLock([&](int64_t token) { held = token; });
    int64_t zero = 0;
    WFUserAgentUtil::releaseLock(&zero);
    WFUserAgentUtil::releaseLock(nullptr);
    int64_t waiter = 0;
    WFUserAgentUtil::acquireLock([&](int64_t token) { waiter = token; });
    EXPECT_EQ(waiter, 0);  // still held by the first
    WFUserAgentUtil::releaseLock(&held);
    EXPECT_EQ(waiter, 2);
    WFUserAgentUtil::releaseLock(&held);  // a second release through the same variable does nothing
    EXPECT_EQ(waiter, 2);
}

TEST_F(UserAgentLock, WrongTokenIsAConfigurationFault) {
    TempHome home;
    platform::UserDefaults::resetStandard();
    int64_t held = 0;
    WFUserAgentUtil::acquireLock([&](int64_t token) { held = token; });
    int64_t wrong = 7;
    try {
        WFUserAgentUtil::releaseLock(&wrong);
        FAIL();
    } catch (const platform::FatalConfigurationError& e) {
        EXPECT_STREQ(e.what(), "Got token 7, expected 1");
    }
    EXPECT_THROW(WFUserAgentUtil::setUserAgent("Agent", 7), platform::FatalConfigurationError);

    WFUserAgentUtil::setUserAgent("Agent/1", held);
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey("UserAgent"), "Agent/1");
    EXPECT_FALSE(platform::UserDefaults::standard().persistentDomain().contains("UserAgent"));
    platform::UserDefaults::resetStandard();
}

TEST_F(UserAgentLock, DefaultUserAgentCachedUntilLocaleOrBuildChanges) {
    TempHome home;
    TempDir bundleDir;
    auto writeInfo = [&](const std::string& version) {
        writeFile(bundleDir.file("Info.plist"),
                  "<?xml version=\"1.0\"?><plist version=\"1.0\"><dict><key>CFBundleIdentifier</key>"
                  "<string>com.example.ua</string><key>CFBundleVersion</key><string>" +
                      version + "</string></dict></plist>");
        platform::Bundle::setMainBundle(platform::Bundle::open(bundleDir.path()));
        platform::UserDefaults::resetStandard();
    };
    auto previous = platform::Bundle::mainBundle();
    writeInfo("1");
    int asked = 0;
    WFUserAgentUtil::setUserAgentProvider([&] { return "Agent/" + std::to_string(++asked); });

    EXPECT_EQ(WFUserAgentUtil::originalUserAgent(), "Agent/1");
    EXPECT_EQ(WFUserAgentUtil::originalUserAgent(), "Agent/1");
    EXPECT_EQ(asked, 1);
    auto& defaults = platform::UserDefaults::standard();
    EXPECT_EQ(defaults.stringForKey("Wharf-User-Agent"), "Agent/1");
    const std::string version = defaults.stringForKey("Wharf-User-Agent-Version");
    EXPECT_EQ(version.rfind("1 ", 0), 0u) << version;

    // Memory cache gone, stored key text unchanged: read back, not recomputed.
    WFUserAgentUtil::resetForTesting();
    EXPECT_EQ(WFUserAgentUtil::originalUserAgent(), "Agent/1");
    EXPECT_EQ(asked, 1);

    // A new build: recomputed and both entries rewritten.
    writeInfo("2");
    platform::NotificationCenter::defaultCenter().post(NSCurrentLocaleDidChangeNotification);
    EXPECT_EQ(WFUserAgentUtil::originalUserAgent(), "Agent/2");
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey("Wharf-User-Agent"), "Agent/2");
    EXPECT_EQ(platform::UserDefaults::standard().stringForKey("Wharf-User-Agent-Version").rfind("2 ", 0), 0u);

    WFUserAgentUtil::setUserAgentProvider(nullptr);
    platform::Bundle::setMainBundle(previous);
    platform::UserDefaults::resetStandard();
}

TEST(Timer, MeasuresNamedIntervalsCaseInsensitively) {
    auto clock = std::make_shared<platform::ManualClock>();
    WFTimer timer(clock);
    platform::LogCapture log;
    timer.add("PluginStartup");
    timer.add("pluginstartup");
    EXPECT_TRUE(log.contains("Timer called 'pluginstartup' already exists."));
    clock->advance(std::chrono::microseconds(12500));
    timer.remove("PLUGINSTARTUP");
    EXPECT_TRUE(log.contains("[WFTimer][PluginStartup] 12.500000ms"));
    EXPECT_TRUE(timer.items().empty());
    timer.remove("unknown");
    EXPECT_TRUE(log.contains("Timer called 'unknown' does not exist."));
    timer.add("a");
    timer.add("b");
    timer.removeAll();
    EXPECT_TRUE(timer.items().empty());

    WFTimer::start("Shared");
    EXPECT_EQ(WFTimer::sharedInstance().items().count("shared"), 1u);
    WFTimer::stop("Shared");
    EXPECT_TRUE(log.contains("[WFTimer][Shared] "));
    WFTimer::clearAll();
}

}  // namespace
}  // namespace wharf::test
