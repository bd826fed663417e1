#include "plugins/file/WFAssetLibraryFilesystem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/base/Error.h"
#include "platform/base/Log.h"
#include "plugins/file/WFLocalFilesystem.h"

namespace wharf {

namespace {

using platform::AssetStore;
using platform::Value;

WFPluginResult refused(WFResultStatus status, const char* message) {
    return WFPluginResult::resultWithStatusMessageAsString(status, message);
}

}  // namespace

WFAssetLibraryFilesystem::WFAssetLibraryFilesystem(std::string name, std::shared_ptr<AssetStore> store)
    : store_(std::move(store)) {
    setName(std::move(name));
}

std::string WFAssetLibraryFilesystem::assetLibraryURLForLocalURL(const WFFilesystemURL& url) {
    if (!url.url()) return "";
    const std::string& text = url.url()->absoluteString();
    if (url.url()->scheme() != kWFFilesystemURLPrefix) return text;
    // "wffile://localhost/assets-library/asset/x" → "assets-library://asset/x"
    const std::string prefix = std::string(kWFFilesystemURLPrefix) + "://localhost/" + kWFAssetsLibraryFilesystemName;
    return std::string(kWFAssetsLibraryPrefix) + ":/" + (text.size() > prefix.size() ? text.substr(prefix.size()) : "");
}

std::optional<std::string> WFAssetLibraryFilesystem::getMimeTypeFromPath(const std::optional<std::string>& path) {
    return WFLocalFilesystem::getMimeTypeFromPath(path);
}

Value WFAssetLibraryFilesystem::makeEntryForPath(const std::string& fullPath, bool isDirectory) {
    std::string path = fullPath;
    if (isDirectory && (path.empty() || path.back() != '/')) path += '/';
    auto nativeURL = platform::Url::parse(std::string(kWFAssetsLibraryPrefix) + ":/" + path);
    return makeEntry(fullPath, WFLastPathComponent(fullPath), isDirectory, nativeURL);
}

std::optional<Value> WFAssetLibraryFilesystem::makeEntryForLocalURL(const WFFilesystemURL& url) {
    return makeEntryForPath(url.fullPath().value_or(""), false);
}

WFPluginResult WFAssetLibraryFilesystem::entryForLocalURI(const WFFilesystemURL& url) {
    return WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, *makeEntryForLocalURL(url));
}

std::optional<std::string> WFAssetLibraryFilesystem::filesystemPathForURL(const WFFilesystemURL& url) {
    std::string path =
        url.url() && url.url()->scheme() == kWFAssetsLibraryPrefix ? url.url()->path() : url.fullPath().value_or("");
    if (!path.empty() && path.back() == '/') path.pop_back();
    return path;
}

void WFAssetLibraryFilesystem::readFileAtURL(const WFFilesystemURL& url, int64_t start, int64_t end,
                                             WFFileReadCallback callback) {
    store_->assetForURL(
        assetLibraryURLForLocalURL(url),
        [start, end, callback](AssetStore::Outcome outcome, const std::shared_ptr<const platform::Asset>& asset,
                               const platform::Error* error) {
            if (outcome == AssetStore::Outcome::NotFound) return callback(std::nullopt, std::nullopt, NOT_FOUND_ERR);
            if (outcome == AssetStore::Outcome::Failed) {
                platform::log("Error: %s", error ? error->description().c_str() : "");
                return callback(std::nullopt, std::nullopt, SECURITY_ERR);
            }
            const uint64_t from = start > 0 ? static_cast<uint64_t>(start) : 0;
            // An end after the start reads the bytes between; any other end
            // (a negative one too) asks for the whole size from the start,
            // which the end of the file cuts short.
            const uint64_t length =
                end > 0 && static_cast<uint64_t>(end) > from ? static_cast<uint64_t>(end) - from : asset->size();
            // A picture larger than the host can hold is refused before
            // anything is read, as a local file is.
            const uint64_t available = from < asset->size() ? asset->size() - from : 0;
            if (std::min(length, available) > WFLargestRead())
                return callback(std::nullopt, std::nullopt, NOT_READABLE_ERR);
            platform::Error readError;
            auto bytes = asset->read(from, length, &readError);
            if (!bytes) {
                platform::log("Error: %s", readError.description().c_str());
                return callback(std::nullopt, std::nullopt, SECURITY_ERR);
            }
            callback(std::move(bytes), asset->mimeType(), 0);
        });
}

std::optional<WFOpenedFile> WFAssetLibraryFilesystem::openFileAtURL(const WFFilesystemURL& url) {
    WFOpenedFile file;
    std::shared_ptr<const platform::Asset> asset;
    platform::Error error;
    switch (store_->lookup(assetLibraryURLForLocalURL(url), &asset, &error)) {
    case AssetStore::Outcome::NotFound: file.error = NOT_FOUND_ERR; return file;
    case AssetStore::Outcome::Failed:
        platform::log("Error: %s", error.description().c_str());
        file.error = SECURITY_ERR;
        return file;
    case AssetStore::Outcome::Found: break;
    }
    file.fd = asset->open();
    auto version = file.fd ? platform::fileVersion(file.fd.get()) : std::nullopt;
    if (!version) {
        platform::log("Error: %s", platform::errnoText(errno).c_str());
        file.fd.reset();
        file.error = SECURITY_ERR;
        return file;
    }
    file.version = *version;
    file.size = version->size;
    file.mimeType = asset->mimeType();
    return file;
}

void WFAssetLibraryFilesystem::getFileMetadataForURL(const WFFilesystemURL& url, WFFileResultCallback callback) {
    const std::string fullPath = url.fullPath().value_or("");
    store_->assetForURL(
        assetLibraryURLForLocalURL(url),
        [fullPath, callback](AssetStore::Outcome outcome, const std::shared_ptr<const platform::Asset>& asset,
                             const platform::Error* error) {
            if (outcome == AssetStore::Outcome::NotFound) return callback(WFFileErrorResult(NOT_FOUND_ERR));
            if (outcome == AssetStore::Outcome::Failed)
                return callback(WFPluginResult::resultWithStatusMessageAsString(
                    WFResultStatus::IOError, error ? error->localizedDescription() : std::string()));
            Value metadata = Value::object();
            metadata["size"] = asset->size();
            metadata["fullPath"] = fullPath;
            metadata["name"] = asset->fileName();
            if (auto type = getMimeTypeFromPath(asset->fileName())) metadata["type"] = *type;
            metadata["lastModifiedDate"] = asset->modificationDate() * 1000.0;
            callback(WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus::OK, metadata));
        });
}

// --- Refused ----------------------------------------------------------------------

WFPluginResult WFAssetLibraryFilesystem::getFileForURL(const WFFilesystemURL&, const Value&, const Value&) {
    return refused(WFResultStatus::MalformedURL, "getFile not supported for assets-library URLs.");
}

WFPluginResult WFAssetLibraryFilesystem::getParentForURL(const WFFilesystemURL&) {
    return WFFileErrorResult(NOT_READABLE_ERR);
}

WFPluginResult WFAssetLibraryFilesystem::setMetadataForURL(const WFFilesystemURL&, const Value&) {
    return WFPluginResult::resultWithStatus(WFResultStatus::Error);
}

WFPluginResult WFAssetLibraryFilesystem::removeFileAtURL(const WFFilesystemURL&) {
    return WFFileErrorResult(INVALID_MODIFICATION_ERR);
}

WFPluginResult WFAssetLibraryFilesystem::recursiveRemoveFileAtURL(const WFFilesystemURL&) {
    return refused(WFResultStatus::MalformedURL, "removeRecursively not supported for assets-library URLs.");
}

WFPluginResult WFAssetLibraryFilesystem::readEntriesAtURL(const WFFilesystemURL&) {
    return refused(WFResultStatus::MalformedURL, "readEntries not supported for assets-library URLs.");
}

WFPluginResult WFAssetLibraryFilesystem::truncateFileAtURL(const WFFilesystemURL&, int64_t) {
    return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
}

WFPluginResult WFAssetLibraryFilesystem::writeToFileAtURL(const WFFilesystemURL&, const platform::Bytes&, bool) {
    return WFFileErrorResult(NO_MODIFICATION_ALLOWED_ERR);
}

void WFAssetLibraryFilesystem::copyFileToURL(const WFFilesystemURL&, const std::string&,
                                             const std::shared_ptr<WFFileSystem>&, const WFFilesystemURL&, bool,
                                             WFFileResultCallback callback) {
    callback(WFFileErrorResult(INVALID_MODIFICATION_ERR));
}

}  // namespace wharf
