#pragma once
// The application object: state, life-cycle notifications, background tasks,
// launch arguments and the shared delegate.
#include <cfloat>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/base/Clock.h"

namespace wharf::platform {

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

using BackgroundTaskIdentifier = uint64_t;
inline constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

// Background fetch: what a fetch found, whether the user lets the application
// fetch, and the intervals between fetches (seconds).
enum class UIBackgroundFetchResult : unsigned long { NewData = 0, NoData = 1, Failed = 2 };
enum class UIBackgroundRefreshStatus : int { Restricted = 0, Denied = 1, Available = 2 };
inline constexpr double UIApplicationBackgroundFetchIntervalMinimum = 0.0;
inline constexpr double UIApplicationBackgroundFetchIntervalNever = DBL_MAX;
// Called once, from any thread, when the fetch is over.
using BackgroundFetchCompletionHandler = std::function<void(UIBackgroundFetchResult)>;

// The application delegate as the platform sees it (optional methods).
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
    // A delegate that answers true is woken for background fetches.
    virtual bool respondsToPerformFetch() const { return false; }
    // By value: the delegates that answer keep the handler until their fetch is done.
    // NOLINTNEXTLINE(performance-unnecessary-value-param)
    virtual void applicationPerformFetchWithCompletionHandler(BackgroundFetchCompletionHandler /*completionHandler*/) {}
};

class Application {
public:
    static Application& shared();

    ApplicationState state() const;
    // Moves to a new state, posting the notifications of the transition ("will"
    // notifications before the state changes, "did" ones after it):
    // inactive→active: did become active; active→inactive: will resign active;
    // →background: (will resign active if active) did enter background;
    // background→: will enter foreground (then did become active if active).
    void setState(ApplicationState state);

    void postDidFinishLaunching();
    void postWillTerminate();
    void postMemoryWarning();

    // Background tasks. The expiration handler runs on the main thread when the
    // task is still running `backgroundTimeAllowance()` after the application
    // entered the background (once; a task its handler does not end stays
    // counted). Answers kInvalidBackgroundTask when refused: in the background
    // once the allowance has run out.
    BackgroundTaskIdentifier beginBackgroundTask(const std::string& name, std::function<void()> expirationHandler);
    BackgroundTaskIdentifier beginBackgroundTask(std::function<void()> expirationHandler) {
        return beginBackgroundTask("", std::move(expirationHandler));
    }
    void endBackgroundTask(BackgroundTaskIdentifier id);
    std::size_t backgroundTaskCount() const;
    // Seconds left for background tasks (DBL_MAX while not in the background).
    double backgroundTimeRemaining() const;
    void setBackgroundTimeAllowance(std::chrono::milliseconds allowance);
    std::chrono::milliseconds backgroundTimeAllowance() const;
    // The clock that background time is measured by (its monotonic time);
    // nullptr means the process clock.
    void setClock(std::shared_ptr<Clock> clock);
    // Calls the expiration handlers of the tasks whose allowance has run out
    // by the clock (each task once). The expiration timer does this; after
    // moving a manual clock, call it on the main thread to the same effect.
    void expireOverdueBackgroundTasks();

    void setLaunchArguments(std::vector<std::string> args);
    void setLaunchArguments(int argc, char** argv);
    const std::vector<std::string>& launchArguments() const;

    void setDelegate(ApplicationDelegate* delegate);
    ApplicationDelegate* delegate() const;

    // The idle timer is recorded (nothing to drive on a desktop).
    void setIdleTimerDisabled(bool disabled);
    bool idleTimerDisabled() const;

    // Background fetch. Until the interval is Never, a timer with that period
    // (never shorter than shortestBackgroundFetchPeriod()) wakes the delegate
    // for a fetch each time it fires while the application is in the background.
    void setMinimumBackgroundFetchInterval(double seconds);
    double minimumBackgroundFetchInterval() const;
    UIBackgroundRefreshStatus backgroundRefreshStatus() const { return UIBackgroundRefreshStatus::Available; }
    // Wakes the delegate for one fetch now (main thread), as a launch into the
    // background for a fetch does. A fetch whose completion handler has not
    // been called within backgroundFetchTimeLimit() is over all the same: it
    // counts as failed (logged, and a later call of the handler is ignored),
    // and the expiration handler hears of it on the main thread.
    void performBackgroundFetch();
    // The phone's limit for one fetch: 30 seconds.
    void setBackgroundFetchTimeLimit(std::chrono::milliseconds limit);
    std::chrono::milliseconds backgroundFetchTimeLimit() const;
    // The phone ends an application that overruns a fetch; the shell ends a
    // launch into the background here.
    void setBackgroundFetchExpirationHandler(std::function<void()> handler);
    // How often the system allows fetches at most (15 minutes).
    void setShortestBackgroundFetchPeriod(std::chrono::milliseconds period);
    std::chrono::milliseconds shortestBackgroundFetchPeriod() const;

    // Test support: back to a fresh application (active state, no tasks).
    void resetForTesting();

private:
    Application();
    void startExpirationTimersLocked();
    void expire(uint64_t generation);
    Clock::MonoTime monotonicNow() const;
    void enterState(ApplicationState state);
    void scheduleFetchTimerLocked();
    void fetchTimerFired(uint64_t generation);
    struct Task;
    mutable std::recursive_mutex mutex_;
    ApplicationState state_ = ApplicationState::Inactive;
    std::map<BackgroundTaskIdentifier, std::shared_ptr<Task>> tasks_;
    BackgroundTaskIdentifier nextTask_ = 1;
    std::chrono::milliseconds allowance_{std::chrono::seconds(180)};
    Clock::MonoTime backgroundSince_{};
    std::shared_ptr<Clock> clock_;
    std::vector<std::string> arguments_;
    ApplicationDelegate* delegate_ = nullptr;
    bool idleTimerDisabled_ = false;
    double fetchInterval_ = UIApplicationBackgroundFetchIntervalNever;
    std::chrono::milliseconds shortestFetchPeriod_{std::chrono::minutes(15)};
    std::chrono::milliseconds fetchTimeLimit_{std::chrono::seconds(30)};
    std::function<void()> fetchExpirationHandler_;
    // Bumped by resetForTesting: a fetch of an earlier test expires into nothing.
    uint64_t fetchEra_ = 0;
    // Bumped whenever the fetch timer is set anew: an older timer does nothing.
    uint64_t fetchGeneration_ = 0;
    // Bumped on every entry into and exit from the background: a pending
    // expiration timer of an older generation does nothing.
    uint64_t backgroundGeneration_ = 0;
    bool expirationTimerPending_ = false;
};

}  // namespace wharf::platform
