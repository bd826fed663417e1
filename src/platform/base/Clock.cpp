#include "platform/base/Clock.h"

#include <mutex>

namespace wharf::platform {

namespace {

class SystemClock final : public Clock {
public:
    WallTime now() const override { return std::chrono::system_clock::now(); }
    MonoTime monotonicNow() const override { return std::chrono::steady_clock::now(); }
};

// Never destroyed: code running in other static destructors may still ask for the time.
struct SharedClock {
    std::mutex mutex;
    std::shared_ptr<Clock> clock;
};

SharedClock& sharedClock() {
    static auto* s = new SharedClock{{}, Clock::system()};
    return *s;
}

}  // namespace

double Clock::secondsSince1970() const { return std::chrono::duration<double>(now().time_since_epoch()).count(); }

std::shared_ptr<Clock> Clock::system() {
    static auto* clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
    return *clock;
}

std::shared_ptr<Clock> Clock::shared() {
    auto& s = sharedClock();
    std::lock_guard lock(s.mutex);
    return s.clock;
}

void Clock::setShared(std::shared_ptr<Clock> clock) {
    auto& s = sharedClock();
    std::lock_guard lock(s.mutex);
    s.clock = clock ? std::move(clock) : system();
}

struct ManualClock::State {
    mutable std::mutex mutex;
    WallTime wall;
    MonoTime mono;
};

ManualClock::ManualClock() : state_(std::make_shared<State>()) {
    state_->wall = std::chrono::system_clock::now();
    state_->mono = std::chrono::steady_clock::now();
}

Clock::WallTime ManualClock::now() const {
    std::lock_guard lock(state_->mutex);
    return state_->wall;
}

Clock::MonoTime ManualClock::monotonicNow() const {
    std::lock_guard lock(state_->mutex);
    return state_->mono;
}

void ManualClock::advance(std::chrono::nanoseconds d) {
    std::lock_guard lock(state_->mutex);
    state_->wall += std::chrono::duration_cast<std::chrono::system_clock::duration>(d);
    // Monotonic time never runs backwards; a negative step moves the wall clock only.
    if (d > std::chrono::nanoseconds::zero())
        state_->mono += std::chrono::duration_cast<std::chrono::steady_clock::duration>(d);
}

void ManualClock::setNow(WallTime t) {
    std::lock_guard lock(state_->mutex);
    state_->wall = t;
}

}  // namespace wharf::platform
