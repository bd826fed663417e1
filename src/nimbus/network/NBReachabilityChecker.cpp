#include "nimbus/network/NBReachabilityChecker.h"

#include <cstdint>
#include <mutex>
#include <unordered_map>

#include "platform/dispatch/RunLoop.h"

namespace wharf {

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelDebug = 7;

const NBReachabilityApi kDefaultApi = {
    platform::reachabilityCreateWithName,
    platform::reachabilitySetCallback,
    platform::reachabilityScheduleWithMainRunLoop,
    platform::reachabilityUnscheduleFromMainRunLoop,
    platform::reachabilityRelease,
};

// A table may call back from any thread, and the hop to the main thread may
// land after the checker stopped or died. So the table is handed a number
// that names one run of one checker, never the checker's address: the main
// thread looks the number up, and a stopped run is no longer there. Numbers
// are never reused, so a late callback of an earlier run cannot reach a
// restarted checker either.
struct CheckerRun {
    // Held while a callback is delivered, so that a stop on another thread
    // waits for it; re-entrant, because the delegate may stop the checker.
    std::recursive_mutex mutex;
    NBReachabilityChecker* checker;
    explicit CheckerRun(NBReachabilityChecker* c) : checker(c) {}
};

struct Runs {
    std::mutex mutex;
    std::unordered_map<uintptr_t, std::shared_ptr<CheckerRun>> byToken;
    uintptr_t last = 0;
};

// Never destroyed: a checker may stop during the process's exit.
Runs& runs() {
    static Runs* r = new Runs();
    return *r;
}

std::shared_ptr<CheckerRun> findRun(uintptr_t token) {
    std::lock_guard lock(runs().mutex);
    auto it = runs().byToken.find(token);
    return it == runs().byToken.end() ? nullptr : it->second;
}

void deliver(uintptr_t token, platform::ReachabilityFlags flags) {
    auto run = findRun(token);
    if (!run) return;  // stopped, or gone: the callback is late
    std::lock_guard lock(run->mutex);
    if (run->checker) run->checker->reachabilityFlagsChanged(flags);
}

void reachabilityCallback(platform::ReachabilityRef, platform::ReachabilityFlags flags, void* info) {
    const auto token = reinterpret_cast<uintptr_t>(info);
    if (platform::RunLoop::isMainThread()) {
        deliver(token, flags);
        return;
    }
    platform::RunLoop::performOnMain([token, flags] { deliver(token, flags); });
}

}  // namespace

const NBReachabilityApi* NBReachabilityDefaultApi() { return &kDefaultApi; }

std::unique_ptr<NBReachabilityChecker> NBReachabilityChecker::initWithReachabilityDelegate(
    std::weak_ptr<NBReachabilityDelegate> reachabilityDelegate, std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate,
    const std::string& host) {
    std::unique_ptr<NBReachabilityChecker> checker(new NBReachabilityChecker());
    checker->loggerDelegate_ = std::move(loggerDelegate);
    if (host.empty()) {
        checker->log(kLevelError, 902001, "Invalid host specified");
        return nullptr;
    }
    checker->reachabilityDelegate_ = std::move(reachabilityDelegate);
    checker->reachabilityApi_ = &kDefaultApi;
    checker->host_ = host;
    return checker;
}

NBReachabilityChecker::~NBReachabilityChecker() {
    // Stopping first waits out a callback being delivered on another thread,
    // which may still read the delegates.
    stop();
    reachabilityDelegate_.reset();
    loggerDelegate_.reset();
}

bool NBReachabilityChecker::start() {
    if (!reachability_) {
        reachability_ = reachabilityApi_->createWithNameFn(host_.c_str());
        if (!reachability_) return false;
        beginRun();
        if (!reachabilityApi_->setCallbackFn(reachability_, reachabilityCallback, reinterpret_cast<void*>(run_)) ||
            !reachabilityApi_->scheduleWithRunLoopFn(reachability_)) {
            endRun();
            reachabilityApi_->releaseFn(reachability_);
            reachability_ = nullptr;
            log(kLevelError, 902002, "Failed to start reachability handle");
            return false;
        }
    }
    log(kLevelDebug, 902003, "Monitoring the network status");
    return true;
}

void NBReachabilityChecker::stop() {
    if (!reachability_) return;
    endRun();
    reachabilityStatus_ = NBReachabilityStatusUnknown;
    reachabilityApi_->unscheduleFromRunLoopFn(reachability_);
    reachabilityApi_->releaseFn(reachability_);
    reachability_ = nullptr;
}

void NBReachabilityChecker::beginRun() {
    std::lock_guard lock(runs().mutex);
    run_ = ++runs().last;
    runs().byToken.emplace(run_, std::make_shared<CheckerRun>(this));
}

void NBReachabilityChecker::endRun() {
    std::shared_ptr<CheckerRun> run;
    {
        std::lock_guard lock(runs().mutex);
        auto it = runs().byToken.find(run_);
        if (it == runs().byToken.end()) return;
        run = std::move(it->second);
        runs().byToken.erase(it);
    }
    run_ = 0;
    std::lock_guard lock(run->mutex);  // waits out a delivery in progress elsewhere
    run->checker = nullptr;
}

void NBReachabilityChecker::setReachabilityApi(const NBReachabilityApi* api) {
    if (reachability_) {
        log(kLevelError, 902000, "Cannot change reachability API while reachability is running. Call stop first.");
        return;
    }
    reachabilityApi_ = api ? api : &kDefaultApi;
}

NBReachabilityStatus NBReachabilityChecker::statusForFlags(platform::ReachabilityFlags flags) {
    using namespace platform;
    const bool reachable = flags & kReachabilityFlagReachable;
    const bool connectionRequired = flags & kReachabilityFlagConnectionRequired;
    const bool automatic = flags & (kReachabilityFlagConnectionOnTraffic | kReachabilityFlagConnectionOnDemand);
    const bool intervention = flags & kReachabilityFlagInterventionRequired;
    if (!reachable || !(!connectionRequired || (automatic && !intervention))) return NBReachabilityStatusNotReachable;
    return (flags & kReachabilityFlagIsWWAN) ? NBReachabilityStatusReachableViaWWAN
                                             : NBReachabilityStatusReachableViaWifi;
}

void NBReachabilityChecker::reachabilityFlagsChanged(platform::ReachabilityFlags flags) {
    NBReachabilityStatus status = statusForFlags(flags);
    if (status == reachabilityStatus_) return;
    // The delegates are usually the checker's owner: a reference taken here
    // may be the last one once the owner lets go on another thread. Both are
    // held until the checker is no longer touched, so that the owner (and
    // the checker with it) goes only as this call returns.
    std::shared_ptr<NBNetworkLoggerDelegate> logger = loggerDelegate_.lock();
    std::shared_ptr<NBReachabilityDelegate> delegate = reachabilityDelegate_.lock();
    if (logger) {
        const char* text = status == NBReachabilityStatusUnknown        ? "Unknown"
                           : status == NBReachabilityStatusNotReachable ? "Disconnected"
                                                                        : "Connected";
        logger->nbNetwork_logWithLevelMessageCodeMessageContexts(
            kLevelDebug, 902004, std::string("Network status has changed. Code, status"),
            {platform::Value(static_cast<int>(status)), platform::Value(text)});
    }
    reachabilityStatus_ = status;
    if (delegate) delegate->reachability(*this, status);
}

void NBReachabilityChecker::log(int level, int64_t code, const std::string& message) {
    if (auto logger = loggerDelegate_.lock()) logger->nbNetwork_logWithLevel(level, code, message);
}

}  // namespace wharf
