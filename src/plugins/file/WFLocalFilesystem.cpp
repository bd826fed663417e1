#include "plugins/file/WFLocalFilesystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <random>
#include <vector>

#include "platform/Device.h"
#include "platform/Error.h"
#include "platform/Log.h"
#include "platform/Mime.h"
#include "platform/Paths.h"
#include "platform/Xattr.h"

namespace wharf {

namespace {

using platform::Value;

std::string errnoDescription(int err, const std::string& path) {
    Value info = Value::object();
    info[platform::kLocalizedDescriptionKey] = platform::errnoText(err);
    info["NSFilePath"] = path;
    return platform::Error("NSPOSIXErrorDomain", err, info).description();
}

struct Item {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
};

// What is at a path, links followed.
Item itemAt(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    return {true, S_ISDIR(st.st_mode), S_ISREG(st.st_mode)};
}

bool somethingAt(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

// False when the directory holds anything (or cannot be read).
bool directoryIsEmpty(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return false;
    bool empty = true;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0) {
            empty = false;
            break;
        }
    }
    ::closedir(dir);
    return empty;
}

// The names in a directory (without "." and ".."), sorted; nullopt when it
// cannot be listed.
std::optional<std::vector<std::string>> listDirectory(const std::string& path) {
    DIR* dir = ::opendir(path.c_str());
    if (!dir) return std::nullopt;
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir)) {
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            names.emplace_back(entry->d_name);
    }
    ::closedir(dir);
    std::sort(names.begin(), names.end());
    return names;
}

// Removes a file, a link or a directory tree (links are removed, never
// followed). 0 or the first errno.
int removeTree(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) != 0) return errno;
    if (S_ISDIR(st.st_mode)) {
        auto names = listDirectory(path);
        if (!names) return errno;
        for (const auto& name : *names)
            if (int err = removeTree(path + "/" + name)) return err;
        return ::rmdir(path.c_str()) == 0 ? 0 : errno;
    }
    return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

// Writes every byte (a short write is continued, EINTR retried). 0 or errno.
int writeAll(int fd, const uint8_t* data, std::size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return errno;
        if (n == 0) return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
    }
    return 0;
}

// Opens a regular file for writing; -1 with errno (EINVAL for anything else
// at the path). O_NONBLOCK keeps a pipe at the path from hanging the caller;
// O_TRUNC waits until the file is known to be a regular one.
int openRegularForWriting(const std::string& path, int flags) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC | O_NONBLOCK | (flags & ~O_TRUNC), 0666);
    if (fd < 0) return -1;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        errno = EINVAL;
        return -1;
    }
    if ((flags & O_TRUNC) && ::ftruncate(fd, 0) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// A copy that failed while reading its source or while writing its target.
struct CopyFailure {
    bool reading;
    int err;
};

// The page's code for a failed copy or move.
int copyFailureCode(const CopyFailure& failure) {
    const int e = failure.err;
    if (failure.reading)
        return (e == ENOENT || e == EACCES || e == EPERM) ? INVALID_MODIFICATION_ERR : NOT_READABLE_ERR;
    if (e == ENOSPC || e == EDQUOT || e == EFBIG) return QUOTA_EXCEEDED_ERR;
    if (e == EEXIST) return PATH_EXISTS_ERR;
    if (e == EACCES || e == EPERM || e == EROFS) return NO_MODIFICATION_ALLOWED_ERR;
    return INVALID_MODIFICATION_ERR;
}

std::optional<CopyFailure> copyFile(const std::string& from, const std::string& to, mode_t mode) {
    const int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (in < 0) return CopyFailure{true, errno};
    const int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode & 0777);
    if (out < 0) {
        const int err = errno;
        ::close(in);
        return CopyFailure{false, err};
    }
    std::optional<CopyFailure> failure;
    std::vector<uint8_t> buffer(1 << 20);
    for (;;) {
        const ssize_t n = ::read(in, buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            failure = CopyFailure{true, errno};
            break;
        }
        if (n == 0) break;
        if (int err = writeAll(out, buffer.data(), static_cast<std::size_t>(n))) {
            failure = CopyFailure{false, err};
            break;
        }
    }
    ::close(in);
    if (::close(out) != 0 && !failure) failure = CopyFailure{false, errno};
    return failure;
}

// Copies a file, a link or a directory tree to `to`, which must not exist.
// Sockets, pipes and devices are not copied (reading one could block).
std::optional<CopyFailure> copyTree(const std::string& from, const std::string& to) {
    struct stat st {};
    if (::lstat(from.c_str(), &st) != 0) return CopyFailure{true, errno};
    if (S_ISLNK(st.st_mode)) {
        std::vector<char> target(static_cast<std::size_t>(std::max<off_t>(st.st_size, 255)) + 1);
        const ssize_t n = ::readlink(from.c_str(), target.data(), target.size());
        if (n < 0) return CopyFailure{true, errno};
        if (::symlink(std::string(target.data(), static_cast<std::size_t>(n)).c_str(), to.c_str()) != 0)
            return CopyFailure{false, errno};
        return std::nullopt;
    }
    if (S_ISDIR(st.st_mode)) {
        if (::mkdir(to.c_str(), (st.st_mode & 07777) | S_IRWXU) != 0) return CopyFailure{false, errno};
        auto names = listDirectory(from);
        if (!names) return CopyFailure{true, errno};
        for (const auto& name : *names)
            if (auto failure = copyTree(from + "/" + name, to + "/" + name)) return failure;
        return std::nullopt;
    }
    if (S_ISREG(st.st_mode)) return copyFile(from, to, st.st_mode);
    return CopyFailure{true, ENODEV};
}

// A hidden name beside `path` for building a copy before it takes its place.
std::string temporarySibling(const std::string& path) {
    static thread_local std::mt19937_64 random{std::random_device{}()};
    const auto slash = path.rfind('/');
    char suffix[20];
    std::snprintf(suffix, sizeof suffix, "%016llx", static_cast<unsigned long long>(random()));
    return path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".wharf-" + suffix;
}

// Renames into place; unless `replace`, never over something that is there
// by then (another copy to the same name may have finished meanwhile).
int renameIntoPlace(const std::string& from, const std::string& to, bool replace) {
    if (!replace) {
        if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
        if (errno != EINVAL) return errno;  // EINVAL: a file system without RENAME_NOREPLACE
    }
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

// Copies `from` beside `to`, then renames the copy into place (replacing a
// file or an empty directory there when `replace`): a failure leaves nothing
// half-written.
std::optional<CopyFailure> copyIntoPlace(const std::string& from, const std::string& to, bool replace) {
    const std::string staging = temporarySibling(to);
    auto failure = copyTree(from, staging);
    if (!failure) {
        if (int err = renameIntoPlace(staging, to, replace)) failure = CopyFailure{false, err};
    }
    if (failure) removeTree(staging);
    return failure;
}

// Writes bytes to a new file beside `to` and renames it into place.
int writeAtomically(const std::string& to, const platform::Bytes& data) {
    const std::string staging = temporarySibling(to);
    const int fd = ::open(staging.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    int err = writeAll(fd, data.data(), data.size());
    if (::close(fd) != 0 && !err) err = errno;
    if (!err && ::rename(staging.c_str(), to.c_str()) != 0) err = errno;
    if (err) ::unlink(staging.c_str());
    return err;
}

// Whether `path` is `directory` or lies below it (both normalised, absolute).
bool isSameOrBelow(const std::string& path, const std::string& directory) {
    if (path == directory) return true;
    const std::string prefix = directory == "/" ? "/" : directory + "/";
    return path.compare(0, prefix.size(), prefix) == 0;
}

std::string extensionOf(const std::string& path) {
    const std::string name = WFLastPathComponent(path);
    const auto dot = name.rfind('.');
    return dot == std::string::npos || dot == 0 ? std::string() : name.substr(dot + 1);
}

bool isRootPath(const std::string& normalised) { return normalised.empty() || normalised == "/"; }

WFPluginResult okResult() { return WFPluginResult::resultWithStatus(WFResultStatus::OK); }

}  // namespace

WFLocalFilesystem::WFLocalFilesystem(std::string name, std::string root) : fsRoot_(std::move(root)) {
    setName(std::move(name));
    while (fsRoot_.size() > 1 && fsRoot_.back() == '/') fsRoot_.pop_back();
    resolvedRoot_ = platform::resolvedPath(fsRoot_);
    if (resolvedRoot_ && *resolvedRoot_ == fsRoot_) resolvedRoot_.reset();
}

// --- Paths --------------------------------------------------------------------

bool WFLocalFilesystem::rootIsAtOrBelow(const std::string& nativePath) const {
    return isSameOrBelow(fsRoot_, nativePath);
}

std::string WFLocalFilesystem::stripQueryParametersFromPath(const std::string& path) {
    return path.substr(0, path.find('?'));
}

std::optional<std::string> WFLocalFilesystem::normalizePath(const std::string& path) {
    if (path.find('\0') != std::string::npos) return std::nullopt;
    std::vector<std::string> parts;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        std::string part = path.substr(at, end - at);
        if (part == "..") {
            if (parts.empty()) return std::nullopt;
            parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(std::move(part));
        }
        at = end + 1;
    }
    const bool absolute = !path.empty() && path.front() == '/';
    std::string out = absolute ? "/" : "";
    for (std::size_t i = 0; i < parts.size(); ++i) out += (i ? "/" : "") + parts[i];
    return out;
}

std::optional<std::string> WFLocalFilesystem::pathOfURL(const WFFilesystemURL& url) {
    if (!url.fullPath()) return std::nullopt;
    std::string path = *url.fullPath();
    if (url.url() && url.url()->hasQuery()) {
        const std::string query = "?" + url.url()->query();
        if (path.size() >= query.size() && path.compare(path.size() - query.size(), query.size(), query) == 0)
            path.resize(path.size() - query.size());
    }
    return path;
}

std::optional<std::string> WFLocalFilesystem::filesystemPathForFullPath(const std::string& fullPath) const {
    return nativePathForPath(stripQueryParametersFromPath(fullPath));
}

std::optional<std::string> WFLocalFilesystem::nativePathForPath(const std::string& fullPath) const {
    auto normalised = normalizePath(fullPath);
    if (!normalised) return std::nullopt;
    if (isRootPath(*normalised)) return fsRoot_;
    const std::string base = fsRoot_ == "/" ? "" : fsRoot_;
    return base + (normalised->front() == '/' ? "" : "/") + *normalised;
}

std::optional<std::string> WFLocalFilesystem::nativePath(const WFFilesystemURL& url) const {
    auto path = pathOfURL(url);
    return path ? nativePathForPath(*path) : std::nullopt;
}

std::optional<std::string> WFLocalFilesystem::filesystemPathForURL(const WFFilesystemURL& url) {
    return nativePath(url);
}

std::optional<std::string> WFLocalFilesystem::fullPathForFileSystemPath(const std::string& nativePath) const {
    if (nativePath.empty() || nativePath.front() != '/') return std::nullopt;
    auto normalised = normalizePath(nativePath);
    if (!normalised) return std::nullopt;
    for (const std::string* root : {&fsRoot_, resolvedRoot_ ? &*resolvedRoot_ : nullptr}) {
        if (!root || !isSameOrBelow(*normalised, *root)) continue;
        if (*normalised == *root) return std::string("/");
        return *root == "/" ? *normalised : normalised->substr(root->size());
    }
    return std::nullopt;
}

std::optional<WFFilesystemURL> WFLocalFilesystem::URLforFullPath(const std::optional<std::string>& fullPath) const {
    if (!fullPath) return std::nullopt;
    // Everything the path decoding undoes is escaped ("?" and "#" included),
    // so the URL gives back exactly this full path.
    const std::string escaped = platform::percentEncode(*fullPath, platform::kPathAllowedCharacters);
    const std::string separator = !fullPath->empty() && fullPath->front() == '/' ? "" : "/";
    return WFFilesystemURL::fileSystemURLWithString(std::string(kWFFilesystemURLPrefix) + "://localhost/" + name() +
                                                    separator + escaped);
}

std::optional<WFFilesystemURL> WFLocalFilesystem::URLforFilesystemPath(const std::string& nativePath) {
    auto fullPath = fullPathForFileSystemPath(nativePath);
    if (!fullPath) return std::nullopt;
    return URLforFullPath(fullPath);
}

bool WFLocalFilesystem::valueForKeyIsNumber(const Value& dictionary, const std::string& key) {
    if (!dictionary.is_object()) return false;
    auto it = dictionary.find(key);
    return it != dictionary.end() && (it->is_number() || it->is_boolean());
}

// --- Entries --------------------------------------------------------------------

Value WFLocalFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    std::optional<platform::Url> nativeURL;
    if (auto native = nativePathForPath(fullPath)) {
        std::string text = platform::Url::fileURL(*native).absoluteString();
        if (itemAt(*native).isDirectory && text.back() != '/') text += '/';
        nativeURL = platform::Url::parse(text);
    }
    return makeEntry(fullPath, WFLastPathComponent(fullPath), isDirectory, nativeURL);
}

std::optional<Value> WFLocalFilesystem::makeEntryForLocalURL(const WFFilesystemURL& url) {
    auto native = nativePath(url);
    if (!native) return std::nullopt;
    const Item item = itemAt(*native);
    if (!item.exists) return std::nullopt;
    return makeEntryForPath(*pathOfURL(url), item.isDirectory);
}

WFPluginResult WFLocalFilesystem::entryForLocalURI(const WFFilesystemURL& url) {
    if (!nativePath(url)) return WFFileErrorResult(ENCODING_ERR);
    auto entry = makeEntryForLocalURL(url);
    if (!entry) return WFFileErrorResult(NOT_FOUND_ERR);
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, *entry);
}

WFPluginResult WFLocalFilesystem::getFileForURL(const WFFilesystemURL& url, const Value& requestedPath,
                                                const Value& options) {
    auto flag = [&](const char* key) { return valueForKeyIsNumber(options, key) && platform::boolValue(options[key]); };
    const bool create = flag("create");
    const bool exclusive = flag("exclusive");
    const bool getDir = flag("getDir");

    if (!requestedPath.is_string() || !url.fullPath()) return WFFileErrorResult(ENCODING_ERR);
    const std::string requested = requestedPath.get<std::string>();
    if (requested.find(':') != std::string::npos) return WFFileErrorResult(ENCODING_ERR);
    // The requested path is always taken below the directory, even with a leading "/".
    auto fullPath = normalizePath(*pathOfURL(url) + "/" + requested);
    if (!fullPath) return WFFileErrorResult(ENCODING_ERR);
    auto native = nativePathForPath(*fullPath);
    if (!native) return WFFileErrorResult(ENCODING_ERR);

    const Item item = itemAt(*native);
    if (!create && item.exists && item.isDirectory != getDir) return WFFileErrorResult(TYPE_MISMATCH_ERR);
    if (!create && !item.exists) return WFFileErrorResult(NOT_FOUND_ERR);
    if (create && exclusive && item.exists) return WFFileErrorResult(PATH_EXISTS_ERR);
    if (create && !item.exists) {
        if (getDir) {
            if (::mkdir(native->c_str(), 0777) != 0) {
                platform::log("error creating directory: %s", errnoDescription(errno, *native).c_str());
                return WFFileErrorResult(ABORT_ERR);
            }
        } else {
            // O_EXCL: a dangling link at the path is never written through.
            const int fd = ::open(native->c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
            if (fd < 0) return WFFileErrorResult(ABORT_ERR);
            ::close(fd);
        }
    }
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, makeEntryForPath(*fullPath, getDir));
}

WFPluginResult WFLocalFilesystem::getParentForURL(const WFFilesystemURL& url) {
    if (!url.fullPath()) return WFFileErrorResult(ENCODING_ERR);
    auto fullPath = normalizePath(*pathOfURL(url));
    if (!fullPath) return WFFileErrorResult(ENCODING_ERR);
    // The parent of the root is the root.
    std::string parent = "/";
    if (!isRootPath(*fullPath)) {
        const auto slash = fullPath->rfind('/');
        parent = slash == std::string::npos || slash == 0 ? "/" : fullPath->substr(0, slash);
    }
    auto native = nativePathForPath(parent);
    const Item item = native ? itemAt(*native) : Item{};
    if (!item.exists) return WFFileErrorResult(NOT_FOUND_ERR);
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK,
                                                               makeEntryForPath(parent, item.isDirectory));
}

WFPluginResult WFLocalFilesystem::setMetadataForURL(const WFFilesystemURL& url, const Value& metadata) {
    const char* key = "com.apple.MobileBackup";
    auto native = nativePath(url);
    if (!native || !valueForKeyIsNumber(metadata, key)) return WFPluginResult::resultWithStatus(WFResultStatus::Error);
    const bool excluded = platform::boolValue(metadata[key]);
    if (platform::xattr::setExcludedFromBackup(*native, excluded) != platform::xattr::Result::Ok)
        return WFPluginResult::resultWithStatus(WFResultStatus::Error);
    return okResult();
}

// --- Removal ----------------------------------------------------------------------

WFPluginResult WFLocalFilesystem::doRemove(const std::string& nativePath) {
    if (int err = removeTree(nativePath)) {
        platform::log("error removing filesystem entry at %s: %s", nativePath.c_str(),
                      errnoDescription(err, nativePath).c_str());
        if (err == ENOENT) return WFFileErrorResult(NOT_FOUND_ERR);
        if (err == EACCES || err == EPERM || err == EROFS) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
        return WFFileErrorResult(ABORT_ERR);
    }
    return okResult();
}

WFPluginResult WFLocalFilesystem::removeFileAtURL(const WFFilesystemURL& url) {
    auto native = nativePath(url);
    if (!native) return WFFileErrorResult(ENCODING_ERR);
    if (*native == fsRoot_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (!somethingAt(*native)) return WFFileErrorResult(NOT_FOUND_ERR);
    struct stat st {};
    if (::lstat(native->c_str(), &st) == 0 && S_ISDIR(st.st_mode) && !directoryIsEmpty(*native))
        return WFFileErrorResult(INVALID_MODIFICATION_ERR);
    return doRemove(*native);
}

WFPluginResult WFLocalFilesystem::recursiveRemoveFileAtURL(const WFFilesystemURL& url) {
    auto native = nativePath(url);
    if (!native) return WFFileErrorResult(ENCODING_ERR);
    // A filesystem's root is never removed, whatever spelling reached it.
    if (*native == fsRoot_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    return doRemove(*native);
}

// --- Listing --------------------------------------------------------------------

WFPluginResult WFLocalFilesystem::readEntriesAtURL(const WFFilesystemURL& url) {
    auto native = nativePath(url);
    if (!native) return WFFileErrorResult(ENCODING_ERR);
    auto names = listDirectory(*native);
    if (!names) return WFFileErrorResult(NOT_FOUND_ERR);
    const std::string directory = *normalizePath(*pathOfURL(url));
    Value entries = Value::array();
    for (const auto& name : *names) {
        const bool isDirectory = itemAt(*native + "/" + name).isDirectory;
        entries.push_back(makeEntryForPath((directory == "/" ? "" : directory) + "/" + name, isDirectory));
    }
    return WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, entries);
}

// --- Writing --------------------------------------------------------------------

std::optional<uint64_t> WFLocalFilesystem::truncateFile(const std::string& nativePath, int64_t position, int* error) {
    auto fail = [&](int code) -> std::optional<uint64_t> {
        if (error) *error = code;
        return std::nullopt;
    };
    if (position < 0) return fail(INVALID_MODIFICATION_ERR);
    const int fd = openRegularForWriting(nativePath, 0);
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ENOTDIR) return fail(NOT_FOUND_ERR);
        if (err == EACCES || err == EPERM || err == EROFS) return fail(NO_MODIFICATION_ALLOWED_ERR);
        return fail(INVALID_MODIFICATION_ERR);
    }
    int err = ::ftruncate(fd, static_cast<off_t>(position)) == 0 ? 0 : errno;
    if (!err && ::fsync(fd) != 0) err = errno;
    ::close(fd);
    if (err) return fail(copyFailureCode({false, err}));
    return static_cast<uint64_t>(position);
}

WFPluginResult WFLocalFilesystem::truncateFileAtURL(const WFFilesystemURL& url, int64_t position) {
    auto native = nativePath(url);
    if (!native) return WFFileErrorResult(ENCODING_ERR);
    int error = 0;
    auto offset = truncateFile(*native, position, &error);
    if (!offset) return WFFileErrorResult(error);
    return WFPluginResult::resultWithStatusMessageAsNSUInteger(WFResultStatus::OK, *offset);
}

WFPluginResult WFLocalFilesystem::writeToFileAtURL(const WFFilesystemURL& url, const platform::Bytes& data,
                                                   bool append) {
    auto native = nativePath(url);
    if (!url.fullPath()) return WFFileErrorResult(NOT_FOUND_ERR, WFResultStatus::Error);
    if (!native) return WFFileErrorResult(ENCODING_ERR, WFResultStatus::Error);
    if (data.empty()) return WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus::OK, 0);
    const int fd = openRegularForWriting(*native, O_CREAT | (append ? O_APPEND : O_TRUNC));
    int err = fd < 0 ? errno : writeAll(fd, data.data(), data.size());
    if (fd >= 0 && ::close(fd) != 0 && !err) err = errno;
    if (err) return WFFileErrorResult(copyFailureCode({false, err}), WFResultStatus::Error);
    return WFPluginResult::resultWithStatusMessageAsNSInteger(WFResultStatus::OK, static_cast<int64_t>(data.size()));
}

// --- Copy and move ------------------------------------------------------------------

bool WFLocalFilesystem::canCopyMoveSrc(const std::string& source, const std::string& destination) {
    auto src = normalizePath(source);
    auto dest = normalizePath(destination);
    if (!src || !dest) return false;
    return !isSameOrBelow(*dest, *src);
}

void WFLocalFilesystem::copyFileToURL(const WFFilesystemURL& destinationURL, const std::string& newName,
                                      const std::shared_ptr<WFFileSystem>& sourceFileSystem,
                                      const WFFilesystemURL& sourceURL, bool copy, WFFileResultCallback callback) {
    auto fail = [&](int code) { callback(WFFileErrorResult(code)); };
    // The new name is one name: it can neither climb nor reach into another directory.
    if (newName.empty() || newName == "." || newName == ".." || newName.find('/') != std::string::npos ||
        newName.find('\0') != std::string::npos || !destinationURL.fullPath())
        return fail(ENCODING_ERR);
    auto destinationPath = normalizePath(*pathOfURL(destinationURL));
    auto destination = destinationPath ? nativePathForPath(*destinationPath) : std::nullopt;
    if (!destination) return fail(ENCODING_ERR);
    const std::string newFullPath = (*destinationPath == "/" ? "" : *destinationPath) + "/" + newName;
    const std::string newPath = (*destination == "/" ? "" : *destination) + "/" + newName;
    const Item target = itemAt(newPath);

    if (!itemAt(*destination).exists) return fail(NOT_FOUND_ERR);

    auto* localSource = dynamic_cast<WFLocalFilesystem*>(sourceFileSystem.get());
    if (!localSource) {
        if (!sourceFileSystem) return fail(NOT_FOUND_ERR);
        // Another kind of filesystem: take its bytes and write a new file.
        std::weak_ptr<WFFileSystem> weak = weak_from_this();
        sourceFileSystem->readFileAtURL(
            sourceURL, 0, -1,
            [weak, newPath, newFullPath, callback](std::optional<platform::Bytes> data,
                                                   const std::optional<std::string>&, int32_t error) {
                if (!data) return callback(WFFileErrorResult(error));
                auto self = weak.lock();
                if (!self || writeAtomically(newPath, *data) != 0) return callback(WFFileErrorResult(ABORT_ERR));
                callback(WFPluginResult::resultWithStatusMessageAsDictionary(
                    WFResultStatus::OK, self->makeEntryForPath(newFullPath, false)));
            });
        return;
    }

    auto source = localSource->nativePath(sourceURL);
    if (!source) return fail(ENCODING_ERR);
    const Item item = itemAt(*source);
    if (!item.exists) return fail(NOT_FOUND_ERR);
    if (newPath == *source) return fail(INVALID_MODIFICATION_ERR);
    if (item.isDirectory && target.exists && !target.isDirectory) return fail(INVALID_MODIFICATION_ERR);

    std::optional<CopyFailure> failure;
    if (copy) {
        if (item.isDirectory && !canCopyMoveSrc(*source, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (target.exists) return fail(PATH_EXISTS_ERR);
        failure = copyIntoPlace(*source, newPath, false);
    } else {
        // A filesystem's root stays where it is.
        if (*source == localSource->fsRoot()) return fail(INVALID_MODIFICATION_ERR);
        if (!item.isDirectory && target.isDirectory) return fail(INVALID_MODIFICATION_ERR);
        if (item.isDirectory && !canCopyMoveSrc(*source, newPath)) return fail(INVALID_MODIFICATION_ERR);
        if (target.isDirectory && !directoryIsEmpty(newPath)) return fail(INVALID_MODIFICATION_ERR);
        // rename(2) replaces a file or an empty directory at once; across
        // devices the copy takes the target's place before the source goes.
        if (::rename(source->c_str(), newPath.c_str()) != 0) {
            if (errno != EXDEV) {
                failure = CopyFailure{false, errno};
            } else if (!(failure = copyIntoPlace(*source, newPath, true))) {
                if (int err = removeTree(*source))
                    platform::log("error removing filesystem entry at %s: %s", source->c_str(),
                                  errnoDescription(err, *source).c_str());
            }
        }
    }
    if (failure) return fail(copyFailureCode(*failure));
    callback(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK,
                                                                 makeEntryForPath(newFullPath, item.isDirectory)));
}

// --- Reading --------------------------------------------------------------------

std::optional<std::string> WFLocalFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
    if (!path) return std::nullopt;
    const std::string ext = extensionOf(*path);
    if (ext.empty()) return std::nullopt;
    if (auto type = platform::mime::mimeTypeForExtension(ext)) return type;
    std::string lower = ext;
    for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (lower == "m4a") return "audio/mp4";
    if (lower.find("wav") != std::string::npos) return "audio/wav";
    if (lower.find("css") != std::string::npos) return "text/css";
    return std::nullopt;
}

std::optional<std::string> WFLocalFilesystem::mimeTypeForFileAtPath(const std::string& nativePath) const {
    if (!itemAt(nativePath).exists) return std::nullopt;
    const std::string ext = extensionOf(nativePath);
    auto type = ext.empty() ? std::nullopt : platform::mime::mimeTypeForExtension(ext);
    return type.value_or("application/octet-stream");
}

void WFLocalFilesystem::readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end,
                                      WFFileReadCallback callback) {
    auto native = nativePath(url);
    if (!native) return callback(std::nullopt, std::nullopt, ENCODING_ERR);
    const std::string mimeType = getMimeTypeFromPath(native).value_or("*/*");
    // O_NONBLOCK: opening a pipe someone left at the path must not hang the reader.
    const int fd = ::open(native->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return callback(std::nullopt, mimeType, NOT_FOUND_ERR);
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return callback(std::nullopt, mimeType, NOT_FOUND_ERR);
    }
    const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    // An end before the start reads nothing; a negative end reads to the end.
    uint64_t until = end < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(end), size);
    if (until < from) until = from;
    const uint64_t length = std::min(until, size) - std::min(from, size);
    // A sparse file can claim far more than the machine could hold: such a
    // range is refused instead of taking the process's memory (or leaving
    // the caller without an answer when the allocation fails).
    platform::Bytes bytes;
    try {
        if (length > platform::Device::physicalMemory()) throw std::bad_alloc();
        bytes.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        ::close(fd);
        return callback(std::nullopt, mimeType, NOT_READABLE_ERR);
    }
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n = ::pread(fd, bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(from + filled));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            ::close(fd);
            return callback(std::nullopt, mimeType, NOT_FOUND_ERR);
        }
        if (n == 0) break;  // the file shrank meanwhile
        filled += static_cast<std::size_t>(n);
    }
    ::close(fd);
    bytes.resize(filled);
    callback(std::move(bytes), mimeType, 0);
}

void WFLocalFilesystem::getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) {
    auto native = nativePath(url);
    if (!native) return callback(WFFileErrorResult(ENCODING_ERR, WFResultStatus::Error));
    struct stat st {};
    if (::stat(native->c_str(), &st) != 0) {
        const int err = errno;
        platform::log("error getting metadata: %s", errnoDescription(err, *native).c_str());
        const bool missing = err == ENOENT || err == ENOTDIR;
        return callback(WFFileErrorResult(missing ? NOT_FOUND_ERR : ABORT_ERR, WFResultStatus::Error));
    }
    Value metadata = Value::object();
    metadata["fullPath"] = *url.fullPath();
    if (auto type = mimeTypeForFileAtPath(*native)) metadata["type"] = *type;
    metadata["name"] = WFLastPathComponent(*native);
    metadata["size"] = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : uint64_t{0};
    metadata["lastModifiedDate"] =
        static_cast<double>(st.st_mtim.tv_sec) * 1000.0 + static_cast<double>(st.st_mtim.tv_nsec) / 1e6;
    callback(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, metadata));
}

}  // namespace wharf
