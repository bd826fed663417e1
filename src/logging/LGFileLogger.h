#pragma once
// The file sink: appends each message as a line to the current log file and
// rolls to a new file by size, by age, or when the file is renamed or deleted
// underneath; rolled files carry the archived mark.
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "logging/LGAbstractLogger.h"
#include "logging/LGFailureReport.h"
#include "logging/LGLogFileInfo.h"
#include "logging/LGLogFileManager.h"

namespace wharf {

// "<date>  <message>" with the date as "yyyy/MM/dd HH:mm:ss:SSS" (local time)
// unless another date formatter is given.
class LGLogFileFormatterDefault : public LGLogFormatter {
public:
    using DateFormatter = std::function<std::string(double secondsSince1970)>;
    LGLogFileFormatterDefault();
    explicit LGLogFileFormatterDefault(DateFormatter dateFormatter);
    std::optional<std::string> formatLogMessage(const LGLogMessage& message) override;
    static std::string defaultDateString(double secondsSince1970);

private:
    DateFormatter dateFormatter_;
};

class LGFileLogger : public LGAbstractLogger {
public:
    // A null manager means a default one over the default directory. `clock`
    // ages the current file; the manager's (or the process) clock when null.
    explicit LGFileLogger(std::shared_ptr<LGLogFileManager> manager = nullptr,
                          std::shared_ptr<platform::Clock> clock = nullptr);
    ~LGFileLogger() override;

    std::string loggerName() override { return "wharf.logging.fileLogger"; }
    void logMessage(const LGLogMessage& message) override;
    void willRemoveLogger() override;

    // Bytes; 0 turns rolling by size off.
    uint64_t maximumFileSize();
    void setMaximumFileSize(uint64_t bytes);
    // Seconds; 0 or less turns rolling by age off.
    double rollingFrequency();
    void setRollingFrequency(double seconds);
    bool doNotReuseLogFiles() const { return doNotReuseLogFiles_.load(); }
    void setDoNotReuseLogFiles(bool value) { doNotReuseLogFiles_.store(value); }
    bool automaticallyAppendNewlineForCustomFormatters() const { return automaticallyAppendNewline_.load(); }
    void setAutomaticallyAppendNewlineForCustomFormatters(bool value) { automaticallyAppendNewline_.store(value); }
    const std::shared_ptr<LGLogFileManager>& logFileManager() const { return logFileManager_; }

    // The file being written (chosen or created when there is none). Off the
    // logger's queue this answers a fresh info for the same path.
    std::shared_ptr<LGLogFileInfo> currentLogFileInfo();
    void rollLogFile() { rollLogFileWithCompletionBlock(nullptr); }
    // The completion runs on the default global queue after the roll.
    void rollLogFileWithCompletionBlock(std::function<void()> completion);

private:
    std::shared_ptr<LGLogFileInfo> lt_currentLogFileInfo();
    int currentLogFileHandle();
    void closeCurrentFile();
    void rollLogFileNow();
    void maybeRollLogFileDueToSize();
    void maybeRollLogFileDueToAge();
    void scheduleTimerToRollLogFileDueToAge();
    void watchCurrentFile();
    void handleWatchEvents();
    void reportFailure(const std::string& what);
    void syncCurrentLogFile();
    // Writes the text, and a newline when asked, as one write.
    void writeLine(std::string_view text, bool appendNewline);
    void discardPartialWrite(int fd, std::size_t written);
    std::function<void()> weakly(void (LGFileLogger::*action)());

    const std::shared_ptr<LGLogFileManager> logFileManager_;
    std::shared_ptr<platform::Clock> clock_;
    std::shared_ptr<const LGFileTimesReader> fileTimes_;
    std::atomic<bool> doNotReuseLogFiles_{false};
    std::atomic<bool> automaticallyAppendNewline_{true};

    // The logger's queue only.
    uint64_t maximumFileSize_ = 1024 * 1024;
    double rollingFrequency_ = 86400.0;
    std::shared_ptr<LGLogFileInfo> currentLogFileInfo_;
    int currentLogFileHandle_ = -1;
    // Where the next write of this logger lands; kept here rather than asked
    // of the kernel with every message.
    uint64_t currentLogFileOffset_ = 0;
    // The last file that refused to be opened for writing and whether this
    // logger had just made it; whether the current file was made rather than
    // taken again.
    std::string refusedLogFile_;
    bool refusedLogFileWasMade_ = false;
    bool currentLogFileCreated_ = false;
    int watchFd_ = -1;
    LGFailureReport openReport_;
    LGFailureReport writeReport_;
    std::unique_ptr<platform::dispatch::FdSource> currentLogFileVnode_;
    std::unique_ptr<platform::dispatch::TimerSource> rollingTimer_;
};

}  // namespace wharf
