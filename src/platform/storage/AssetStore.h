#pragma once
// The photo library: a read-only store of the picture files below one
// directory (the user's Pictures folder unless configured otherwise). An asset
// is named by a URL "assets-library://asset/asset.EXT?id=<path relative to the
// store, percent-encoded>&ext=EXT"; lookups run off the main thread. An asset
// is opened beneath the store (no link leads out of it, whatever is renamed
// meanwhile) and read from what was opened.
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/FileDescriptor.h"
#include "platform/base/Value.h"

namespace wharf::platform {

inline constexpr const char* kAssetStoreErrorDomain = "AssetStore";

class RootDirectory;

// One asset and its default representation: the file as stored, held open
// from its lookup, so that a read takes the bytes of the very file found.
class Asset {
public:
    Asset(std::shared_ptr<const FileDescriptor> file, std::string fileName, uint64_t size, double modificationDate)
        : file_(std::move(file)), fileName_(std::move(fileName)), size_(size), modificationDate_(modificationDate) {}

    const std::string& fileName() const { return fileName_; }
    uint64_t size() const { return size_; }
    // Seconds since 1970.
    double modificationDate() const { return modificationDate_; }
    // The MIME type of the file's extension, if known.
    std::optional<std::string> mimeType() const;
    // Up to `length` bytes from `offset` (fewer at the end of the file);
    // nullopt with the error when the file cannot be read.
    std::optional<Bytes> read(uint64_t offset, uint64_t length, Error* error = nullptr) const;
    // A descriptor of its own of the very file found (invalid, with errno,
    // when none can be had).
    FileDescriptor open() const;

private:
    std::shared_ptr<const FileDescriptor> file_;
    std::string fileName_;
    uint64_t size_;
    double modificationDate_;
};

class AssetStore {
public:
    enum class Outcome { Found, NotFound, Failed };
    // The asset when found; the error when the store failed.
    using Completion = std::function<void(Outcome, std::shared_ptr<const Asset>, const Error*)>;

    explicit AssetStore(std::string root);

    // $WHARF_PICTURES_DIR when set, else the user's Pictures directory (XDG),
    // else ~/Pictures.
    static std::string defaultRoot();
    const std::string& root() const { return root_; }

    // Looks the asset up on a background queue and calls back there.
    void assetForURL(const std::string& assetURL, Completion completion) const;
    // The same lookup on the calling thread.
    Outcome lookup(const std::string& assetURL, std::shared_ptr<const Asset>* asset, Error* error) const;

    // The URL of the file at `relativePath` below the store.
    static std::string urlForRelativePath(const std::string& relativePath);

private:
    std::string root_;
    // The store's directory as it was when the store was made: one renamed
    // away and replaced is never read beneath.
    std::shared_ptr<const RootDirectory> directory_;
};

}  // namespace wharf::platform
