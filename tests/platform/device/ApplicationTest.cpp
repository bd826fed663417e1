#include <gtest/gtest.h>

#include <cfloat>
#include <chrono>
#include <string>
#include <vector>

#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

class ApplicationTest : public ::testing::Test {
protected:
    void SetUp() override {
        app().resetForTesting();
        for (const char* name :
             {kUIApplicationDidBecomeActiveNotification, kUIApplicationWillResignActiveNotification,
              kUIApplicationDidEnterBackgroundNotification, kUIApplicationWillEnterForegroundNotification,
              kUIApplicationDidFinishLaunchingNotification, kUIApplicationWillTerminateNotification,
              kUIApplicationDidReceiveMemoryWarningNotification}) {
            tokens_.push_back(
                NotificationCenter::defaultCenter().addObserver(name, &app(), [this](const Notification& n) {
                    seen_.push_back(n.name);
                    states_.push_back(app().state());
                }));
        }
    }
    void TearDown() override {
        tokens_.clear();
        app().resetForTesting();
        RunLoop::pumpFor(0ms);
    }
    static Application& app() { return Application::shared(); }

    std::vector<ObserverToken> tokens_;
    std::vector<std::string> seen_;
    std::vector<ApplicationState> states_;
};

TEST_F(ApplicationTest, TransitionsPostTheirNotificationsInOrder) {
    ASSERT_EQ(app().state(), ApplicationState::Active);
    app().setState(ApplicationState::Active);
    EXPECT_TRUE(seen_.empty());

    app().setState(ApplicationState::Background);
    EXPECT_EQ(seen_, (std::vector<std::string>{kUIApplicationWillResignActiveNotification,
                                               kUIApplicationDidEnterBackgroundNotification}));
    // "will" before the change, "did" after it.
    EXPECT_EQ(states_, (std::vector<ApplicationState>{ApplicationState::Active, ApplicationState::Background}));
    EXPECT_EQ(app().state(), ApplicationState::Background);

    seen_.clear();
    states_.clear();
    app().setState(ApplicationState::Active);
    EXPECT_EQ(seen_, (std::vector<std::string>{kUIApplicationWillEnterForegroundNotification,
                                               kUIApplicationDidBecomeActiveNotification}));
    EXPECT_EQ(states_, (std::vector<ApplicationState>{ApplicationState::Background, ApplicationState::Active}));

    seen_.clear();
    app().setState(ApplicationState::Inactive);
    app().setState(ApplicationState::Background);
    app().setState(ApplicationState::Inactive);
    app().setState(ApplicationState::Active);
    EXPECT_EQ(seen_, (std::vector<std::string>{
                         kUIApplicationWillResignActiveNotification, kUIApplicationDidEnterBackgroundNotification,
                         kUIApplicationWillEnterForegroundNotification, kUIApplicationDidBecomeActiveNotification}));

    seen_.clear();
    app().postDidFinishLaunching();
    app().postMemoryWarning();
    app().postWillTerminate();
    EXPECT_EQ(seen_, (std::vector<std::string>{kUIApplicationDidFinishLaunchingNotification,
                                               kUIApplicationDidReceiveMemoryWarningNotification,
                                               kUIApplicationWillTerminateNotification}));
}

TEST_F(ApplicationTest, BackgroundTaskExpiresOnTheMainThreadAfterTheAllowance) {
    app().setBackgroundTimeAllowance(40ms);
    int expired = 0, endedEarlyExpired = 0;
    bool onMain = false;
    BackgroundTaskIdentifier id = kInvalidBackgroundTask;
    id = app().beginBackgroundTask("upload", [&] {
        ++expired;
        onMain = RunLoop::isMainThread();
        app().endBackgroundTask(id);
    });
    ASSERT_NE(id, kInvalidBackgroundTask);
    auto early = app().beginBackgroundTask([&] { ++endedEarlyExpired; });
    ASSERT_NE(early, id);
    EXPECT_EQ(app().backgroundTimeRemaining(), DBL_MAX);

    app().setState(ApplicationState::Background);
    EXPECT_LE(app().backgroundTimeRemaining(), 0.040);
    app().endBackgroundTask(early);
    EXPECT_EQ(app().backgroundTaskCount(), 1u);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return expired > 0; }));
    EXPECT_TRUE(onMain);
    EXPECT_EQ(app().backgroundTaskCount(), 0u);
    RunLoop::pumpFor(60ms);
    EXPECT_EQ(expired, 1);
    EXPECT_EQ(endedEarlyExpired, 0);

    // The allowance is spent: no new task in this background stay.
    EXPECT_EQ(app().beginBackgroundTask([] {}), kInvalidBackgroundTask);
}

TEST_F(ApplicationTest, ForegroundCancelsPendingExpirations) {
    app().setBackgroundTimeAllowance(40ms);
    int expired = 0;
    auto id = app().beginBackgroundTask([&] { ++expired; });
    app().setState(ApplicationState::Background);
    app().setState(ApplicationState::Active);
    RunLoop::pumpFor(120ms);
    EXPECT_EQ(expired, 0);
    EXPECT_EQ(app().backgroundTaskCount(), 1u);

    // A later stay in the background gets a fresh allowance, counted from its start.
    app().setState(ApplicationState::Background);
    auto entered = std::chrono::steady_clock::now();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return expired > 0; }));
    EXPECT_GE(std::chrono::steady_clock::now() - entered, 35ms);
    app().endBackgroundTask(id);
}

TEST_F(ApplicationTest, HandlerThatDoesNotEndItsTaskIsCalledOnceAndLogged) {
    LogCapture capture;
    app().setBackgroundTimeAllowance(20ms);
    app().setState(ApplicationState::Background);
    int calls = 0;
    auto id = app().beginBackgroundTask("sync", [&] { ++calls; });
    ASSERT_NE(id, kInvalidBackgroundTask);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return calls > 0; }));
    RunLoop::pumpFor(60ms);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(app().backgroundTaskCount(), 1u);
    EXPECT_TRUE(capture.contains("was not ended by its expiration handler"));

    app().endBackgroundTask(id);
    EXPECT_EQ(app().backgroundTaskCount(), 0u);
    app().endBackgroundTask(id);  // a second end is only logged
    EXPECT_TRUE(capture.contains("Cannot end background task"));
}

TEST_F(ApplicationTest, LaunchArgumentsAndRecordedSettings) {
    const char* argv[] = {"wharf", "-NBDebugEnabled", nullptr};
    app().setLaunchArguments(2, const_cast<char**>(argv));
    EXPECT_EQ(app().launchArguments(), (std::vector<std::string>{"wharf", "-NBDebugEnabled"}));
    app().setIdleTimerDisabled(true);
    app().setMinimumBackgroundFetchInterval(900);
    EXPECT_TRUE(app().idleTimerDisabled());
    EXPECT_EQ(app().minimumBackgroundFetchInterval(), 900);
    ApplicationDelegate delegate;
    app().setDelegate(&delegate);
    EXPECT_EQ(app().delegate(), &delegate);
    app().resetForTesting();
    EXPECT_EQ(app().delegate(), nullptr);
    EXPECT_TRUE(app().launchArguments().empty());
}

}  // namespace
