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

}  // namespace
