// The platform's background fetches: a timer of the configured interval wakes
// the delegate while the application is in the background, and only then.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/Application.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

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

}  // namespace
