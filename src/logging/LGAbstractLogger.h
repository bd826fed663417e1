#pragma once
// The base of every logger: owns the logger's serial queue, marks it so code
// can tell whether it runs there, and holds the formatter.
//
// A logger's settings belong to its queue. Its own code (running there) reads
// and writes the fields directly; everyone else goes through the property
// methods, which hop through the logging queue and then the logger's queue, so
// a change lands after every message queued before it.
//
// Loggers are made with std::make_shared: deferred work keeps them alive.
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "logging/LGLog.h"
#include "logging/LGLogger.h"

namespace wharf {

class LGAbstractLogger : public LGLogger, public std::enable_shared_from_this<LGAbstractLogger> {
public:
    LGAbstractLogger() = default;
    ~LGAbstractLogger() override;
    LGAbstractLogger(const LGAbstractLogger&) = delete;
    LGAbstractLogger& operator=(const LGAbstractLogger&) = delete;

    void logMessage(const LGLogMessage& message) override;
    std::shared_ptr<LGLogFormatter> logFormatter() override;
    void setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) override;
    // Made on first use, labelled with loggerName() of the most derived class.
    platform::dispatch::QueuePtr loggerQueue() override;
    // The class name (without namespaces).
    std::string loggerName() override;

    bool isOnGlobalLoggingQueue() const;
    bool isOnInternalLoggerQueue() const;
    void setLoggerQueue(platform::dispatch::QueuePtr queue);

protected:
    // Access rule, getter: runs `read` on the logger's queue after everything
    // queued before, and returns its result.
    template <class Read>
    auto readSetting(Read read) -> decltype(read());
    // Access rule, setter: the change runs on the logger's queue (at once when
    // already there). `strict` setters are not meant to be called from the
    // logger's own queue at all.
    void changeSetting(std::function<void()> change, bool strict);

    // Formatter, touched only on the logger's queue.
    std::shared_ptr<LGLogFormatter> logFormatter_;

private:
    void readOnLoggerQueue(const std::function<void()>& read);

    mutable std::mutex queueMutex_;
    platform::dispatch::QueuePtr loggerQueue_;
};

template <class Read>
auto LGAbstractLogger::readSetting(Read read) -> decltype(read()) {
    std::optional<decltype(read())> result;
    readOnLoggerQueue([&] { result.emplace(read()); });
    return std::move(*result);
}

}  // namespace wharf
