#pragma once
// The application object: state, life-cycle notifications, background tasks,
// launch arguments and the shared delegate.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace wharf::platform {

enum class ApplicationState { Active = 0, Inactive = 1, Background = 2 };

using BackgroundTaskIdentifier = uint64_t;
inline constexpr BackgroundTaskIdentifier kInvalidBackgroundTask = 0;

// The application delegate as the platform sees it (optional methods).
class ApplicationDelegate {
public:
    virtual ~ApplicationDelegate() = default;
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

    void setLaunchArguments(std::vector<std::string> args);
    void setLaunchArguments(int argc, char** argv);
    const std::vector<std::string>& launchArguments() const;

    void setDelegate(ApplicationDelegate* delegate);
    ApplicationDelegate* delegate() const;

    // Idle timer and background-fetch interval are recorded (nothing to drive on a desktop).
    void setIdleTimerDisabled(bool disabled);
    bool idleTimerDisabled() const;
    void setMinimumBackgroundFetchInterval(double seconds);
    double minimumBackgroundFetchInterval() const;

    // Test support: back to a fresh application (active state, no tasks).
    void resetForTesting();

private:
    Application();
    void startExpirationTimersLocked();
    void expire(uint64_t generation);
    void enterState(ApplicationState state);
    struct Task;
    mutable std::recursive_mutex mutex_;
    ApplicationState state_ = ApplicationState::Inactive;
    std::map<BackgroundTaskIdentifier, std::shared_ptr<Task>> tasks_;
    BackgroundTaskIdentifier nextTask_ = 1;
    std::chrono::milliseconds allowance_{std::chrono::seconds(180)};
    std::chrono::steady_clock::time_point backgroundSince_{};
    std::vector<std::string> arguments_;
    ApplicationDelegate* delegate_ = nullptr;
    bool idleTimerDisabled_ = false;
    double fetchInterval_ = 0;
    // Bumped on every entry into and exit from the background: a pending
    // expiration timer of an older generation does nothing.
    uint64_t backgroundGeneration_ = 0;
    bool expirationTimerPending_ = false;
};

}  // namespace wharf::platform
