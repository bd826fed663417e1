#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "platform/base/Clock.h"

using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

TEST(ClockTest, ManualClockMovesOnlyWhenTold) {
    ManualClock clock;
    const auto wall = clock.now();
    const auto mono = clock.monotonicNow();
    EXPECT_EQ(clock.now(), wall);
    clock.advance(90s);
    EXPECT_EQ(clock.now() - wall, 90s);
    EXPECT_EQ(clock.monotonicNow() - mono, 90s);

    // Setting the wall clock (or stepping it back) leaves monotonic time alone.
    clock.setNow(Clock::WallTime(std::chrono::seconds(1'000'000'000)));
    EXPECT_DOUBLE_EQ(clock.secondsSince1970(), 1e9);
    clock.advance(-10s);
    EXPECT_DOUBLE_EQ(clock.secondsSince1970(), 1e9 - 10);
    EXPECT_EQ(clock.monotonicNow() - mono, 90s);
}

TEST(ClockTest, SharedClockIsReplaceableFromAnyThread) {
    auto manual = std::make_shared<ManualClock>();
    manual->setNow(Clock::WallTime(std::chrono::seconds(42)));
    Clock::setShared(manual);
    EXPECT_DOUBLE_EQ(Clock::shared()->secondsSince1970(), 42.0);

    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([i, manual] {
            for (int n = 0; n < 500; ++n) {
                if (i % 2)
                    Clock::setShared(n % 2 ? manual : nullptr);
                else
                    (void)Clock::shared()->now();
            }
        });
    for (auto& t : threads) t.join();

    Clock::setShared(nullptr);
    EXPECT_EQ(Clock::shared(), Clock::system());
    EXPECT_GT(Clock::shared()->secondsSince1970(), 1.6e9);
}

}  // namespace
