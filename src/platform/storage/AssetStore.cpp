#include "platform/storage/AssetStore.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <glib.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <new>
#include <utility>

#include "platform/base/Error.h"
#include "platform/base/Mime.h"
#include "platform/base/Url.h"
#include "platform/device/Device.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/storage/RootDirectory.h"

namespace wharf::platform {

namespace {

Error storeError(int err, const std::string& what) {
    return Error::withDescription(kAssetStoreErrorDomain, err, what + ": " + errnoText(err));
}

// The value of `name` in a query "a=1&b=2", percent-decoded.
std::optional<std::string> queryValue(const std::string& query, const std::string& name) {
    std::size_t at = 0;
    while (at <= query.size()) {
        std::size_t end = query.find('&', at);
        if (end == std::string::npos) end = query.size();
        const std::string pair = query.substr(at, end - at);
        const std::size_t eq = pair.find('=');
        if (eq != std::string::npos && pair.compare(0, eq, name) == 0) return percentDecode(pair.substr(eq + 1));
        at = end + 1;
    }
    return std::nullopt;
}

// A relative path that names something below the store: no empty, "." or
// ".." component, not absolute, no NUL.
bool plausibleRelativePath(const std::string& path) {
    if (path.empty() || path.front() == '/' || path.find('\0') != std::string::npos) return false;
    std::size_t at = 0;
    while (at <= path.size()) {
        std::size_t end = path.find('/', at);
        if (end == std::string::npos) end = path.size();
        const std::string part = path.substr(at, end - at);
        if (part.empty() || part == "." || part == "..") return false;
        at = end + 1;
    }
    return true;
}

}  // namespace

std::optional<std::string> Asset::mimeType() const {
    const auto dot = fileName_.rfind('.');
    if (dot == std::string::npos || dot == 0) return std::nullopt;
    return mime::mimeTypeForExtension(fileName_.substr(dot + 1));
}

std::optional<Bytes> Asset::read(uint64_t offset, uint64_t length, Error* error) const {
    Bytes bytes;
    // The file may have shrunk since the lookup: read what is there.
    const uint64_t available = offset < size_ ? size_ - offset : 0;
    // A sparse file can claim more than the machine could ever hold.
    try {
        const uint64_t wanted = std::min(length, available);
        if (wanted > Device::physicalMemory()) throw std::bad_alloc();
        bytes.resize(static_cast<std::size_t>(wanted));
    } catch (const std::bad_alloc&) {
        setError(error, storeError(ENOMEM, "cannot read " + fileName_));
        return std::nullopt;
    }
    std::size_t filled = 0;
    while (filled < bytes.size()) {
        const ssize_t n =
            ::pread(file_->get(), bytes.data() + filled, bytes.size() - filled, static_cast<off_t>(offset + filled));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            setError(error, storeError(errno, "cannot read " + fileName_));
            return std::nullopt;
        }
        if (n == 0) break;
        filled += static_cast<std::size_t>(n);
    }
    bytes.resize(filled);
    return bytes;
}

FileDescriptor Asset::open() const { return FileDescriptor(::fcntl(file_->get(), F_DUPFD_CLOEXEC, 0)); }

AssetStore::AssetStore(std::string root) : root_(std::move(root)) {
    while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
    directory_ = std::make_shared<const RootDirectory>(root_);
}

std::string AssetStore::defaultRoot() {
    if (const char* configured = std::getenv("WHARF_PICTURES_DIR"); configured && *configured) return configured;
    if (const char* pictures = g_get_user_special_dir(G_USER_DIRECTORY_PICTURES)) return pictures;
    return std::string(g_get_home_dir()) + "/Pictures";
}

AssetStore::Outcome AssetStore::lookup(const std::string& assetURL, std::shared_ptr<const Asset>* asset,
                                       Error* error) const {
    auto url = Url::parse(assetURL);
    if (!url || url->scheme() != "assets-library" || !url->hasQuery()) return Outcome::NotFound;
    auto relative = queryValue(url->query(), "id");
    if (!relative || !plausibleRelativePath(*relative)) return Outcome::NotFound;

    // O_NONBLOCK: a pipe or a device at the asset's place answers at once
    // instead of holding the lookup until someone writes to it.
    FileDescriptor file = directory_->open(*relative, O_RDONLY | O_NONBLOCK);
    struct stat st {};
    if (!file || ::fstat(file.get(), &st) != 0) {
        const int err = errno;
        // Missing, or reached only through a link leading out of the store.
        if (err == ENOENT || err == ENOTDIR || err == EXDEV || err == ELOOP || err == ENXIO) return Outcome::NotFound;
        setError(error, storeError(err, "cannot read " + *relative));
        return Outcome::Failed;
    }
    if (!S_ISREG(st.st_mode)) return Outcome::NotFound;
    const std::string fileName = relative->substr(relative->rfind('/') + 1);
    const double modified = static_cast<double>(st.st_mtim.tv_sec) + static_cast<double>(st.st_mtim.tv_nsec) / 1e9;
    if (asset)
        *asset = std::make_shared<Asset>(std::make_shared<const FileDescriptor>(std::move(file)), fileName,
                                         static_cast<uint64_t>(st.st_size), modified);
    return Outcome::Found;
}

void AssetStore::assetForURL(const std::string& assetURL, Completion completion) const {
    dispatch::globalQueue()->async([store = *this, assetURL, completion = std::move(completion)] {
        std::shared_ptr<const Asset> asset;
        Error error;
        const Outcome outcome = store.lookup(assetURL, &asset, &error);
        completion(outcome, asset, outcome == Outcome::Failed ? &error : nullptr);
    });
}

std::string AssetStore::urlForRelativePath(const std::string& relativePath) {
    const std::string name = relativePath.substr(relativePath.rfind('/') + 1);
    const auto dot = name.rfind('.');
    std::string ext = dot == std::string::npos ? std::string() : name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(g_ascii_toupper(c));
    // Unreserved characters only: no "&", "=" or "#" of a name can pass for URL syntax.
    constexpr const char* kUnreserved = "-.0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ_abcdefghijklmnopqrstuvwxyz~";
    const std::string encodedExt = percentEncode(ext, kUnreserved);
    return "assets-library://asset/asset." + encodedExt + "?id=" + percentEncode(relativePath, kUnreserved) +
           "&ext=" + encodedExt;
}

}  // namespace wharf::platform
