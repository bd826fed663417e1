#include "logging/LGLogFileManager.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <cstring>
#include <ctime>

#include "logging/LGLog.h"
#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/storage/Bundle.h"
#include "platform/storage/Container.h"

namespace wharf {

namespace {

constexpr const char* kFileDatePattern = "%Y-%m-%d %H-%M";

bool parseFileDate(const std::string& text) {
    struct tm parts {};
    const char* end = strptime(text.c_str(), kFileDatePattern, &parts);
    return end && *end == '\0';
}

}  // namespace

LGLogFileManagerDefault::LGLogFileManagerDefault(std::string logsDirectory, std::shared_ptr<platform::Clock> clock,
                                                 std::shared_ptr<const LGFileTimesReader> fileTimes)
    : logsDirectory_(logsDirectory.empty() ? defaultLogsDirectory() : std::move(logsDirectory)),
      clock_(clock ? std::move(clock) : platform::Clock::shared()),
      fileTimes_(std::move(fileTimes)) {}

std::string LGLogFileManagerDefault::defaultLogsDirectory() { return platform::Container::cachesPath() + "/Logs"; }

const std::string& LGLogFileManagerDefault::applicationName() {
    static const std::string name = [] {
        std::string id;
        if (auto bundle = platform::Bundle::mainBundle()) id = bundle->bundleIdentifier();
        if (id.empty() && program_invocation_short_name) id = program_invocation_short_name;
        return id;
    }();
    return name;
}

std::string LGLogFileManagerDefault::logsDirectory() {
    bool present = ::access(logsDirectory_.c_str(), F_OK) == 0 || platform::Container::ensureDirectory(logsDirectory_);
    std::string cause = present ? std::string() : platform::errnoText(errno);
    std::lock_guard<std::mutex> lock(reportMutex_);
    if (present) {
        directoryReport_.clear();
    } else if (directoryReport_.shouldReport(cause)) {
        platform::log("LGFileLogManagerDefault: Error creating logsDirectory: %s (%s)", logsDirectory_.c_str(),
                      cause.c_str());
    }
    return logsDirectory_;
}

bool LGLogFileManagerDefault::isLogFile(const std::string& fileName) const {
    return isLogFile(fileName, applicationName());
}

bool LGLogFileManagerDefault::isLogFile(const std::string& fileName, const std::string& appName) {
    static const std::string extension = ".log";
    // Lengths first: an application name that ends in part of ".log" must not
    // make the middle's length wrap around.
    if (fileName.size() < appName.size() + extension.size()) return false;
    if (fileName.compare(0, appName.size(), appName) != 0) return false;
    if (fileName.compare(fileName.size() - extension.size(), extension.size(), extension) != 0) return false;
    std::string middle = fileName.substr(appName.size(), fileName.size() - appName.size() - extension.size());
    if (middle.size() < 17) return false;
    std::vector<std::string> pieces;
    std::size_t start = 0;
    while (true) {
        std::size_t space = middle.find(' ', start);
        pieces.push_back(middle.substr(start, space == std::string::npos ? std::string::npos : space - start));
        if (space == std::string::npos) break;
        start = space + 1;
    }
    if (pieces.size() != 3 && pieces.size() != 4) return false;
    return parseFileDate(pieces[1] + " " + pieces[2]);
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFileNames() {
    std::vector<std::string> names;
    DIR* dir = ::opendir(logsDirectory().c_str());
    if (!dir) return names;
    while (struct dirent* entry = ::readdir(dir)) {
        std::string name = entry->d_name;
        if (!isLogFile(name)) continue;
        // Only regular files are ours: a FIFO would block the append, a
        // directory refuses it for good, a link would write elsewhere.
        struct stat st {};
        if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(name);
    }
    ::closedir(dir);
    return names;
}

std::vector<std::string> LGLogFileManagerDefault::unsortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& name : unsortedLogFileNames()) paths.push_back(logsDirectory_ + "/" + name);
    return paths;
}

std::vector<std::shared_ptr<LGLogFileInfo>> LGLogFileManagerDefault::unsortedLogFileInfos() {
    std::vector<std::shared_ptr<LGLogFileInfo>> infos;
    for (const auto& path : unsortedLogFilePaths()) {
        infos.push_back(LGLogFileInfo::logFileWithPath(path, clock_, fileTimes_));
    }
    return infos;
}

unsigned long LGLogFileManagerDefault::sequenceNumberOfName(std::string_view fileName) {
    if (fileName.ends_with(".log")) fileName.remove_suffix(4);
    std::size_t space = fileName.rfind(' ');
    if (space == std::string_view::npos) return 1;
    std::string_view last = fileName.substr(space + 1);
    unsigned long number = 0;
    auto [end, error] = std::from_chars(last.data(), last.data() + last.size(), number);
    if (error != std::errc() || end != last.data() + last.size() || last.empty()) return 1;
    return number;
}

std::vector<std::shared_ptr<LGLogFileInfo>> LGLogFileManagerDefault::sortedLogFileInfos() {
    struct Entry {
        std::shared_ptr<LGLogFileInfo> info;
        double created;
        unsigned long sequence;
    };
    std::vector<Entry> entries;
    for (auto& info : unsortedLogFileInfos()) {
        double created = info->creationDate();
        unsigned long sequence = sequenceNumberOfName(info->fileName());
        entries.push_back({std::move(info), created, sequence});
    }
    std::sort(entries.begin(), entries.end(), [](const Entry& a, const Entry& b) {
        if (a.created != b.created) return a.created > b.created;
        if (a.sequence != b.sequence) return a.sequence > b.sequence;
        return a.info->modificationDate() > b.info->modificationDate();
    });
    std::vector<std::shared_ptr<LGLogFileInfo>> infos;
    infos.reserve(entries.size());
    for (auto& entry : entries) infos.push_back(std::move(entry.info));
    return infos;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFilePaths() {
    std::vector<std::string> paths;
    for (const auto& info : sortedLogFileInfos()) paths.push_back(info->filePath());
    return paths;
}

std::vector<std::string> LGLogFileManagerDefault::sortedLogFileNames() {
    std::vector<std::string> names;
    for (const auto& info : sortedLogFileInfos()) names.push_back(info->fileName());
    return names;
}

std::string LGLogFileManagerDefault::newLogFileName() {
    auto now = std::chrono::system_clock::to_time_t(clock_->now());
    struct tm parts {};
    gmtime_r(&now, &parts);
    char date[32];
    std::strftime(date, sizeof date, kFileDatePattern, &parts);
    return applicationName() + " " + date + ".log";
}

std::string LGLogFileManagerDefault::createNewLogFile() {
    std::string directory = logsDirectory();
    std::string name = newLogFileName();
    std::string stem = name.substr(0, name.size() - 4);
    // Where the file system keeps no birth time, files of one minute are
    // ordered by this number: a name freed by a deletion is not taken again.
    unsigned long first = 1;
    for (const auto& existing : unsortedLogFileNames()) {
        if (existing != name && !existing.starts_with(stem + " ")) continue;
        unsigned long sequence = sequenceNumberOfName(existing);
        if (sequence < 1000000000UL) first = std::max(first, sequence + 1);
    }
    for (unsigned long attempt = first; attempt < first + 100000; ++attempt) {
        std::string candidate = attempt == 1 ? name : stem + " " + std::to_string(attempt) + ".log";
        std::string path = directory + "/" + candidate;
        // Exclusive creation: a second logger on this directory never takes
        // the same file.
        int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd >= 0) {
            ::close(fd);
            {
                std::lock_guard<std::mutex> lock(reportMutex_);
                creationReport_.clear();
            }
            deleteOldLogFilesKeeping(path);
            return path;
        }
        if (errno != EEXIST) {
            std::string cause = platform::errnoText(errno);
            std::lock_guard<std::mutex> lock(reportMutex_);
            if (creationReport_.shouldReport(cause)) {
                platform::log("LGLogFileManagerDefault: cannot create %s: %s", path.c_str(), cause.c_str());
            }
            return {};
        }
    }
    return {};
}

void LGLogFileManagerDefault::deleteOldLogFilesKeeping(const std::string& keep) {
    auto infos = sortedLogFileInfos();
    std::optional<std::size_t> firstToDelete;
    uint64_t quota = logFilesDiskQuota();
    if (quota != 0) {
        uint64_t total = 0;
        for (std::size_t i = 0; i < infos.size(); ++i) {
            total += infos[i]->fileSize();
            if (total > quota) {
                firstToDelete = i;
                break;
            }
        }
    }
    uint64_t maxCount = maximumNumberOfLogFiles();
    if (maxCount != 0) {
        std::size_t byCount = static_cast<std::size_t>(std::min<uint64_t>(maxCount, infos.size()));
        firstToDelete = firstToDelete ? std::min(*firstToDelete, byCount) : byCount;
    }
    if (!firstToDelete) return;
    std::size_t index = *firstToDelete;
    // The newest file is the one being written unless it is archived.
    if (index == 0 && !infos.empty() && !infos[0]->isArchived()) index = 1;
    for (std::size_t i = index; i < infos.size(); ++i) {
        if (infos[i]->filePath() != keep) LGLogFileInfo::removeLogFile(infos[i]->filePath());
    }
}

void LGLogFileManagerDefault::scheduleDeletion() {
    std::weak_ptr<LGLogFileManagerDefault> weak = weak_from_this();
    if (weak.expired()) {
        deleteOldLogFiles();
        return;
    }
    LGLog::asyncOnLoggingQueue([weak] {
        if (auto self = weak.lock()) self->deleteOldLogFiles();
    });
}

void LGLogFileManagerDefault::setMaximumNumberOfLogFiles(uint64_t count) {
    if (maximumNumberOfLogFiles_.exchange(count) != count) scheduleDeletion();
}

void LGLogFileManagerDefault::setLogFilesDiskQuota(uint64_t bytes) {
    if (logFilesDiskQuota_.exchange(bytes) != bytes) scheduleDeletion();
}

}  // namespace wharf
