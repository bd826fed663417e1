#pragma once
// A small logger built from three exchangeable parts: a writer (where a line
// goes), a formatter (how the line is made from a printf format and its
// arguments) and a filter (whether a line at a level passes).
//
//     auto logger = TBLogger::standardLoggerWithPath("/tmp/app.log");
//     logger->logError("could not open %s", path.c_str());
//
// Text that comes from outside is always an argument, never the format.
// Every method may be called from any thread; the parts may be exchanged
// while other threads log, and each line uses the parts that were set when
// it began. Logging never throws.
#include <cstdarg>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <sys/types.h>

#include "nimbus/toolbox/TBLogFilter.h"
#include "nimbus/toolbox/TBLogFormatter.h"
#include "nimbus/toolbox/TBLogWriter.h"

namespace wharf {

class TBLogger : public TBLogWriter {
public:
    // The process-wide logger, a standardLogger() until replaced.
    static std::shared_ptr<TBLogger> sharedLogger();
    static void setSharedLogger(std::shared_ptr<TBLogger> logger);

    // Standard output, TBLogStandardFormatter, TBLogLevelFilter.
    static std::shared_ptr<TBLogger> standardLogger();
    // The same on standard error.
    static std::shared_ptr<TBLogger> standardLoggerWithStderr();
    // Debug and info lines to standard output, error and assert lines to
    // standard error, all passing the standard formatter and level filter.
    static std::shared_ptr<TBLogger> standardLoggerWithStdoutAndStderr();
    // A standardLogger() appending to `path` (created 0644 when missing);
    // nullptr when the file cannot be opened.
    static std::shared_ptr<TBLogger> standardLoggerWithPath(const std::string& path);
    static std::shared_ptr<TBLogger> loggerWithWriter(std::shared_ptr<TBLogWriter> writer,
                                                      std::shared_ptr<TBLogFormatter> formatter,
                                                      std::shared_ptr<TBLogFilter> filter);
    // Standard output, the basic formatter, no filter.
    static std::shared_ptr<TBLogger> logger();

    // A missing part is defaulted: standard output, TBLogBasicFormatter, TBLogNoFilter.
    TBLogger() : TBLogger(nullptr, nullptr, nullptr) {}
    TBLogger(std::shared_ptr<TBLogWriter> writer, std::shared_ptr<TBLogFormatter> formatter,
             std::shared_ptr<TBLogFilter> filter);

    std::shared_ptr<TBLogWriter> writer() const;
    void setWriter(std::shared_ptr<TBLogWriter> writer);
    std::shared_ptr<TBLogFormatter> formatter() const;
    void setFormatter(std::shared_ptr<TBLogFormatter> formatter);
    std::shared_ptr<TBLogFilter> filter() const;
    void setFilter(std::shared_ptr<TBLogFilter> filter);

    void logDebug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logInfo(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logError(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void logAssert(const char* format, ...) __attribute__((format(printf, 2, 3)));
    // The same with the calling function's name (for instance __PRETTY_FUNCTION__).
    void logFuncDebug(const char* func, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void logFuncInfo(const char* func, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void logFuncError(const char* func, const char* format, ...) __attribute__((format(printf, 3, 4)));
    void logFuncAssert(const char* func, const char* format, ...) __attribute__((format(printf, 3, 4)));
    // Formats, filters and writes one line; `func` may be null.
    void logInternalFunc(const char* func, const char* format, va_list args, int level)
        __attribute__((format(printf, 3, 0)));

    // As another logger's writer: a line of level 1 to 4 is logged again
    // through this logger's own formatter and filter; other levels are dropped.
    void logMessage(const std::string& message, int level) override;

private:
    mutable std::mutex mutex_;
    std::shared_ptr<TBLogWriter> writer_;
    std::shared_ptr<TBLogFormatter> formatter_;
    std::shared_ptr<TBLogFilter> filter_;
};

}  // namespace wharf
