#pragma once
// The photo library as a read-only filesystem named "assets-library": its
// assets can be read, described and copied into a local filesystem; every
// change is refused.
#include <memory>
#include <string>

#include "platform/storage/AssetStore.h"
#include "plugins/file/WFFileSystem.h"

namespace wharf {

class WFAssetLibraryFilesystem : public WFFileSystem {
public:
    WFAssetLibraryFilesystem(std::string name, std::shared_ptr<platform::AssetStore> store);

    // The photo-library URL an asset is looked up by.
    static std::string assetLibraryURLForLocalURL(const WFFilesystemURL& url);
    static std::optional<std::string> getMimeTypeFromPath(const std::optional<std::string>& path);

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
    // Calls back later, off the calling thread.
    void readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end, WFFileReadCallback callback) override;
    // The asset's file, looked up at once on the calling thread.
    std::optional<WFOpenedFile> openFileAtURL(const WFFilesystemURL& url) override;
    void getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) override;
    std::optional<platform::Value> makeEntryForLocalURL(const WFFilesystemURL& url) override;
    platform::Value makeEntryForPath(const std::string& fullPath, bool isDirectory) override;
    std::optional<std::string> filesystemPathForURL(const WFFilesystemURL& url) override;

private:
    std::shared_ptr<platform::AssetStore> store_;
};

}  // namespace wharf
