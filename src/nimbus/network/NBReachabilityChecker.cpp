#include "nimbus/network/NBReachabilityChecker.h"

#include "platform/RunLoop.h"

namespace wharf {

namespace {

constexpr int kLevelError = 3;
constexpr int kLevelDebug = 7;

const NBReachabilityApi kDefaultApi = {
    platform::reachabilityCreateWithName,       platform::reachabilitySetCallback,
    platform::reachabilityScheduleWithMainRunLoop, platform::reachabilityUnscheduleFromMainRunLoop,
    platform::reachabilityRelease,
};

void reachabilityCallback(platform::ReachabilityRef, platform::ReachabilityFlags flags, void* info) {
    auto* checker = static_cast<NBReachabilityChecker*>(info);
    if (!checker) return;
    if (platform::RunLoop::isMainThread()) {
        checker->reachabilityFlagsChanged(flags);
        return;
    }
    // A table that calls back elsewhere still reports on the main thread.
    platform::RunLoop::performOnMain([checker, flags] { checker->reachabilityFlagsChanged(flags); });
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
    reachabilityDelegate_.reset();
    loggerDelegate_.reset();
    stop();
}

bool NBReachabilityChecker::start() {
    if (!reachability_) {
        reachability_ = reachabilityApi_->createWithNameFn(host_.c_str());
        if (!reachability_) return false;
        if (!reachabilityApi_->setCallbackFn(reachability_, reachabilityCallback, this) ||
            !reachabilityApi_->scheduleWithRunLoopFn(reachability_)) {
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
    reachabilityStatus_ = NBReachabilityStatusUnknown;
    reachabilityApi_->unscheduleFromRunLoopFn(reachability_);
    reachabilityApi_->releaseFn(reachability_);
    reachability_ = nullptr;
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
    return (flags & kReachabilityFlagIsWWAN) ? NBReachabilityStatusReachableViaWWAN : NBReachabilityStatusReachableViaWifi;
}

void NBReachabilityChecker::reachabilityFlagsChanged(platform::ReachabilityFlags flags) {
    NBReachabilityStatus status = statusForFlags(flags);
    if (status == reachabilityStatus_) return;
    if (auto logger = loggerDelegate_.lock()) {
        const char* text = status == NBReachabilityStatusUnknown        ? "Unknown"
                           : status == NBReachabilityStatusNotReachable ? "Disconnected"
                                                                        : "Connected";
        logger->nbNetwork_logWithLevelMessageCodeMessageContexts(
            kLevelDebug, 902004, std::string("Network status has changed. Code, status"),
            {platform::Value(static_cast<int>(status)), platform::Value(text)});
    }
    reachabilityStatus_ = status;
    if (auto delegate = reachabilityDelegate_.lock()) delegate->reachability(*this, status);
}

void NBReachabilityChecker::log(int level, int64_t code, const std::string& message) {
    if (auto logger = loggerDelegate_.lock()) logger->nbNetwork_logWithLevel(level, code, message);
}

}  // namespace wharf
