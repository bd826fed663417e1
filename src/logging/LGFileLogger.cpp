#include "logging/LGFileLogger.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <ctime>

#include "logging/LGInternal.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"

namespace wharf {

using platform::dispatch::FdSource;
using platform::dispatch::TimerSource;

namespace {

std::atomic<int> gExceptionCount{0};
constexpr int kMaxReportedExceptions = 10;

// A source may be torn down from inside its own handler: release it later,
// off that call.
template <class Source>
void retire(std::unique_ptr<Source>& source) {
    if (!source) return;
    source->cancel();
    std::shared_ptr<Source> released(std::move(source));
    platform::dispatch::globalQueue()->async([released] {});
}

}  // namespace

// --- default line layout ------------------------------------------------------------------

LGLogFileFormatterDefault::LGLogFileFormatterDefault() : dateFormatter_(&defaultDateString) {}

LGLogFileFormatterDefault::LGLogFileFormatterDefault(DateFormatter dateFormatter)
    : dateFormatter_(dateFormatter ? std::move(dateFormatter) : DateFormatter(&defaultDateString)) {}

std::string LGLogFileFormatterDefault::defaultDateString(double secondsSince1970) {
    if (!std::isfinite(secondsSince1970)) return {};
    double whole = std::floor(secondsSince1970);
    auto t = static_cast<time_t>(whole);
    struct tm local {};
    if (!localtime_r(&t, &local)) return {};
    char buffer[48];
    std::size_t length = std::strftime(buffer, sizeof buffer, "%Y/%m/%d %H:%M:%S", &local);
    std::snprintf(buffer + length, sizeof buffer - length, ":%03d",
                  static_cast<int>((secondsSince1970 - whole) * 1000));
    return buffer;
}

std::optional<std::string> LGLogFileFormatterDefault::formatLogMessage(const LGLogMessage& message) {
    std::string line = dateFormatter_(message.timestamp());
    line += "  ";
    line += message.message();
    return line;
}

// --- the logger ---------------------------------------------------------------------------

LGFileLogger::LGFileLogger(std::shared_ptr<LGLogFileManager> manager, std::shared_ptr<platform::Clock> clock)
    : logFileManager_(manager ? std::move(manager) : std::make_shared<LGLogFileManagerDefault>()) {
    if (auto* byDefault = dynamic_cast<LGLogFileManagerDefault*>(logFileManager_.get())) {
        if (!clock) clock = byDefault->clock();
        fileTimes_ = byDefault->fileTimes();
    }
    clock_ = clock ? std::move(clock) : platform::Clock::shared();
    logFormatter_ = std::make_shared<LGLogFileFormatterDefault>();
}

LGFileLogger::~LGFileLogger() {
    retire(currentLogFileVnode_);
    retire(rollingTimer_);
    if (watchFd_ >= 0) ::close(watchFd_);
    if (currentLogFileHandle_ >= 0) {
        syncCurrentLogFile();
        ::close(currentLogFileHandle_);
    }
}

std::function<void()> LGFileLogger::weakly(void (LGFileLogger::*action)()) {
    std::weak_ptr<LGAbstractLogger> weak = weak_from_this();
    return [weak, action] {
        if (auto strong = weak.lock()) (static_cast<LGFileLogger*>(strong.get())->*action)();
    };
}

void LGFileLogger::reportFailure(const std::string& what) {
    int count = ++gExceptionCount;
    if (count > kMaxReportedExceptions) return;
    platform::log("LGFileLogger.logMessage: %s", what.c_str());
    if (count == kMaxReportedExceptions) {
        platform::log("LGFileLogger.logMessage: Too many exceptions -- will not log any more of them.");
    }
}

// A file that could not be synced may lose its last lines in a crash: said, not hidden.
void LGFileLogger::syncCurrentLogFile() {
    if (::fdatasync(currentLogFileHandle_) != 0) reportFailure("sync failed: " + platform::errnoText(errno));
}

// --- settings ----------------------------------------------------------------------------------

uint64_t LGFileLogger::maximumFileSize() {
    return readSetting([this] { return maximumFileSize_; });
}

void LGFileLogger::setMaximumFileSize(uint64_t bytes) {
    changeSetting(
        [this, bytes] {
            maximumFileSize_ = bytes;
            maybeRollLogFileDueToSize();
        },
        true);
}

double LGFileLogger::rollingFrequency() {
    return readSetting([this] { return rollingFrequency_; });
}

void LGFileLogger::setRollingFrequency(double seconds) {
    if (std::isnan(seconds)) return;
    changeSetting(
        [this, seconds] {
            rollingFrequency_ = seconds;
            maybeRollLogFileDueToAge();
        },
        true);
}

// --- choosing and opening the file ---------------------------------------------------------------

std::shared_ptr<LGLogFileInfo> LGFileLogger::currentLogFileInfo() {
    if (isOnInternalLoggerQueue()) return lt_currentLogFileInfo();
    std::string path = readSetting([this] {
        auto info = lt_currentLogFileInfo();
        return info ? info->filePath() : std::string();
    });
    if (path.empty()) return nullptr;
    return LGLogFileInfo::logFileWithPath(path, clock_, fileTimes_);
}

std::shared_ptr<LGLogFileInfo> LGFileLogger::lt_currentLogFileInfo() {
    if (currentLogFileInfo_) return currentLogFileInfo_;
    currentLogFileCreated_ = false;
    auto infos = logFileManager_->sortedLogFileInfos();
    if (!infos.empty()) {
        const auto& newest = infos.front();
        bool archived = newest->isArchived();
        bool due = !archived && ((maximumFileSize_ != 0 && newest->fileSize() >= maximumFileSize_) ||
                                 (rollingFrequency_ > 0 && newest->age() >= rollingFrequency_));
        // A file that refused to be opened is not taken again: another user's,
        // or made read-only, it would otherwise lose every line until it is
        // due by age.
        const bool refused = newest->filePath() == refusedLogFile_ && !refusedLogFileWasMade_;
        if (!doNotReuseLogFiles_ && !archived && !due && !refused) {
            currentLogFileInfo_ = newest;
        } else if (due) {
            newest->setIsArchived(true);
            logFileManager_->didArchiveLogFile(newest->filePath());
        }
    }
    if (!currentLogFileInfo_) {
        std::string path = logFileManager_->createNewLogFile();
        if (!path.empty()) currentLogFileInfo_ = LGLogFileInfo::logFileWithPath(path, clock_, fileTimes_);
        currentLogFileCreated_ = true;
    }
    return currentLogFileInfo_;
}

int LGFileLogger::currentLogFileHandle() {
    if (currentLogFileHandle_ >= 0) return currentLogFileHandle_;
    auto info = lt_currentLogFileInfo();
    if (!info) {
        std::string what = "no log file could be created in " + logFileManager_->logsDirectory();
        if (openReport_.shouldReport(what)) reportFailure(what);
        return -1;
    }
    // Append mode: another writer on the same file never overwrites our lines.
    int fd = ::open(info->filePath().c_str(), O_WRONLY | O_APPEND | O_CLOEXEC);
    struct stat st {};
    if (fd >= 0 && ::fstat(fd, &st) != 0) {
        ::close(fd);
        fd = -1;
    }
    if (fd < 0) {
        const int error = errno;
        std::string what = "cannot open " + info->filePath() + ": " + platform::errnoText(error);
        if (openReport_.shouldReport(what)) reportFailure(what);
        // Gone meanwhile: choose again with the next message. Refused: choose
        // again now, so this message goes to a file of its own.
        currentLogFileInfo_.reset();
        // A file just made that refuses too says the directory does: no more
        // files are made for it.
        if (error == EACCES || error == EPERM) {
            const bool madeBefore = info->filePath() == refusedLogFile_ && refusedLogFileWasMade_;
            refusedLogFile_ = info->filePath();
            refusedLogFileWasMade_ = currentLogFileCreated_ || madeBefore;
            if (!refusedLogFileWasMade_) return currentLogFileHandle();
        }
        return -1;
    }
    openReport_.clear();
    currentLogFileHandle_ = fd;
    currentLogFileOffset_ = static_cast<uint64_t>(st.st_size);
    scheduleTimerToRollLogFileDueToAge();
    watchCurrentFile();
    return fd;
}

void LGFileLogger::watchCurrentFile() {
    if (watchFd_ >= 0) ::close(watchFd_);
    watchFd_ = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (watchFd_ < 0) return;
    // A rename shows as IN_MOVE_SELF; an unlink of a file we still hold open
    // only as IN_ATTRIB (the link count dropping to 0).
    if (::inotify_add_watch(watchFd_, currentLogFileInfo_->filePath().c_str(),
                            IN_MOVE_SELF | IN_DELETE_SELF | IN_ATTRIB) < 0) {
        ::close(watchFd_);
        watchFd_ = -1;
        return;
    }
    currentLogFileVnode_ = std::make_unique<FdSource>(watchFd_, FdSource::Condition::Readable, loggerQueue());
    currentLogFileVnode_->setEventHandler(weakly(&LGFileLogger::handleWatchEvents));
    currentLogFileVnode_->resume();
}

void LGFileLogger::handleWatchEvents() {
    if (watchFd_ < 0) return;
    alignas(inotify_event) char buffer[4096];
    bool moved = false;
    bool attributes = false;
    while (true) {
        ssize_t length = ::read(watchFd_, buffer, sizeof buffer);
        if (length <= 0) break;
        for (char* p = buffer; p < buffer + length;) {
            auto* event = reinterpret_cast<inotify_event*>(p);
            if (event->mask & (IN_MOVE_SELF | IN_DELETE_SELF)) moved = true;
            if (event->mask & IN_ATTRIB) attributes = true;
            p += sizeof(inotify_event) + event->len;
        }
    }
    if (!moved && attributes && currentLogFileHandle_ >= 0) {
        struct stat st {};
        moved = ::fstat(currentLogFileHandle_, &st) == 0 && st.st_nlink == 0;
    }
    if (moved) rollLogFileNow();
}

// --- writing -------------------------------------------------------------------------------------

void LGFileLogger::logMessage(const LGLogMessage& message) {
    if (!logFormatter_) {
        const std::string_view text = message.message();
        writeLine(text, text.empty() || text.back() != '\n');
        return;
    }
    const std::optional<std::string> formatted = logFormatter_->formatLogMessage(message);
    if (!formatted) return;
    writeLine(*formatted, automaticallyAppendNewline_ && (formatted->empty() || formatted->back() != '\n'));
}

void LGFileLogger::writeLine(std::string_view text, bool appendNewline) {
    int fd = currentLogFileHandle();
    if (fd < 0) return;
    iovec pieces[2] = {{const_cast<char*>(text.data()), text.size()},
                       {const_cast<char*>("\n"), appendNewline ? std::size_t{1} : std::size_t{0}}};
    std::size_t written = 0;
    if (!lg::writevFully(fd, pieces, 2, &written)) {
        std::string what = std::string("write failed: ") + platform::errnoText(errno);
        discardPartialWrite(fd, written);
        if (writeReport_.shouldReport(what)) reportFailure(what);
        return;
    }
    writeReport_.clear();
    currentLogFileOffset_ += written;
    maybeRollLogFileDueToSize();
}

// A write cut short (a full disk, a quota) leaves the start of a line that the
// next line would run on from: take it back, so the message is lost whole and
// every line in the file stays whole.
void LGFileLogger::discardPartialWrite(int fd, std::size_t written) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return;
    currentLogFileOffset_ = static_cast<uint64_t>(st.st_size);
    if (written == 0) return;
    // In append mode the file position ends where our bytes end. Only when
    // nothing came after them (another writer on the same file) can they be
    // cut off without taking that writer's lines along.
    off_t end = ::lseek(fd, 0, SEEK_CUR);
    if (end != st.st_size || end < static_cast<off_t>(written)) return;
    off_t start = end - static_cast<off_t>(written);
    if (::ftruncate(fd, start) == 0) currentLogFileOffset_ = static_cast<uint64_t>(start);
}

// --- rolling -------------------------------------------------------------------------------------

void LGFileLogger::rollLogFileNow() {
    if (currentLogFileHandle_ < 0) return;
    // Stop watching first: marking the file changes its attributes.
    retire(currentLogFileVnode_);
    if (watchFd_ >= 0) {
        ::close(watchFd_);
        watchFd_ = -1;
    }
    retire(rollingTimer_);
    syncCurrentLogFile();
    // By descriptor: after a rename or an unlink the old path names another
    // file, or none.
    LGLogFileInfo::addExtendedAttributeToDescriptor(currentLogFileHandle_, LGLogFileArchivedAttribute);
    ::close(currentLogFileHandle_);
    currentLogFileHandle_ = -1;
    std::string path = currentLogFileInfo_ ? currentLogFileInfo_->filePath() : std::string();
    currentLogFileInfo_.reset();
    if (!path.empty()) logFileManager_->didRollAndArchiveLogFile(path);
}

void LGFileLogger::maybeRollLogFileDueToSize() {
    if (maximumFileSize_ == 0 || currentLogFileHandle_ < 0) return;
    if (currentLogFileOffset_ >= maximumFileSize_) rollLogFileNow();
}

void LGFileLogger::maybeRollLogFileDueToAge() {
    if (rollingFrequency_ > 0 && currentLogFileInfo_ && currentLogFileHandle_ >= 0 &&
        currentLogFileInfo_->age() >= rollingFrequency_) {
        rollLogFileNow();
    } else {
        scheduleTimerToRollLogFileDueToAge();
    }
}

void LGFileLogger::scheduleTimerToRollLogFileDueToAge() {
    retire(rollingTimer_);
    if (!currentLogFileInfo_ || currentLogFileHandle_ < 0 || !(rollingFrequency_ > 0)) return;
    double due = currentLogFileInfo_->creationDate() + rollingFrequency_ - clock_->secondsSince1970();
    rollingTimer_ = std::make_unique<TimerSource>(loggerQueue());
    rollingTimer_->setEventHandler(weakly(&LGFileLogger::maybeRollLogFileDueToAge));
    rollingTimer_->setTimer(lg::clampedDuration(due), std::chrono::nanoseconds::zero(), std::chrono::nanoseconds(1));
    rollingTimer_->resume();
}

void LGFileLogger::rollLogFileWithCompletionBlock(std::function<void()> completion) {
    changeSetting(
        [this, completion = std::move(completion)] {
            rollLogFileNow();
            if (completion) platform::dispatch::globalQueue()->async(completion);
        },
        false);
}

void LGFileLogger::willRemoveLogger() { rollLogFileNow(); }

}  // namespace wharf
