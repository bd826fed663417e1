#pragma once
// Injectable wall and monotonic time for rules that depend on time.
#include <chrono>
#include <memory>

namespace wharf::platform {

class Clock {
public:
    using WallTime = std::chrono::system_clock::time_point;
    using MonoTime = std::chrono::steady_clock::time_point;
    virtual ~Clock() = default;
    virtual WallTime now() const = 0;
    virtual MonoTime monotonicNow() const = 0;
    // Seconds since 1970 as a double (NSDate's timeIntervalSince1970).
    double secondsSince1970() const;

    static std::shared_ptr<Clock> system();
    // The process clock (system() unless a test replaced it).
    static std::shared_ptr<Clock> shared();
    static void setShared(std::shared_ptr<Clock> clock);  // nullptr restores system()
};

// A clock tests move by hand. Thread-safe.
class ManualClock : public Clock {
public:
    ManualClock();
    WallTime now() const override;
    MonoTime monotonicNow() const override;
    void advance(std::chrono::nanoseconds d);
    void setNow(WallTime t);

private:
    struct State;
    std::shared_ptr<State> state_;
};

}  // namespace wharf::platform
