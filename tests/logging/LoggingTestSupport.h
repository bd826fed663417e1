#pragma once
// A recording logger and small helpers for the logging tests.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "logging/LGAbstractLogger.h"
#include "logging/LGLog.h"

namespace wharf::test {

// Records what it receives; can be held shut so deliveries pile up.
class RecordingLogger : public LGAbstractLogger {
public:
    void logMessage(const LGLogMessage& message) override {
        onQueue = isOnInternalLoggerQueue();
        onLoggingQueue = isOnGlobalLoggingQueue();
        {
            std::unique_lock<std::mutex> lock(mutex_);
            gateOpen_.wait(lock, [this] { return !held_; });
            messages_.push_back(message);
        }
        if (onMessage) onMessage(message);
    }
    void flush() override { ++flushes; }

    void hold() {
        std::lock_guard<std::mutex> lock(mutex_);
        held_ = true;
    }
    void release() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            held_ = false;
        }
        gateOpen_.notify_all();
    }
    std::vector<LGLogMessage> messages() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_;
    }
    std::size_t count() const {
        std::lock_guard<std::mutex> lock(mutex_);
        return messages_.size();
    }

    std::function<void(const LGLogMessage&)> onMessage;  // set before registering
    std::atomic<int> flushes{0};
    std::atomic<bool> onQueue{false};
    std::atomic<bool> onLoggingQueue{true};

private:
    mutable std::mutex mutex_;
    std::condition_variable gateOpen_;
    bool held_ = false;
    std::vector<LGLogMessage> messages_;
};

// Polls `condition` until it holds or `timeout` passes.
inline bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout = kHangDeadline) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

// Leaves the dispatcher without loggers and with nothing in flight.
inline void resetLogging() {
    LGLog::removeAllLoggers();
    LGLog::flushLog();
}

}  // namespace wharf::test
