#include "plugins/background-geolocation/LocationManager.h"

#include <glib.h>

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

#include "logging/LGLog.h"
#include "platform/base/Format.h"
#include "platform/base/Url.h"
#include "platform/device/SystemSound.h"
#include "platform/dispatch/Dispatch.h"
#include "plugins/background-geolocation/LocationManagerShared.h"
#include "sqldb/SQLDateFormatter.h"

namespace wharf {

namespace {

using platform::Value;
using namespace std::chrono_literals;
using namespace location_manager;

constexpr auto kMaxLocationAge = 30.0;  // seconds
constexpr auto kAcquisitionTimeout = 15s;
constexpr float kMaxDistanceFilter = 1000;
constexpr float kSpeedLimitForFilter = 100;
constexpr const char* kStationaryRegionIdentifier = "LocationManager stationary region";

platform::Error startError(const char* message) {
    return platform::Error(kLocationManagerErrorDomain, 2, Value{{"code", 2}, {"message", message}});
}

std::string localTimeZone() {
    GTimeZone* zone = g_time_zone_new_local();
    std::string id = g_time_zone_get_identifier(zone);
    g_time_zone_unref(zone);
    return id;
}

}  // namespace

namespace location_manager {

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    std::string text = platform::formatv(fmt, args);
    va_end(args);
    return text;
}

}  // namespace location_manager

std::shared_ptr<LocationManager> LocationManager::create(Environment environment) {
    std::shared_ptr<LocationManager> manager(new LocationManager(std::move(environment)));
    manager->locationManager_->setDelegate(std::weak_ptr<platform::LocationManagerDelegate>(manager));
    // Opened ahead of the first fix, on the store's queue: the open checks
    // the schema, which waits while another program holds the store locked.
    manager->storeQueue_->async([weak = std::weak_ptr<LocationManager>(manager)] {
        auto self = weak.lock();
        if (self && self->store_.open()) self->tellSetAsideStore();
    });
    return manager;
}

LocationManager::LocationManager(Environment environment)
    : clock_(environment.clock ? std::move(environment.clock) : platform::Clock::shared()),
      store_(environment.store ? *environment.store : SQLiteLocationDAO::sharedInstance()),
      application_(environment.application ? *environment.application : platform::Application::shared()),
      locationManager_(std::make_unique<platform::LocationManager>(std::move(environment.source))),
      storeQueue_(platform::dispatch::createSerialQueue("wharf.geolocation.store")),
      storeRetryInterval_(kStoreRetryInterval) {
    // Tracking goes on in the background: that is the point of this manager.
    locationManager_->setAllowsBackgroundLocationUpdates(true);
    localNotification_.timeZone = localTimeZone();
}

LocationManager::~LocationManager() {
    std::lock_guard lock(mutex_);
    if (reach_) reach_->stopNotifier();
    endBackgroundTaskLocked();
}

void LocationManager::setDelegate(std::weak_ptr<wharf::LocationManagerDelegate> delegate) {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
}

std::shared_ptr<wharf::LocationManagerDelegate> LocationManager::delegate() const {
    std::lock_guard lock(mutex_);
    return delegate_.lock();
}

// --- configuration and control -------------------------------------------------------

bool LocationManager::configure(const Config& config, platform::Error* /*error*/) {
    LGLogVerbose("LocationManager configure");
    LGLogDebug("%s", config.description().c_str());
    std::shared_ptr<LocationUploader> startUploader;
    {
        std::lock_guard lock(mutex_);
        config_ = config;
        configured_ = true;
        locationManager_->setPausesLocationUpdatesAutomatically(config.pauseLocationUpdates);
        locationManager_->setActivityType(config.decodeActivityType());
        locationManager_->setDistanceFilter(static_cast<double>(config.distanceFilter));
        locationManager_->setDesiredAccuracy(static_cast<double>(config.decodeDesiredAccuracy()));
        if (config.hasSyncUrl() && !uploader_) {
            uploader_ = LocationUploader::create(store_, clock_);
            startUploader = uploader_;
        }
        watchUploadHostLocked();
    }
    tellSetAsideStore();
    // Batches a previous run left unsent go out now, with any rows waiting.
    // Off the caller's queue (the page's actions): the store they need may
    // be locked by another program.
    if (startUploader)
        platform::dispatch::globalQueue(platform::dispatch::Priority::Background)
            ->async([startUploader, url = *config.syncUrl, threshold = config.syncThreshold] {
                startUploader->start(url, threshold);
            });
    return true;
}

// The page hears through its event channel that what the store held could
// not be read (and where it was kept): once configured, for the event
// channel to be there, whichever comes last of the configuration and the
// store's opening.
void LocationManager::tellSetAsideStore() {
    {
        std::lock_guard lock(mutex_);
        if (!configured_) return;
    }
    auto aside = store_.takeSetAsideFile();
    if (!aside) return;
    const std::string name = std::filesystem::path(*aside).filename().string();
    const std::string message =
        "The location store could not be read; it was set aside as " + name + " and an empty one started";
    LGLogError("LocationManager: %s", message.c_str());
    if (auto d = delegate())
        d->onError(platform::Error(kStoreErrorDomain, SQLITE_NOTADB,
                                   Value{{"code", SQLITE_NOTADB}, {"message", message}, {"file", *aside}}));
}

// Reachability follows the host that fixes are posted to.
void LocationManager::watchUploadHostLocked() {
    const std::optional<std::string>& target = config_.hasUrl() ? config_.url : config_.syncUrl;
    std::string host;
    if (target)
        if (auto url = platform::Url::parse(*target)) host = url->host();
    if (host == reachHost_ && (reach_ || host.empty())) return;
    stopWatchingReachabilityLocked();
    reach_.reset();
    reachHost_ = host;
    if (host.empty()) return;
    reach_ = Reachability::reachabilityWithHostname(host);
    if (!reach_) return;
    std::weak_ptr<LocationManager> weak = weak_from_this();
    reach_->setReachableBlock([weak](Reachability& reach) {
        LGLogInfo("Network is now reachable");
        if (auto self = weak.lock()) self->reachabilityChanged(reach, true);
    });
    reach_->setUnreachableBlock([weak](Reachability& reach) {
        LGLogInfo("Network is now unreachable");
        if (auto self = weak.lock()) self->reachabilityChanged(reach, false);
    });
}

// A change that comes after the watch ended (it was on its way) or from a
// host no longer posted to says nothing about the posts now.
void LocationManager::reachabilityChanged(const Reachability& reach, bool reachable) {
    std::lock_guard lock(mutex_);
    if (watchingReachability_ && reach_.get() == &reach) hasConnectivity_ = reachable;
}

// Only a running notifier can tell when the network is back: without one the
// next fix is posted again, or the posts would stay off for good.
void LocationManager::stopWatchingReachabilityLocked() {
    if (reach_) reach_->stopNotifier();
    watchingReachability_ = false;
    hasConnectivity_ = true;
}

bool LocationManager::start(platform::Error* error) {
    std::lock_guard lock(mutex_);
    LGLogInfo("LocationManager will start: %d", isStarted_ ? 1 : 0);
    if (isStarted_) return false;
    switch (platform::LocationManager::authorizationStatus()) {
    case platform::AuthorizationStatus::Restricted:
        platform::setError(error, startError("Application's use of location services is restricted."));
        return false;
    case platform::AuthorizationStatus::Denied:
        platform::setError(error, startError("User denied use of location services."));
        return false;
    case platform::AuthorizationStatus::NotDetermined:
        LGLogVerbose("LocationManager requestAlwaysAuthorization");
        locationManager_->requestAlwaysAuthorization();
        break;
    default: break;
    }
    isStarted_ = true;
    switchModeLocked(FOREGROUND_MODE);
    return true;
}

bool LocationManager::stop(platform::Error* /*error*/) {
    LGLogInfo("LocationManager stop");
    std::lock_guard lock(mutex_);
    if (!isStarted_) return true;
    isStarted_ = false;
    stopUpdatingLocationLocked();
    locationManager_->stopMonitoringSignificantLocationChanges();
    stopMonitoringForRegionLocked();
    stopWatchingReachabilityLocked();
    return true;
}

bool LocationManager::finish() {
    LGLogInfo("LocationManager finish");
    stopBackgroundTask();
    return true;
}

void LocationManager::switchMode(uint64_t mode) {
    std::lock_guard lock(mutex_);
    switchModeLocked(mode);
}

void LocationManager::switchModeLocked(uint64_t mode) {
    LGLogInfo("LocationManager switchMode %" PRIu64, mode);
    operationMode_ = mode;
    if (!isStarted_) return;
    playSound(mode == FOREGROUND_MODE ? kSoundForeground : kSoundBackground);
    if (mode == BACKGROUND_MODE && config_.saveBatteryOnBackground) {
        isAcquiringStationaryLocation_ = true;
        isAcquiringSpeed_ = false;
        locationManager_->startMonitoringSignificantLocationChanges();
    } else if (mode == FOREGROUND_MODE || !config_.saveBatteryOnBackground) {
        isAcquiringStationaryLocation_ = false;
        isAcquiringSpeed_ = true;
        stopMonitoringForRegionLocked();
        locationManager_->stopMonitoringSignificantLocationChanges();
    }
    aquireStartTime_ = clock_->monotonicNow();
    stopUpdatingLocationLocked();
    locationManager_->setDistanceFilter(platform::kLocationDistanceFilterNone);
    locationManager_->setDesiredAccuracy(platform::kLocationAccuracyBestForNavigation);
    startUpdatingLocationLocked();
}

void LocationManager::startUpdatingLocationLocked() {
    if (isUpdatingLocation_) return;
    locationManager_->startUpdatingLocation();
    isUpdatingLocation_ = true;
}

void LocationManager::stopUpdatingLocationLocked() {
    if (!isUpdatingLocation_) return;
    locationManager_->stopUpdatingLocation();
    isUpdatingLocation_ = false;
}

bool LocationManager::isLocationEnabled() const { return platform::LocationManager::locationServicesEnabled(); }

std::optional<Value> LocationManager::getStationaryLocation() const {
    std::lock_guard lock(mutex_);
    if (!stationaryRegion_) return std::nullopt;
    Value dict = Value::object();
    dict["latitude"] = stationaryRegion_->center.latitude;
    dict["longitude"] = stationaryRegion_->center.longitude;
    dict["radius"] = stationaryRegion_->radius;
    dict["time"] = stationarySince_ ? secondsSince1970(*stationarySince_) * 1000.0 : 0.0;
    return dict;
}

Value LocationManager::getLocations(platform::Error* error) {
    Value all = Value::array();
    for (const auto& l : store_.getAllLocations(error)) all.push_back(l.toDictionary());
    return all;
}

Value LocationManager::getValidLocations(platform::Error* error) {
    Value valid = Value::array();
    for (const auto& l : store_.getValidLocations(error)) valid.push_back(l.toDictionaryWithId());
    return valid;
}

// A row deleted while its batch is out must not come back if the batch
// fails: the uploader forgets it first, then the store marks it.
bool LocationManager::deleteLocation(int64_t locationId) {
    if (auto uploader = this->uploader())
        uploader->forgetLocations([&](const Location& l) { return l.id == locationId; });
    return store_.deleteLocation(locationId);
}

bool LocationManager::deleteAllLocations() {
    if (auto uploader = this->uploader()) uploader->forgetLocations([](const Location&) { return true; });
    return store_.deleteAllLocations();
}

std::shared_ptr<LocationUploader> LocationManager::uploader() const {
    std::lock_guard lock(mutex_);
    return uploader_;
}

void LocationManager::onAppTerminate() {
    // A clean quit leaves nothing in memory that the store can take now: the
    // marks of fixes the server took (else they go again at the next start)
    // and fixes waiting unstored.
    storeQueue_->sync([this] {
        store_.markDeliveredLocations();
        storeWaitingLocations();
    });
    bool stopping;
    {
        std::lock_guard lock(mutex_);
        stopping = config_.stopOnTerminate;
    }
    if (stopping) {
        LGLogInfo("LocationManager is stopping on app terminate.");
        stop(nullptr);
    } else {
        switchMode(BACKGROUND_MODE);
    }
}

bool LocationManager::isStarted() const {
    std::lock_guard lock(mutex_);
    return isStarted_;
}

uint64_t LocationManager::operationMode() const {
    std::lock_guard lock(mutex_);
    return operationMode_;
}

bool LocationManager::isAcquiringStationaryLocation() const {
    std::lock_guard lock(mutex_);
    return isAcquiringStationaryLocation_;
}

bool LocationManager::isAcquiringSpeed() const {
    std::lock_guard lock(mutex_);
    return isAcquiringSpeed_;
}

std::size_t LocationManager::queuedLocations() const {
    std::lock_guard lock(mutex_);
    return locationQueue_.size();
}

std::size_t LocationManager::unstoredLocations() const {
    std::lock_guard lock(mutex_);
    return unstored_.size();
}

std::chrono::milliseconds LocationManager::storeRetryInterval() const {
    std::lock_guard lock(mutex_);
    return storeRetryInterval_;
}

void LocationManager::waitForStore() const {
    storeQueue_->sync([] {});
}

bool LocationManager::holdsBackgroundTask() const {
    std::lock_guard lock(mutex_);
    return taskHeld_;
}

float LocationManager::calculateDistanceFilter(float speed) const {
    float filter;
    {
        std::lock_guard lock(mutex_);
        filter = static_cast<float>(config_.distanceFilter);
    }
    if (speed < kSpeedLimitForFilter) {
        const float rounded = std::floor(static_cast<float>(std::fabs(speed) / 5.0 + 0.5)) * 5;
        filter += rounded * rounded;
    }
    return std::min(filter, kMaxDistanceFilter);
}

// --- fixes -----------------------------------------------------------------------------

void LocationManager::locationManagerDidUpdateLocations(const std::vector<platform::LocationFix>& locations) {
    std::vector<Location> toQueue;
    {
        std::lock_guard lock(mutex_);
        LGLogDebug("LocationManager didUpdateLocations (operationMode: %" PRIu64 ")", operationMode_);
        const bool saveBattery = config_.saveBatteryOnBackground;
        const bool continuous =
            operationMode_ == FOREGROUND_MODE || (operationMode_ == BACKGROUND_MODE && !saveBattery);
        if (continuous) {
            startUpdatingLocationLocked();
        } else if (operationMode_ == BACKGROUND_MODE && saveBattery && !isAcquiringStationaryLocation_ &&
                   !stationaryRegion_) {
            switchModeLocked(operationMode_);
        }

        std::optional<Location> best;
        for (const auto& fix : locations) {
            Location location = Location::fromCLLocation(fix);
            location.type = "current";
            const double age = location.locationAge(*clock_);
            LGLogDebug("Location age %f", age);
            if (age > kMaxLocationAge || !location.hasAccuracy() || !location.hasTime(*clock_)) continue;
            if (!best) {
                best = location;
            } else if (location.isBetterLocation(&*best)) {
                LGLogInfo("Better location found: %s", location.description().c_str());
                best = location;
            }
        }
        if (!best) return;

        const double accuracy = best->accuracy.value_or(0);
        // A fix without an accuracy estimate (a receiver that sends none) is
        // kept, but it cannot show that an acquisition reached its goal.
        const bool accurate = best->hasAccuracyEstimate() && accuracy <= static_cast<double>(config_.desiredAccuracy);
        const bool timedOut = clock_->monotonicNow() - aquireStartTime_ >= kAcquisitionTimeout;
        if (isAcquiringStationaryLocation_) {
            LGLogDebug("Acquiring stationary location, accuracy: %s", platform::toJSONString(Value(accuracy)).c_str());
            playSound(kSoundAcquiring);
            if (accurate)
                LGLogDebug("LocationManager found most accurate stationary before timeout");
            else if (!timedOut)
                return;
            isAcquiringStationaryLocation_ = false;
            stopUpdatingLocationLocked();
            Location stationary = best->copy();
            stationary.type = "stationary";
            // The same fix goes to the server as its "current" twin: the copy's
            // row is kept for the record only, never uploaded.
            stationary.isValid = false;
            startMonitoringStationaryRegionLocked(stationary);
            toQueue = {stationary, *best};
        } else if (isAcquiringSpeed_) {
            playSound(kSoundAcquiring);
            if (accurate)
                LGLogDebug("LocationManager found most accurate location before timeout");
            else if (!timedOut)
                return;
            notify("Aggressive monitoring engaged");
            isAcquiringSpeed_ = false;
            locationManager_->setDesiredAccuracy(static_cast<double>(config_.desiredAccuracy));
            locationManager_->setDistanceFilter(calculateDistanceFilter(static_cast<float>(best->speed.value_or(-1))));
            startUpdatingLocationLocked();
            toQueue = {*best};
        } else if (continuous) {
            const double filter = calculateDistanceFilter(static_cast<float>(best->speed.value_or(-1)));
            const double current = locationManager_->distanceFilter();
            if (filter != current) {
                LGLogInfo("LocationManager updated distanceFilter, new: %f, old: %f", filter, current);
                locationManager_->setDistanceFilter(filter);
                startUpdatingLocationLocked();
            }
            toQueue = {*best};
        } else {
            if (locationIsBeyondStationaryRegionLocked(*best)) {
                notify("Manual stationary exit-detection");
                switchModeLocked(operationMode_);
            }
            toQueue = {*best};
        }
    }
    for (auto& location : toQueue) queue(std::move(location));
}

void LocationManager::startMonitoringStationaryRegionLocked(const Location& location) {
    const double latitude = location.latitude.value_or(0), longitude = location.longitude.value_or(0);
    const long radius = static_cast<long>(config_.stationaryRadius);
    LGLogDebug("LocationManager startMonitoringStationaryRegion {%f,%f,%ld}", latitude, longitude, radius);
    playSound(kSoundRegionSet);
    notify(format("Monitoring region {%f,%f,%ld}", latitude, longitude, radius));
    stopMonitoringForRegionLocked();
    platform::CircularRegion region{
        kStationaryRegionIdentifier, {latitude, longitude}, static_cast<double>(config_.stationaryRadius), true};
    locationManager_->startMonitoringForRegion(region);
    stationaryRegion_ = region;
    stationarySince_ = clock_->now();
}

void LocationManager::stopMonitoringForRegionLocked() {
    if (stationaryRegion_) locationManager_->stopMonitoringForRegion(*stationaryRegion_);
    stationaryRegion_.reset();
    stationarySince_.reset();
}

bool LocationManager::locationIsBeyondStationaryRegionLocked(const Location& location) const {
    if (!stationaryRegion_) return true;
    const bool contains = stationaryRegion_->containsCoordinate(location.coordinate());
    LGLogVerbose("LocationManager location {%s,%s} region {%f,%f,%f} contains: %d",
                 platform::toJSONString(Value(location.latitude.value_or(0))).c_str(),
                 platform::toJSONString(Value(location.longitude.value_or(0))).c_str(),
                 stationaryRegion_->center.latitude, stationaryRegion_->center.longitude, stationaryRegion_->radius,
                 contains ? 1 : 0);
    return !contains;
}

// --- platform events ---------------------------------------------------------------------

void LocationManager::locationManagerDidExitRegion(const platform::CircularRegion& region) {
    LGLogDebug("LocationManager didExitRegion {%f,%f,%f}", region.center.latitude, region.center.longitude,
               region.radius);
    playSound(kSoundRegionExit);
    notify("Exit stationary region");
    std::lock_guard lock(mutex_);
    switchModeLocked(operationMode_);
}

void LocationManager::locationManagerDidPauseLocationUpdates() {
    LGLogDebug("LocationManager location updates paused");
    notify("Location updates paused");
}

void LocationManager::locationManagerDidResumeLocationUpdates() {
    LGLogDebug("LocationManager location updates resumed");
    notify("Location updates resumed b");
}

void LocationManager::locationManagerDidFailWithError(const platform::Error& error) {
    LGLogError("LocationManager didFailWithError: %s", error.description().c_str());
    playSound(kSoundError);
    notify("Location error: " + error.localizedDescription());
    if (auto d = delegate()) d->onError(error);
}

void LocationManager::locationManagerDidChangeAuthorizationStatus(platform::AuthorizationStatus status) {
    const unsigned raw = static_cast<unsigned>(status);
    LGLogInfo("LocationManager didChangeAuthorizationStatus %u", raw);
    notify(format("Authorization status changed %u", raw));
    auto d = delegate();
    if (!d) return;
    if (status == platform::AuthorizationStatus::Restricted || status == platform::AuthorizationStatus::Denied)
        d->onAuthorizationChanged(2);
    else if (status == platform::AuthorizationStatus::AuthorizedAlways)
        d->onAuthorizationChanged(1);
}

// --- debug narration ---------------------------------------------------------------------

void LocationManager::notify(const std::string& text) {
    platform::LocalNotification notification;
    {
        std::lock_guard lock(mutex_);
        if (!config_.isDebugging) return;
        localNotification_.fireDate = clock_->now();
        localNotification_.alertBody = text;
        notification = localNotification_;
    }
    platform::UserNotifier::shared().scheduleLocalNotification(notification);
}

void LocationManager::playSound(uint32_t sound) const {
    std::lock_guard lock(mutex_);
    if (config_.isDebugging) platform::AudioServicesPlaySystemSound(sound);
}

}  // namespace wharf
