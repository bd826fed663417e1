#pragma once
// A filesystem over one directory of the machine, its root: maps full paths
// to native paths and back (never outside the root), and reads, writes,
// lists, removes, copies and moves there at once on the calling thread. Every
// path is resolved below the root: a link that leads out of it is refused
// (SECURITY_ERR), so nothing outside is read, changed or described. The root
// is the directory its path led to when the filesystem was made: renamed
// away and replaced (by a link, or another directory), it is refused the
// same way, until its path leads back to it; one not there then is served
// once it is made as a directory, never through a link made in its place. A
// read-only filesystem refuses every change (NO_MODIFICATION_ALLOWED_ERR).
// A copy is built under a hidden staging name beside its place and renamed
// into it: staging entries are never listed, and those a process that ended
// midway left behind go when the plug-in opens its filesystems.
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/base/FileDescriptor.h"
#include "platform/storage/RootDirectory.h"
#include "plugins/file/WFFileSystem.h"

namespace wharf {

// A directory's device and inode, when there is one.
using WFDirectoryIdentity = std::optional<std::pair<uint64_t, uint64_t>>;

class WFLocalFilesystem : public WFFileSystem {
public:
    WFLocalFilesystem(std::string name, std::string root, bool readOnly = false);

    // The native path of the root, without a trailing "/" (except "/" itself).
    const std::string& fsRoot() const { return fsRoot_; }
    bool readOnly() const { return readOnly_; }
    // A directory below the root that no change may reach through this
    // filesystem (the application's bundle, where this root holds it),
    // however the page spells or links its way there.
    void setReadOnlyDirectory(const std::string& path);
    // Whether `nativePath` (normalised) is this filesystem's root or holds it.
    bool rootIsAtOrBelow(const std::string& nativePath) const;

    // Whether a name is one a copy is built under before it takes its place.
    static bool isStagingName(const std::string& name);
    // Removes the staging entries left below these filesystems' roots (links
    // are not followed, nor mount points crossed; a bounded number of entries
    // is looked at): none may be in use, no copy of this process runs
    // meanwhile.
    static void removeStagingLeftovers(const std::vector<std::shared_ptr<const WFLocalFilesystem>>& filesystems);

    // --- Paths ---------------------------------------------------------------
    // The path up to its first "?".
    static std::string stripQueryParametersFromPath(const std::string& path);
    // Resolves "." and ".." and drops empty components and a trailing "/"; the
    // leading "/" stays. nullopt when ".." climbs above the start or the path
    // holds a NUL byte.
    static std::optional<std::string> normalizePath(const std::string& path);
    // The native path of a full path (its query stripped); nullopt when the
    // path would leave the root.
    std::optional<std::string> filesystemPathForFullPath(const std::string& fullPath) const;
    std::optional<std::string> filesystemPathForURL(const WFFilesystemURL& url) override;
    // The full path ("/" for the root itself) of a native path inside the
    // root, matched on whole components; nullopt outside.
    std::optional<std::string> fullPathForFileSystemPath(const std::string& nativePath) const;
    std::optional<WFFilesystemURL> URLforFullPath(const std::optional<std::string>& fullPath) const;
    std::optional<WFFilesystemURL> URLforFilesystemPath(const std::string& nativePath) override;
    static bool valueForKeyIsNumber(const platform::Value& dictionary, const std::string& key);

    // --- The filesystem's operations -----------------------------------------
    WFPluginResult entryForLocalURI(const WFFilesystemURL& url) override;
    WFPluginResult getFileForURL(const WFFilesystemURL& url, const platform::Value& requestedPath,
                                 const platform::Value& options) override;
    WFPluginResult getParentForURL(const WFFilesystemURL& url) override;
    WFPluginResult setMetadataForURL(const WFFilesystemURL& url, const platform::Value& metadata) override;
    WFPluginResult removeFileAtURL(const WFFilesystemURL& url) override;
    WFPluginResult recursiveRemoveFileAtURL(const WFFilesystemURL& url) override;
    WFPluginResult readEntriesAtURL(const WFFilesystemURL& url) override;
    WFPluginResult truncateFileAtURL(const WFFilesystemURL& url, int64_t position) override;
    WFPluginResult writeToFileAtURL(const WFFilesystemURL& url, const platform::Bytes& data, bool append) override;
    void copyFileToURL(const WFFilesystemURL& destinationURL, const std::string& newName,
                       const std::shared_ptr<WFFileSystem>& sourceFileSystem, const WFFilesystemURL& sourceURL,
                       bool copy, WFFileResultCallback callback) override;
    void readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end, WFFileReadCallback callback) override;
    std::optional<WFOpenedFile> openFileAtURL(const WFFilesystemURL& url) override;
    // An end before the start reads nothing; a negative end reads to the end.
    uint64_t readLength(uint64_t size, int64_t start, int64_t end) const override;
    void getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) override;
    std::optional<platform::Value> makeEntryForLocalURL(const WFFilesystemURL& url) override;
    platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) override;

    // Whether a directory may be copied or moved to `destination`: not onto
    // itself, not below itself.
    static bool canCopyMoveSrc(const std::string& source, const std::string& destination);
    // The MIME type of a path's extension, with fall-backs for a few audio and
    // style-sheet extensions the type database may not know; nullopt if none.
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);
    // nullopt when nothing is at the path; "application/octet-stream" when the
    // extension has no type.
    std::optional<std::string> mimeTypeForFileAtPath(const std::string& nativePath) const;
    WFPluginResult doRemove(const std::string& nativePath);
    // The new length, or nullopt with the file error code in `error`.
    std::optional<uint64_t> truncateFile(const std::string& nativePath, int64_t position, int* error);

private:
    // The URL's full path without its query: a "?" that the path itself
    // holds (escaped in the URL) is part of a name.
    static std::optional<std::string> pathOfURL(const WFFilesystemURL& url);
    // That path normalised; nullopt when it climbs above the root.
    static std::optional<std::string> normalizedPath(const WFFilesystemURL& url);
    // The native path of a full path that holds no query.
    std::optional<std::string> nativePathForPath(const std::string& fullPath) const;
    std::optional<std::string> nativePath(const WFFilesystemURL& url) const;
    // Removal and truncation of a normalised full path.
    WFPluginResult removeAt(const std::string& fullPath, bool recursive);
    std::optional<uint64_t> truncateAt(const std::string& fullPath, int64_t position, int* error);
    // Whether changing the entry `name` of the open `directory` would change
    // something read-only: the whole filesystem, or the read-only directory
    // (`directory` is it or lies in it, or the entry is it). Asked of the
    // descriptor the change is then made through, so that no rename
    // meanwhile can lead the change elsewhere.
    bool changesReadOnly(int directory, const std::string& name) const;
    // The regular file at a normalised full path opened for writing, links in
    // its last component followed below the root; an invalid descriptor with
    // errno (EROFS in the read-only directory, EINVAL for anything other than
    // a regular file). O_NONBLOCK keeps a pipe at the path from holding the
    // caller; O_TRUNC waits until the file is known to be a regular one.
    platform::FileDescriptor openForWriting(const std::string& fullPath, int flags) const;

    std::string fsRoot_;
    bool readOnly_ = false;
    // The device and inode of the read-only directory.
    WFDirectoryIdentity readOnlyDirectory_;
    // The root with its links resolved, for native paths that went through realpath.
    std::optional<std::string> resolvedRoot_;
    // The root directory as it was when the filesystem was made: everything
    // is resolved beneath it, and nothing once its path leads elsewhere.
    platform::RootDirectory root_;
};

}  // namespace wharf
