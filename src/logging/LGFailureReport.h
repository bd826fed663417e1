#pragma once
// Decides which failures of the file logger and its manager are reported: a
// failure that repeats with every message is worth one line, not one per
// message.
#include <string>

namespace wharf {

// Once per cause, and again only after the failure cleared or gave way to
// another cause. Not thread-safe.
class LGFailureReport {
public:
    bool shouldReport(const std::string& cause) {
        if (active_ && cause == cause_) return false;
        active_ = true;
        cause_ = cause;
        return true;
    }
    void clear() { active_ = false; }

private:
    bool active_ = false;
    std::string cause_;
};

}  // namespace wharf
