#include "plugins/background-geolocation/BackgroundTaskManager.h"

#include <optional>

#include "platform/base/Log.h"

namespace wharf {

BackgroundTaskManager& BackgroundTaskManager::sharedTasks() {
    // Never destroyed: expiration handlers of its tasks may come at any time.
    static auto* tasks = new BackgroundTaskManager;
    return *tasks;
}

BackgroundTaskManager::BackgroundTaskManager(platform::Application& application) : application_(application) {}

BackgroundTaskManager::~BackgroundTaskManager() {
    std::map<uint64_t, platform::BackgroundTaskIdentifier> running;
    {
        std::lock_guard lock(mutex_);
        running.swap(dictTaskIdentifiers_);
        dictTaskCompletionBlocks_.clear();
    }
    for (const auto& [key, identifier] : running) application_.endBackgroundTask(identifier);
}

uint64_t BackgroundTaskManager::beginTask() { return beginTaskWithCompletionHandler(nullptr); }

uint64_t BackgroundTaskManager::beginTaskWithCompletionHandler(std::function<void()> completion) {
    // One lock over the whole step: an expiration that comes at once finds
    // the task and its block stored, instead of ending nothing and leaving
    // the task to run on for ever.
    std::lock_guard lock(mutex_);
    const uint64_t key = taskKeyCounter_++;
    const platform::BackgroundTaskIdentifier identifier =
        application_.beginBackgroundTask([this, key] { endTaskWithKey(key); });
    dictTaskIdentifiers_[key] = identifier;
    if (completion) dictTaskCompletionBlocks_[key] = std::move(completion);
    return key;
}

void BackgroundTaskManager::endTaskWithKey(uint64_t key) {
    std::function<void()> completion;
    std::optional<platform::BackgroundTaskIdentifier> identifier;
    {
        std::lock_guard lock(mutex_);
        if (auto it = dictTaskCompletionBlocks_.find(key); it != dictTaskCompletionBlocks_.end()) {
            completion = std::move(it->second);
            dictTaskCompletionBlocks_.erase(it);
        }
        if (auto it = dictTaskIdentifiers_.find(key); it != dictTaskIdentifiers_.end()) {
            identifier = it->second;
            dictTaskIdentifiers_.erase(it);
        }
    }
    if (completion) completion();
    if (identifier) {
        application_.endBackgroundTask(*identifier);
        platform::log("Task ended");
    }
}

}  // namespace wharf
