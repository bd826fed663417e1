#include "platform/net/Reachability.h"

#include <vector>

#include <gtest/gtest.h>

#include "platform/dispatch/RunLoop.h"

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

TEST(Reachability, DefaultRouteInterfaceFromTheKernelsTables) {
    const std::string ipv4 =
        "Iface\tDestination\tGateway \tFlags\tRefCnt\tUse\tMetric\tMask\t\tMTU\tWindow\tIRTT\n"
        "eth0\t0000A8C0\t00000000\t0001\t0\t0\t0\t00FFFFFF\t0\t0\t0\n"  // a subnet, not the default
        "lo\t00000000\t00000000\t0201\t0\t0\t900\t00000000\t0\t0\t0\n"  // unreachable, behind the others
        "wlan0\t00000000\t0100A8C0\t0003\t0\t0\t600\t00000000\t0\t0\t0\n"
        "wwan0\t00000000\t00000000\t0001\t0\t0\t700\t00000000\t0\t0\t0\n"
        "eth1\t00000000\t00000000\t0000\t0\t0\t0\t00000000\t0\t0\t0\n";  // down
    const std::string ipv6 = "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                             "00000000000000000000000000000000 ffffffff 00000001 00000000 00200200       lo\n"
                             "00000000000000000000000000000000 00 00000000000000000000000000000000 00 "
                             "fe800000000000000000000000000001 00000400 00000001 00000000 00000003    wwan1\n"
                             "fe800000000000000000000000000000 40 00000000000000000000000000000000 00 "
                             "00000000000000000000000000000000 00000100 00000001 00000000 00000001    eth0\n";
    // The IPv4 default of lowest metric wins; IPv6 only when IPv4 has none.
    EXPECT_EQ(defaultRouteInterface(ipv4, ipv6), "wlan0");
    EXPECT_EQ(defaultRouteInterface(ipv4.substr(0, ipv4.find("wlan0")), ipv6), "wwan1");
    EXPECT_EQ(defaultRouteInterface("", ""), std::nullopt);
    // In front, an unreachable or blackhole route ("*") takes the traffic: no IPv4 route.
    const std::string header = ipv4.substr(0, ipv4.find('\n') + 1);
    for (const char* front : {"lo\t00000000\t00000000\t0201\t0\t0\t10\t00000000\t0\t0\t0\n",
                              "*\t00000000\t00000000\t0001\t0\t0\t10\t00000000\t0\t0\t0\n"}) {
        EXPECT_EQ(defaultRouteInterface(header + front + ipv4.substr(header.size()), ""), std::nullopt) << front;
        EXPECT_EQ(defaultRouteInterface(header + front + ipv4.substr(header.size()), ipv6), "wwan1") << front;
    }
    // A link that cannot carry traffic is passed over for the next route.
    EXPECT_EQ(defaultRouteInterface(ipv4, ipv6, [](const std::string& name) { return name != "wlan0"; }), "wwan0");
    EXPECT_EQ(defaultRouteInterface("garbage\nmore garbage here 1 2 3 4 5 6 7\n", "x y\n"), std::nullopt);

    EXPECT_TRUE(isWWANInterface("wwan0"));
    EXPECT_TRUE(isWWANInterface("wwp0s20f0u2i12"));
    EXPECT_FALSE(isWWANInterface("lo"));
    EXPECT_FALSE(isWWANInterface("../../../etc"));
    EXPECT_FALSE(isWWANInterface(""));
}
