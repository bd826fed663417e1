#include "plugins/file/WFLocalFilesystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <set>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "platform/base/Mime.h"
#include "platform/base/Paths.h"
#include "platform/storage/RootDirectory.h"
#include "platform/storage/Xattr.h"
#include "plugins/file/WFLocalFilesystemStaging.h"

namespace wharf {

namespace {

using platform::RootDirectory;
using platform::Value;
using WFFd = platform::FileDescriptor;
using namespace staging;

// What is at a path, or why nothing could be looked at there (`err`: ENOENT,
// EXDEV for a path that leads out of the root, ...).
struct Item {
    bool exists = false;
    bool isDirectory = false;
    bool isRegular = false;
    int err = 0;
    dev_t device = 0;
    ino_t inode = 0;
};

Item itemOf(const struct stat& st) { return {true, S_ISDIR(st.st_mode), S_ISREG(st.st_mode), 0, st.st_dev, st.st_ino}; }

// What is at a path below the root, links followed while they stay below it.
Item itemBeneath(const RootDirectory& root, const std::string& path) {
    WFFd fd = root.open(path, O_PATH);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) return {false, false, false, errno};
    return itemOf(st);
}

// The page's code for a path that could not be resolved: one leading out of
// the root is refused as such, anything else is not there.
int resolutionCode(int err, int otherwise = NOT_FOUND_ERR) { return err == EXDEV ? SECURITY_ERR : otherwise; }

// The page's code for a failed copy or move.
int copyFailureCode(const CopyFailure& failure) {
    const int e = failure.err;
    if (failure.removing)
        return (e == EACCES || e == EPERM || e == EROFS) ? NO_MODIFICATION_ALLOWED_ERR : INVALID_MODIFICATION_ERR;
    if (failure.reading)
        return (e == ENOENT || e == EACCES || e == EPERM) ? INVALID_MODIFICATION_ERR : NOT_READABLE_ERR;
    if (e == ENOSPC || e == EDQUOT || e == EFBIG) return QUOTA_EXCEEDED_ERR;
    if (e == EEXIST) return PATH_EXISTS_ERR;
    if (e == EACCES || e == EPERM || e == EROFS) return NO_MODIFICATION_ALLOWED_ERR;
    return INVALID_MODIFICATION_ERR;
}

// Whether the open directory is `ancestor` or lies below it, asked of the
// directories themselves (links may make two paths name one directory).
bool directoryIsAtOrBelow(int directory, uint64_t device, uint64_t inode) {
    WFFd current(::fcntl(directory, F_DUPFD_CLOEXEC, 0));
    // Deeper than any path can go: the walk stops at the top all the same.
    for (int depth = 0; current && depth < 4096; ++depth) {
        struct stat here {
        }, up{};
        WFFd parent(::openat(current.get(), "..", O_PATH | O_DIRECTORY | O_CLOEXEC));
        if (::fstat(current.get(), &here) != 0 || !parent || ::fstat(parent.get(), &up) != 0) return true;
        if (here.st_dev == device && here.st_ino == inode) return true;
        if (up.st_dev == here.st_dev && up.st_ino == here.st_ino) return false;
        current = std::move(parent);
    }
    return true;
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

// The MIME type of a file's extension; "application/octet-stream" when none.
std::string mimeTypeOfExtension(const std::string& path) {
    const std::string ext = extensionOf(path);
    auto type = ext.empty() ? std::nullopt : platform::mime::mimeTypeForExtension(ext);
    return type.value_or("application/octet-stream");
}

std::string withoutTrailingSlash(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    return path;
}

bool isRootPath(const std::string& normalised) { return normalised.empty() || normalised == "/"; }

std::string joinPath(const std::string& directory, const std::string& name) {
    return (directory == "/" ? "" : directory) + "/" + name;
}

WFPluginResult okResult() { return WFPluginResult::resultWithStatus(WFResultStatus::OK); }

}  // namespace

WFLocalFilesystem::WFLocalFilesystem(std::string name, std::string root, bool readOnly)
    : fsRoot_(withoutTrailingSlash(std::move(root))), readOnly_(readOnly), root_(fsRoot_) {
    setName(std::move(name));
    resolvedRoot_ = platform::resolvedPath(fsRoot_);
    if (resolvedRoot_ && *resolvedRoot_ == fsRoot_) resolvedRoot_.reset();
}

void WFLocalFilesystem::setReadOnlyDirectory(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) readOnlyDirectory_ = {st.st_dev, st.st_ino};
}

bool WFLocalFilesystem::changesReadOnly(int directory, const std::string& name) const {
    if (readOnly_) return true;
    if (!readOnlyDirectory_) return false;
    const auto [device, inode] = *readOnlyDirectory_;
    if (directoryIsAtOrBelow(directory, device, inode)) return true;
    struct stat st {};
    return ::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && st.st_dev == device &&
           st.st_ino == inode;
}

platform::FileDescriptor WFLocalFilesystem::openForWriting(const std::string& fullPath, int flags) const {
    // A link put in the file's place between the look and the open fails the
    // open (O_NOFOLLOW): looked at again, it is followed.
    for (int attempt = 0; attempt < 8; ++attempt) {
        auto target = root_.target(fullPath);
        if (!target) return WFFd();
        if (changesReadOnly(target->directory.get(), target->name)) {
            errno = EROFS;
            return WFFd();
        }
        WFFd fd(::openat(target->directory.get(), target->name.c_str(),
                         O_WRONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC | (flags & ~O_TRUNC), 0666));
        if (!fd && errno == ELOOP) continue;
        if (!fd) return fd;
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            errno = EINVAL;
            return WFFd();
        }
        if ((flags & O_TRUNC) && ::ftruncate(fd.get(), 0) != 0) return WFFd();
        return fd;
    }
    return WFFd();
}

bool WFLocalFilesystem::isStagingName(const std::string& name) {
    if (name.size() != kStagingPrefix.size() + kStagingDigits ||
        name.compare(0, kStagingPrefix.size(), kStagingPrefix) != 0)
        return false;
    return std::all_of(name.begin() + static_cast<std::ptrdiff_t>(kStagingPrefix.size()), name.end(),
                       [](char c) { return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'); });
}

void WFLocalFilesystem::removeStagingLeftovers(
    const std::vector<std::shared_ptr<const WFLocalFilesystem>>& filesystems) {
    std::set<std::pair<dev_t, ino_t>> seen;
    std::size_t budget = kSweepEntries;
    for (const auto& filesystem : filesystems) {
        const WFFd top = filesystem->root_.open("", O_RDONLY | O_DIRECTORY);
        struct stat st {};
        if (top && ::fstat(top.get(), &st) == 0) sweepStaging(top.get(), st.st_dev, seen, budget, 0);
    }
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
    for (auto& part : platform::pathComponents(path)) {
        if (part != "..") {
            parts.push_back(std::move(part));
        } else if (parts.empty()) {
            return std::nullopt;
        } else {
            parts.pop_back();
        }
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

std::optional<std::string> WFLocalFilesystem::normalizedPath(const WFFilesystemURL& url) {
    auto path = pathOfURL(url);
    return path ? normalizePath(*path) : std::nullopt;
}

// --- Entries --------------------------------------------------------------------

Value WFLocalFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    std::optional<platform::Url> nativeURL;
    if (auto native = nativePathForPath(fullPath)) {
        std::string text = platform::Url::fileURL(*native).absoluteString();
        if (itemBeneath(root_, *normalizePath(fullPath)).isDirectory && text.back() != '/') text += '/';
        nativeURL = platform::Url::parse(text);
    }
    return makeEntry(fullPath, WFLastPathComponent(fullPath), isDirectory, nativeURL);
}

std::optional<Value> WFLocalFilesystem::makeEntryForLocalURL(const WFFilesystemURL& url) {
    auto path = normalizedPath(url);
    if (!path) return std::nullopt;
    const Item item = itemBeneath(root_, *path);
    if (!item.exists) return std::nullopt;
    return makeEntryForPath(*pathOfURL(url), item.isDirectory);
}

WFPluginResult WFLocalFilesystem::entryForLocalURI(const WFFilesystemURL& url) {
    auto path = normalizedPath(url);
    if (!path) return WFFileErrorResult(ENCODING_ERR);
    const Item item = itemBeneath(root_, *path);
    if (!item.exists) return WFFileErrorResult(resolutionCode(item.err));
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK,
                                                               makeEntryForPath(*pathOfURL(url), item.isDirectory));
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

    const Item item = itemBeneath(root_, *fullPath);
    if (item.err == EXDEV) return WFFileErrorResult(SECURITY_ERR);
    if (!create && item.exists && item.isDirectory != getDir) return WFFileErrorResult(TYPE_MISMATCH_ERR);
    if (!create && !item.exists) return WFFileErrorResult(NOT_FOUND_ERR);
    if (create && exclusive && item.exists) return WFFileErrorResult(PATH_EXISTS_ERR);
    if (create && !item.exists) {
        // Made in the directory that was opened and checked: O_EXCL and
        // mkdirat never follow a link found at the name.
        auto parent = root_.parent(*fullPath);
        if (parent && changesReadOnly(parent->directory.get(), parent->name))
            return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
        if (getDir) {
            if (!parent || ::mkdirat(parent->directory.get(), parent->name.c_str(), 0777) != 0) {
                const int err = errno;
                platform::log("error creating directory: %s",
                              WFErrnoDescription(err, *nativePathForPath(*fullPath)).c_str());
                return WFFileErrorResult(resolutionCode(err, ABORT_ERR));
            }
        } else if (!parent || !WFFd(::openat(parent->directory.get(), parent->name.c_str(),
                                             O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666))) {
            return WFFileErrorResult(resolutionCode(errno, ABORT_ERR));
        }
    }
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, makeEntryForPath(*fullPath, getDir));
}

WFPluginResult WFLocalFilesystem::getParentForURL(const WFFilesystemURL& url) {
    auto fullPath = normalizedPath(url);
    if (!fullPath) return WFFileErrorResult(ENCODING_ERR);
    // The parent of the root is the root.
    std::string parent = "/";
    if (!isRootPath(*fullPath)) {
        const auto slash = fullPath->rfind('/');
        parent = slash == std::string::npos || slash == 0 ? "/" : fullPath->substr(0, slash);
    }
    const Item item = itemBeneath(root_, parent);
    if (!item.exists) return WFFileErrorResult(resolutionCode(item.err));
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK,
                                                               makeEntryForPath(parent, item.isDirectory));
}

WFPluginResult WFLocalFilesystem::setMetadataForURL(const WFFilesystemURL& url, const Value& metadata) {
    const char* key = "com.apple.MobileBackup";
    auto path = normalizedPath(url);
    if (readOnly_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (!path || !valueForKeyIsNumber(metadata, key)) return WFPluginResult::resultWithStatus(WFResultStatus::Error);
    auto target = root_.target(*path);
    if (target && changesReadOnly(target->directory.get(), target->name))
        return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    const WFFd fd = target
                        ? WFFd(::openat(target->directory.get(), target->name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC))
                        : WFFd();
    if (!fd) {
        if (errno == EXDEV) return WFFileErrorResult(SECURITY_ERR, WFResultStatus::Error);
        return WFPluginResult::resultWithStatus(WFResultStatus::Error);
    }
    // The attribute goes on what the descriptor holds, whatever the path meanwhile names.
    const std::string held = "/proc/self/fd/" + std::to_string(fd.get());
    if (platform::xattr::setExcludedFromBackup(held, platform::boolValue(metadata[key])) != platform::xattr::Result::Ok)
        return WFPluginResult::resultWithStatus(WFResultStatus::Error);
    return okResult();
}

// --- Removal ----------------------------------------------------------------------

WFPluginResult WFLocalFilesystem::removeAt(const std::string& fullPath, bool recursive) {
    const std::string native = nativePathForPath(fullPath).value_or(fsRoot_ + fullPath);
    auto failed = [&](int err) {
        platform::log("error removing filesystem entry at %s: %s", native.c_str(),
                      WFErrnoDescription(err, native).c_str());
        if (err == EXDEV) return WFFileErrorResult(SECURITY_ERR);
        if (err == ENOENT || err == ENOTDIR) return WFFileErrorResult(NOT_FOUND_ERR);
        if (err == EACCES || err == EPERM || err == EROFS) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
        return WFFileErrorResult(ABORT_ERR);
    };
    auto parent = root_.parent(fullPath);
    if (!parent) return failed(errno);
    // Decided on the directory the entry goes from, and its tree is walked
    // by descriptors: the read-only directory is never entered.
    const int directory = parent->directory.get();
    const std::string& name = parent->name;
    if (changesReadOnly(directory, name)) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (recursive) {
        if (int err = removeTree(directory, name, readOnlyDirectory_)) return failed(err);
        return okResult();
    }
    struct stat st {};
    if (::fstatat(directory, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return WFFileErrorResult(NOT_FOUND_ERR);
    // A directory goes only empty: rmdir itself refuses one filled meanwhile.
    if (::unlinkat(directory, name.c_str(), S_ISDIR(st.st_mode) ? AT_REMOVEDIR : 0) == 0) return okResult();
    if (errno == ENOTEMPTY || errno == EEXIST) return WFFileErrorResult(INVALID_MODIFICATION_ERR);
    return failed(errno);
}

WFPluginResult WFLocalFilesystem::doRemove(const std::string& nativePath) {
    auto fullPath = fullPathForFileSystemPath(nativePath);
    // A filesystem's root is never removed, whatever spelling reached it.
    if (fullPath && isRootPath(*fullPath)) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (!fullPath) return WFFileErrorResult(NOT_FOUND_ERR);
    return removeAt(*fullPath, true);
}

WFPluginResult WFLocalFilesystem::removeFileAtURL(const WFFilesystemURL& url) {
    auto path = normalizedPath(url);
    if (!path) return WFFileErrorResult(ENCODING_ERR);
    if (isRootPath(*path) || readOnly_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    return removeAt(*path, false);
}

WFPluginResult WFLocalFilesystem::recursiveRemoveFileAtURL(const WFFilesystemURL& url) {
    auto path = normalizedPath(url);
    if (!path) return WFFileErrorResult(ENCODING_ERR);
    // A filesystem's root is never removed, whatever spelling reached it.
    if (isRootPath(*path) || readOnly_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    return removeAt(*path, true);
}

// --- Listing --------------------------------------------------------------------

WFPluginResult WFLocalFilesystem::readEntriesAtURL(const WFFilesystemURL& url) {
    auto directory = normalizedPath(url);
    if (!directory) return WFFileErrorResult(ENCODING_ERR);
    const WFFd fd = root_.open(*directory, O_PATH | O_DIRECTORY);
    auto names = fd ? listDirectory(fd.get()) : std::nullopt;
    if (!names) return WFFileErrorResult(resolutionCode(errno));
    Value entries = Value::array();
    for (const auto& name : *names) {
        // A copy being built, or one a process that ended midway left behind.
        if (isStagingName(name)) continue;
        const std::string fullPath = joinPath(*directory, name);
        struct stat st {};
        bool isDirectory = false;
        if (::fstatat(fd.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
            isDirectory = S_ISLNK(st.st_mode) ? itemBeneath(root_, fullPath).isDirectory : S_ISDIR(st.st_mode);
        entries.push_back(makeEntryForPath(fullPath, isDirectory));
    }
    return WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, entries);
}

// --- Writing --------------------------------------------------------------------

std::optional<uint64_t> WFLocalFilesystem::truncateAt(const std::string& fullPath, int64_t position, int* error) {
    auto fail = [&](int code) -> std::optional<uint64_t> {
        if (error) *error = code;
        return std::nullopt;
    };
    if (readOnly_) return fail(NO_MODIFICATION_ALLOWED_ERR);
    if (position < 0) return fail(INVALID_MODIFICATION_ERR);
    const WFFd fd = openForWriting(fullPath, 0);
    if (!fd) {
        const int err = errno;
        if (err == EXDEV) return fail(SECURITY_ERR);
        if (err == ENOENT || err == ENOTDIR) return fail(NOT_FOUND_ERR);
        if (err == EACCES || err == EPERM || err == EROFS) return fail(NO_MODIFICATION_ALLOWED_ERR);
        return fail(INVALID_MODIFICATION_ERR);
    }
    int err = ::ftruncate(fd.get(), static_cast<off_t>(position)) == 0 ? 0 : errno;
    if (!err && ::fsync(fd.get()) != 0) err = errno;
    if (err) return fail(copyFailureCode({false, err}));
    return static_cast<uint64_t>(position);
}

std::optional<uint64_t> WFLocalFilesystem::truncateFile(const std::string& nativePath, int64_t position, int* error) {
    auto fullPath = fullPathForFileSystemPath(nativePath);
    if (!fullPath) {
        if (error) *error = NOT_FOUND_ERR;
        return std::nullopt;
    }
    return truncateAt(*fullPath, position, error);
}

WFPluginResult WFLocalFilesystem::truncateFileAtURL(const WFFilesystemURL& url, int64_t position) {
    auto path = normalizedPath(url);
    if (!path) return WFFileErrorResult(ENCODING_ERR);
    int error = 0;
    auto offset = truncateAt(*path, position, &error);
    if (!offset) return WFFileErrorResult(error);
    return WFPluginResult::resultWithStatusMessageAsNSUInteger(WFResultStatus::OK, *offset);
}

WFPluginResult WFLocalFilesystem::writeToFileAtURL(const WFFilesystemURL& url, const platform::Bytes& data,
                                                   bool append) {
    if (!url.fullPath()) return WFFileErrorResult(NOT_FOUND_ERR, WFResultStatus::Error);
    auto path = normalizedPath(url);
    if (!path) return WFFileErrorResult(ENCODING_ERR, WFResultStatus::Error);
    if (readOnly_) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
    if (data.empty()) return WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus::OK, 0);
    WFFd fd = openForWriting(*path, O_CREAT | (append ? O_APPEND : O_TRUNC));
    if (!fd) {
        const int err = errno;
        if (err == EROFS) return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
        return WFFileErrorResult(resolutionCode(err, copyFailureCode({false, err})), WFResultStatus::Error);
    }
    int err = writeAll(fd.get(), data.data(), data.size());
    if (::close(fd.release()) != 0 && !err) err = errno;
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
        newName.find('\0') != std::string::npos)
        return fail(ENCODING_ERR);
    auto destinationPath = normalizedPath(destinationURL);
    if (!destinationPath) return fail(ENCODING_ERR);
    if (readOnly_) return fail(NO_MODIFICATION_ALLOWED_ERR);
    const std::string newFullPath = joinPath(*destinationPath, newName);
    // Everything lands in the directory opened here, and is decided on it.
    auto destination = std::make_shared<WFFd>(root_.open(*destinationPath, O_PATH | O_DIRECTORY));
    if (!*destination) return fail(resolutionCode(errno));
    if (changesReadOnly(destination->get(), newName)) return fail(NO_MODIFICATION_ALLOWED_ERR);
    const Item target = itemBeneath(root_, newFullPath);
    if (target.err == EXDEV) return fail(SECURITY_ERR);

    auto* localSource = dynamic_cast<WFLocalFilesystem*>(sourceFileSystem.get());
    if (!localSource) {
        if (!sourceFileSystem) return fail(NOT_FOUND_ERR);
        // Another kind of filesystem: its file copied as it is read where it
        // opens one (the photo library's does: a picture of any size copies
        // without being held)...
        if (auto file = sourceFileSystem->openFileAtURL(sourceURL)) {
            if (file->error) return fail(file->error);
            if (auto failure = copyAtomically(file->fd.get(), {destination->get(), newName}))
                return fail(failure->reading ? NOT_READABLE_ERR : ABORT_ERR);
            return callback(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK,
                                                                                makeEntryForPath(newFullPath, false)));
        }
        // ... else its bytes taken and written to a new file.
        std::weak_ptr<WFFileSystem> weak = weak_from_this();
        sourceFileSystem->readFileAtURL(
            sourceURL, 0, -1,
            [weak, destination, newName, newFullPath, callback](std::optional<platform::Bytes> data,
                                                                const std::optional<std::string>&, int32_t error) {
                if (!data) return callback(WFFileErrorResult(error));
                auto self = weak.lock();
                if (!self || writeAtomically({destination->get(), newName}, *data) != 0)
                    return callback(WFFileErrorResult(ABORT_ERR));
                callback(WFPluginResult::resultWithStatusMessageAsDictionary(
                    WFResultStatus::OK, self->makeEntryForPath(newFullPath, false)));
            });
        return;
    }

    auto sourcePath = normalizedPath(sourceURL);
    if (!sourcePath) return fail(ENCODING_ERR);
    if (!copy && localSource->readOnly()) return fail(NO_MODIFICATION_ALLOWED_ERR);
    const RootDirectory& sourceRoot = localSource->root_;
    const Item item = itemBeneath(sourceRoot, *sourcePath);
    if (!item.exists) return fail(resolutionCode(item.err));
    // The source as a name in its directory; the root, which has none in its
    // filesystem, is copied from itself.
    const bool sourceIsRoot = isRootPath(*sourcePath);
    std::optional<RootDirectory::Parent> source =
        sourceIsRoot ? RootDirectory::Parent{sourceRoot.open("", O_PATH | O_DIRECTORY), "."}
                     : sourceRoot.parent(*sourcePath);
    if (!source || !source->directory) return fail(resolutionCode(errno));
    if (!copy && localSource->changesReadOnly(source->directory.get(), source->name))
        return fail(NO_MODIFICATION_ALLOWED_ERR);
    const At from{source->directory.get(), source->name};
    const At to{destination->get(), newName};

    struct stat sourceDirectory {
    }, destinationDirectory{};
    if (::fstat(from.directory, &sourceDirectory) != 0 || ::fstat(to.directory, &destinationDirectory) != 0)
        return fail(NOT_FOUND_ERR);
    if (!sourceIsRoot && newName == source->name && sourceDirectory.st_dev == destinationDirectory.st_dev &&
        sourceDirectory.st_ino == destinationDirectory.st_ino)
        return fail(INVALID_MODIFICATION_ERR);
    if (item.isDirectory && target.exists && !target.isDirectory) return fail(INVALID_MODIFICATION_ERR);
    // A directory never goes into itself, whether the paths or links say so.
    const bool intoItself = item.isDirectory && (!canCopyMoveSrc(*localSource->nativePathForPath(*sourcePath),
                                                                 *nativePathForPath(newFullPath)) ||
                                                 directoryIsAtOrBelow(to.directory, item.device, item.inode));

    std::optional<CopyFailure> failure;
    if (copy) {
        if (intoItself) return fail(INVALID_MODIFICATION_ERR);
        if (target.exists) return fail(PATH_EXISTS_ERR);
        failure = copyIntoPlace(from, to);
    } else {
        // A filesystem's root stays where it is.
        if (sourceIsRoot) return fail(INVALID_MODIFICATION_ERR);
        if (!item.isDirectory && target.isDirectory) return fail(INVALID_MODIFICATION_ERR);
        if (intoItself) return fail(INVALID_MODIFICATION_ERR);
        if (target.isDirectory && !directoryIsEmpty(to.directory, to.name)) return fail(INVALID_MODIFICATION_ERR);
        // renameat replaces a file or an empty directory at once; across
        // devices the move is a copy, and the source's removal.
        if (::renameat(from.directory, from.name.c_str(), to.directory, to.name.c_str()) != 0) {
            if (errno != EXDEV) {
                failure = CopyFailure{false, errno};
            } else if ((failure = moveAcrossDevices(from, to, localSource->readOnlyDirectory_)) && failure->removing) {
                const std::string native = *localSource->nativePathForPath(*sourcePath);
                platform::log("error removing filesystem entry at %s: %s", native.c_str(),
                              WFErrnoDescription(failure->err, native).c_str());
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
    auto fullPath = fullPathForFileSystemPath(nativePath);
    if (!fullPath || !itemBeneath(root_, *fullPath).exists) return std::nullopt;
    return mimeTypeOfExtension(nativePath);
}

std::optional<WFOpenedFile> WFLocalFilesystem::openFileAtURL(const WFFilesystemURL& url) {
    WFOpenedFile file;
    auto path = normalizedPath(url);
    if (!path) {
        file.error = ENCODING_ERR;
        return file;
    }
    file.mimeType = getMimeTypeFromPath(nativePathForPath(*path)).value_or("*/*");
    // O_NONBLOCK: opening a pipe someone left at the path must not hang the reader.
    file.fd = root_.open(*path, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (!file.fd) {
        file.error = resolutionCode(errno);
    } else if (::fstat(file.fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        file.error = NOT_FOUND_ERR;
        file.fd.reset();
    } else {
        file.size = static_cast<uint64_t>(st.st_size);
        file.version = platform::fileVersionOf(st);
    }
    return file;
}

uint64_t WFLocalFilesystem::readLength(uint64_t size, int64_t start, int64_t end) const {
    const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
    // An end before the start reads nothing; a negative end reads to the end.
    uint64_t until = end < 0 ? size : std::min<uint64_t>(static_cast<uint64_t>(end), size);
    if (until < from) until = from;
    return std::min(until, size) - std::min(from, size);
}

void WFLocalFilesystem::readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end,
                                      WFFileReadCallback callback) {
    WFOpenedFile file = *openFileAtURL(url);
    if (file.error) return callback(std::nullopt, file.mimeType, file.error);
    const std::string mimeType = *file.mimeType;
    const WFFd& fd = file.fd;
    const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
    const uint64_t length = readLength(file.size, start, end);
    // A sparse file can claim far more than the machine could hold: such a
    // range is refused instead of taking the process's memory (or leaving
    // the caller without an answer when the allocation fails).
    platform::Bytes bytes;
    try {
        if (length > WFLargestRead()) throw std::bad_alloc();
        bytes.resize(static_cast<std::size_t>(length));
    } catch (const std::bad_alloc&) {
        return callback(std::nullopt, mimeType, NOT_READABLE_ERR);
    }
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n =
            ::pread(fd.get(), bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(from + filled));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return callback(std::nullopt, mimeType, NOT_FOUND_ERR);
        if (n == 0) break;  // the file shrank meanwhile
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    callback(std::move(bytes), mimeType, 0);
}

void WFLocalFilesystem::getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) {
    auto path = normalizedPath(url);
    if (!path) return callback(WFFileErrorResult(ENCODING_ERR, WFResultStatus::Error));
    const std::string native = *nativePathForPath(*path);
    const WFFd fd = root_.open(*path, O_PATH);
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        const int err = errno;
        platform::log("error getting metadata: %s", WFErrnoDescription(err, native).c_str());
        const bool missing = err == ENOENT || err == ENOTDIR;
        return callback(
            WFFileErrorResult(missing ? NOT_FOUND_ERR : resolutionCode(err, ABORT_ERR), WFResultStatus::Error));
    }
    Value metadata = Value::object();
    metadata["fullPath"] = *url.fullPath();
    metadata["type"] = mimeTypeOfExtension(native);
    metadata["name"] = WFLastPathComponent(native);
    metadata["size"] = S_ISREG(st.st_mode) ? static_cast<uint64_t>(st.st_size) : uint64_t{0};
    metadata["lastModifiedDate"] =
        static_cast<double>(st.st_mtim.tv_sec) * 1000.0 + static_cast<double>(st.st_mtim.tv_nsec) / 1e6;
    callback(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, metadata));
}

}  // namespace wharf
