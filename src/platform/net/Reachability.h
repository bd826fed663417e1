#pragma once
// Network reachability in the shape of the phone's reachability references:
// create a reference for a host, set a callback, schedule it on the main run
// loop, get the flags, release it.
//
// The flags come from a NetworkMonitor: by default the kernel's route tables
// (a default route on a link that carries traffic → reachable; GIO's
// GNetworkMonitor only where the tables cannot be read), with the WWAN bit set
// when the default route leaves through a mobile-broadband interface. Nothing here ever sends
// a packet to the host: a host is reachable exactly when the machine has a
// network. "Connection required" and "on demand" are never set on Linux.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace wharf::platform {

using ReachabilityFlags = uint32_t;
enum : ReachabilityFlags {
    kReachabilityFlagTransientConnection = 0x1,
    kReachabilityFlagReachable = 0x2,
    kReachabilityFlagConnectionRequired = 0x4,
    kReachabilityFlagConnectionOnTraffic = 0x8,
    kReachabilityFlagInterventionRequired = 0x10,
    kReachabilityFlagConnectionOnDemand = 0x20,
    kReachabilityFlagIsLocalAddress = 0x10000,
    kReachabilityFlagIsDirect = 0x20000,
    kReachabilityFlagIsWWAN = 0x40000,
};

// Where the machine-wide flags come from.
class NetworkMonitor {
public:
    virtual ~NetworkMonitor() = default;
    virtual ReachabilityFlags currentFlags() = 0;
    // `onChange` runs on the main thread after every change of the network.
    virtual uint64_t addObserver(std::function<void()> onChange) = 0;
    virtual void removeObserver(uint64_t token) = 0;

    // The process's monitor: GIO's unless a test replaced it.
    static std::shared_ptr<NetworkMonitor> shared();
    // nullptr restores GIO's.
    static void setShared(std::shared_ptr<NetworkMonitor> monitor);
};

// A monitor whose flags tests set by hand; observers run at once on the
// calling thread (tests call it on the main thread).
class FakeNetworkMonitor : public NetworkMonitor {
public:
    explicit FakeNetworkMonitor(ReachabilityFlags flags = kReachabilityFlagReachable);
    ~FakeNetworkMonitor() override;
    ReachabilityFlags currentFlags() override;
    uint64_t addObserver(std::function<void()> onChange) override;
    void removeObserver(uint64_t token) override;
    void setFlags(ReachabilityFlags flags);
    std::size_t observerCount() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

// The interface of the default route, from the kernel's route tables as
// /proc/net/route and /proc/net/ipv6_route print them: the default route of
// lowest metric, IPv4 first, when it carries traffic (an unreachable or
// blackhole route there means no route). Routes that are down, or whose
// interface `usable` refuses (when given), do not count. nullopt when there is
// none.
std::optional<std::string> defaultRouteInterface(std::string_view ipv4Routes, std::string_view ipv6Routes,
                                                 bool (*usable)(const std::string& interface) = nullptr);
// Whether a network interface of this network namespace can carry traffic
// out: up, with a carrier, and not the loopback.
bool interfaceCarriesTraffic(const std::string& name);
// A mobile-broadband (WWAN) interface: the kernel's device type "wwan", or a
// name of the "ww" family that udev and the kernel give such devices.
bool isWWANInterface(const std::string& name);

// --- references ---------------------------------------------------------------------
struct ReachabilityTarget;
using ReachabilityRef = ReachabilityTarget*;
using ReachabilityCallback = void (*)(ReachabilityRef target, ReachabilityFlags flags, void* info);

// NULL for a NULL or empty host name.
ReachabilityRef reachabilityCreateWithName(const char* host);
// A reference for "the internet" (any route at all).
ReachabilityRef reachabilityCreateForInternetConnection();
// A NULL callback removes it. False for a NULL reference.
bool reachabilitySetCallback(ReachabilityRef target, ReachabilityCallback callback, void* info);
// After scheduling, the callback runs once on the main thread with the current
// flags, and then after every change, until unscheduled or released.
bool reachabilityScheduleWithMainRunLoop(ReachabilityRef target);
bool reachabilityUnscheduleFromMainRunLoop(ReachabilityRef target);
bool reachabilityGetFlags(ReachabilityRef target, ReachabilityFlags* flags);
void reachabilityRelease(ReachabilityRef target);

}  // namespace wharf::platform
