#include "host/WFTimer.h"

#include <chrono>

#include "host/WFStrings.h"
#include "platform/base/Log.h"

namespace wharf {

void WFTimerItem::log() const {
    const double ms = std::chrono::duration<double, std::milli>(ended - started).count();
    platform::log("[WFTimer][%s] %fms", name.c_str(), ms);
}

WFTimer::WFTimer(std::shared_ptr<platform::Clock> clock) : clock_(std::move(clock)) {}

void WFTimer::add(const std::string& name) {
    const auto now = (clock_ ? clock_ : platform::Clock::shared())->now();
    std::lock_guard lock(mutex_);
    auto [it, inserted] = items_.try_emplace(wf_lowercase(name));
    if (!inserted) {
        platform::log("Timer called '%s' already exists.", name.c_str());
        return;
    }
    it->second.name = name;
    it->second.started = now;
}

void WFTimer::remove(const std::string& name) {
    const auto now = (clock_ ? clock_ : platform::Clock::shared())->now();
    WFTimerItem item;
    {
        std::lock_guard lock(mutex_);
        auto it = items_.find(wf_lowercase(name));
        if (it == items_.end()) {
            platform::log("Timer called '%s' does not exist.", name.c_str());
            return;
        }
        item = std::move(it->second);
        items_.erase(it);
    }
    item.ended = now;
    item.log();
}

void WFTimer::removeAll() {
    std::lock_guard lock(mutex_);
    items_.clear();
}

std::map<std::string, WFTimerItem> WFTimer::items() const {
    std::lock_guard lock(mutex_);
    return items_;
}

void WFTimer::start(const std::string& name) { sharedInstance().add(name); }
void WFTimer::stop(const std::string& name) { sharedInstance().remove(name); }
void WFTimer::clearAll() { sharedInstance().removeAll(); }

WFTimer& WFTimer::sharedInstance() {
    static WFTimer instance;
    return instance;
}

}  // namespace wharf
