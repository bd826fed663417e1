#include "plugins/background-geolocation/Reachability.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdio>

#include "host/WFStringsTable.h"
#include "platform/dispatch/NotificationCenter.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/storage/Bundle.h"

namespace wharf {

namespace {

using namespace platform;

constexpr const char* kQueueLabel = "com.Oskmerind.reachability";

// The main bundle's text for `key` (the key itself when it has none).
std::string localizedString(const std::string& key) {
    auto bundle = Bundle::mainBundle();
    return bundle ? wf_localizedString(*bundle, key) : key;
}

std::shared_ptr<Reachability> fromRef(ReachabilityRef ref) {
    return ref ? std::make_shared<Reachability>(ref) : nullptr;
}

}  // namespace

std::shared_ptr<Reachability> Reachability::reachabilityWithHostname(const std::string& hostname) {
    return fromRef(reachabilityCreateWithName(hostname.c_str()));
}

std::shared_ptr<Reachability> Reachability::reachabilityWithAddress(const sockaddr* address) {
    if (!address) return nullptr;
    char text[INET6_ADDRSTRLEN] = {0};
    if (address->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
    } else if (address->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, text, sizeof text);
    } else {
        return nullptr;
    }
    return fromRef(reachabilityCreateWithName(text));
}

std::shared_ptr<Reachability> Reachability::reachabilityForInternetConnection() {
    return fromRef(reachabilityCreateForInternetConnection());
}

std::shared_ptr<Reachability> Reachability::reachabilityForLocalWiFi() {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(0xA9FE0000);  // 169.254.0.0
    return reachabilityWithAddress(reinterpret_cast<const sockaddr*>(&address));
}

Reachability::Reachability(ReachabilityRef ref)
    : reachabilityRef_(ref),
      reachabilitySerialQueue_(dispatch::createSerialQueue(kQueueLabel)),
      context_(std::make_shared<Context>()) {
    // Set once: the notifier only schedules and unschedules the target, so the
    // main thread never reads a callback that another thread is changing.
    reachabilitySetCallback(
        reachabilityRef_,
        [](ReachabilityRef, ReachabilityFlags flags, void* info) {
            auto owner = static_cast<Context*>(info)->owner.lock();
            if (!owner) return;
            owner->reachabilitySerialQueue_->async([owner, flags] { owner->reachabilityChanged(flags); });
        },
        context_.get());
}

Reachability::~Reachability() {
    ReachabilityRef ref = reachabilityRef_;
    reachabilityUnscheduleFromMainRunLoop(ref);
    // A callback may be running on the main thread right now: the target and
    // its context go once the main loop is done with it.
    RunLoop::performOnMain([ref, context = context_] { reachabilityRelease(ref); });
}

bool Reachability::reachableOnWWAN() const {
    std::lock_guard lock(mutex_);
    return reachableOnWWAN_;
}

void Reachability::setReachableOnWWAN(bool value) {
    std::lock_guard lock(mutex_);
    reachableOnWWAN_ = value;
}

void Reachability::setReachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    reachableBlock_ = std::move(block);
}

void Reachability::setUnreachableBlock(Block block) {
    std::lock_guard lock(mutex_);
    unreachableBlock_ = std::move(block);
}

void Reachability::setReachabilityBlock(FlagsBlock block) {
    std::lock_guard lock(mutex_);
    reachabilityBlock_ = std::move(block);
}

bool Reachability::startNotifier() {
    std::lock_guard lock(mutex_);
    if (reachabilityObject_) return true;
    // Written once, before the first scheduling; only read afterwards.
    if (context_->owner.expired()) context_->owner = weak_from_this();
    if (!reachabilityScheduleWithMainRunLoop(reachabilityRef_)) return false;
    reachabilityObject_ = shared_from_this();
    return true;
}

void Reachability::stopNotifier() {
    std::shared_ptr<Reachability> self;  // let go outside the lock
    std::lock_guard lock(mutex_);
    reachabilityUnscheduleFromMainRunLoop(reachabilityRef_);
    self = std::move(reachabilityObject_);
}

bool Reachability::flags(ReachabilityFlags* out) const { return reachabilityGetFlags(reachabilityRef_, out); }

bool Reachability::isReachableWithFlags(ReachabilityFlags flags) const {
    if (!(flags & kReachabilityFlagReachable)) return false;
    if ((flags & kReachabilityFlagConnectionRequired) && (flags & kReachabilityFlagTransientConnection)) return false;
    if ((flags & kReachabilityFlagIsWWAN) && !reachableOnWWAN()) return false;
    return true;
}

bool Reachability::isReachable() const {
    ReachabilityFlags f = 0;
    return flags(&f) && isReachableWithFlags(f);
}

bool Reachability::isReachableViaWWAN() const {
    ReachabilityFlags f = 0;
    return flags(&f) && (f & kReachabilityFlagReachable) && (f & kReachabilityFlagIsWWAN);
}

bool Reachability::isReachableViaWiFi() const {
    ReachabilityFlags f = 0;
    return flags(&f) && (f & kReachabilityFlagReachable) && !(f & kReachabilityFlagIsWWAN);
}

bool Reachability::connectionRequired() const { return reachabilityFlags() & kReachabilityFlagConnectionRequired; }

bool Reachability::isConnectionOnDemand() const {
    const ReachabilityFlags f = reachabilityFlags();
    return (f & kReachabilityFlagConnectionRequired) &&
           (f & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand));
}

bool Reachability::isInterventionRequired() const {
    const ReachabilityFlags f = reachabilityFlags();
    return (f & kReachabilityFlagConnectionRequired) && (f & kReachabilityFlagInterventionRequired);
}

Reachability::Status Reachability::currentReachabilityStatus() const {
    if (!isReachable()) return NotReachable;
    return isReachableViaWiFi() ? ReachableViaWiFi : ReachableViaWWAN;
}

ReachabilityFlags Reachability::reachabilityFlags() const {
    ReachabilityFlags f = 0;
    return flags(&f) ? f : 0;
}

std::string Reachability::currentReachabilityString() const {
    switch (currentReachabilityStatus()) {
    case ReachableViaWWAN: return localizedString("Cellular");
    case ReachableViaWiFi: return localizedString("WiFi");
    default: return localizedString("No Connection");
    }
}

std::string Reachability::currentReachabilityFlags() const {
    const ReachabilityFlags f = reachabilityFlags();
    auto bit = [f](ReachabilityFlags b, char c) { return (f & b) ? c : '-'; };
    return {bit(kReachabilityFlagIsWWAN, 'W'),
            bit(kReachabilityFlagReachable, 'R'),
            ' ',
            bit(kReachabilityFlagConnectionRequired, 'c'),
            bit(kReachabilityFlagTransientConnection, 't'),
            bit(kReachabilityFlagInterventionRequired, 'i'),
            bit(kReachabilityFlagConnectionOnTraffic, 'C'),
            bit(kReachabilityFlagConnectionOnDemand, 'D'),
            bit(kReachabilityFlagIsLocalAddress, 'l'),
            bit(kReachabilityFlagIsDirect, 'd')};
}

std::string Reachability::description() const {
    char head[64];
    std::snprintf(head, sizeof head, "<Reachability: %#x (",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(this) & 0xffffffffu));
    return head + currentReachabilityFlags() + ")>";
}

void Reachability::reachabilityChanged(ReachabilityFlags flags) {
    Block reachable, unreachable;
    FlagsBlock any;
    {
        std::lock_guard lock(mutex_);
        reachable = reachableBlock_;
        unreachable = unreachableBlock_;
        any = reachabilityBlock_;
    }
    if (isReachableWithFlags(flags)) {
        if (reachable) reachable(*this);
    } else if (unreachable) {
        unreachable(*this);
    }
    if (any) any(*this, flags);
    dispatch::mainQueue()->async([self = shared_from_this()] {
        NotificationCenter::defaultCenter().post(kReachabilityChangedNotification, self.get());
    });
}

}  // namespace wharf
