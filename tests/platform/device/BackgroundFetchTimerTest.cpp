// The platform's background fetches: a timer of the configured interval wakes
// the delegate while the application is in the background, and only then.
#include <gtest/gtest.h>

#include <atomic>
#include <vector>

#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

class FetchingDelegate : public ApplicationDelegate {
public:
    bool respondsToPerformFetch() const override { return true; }
    void applicationPerformFetchWithCompletionHandler(BackgroundFetchCompletionHandler handler) override {
        ++fetches;
        handler(UIBackgroundFetchResult::NoData);
        handler(UIBackgroundFetchResult::NoData);  // a second call is only logged
    }
    int fetches = 0;
};

class BackgroundFetchTimerTest : public ::testing::Test {
protected:
    void SetUp() override {
        app().resetForTesting();
        app().setDelegate(&delegate);
        app().setShortestBackgroundFetchPeriod(10ms);
    }
    void TearDown() override { app().resetForTesting(); }
    static Application& app() { return Application::shared(); }
    FetchingDelegate delegate;
};

TEST_F(BackgroundFetchTimerTest, FetchesOnlyInTheBackgroundUntilNever) {
    LogCapture log;
    app().setMinimumBackgroundFetchInterval(UIApplicationBackgroundFetchIntervalMinimum);
    RunLoop::pumpFor(40ms);
    EXPECT_EQ(delegate.fetches, 0) << "an application on screen is not woken";

    app().setState(ApplicationState::Background);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return delegate.fetches >= 2; }));
    EXPECT_TRUE(log.contains("A background fetch completion handler was called again; ignored"));

    app().setMinimumBackgroundFetchInterval(UIApplicationBackgroundFetchIntervalNever);
    const int seen = delegate.fetches;
    RunLoop::pumpFor(40ms);
    EXPECT_EQ(delegate.fetches, seen);
}

// Fetching switched on again while it is on (a page's start at every resume)
// keeps the fetches coming instead of putting the next one off each time.
TEST_F(BackgroundFetchTimerTest, StartingAgainDoesNotPutTheNextFetchOff) {
    app().setShortestBackgroundFetchPeriod(60ms);
    app().setState(ApplicationState::Background);
    app().setMinimumBackgroundFetchInterval(UIApplicationBackgroundFetchIntervalMinimum);
    for (int i = 0; i < 20; ++i) {
        RunLoop::pumpFor(20ms);
        app().setMinimumBackgroundFetchInterval(UIApplicationBackgroundFetchIntervalMinimum);
    }
    EXPECT_GE(delegate.fetches, 2);
}

// A fetch the application never completes is over at the time limit all the
// same: it counts as failed, the expiration handler (the shell's, which ends
// a launch into the background) hears of it once, and the application's late
// answer changes nothing. A fetch completed in time never expires.
TEST_F(BackgroundFetchTimerTest, AFetchNeverCompletedEndsAtTheTimeLimit) {
    struct HoldingDelegate : ApplicationDelegate {
        bool respondsToPerformFetch() const override { return true; }
        void applicationPerformFetchWithCompletionHandler(BackgroundFetchCompletionHandler handler) override {
            held.push_back(std::move(handler));
        }
        std::vector<BackgroundFetchCompletionHandler> held;
    } holding;
    app().setDelegate(&holding);
    app().setBackgroundFetchTimeLimit(50ms);
    int expirations = 0;
    app().setBackgroundFetchExpirationHandler([&] { ++expirations; });
    LogCapture log;

    app().performBackgroundFetch();
    app().performBackgroundFetch();
    ASSERT_EQ(holding.held.size(), 2u);
    holding.held[1](UIBackgroundFetchResult::NoData);  // in time
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return expirations > 0; }));
    RunLoop::pumpFor(100ms);
    EXPECT_EQ(expirations, 1) << "only the fetch never completed expires, once";
    EXPECT_TRUE(log.contains("Background fetch not completed within 0.05 s: it ends as failed"));
    EXPECT_FALSE(log.contains("called again"));
    holding.held[0](UIBackgroundFetchResult::NewData);
    EXPECT_TRUE(log.contains("A background fetch completion handler was called again; ignored"));
}

}  // namespace
