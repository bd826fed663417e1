#pragma once
// The two protocols of the framework: a logger (a sink) and a formatter that
// lays out its lines.
#include <memory>
#include <optional>
#include <string>

#include "logging/LGLogMessage.h"
#include "platform/dispatch/Dispatch.h"

namespace wharf {

class LGLogger;

class LGLogFormatter {
public:
    virtual ~LGLogFormatter() = default;
    // The text to write, or nothing to drop the message.
    virtual std::optional<std::string> formatLogMessage(const LGLogMessage& message) = 0;
    virtual void didAddToLogger(LGLogger& /*logger*/) {}
    virtual void willRemoveFromLogger(LGLogger& /*logger*/) {}
};

class LGLogger {
public:
    virtual ~LGLogger() = default;

    // Called only on the logger's queue.
    virtual void logMessage(const LGLogMessage& message) = 0;
    virtual std::shared_ptr<LGLogFormatter> logFormatter() = 0;
    virtual void setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) = 0;

    // Optional; the defaults do nothing.
    virtual void didAddLogger() {}
    virtual void willRemoveLogger() {}
    virtual void flush() {}
    // The queue to be called on; null lets the dispatcher make one labelled
    // with loggerName().
    virtual platform::dispatch::QueuePtr loggerQueue() { return nullptr; }
    virtual std::string loggerName() { return {}; }
};

using LGLoggerPtr = std::shared_ptr<LGLogger>;

}  // namespace wharf
