#include "platform/net/Reachability.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <mutex>
#include <sstream>

#include <gio/gio.h>
#include <glib-unix.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::platform {

namespace {

std::string readProcFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

// Observers of GIO's monitor; its signals arrive on the main context.
//
// GIO's netlink monitor keeps one entry for "the default route", however many
// there are: with two, losing either says there is no network, and neither a
// second one coming nor the last one going is signalled at all; and after the
// last default route goes it may still say "available" for a while. So the
// kernel's route and link changes are watched as well, and the kernel's tables
// alone say whether there is a network: a default route that can carry
// traffic. GIO's answer stands in only where those tables cannot be read.
class GioNetworkMonitor : public NetworkMonitor, public std::enable_shared_from_this<GioNetworkMonitor> {
public:
    GioNetworkMonitor() {
        // The monitor emits its signals in the context that is the thread's
        // default when it is first made: on the main thread that is the main
        // context. Made elsewhere, notifyAll() carries them to the main thread.
        const bool onMain = RunLoop::isMainThread();
        if (onMain) g_main_context_push_thread_default(g_main_context_default());
        monitor_ = G_NETWORK_MONITOR(g_object_ref(g_network_monitor_get_default()));
        if (onMain) g_main_context_pop_thread_default(g_main_context_default());
        g_signal_connect(monitor_, "network-changed", G_CALLBACK(&GioNetworkMonitor::onNetworkChanged), this);
    }
    ~GioNetworkMonitor() override {
        g_signal_handlers_disconnect_by_data(monitor_, this);
        g_object_unref(monitor_);
        if (routeSource_) {
            g_source_destroy(routeSource_);
            g_source_unref(routeSource_);
        }
        if (routeSocket_ >= 0) ::close(routeSocket_);
    }

    ReachabilityFlags currentFlags() override {
        const std::string ipv4 = readProcFile("/proc/net/route");
        const std::string ipv6 = readProcFile("/proc/net/ipv6_route");
        if (ipv4.empty() && ipv6.empty())
            return g_network_monitor_get_network_available(monitor_) ? ReachabilityFlags{kReachabilityFlagReachable}
                                                                     : 0;
        auto interface = defaultRouteInterface(ipv4, ipv6, &interfaceCarriesTraffic);
        if (!interface) return 0;
        // Metered says nothing of the link (a tethered phone over Wi-Fi is
        // metered too); the interface the traffic leaves by does.
        return kReachabilityFlagReachable |
               (isWWANInterface(*interface) ? ReachabilityFlags{kReachabilityFlagIsWWAN} : 0);
    }
    uint64_t addObserver(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
        watchRoutesLocked();
        observers_[++lastToken_] = std::move(onChange);
        return lastToken_;
    }
    void removeObserver(uint64_t token) override {
        std::lock_guard lock(mutex_);
        observers_.erase(token);
    }

private:
    static void onNetworkChanged(GNetworkMonitor*, gboolean, gpointer self) {
        static_cast<GioNetworkMonitor*>(self)->notifyAll();
    }
    // Route and link changes of the kernel, IPv4 and IPv6, read from a netlink socket on
    // the main context. Started with the first observer (the monitor is owned
    // by then, so the source can hold a weak reference).
    void watchRoutesLocked() {
        if (routeSocket_ >= 0 || routeWatchFailed_) return;
        routeSocket_ = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl address{};
        address.nl_family = AF_NETLINK;
        // Links too: a link losing its carrier keeps its routes, and no route message tells.
        address.nl_groups = RTMGRP_IPV4_ROUTE | RTMGRP_IPV6_ROUTE | RTMGRP_LINK;
        if (routeSocket_ < 0 || ::bind(routeSocket_, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            log("Route changes cannot be watched (%s); relying on the network monitor alone", g_strerror(errno));
            if (routeSocket_ >= 0) ::close(routeSocket_);
            routeSocket_ = -1;
            routeWatchFailed_ = true;
            return;
        }
        routeSource_ = g_unix_fd_source_new(routeSocket_, G_IO_IN);
        auto* weak = new std::weak_ptr<GioNetworkMonitor>(weak_from_this());
        g_source_set_callback(routeSource_, G_SOURCE_FUNC(+[](int fd, GIOCondition, gpointer data) -> gboolean {
                                  char buffer[8192];
                                  while (::recv(fd, buffer, sizeof buffer, 0) > 0) {}
                                  if (auto self = static_cast<std::weak_ptr<GioNetworkMonitor>*>(data)->lock())
                                      self->notifySoon();
                                  return G_SOURCE_CONTINUE;
                              }),
                              weak, [](gpointer data) { delete static_cast<std::weak_ptr<GioNetworkMonitor>*>(data); });
        g_source_attach(routeSource_, g_main_context_default());
    }

    // One report for a burst of route messages.
    void notifySoon() {
        if (notifyPending_.exchange(true)) return;
        RunLoop::performOnMain([weak = weak_from_this()] {
            if (auto self = weak.lock()) {
                self->notifyPending_ = false;
                self->notifyAll();
            }
        });
    }

    void notifyAll() {
        if (!RunLoop::isMainThread()) {
            RunLoop::performOnMain([weak = weak_from_this()] {
                if (auto self = weak.lock()) self->notifyAll();
            });
            return;
        }
        std::map<uint64_t, std::function<void()>> observers;
        {
            std::lock_guard lock(mutex_);
            observers = observers_;
        }
        for (auto& [token, fn] : observers) {
            try {
                fn();
            } catch (const std::exception& e) {
                log("Reachability observer failed: %s", e.what());
            }
        }
    }

    GNetworkMonitor* monitor_ = nullptr;
    int routeSocket_ = -1;
    bool routeWatchFailed_ = false;
    GSource* routeSource_ = nullptr;
    std::atomic<bool> notifyPending_{false};
    std::mutex mutex_;
    uint64_t lastToken_ = 0;
    std::map<uint64_t, std::function<void()>> observers_;
};

std::mutex& sharedMutex() {
    static std::mutex m;
    return m;
}
std::shared_ptr<NetworkMonitor>& sharedSlot() {
    static std::shared_ptr<NetworkMonitor> monitor;
    return monitor;
}

}  // namespace

std::shared_ptr<NetworkMonitor> NetworkMonitor::shared() {
    std::lock_guard lock(sharedMutex());
    auto& slot = sharedSlot();
    if (!slot) slot = std::make_shared<GioNetworkMonitor>();
    return slot;
}

void NetworkMonitor::setShared(std::shared_ptr<NetworkMonitor> monitor) {
    std::lock_guard lock(sharedMutex());
    sharedSlot() = std::move(monitor);
}

// --- default route ------------------------------------------------------------------

namespace {

constexpr unsigned long kRouteUp = 0x0001;  // RTF_UP
constexpr unsigned long kRouteReject = 0x0200;  // RTF_REJECT: an unreachable route

struct Candidate {
    std::string interface;
    unsigned long metric = 0;
    bool carries = true;  // false: unreachable, prohibited or a blackhole
};

using Usable = bool (*)(const std::string& interface);

// The kernel sends traffic by the default route of lowest metric, whatever it
// is: one that refuses or drops the traffic hides those behind it. A route on
// a link that cannot carry anything is passed over, as the link's owner would
// take it away.
void consider(std::optional<Candidate>& best, std::string interface, unsigned long flags, unsigned long metric,
              Usable usable) {
    if (!(flags & kRouteUp) || interface.empty()) return;
    // A blackhole route has no interface: the kernel prints "*".
    const bool carries = !(flags & kRouteReject) && interface != "*";
    if (best && metric >= best->metric) return;
    if (carries && usable && !usable(interface)) return;
    best = Candidate{std::move(interface), metric, carries};
}

bool parseHex(const std::string& text, unsigned long& value) {
    if (text.empty() || text.size() > 16) return false;
    char* end = nullptr;
    value = std::strtoul(text.c_str(), &end, 16);
    return end && *end == '\0';
}

// "Iface Destination Gateway Flags RefCnt Use Metric Mask ...", hex fields.
std::optional<Candidate> ipv4Default(std::string_view table, Usable usable) {
    std::optional<Candidate> best;
    std::istringstream lines{std::string(table)};
    std::string line;
    std::getline(lines, line);  // header
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string iface, destination, gateway, flags, refcnt, use, metric, mask;
        if (!(fields >> iface >> destination >> gateway >> flags >> refcnt >> use >> metric >> mask)) continue;
        unsigned long dest = 1, flagBits = 0, maskValue = 1;
        if (!parseHex(destination, dest) || !parseHex(flags, flagBits) || !parseHex(mask, maskValue)) continue;
        if (dest != 0 || maskValue != 0) continue;
        char* end = nullptr;
        unsigned long metricValue = std::strtoul(metric.c_str(), &end, 10);
        consider(best, iface, flagBits, metricValue, usable);
    }
    return best;
}

// "dest plen src plen nexthop metric refcnt use flags iface", hex fields, no header.
std::optional<Candidate> ipv6Default(std::string_view table, Usable usable) {
    std::optional<Candidate> best;
    std::istringstream lines{std::string(table)};
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string destination, prefix, source, sourcePrefix, nextHop, metric, refcnt, use, flags, iface;
        if (!(fields >> destination >> prefix >> source >> sourcePrefix >> nextHop >> metric >> refcnt >> use >>
              flags >> iface))
            continue;
        unsigned long prefixLength = 1, metricValue = 0, flagBits = 0;
        if (destination != std::string(32, '0') || !parseHex(prefix, prefixLength) || prefixLength != 0) continue;
        if (!parseHex(metric, metricValue) || !parseHex(flags, flagBits)) continue;
        consider(best, iface, flagBits, metricValue, usable);
    }
    return best;
}

}  // namespace

std::optional<std::string> defaultRouteInterface(std::string_view ipv4Routes, std::string_view ipv6Routes,
                                                 bool (*usable)(const std::string& interface)) {
    if (auto route = ipv4Default(ipv4Routes, usable); route && route->carries) return route->interface;
    if (auto route = ipv6Default(ipv6Routes, usable); route && route->carries) return route->interface;
    return std::nullopt;
}

bool interfaceCarriesTraffic(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ) return false;
    // Asked through a socket, so the answer is that of this process's network
    // namespace (sysfs may show another's).
    const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return true;  // cannot tell: the route stands
    ifreq request{};
    std::memcpy(request.ifr_name, name.c_str(), name.size());
    const bool known = ::ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    ::close(fd);
    if (!known) return false;
    const auto flags = request.ifr_flags;
    // Up and with a carrier (operationally up); the loopback leads nowhere.
    return (flags & IFF_UP) && (flags & IFF_RUNNING) && !(flags & IFF_LOOPBACK);
}

bool isWWANInterface(const std::string& name) {
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..") return false;
    if (name.rfind("ww", 0) == 0) return true;
    std::istringstream uevent(readProcFile("/sys/class/net/" + name + "/uevent"));
    std::string line;
    while (std::getline(uevent, line))
        if (line == "DEVTYPE=wwan") return true;
    return false;
}

// --- the fake ------------------------------------------------------------------------

struct FakeNetworkMonitor::State {
    mutable std::mutex mutex;
    ReachabilityFlags flags;
    uint64_t lastToken = 0;
    std::map<uint64_t, std::function<void()>> observers;
};

FakeNetworkMonitor::FakeNetworkMonitor(ReachabilityFlags flags) : state_(std::make_unique<State>()) {
    state_->flags = flags;
}
FakeNetworkMonitor::~FakeNetworkMonitor() = default;

ReachabilityFlags FakeNetworkMonitor::currentFlags() {
    std::lock_guard lock(state_->mutex);
    return state_->flags;
}
uint64_t FakeNetworkMonitor::addObserver(std::function<void()> onChange) {
    std::lock_guard lock(state_->mutex);
    state_->observers[++state_->lastToken] = std::move(onChange);
    return state_->lastToken;
}
void FakeNetworkMonitor::removeObserver(uint64_t token) {
    std::lock_guard lock(state_->mutex);
    state_->observers.erase(token);
}
void FakeNetworkMonitor::setFlags(ReachabilityFlags flags) {
    std::map<uint64_t, std::function<void()>> observers;
    {
        std::lock_guard lock(state_->mutex);
        state_->flags = flags;
        observers = state_->observers;
    }
    for (auto& [token, fn] : observers) fn();
}
std::size_t FakeNetworkMonitor::observerCount() const {
    std::lock_guard lock(state_->mutex);
    return state_->observers.size();
}

// --- references --------------------------------------------------------------------

struct ReachabilityTarget {
    std::string host;
    std::shared_ptr<NetworkMonitor> monitor;
    ReachabilityCallback callback = nullptr;
    void* info = nullptr;
    uint64_t token = 0;
    // Shared with blocks queued on the main thread: cleared when unscheduled or
    // released, so a late block does nothing.
    std::shared_ptr<std::atomic<bool>> scheduled;
};

namespace {

void fire(ReachabilityTarget* target, const std::shared_ptr<std::atomic<bool>>& scheduled) {
    if (!*scheduled || !target->callback) return;
    target->callback(target, target->monitor->currentFlags(), target->info);
}

}  // namespace

ReachabilityRef reachabilityCreateWithName(const char* host) {
    if (!host || !*host) return nullptr;
    auto* target = new ReachabilityTarget;
    target->host = host;
    target->monitor = NetworkMonitor::shared();
    return target;
}

ReachabilityRef reachabilityCreateForInternetConnection() { return reachabilityCreateWithName("0.0.0.0"); }

bool reachabilitySetCallback(ReachabilityRef target, ReachabilityCallback callback, void* info) {
    if (!target) return false;
    target->callback = callback;
    target->info = callback ? info : nullptr;
    return true;
}

bool reachabilityScheduleWithMainRunLoop(ReachabilityRef target) {
    if (!target) return false;
    if (target->scheduled && *target->scheduled) return true;
    auto scheduled = std::make_shared<std::atomic<bool>>(true);
    target->scheduled = scheduled;
    // Observers may run on the main thread only; the reference belongs to it.
    target->token = target->monitor->addObserver([target, scheduled] { fire(target, scheduled); });
    RunLoop::performOnMain([target, scheduled] { fire(target, scheduled); });
    return true;
}

bool reachabilityUnscheduleFromMainRunLoop(ReachabilityRef target) {
    if (!target || !target->scheduled || !*target->scheduled) return false;
    *target->scheduled = false;
    target->monitor->removeObserver(target->token);
    target->token = 0;
    return true;
}

bool reachabilityGetFlags(ReachabilityRef target, ReachabilityFlags* flags) {
    if (!target || !flags) return false;
    *flags = target->monitor->currentFlags();
    return true;
}

void reachabilityRelease(ReachabilityRef target) {
    if (!target) return;
    reachabilityUnscheduleFromMainRunLoop(target);
    // Callbacks fire on the main thread: one may have checked the reference
    // just before this unscheduling, so an owner on another thread leaves the
    // deletion to the main thread, after any such callback.
    if (RunLoop::isMainThread()) {
        delete target;
        return;
    }
    RunLoop::performOnMain([target] { delete target; });
}

}  // namespace wharf::platform
