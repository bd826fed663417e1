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
#include "platform/base/FileVersion.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/gui/WebView.h"
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

    // The response to the one fetch of a readAsArrayBuffer answer held for it
    // (`url` is the answer's "url"): its bytes, or those of its file where
    // they were left there, should the file still be as it was read; the
    // answer goes with it. nullopt when there is none (never held, fetched
    // already, left by its page, or its file changed since).
    std::optional<platform::SchemeResponse> takeHeldResult(const platform::Url& url);
    // Reads as `fileSystem` does, but a range longer than `most` bytes is
    // refused with NOT_READABLE_ERR: before anything is read where the
    // filesystem can open the file, else before more than one byte over it.
    static void readBounded(const std::shared_ptr<WFFileSystem>& fileSystem, const WFFilesystemURL& url, int64_t start,
                            int64_t end, uint64_t most, WFFileReadCallback callback);
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
    // Sends an answer later, from any thread, unless the plug-in is gone by then.
    std::function<void(WFPluginResult)> replier(const WFInvokedUrlCommand& command);
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
    // Reads the range of the URL argument (its start and end at `startIndex`)
    // in order, at most `most` bytes, and answers what `answer` makes of them.
    void readWith(const WFInvokedUrlCommand& command, std::size_t startIndex, uint64_t most, ReadAnswer answer);
    // readAsArrayBuffer for a bridge that takes large answers by URL.
    void readByURL(const WFInvokedUrlCommand& command);

    // A readAsArrayBuffer answer waiting for its fetch: its bytes, or, where
    // they did not fit beside the others, the range of its file to send them
    // from, should the file still be the version it was.
    struct HeldResult {
        std::string token;
        platform::Bytes bytes;
        std::shared_ptr<WFFileSystem> fileSystem;  // set where the bytes are left in the file
        WFFilesystemURL url;
        uint64_t offset = 0;
        uint64_t length = 0;
        platform::FileVersion version;
    };
    // Counts `size` more bytes held in memory for the page's fetches; false
    // (nothing counted) where they would hold more than WFLargestRead().
    bool reserveHeld(uint64_t size);
    void releaseHeld(uint64_t size);
    // Keeps an answer for one fetch; the URL to fetch it by. Bytes held in
    // memory were counted (reserveHeld) first.
    std::string holdResult(HeldResult&& result);

    mutable std::mutex mutex_;
    platform::dispatch::QueuePtr queue_;
    std::vector<std::shared_ptr<WFFileSystem>> fileSystems_;
    std::deque<HeldResult> heldResults_;
    // The bytes in memory for the page's fetches: those waiting for their
    // fetch, and those being sent, until the page has them.
    uint64_t heldBytes_ = 0;
    std::string rootDocsPath_;
    std::string appDocsPath_;
    std::string appLibraryPath_;
    std::string appTempPath_;
};

}  // namespace wharf
