#pragma once
// The set of log files a file logger writes into: naming, creation,
// recognition and deletion of the oldest by count and by total size.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "logging/LGFailureReport.h"
#include "logging/LGLogFileInfo.h"
#include "platform/base/Clock.h"

namespace wharf {

class LGLogFileManager {
public:
    virtual ~LGLogFileManager() = default;
    virtual std::string logsDirectory() = 0;
    virtual std::vector<std::string> unsortedLogFilePaths() = 0;
    virtual std::vector<std::string> unsortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LGLogFileInfo>> unsortedLogFileInfos() = 0;
    virtual std::vector<std::string> sortedLogFilePaths() = 0;
    virtual std::vector<std::string> sortedLogFileNames() = 0;
    virtual std::vector<std::shared_ptr<LGLogFileInfo>> sortedLogFileInfos() = 0;
    // The path of a new, empty file; "" when none could be made.
    virtual std::string createNewLogFile() = 0;
    virtual uint64_t maximumNumberOfLogFiles() = 0;
    virtual void setMaximumNumberOfLogFiles(uint64_t count) = 0;
    virtual uint64_t logFilesDiskQuota() = 0;
    virtual void setLogFilesDiskQuota(uint64_t bytes) = 0;

    // Optional notifications.
    virtual void didArchiveLogFile(const std::string& /*path*/) {}
    virtual void didRollAndArchiveLogFile(const std::string& /*path*/) {}
};

class LGLogFileManagerDefault : public LGLogFileManager, public std::enable_shared_from_this<LGLogFileManagerDefault> {
public:
    // An empty directory means the default (<Caches>/Logs). `clock` names new
    // files and ages existing ones; the process clock when null. `fileTimes`
    // reads the files' dates; the file system when null.
    explicit LGLogFileManagerDefault(std::string logsDirectory = "", std::shared_ptr<platform::Clock> clock = nullptr,
                                     std::shared_ptr<const LGFileTimesReader> fileTimes = nullptr);

    std::string logsDirectory() override;
    std::vector<std::string> unsortedLogFilePaths() override;
    std::vector<std::string> unsortedLogFileNames() override;
    std::vector<std::shared_ptr<LGLogFileInfo>> unsortedLogFileInfos() override;
    std::vector<std::string> sortedLogFilePaths() override;
    std::vector<std::string> sortedLogFileNames() override;
    // Newest first: by creation date, then (files of one minute where the
    // file system keeps no birth time) by the " N" of the name, then by
    // modification date.
    std::vector<std::shared_ptr<LGLogFileInfo>> sortedLogFileInfos() override;
    // The name's " N" goes past every file of the same minute, so that a later
    // file never sorts before an earlier one of that minute.
    std::string createNewLogFile() override;
    // A change of either limit deletes files beyond it, on the logging queue.
    uint64_t maximumNumberOfLogFiles() override { return maximumNumberOfLogFiles_.load(); }
    void setMaximumNumberOfLogFiles(uint64_t count) override;
    uint64_t logFilesDiskQuota() override { return logFilesDiskQuota_.load(); }
    void setLogFilesDiskQuota(uint64_t bytes) override;

    // The main bundle's identifier, else the process name (once per process).
    static const std::string& applicationName();
    static std::string defaultLogsDirectory();
    // "<application> <yyyy-MM-dd HH-mm>.log", GMT.
    std::string newLogFileName();
    bool isLogFile(const std::string& fileName) const;
    static bool isLogFile(const std::string& fileName, const std::string& applicationName);
    // The N of "<application> <date> <time> N.log"; 1 for a name without one.
    static unsigned long sequenceNumberOfName(std::string_view fileName);
    void deleteOldLogFiles() { deleteOldLogFilesKeeping({}); }

    const std::shared_ptr<platform::Clock>& clock() const { return clock_; }
    const std::shared_ptr<const LGFileTimesReader>& fileTimes() const { return fileTimes_; }

private:
    // `keep` (a path) is never deleted: the file just made to be written.
    void deleteOldLogFilesKeeping(const std::string& keep);
    void scheduleDeletion();

    std::atomic<uint64_t> maximumNumberOfLogFiles_{5};
    std::atomic<uint64_t> logFilesDiskQuota_{20 * 1024 * 1024};
    const std::string logsDirectory_;
    std::shared_ptr<platform::Clock> clock_;
    std::shared_ptr<const LGFileTimesReader> fileTimes_;
    // A failure that repeats with every message is reported once per cause.
    std::mutex reportMutex_;
    LGFailureReport directoryReport_;
    LGFailureReport creationReport_;
};

}  // namespace wharf
