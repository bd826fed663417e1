#pragma once
// Plain log lines (the platform's "NSLog"): "<timestamp> <process>[<pid>:<tid>] <message>"
// written to stderr. Tests capture the messages with LogCapture.
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace wharf::platform {

void log(const char* format, ...) __attribute__((format(printf, 1, 2)));
void logMessage(const std::string& message);

// While alive, every logged message (without the prefix) is also appended to
// lines(). Several captures may be alive at once. Thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    std::vector<std::string> lines() const;
    bool contains(const std::string& substring) const;
    std::size_t count(const std::string& substring) const;
    void clear();

private:
    friend void logMessage(const std::string&);
    mutable std::mutex mutex_;
    std::vector<std::string> lines_;
};

// Silences stderr output of log lines (captures still see them). For benches.
void setLogToStderr(bool enabled);

}  // namespace wharf::platform
