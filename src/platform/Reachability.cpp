#include "platform/Reachability.h"

#include <atomic>
#include <map>
#include <mutex>

#include <gio/gio.h>

#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace wharf::platform {

namespace {

// Observers of GIO's monitor; its signals arrive on the main context.
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
        g_signal_connect(monitor_, "notify::network-metered", G_CALLBACK(&GioNetworkMonitor::onMeteredChanged), this);
    }
    ~GioNetworkMonitor() override {
        g_signal_handlers_disconnect_by_data(monitor_, this);
        g_object_unref(monitor_);
    }

    ReachabilityFlags currentFlags() override {
        ReachabilityFlags flags = 0;
        if (g_network_monitor_get_network_available(monitor_)) {
            flags |= kReachabilityFlagReachable;
            if (g_network_monitor_get_network_metered(monitor_)) flags |= kReachabilityFlagIsWWAN;
        }
        return flags;
    }
    uint64_t addObserver(std::function<void()> onChange) override {
        std::lock_guard lock(mutex_);
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
    static void onMeteredChanged(GObject*, GParamSpec*, gpointer self) {
        static_cast<GioNetworkMonitor*>(self)->notifyAll();
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
    delete target;
}

}  // namespace wharf::platform
