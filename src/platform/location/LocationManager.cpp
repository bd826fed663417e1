#include "platform/location/LocationManager.h"

#include <algorithm>
#include <mutex>

#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"

namespace wharf::platform {

bool CircularRegion::containsCoordinate(const LocationCoordinate& coordinate) const {
    return distanceBetween(center, coordinate) <= radius;
}

struct LocationManager::State : std::enable_shared_from_this<State> {
    enum class Side { Unknown, Inside, Outside };
    struct Monitored {
        CircularRegion region;
        Side side = Side::Unknown;
    };

    explicit State(std::shared_ptr<LocationSource> s) : source(std::move(s)) {}

    const std::shared_ptr<LocationSource> source;
    mutable std::mutex mutex;
    bool alive = true;
    std::weak_ptr<LocationManagerDelegate> delegate;

    bool allowsBackground = false;
    bool pausesAutomatically = true;
    int64_t activityType = 1;
    double desiredAccuracy = -1;
    double distanceFilter = kLocationDistanceFilterNone;

    bool updating = false;
    bool significant = false;
    std::vector<Monitored> regions;
    std::optional<LocationFix> lastFix;
    std::optional<LocationFix> lastReported;
    std::optional<LocationFix> lastSignificant;

    bool observing = false;
    bool detachPending = false;
    uint64_t token = 0;

    bool neededLocked() const { return updating || significant || !regions.empty(); }

    // Observes the source while anything needs fixes. Letting go waits for the
    // main loop, so that a stop followed at once by a start (a mode switch)
    // does not restart the source.
    void updateObservationLocked() {
        if (neededLocked() && !observing) {
            std::weak_ptr<State> weak = shared_from_this();
            token = source->addObserver(
                [weak](const LocationFix& fix) {
                    if (auto self = weak.lock()) self->onFix(fix);
                },
                [weak](const Error& error) {
                    if (auto self = weak.lock()) self->onError(error);
                });
            observing = true;
        } else if (!neededLocked() && observing && !detachPending) {
            detachPending = true;
            RunLoop::performOnMain([weak = weak_from_this()] {
                auto self = weak.lock();
                if (!self) return;
                std::lock_guard lock(self->mutex);
                self->detachPending = false;
                if (!self->neededLocked() && self->observing) self->detachLocked();
            });
        }
    }

    void detachLocked() {
        observing = false;
        source->removeObserver(token);
        token = 0;
    }

    void reportServicesOffIfNeeded() {
        if (source->servicesEnabled()) return;
        RunLoop::performOnMain([weak = weak_from_this()] {
            auto self = weak.lock();
            if (!self) return;
            std::shared_ptr<LocationManagerDelegate> d;
            {
                std::lock_guard lock(self->mutex);
                if (!self->alive || !(self->updating || self->significant)) return;
                d = self->delegate.lock();
            }
            if (d)
                d->locationManagerDidFailWithError(
                    Error::withDescription(kLocationErrorDomain, kLocationErrorDenied, "Location services are off"));
        });
    }

    void onFix(const LocationFix& fix) {
        bool report = false;
        std::vector<CircularRegion> exits;
        std::shared_ptr<LocationManagerDelegate> d;
        {
            std::lock_guard lock(mutex);
            if (!alive) return;
            lastFix = fix;
            if (updating && (distanceFilter <= 0 || !lastReported ||
                             distanceBetween(lastReported->coordinate, fix.coordinate) >= distanceFilter)) {
                lastReported = fix;
                report = true;
            }
            if (significant && (!lastSignificant || distanceBetween(lastSignificant->coordinate, fix.coordinate) >=
                                                        kSignificantChangeDistance)) {
                lastSignificant = fix;
                report = true;
            }
            const double margin = std::max(fix.horizontalAccuracy, kRegionMinimumHysteresis);
            for (auto& m : regions) {
                const double d = distanceBetween(m.region.center, fix.coordinate);
                Side side = m.side;
                if (d <= m.region.radius)
                    side = Side::Inside;
                else if (d > m.region.radius + margin)
                    side = Side::Outside;
                if (m.side == Side::Inside && side == Side::Outside && m.region.notifyOnExit) exits.push_back(m.region);
                m.side = side;
            }
            d = delegate.lock();
        }
        if (!d) return;
        // Exits first: the delegate may answer one by starting a new acquisition
        // that this very fix then serves.
        for (const auto& region : exits) {
            {
                std::lock_guard lock(mutex);
                const bool still = std::any_of(regions.begin(), regions.end(), [&](const Monitored& m) {
                    return m.region.identifier == region.identifier;
                });
                if (!alive || !still) continue;
            }
            d->locationManagerDidExitRegion(region);
        }
        if (report) d->locationManagerDidUpdateLocations({fix});
    }

    void onError(const Error& error) {
        std::shared_ptr<LocationManagerDelegate> d;
        {
            std::lock_guard lock(mutex);
            if (!alive || !(updating || significant)) return;
            d = delegate.lock();
        }
        if (d) d->locationManagerDidFailWithError(error);
    }
};

LocationManager::LocationManager(std::shared_ptr<LocationSource> source)
    : state_(std::make_shared<State>(source ? std::move(source) : LocationSource::shared())) {}

LocationManager::~LocationManager() {
    std::lock_guard lock(state_->mutex);
    state_->alive = false;
    state_->delegate.reset();
    state_->updating = state_->significant = false;
    state_->regions.clear();
    if (state_->observing) state_->detachLocked();
}

bool LocationManager::locationServicesEnabled() { return LocationSource::shared()->servicesEnabled(); }

AuthorizationStatus LocationManager::authorizationStatus() {
    return locationServicesEnabled() ? AuthorizationStatus::AuthorizedAlways : AuthorizationStatus::Denied;
}

void LocationManager::setDelegate(std::weak_ptr<LocationManagerDelegate> delegate) {
    {
        std::lock_guard lock(state_->mutex);
        state_->delegate = std::move(delegate);
    }
    RunLoop::performOnMain([weak = std::weak_ptr<State>(state_)] {
        auto self = weak.lock();
        if (!self) return;
        std::shared_ptr<LocationManagerDelegate> d;
        {
            std::lock_guard lock(self->mutex);
            if (!self->alive) return;
            d = self->delegate.lock();
        }
        if (d) d->locationManagerDidChangeAuthorizationStatus(authorizationStatus());
    });
}

void LocationManager::setAllowsBackgroundLocationUpdates(bool allows) {
    std::lock_guard lock(state_->mutex);
    state_->allowsBackground = allows;
}

void LocationManager::setPausesLocationUpdatesAutomatically(bool pauses) {
    std::lock_guard lock(state_->mutex);
    state_->pausesAutomatically = pauses;
}

bool LocationManager::pausesLocationUpdatesAutomatically() const {
    std::lock_guard lock(state_->mutex);
    return state_->pausesAutomatically;
}

void LocationManager::setActivityType(int64_t activityType) {
    std::lock_guard lock(state_->mutex);
    state_->activityType = activityType;
}

int64_t LocationManager::activityType() const {
    std::lock_guard lock(state_->mutex);
    return state_->activityType;
}

void LocationManager::setDesiredAccuracy(double metres) {
    std::lock_guard lock(state_->mutex);
    state_->desiredAccuracy = metres;
}

double LocationManager::desiredAccuracy() const {
    std::lock_guard lock(state_->mutex);
    return state_->desiredAccuracy;
}

void LocationManager::setDistanceFilter(double metres) {
    std::lock_guard lock(state_->mutex);
    state_->distanceFilter = metres;
}

double LocationManager::distanceFilter() const {
    std::lock_guard lock(state_->mutex);
    return state_->distanceFilter;
}

void LocationManager::startUpdatingLocation() {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->alive || state_->updating) return;
        state_->updating = true;
        state_->lastReported.reset();  // the first fix after a start is always reported
        state_->updateObservationLocked();
    }
    state_->reportServicesOffIfNeeded();
}

void LocationManager::stopUpdatingLocation() {
    std::lock_guard lock(state_->mutex);
    if (!state_->updating) return;
    state_->updating = false;
    state_->updateObservationLocked();
}

bool LocationManager::isUpdatingLocation() const {
    std::lock_guard lock(state_->mutex);
    return state_->updating;
}

void LocationManager::startMonitoringSignificantLocationChanges() {
    {
        std::lock_guard lock(state_->mutex);
        if (!state_->alive || state_->significant) return;
        state_->significant = true;
        state_->lastSignificant.reset();
        state_->updateObservationLocked();
    }
    state_->reportServicesOffIfNeeded();
}

void LocationManager::stopMonitoringSignificantLocationChanges() {
    std::lock_guard lock(state_->mutex);
    if (!state_->significant) return;
    state_->significant = false;
    state_->updateObservationLocked();
}

bool LocationManager::isMonitoringSignificantLocationChanges() const {
    std::lock_guard lock(state_->mutex);
    return state_->significant;
}

void LocationManager::startMonitoringForRegion(const CircularRegion& region) {
    std::lock_guard lock(state_->mutex);
    if (!state_->alive) return;
    auto& regions = state_->regions;
    regions.erase(std::remove_if(regions.begin(), regions.end(),
                                 [&](const State::Monitored& m) { return m.region.identifier == region.identifier; }),
                  regions.end());
    regions.push_back({region, State::Side::Unknown});
    state_->updateObservationLocked();
}

void LocationManager::stopMonitoringForRegion(const CircularRegion& region) {
    std::lock_guard lock(state_->mutex);
    auto& regions = state_->regions;
    regions.erase(std::remove_if(regions.begin(), regions.end(),
                                 [&](const State::Monitored& m) { return m.region.identifier == region.identifier; }),
                  regions.end());
    state_->updateObservationLocked();
}

std::vector<CircularRegion> LocationManager::monitoredRegions() const {
    std::lock_guard lock(state_->mutex);
    std::vector<CircularRegion> out;
    for (const auto& m : state_->regions) out.push_back(m.region);
    return out;
}

std::optional<LocationFix> LocationManager::location() const {
    std::lock_guard lock(state_->mutex);
    return state_->lastFix;
}

}  // namespace wharf::platform
