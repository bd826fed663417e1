#pragma once
// The location service in the phone's shape: continuous updates with a
// distance filter, significant-change monitoring and circular regions, all
// computed here from the raw fixes of a LocationSource.
//
// - Updates report a fix once it lies `distanceFilter` metres or more from the
//   last one reported (every fix with kLocationDistanceFilterNone).
// - Significant changes report the first fix, then each one 500 m or more
//   from the last significant one.
// - A region is left when a fix lies beyond its radius by more than that
//   fix's accuracy (at least 10 m): a position wavering at the border does not
//   leave and come back. A region's state is first learned silently.
//
// Authorisation is granted ("always") wherever the machine has positions; with
// the "none" source location services are off and updates fail with
// kLocationErrorDenied. Every delegate call comes on the main thread; the
// manager's methods may be called from any thread.
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Error.h"
#include "platform/location/LocationFix.h"
#include "platform/location/LocationSource.h"

namespace wharf::platform {

inline constexpr double kLocationDistanceFilterNone = -1;
inline constexpr double kLocationAccuracyBestForNavigation = -2;
inline constexpr double kSignificantChangeDistance = 500;
inline constexpr double kRegionMinimumHysteresis = 10;

enum class AuthorizationStatus : int {
    NotDetermined = 0,
    Restricted = 1,
    Denied = 2,
    AuthorizedAlways = 3,
    AuthorizedWhenInUse = 4,
};

struct CircularRegion {
    std::string identifier;
    LocationCoordinate center;
    double radius = 0;  // metres
    bool notifyOnExit = true;

    bool containsCoordinate(const LocationCoordinate& coordinate) const;
};

class LocationManagerDelegate {
public:
    virtual ~LocationManagerDelegate() = default;
    virtual void locationManagerDidUpdateLocations(const std::vector<LocationFix>& /*locations*/) {}
    virtual void locationManagerDidExitRegion(const CircularRegion& /*region*/) {}
    virtual void locationManagerDidPauseLocationUpdates() {}
    virtual void locationManagerDidResumeLocationUpdates() {}
    virtual void locationManagerDidFailWithError(const Error& /*error*/) {}
    virtual void locationManagerDidChangeAuthorizationStatus(AuthorizationStatus /*status*/) {}
};

class LocationManager {
public:
    // nullptr: the process's source.
    explicit LocationManager(std::shared_ptr<LocationSource> source = nullptr);
    // Stops everything; no delegate call follows.
    ~LocationManager();
    LocationManager(const LocationManager&) = delete;
    LocationManager& operator=(const LocationManager&) = delete;

    static bool locationServicesEnabled();
    static AuthorizationStatus authorizationStatus();

    // The delegate hears the current authorisation status soon after it is set.
    void setDelegate(std::weak_ptr<LocationManagerDelegate> delegate);
    // Authorisation is never asked of anyone here: nothing changes.
    void requestAlwaysAuthorization() {}

    // Recorded: a desktop neither pauses nor spends power differently for them.
    void setAllowsBackgroundLocationUpdates(bool allows);
    void setPausesLocationUpdatesAutomatically(bool pauses);
    bool pausesLocationUpdatesAutomatically() const;
    void setActivityType(int64_t activityType);
    int64_t activityType() const;
    void setDesiredAccuracy(double metres);
    double desiredAccuracy() const;

    void setDistanceFilter(double metres);
    double distanceFilter() const;

    void startUpdatingLocation();
    void stopUpdatingLocation();
    bool isUpdatingLocation() const;
    void startMonitoringSignificantLocationChanges();
    void stopMonitoringSignificantLocationChanges();
    bool isMonitoringSignificantLocationChanges() const;
    // A region replaces any monitored one of the same identifier.
    void startMonitoringForRegion(const CircularRegion& region);
    void stopMonitoringForRegion(const CircularRegion& region);
    std::vector<CircularRegion> monitoredRegions() const;

    // The last raw fix the source reported while observed.
    std::optional<LocationFix> location() const;

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace wharf::platform
