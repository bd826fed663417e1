#pragma once
// The tracking engine of the geolocation plug-in. It runs the platform's
// location manager in one of two modes:
//
// - FOREGROUND_MODE (1): an accurate first fix, then continuous updates with a
//   distance filter that grows with the square of the speed;
// - BACKGROUND_MODE (0): with saveBatteryOnBackground, one accurate
//   "stationary" fix, then a region around it plus significant changes, and a
//   fresh acquisition once the device leaves the region.
//
// Every fix it takes is stored in the location store, queued, and handed out
// one at a time under a background task: to its delegate (the plug-in), and
// for ordinary fixes to the configured server (one POST per fix) and to the
// batch uploader. The next fix goes out once the page calls finish(), the task
// expires, or a later fix finds the task more than 30 seconds old.
//
// Fixes are stored on a queue of the manager's own, never on the thread that
// took them: a store that waits on a lock or cannot be written holds up
// neither the hand-out nor the platform's callbacks. A fix the store cannot
// take waits in memory (at most maxLocations of them, the newest) and is
// stored as soon as the store can take it again: with the next fix, or by a
// retry that waits twice as long each time it fails (1 s up to 30 s), as do
// the marks of fixes the server took while the store could not write them.
// The delegate hears once that fixes wait unstored.
//
// Every method may be called from any thread; the platform's callbacks come on
// the main thread.
#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform/Application.h"
#include "platform/Clock.h"
#include "platform/Dispatch.h"
#include "platform/Error.h"
#include "platform/LocationManager.h"
#include "platform/UserNotifier.h"
#include "platform/Value.h"
#include "plugins/background-geolocation/Config.h"
#include "plugins/background-geolocation/Location.h"
#include "plugins/background-geolocation/LocationUploader.h"
#include "plugins/background-geolocation/Reachability.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

namespace wharf {

inline constexpr uint64_t BACKGROUND_MODE = 0;
inline constexpr uint64_t FOREGROUND_MODE = 1;
inline constexpr const char* kLocationManagerErrorDomain = "com.Velloran";

// What the plug-in hears from the manager. Calls come on whichever thread
// hands the fix out, or on the main thread for the platform's events.
class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    // 1: location may be used always; 2: it may not (restricted or denied).
    virtual void onAuthorizationChanged(int64_t status) = 0;
    virtual void onLocationChanged(const platform::Value& location) = 0;
    // The location's dictionary with "radius".
    virtual void onStationaryChanged(const platform::Value& location) = 0;
    virtual void onError(const platform::Error& error) = 0;
};

// What the manager works with; tests give their own.
struct LocationManagerEnvironment {
    std::shared_ptr<platform::LocationSource> source;  // nullptr: the process's
    std::shared_ptr<platform::Clock> clock;  // nullptr: the process's
    SQLiteLocationDAO* store = nullptr;  // nullptr: the shared store
    platform::Application* application = nullptr;  // nullptr: the shared application
};

class LocationManager : public platform::LocationManagerDelegate, public std::enable_shared_from_this<LocationManager> {
public:
    using Environment = LocationManagerEnvironment;

    static std::shared_ptr<LocationManager> create(Environment environment = {});
    ~LocationManager() override;
    LocationManager(const LocationManager&) = delete;
    LocationManager& operator=(const LocationManager&) = delete;

    void setDelegate(std::weak_ptr<wharf::LocationManagerDelegate> delegate);

    // Applies the configuration at once. Always true.
    bool configure(const Config& config, platform::Error* error);
    // False without an error when already started; false with the
    // "com.Velloran" error (code 2) when location use is not allowed.
    bool start(platform::Error* error);
    bool stop(platform::Error* error);
    // Ends the task of the fix handed out last, which lets the next one go.
    bool finish();
    void switchMode(uint64_t mode);
    bool isLocationEnabled() const;
    // A desktop has no settings page to open for an application.
    void showAppSettings() {}
    void showLocationSettings() {}
    // {"latitude", "longitude", "radius", "time"} of the stationary region.
    std::optional<platform::Value> getStationaryLocation() const;
    // Empty, with `error` set, when the store cannot be read.
    platform::Value getLocations(platform::Error* error = nullptr);
    platform::Value getValidLocations(platform::Error* error = nullptr);
    bool deleteLocation(int64_t locationId);
    bool deleteAllLocations();
    void onAppTerminate();

    // State, for the plug-in and for tests.
    bool isStarted() const;
    uint64_t operationMode() const;
    bool isAcquiringStationaryLocation() const;
    bool isAcquiringSpeed() const;
    bool hasConnectivity() const { return hasConnectivity_; }
    std::size_t queuedLocations() const;
    // Fixes taken that the store has not taken yet.
    std::size_t unstoredLocations() const;
    // Waits until the store work queued so far has run (not a retry that
    // waits for its time).
    void waitForStore() const;
    // Upload steps (a fix's own POST, then the batch sync) run to their end.
    std::size_t finishedUploadSteps() const { return finishedUploadSteps_; }
    // How long the next retry of what the store refused waits: twice as
    // long after each retry that fails, up to 30 s.
    std::chrono::milliseconds storeRetryInterval() const;
    bool holdsBackgroundTask() const;
    // The distance filter for a speed: |speed| rounded to a multiple of 5,
    // squared, plus the configured filter (the configured filter alone from
    // 100 m/s on), at most 1000 m.
    float calculateDistanceFilter(float speed) const;
    platform::LocationManager& platformManager() { return *locationManager_; }

    // platform::LocationManagerDelegate (main thread).
    void locationManagerDidUpdateLocations(const std::vector<platform::LocationFix>& locations) override;
    void locationManagerDidExitRegion(const platform::CircularRegion& region) override;
    void locationManagerDidPauseLocationUpdates() override;
    void locationManagerDidResumeLocationUpdates() override;
    void locationManagerDidFailWithError(const platform::Error& error) override;
    void locationManagerDidChangeAuthorizationStatus(platform::AuthorizationStatus status) override;

private:
    // A fix taken: handed out from locationQueue_, stored from unstored_.
    // Read and changed under mutex_ only.
    struct TakenFix {
        Location location;  // with its row id once stored
        bool stored = false;
        // Its own POST runs before it could be stored: the store leaves it
        // alone meanwhile, so that it goes out by one route only.
        bool posting = false;
    };
    using TakenFixPtr = std::shared_ptr<TakenFix>;

    explicit LocationManager(Environment environment);

    void switchModeLocked(uint64_t mode);
    void startUpdatingLocationLocked();
    void stopUpdatingLocationLocked();
    void startMonitoringStationaryRegionLocked(const Location& location);
    void stopMonitoringForRegionLocked();
    bool locationIsBeyondStationaryRegionLocked(const Location& location) const;
    void queue(Location location);
    void flushQueue();
    // Stores what waits in unstored_, oldest first, on storeQueue_.
    void storeLocationsLocked();
    void storeWaitingLocations();
    void scheduleStoreRetryLocked();
    void retryStore();
    // The upload step of a handed-out fix, once its store run is over.
    void uploadLater(const TakenFixPtr& fix);
    void createBackgroundTaskLocked();
    void endBackgroundTaskLocked();
    // Ends the held task (only `expected` when given) and hands out the next fix.
    void stopBackgroundTask(std::optional<platform::BackgroundTaskIdentifier> expected = std::nullopt);
    // False for a fix of unknown type.
    bool sync(const Location& location);
    void fireStationaryRegionListeners(const Location& location);
    void uploadStep(const TakenFixPtr& fix);
    void postLocation(const TakenFixPtr& fix, const Location& location, bool stored, const Config& config,
                      const std::shared_ptr<LocationUploader>& uploader, const std::shared_ptr<Reachability>& reach);
    // Ends an unstored fix's POST: delivered, it needs no row; else the store takes it.
    void settleUnstored(const TakenFixPtr& fix, bool delivered);
    void tellSetAsideStore();
    void notify(const std::string& text);
    void playSound(uint32_t sound) const;
    std::shared_ptr<wharf::LocationManagerDelegate> delegate() const;
    std::shared_ptr<LocationUploader> uploader() const;
    void watchUploadHostLocked();
    void stopWatchingReachabilityLocked();
    void reachabilityChanged(const Reachability& reach, bool reachable);

    const std::shared_ptr<platform::Clock> clock_;
    SQLiteLocationDAO& store_;
    platform::Application& application_;
    std::unique_ptr<platform::LocationManager> locationManager_;
    const platform::dispatch::QueuePtr storeQueue_;

    // Everything below is guarded by mutex_, which is never held while the
    // delegate is called.
    mutable std::recursive_mutex mutex_;
    bool isStarted_ = false;
    bool isUpdatingLocation_ = false;
    bool isAcquiringStationaryLocation_ = false;
    bool isAcquiringSpeed_ = false;
    std::atomic<bool> hasConnectivity_{true};
    uint64_t operationMode_ = BACKGROUND_MODE;
    platform::Clock::MonoTime aquireStartTime_{};
    std::optional<platform::CircularRegion> stationaryRegion_;
    std::optional<platform::Clock::WallTime> stationarySince_;
    std::deque<TakenFixPtr> locationQueue_;
    std::deque<TakenFixPtr> unstored_;  // oldest first
    bool storeRunQueued_ = false;
    bool storeRetryQueued_ = false;
    std::chrono::milliseconds storeRetryInterval_;
    bool toldUnstored_ = false;  // the delegate heard that fixes wait unstored
    platform::LocalNotification localNotification_;
    bool taskHeld_ = false;
    platform::BackgroundTaskIdentifier bgTask_ = platform::kInvalidBackgroundTask;
    platform::Clock::MonoTime lastBgTaskAt_{};
    Config config_;
    bool configured_ = false;  // config_ holds the page's configuration, not the defaults
    std::shared_ptr<LocationUploader> uploader_;
    std::shared_ptr<Reachability> reach_;
    bool watchingReachability_ = false;  // reach_'s notifier runs for the posts
    std::string reachHost_;
    std::weak_ptr<wharf::LocationManagerDelegate> delegate_;
    std::atomic<std::size_t> finishedUploadSteps_{0};
};

}  // namespace wharf
