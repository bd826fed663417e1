#include "logging/LGLogFileInfo.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/storage/Xattr.h"

namespace wharf {

namespace {

std::string directoryOf(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? std::string(".") : path.substr(0, slash);
}

std::string lastComponent(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The "yyyy-MM-dd HH-mm" (GMT) part of a log file name, if there is one.
std::optional<double> dateFromName(const std::string& name) {
    for (std::size_t i = 0; i + 16 <= name.size(); ++i) {
        struct tm parts {};
        const char* end = strptime(name.c_str() + i, "%Y-%m-%d %H-%M", &parts);
        if (end && end == name.c_str() + i + 16) return static_cast<double>(timegm(&parts));
    }
    return std::nullopt;
}

double seconds(const struct statx_timestamp& t) { return static_cast<double>(t.tv_sec) + t.tv_nsec / 1e9; }

}  // namespace

std::optional<LGFileTimes> LGReadFileTimes(const std::string& path) {
    struct statx st {};
    if (::statx(AT_FDCWD, path.c_str(), 0, STATX_BASIC_STATS | STATX_BTIME, &st) != 0) return std::nullopt;
    LGFileTimes times;
    times.modification = seconds(st.stx_mtime);
    times.size = st.stx_size;
    if (st.stx_mask & STATX_BTIME) times.birth = seconds(st.stx_btime);
    return times;
}

std::shared_ptr<LGLogFileInfo> LGLogFileInfo::logFileWithPath(const std::string& path,
                                                              std::shared_ptr<platform::Clock> clock,
                                                              std::shared_ptr<const LGFileTimesReader> times) {
    return std::make_shared<LGLogFileInfo>(path, std::move(clock), std::move(times));
}

LGLogFileInfo::LGLogFileInfo(std::string filePath, std::shared_ptr<platform::Clock> clock,
                             std::shared_ptr<const LGFileTimesReader> times)
    : filePath_(std::move(filePath)),
      clock_(clock ? std::move(clock) : platform::Clock::shared()),
      times_(std::move(times)) {}

const std::string& LGLogFileInfo::fileName() {
    if (!fileName_) fileName_ = lastComponent(filePath_);
    return *fileName_;
}

void LGLogFileInfo::readAttributes() {
    if (attributesRead_) return;
    attributesRead_ = true;
    std::optional<LGFileTimes> times = times_ ? (*times_)(filePath_) : LGReadFileTimes(filePath_);
    exists_ = times.has_value();
    if (!times) return;
    modificationDate_ = times->modification;
    // Without a birth time (NFS, ext2/3, ext4 with small inodes, many FUSE
    // file systems) the name's minute stands in; files of one minute then tie.
    if (times->birth) {
        creationDate_ = times->birth;
    } else if (auto fromName = dateFromName(fileName())) {
        creationDate_ = fromName;
    } else {
        creationDate_ = modificationDate_;
    }
    if (fileSize_ == 0) fileSize_ = times->size;
}

double LGLogFileInfo::creationDate() {
    readAttributes();
    return creationDate_.value_or(0);
}

double LGLogFileInfo::modificationDate() {
    readAttributes();
    return modificationDate_.value_or(0);
}

uint64_t LGLogFileInfo::fileSize() {
    if (fileSize_ == 0) {
        struct stat st {};
        if (::stat(filePath_.c_str(), &st) == 0) fileSize_ = static_cast<uint64_t>(st.st_size);
    }
    return fileSize_;
}

double LGLogFileInfo::age() {
    double created = creationDate();
    return clock_->secondsSince1970() - created;
}

bool LGLogFileInfo::isArchived() { return hasExtendedAttributeWithName(LGLogFileArchivedAttribute); }

void LGLogFileInfo::setIsArchived(bool archived) {
    if (archived) {
        addExtendedAttributeWithName(LGLogFileArchivedAttribute);
    } else {
        removeExtendedAttributeWithName(LGLogFileArchivedAttribute);
    }
}

void LGLogFileInfo::reset() {
    fileName_.reset();
    attributesRead_ = false;
    creationDate_.reset();
    modificationDate_.reset();
}

std::string LGLogFileInfo::markerPathFor(const std::string& filePath, const std::string& attribute) {
    return directoryOf(filePath) + "/." + lastComponent(filePath) + "." + attribute;
}

bool LGLogFileInfo::hasExtendedAttributeWithName(const std::string& name) {
    std::string value;
    switch (platform::xattr::get(filePath_, name, &value)) {
    case platform::xattr::Result::Ok: return true;
    case platform::xattr::Result::Unsupported: return ::access(markerPathFor(filePath_, name).c_str(), F_OK) == 0;
    default: return false;
    }
}

void LGLogFileInfo::addExtendedAttributeWithName(const std::string& name) {
    auto result = platform::xattr::set(filePath_, name, "");
    if (result == platform::xattr::Result::Unsupported) {
        int fd = ::open(markerPathFor(filePath_, name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
        if (fd >= 0) {
            ::close(fd);
            return;
        }
    } else if (result == platform::xattr::Result::Ok) {
        return;
    }
    platform::log("LGLogFileInfo: setxattr(%s, %s): error = %s", name.c_str(), filePath_.c_str(),
                  platform::errnoText(errno).c_str());
}

void LGLogFileInfo::removeExtendedAttributeWithName(const std::string& name) {
    auto result = platform::xattr::remove(filePath_, name);
    if (result == platform::xattr::Result::Unsupported) {
        if (::unlink(markerPathFor(filePath_, name).c_str()) == 0 || errno == ENOENT) return;
    } else if (result == platform::xattr::Result::Ok || result == platform::xattr::Result::NotFound) {
        return;
    }
    platform::log("LGLogFileInfo: removexattr(%s, %s): error = %s", name.c_str(), fileName().c_str(),
                  platform::errnoText(errno).c_str());
}

void LGLogFileInfo::addExtendedAttributeToDescriptor(int fd, const std::string& name) {
    auto result = platform::xattr::fset(fd, name, "");
    if (result != platform::xattr::Result::Unsupported) return;
    // Find where the open file lives now; an unlinked file needs no mark.
    char link[64];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    char target[4096];
    ssize_t length = ::readlink(link, target, sizeof target - 1);
    if (length <= 0) return;
    std::string path(target, static_cast<std::size_t>(length));
    struct stat byFd {
    }, byPath{};
    if (::fstat(fd, &byFd) != 0 || byFd.st_nlink == 0) return;
    if (::stat(path.c_str(), &byPath) != 0 || byPath.st_ino != byFd.st_ino || byPath.st_dev != byFd.st_dev) return;
    int marker = ::open(markerPathFor(path, name).c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
    if (marker >= 0) ::close(marker);
}

void LGLogFileInfo::removeLogFile(const std::string& path) {
    ::unlink(path.c_str());
    ::unlink(markerPathFor(path, LGLogFileArchivedAttribute).c_str());
}

void LGLogFileInfo::renameFile(const std::string& newName) {
    if (newName == fileName()) return;
    std::string newPath = directoryOf(filePath_) + "/" + newName;
    std::string oldMarker = markerPathFor(filePath_, LGLogFileArchivedAttribute);
    std::string newMarker = markerPathFor(newPath, LGLogFileArchivedAttribute);
    if (::access(newPath.c_str(), F_OK) == 0) {
        if (::unlink(newPath.c_str()) != 0) {
            platform::log("LGLogFileInfo: Error deleting archive (%s): %s", fileName().c_str(),
                          platform::errnoText(errno).c_str());
        }
        ::unlink(newMarker.c_str());
    }
    if (::rename(filePath_.c_str(), newPath.c_str()) != 0) {
        platform::log("LGLogFileInfo: Error renaming file (%s): %s", fileName().c_str(),
                      platform::errnoText(errno).c_str());
    } else {
        // The marker is there only where attributes are refused.
        if (::rename(oldMarker.c_str(), newMarker.c_str()) != 0 && errno != ENOENT)
            platform::log("LGLogFileInfo: Error renaming the marker of %s: %s", fileName().c_str(),
                          platform::errnoText(errno).c_str());
    }
    filePath_ = newPath;
    reset();
}

bool LGLogFileInfo::reverseCompareByCreationDate(const std::shared_ptr<LGLogFileInfo>& a,
                                                 const std::shared_ptr<LGLogFileInfo>& b) {
    return a->creationDate() > b->creationDate();
}

bool LGLogFileInfo::reverseCompareByModificationDate(const std::shared_ptr<LGLogFileInfo>& a,
                                                     const std::shared_ptr<LGLogFileInfo>& b) {
    return a->modificationDate() > b->modificationDate();
}

std::string LGLogFileInfo::description() {
    readAttributes();
    auto date = [](const std::optional<double>& d) { return d ? std::to_string(*d) : std::string(); };
    return "{filePath = \"" + filePath_ + "\"; fileName = \"" + fileName() + "\"; creationDate = \"" +
           date(creationDate_) + "\"; modificationDate = \"" + date(modificationDate_) +
           "\"; fileSize = " + std::to_string(fileSize()) +
           "; age = " + (exists_ ? std::to_string(age()) : std::string("\"\"")) +
           "; isArchived = " + (isArchived() ? "1" : "0") + ";}";
}

}  // namespace wharf
