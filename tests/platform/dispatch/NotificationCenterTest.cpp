#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"

using namespace wharf::platform;

namespace {

TEST(NotificationCenterTest, DeliversByNameAndSenderInRegistrationOrder) {
    auto center = NotificationCenter::create();
    int x = 0, y = 0;
    std::vector<std::string> calls;
    auto t1 = center->addObserver("A", nullptr, [&](const Notification&) { calls.push_back("A-any"); });
    auto t2 = center->addObserver("A", &x, [&](const Notification&) { calls.push_back("A-x"); });
    auto t3 = center->addObserver("", nullptr, [&](const Notification& n) { calls.push_back("all-" + n.name); });
    auto t4 = center->addObserver("B", nullptr, [&](const Notification&) { calls.push_back("B"); });

    center->post("A", &y);
    EXPECT_EQ(calls, (std::vector<std::string>{"A-any", "all-A"}));
    calls.clear();
    center->post("A", &x, Value{{"k", 1}});
    EXPECT_EQ(calls, (std::vector<std::string>{"A-any", "A-x", "all-A"}));
    calls.clear();
    center->post("C");
    EXPECT_EQ(calls, (std::vector<std::string>{"all-C"}));

    Value seen;
    const void* sender = nullptr;
    auto t5 = center->addObserver("D", nullptr, [&](const Notification& n) {
        seen = n.userInfo;
        sender = n.object;
    });
    center->post("D", &x, Value{{"k", 2}});
    EXPECT_EQ(seen["k"], 2);
    EXPECT_EQ(sender, &x);
}

TEST(NotificationCenterTest, ObserversChangedDuringAPost) {
    auto center = NotificationCenter::create();
    std::vector<std::string> calls;
    ObserverToken first, third, added;
    first = center->addObserver("N", nullptr, [&](const Notification&) {
        calls.push_back("first");
        first.reset();  // itself
        third.reset();  // a later one
    });
    auto second = center->addObserver("N", nullptr, [&](const Notification&) {
        calls.push_back("second");
        if (!added.active())
            added = center->addObserver("N", nullptr, [&](const Notification&) { calls.push_back("added"); });
    });
    third = center->addObserver("N", nullptr, [&](const Notification&) { calls.push_back("third"); });

    center->post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"first", "second"}));
    calls.clear();
    center->post("N");
    EXPECT_EQ(calls, (std::vector<std::string>{"second", "added"}));
    EXPECT_EQ(center->observerCount(), 2u);
}

TEST(NotificationCenterTest, TokensRemoveOnceAndSurviveTheirCenter) {
    auto center = NotificationCenter::create();
    int calls = 0;
    ObserverToken outer;
    {
        ObserverToken a = center->addObserver("N", nullptr, [&](const Notification&) { ++calls; });
        ObserverToken b(std::move(a));
        // What a moved-from token says is what this checks.
        EXPECT_FALSE(a.active());  // NOLINT(bugprone-use-after-move,clang-analyzer-cplusplus.Move)
        a.reset();  // a moved-from token removes nothing
        EXPECT_EQ(center->observerCount(), 1u);
        outer = std::move(b);
    }
    center->post("N");
    EXPECT_EQ(calls, 1);
    // Assigning over an active token removes its observation.
    outer = center->addObserver("M", nullptr, [](const Notification&) {});
    EXPECT_EQ(center->observerCount(), 1u);
    center->post("N");
    EXPECT_EQ(calls, 1);

    center.reset();  // the token outlives its center
    outer.reset();
    EXPECT_FALSE(outer.active());
}

TEST(NotificationCenterTest, HandlersMayPostAgainOnTheSameThread) {
    auto center = NotificationCenter::create();
    std::vector<std::string> calls;
    auto a = center->addObserver("A", nullptr, [&](const Notification&) {
        calls.push_back("A");
        center->post("B");
    });
    auto b = center->addObserver("B", nullptr, [&](const Notification&) { calls.push_back("B"); });
    center->post("A");
    EXPECT_EQ(calls, (std::vector<std::string>{"A", "B"}));
}

TEST(NotificationCenterTest, AThrowingObserverDoesNotSilenceTheOthers) {
    auto center = NotificationCenter::create();
    LogCapture log;
    std::vector<std::string> calls;
    auto a = center->addObserver("T", nullptr, [&](const Notification&) {
        calls.push_back("a");
        throw std::runtime_error("boom");
    });
    auto b = center->addObserver("T", nullptr, [&](const Notification&) { calls.push_back("b"); });
    EXPECT_NO_THROW(center->post("T"));
    EXPECT_EQ(calls, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(log.contains("ERROR: Observer of 'T' threw: boom"));
    // The thrower is not left marked as running: removing it does not wait.
    a.reset();
    EXPECT_EQ(center->observerCount(), 1u);
}

TEST(NotificationCenterTest, ConcurrentPostsAddsAndRemovals) {
    auto center = NotificationCenter::create();
    std::atomic<int> counted{0};
    auto counter = center->addObserver("tick", nullptr, [&](const Notification&) { ++counted; });
    std::atomic<bool> stop{false};
    std::vector<std::thread> threads;
    constexpr int kPosters = 4, kPosts = 2000;
    for (int i = 0; i < kPosters; ++i)
        threads.emplace_back([&] {
            for (int n = 0; n < kPosts; ++n) center->post("tick");
        });
    std::thread churn([&] {
        while (!stop) {
            auto t = center->addObserver("tick", nullptr, [](const Notification&) {});
            auto u = center->addObserver("", nullptr, [](const Notification&) {});
        }
    });
    for (auto& t : threads) t.join();
    stop = true;
    churn.join();
    EXPECT_EQ(counted.load(), kPosters * kPosts);
    EXPECT_EQ(center->observerCount(), 1u);
}

TEST(NotificationCenterTest, RemovalWaitsForAHandlerRunningOnAnotherThread) {
    auto center = NotificationCenter::create();
    std::atomic<bool> inside{false}, finished{false};
    auto state = std::make_shared<int>(0);
    auto token = center->addObserver("N", nullptr, [&, state](const Notification&) {
        inside = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        *state = 1;
        finished = true;
    });
    std::thread poster([&] { center->post("N"); });
    while (!inside) std::this_thread::yield();
    token.reset();
    EXPECT_TRUE(finished.load());
    poster.join();
}

TEST(NotificationCenterTest, DefaultCenterIsOneInstance) {
    EXPECT_EQ(&NotificationCenter::defaultCenter(), &NotificationCenter::defaultCenter());
    int calls = 0;
    {
        auto t = NotificationCenter::defaultCenter().addObserver("wharf.test.default", nullptr,
                                                                 [&](const Notification&) { ++calls; });
        NotificationCenter::defaultCenter().post("wharf.test.default");
    }
    NotificationCenter::defaultCenter().post("wharf.test.default");
    EXPECT_EQ(calls, 1);
}

}  // namespace
