#pragma once
// Test support for the core logger: see the lines that reach the system log,
// wait for the logging queue, and put the threshold back between tests.
#include <mutex>
#include <string>
#include <vector>

namespace wharf {

// While alive, every line the core logger writes (after the level mask) is
// also recorded here with its level. Several captures may be alive at once.
class NBLoggerCapture {
public:
    struct Line {
        int level;
        std::string text;
    };

    NBLoggerCapture();
    ~NBLoggerCapture();
    NBLoggerCapture(const NBLoggerCapture&) = delete;
    NBLoggerCapture& operator=(const NBLoggerCapture&) = delete;

    // These first wait for the lines already submitted to the logging queue.
    std::vector<Line> lines() const;
    bool contains(const std::string& substring) const;
    std::size_t count(const std::string& substring) const;
    void clear();

    void record(int level, const std::string& text);

private:
    mutable std::mutex mutex_;
    std::vector<Line> lines_;
};

// Waits until every line and setting submitted so far has been handled.
void NBLoggerFlush();

// Back to the threshold 5 and the analytics debug mode off (debug mode, fixed
// at set-up, stays as it is).
void NBLoggerResetForTesting();

// Whether debug mode was switched on at set-up.
bool NBLoggerDebugModeForTesting();

// Whether lines also go to the system log (on by default; benches and tests
// may keep the journal clean).
void NBLoggerSetSystemLogEnabled(bool enabled);

}  // namespace wharf
