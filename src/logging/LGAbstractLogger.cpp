#include "logging/LGAbstractLogger.h"

#include <cxxabi.h>

#include <cstdlib>
#include <typeinfo>

#include "logging/LGInternal.h"

namespace wharf {

using platform::dispatch::QueuePtr;

LGAbstractLogger::~LGAbstractLogger() = default;

void LGAbstractLogger::logMessage(const LGLogMessage&) {}

std::string LGAbstractLogger::loggerName() {
    const char* mangled = typeid(*this).name();
    int status = 0;
    char* demangled = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
    std::string name = (status == 0 && demangled) ? demangled : mangled;
    std::free(demangled);
    std::size_t colon = name.rfind("::");
    if (colon != std::string::npos) name.erase(0, colon + 2);
    return name;
}

QueuePtr LGAbstractLogger::loggerQueue() {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (!loggerQueue_) {
        // Not in the constructor: only now does loggerName() answer for the
        // most derived class.
        loggerQueue_ = platform::dispatch::createSerialQueue(loggerName());
        loggerQueue_->setSpecific(this, this);
        LGLog::markLoggerQueue(loggerQueue_);
    }
    return loggerQueue_;
}

void LGAbstractLogger::setLoggerQueue(QueuePtr queue) {
    if (queue) {
        queue->setSpecific(this, this);
        LGLog::markLoggerQueue(queue);
    }
    std::lock_guard<std::mutex> lock(queueMutex_);
    loggerQueue_ = std::move(queue);
}

bool LGAbstractLogger::isOnGlobalLoggingQueue() const { return LGLog::isOnLoggingQueue(); }

bool LGAbstractLogger::isOnInternalLoggerQueue() const {
    return platform::dispatch::getSpecific(this) == static_cast<const void*>(this);
}

void LGAbstractLogger::readOnLoggerQueue(const std::function<void()>& read) {
    if (isOnInternalLoggerQueue()) {
        LG_MISUSE(lg::kDirectAccessFailure);
        read();
        return;
    }
    QueuePtr queue = loggerQueue();
    bool done = false;
    auto viaLoggerQueue = [&] { done = queue->sync(read); };
    if (isOnGlobalLoggingQueue()) {
        LG_MISUSE(lg::kCoreArchitectureFailure);
        viaLoggerQueue();
    } else if (LGLog::isOnLoggerQueue()) {
        // The logging queue may be waiting for the queue we are on: going
        // through it would never return.
        viaLoggerQueue();
    } else {
        LGLog::syncOnLoggingQueue(viaLoggerQueue);
    }
    if (!done) read();
}

void LGAbstractLogger::changeSetting(std::function<void()> change, bool strict) {
    if (isOnInternalLoggerQueue()) {
        if (strict) LG_MISUSE(lg::kDirectAccessFailure);
        change();
        return;
    }
    QueuePtr queue = loggerQueue();
    // Keeps the logger alive until the change has run.
    std::shared_ptr<LGAbstractLogger> keep = weak_from_this().lock();
    auto task = [keep, change = std::move(change)] { change(); };
    if (isOnGlobalLoggingQueue()) {
        LG_MISUSE(lg::kCoreArchitectureFailure);
        queue->async(std::move(task));
        return;
    }
    LGLog::asyncOnLoggingQueue([queue, task = std::move(task)]() mutable { queue->async(std::move(task)); });
}

std::shared_ptr<LGLogFormatter> LGAbstractLogger::logFormatter() {
    return readSetting([this] { return logFormatter_; });
}

void LGAbstractLogger::setLogFormatter(std::shared_ptr<LGLogFormatter> formatter) {
    changeSetting(
        [this, formatter = std::move(formatter)] {
            if (formatter == logFormatter_) return;
            if (logFormatter_) logFormatter_->willRemoveFromLogger(*this);
            logFormatter_ = formatter;
            if (logFormatter_) logFormatter_->didAddToLogger(*this);
        },
        true);
}

}  // namespace wharf
