// The location manager's queue: each fix taken is stored, handed out to the
// page one at a time, and delivered (its own POST, the batch sync), with the
// store tried again while it refuses and a background task held meanwhile.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>

#include "logging/LGLog.h"
#include "platform/dispatch/Dispatch.h"
#include "plugins/background-geolocation/LocationManager.h"
#include "plugins/background-geolocation/LocationManagerShared.h"

namespace wharf {

namespace {

using platform::Value;
using namespace std::chrono_literals;
using namespace location_manager;

constexpr auto kBackgroundTaskLimit = 30s;
// The store is tried ever less often while it keeps refusing, down to this.
constexpr std::chrono::milliseconds kMostStoreRetryInterval = 30s;

// Metres as a whole number, within what a long holds: the page may
// configure a filter of 1e19 m.
long wholeMetres(double metres) {
    constexpr auto kMost = static_cast<double>(std::numeric_limits<long>::max());
    if (std::isnan(metres)) return 0;
    if (metres >= kMost) return std::numeric_limits<long>::max();
    if (metres <= -kMost) return std::numeric_limits<long>::min();
    return static_cast<long>(metres);
}

}  // namespace

void LocationManager::queue(Location location) {
    LGLogDebug("LocationManager queue %s", location.description().c_str());
    auto fix = std::make_shared<TakenFix>();
    fix->location = std::move(location);
    {
        std::lock_guard lock(mutex_);
        // A page that never calls finish gets one fix every 30 seconds: the
        // queue would grow for as long as fixes come faster. It keeps no more
        // than the store does, the newest; the rows stay for the batch upload.
        // A store that cannot be written keeps the same number waiting.
        const auto most = static_cast<std::size_t>(std::max<int64_t>(config_.maxLocations, 1));
        while (locationQueue_.size() >= most) {
            LGLogWarn("LocationManager queue full (%zu): the oldest waiting location is not handed out",
                      locationQueue_.size());
            locationQueue_.pop_front();
        }
        while (unstored_.size() >= most) {
            LGLogWarn("LocationManager: %zu locations wait unstored: the oldest is dropped", unstored_.size());
            unstored_.pop_front();
        }
        locationQueue_.push_back(fix);
        unstored_.push_back(fix);
        storeLocationsLocked();
    }
    flushQueue();
}

void LocationManager::storeLocationsLocked() {
    if (storeRunQueued_) return;
    storeRunQueued_ = true;
    storeQueue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) self->storeWaitingLocations();
    });
}

// On storeQueue_. A fix the store refuses stays waiting, and so do the ones
// after it: they are tried again with the next fix, or after a pause.
void LocationManager::storeWaitingLocations() {
    std::optional<platform::Error> tell;
    std::string failure;
    std::size_t stored = 0;
    {
        std::unique_lock lock(mutex_);
        storeRunQueued_ = false;
        for (;;) {
            auto next = std::find_if(unstored_.begin(), unstored_.end(), [](const auto& f) { return !f->posting; });
            if (next == unstored_.end()) break;
            const TakenFixPtr fix = *next;
            const Location location = fix->location;
            // Until the page's configuration is applied its maxLocations is
            // not known: a default must not cut a store the page sized larger.
            const int64_t limit = configured_ ? config_.maxLocations : INT64_MAX;
            lock.unlock();
            platform::Error error;
            const auto id = store_.persistLocation(location, limit, &error);
            lock.lock();
            if (!id && !error.domain.empty()) {
                failure = error.localizedDescription();
                if (!toldUnstored_) {
                    toldUnstored_ = true;
                    const std::string message = "The location store cannot be written (" + failure +
                                                "): locations wait unstored until it can be";
                    tell = platform::Error(kStoreErrorDomain, error.code,
                                           Value{{"code", error.code}, {"message", message}});
                }
                scheduleStoreRetryLocked();
                break;
            }
            fix->location.id = id;
            fix->stored = true;
            std::erase(unstored_, fix);
            ++stored;
        }
        if (!failure.empty()) {
            const std::size_t waiting = unstored_.size();
            lock.unlock();
            if (tell) LGLogError("LocationManager: %s", tell->userInfo["message"].get<std::string>().c_str());
            LGLogWarn("LocationManager: %zu locations wait unstored: %s", waiting, failure.c_str());
            if (tell)
                if (auto d = delegate()) d->onError(*tell);
        } else if (toldUnstored_ && stored > 0) {
            // Only a write that went through ends the spell: the waiting list
            // also empties while the store is still refusing, as fixes reach
            // the server on their own.
            toldUnstored_ = false;
            lock.unlock();
            LGLogInfo("LocationManager: the location store takes locations again (%zu stored now)", stored);
        }
    }
    // The store may have been opened by this pass, and started afresh.
    tellSetAsideStore();
}

void LocationManager::scheduleStoreRetryLocked() {
    if (storeRetryQueued_) return;
    storeRetryQueued_ = true;
    storeQueue_->after(storeRetryInterval_, [weak = weak_from_this()] {
        if (auto self = weak.lock()) self->retryStore();
    });
}

// On storeQueue_, while the store refuses fixes or the marks of fixes the
// server took: tried again until it takes them all, whether or not new
// fixes come.
void LocationManager::retryStore() {
    {
        std::lock_guard lock(mutex_);
        storeRetryQueued_ = false;
        // Should this one fail as well, the next waits twice as long.
        storeRetryInterval_ = std::min(storeRetryInterval_ * 2, kMostStoreRetryInterval);
    }
    const bool marked = store_.markDeliveredLocations();
    storeWaitingLocations();
    std::lock_guard lock(mutex_);
    if (!marked)
        scheduleStoreRetryLocked();
    else if (!storeRetryQueued_)
        storeRetryInterval_ = kStoreRetryInterval;  // nothing left to try: the next spell starts afresh
}

// Hands out at most one fix at a time. A loop, not a recursion: a fix that
// cannot be handed out ends its task and the next one is tried at once.
void LocationManager::flushQueue() {
    for (;;) {
        TakenFixPtr fix;
        Location location;
        {
            std::lock_guard lock(mutex_);
            if (taskHeld_) {
                if (clock_->monotonicNow() - lastBgTaskAt_ <= kBackgroundTaskLimit) return;
                LGLogWarn("LocationManager#flushQueue has to kill an out-standing background-task!");
                notify("Outstanding bg-task was force-killed");
                endBackgroundTaskLocked();
                continue;
            }
            if (locationQueue_.empty()) return;
            createBackgroundTaskLocked();
            fix = std::move(locationQueue_.front());
            locationQueue_.pop_front();
            location = fix->location;
        }
        if (!sync(location)) {
            std::lock_guard lock(mutex_);
            endBackgroundTaskLocked();
            continue;
        }
        bool upload;
        {
            std::lock_guard lock(mutex_);
            upload = location.type == "current" && (config_.hasSyncUrl() || config_.hasUrl());
        }
        if (upload) uploadLater(fix);
        return;
    }
}

// Through the store's queue, behind the run that stores the fix: a stored
// fix's POST then finds its row, and one still unstored is kept from the
// store while its POST runs (no store run can be under way there).
void LocationManager::uploadLater(const TakenFixPtr& fix) {
    storeQueue_->async([weak = weak_from_this(), fix] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->mutex_);
            if (!fix->stored) fix->posting = true;
        }
        platform::dispatch::globalQueue(platform::dispatch::Priority::Background)->async([self, fix] {
            self->uploadStep(fix);
        });
    });
}

void LocationManager::createBackgroundTaskLocked() {
    lastBgTaskAt_ = clock_->monotonicNow();
    // The expiration ends this task only: a later one may be held by then.
    auto id = std::make_shared<std::atomic<platform::BackgroundTaskIdentifier>>(platform::kInvalidBackgroundTask);
    std::weak_ptr<LocationManager> weak = weak_from_this();
    bgTask_ = application_.beginBackgroundTask("LocationManager", [weak, id] {
        if (auto self = weak.lock()) self->stopBackgroundTask(id->load());
    });
    id->store(bgTask_);
    // A task the application refused is still held: the hand-out waits all the same.
    taskHeld_ = true;
}

void LocationManager::endBackgroundTaskLocked() {
    if (!taskHeld_) return;
    if (bgTask_ != platform::kInvalidBackgroundTask) application_.endBackgroundTask(bgTask_);
    bgTask_ = platform::kInvalidBackgroundTask;
    taskHeld_ = false;
}

void LocationManager::stopBackgroundTask(std::optional<platform::BackgroundTaskIdentifier> expected) {
    {
        std::lock_guard lock(mutex_);
        if (expected && (!taskHeld_ || *expected != bgTask_)) return;
        endBackgroundTaskLocked();
    }
    flushQueue();
}

bool LocationManager::sync(const Location& location) {
    LGLogInfo("LocationManager#sync %s", location.description().c_str());
    bool debugging;
    std::string mode;
    long filter;
    {
        std::lock_guard lock(mutex_);
        debugging = config_.isDebugging;
        mode = operationMode_ == FOREGROUND_MODE ? "FG" : "BG";
        filter = wholeMetres(locationManager_->distanceFilter());
    }
    if (debugging) {
        notify(format("Location update: %s\nSPD: %0.0f | DF: %ld | ACY: %0.0f", mode.c_str(),
                      location.speed.value_or(0), filter, location.accuracy.value_or(0)));
        playSound(kSoundHandedOut);
    }
    if (location.type == "stationary") {
        fireStationaryRegionListeners(location);
        return true;
    }
    if (location.type == "current") {
        if (auto d = delegate()) d->onLocationChanged(location.toDictionary());
        return true;
    }
    LGLogError("LocationManager#sync could not determine location_type.");
    return false;
}

void LocationManager::fireStationaryRegionListeners(const Location& location) {
    LGLogDebug("LocationManager#fireStationaryRegionListener");
    Value dict = location.toDictionary();
    {
        std::lock_guard lock(mutex_);
        dict["radius"] = static_cast<double>(config_.stationaryRadius);
    }
    if (auto d = delegate()) d->onStationaryChanged(dict);
}

// On the background-priority queue, once per handed-out ordinary fix.
void LocationManager::uploadStep(const TakenFixPtr& fix) {
    Config config;
    std::shared_ptr<LocationUploader> uploader;
    std::shared_ptr<Reachability> reach;
    Location location;
    bool stored;
    {
        std::lock_guard lock(mutex_);
        config = config_;
        uploader = uploader_;
        reach = reach_;
        location = fix->location;
        stored = fix->stored;
    }
    if (hasConnectivity_ && config.hasUrl())
        postLocation(fix, location, stored, config, uploader, reach);
    else if (!stored)
        settleUnstored(fix, false);
    const std::optional<std::string>& batchUrl = config.hasSyncUrl() ? config.syncUrl : config.url;
    if (uploader && batchUrl) uploader->sync(*batchUrl, config.syncThreshold);
    ++finishedUploadSteps_;
}

// The fix goes out on its own unless a batch has its row: a row is taken by
// one delivery at a time, so that the server gets each fix once.
void LocationManager::postLocation(const TakenFixPtr& fix, const Location& location, bool stored, const Config& config,
                                   const std::shared_ptr<LocationUploader>& uploader,
                                   const std::shared_ptr<Reachability>& reach) {
    auto claim = SQLiteLocationDAO::Claim::Gone;
    if (stored) {
        claim = store_.claimLocation(location);
        if (claim == SQLiteLocationDAO::Claim::Taken) {
            LGLogDebug("LocationManager: location %s goes with a batch, not on its own",
                       location.description().c_str());
            return;
        }
    }
    platform::Error error;
    const bool posted = location.postAsJSON(*config.url, config.httpHeaders, &error);
    if (claim == SQLiteLocationDAO::Claim::Claimed) {
        // Its own row only, by id and time: the ring buffer may have given
        // the id to a newer fix meanwhile. A mark the store cannot take now
        // is tried again until it can.
        if (!posted) {
            store_.releaseLocations({location});
        } else if (!store_.markLocationsDelivered({location})) {
            std::lock_guard lock(mutex_);
            scheduleStoreRetryLocked();
        }
    }
    if (!stored) settleUnstored(fix, posted);
    if (posted) {
        // The server is back: the batches need not wait out their pause.
        if (uploader) uploader->resetBackoff();
        return;
    }
    const Value& description = error.userInfo[platform::kLocalizedDescriptionKey];
    LGLogWarn("LocationManager postJSON failed: error: %s",
              description.is_string() ? description.get<std::string>().c_str() : "(null)");
    std::lock_guard lock(mutex_);
    if (reach && reach == reach_) {
        hasConnectivity_ = reach->isReachable();
        watchingReachability_ = reach->startNotifier();
    }
}

void LocationManager::settleUnstored(const TakenFixPtr& fix, bool delivered) {
    std::lock_guard lock(mutex_);
    fix->posting = false;
    if (delivered) {
        std::erase(unstored_, fix);
        return;
    }
    if (std::find(unstored_.begin(), unstored_.end(), fix) != unstored_.end()) storeLocationsLocked();
}

}  // namespace wharf
