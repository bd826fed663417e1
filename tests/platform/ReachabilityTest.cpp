#include "platform/Reachability.h"

#include <vector>

#include <gtest/gtest.h>

#include "platform/RunLoop.h"

using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

struct Calls {
    std::vector<ReachabilityFlags> flags;
    bool onMain = true;
};

void record(ReachabilityRef, ReachabilityFlags flags, void* info) {
    auto* calls = static_cast<Calls*>(info);
    calls->onMain = calls->onMain && RunLoop::isMainThread();
    calls->flags.push_back(flags);
}

struct FakeMonitorScope {
    std::shared_ptr<FakeNetworkMonitor> fake = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable);
    FakeMonitorScope() { NetworkMonitor::setShared(fake); }
    ~FakeMonitorScope() { NetworkMonitor::setShared(nullptr); }
};

}  // namespace

TEST(Reachability, ScheduledReferenceReportsOnceThenEveryChange) {
    FakeMonitorScope scope;
    EXPECT_EQ(reachabilityCreateWithName(""), nullptr);
    EXPECT_EQ(reachabilityCreateWithName(nullptr), nullptr);
    ReachabilityRef ref = reachabilityCreateWithName("example.invalid");
    ASSERT_NE(ref, nullptr);
    Calls calls;
    ASSERT_TRUE(reachabilitySetCallback(ref, record, &calls));
    ASSERT_TRUE(reachabilityScheduleWithMainRunLoop(ref));
    EXPECT_TRUE(calls.flags.empty());  // never inline
    RunLoop::pumpUntil([&] { return !calls.flags.empty(); });
    EXPECT_EQ(calls.flags, std::vector<ReachabilityFlags>{kReachabilityFlagReachable});

    scope.fake->setFlags(kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    scope.fake->setFlags(0);
    EXPECT_EQ(calls.flags.size(), 3u);
    EXPECT_EQ(calls.flags[1], kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    EXPECT_EQ(calls.flags[2], 0u);
    ReachabilityFlags now = 99;
    EXPECT_TRUE(reachabilityGetFlags(ref, &now));
    EXPECT_EQ(now, 0u);

    EXPECT_TRUE(reachabilityUnscheduleFromMainRunLoop(ref));
    scope.fake->setFlags(kReachabilityFlagReachable);
    EXPECT_EQ(calls.flags.size(), 3u);
    EXPECT_EQ(scope.fake->observerCount(), 0u);
    EXPECT_TRUE(calls.onMain);
    reachabilityRelease(ref);
}

TEST(Reachability, ReleaseBeforeTheFirstReportIsSafe) {
    FakeMonitorScope scope;
    Calls calls;
    ReachabilityRef ref = reachabilityCreateWithName("host");
    reachabilitySetCallback(ref, record, &calls);
    reachabilityScheduleWithMainRunLoop(ref);
    reachabilityRelease(ref);
    RunLoop::pumpFor(30ms);
    EXPECT_TRUE(calls.flags.empty());
    EXPECT_EQ(scope.fake->observerCount(), 0u);
}

TEST(Reachability, GioMonitorDeliversTheInitialReport) {
    NetworkMonitor::setShared(nullptr);
    ReachabilityRef ref = reachabilityCreateForInternetConnection();
    Calls calls;
    reachabilitySetCallback(ref, record, &calls);
    reachabilityScheduleWithMainRunLoop(ref);
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !calls.flags.empty(); }));
    // Only the two flags Linux can know about are ever set.
    EXPECT_EQ(calls.flags[0] & ~(kReachabilityFlagReachable | kReachabilityFlagIsWWAN), 0u);
    reachabilityRelease(ref);
}
