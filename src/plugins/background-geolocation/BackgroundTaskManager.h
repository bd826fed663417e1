#pragma once
// Hands out the application's background tasks under keys of its own, each
// with an optional completion block that runs once when the task ends: by
// endTaskWithKey or by the task's expiration.
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>

#include "platform/device/Application.h"

namespace wharf {

class BackgroundTaskManager {
public:
    static BackgroundTaskManager& sharedTasks();
    explicit BackgroundTaskManager(platform::Application& application = platform::Application::shared());
    // Ends the tasks still running (their blocks are dropped): no expiration
    // may reach a manager that is gone.
    ~BackgroundTaskManager();
    BackgroundTaskManager(const BackgroundTaskManager&) = delete;
    BackgroundTaskManager& operator=(const BackgroundTaskManager&) = delete;

    // Keys count up from 0, unique for the manager.
    uint64_t beginTask();
    uint64_t beginTaskWithCompletionHandler(std::function<void()> completion);
    // Runs the key's completion block (on the calling thread, outside the
    // manager's lock, so it may begin or end tasks) and ends its task. An
    // unknown or already ended key does nothing. Callable from any thread.
    void endTaskWithKey(uint64_t key);

private:
    platform::Application& application_;
    std::mutex mutex_;
    uint64_t taskKeyCounter_ = 0;
    std::map<uint64_t, platform::BackgroundTaskIdentifier> dictTaskIdentifiers_;
    std::map<uint64_t, std::function<void()>> dictTaskCompletionBlocks_;
};

}  // namespace wharf
