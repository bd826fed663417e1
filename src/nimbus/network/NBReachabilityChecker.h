#pragma once
// Watches whether one host can be reached and tells a delegate when the status
// changes. The platform's reachability functions are reached through a
// replaceable table, which may be swapped while the checker is stopped. The
// checker belongs to the main thread: status changes and delegate calls
// happen there, also for a table that calls back on another thread. A
// callback that reaches the main thread after the checker stopped (or was
// destroyed) is ignored.
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "nimbus/network/NBNetworkLoggerDelegate.h"
#include "platform/net/Reachability.h"

namespace wharf {

enum NBReachabilityStatus : int {
    NBReachabilityStatusUnknown = 0,
    NBReachabilityStatusNotReachable = 1,
    NBReachabilityStatusReachableViaWifi = 2,  // Wi-Fi or wired networking
    NBReachabilityStatusReachableViaWWAN = 3,
};

// The five reachability functions, in this order.
struct NBReachabilityApi {
    platform::ReachabilityRef (*createWithNameFn)(const char* host);
    bool (*setCallbackFn)(platform::ReachabilityRef, platform::ReachabilityCallback, void* info);
    bool (*scheduleWithRunLoopFn)(platform::ReachabilityRef);
    bool (*unscheduleFromRunLoopFn)(platform::ReachabilityRef);
    void (*releaseFn)(platform::ReachabilityRef);
};

// The platform's table (GIO's network monitor).
const NBReachabilityApi* NBReachabilityDefaultApi();

class NBReachabilityChecker;

class NBReachabilityDelegate {
public:
    virtual ~NBReachabilityDelegate() = default;
    virtual void reachability(NBReachabilityChecker& reachability, NBReachabilityStatus status) = 0;
};

class NBReachabilityChecker {
public:
    // nullptr (after the logger delegate logged 902001) for an empty host.
    static std::unique_ptr<NBReachabilityChecker> initWithReachabilityDelegate(
        std::weak_ptr<NBReachabilityDelegate> reachabilityDelegate,
        std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate, const std::string& host);
    ~NBReachabilityChecker();
    NBReachabilityChecker(const NBReachabilityChecker&) = delete;
    NBReachabilityChecker& operator=(const NBReachabilityChecker&) = delete;

    bool start();
    void stop();

    const NBReachabilityApi* reachabilityApi() const { return reachabilityApi_; }
    // Refused (and logged) while running.
    void setReachabilityApi(const NBReachabilityApi* api);
    NBReachabilityStatus reachabilityStatus() const { return reachabilityStatus_.load(); }
    const std::string& host() const { return host_; }
    platform::ReachabilityRef reachability() const { return reachability_; }
    bool isActive() const { return reachability_ != nullptr; }

    std::weak_ptr<NBReachabilityDelegate> reachabilityDelegate() const { return reachabilityDelegate_; }
    void setReachabilityDelegate(std::weak_ptr<NBReachabilityDelegate> delegate) {
        reachabilityDelegate_ = std::move(delegate);
    }
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate() const { return loggerDelegate_; }
    void setLoggerDelegate(std::weak_ptr<NBNetworkLoggerDelegate> delegate) { loggerDelegate_ = std::move(delegate); }

    static NBReachabilityStatus statusForFlags(platform::ReachabilityFlags flags);
    // From the platform callback, on the main thread.
    void reachabilityFlagsChanged(platform::ReachabilityFlags flags);

private:
    NBReachabilityChecker() = default;
    void log(int level, int64_t code, const std::string& message);
    // The number the callback table is given for the current run.
    void beginRun();
    void endRun();

    const NBReachabilityApi* reachabilityApi_ = nullptr;
    // Written on the main thread by status changes and by a stop() on any
    // thread (which first waits out a change being delivered).
    std::atomic<NBReachabilityStatus> reachabilityStatus_{NBReachabilityStatusUnknown};
    std::string host_;
    platform::ReachabilityRef reachability_ = nullptr;
    uintptr_t run_ = 0;
    std::weak_ptr<NBReachabilityDelegate> reachabilityDelegate_;
    std::weak_ptr<NBNetworkLoggerDelegate> loggerDelegate_;
};

}  // namespace wharf
