#include "platform/base/Log.h"

#include <errno.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace wharf::platform {

namespace {

// Live captures. Never destroyed: lines may still be logged by other static
// destructors while the process exits.
struct Sinks {
    std::mutex mutex;
    std::vector<LogCapture*> captures;
};

Sinks& sinks() {
    static Sinks* s = new Sinks;
    return *s;
}

std::atomic<bool> g_toStderr{true};

// Serialises writes to stderr so that lines longer than the pipe's atomic
// write size are not interleaved between threads.
std::mutex& stderrMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}

std::string prefix() {
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    struct tm tm {};
    localtime_r(&ts.tv_sec, &tm);
    char buf[160];
    std::snprintf(buf, sizeof buf, "%04d-%02d-%02d %02d:%02d:%02d.%03ld %s[%ld:%ld] ", tm.tm_year + 1900, tm.tm_mon + 1,
                  tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, ts.tv_nsec / 1000000L, program_invocation_short_name,
                  static_cast<long>(getpid()), static_cast<long>(syscall(SYS_gettid)));
    return buf;
}

void writeAll(int fd, const char* data, std::size_t size) {
    while (size > 0) {
        ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR) continue;
            return;  // nowhere else to report it
        }
        data += n;
        size -= static_cast<std::size_t>(n);
    }
}

}  // namespace

void logMessage(const std::string& message) {
    {
        Sinks& s = sinks();
        std::lock_guard lock(s.mutex);
        for (LogCapture* c : s.captures) {
            std::lock_guard cl(c->mutex_);
            c->lines_.push_back(message);
        }
    }
    if (!g_toStderr.load(std::memory_order_relaxed)) return;
    std::string line = prefix();
    line += message;
    line += '\n';
    std::lock_guard lock(stderrMutex());
    writeAll(STDERR_FILENO, line.data(), line.size());
}

void log(const char* format, ...) {
    char stackBuf[512];
    va_list args;
    va_start(args, format);
    va_list copy;
    va_copy(copy, args);
    int n = std::vsnprintf(stackBuf, sizeof stackBuf, format, args);
    va_end(args);
    if (n < 0) {
        va_end(copy);
        logMessage(format);
        return;
    }
    if (static_cast<std::size_t>(n) < sizeof stackBuf) {
        va_end(copy);
        logMessage(std::string(stackBuf, static_cast<std::size_t>(n)));
        return;
    }
    std::string text(static_cast<std::size_t>(n) + 1, '\0');
    std::vsnprintf(text.data(), text.size(), format, copy);
    va_end(copy);
    text.resize(static_cast<std::size_t>(n));
    logMessage(text);
}

void setLogToStderr(bool enabled) { g_toStderr.store(enabled, std::memory_order_relaxed); }

LogCapture::LogCapture() {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    s.captures.push_back(this);
}

LogCapture::~LogCapture() {
    Sinks& s = sinks();
    std::lock_guard lock(s.mutex);
    s.captures.erase(std::remove(s.captures.begin(), s.captures.end(), this), s.captures.end());
}

std::vector<std::string> LogCapture::lines() const {
    std::lock_guard lock(mutex_);
    return lines_;
}

bool LogCapture::contains(const std::string& substring) const { return count(substring) > 0; }

std::size_t LogCapture::count(const std::string& substring) const {
    std::lock_guard lock(mutex_);
    return static_cast<std::size_t>(std::count_if(
        lines_.begin(), lines_.end(), [&](const std::string& l) { return l.find(substring) != std::string::npos; }));
}

void LogCapture::clear() {
    std::lock_guard lock(mutex_);
    lines_.clear();
}

}  // namespace wharf::platform
