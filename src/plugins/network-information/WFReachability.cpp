#include "plugins/network-information/WFReachability.h"

#include <arpa/inet.h>

#include <mutex>
#include <set>

#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

namespace {

// Every WFReachability alive: a callback's context or a notification's object
// is trusted only when it is one of them.
std::mutex& liveMutex() {
    static std::mutex mutex;
    return mutex;
}

std::set<const void*>& live() {
    static std::set<const void*> objects;
    return objects;
}

void reachabilityCallback(platform::ReachabilityRef, platform::ReachabilityFlags, void* info) {
    if (!info) {
        platform::log("info was NULL in ReachabilityCallback");
        return;
    }
    WFReachability* reachability = WFReachability::fromObject(info);
    if (!reachability) {
        platform::log("info was wrong class in ReachabilityCallback");
        return;
    }
    platform::NotificationCenter::defaultCenter().post(kNetworkReachabilityChangedNotification, reachability);
}

}  // namespace

WFReachability::WFReachability(platform::ReachabilityRef reachabilityRef) : reachabilityRef_(reachabilityRef) {
    std::lock_guard lock(liveMutex());
    live().insert(this);
}

WFReachability::~WFReachability() {
    {
        std::lock_guard lock(liveMutex());
        live().erase(this);
    }
    platform::reachabilityRelease(reachabilityRef_);
}

WFReachability* WFReachability::fromObject(const void* object) {
    std::lock_guard lock(liveMutex());
    return live().count(object) ? static_cast<WFReachability*>(const_cast<void*>(object)) : nullptr;
}

std::shared_ptr<WFReachability> WFReachability::reachabilityWithHostName(const std::string& hostName) {
    platform::ReachabilityRef ref = platform::reachabilityCreateWithName(hostName.c_str());
    if (!ref) return nullptr;
    return std::shared_ptr<WFReachability>(new WFReachability(ref));
}

std::shared_ptr<WFReachability> WFReachability::reachabilityWithAddress(const sockaddr_in& address) {
    if (address.sin_family != AF_INET) return nullptr;
    char text[INET_ADDRSTRLEN] = {};
    if (!inet_ntop(AF_INET, &address.sin_addr, text, sizeof text)) return nullptr;
    return reachabilityWithHostName(text);
}

std::shared_ptr<WFReachability> WFReachability::reachabilityForInternetConnection() {
    sockaddr_in zero{};
    zero.sin_family = AF_INET;
    return reachabilityWithAddress(zero);
}

bool WFReachability::startNotifier() {
    return platform::reachabilitySetCallback(reachabilityRef_, &reachabilityCallback, this) &&
           platform::reachabilityScheduleWithMainRunLoop(reachabilityRef_);
}

void WFReachability::stopNotifier() {
    platform::reachabilitySetCallback(reachabilityRef_, nullptr, nullptr);
    platform::reachabilityUnscheduleFromMainRunLoop(reachabilityRef_);
}

NetworkStatus WFReachability::networkStatusForFlags(platform::ReachabilityFlags flags) {
    using namespace platform;
    if (!(flags & kReachabilityFlagReachable)) return NotReachable;
    if (flags & kReachabilityFlagIsWWAN) return ReachableViaWWAN;
    const bool automatic = flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand);
    if (automatic && !(flags & kReachabilityFlagInterventionRequired)) return ReachableViaWiFi;
    if (flags & kReachabilityFlagConnectionRequired) return NotReachable;
    return ReachableViaWiFi;
}

NetworkStatus WFReachability::currentReachabilityStatus() const {
    platform::ReachabilityFlags flags = 0;
    if (!platform::reachabilityGetFlags(reachabilityRef_, &flags)) return NotReachable;
    return networkStatusForFlags(flags);
}

bool WFReachability::connectionRequired() const {
    platform::ReachabilityFlags flags = 0;
    if (!platform::reachabilityGetFlags(reachabilityRef_, &flags)) return false;
    return flags & platform::kReachabilityFlagConnectionRequired;
}

}  // namespace wharf
