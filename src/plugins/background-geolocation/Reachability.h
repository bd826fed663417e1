#pragma once
// Tells its owner when a network target becomes reachable or unreachable,
// through blocks (run on the serial queue "com.Oskmerind.reachability") and the
// notification "kReachabilityChangedNotification" (posted on the main thread).
// The flags come from the platform's reachability, which never sends a packet
// to the target.
#include <sys/socket.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "platform/dispatch/Dispatch.h"
#include "platform/net/Reachability.h"

namespace wharf {

inline constexpr const char* kReachabilityChangedNotification = "kReachabilityChangedNotification";

class Reachability : public std::enable_shared_from_this<Reachability> {
public:
    using Block = std::function<void(Reachability&)>;
    using FlagsBlock = std::function<void(Reachability&, platform::ReachabilityFlags)>;
    enum Status : int64_t { NotReachable = 0, ReachableViaWWAN = 1, ReachableViaWiFi = 2 };

    // nullptr when the target cannot be made.
    static std::shared_ptr<Reachability> reachabilityWithHostname(const std::string& hostname);
    static std::shared_ptr<Reachability> reachabilityWithHostName(const std::string& hostname) {
        return reachabilityWithHostname(hostname);
    }
    static std::shared_ptr<Reachability> reachabilityWithAddress(const sockaddr* address);
    static std::shared_ptr<Reachability> reachabilityForInternetConnection();
    static std::shared_ptr<Reachability> reachabilityForLocalWiFi();

    // Takes ownership of the target.
    explicit Reachability(platform::ReachabilityRef ref);
    ~Reachability();
    Reachability(const Reachability&) = delete;
    Reachability& operator=(const Reachability&) = delete;

    bool reachableOnWWAN() const;
    void setReachableOnWWAN(bool value);
    void setReachableBlock(Block block);
    void setUnreachableBlock(Block block);
    void setReachabilityBlock(FlagsBlock block);

    // True at once when already running. While it runs, the object keeps
    // itself alive; stopNotifier lets go.
    bool startNotifier();
    void stopNotifier();

    bool isReachableWithFlags(platform::ReachabilityFlags flags) const;
    bool isReachable() const;
    bool isReachableViaWWAN() const;
    bool isReachableViaWiFi() const;
    bool connectionRequired() const;
    bool isConnectionRequired() const { return connectionRequired(); }
    bool isConnectionOnDemand() const;
    bool isInterventionRequired() const;
    Status currentReachabilityStatus() const;
    platform::ReachabilityFlags reachabilityFlags() const;
    // "Cellular", "WiFi" or "No Connection", through the main bundle's strings.
    std::string currentReachabilityString() const;
    // Nine letters: W R, a blank, then c t i C D l d; "-" for each bit not set.
    std::string currentReachabilityFlags() const;
    std::string description() const;

    // Runs the blocks for a change and posts the notification.
    void reachabilityChanged(platform::ReachabilityFlags flags);

private:
    // What the platform's callback reaches: released on the main thread after
    // the target, so a callback under way never finds it gone.
    struct Context {
        std::weak_ptr<Reachability> owner;
    };
    bool flags(platform::ReachabilityFlags* out) const;

    mutable std::mutex mutex_;
    bool reachableOnWWAN_ = true;
    Block reachableBlock_;
    Block unreachableBlock_;
    FlagsBlock reachabilityBlock_;
    platform::ReachabilityRef reachabilityRef_;
    platform::dispatch::QueuePtr reachabilitySerialQueue_;
    std::shared_ptr<Reachability> reachabilityObject_;  // itself while the notifier runs
    std::shared_ptr<Context> context_;
};

}  // namespace wharf
