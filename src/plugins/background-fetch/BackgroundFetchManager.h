#pragma once
// The process-wide manager of background fetch: switches fetching on and off,
// hands each fetch event to every registered listener, collects one result per
// listener and completes the event once with the combined result.
//
// After a launch into the background the page is not running yet when the
// event arrives: the event stays open until listeners register, and after the
// first answer the others get a boot buffer (5 seconds) to answer too, but
// never past the platform's time limit for the event.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/Value.h"
#include "platform/device/Application.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

using UIBackgroundFetchResult = platform::UIBackgroundFetchResult;

class BackgroundFetchManager {
public:
    using Listener = std::function<void()>;
    using CompletionHandler = platform::BackgroundFetchCompletionHandler;

    // The user-defaults key of the stored configuration.
    static constexpr const char* kDefaultsKey = "BackgroundFetchManager";
    static constexpr std::chrono::milliseconds kBootBuffer{5000};

    static BackgroundFetchManager& sharedInstance();

    // Reads the application's state now: a manager made while the application
    // is in the background was launched for a fetch.
    explicit BackgroundFetchManager(std::chrono::milliseconds bootBuffer = kBootBuffer);
    ~BackgroundFetchManager();
    BackgroundFetchManager(const BackgroundFetchManager&) = delete;
    BackgroundFetchManager& operator=(const BackgroundFetchManager&) = delete;

    // Applies and stores the configuration; answers status().
    int64_t configure(const platform::Value& config);
    void applyConfig(const platform::Value& config);
    int64_t status() const;

    void addListener(const std::string& name, Listener callback);
    bool hasListener(const std::string& name) const;
    void removeListener(const std::string& name);

    bool start();
    void stop();

    void performFetchWithCompletionHandler(CompletionHandler completionHandler);
    // A listener's answer to the event under way.
    void finish(const std::string& name, unsigned long result);
    void doFinish();
    void onAppTerminate();

    bool stopOnTerminate() const;
    void setStopOnTerminate(bool stop);
    bool configured() const;
    bool active() const;
    bool launchedInBackground() const;

    // The combined result of several answers: failed as soon as one failed,
    // else new data when one found some, else (and for none) no data.
    static UIBackgroundFetchResult combine(const std::map<std::string, unsigned long>& responses);

private:
    // Closes the event under way with the combined result (logged). The handler
    // comes back as a call to make once the lock is released.
    std::function<void()> completeLocked();
    void cancelBootBufferLocked();
    // The boot buffer, cut short where it would run past the event's time limit.
    std::chrono::milliseconds bootBufferLocked() const;

    const std::chrono::milliseconds bootBuffer_;
    mutable std::recursive_mutex mutex_;
    std::map<std::string, Listener> listeners_;
    std::map<std::string, unsigned long> responses_;
    CompletionHandler completionHandler_;
    std::chrono::steady_clock::time_point eventBegan_;  // of the event under way
    bool launchedInBackground_ = false;
    // The boot-buffer timer, identified by a generation: a timer of an older
    // generation does nothing when it fires.
    bool bootBufferTimer_ = false;
    uint64_t bootBufferGeneration_ = 0;
    bool stopOnTerminate_ = true;
    bool configured_ = false;
    bool active_ = false;
    // Timers hold a weak reference: one that fires after the manager is gone does nothing.
    std::shared_ptr<int> lifetime_;
    platform::ObserverToken terminateObservation_;
};

}  // namespace wharf
