#pragma once
// Named intervals, measured and logged ("[WFTimer][name] 12.5ms").
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "platform/base/Clock.h"

namespace wharf {

class WFTimerItem {
public:
    std::string name;
    platform::Clock::WallTime started;
    platform::Clock::WallTime ended;
    // Logs "[WFTimer][%@] %fms" with the elapsed time between started and ended.
    void log() const;
};

class WFTimer {
public:
    explicit WFTimer(std::shared_ptr<platform::Clock> clock = nullptr);

    // Starts a timer; logs "Timer called '%@' already exists." when one runs
    // under the same name in any letter case.
    void add(const std::string& name);
    // Stops, logs and forgets a timer; logs "Timer called '%@' does not exist." otherwise.
    void remove(const std::string& name);
    void removeAll();
    std::map<std::string, WFTimerItem> items() const;

    static void start(const std::string& name);
    static void stop(const std::string& name);
    static void clearAll();
    static WFTimer& sharedInstance();

private:
    std::shared_ptr<platform::Clock> clock_;
    mutable std::mutex mutex_;
    std::map<std::string, WFTimerItem> items_;
};

}  // namespace wharf
