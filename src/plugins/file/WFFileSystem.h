#pragma once
// What every filesystem of the file plug-in does, the entry that describes a
// file or directory to the page, and the error codes of failing operations.
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/WFCommandDelegate.h"
#include "host/WFPluginResult.h"
#include "platform/base/FileDescriptor.h"
#include "platform/base/FileVersion.h"
#include "platform/base/Value.h"
#include "plugins/file/WFFilesystemURL.h"

namespace wharf {

// The codes of the page's FileError.
enum WFFileError : int {
    NOT_FOUND_ERR = 1,
    SECURITY_ERR = 2,
    ABORT_ERR = 3,
    NOT_READABLE_ERR = 4,
    ENCODING_ERR = 5,
    NO_MODIFICATION_ALLOWED_ERR = 6,
    INVALID_STATE_ERR = 7,
    SYNTAX_ERR = 8,
    INVALID_MODIFICATION_ERR = 9,
    QUOTA_EXCEEDED_ERR = 10,
    TYPE_MISMATCH_ERR = 11,
    PATH_EXISTS_ERR = 12,
};

// status with the integer code as its message: IO (6) unless stated.
WFPluginResult WFFileErrorResult(int code, WFResultStatus status = WFResultStatus::IOError);

// Called once with an operation's answer.
using WFFileResultCallback = std::function<void(WFPluginResult)>;
// Called once with the bytes (nullopt on failure), the MIME type (if known)
// and an error code (0 on success).
using WFFileReadCallback =
    std::function<void(std::optional<platform::Bytes> data, std::optional<std::string> mimeType, int32_t error)>;

// A regular file opened for reading: its descriptor (at its start), its size,
// its version as it was opened and its MIME type (where its path has one);
// or the FileError code of why it could not be opened.
struct WFOpenedFile {
    platform::FileDescriptor fd;
    uint64_t size = 0;
    platform::FileVersion version;
    std::optional<std::string> mimeType;
    int32_t error = 0;
};

// Filesystems are owned by shared_ptr (callbacks that outlive a call keep them weakly).
class WFFileSystem : public std::enable_shared_from_this<WFFileSystem> {
public:
    virtual ~WFFileSystem() = default;

    virtual WFPluginResult entryForLocalURI(const WFFilesystemURL& url) = 0;
    // options: "create", "exclusive", "getDir" (numbers or booleans).
    virtual WFPluginResult getFileForURL(const WFFilesystemURL& url, const platform::Value& requestedPath,
                                         const platform::Value& options) = 0;
    virtual WFPluginResult getParentForURL(const WFFilesystemURL& url) = 0;
    virtual WFPluginResult setMetadataForURL(const WFFilesystemURL& url, const platform::Value& metadata) = 0;
    virtual WFPluginResult removeFileAtURL(const WFFilesystemURL& url) = 0;
    virtual WFPluginResult recursiveRemoveFileAtURL(const WFFilesystemURL& url) = 0;
    virtual WFPluginResult readEntriesAtURL(const WFFilesystemURL& url) = 0;
    virtual WFPluginResult truncateFileAtURL(const WFFilesystemURL& url, int64_t position) = 0;
    virtual WFPluginResult writeToFileAtURL(const WFFilesystemURL& url, const platform::Bytes& data, bool append) = 0;
    // Copies (or moves) the source of `sourceFileSystem` into the directory
    // `destinationURL` of this filesystem under `newName`.
    virtual void copyFileToURL(const WFFilesystemURL& destinationURL, const std::string& newName,
                               const std::shared_ptr<WFFileSystem>& sourceFileSystem, const WFFilesystemURL& sourceURL,
                               bool copy, WFFileResultCallback callback) = 0;
    // A negative end reads to the end of the file.
    virtual void readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end, WFFileReadCallback callback) = 0;
    // How many bytes readFileAtURL gives for a range of a file of `size`
    // bytes: at most those from the start to the end of the file, and fewer
    // for an end after the start.
    virtual uint64_t readLength(uint64_t size, int64_t start, int64_t end) const;
    // The file at `url` opened for reading, where the filesystem's files are
    // descriptors; nullopt where it reads only through readFileAtURL (the
    // "wffile" scheme then serves none of them).
    virtual std::optional<WFOpenedFile> openFileAtURL(const WFFilesystemURL&) { return std::nullopt; }
    virtual void getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) = 0;
    virtual std::optional<platform::Value> makeEntryForLocalURL(const WFFilesystemURL& url) = 0;
    virtual platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) = 0;

    // The native path of a URL, where the filesystem has one.
    virtual std::optional<std::string> filesystemPathForURL(const WFFilesystemURL&) { return std::nullopt; }
    // The URL of a native path, where the path lies in this filesystem.
    virtual std::optional<WFFilesystemURL> URLforFilesystemPath(const std::string&) { return std::nullopt; }

    std::string name() const;
    void setName(std::string name);
    WFUrlTransformer urlTransformer() const;
    void setUrlTransformer(WFUrlTransformer transformer);

protected:
    // The entry dictionary; `nativeURL` goes through the URL transformer.
    platform::Value makeEntry(const std::string& fullPath, const std::string& entryName, bool isDirectory,
                              const std::optional<platform::Url>& nativeURL) const;

private:
    mutable std::mutex mutex_;
    std::string name_;
    WFUrlTransformer urlTransformer_;
};

// The most bytes one read brings into memory, the most one answer's text to
// the page takes, and the most the answers waiting for the page's fetch hold
// in memory together: 512 MiB, or a sixteenth of the machine's memory where
// that is less (an answer costs about twice its text at its peak). A sparse
// file can claim any size, and an answer is larger again than the bytes it
// carries (Base64, escapes). $WHARF_LARGEST_READ (bytes) lowers it.
uint64_t WFLargestRead();

// The description of a system error at a path, as the log lines give it.
std::string WFErrnoDescription(int err, const std::string& path);

// "/a/b/" → "b", "/" → "/", "" → "".
std::string WFLastPathComponent(const std::string& path);

}  // namespace wharf
