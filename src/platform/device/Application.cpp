#include "platform/device/Application.h"

#include <algorithm>
#include <atomic>
#include <cfloat>
#include <cmath>
#include <exception>

#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::platform {

namespace {
constexpr std::chrono::milliseconds kDefaultAllowance = std::chrono::seconds(180);
constexpr std::chrono::milliseconds kDefaultShortestFetchPeriod = std::chrono::minutes(15);
constexpr std::chrono::milliseconds kDefaultFetchTimeLimit = std::chrono::seconds(30);
// Longer periods are no different in practice; the cap keeps the conversion in range.
constexpr double kLongestFetchPeriodSeconds = 365.0 * 24 * 3600;

void post(const char* name) { NotificationCenter::defaultCenter().post(name, &Application::shared()); }
}  // namespace

struct Application::Task {
    std::string name;
    std::function<void()> expirationHandler;
    bool expired = false;  // its handler has been called
};

Application& Application::shared() {
    // Never destroyed: expiration timers and exit-time observers may still reach it.
    static auto* app = new Application;
    return *app;
}

Application::Application() = default;

ApplicationState Application::state() const {
    std::lock_guard lock(mutex_);
    return state_;
}

void Application::enterState(ApplicationState state) {
    std::lock_guard lock(mutex_);
    const ApplicationState old = state_;
    state_ = state;
    if (state == ApplicationState::Background && old != ApplicationState::Background) {
        backgroundSince_ = monotonicNow();
        ++backgroundGeneration_;
        expirationTimerPending_ = false;
        startExpirationTimersLocked();
    } else if (old == ApplicationState::Background && state != ApplicationState::Background) {
        // Back in the foreground: pending expirations no longer apply.
        ++backgroundGeneration_;
        expirationTimerPending_ = false;
    }
}

void Application::setState(ApplicationState target) {
    // One step at a time, re-reading the state: an observer may change it.
    for (int guard = 0; guard < 8; ++guard) {
        const ApplicationState current = state();
        if (current == target) return;
        switch (current) {
        case ApplicationState::Active:  // resign first, whatever the target
            post(kUIApplicationWillResignActiveNotification);
            enterState(ApplicationState::Inactive);
            break;
        case ApplicationState::Inactive:
            enterState(target);
            post(target == ApplicationState::Active ? kUIApplicationDidBecomeActiveNotification
                                                    : kUIApplicationDidEnterBackgroundNotification);
            break;
        case ApplicationState::Background:
            post(kUIApplicationWillEnterForegroundNotification);
            enterState(ApplicationState::Inactive);
            break;
        }
    }
}

void Application::postDidFinishLaunching() { post(kUIApplicationDidFinishLaunchingNotification); }
void Application::postWillTerminate() { post(kUIApplicationWillTerminateNotification); }
void Application::postMemoryWarning() { post(kUIApplicationDidReceiveMemoryWarningNotification); }

// --- Background tasks -------------------------------------------------------------

BackgroundTaskIdentifier Application::beginBackgroundTask(const std::string& name,
                                                          std::function<void()> expirationHandler) {
    std::lock_guard lock(mutex_);
    if (state_ == ApplicationState::Background && backgroundTimeRemaining() <= 0) {
        log("Background task%s%s refused: the background time allowance has run out", name.empty() ? "" : " ",
            name.c_str());
        return kInvalidBackgroundTask;
    }
    auto task = std::make_shared<Task>();
    task->name = name;
    task->expirationHandler = std::move(expirationHandler);
    const BackgroundTaskIdentifier id = nextTask_++;
    tasks_.emplace(id, std::move(task));
    if (state_ == ApplicationState::Background) startExpirationTimersLocked();
    return id;
}

void Application::endBackgroundTask(BackgroundTaskIdentifier id) {
    if (id == kInvalidBackgroundTask) return;
    std::lock_guard lock(mutex_);
    if (tasks_.erase(id) == 0)
        log("Cannot end background task %llu: there is no such task (it may have ended already)",
            static_cast<unsigned long long>(id));
}

std::size_t Application::backgroundTaskCount() const {
    std::lock_guard lock(mutex_);
    return tasks_.size();
}

double Application::backgroundTimeRemaining() const {
    std::lock_guard lock(mutex_);
    if (state_ != ApplicationState::Background) return DBL_MAX;
    const auto elapsed = monotonicNow() - backgroundSince_;
    const double left = std::chrono::duration<double>(allowance_ - elapsed).count();
    return left > 0 ? left : 0;
}

void Application::setBackgroundTimeAllowance(std::chrono::milliseconds allowance) {
    std::lock_guard lock(mutex_);
    allowance_ = allowance < std::chrono::milliseconds::zero() ? std::chrono::milliseconds::zero() : allowance;
    if (state_ == ApplicationState::Background) {
        // A shorter allowance must not wait for a timer set for the longer one.
        expirationTimerPending_ = false;
        startExpirationTimersLocked();
    }
}

std::chrono::milliseconds Application::backgroundTimeAllowance() const {
    std::lock_guard lock(mutex_);
    return allowance_;
}

void Application::startExpirationTimersLocked() {
    if (expirationTimerPending_ || tasks_.empty()) return;
    expirationTimerPending_ = true;
    const auto deadline = backgroundSince_ + allowance_;
    auto delay = std::chrono::ceil<std::chrono::milliseconds>(deadline - monotonicNow());
    if (delay < std::chrono::milliseconds::zero()) delay = std::chrono::milliseconds::zero();
    const uint64_t generation = backgroundGeneration_;
    RunLoop::performAfter(delay, [this, generation] { expire(generation); });
}

void Application::expire(uint64_t generation) {
    {
        std::lock_guard lock(mutex_);
        if (generation != backgroundGeneration_) return;  // the foreground came first
        expirationTimerPending_ = false;
        if (state_ != ApplicationState::Background) return;
        if (monotonicNow() < backgroundSince_ + allowance_) {
            startExpirationTimersLocked();  // the allowance grew meanwhile
            return;
        }
    }
    expireOverdueBackgroundTasks();
}

void Application::expireOverdueBackgroundTasks() {
    std::vector<std::pair<BackgroundTaskIdentifier, std::shared_ptr<Task>>> due;
    {
        std::lock_guard lock(mutex_);
        if (state_ != ApplicationState::Background || monotonicNow() < backgroundSince_ + allowance_) return;
        for (auto& [id, task] : tasks_) {
            if (task->expired) continue;
            task->expired = true;
            due.emplace_back(id, task);
        }
    }
    for (auto& [id, task] : due) {
        if (task->expirationHandler) {
            try {
                task->expirationHandler();
            } catch (const std::exception& e) {
                log("Expiration handler of background task %llu threw: %s", static_cast<unsigned long long>(id),
                    e.what());
            } catch (...) {
                log("Expiration handler of background task %llu threw", static_cast<unsigned long long>(id));
            }
        }
        std::lock_guard lock(mutex_);
        if (tasks_.count(id))
            log("Background task %llu (\"%s\") was not ended by its expiration handler",
                static_cast<unsigned long long>(id), task->name.c_str());
    }
}

void Application::setClock(std::shared_ptr<Clock> clock) {
    std::lock_guard lock(mutex_);
    clock_ = std::move(clock);
}

Clock::MonoTime Application::monotonicNow() const {
    return clock_ ? clock_->monotonicNow() : Clock::shared()->monotonicNow();
}

// --- Launch arguments, delegate, settings -------------------------------------------

void Application::setLaunchArguments(std::vector<std::string> args) {
    std::lock_guard lock(mutex_);
    arguments_ = std::move(args);
}

void Application::setLaunchArguments(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 0; i < argc && argv && argv[i]; ++i) args.emplace_back(argv[i]);
    setLaunchArguments(std::move(args));
}

const std::vector<std::string>& Application::launchArguments() const {
    std::lock_guard lock(mutex_);
    return arguments_;
}

void Application::setDelegate(ApplicationDelegate* delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = delegate;
}

ApplicationDelegate* Application::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_;
}

void Application::setIdleTimerDisabled(bool disabled) {
    std::lock_guard lock(mutex_);
    idleTimerDisabled_ = disabled;
}

bool Application::idleTimerDisabled() const {
    std::lock_guard lock(mutex_);
    return idleTimerDisabled_;
}

// --- Background fetch ----------------------------------------------------------------

void Application::setMinimumBackgroundFetchInterval(double seconds) {
    std::lock_guard lock(mutex_);
    // The interval in force asked for again leaves the next fetch where it
    // is: a page that starts fetching at every launch or resume would put it
    // off for ever otherwise.
    if (seconds == fetchInterval_ && fetchInterval_ < UIApplicationBackgroundFetchIntervalNever) return;
    fetchInterval_ = seconds;
    scheduleFetchTimerLocked();
}

double Application::minimumBackgroundFetchInterval() const {
    std::lock_guard lock(mutex_);
    return fetchInterval_;
}

void Application::setShortestBackgroundFetchPeriod(std::chrono::milliseconds period) {
    std::lock_guard lock(mutex_);
    shortestFetchPeriod_ = std::max(period, std::chrono::milliseconds(1));
    scheduleFetchTimerLocked();
}

std::chrono::milliseconds Application::shortestBackgroundFetchPeriod() const {
    std::lock_guard lock(mutex_);
    return shortestFetchPeriod_;
}

void Application::scheduleFetchTimerLocked() {
    const uint64_t generation = ++fetchGeneration_;
    // Never, and anything that is not a number, switches fetching off.
    if (!(fetchInterval_ < UIApplicationBackgroundFetchIntervalNever)) return;
    const double seconds = std::clamp(fetchInterval_, 0.0, kLongestFetchPeriodSeconds);
    const auto asked = std::chrono::milliseconds(static_cast<int64_t>(std::ceil(seconds * 1000)));
    RunLoop::performAfter(std::max(asked, shortestFetchPeriod_), [this, generation] { fetchTimerFired(generation); });
}

void Application::fetchTimerFired(uint64_t generation) {
    bool inBackground = false;
    {
        std::lock_guard lock(mutex_);
        if (generation != fetchGeneration_) return;
        inBackground = state_ == ApplicationState::Background;
        scheduleFetchTimerLocked();
    }
    // The phone wakes only applications that are not on screen.
    if (inBackground) performBackgroundFetch();
}

void Application::performBackgroundFetch() {
    ApplicationDelegate* target = delegate();
    if (!target || !target->respondsToPerformFetch()) {
        log("Background fetch skipped: the application delegate takes no fetch events");
        return;
    }
    auto called = std::make_shared<std::atomic<bool>>(false);
    BackgroundFetchCompletionHandler handler = [called](UIBackgroundFetchResult) {
        if (called->exchange(true)) log("A background fetch completion handler was called again; ignored");
    };
    std::chrono::milliseconds limit;
    uint64_t era;
    {
        std::lock_guard lock(mutex_);
        limit = fetchTimeLimit_;
        era = fetchEra_;
    }
    RunLoop::performAfter(limit, [this, called, limit, era] {
        std::function<void()> expired;
        {
            std::lock_guard lock(mutex_);
            if (era != fetchEra_ || called->exchange(true)) return;
            expired = fetchExpirationHandler_;
        }
        log("Background fetch not completed within %.3g s: it ends as failed (UIBackgroundFetchResult %lu)",
            std::chrono::duration<double>(limit).count(), static_cast<unsigned long>(UIBackgroundFetchResult::Failed));
        if (expired) expired();
    });
    try {
        target->applicationPerformFetchWithCompletionHandler(std::move(handler));
    } catch (const std::exception& e) {
        log("Background fetch handling threw: %s", e.what());
    }
}

void Application::setBackgroundFetchTimeLimit(std::chrono::milliseconds limit) {
    std::lock_guard lock(mutex_);
    fetchTimeLimit_ = limit;
}

std::chrono::milliseconds Application::backgroundFetchTimeLimit() const {
    std::lock_guard lock(mutex_);
    return fetchTimeLimit_;
}

void Application::setBackgroundFetchExpirationHandler(std::function<void()> handler) {
    std::lock_guard lock(mutex_);
    fetchExpirationHandler_ = std::move(handler);
}

void Application::resetForTesting() {
    std::lock_guard lock(mutex_);
    state_ = ApplicationState::Active;
    tasks_.clear();
    ++backgroundGeneration_;
    expirationTimerPending_ = false;
    allowance_ = kDefaultAllowance;
    backgroundSince_ = {};
    clock_.reset();
    arguments_.clear();
    delegate_ = nullptr;
    idleTimerDisabled_ = false;
    fetchInterval_ = UIApplicationBackgroundFetchIntervalNever;
    shortestFetchPeriod_ = kDefaultShortestFetchPeriod;
    ++fetchGeneration_;
    fetchTimeLimit_ = kDefaultFetchTimeLimit;
    fetchExpirationHandler_ = nullptr;
    ++fetchEra_;
}

}  // namespace wharf::platform
