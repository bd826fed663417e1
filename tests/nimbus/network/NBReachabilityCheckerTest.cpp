#include "nimbus/network/NBReachabilityChecker.h"

#include <atomic>
#include <thread>

#include <gtest/gtest.h>

#include "RecordingLogger.h"
#include "nimbus/network/NBNetwork.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf;
using namespace wharf::platform;
using namespace std::chrono_literals;

namespace {

class StatusRecorder : public NBReachabilityDelegate {
public:
    void reachability(NBReachabilityChecker&, NBReachabilityStatus status) override {
        statuses.push_back(status);
        allOnMain = allOnMain && RunLoop::isMainThread();
        if (onReport) onReport();
    }
    std::function<void()> onReport;
    std::vector<NBReachabilityStatus> statuses;
    bool allOnMain = true;
};

// A fake table: records calls, fails where asked, and hands the callback to the test.
struct FakeApi {
    static inline int created = 0, released = 0, scheduled = 0, unscheduled = 0;
    static inline bool failCreate = false, failSchedule = false;
    static inline ReachabilityCallback callback = nullptr;
    static inline void* info = nullptr;
    static inline int token = 0;
    static void reset() {
        created = released = scheduled = unscheduled = 0;
        failCreate = failSchedule = false;
        callback = nullptr;
        info = nullptr;
    }
    static ReachabilityRef create(const char*) {
        if (failCreate) return nullptr;
        ++created;
        return reinterpret_cast<ReachabilityRef>(&token);
    }
    static bool setCallback(ReachabilityRef, ReachabilityCallback cb, void* i) {
        callback = cb;
        info = i;
        return true;
    }
    static bool schedule(ReachabilityRef) { return !failSchedule && ++scheduled; }
    static bool unschedule(ReachabilityRef) { return ++unscheduled; }
    static void release(ReachabilityRef) { ++released; }
    static void deliver(ReachabilityFlags flags) { callback(reinterpret_cast<ReachabilityRef>(&token), flags, info); }
    // As a table whose callbacks come from a thread of its own.
    static void deliverFromAnotherThread(ReachabilityFlags flags) {
        std::thread([flags] { deliver(flags); }).join();
    }
};
const NBReachabilityApi kFakeApi = {FakeApi::create, FakeApi::setCallback, FakeApi::schedule, FakeApi::unschedule,
                                    FakeApi::release};

struct Fixture {
    std::shared_ptr<StatusRecorder> delegate = std::make_shared<StatusRecorder>();
    std::shared_ptr<test::RecordingLogger> logger = std::make_shared<test::RecordingLogger>();
    std::unique_ptr<NBReachabilityChecker> checker =
        NBReachabilityChecker::initWithReachabilityDelegate(delegate, logger, "example.invalid");
    Fixture() {
        FakeApi::reset();
        checker->setReachabilityApi(&kFakeApi);
    }
};

// Runs everything already queued for the main thread.
void drainMainQueue() {
    bool reached = false;
    RunLoop::performOnMain([&] { reached = true; });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return reached; }));
}

}  // namespace

TEST(NBReachabilityChecker, StatusForFlags) {
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x2), NBReachabilityStatusReachableViaWifi);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x40002), NBReachabilityStatusReachableViaWWAN);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x6), NBReachabilityStatusNotReachable);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x2E), NBReachabilityStatusReachableViaWifi);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x3E), NBReachabilityStatusNotReachable);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0x40000), NBReachabilityStatusNotReachable);
    EXPECT_EQ(NBReachabilityChecker::statusForFlags(0), NBReachabilityStatusNotReachable);
}

TEST(NBReachabilityChecker, ReportsOnlyChangesAndStopResets) {
    Fixture f;
    ASSERT_TRUE(f.checker->start());
    EXPECT_TRUE(f.checker->isActive());
    EXPECT_TRUE(f.logger->has(902003));
    EXPECT_EQ(f.checker->reachabilityStatus(), NBReachabilityStatusUnknown);
    FakeApi::deliver(0x2);
    FakeApi::deliver(0x2);
    FakeApi::deliver(0x2E);  // another set of flags, the same status
    FakeApi::deliver(0x40002);
    EXPECT_EQ(f.delegate->statuses, (std::vector<NBReachabilityStatus>{NBReachabilityStatusReachableViaWifi,
                                                                       NBReachabilityStatusReachableViaWWAN}));
    EXPECT_TRUE(f.logger->has(902004));

    // Swapping the table while running is refused.
    f.checker->setReachabilityApi(NBReachabilityDefaultApi());
    EXPECT_EQ(f.checker->reachabilityApi(), &kFakeApi);
    EXPECT_TRUE(f.logger->has(902000));

    f.checker->stop();
    EXPECT_FALSE(f.checker->isActive());
    EXPECT_EQ(f.checker->reachabilityStatus(), NBReachabilityStatusUnknown);
    EXPECT_EQ(FakeApi::unscheduled, 1);
    EXPECT_EQ(FakeApi::released, 1);
    ASSERT_TRUE(f.checker->start());
    FakeApi::deliver(0x40002);  // equal to the status before the stop: still news
    EXPECT_EQ(f.delegate->statuses.size(), 3u);
}

TEST(NBReachabilityChecker, StartFailures) {
    Fixture f;
    FakeApi::failCreate = true;
    EXPECT_FALSE(f.checker->start());
    EXPECT_TRUE(f.logger->lines.empty());  // silently

    FakeApi::failCreate = false;
    FakeApi::failSchedule = true;
    EXPECT_FALSE(f.checker->start());
    EXPECT_TRUE(f.logger->has(902002));
    EXPECT_EQ(FakeApi::released, 1);
    EXPECT_FALSE(f.checker->isActive());

    auto logger = std::make_shared<test::RecordingLogger>();
    EXPECT_FALSE(NBReachabilityChecker::initWithReachabilityDelegate({}, logger, ""));
    ASSERT_EQ(logger->lines.size(), 1u);
    EXPECT_EQ(logger->lines[0].code, 902001);
    EXPECT_EQ(logger->lines[0].message, "Invalid host specified");
}

TEST(NBReachabilityChecker, PlatformTableDeliversTheInitialCallback) {
    auto fake = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
    NetworkMonitor::setShared(fake);
    auto delegate = std::make_shared<StatusRecorder>();
    auto checker = NBReachabilityChecker::initWithReachabilityDelegate(delegate, {}, "example.invalid");
    ASSERT_TRUE(checker->start());
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !delegate->statuses.empty(); }));
    EXPECT_EQ(checker->reachabilityStatus(), NBReachabilityStatusReachableViaWWAN);
    fake->setFlags(0);
    EXPECT_EQ(checker->reachabilityStatus(), NBReachabilityStatusNotReachable);
    checker.reset();  // stops: no callback may reach the dead checker
    fake->setFlags(kReachabilityFlagReachable);
    RunLoop::pumpFor(20ms);
    EXPECT_EQ(delegate->statuses.size(), 2u);
    EXPECT_EQ(fake->observerCount(), 0u);
    NetworkMonitor::setShared(nullptr);
}

TEST(NBReachabilityChecker, CallbacksFromAnotherThreadReachOnlyTheRunningChecker) {
    Fixture f;
    ASSERT_TRUE(f.checker->start());
    FakeApi::deliverFromAnotherThread(0x2);
    EXPECT_TRUE(f.delegate->statuses.empty()) << "reported on the main thread, later";
    drainMainQueue();
    EXPECT_EQ(f.delegate->statuses, std::vector<NBReachabilityStatus>{NBReachabilityStatusReachableViaWifi});
    EXPECT_TRUE(f.delegate->allOnMain);

    // A callback still on its way when the checker stops is dropped, even
    // when the checker has started again before it arrives.
    FakeApi::deliverFromAnotherThread(0x40002);
    f.checker->stop();
    ASSERT_TRUE(f.checker->start());
    drainMainQueue();
    EXPECT_EQ(f.checker->reachabilityStatus(), NBReachabilityStatusUnknown);
    EXPECT_EQ(f.delegate->statuses.size(), 1u);

    // One on its way when the checker is destroyed never touches it.
    FakeApi::deliverFromAnotherThread(0x40002);
    f.checker.reset();
    drainMainQueue();
    EXPECT_EQ(f.delegate->statuses.size(), 1u);

    // A delegate may destroy the checker while it is told of a change.
    Fixture g;
    ASSERT_TRUE(g.checker->start());
    g.delegate->onReport = [&] { g.checker.reset(); };
    FakeApi::deliverFromAnotherThread(0x2);
    drainMainQueue();
    EXPECT_FALSE(g.checker);
    EXPECT_EQ(FakeApi::released, 1);
}

// An owner on a worker thread lets its client go while the main thread tells
// the client's checker of a change: the main thread may then hold the last
// reference, and the checker must not be touched after it is gone.
TEST(NBReachabilityChecker, ClientsReleasedOnAnotherThreadDuringStatusChanges) {
    auto monitor = std::make_shared<FakeNetworkMonitor>(kReachabilityFlagReachable);
    NetworkMonitor::setShared(monitor);
    std::atomic<bool> done{false};
    std::atomic<int> made{0};
    std::thread owner([&] {
        while (!done) {
            auto network = NBNetwork::initWithReachabilityHost("example.invalid");
            if (network) ++made;
            std::this_thread::yield();
        }
    });
    const auto until = std::chrono::steady_clock::now() + 700ms;
    for (int i = 0; std::chrono::steady_clock::now() < until; ++i) {
        monitor->setFlags(i % 2 ? kReachabilityFlagReachable : kReachabilityFlagReachable | kReachabilityFlagIsWWAN);
        while (RunLoop::iterate(false)) {}
    }
    done = true;
    owner.join();
    drainMainQueue();
    EXPECT_GT(made.load(), 0);
    NetworkMonitor::setShared(nullptr);
}
