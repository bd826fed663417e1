#include "platform/dispatch/RunLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"

using namespace std::chrono_literals;
using namespace wharf::platform;

namespace {

using Clock = std::chrono::steady_clock;

TEST(RunLoop, PerformOnMainFromABackgroundThreadRunsOnMainInOrder) {
    EXPECT_TRUE(RunLoop::isMainThread());
    std::vector<int> order;  // touched on the main thread only
    std::atomic<bool> allOnMain{true};
    std::atomic<bool> offMain{true};
    std::thread poster([&] {
        offMain = RunLoop::isMainThread();
        for (int i = 0; i < 50; ++i) {
            RunLoop::performOnMain([&, i] {
                if (!RunLoop::isMainThread()) allOnMain = false;
                order.push_back(i);
            });
        }
    });
    poster.join();
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return order.size() == 50; }));
    EXPECT_FALSE(offMain);
    EXPECT_TRUE(allOnMain);
    for (int i = 0; i < 50; ++i) EXPECT_EQ(order[i], i);
}

TEST(RunLoop, PerformOnMainFromMainIsNeverInline) {
    bool ran = false;
    RunLoop::performOnMain([&] { ran = true; });
    EXPECT_FALSE(ran);
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return ran; }));
}

TEST(RunLoop, PerformAfterWaitsTheDelay) {
    auto start = Clock::now();
    Clock::time_point firedAt{};
    RunLoop::performAfter(30ms, [&] { firedAt = Clock::now(); });
    RunLoop::pumpFor(10ms);
    if (Clock::now() - start < 30ms) {
        EXPECT_EQ(firedAt, Clock::time_point{});
    }
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return firedAt != Clock::time_point{}; }));
    EXPECT_GE(firedAt - start, 30ms);
}

TEST(RunLoop, PumpUntilTimesOutAndSeesConditionsSetByOtherThreads) {
    auto start = Clock::now();
    EXPECT_FALSE(RunLoop::pumpUntil([] { return false; }, 30ms));
    auto took = Clock::now() - start;
    EXPECT_GE(took, 30ms);
    EXPECT_LT(took, 10s);  // far from it: a loaded machine may hold the process back a while

    // Nothing on the main context signals this one: the pump looks again by
    // itself, long before its deadline.
    std::atomic<bool> flag{false};
    std::thread setter([&] {
        std::this_thread::sleep_for(10ms);
        flag = true;
    });
    start = Clock::now();
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return flag.load(); }, 20s));
    EXPECT_LT(Clock::now() - start, 10s);
    setter.join();
}

TEST(RunLoop, NestedRunsQuitInnermostFirst) {
    std::vector<std::string> events;
    RunLoop::performOnMain([&] {
        events.push_back("outer block");
        RunLoop::performOnMain([&] {
            events.push_back("quit inner");
            RunLoop::quit();
        });
        RunLoop::run();  // nested
        events.push_back("inner returned");
        RunLoop::performOnMain([&] {
            events.push_back("quit outer");
            RunLoop::quit();
        });
    });
    RunLoop::run();
    std::vector<std::string> expected = {"outer block", "quit inner", "inner returned", "quit outer"};
    EXPECT_EQ(events, expected);
}

TEST(RunLoop, QuitFromAnotherThreadAndBlockingIterate) {
    std::thread quitter([] {
        std::this_thread::sleep_for(10ms);
        // Posted, so that it lands inside run() whatever the timing.
        RunLoop::performOnMain([] { RunLoop::quit(); });
    });
    RunLoop::run();
    quitter.join();

    std::atomic<bool> ran{false};
    std::thread poster([&] {
        std::this_thread::sleep_for(5ms);
        RunLoop::performOnMain([&] { ran = true; });
    });
    while (!ran) RunLoop::iterate(true);
    poster.join();
    EXPECT_FALSE(RunLoop::iterate(false));
}

TEST(RunLoop, ThrowingBlocksAreLoggedAndConfigurationFaultsEndRun) {
    LogCapture log;
    bool later = false;
    RunLoop::performOnMain([] { throw std::runtime_error("main block failed"); });
    RunLoop::performOnMain([&] { later = true; });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return later; }));
    EXPECT_TRUE(log.contains("main block failed"));

    // A configuration fault reaches main() through run().
    RunLoop::performOnMain([] { throw FatalConfigurationError("bad config.xml"); });
    EXPECT_THROW(RunLoop::run(), FatalConfigurationError);
    EXPECT_TRUE(log.contains("bad config.xml"));
}

TEST(RunLoop, OffMainThreadCallsAreRefused) {
    LogCapture log;
    std::atomic<bool> iterated{true};
    std::thread([&] { iterated = RunLoop::iterate(false); }).join();
    EXPECT_FALSE(iterated);
    EXPECT_TRUE(log.contains("off the main thread"));
}

TEST(RunLoop, MainQueueBlocksStillRunInsideANestedPumpInFifoOrder) {
    std::vector<std::string> order;
    bool innerSeen = false;
    RunLoop::performOnMain([&] {
        order.push_back("outer");
        RunLoop::performOnMain([&] { order.push_back("posted inside"); });
        innerSeen = RunLoop::pumpUntil([&] { return order.size() == 3; });
    });
    RunLoop::performOnMain([&] { order.push_back("posted before"); });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return order.size() == 3; }));
    RunLoop::pumpFor(1ms);
    EXPECT_TRUE(innerSeen);
    std::vector<std::string> expected = {"outer", "posted before", "posted inside"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(dispatch::currentQueueLabel(), dispatch::mainQueue()->label());
}

}  // namespace
