#pragma once
// The file plug-in: a registry of named filesystems (temporary, persistent,
// the photo library and the extra ones the preferences name), the page's file
// actions on them, and the "wffile" scheme through which pages load files.
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "host/WFPlugin.h"
#include "platform/dispatch/Dispatch.h"
#include "plugins/file/WFFileSystem.h"
#include "plugins/file/WFFilesystemURL.h"

namespace wharf {

// Registers the class "WFFile" and declares the "wffile" scheme of the web context.
void registerFilePlugin();

class WFFile : public WFPlugin {
public:
    static const WFActionTable& actions();
    const WFActionTable& actionTable() const override { return actions(); }
    std::string className() const override { return "WFFile"; }

    // The file plug-in initialised last, if it still exists.
    static std::shared_ptr<WFFile> current();

    void pluginInitialize() override;
    // A new page: the answers held for the last one's fetches go.
    void onReset() override;

    // The bytes of a readAsArrayBuffer answer held for one fetch of `url`
    // (from the answer's "url"), taken from the plug-in; nullopt when none
    // (never held, fetched already, or dropped to make room).
    std::optional<platform::Bytes> takeHeldResult(const platform::Url& url);
    // Reads as `fileSystem` does, but a range longer than WFLargestRead() is
    // refused with NOT_READABLE_ERR before more than one byte over it is read.
    static void readBounded(const std::shared_ptr<WFFileSystem>& fileSystem, const WFFilesystemURL& url, int64_t start,
                            int64_t end, WFFileReadCallback callback);
    // How long the plug-in's queue waits for a filesystem that answers later
    // before the actions after it go ahead (a minute; shorter in tests).
    static void setAnswerWait(std::chrono::milliseconds wait);

    // --- For other native code ----------------------------------------------
    void registerFilesystem(std::shared_ptr<WFFileSystem> fileSystem);
    std::vector<std::shared_ptr<WFFileSystem>> fileSystems() const;
    std::shared_ptr<WFFileSystem> fileSystemByName(const std::string& name) const;
    std::shared_ptr<WFFileSystem> filesystemForURL(const WFFilesystemURL& url) const;
    // "file://" URLs name native paths; anything else is a filesystem URL.
    std::optional<WFFilesystemURL> fileSystemURLforArg(const std::string& argument) const;
    // The filesystem URL with the shortest full path among those of the
    // filesystems holding the path (the earlier registered on a tie).
    std::optional<WFFilesystemURL> fileSystemURLforLocalPath(const std::string& nativePath) const;
    std::optional<std::string> filesystemPathForURL(const WFFilesystemURL& url) const;
    std::optional<platform::Value> makeEntryForPath(const std::string& fullPath, const std::string& fileSystemName,
                                                    bool isDirectory) const;
    std::optional<platform::Value> makeEntryForLocalURL(const WFFilesystemURL& url) const;
    std::optional<platform::Value> makeEntryForURL(const platform::Url& url) const;
    std::optional<platform::Value> getDirectoryEntry(const std::string& nativePath, bool isDirectory) const;
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);
    // Free bytes of the volume holding the path; nullopt when unknown.
    static std::optional<uint64_t> checkFreeDiskSpace(const std::string& path);

    const std::string& rootDocsPath() const { return rootDocsPath_; }
    const std::string& appDocsPath() const { return appDocsPath_; }
    const std::string& appLibraryPath() const { return appLibraryPath_; }
    const std::string& appTempPath() const { return appTempPath_; }

    // --- Actions ------------------------------------------------------------
    void requestFileSystem(const WFInvokedUrlCommand& command);
    void requestAllFileSystems(const WFInvokedUrlCommand& command);
    void requestAllPaths(const WFInvokedUrlCommand& command);
    void resolveLocalFileSystemURI(const WFInvokedUrlCommand& command);
    void getDirectory(const WFInvokedUrlCommand& command);
    void getFile(const WFInvokedUrlCommand& command);
    void getParent(const WFInvokedUrlCommand& command);
    void setMetadata(const WFInvokedUrlCommand& command);
    void remove(const WFInvokedUrlCommand& command);
    void removeRecursively(const WFInvokedUrlCommand& command);
    void copyTo(const WFInvokedUrlCommand& command);
    void moveTo(const WFInvokedUrlCommand& command);
    void getFileMetadata(const WFInvokedUrlCommand& command);
    void readEntries(const WFInvokedUrlCommand& command);
    void readAsText(const WFInvokedUrlCommand& command);
    void readAsDataURL(const WFInvokedUrlCommand& command);
    void readAsArrayBuffer(const WFInvokedUrlCommand& command);
    void readAsBinaryString(const WFInvokedUrlCommand& command);
    void truncate(const WFInvokedUrlCommand& command);
    void write(const WFInvokedUrlCommand& command);
    void testFileExists(const WFInvokedUrlCommand& command);
    void testDirectoryExists(const WFInvokedUrlCommand& command);
    void getFreeDiskSpace(const WFInvokedUrlCommand& command);
    void _getLocalFilesystemPath(const WFInvokedUrlCommand& command);

private:
    struct Target {
        WFFilesystemURL url;
        std::shared_ptr<WFFileSystem> fileSystem;
    };
    // The URL argument at `index` and its filesystem; nullopt (after answering
    // `failure` with its code) when the argument names no registered filesystem.
    std::optional<Target> target(const WFInvokedUrlCommand& command, std::size_t index, int failure = NOT_FOUND_ERR,
                                 WFResultStatus status = WFResultStatus::IOError);
    void send(const WFPluginResult& result, const WFInvokedUrlCommand& command) const;
    // Runs `work` on the plug-in's queue, after everything the page sent
    // before: the page's changes to its files take effect in the order it
    // sent them, and what it asks after a change sees the change.
    void inOrder(std::function<void()> work);
    // The same for work that is answered through a callback (later and on
    // another thread for the photo library): the queue waits for the answer.
    void inOrderUntilAnswered(std::function<void(std::function<void()> answered)> work);
    // Answers the command with what `operation` gives for its URL argument, in order.
    void answerInOrder(const WFInvokedUrlCommand& command, std::function<WFPluginResult(const Target&)> operation);
    void registerExtraFileSystems(const std::string& list);
    void copyOrMove(const WFInvokedUrlCommand& command, bool copy);
    // Whether removing or moving the entry at `url` (or the entry `child` in
    // that directory: a move's new place) would take a registered
    // filesystem's root with it.
    bool holdsAFilesystemRoot(const Target& target, const std::optional<std::string>& child = std::nullopt) const;
    using ReadAnswer =
        std::function<WFPluginResult(platform::Bytes&& data, const std::optional<std::string>& mimeType)>;
    void readWith(const WFInvokedUrlCommand& command, std::size_t startIndex, ReadAnswer answer);
    // Keeps bytes for one fetch, dropping the oldest held answers while all
    // would hold more than WFLargestRead(); the URL to fetch them by.
    std::string holdResult(platform::Bytes&& data);

    mutable std::mutex mutex_;
    platform::dispatch::QueuePtr queue_;
    std::vector<std::shared_ptr<WFFileSystem>> fileSystems_;
    std::deque<std::pair<std::string, platform::Bytes>> heldResults_;  // oldest first
    uint64_t heldBytes_ = 0;
    std::string rootDocsPath_;
    std::string appDocsPath_;
    std::string appLibraryPath_;
    std::string appTempPath_;
};

}  // namespace wharf
