#include "nimbus/toolbox/TBLogger.h"

namespace wharf {

namespace {

std::mutex& sharedLoggerMutex() {
    static std::mutex mutex;
    return mutex;
}

std::shared_ptr<TBLogger>& sharedLoggerSlot() {
    static std::shared_ptr<TBLogger> logger;
    return logger;
}

// Builds a ready-made logger; a failure on the way gives none.
template <typename Build>
std::shared_ptr<TBLogger> buildLogger(Build build) {
    try {
        return build();
    } catch (...) {
        return nullptr;
    }
}

std::shared_ptr<TBLogger> standardLoggerTo(std::shared_ptr<TBLogWriter> writer) {
    return buildLogger([&] {
        return std::make_shared<TBLogger>(std::move(writer), std::make_shared<TBLogStandardFormatter>(),
                                          std::make_shared<TBLogLevelFilter>());
    });
}

}  // namespace

std::shared_ptr<TBLogger> TBLogger::sharedLogger() {
    std::lock_guard lock(sharedLoggerMutex());
    auto& logger = sharedLoggerSlot();
    if (!logger) logger = standardLogger();
    return logger;
}

void TBLogger::setSharedLogger(std::shared_ptr<TBLogger> logger) {
    std::lock_guard lock(sharedLoggerMutex());
    sharedLoggerSlot() = std::move(logger);
}

std::shared_ptr<TBLogger> TBLogger::standardLogger() {
    return standardLoggerTo(TBFileHandleLogWriter::fileHandleWithStandardOutput());
}

std::shared_ptr<TBLogger> TBLogger::standardLoggerWithStderr() {
    return standardLoggerTo(TBFileHandleLogWriter::fileHandleWithStandardError());
}

std::shared_ptr<TBLogger> TBLogger::standardLoggerWithStdoutAndStderr() {
    return buildLogger([]() -> std::shared_ptr<TBLogger> {
        auto low = TBLogMaximumLevelFilter::initWithMaximumLevel(TBLoggerLevelInfo);
        auto high = TBLogMininumLevelFilter::initWithMinimumLevel(TBLoggerLevelError);
        auto logger = standardLogger();
        if (!low || !high || !logger) return nullptr;
        auto formatter = std::make_shared<TBLogBasicFormatter>();
        auto toStdout =
            std::make_shared<TBLogger>(TBFileHandleLogWriter::fileHandleWithStandardOutput(), formatter, low);
        auto toStderr =
            std::make_shared<TBLogger>(TBFileHandleLogWriter::fileHandleWithStandardError(), formatter, high);
        auto split = std::make_shared<TBArrayCompositeLogWriter>(
            std::vector<std::shared_ptr<TBLogWriter>>{std::move(toStdout), std::move(toStderr)});
        logger->setWriter(std::make_shared<TBLogger>(std::move(split), formatter, std::make_shared<TBLogNoFilter>()));
        return logger;
    });
}

std::shared_ptr<TBLogger> TBLogger::standardLoggerWithPath(const std::string& path) {
    auto file = TBFileHandleLogWriter::fileHandleForLoggingAtPath(path, 0644);
    if (!file) return nullptr;
    return standardLoggerTo(std::move(file));
}

std::shared_ptr<TBLogger> TBLogger::loggerWithWriter(std::shared_ptr<TBLogWriter> writer,
                                                     std::shared_ptr<TBLogFormatter> formatter,
                                                     std::shared_ptr<TBLogFilter> filter) {
    return std::make_shared<TBLogger>(std::move(writer), std::move(formatter), std::move(filter));
}

std::shared_ptr<TBLogger> TBLogger::logger() { return std::make_shared<TBLogger>(); }

TBLogger::TBLogger(std::shared_ptr<TBLogWriter> writer, std::shared_ptr<TBLogFormatter> formatter,
                   std::shared_ptr<TBLogFilter> filter) {
    setWriter(std::move(writer));
    setFormatter(std::move(formatter));
    setFilter(std::move(filter));
}

std::shared_ptr<TBLogWriter> TBLogger::writer() const {
    std::lock_guard lock(mutex_);
    return writer_;
}

void TBLogger::setWriter(std::shared_ptr<TBLogWriter> writer) {
    if (!writer) writer = TBFileHandleLogWriter::fileHandleWithStandardOutput();
    std::lock_guard lock(mutex_);
    writer_.swap(writer);
    // The old writer is released after the lock, where its destructor may take its own.
}

std::shared_ptr<TBLogFormatter> TBLogger::formatter() const {
    std::lock_guard lock(mutex_);
    return formatter_;
}

void TBLogger::setFormatter(std::shared_ptr<TBLogFormatter> formatter) {
    if (!formatter) formatter = std::make_shared<TBLogBasicFormatter>();
    std::lock_guard lock(mutex_);
    formatter_.swap(formatter);
}

std::shared_ptr<TBLogFilter> TBLogger::filter() const {
    std::lock_guard lock(mutex_);
    return filter_;
}

void TBLogger::setFilter(std::shared_ptr<TBLogFilter> filter) {
    if (!filter) filter = std::make_shared<TBLogNoFilter>();
    std::lock_guard lock(mutex_);
    filter_.swap(filter);
}

#define TB_LOG_WITH_LEVEL(func, level)          \
    va_list args;                               \
    va_start(args, format);                     \
    logInternalFunc(func, format, args, level); \
    va_end(args)

void TBLogger::logDebug(const char* format, ...) { TB_LOG_WITH_LEVEL(nullptr, TBLoggerLevelDebug); }
void TBLogger::logInfo(const char* format, ...) { TB_LOG_WITH_LEVEL(nullptr, TBLoggerLevelInfo); }
void TBLogger::logError(const char* format, ...) { TB_LOG_WITH_LEVEL(nullptr, TBLoggerLevelError); }
void TBLogger::logAssert(const char* format, ...) { TB_LOG_WITH_LEVEL(nullptr, TBLoggerLevelAssert); }
void TBLogger::logFuncDebug(const char* func, const char* format, ...) { TB_LOG_WITH_LEVEL(func, TBLoggerLevelDebug); }
void TBLogger::logFuncInfo(const char* func, const char* format, ...) { TB_LOG_WITH_LEVEL(func, TBLoggerLevelInfo); }
void TBLogger::logFuncError(const char* func, const char* format, ...) { TB_LOG_WITH_LEVEL(func, TBLoggerLevelError); }
void TBLogger::logFuncAssert(const char* func, const char* format, ...) {
    TB_LOG_WITH_LEVEL(func, TBLoggerLevelAssert);
}

#undef TB_LOG_WITH_LEVEL

void TBLogger::logInternalFunc(const char* func, const char* format, va_list args, int level) {
    try {
        // Copies taken under the lock keep each part alive for the whole line,
        // however another thread exchanges them meanwhile.
        std::shared_ptr<TBLogWriter> writer;
        std::shared_ptr<TBLogFormatter> formatter;
        std::shared_ptr<TBLogFilter> filter;
        {
            std::lock_guard lock(mutex_);
            writer = writer_;
            formatter = formatter_;
            filter = filter_;
        }
        std::optional<std::string> name;
        if (func) name = func;
        const auto line = formatter->stringForFunc(name, format, args, level);
        if (!line) return;
        if (!filter->filterAllowsMessage(*line, level)) return;
        writer->logMessage(*line, level);
    } catch (...) {
        // Logging never takes its caller down.
    }
}

void TBLogger::logMessage(const std::string& message, int level) {
    switch (level) {
    case TBLoggerLevelDebug: logDebug("%s", message.c_str()); break;
    case TBLoggerLevelInfo: logInfo("%s", message.c_str()); break;
    case TBLoggerLevelError: logError("%s", message.c_str()); break;
    case TBLoggerLevelAssert: logAssert("%s", message.c_str()); break;
    default: break;
    }
}

}  // namespace wharf
