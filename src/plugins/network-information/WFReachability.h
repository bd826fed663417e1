#pragma once
// Reachability of one target, posting "kNetworkReachabilityChangedNotification"
// (object: the WFReachability) on the main thread whenever it may have changed.
#include <netinet/in.h>

#include <memory>
#include <string>

#include "platform/net/Reachability.h"

namespace wharf {

inline constexpr const char* kNetworkReachabilityChangedNotification = "kNetworkReachabilityChangedNotification";

enum NetworkStatus : int { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

class WFReachability {
public:
    // nullptr when the platform cannot make a reference for the target.
    static std::shared_ptr<WFReachability> reachabilityWithHostName(const std::string& hostName);
    static std::shared_ptr<WFReachability> reachabilityWithAddress(const sockaddr_in& address);
    // The internet in general: the IPv4 zero address.
    static std::shared_ptr<WFReachability> reachabilityForInternetConnection();

    ~WFReachability();
    WFReachability(const WFReachability&) = delete;
    WFReachability& operator=(const WFReachability&) = delete;

    // Reports on the main run loop from now on; true when both the callback and
    // the scheduling were accepted.
    bool startNotifier();
    void stopNotifier();

    NetworkStatus currentReachabilityStatus() const;
    bool connectionRequired() const;
    static NetworkStatus networkStatusForFlags(platform::ReachabilityFlags flags);

    // The live WFReachability at this address (a notification's object, a
    // callback's context), or nullptr when there is none.
    static WFReachability* fromObject(const void* object);

private:
    explicit WFReachability(platform::ReachabilityRef reachabilityRef);
    platform::ReachabilityRef reachabilityRef_;
};

}  // namespace wharf
