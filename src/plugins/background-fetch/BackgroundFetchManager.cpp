#include "plugins/background-fetch/BackgroundFetchManager.h"

#include <algorithm>
#include <vector>

#include "platform/base/Log.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/UserDefaults.h"

namespace wharf {

namespace {
constexpr const char* kTag = "BackgroundFetchManager";
}

BackgroundFetchManager& BackgroundFetchManager::sharedInstance() {
    // Lives for the whole process: timers and the application's last
    // notifications may still reach it at exit.
    static auto* manager = new BackgroundFetchManager;
    return *manager;
}

BackgroundFetchManager::BackgroundFetchManager(std::chrono::milliseconds bootBuffer)
    : bootBuffer_(bootBuffer), lifetime_(std::make_shared<int>(0)) {
    // Read at once rather than on a later turn of the main loop, so that the
    // very event that launched the application is recognised as such.
    launchedInBackground_ = platform::Application::shared().state() == platform::ApplicationState::Background;
    terminateObservation_ = platform::NotificationCenter::defaultCenter().addObserver(
        platform::kUIApplicationWillTerminateNotification, nullptr,
        [this](const platform::Notification&) { onAppTerminate(); });
}

BackgroundFetchManager::~BackgroundFetchManager() { terminateObservation_.reset(); }

int64_t BackgroundFetchManager::configure(const platform::Value& config) {
    applyConfig(config);
    platform::UserDefaults::standard().setObject(config, kDefaultsKey);
    {
        std::lock_guard lock(mutex_);
        configured_ = true;
    }
    return status();
}

void BackgroundFetchManager::applyConfig(const platform::Value& config) {
    if (!config.is_object() || !config.contains("stopOnTerminate")) return;
    setStopOnTerminate(platform::boolValue(config["stopOnTerminate"]));
}

int64_t BackgroundFetchManager::status() const {
    return static_cast<int64_t>(platform::Application::shared().backgroundRefreshStatus());
}

void BackgroundFetchManager::addListener(const std::string& name, Listener callback) {
    platform::log("- %s addListener: %s", kTag, name.c_str());
    bool replay = false;
    {
        std::lock_guard lock(mutex_);
        listeners_[name] = callback;
        replay = launchedInBackground_;
    }
    // A listener that arrives after a launch into the background still hears
    // the event that woke the application.
    if (replay && callback) platform::dispatch::globalQueue()->async(std::move(callback));
}

bool BackgroundFetchManager::hasListener(const std::string& name) const {
    std::lock_guard lock(mutex_);
    return listeners_.count(name) != 0;
}

void BackgroundFetchManager::removeListener(const std::string& name) {
    std::lock_guard lock(mutex_);
    if (listeners_.erase(name)) platform::log("- %s removeListener: %s", kTag, name.c_str());
}

bool BackgroundFetchManager::start() {
    platform::Application::shared().setMinimumBackgroundFetchInterval(
        platform::UIApplicationBackgroundFetchIntervalMinimum);
    platform::log("- %s started", kTag);
    return true;
}

void BackgroundFetchManager::stop() {
    platform::Application::shared().setMinimumBackgroundFetchInterval(
        platform::UIApplicationBackgroundFetchIntervalNever);
}

void BackgroundFetchManager::performFetchWithCompletionHandler(CompletionHandler completionHandler) {
    platform::log("- %s performFetchWithCompletionHandler", kTag);
    std::function<void()> completeDisplaced;
    std::vector<Listener> listeners;
    bool noListener = false;
    {
        std::lock_guard lock(mutex_);
        // The platform waits for every handler it hands out: an event still
        // open is completed with what its listeners answered so far.
        if (completionHandler_) completeDisplaced = completeLocked();
        active_ = true;
        eventBegan_ = std::chrono::steady_clock::now();
        responses_.clear();
        if (!listeners_.empty()) {
            completionHandler_ = std::move(completionHandler);
            for (auto& [name, listener] : listeners_) listeners.push_back(listener);
        } else if (launchedInBackground_) {
            if (!configured_) {
                platform::Value stored = platform::UserDefaults::standard().dictionaryForKey(kDefaultsKey);
                if (stored.is_object()) applyConfig(stored);
            }
            completionHandler_ = std::move(completionHandler);
        } else {
            noListener = true;
            active_ = false;
        }
    }
    if (completeDisplaced) completeDisplaced();
    for (auto& listener : listeners)
        if (listener) listener();
    // NOLINTNEXTLINE(bugprone-use-after-move): moved only on the branches that leave noListener false
    if (noListener && completionHandler) completionHandler(UIBackgroundFetchResult::NoData);
}

void BackgroundFetchManager::finish(const std::string& name, unsigned long result) {
    {
        std::lock_guard lock(mutex_);
        if (!completionHandler_) {
            platform::log("- %s WARNING: completionHandler is nil.  No fetch event to finish.  Ignored", kTag);
            return;
        }
        if (responses_.count(name)) {
            platform::log("- %s WARNING: finish already called for %s.  Ignored", kTag, name.c_str());
            return;
        }
        if (!listeners_.count(name)) {
            platform::log("- %s WARNING: no listener found to finish for %s.  Ignored", kTag, name.c_str());
            return;
        }
        platform::log("- %s finish: %s", kTag, name.c_str());
        responses_[name] = result;
        if (launchedInBackground_ && !bootBufferTimer_) {
            // Give the other listeners of a page that is still starting time to answer.
            bootBufferTimer_ = true;
            const uint64_t generation = ++bootBufferGeneration_;
            std::weak_ptr<int> alive = lifetime_;
            platform::RunLoop::performAfter(bootBufferLocked(), [this, alive, generation] {
                if (alive.expired()) return;
                {
                    std::lock_guard lock(mutex_);
                    if (!bootBufferTimer_ || generation != bootBufferGeneration_) return;
                }
                doFinish();
            });
            return;
        }
    }
    doFinish();
}

void BackgroundFetchManager::doFinish() {
    std::function<void()> complete;
    bool stopFetching = false;
    {
        std::lock_guard lock(mutex_);
        cancelBootBufferLocked();
        if (!completionHandler_) return;
        if (responses_.size() != listeners_.size()) return;
        complete = completeLocked();
        stopFetching = launchedInBackground_ && stopOnTerminate_;
        launchedInBackground_ = false;
    }
    complete();
    if (stopFetching) stop();
}

std::function<void()> BackgroundFetchManager::completeLocked() {
    cancelBootBufferLocked();
    const UIBackgroundFetchResult result = combine(responses_);
    platform::log("- %s Complete, UIBackgroundFetchResult: %lu, responses: %lu", kTag,
                  static_cast<unsigned long>(result), static_cast<unsigned long>(responses_.size()));
    CompletionHandler handler = std::move(completionHandler_);
    completionHandler_ = nullptr;
    active_ = false;
    responses_.clear();
    return [handler = std::move(handler), result] {
        if (handler) handler(result);
    };
}

// The boot buffer never runs past the time the platform gives the event: a
// page that finished in time is done, and its result must reach the
// platform before the event counts as failed. It ends a tenth of that time
// (a second at most) before, so that it comes first however busy the main
// loop is when both are due.
std::chrono::milliseconds BackgroundFetchManager::bootBufferLocked() const {
    using std::chrono::milliseconds;
    const milliseconds limit = platform::Application::shared().backgroundFetchTimeLimit();
    const milliseconds margin = std::min<milliseconds>(limit / 10, std::chrono::seconds(1));
    const auto elapsed = std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - eventBegan_);
    return std::clamp(limit - margin - elapsed, milliseconds(0), bootBuffer_);
}

void BackgroundFetchManager::cancelBootBufferLocked() {
    bootBufferTimer_ = false;
    ++bootBufferGeneration_;
}

UIBackgroundFetchResult BackgroundFetchManager::combine(const std::map<std::string, unsigned long>& responses) {
    bool newData = false;
    for (const auto& [name, result] : responses) {
        if (result == static_cast<unsigned long>(UIBackgroundFetchResult::Failed))
            return UIBackgroundFetchResult::Failed;
        if (result == static_cast<unsigned long>(UIBackgroundFetchResult::NewData)) newData = true;
    }
    return newData ? UIBackgroundFetchResult::NewData : UIBackgroundFetchResult::NoData;
}

void BackgroundFetchManager::onAppTerminate() {
    platform::log("- %s onAppTerminate", kTag);
    if (stopOnTerminate()) stop();
}

bool BackgroundFetchManager::stopOnTerminate() const {
    std::lock_guard lock(mutex_);
    return stopOnTerminate_;
}

void BackgroundFetchManager::setStopOnTerminate(bool stop) {
    std::lock_guard lock(mutex_);
    stopOnTerminate_ = stop;
}

bool BackgroundFetchManager::configured() const {
    std::lock_guard lock(mutex_);
    return configured_;
}

bool BackgroundFetchManager::active() const {
    std::lock_guard lock(mutex_);
    return active_;
}

bool BackgroundFetchManager::launchedInBackground() const {
    std::lock_guard lock(mutex_);
    return launchedInBackground_;
}

}  // namespace wharf
