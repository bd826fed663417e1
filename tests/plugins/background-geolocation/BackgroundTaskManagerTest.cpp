#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "platform/base/Log.h"
#include "platform/device/Application.h"
#include "plugins/background-geolocation/BackgroundTaskManager.h"

using namespace wharf;
using namespace std::chrono_literals;
using platform::Application;
using platform::ApplicationState;

namespace {

class BackgroundTaskManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        app().resetForTesting();
        clock_ = std::make_shared<platform::ManualClock>();
        app().setClock(clock_);
        app().setBackgroundTimeAllowance(30s);
    }
    void TearDown() override { app().resetForTesting(); }
    static Application& app() { return Application::shared(); }

    std::shared_ptr<platform::ManualClock> clock_;
};

TEST_F(BackgroundTaskManagerTest, ExpiryEndsTheTasksAndRunsEachBlockOnce) {
    BackgroundTaskManager tasks;
    int expired = 0, ended = 0;
    tasks.beginTaskWithCompletionHandler([&] { ++expired; });
    const uint64_t early = tasks.beginTaskWithCompletionHandler([&] { ++ended; });
    tasks.beginTask();
    app().setState(ApplicationState::Background);
    tasks.endTaskWithKey(early);

    clock_->advance(29s);
    app().expireOverdueBackgroundTasks();
    EXPECT_EQ(expired, 0);
    EXPECT_EQ(app().backgroundTaskCount(), 2u);

    platform::LogCapture capture;
    clock_->advance(2s);
    app().expireOverdueBackgroundTasks();
    app().expireOverdueBackgroundTasks();
    EXPECT_EQ(expired, 1);
    EXPECT_EQ(ended, 1);
    EXPECT_EQ(app().backgroundTaskCount(), 0u);
    EXPECT_FALSE(capture.contains("was not ended by its expiration handler"));
}

TEST_F(BackgroundTaskManagerTest, ACompletionBlockMayUseTheManager) {
    BackgroundTaskManager tasks;
    uint64_t follower = 0;
    const uint64_t key = tasks.beginTaskWithCompletionHandler([&] {
        // Hands the work on to a task of its own: no deadlock, no lost task.
        follower = tasks.beginTask();
        tasks.endTaskWithKey(follower);
    });
    tasks.endTaskWithKey(key);
    EXPECT_EQ(follower, 1u);
    EXPECT_EQ(app().backgroundTaskCount(), 0u);
}

TEST_F(BackgroundTaskManagerTest, KeyedTasksEndOnCompletionOnceEvenWhenEndsRace) {
    BackgroundTaskManager tasks;
    constexpr int kTasks = 200;
    std::vector<std::atomic<int>> runs(kTasks);
    for (int i = 0; i < kTasks; ++i)
        EXPECT_EQ(tasks.beginTaskWithCompletionHandler([&runs, i] { ++runs[i]; }), uint64_t(i));
    EXPECT_EQ(app().backgroundTaskCount(), size_t{kTasks});
    platform::LogCapture capture;
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&] {
            for (int i = 0; i <= kTasks; ++i) tasks.endTaskWithKey(static_cast<uint64_t>(i));
        });
    for (auto& t : threads) t.join();
    for (int i = 0; i < kTasks; ++i) EXPECT_EQ(runs[i].load(), 1) << i;
    EXPECT_EQ(app().backgroundTaskCount(), 0u);
    EXPECT_EQ(capture.count("Task ended"), size_t{kTasks});
}

}  // namespace
