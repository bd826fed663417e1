#include "plugins/file/WFFilesystemURLProtocol.h"

#include "platform/dispatch/Dispatch.h"
#include "plugins/file/WFFile.h"

namespace wharf {

namespace {

std::string resourceSpecifier(const platform::URLRequest& request) {
    const std::string& text = request.url.absoluteString();
    const auto colon = text.find(':');
    return colon == std::string::npos ? std::string() : text.substr(colon + 1);
}

platform::SchemeResponse notFound() {
    platform::SchemeResponse response;
    response.status = 404;
    response.mimeType.clear();
    response.headers["Cache-Control"] = "no-cache";
    return response;
}

}  // namespace

bool WFFilesystemURLProtocol::canInitWithRequest(const platform::URLRequest& request) {
    return request.url.scheme() == kWFFilesystemURLPrefix;
}

bool WFFilesystemURLProtocol::requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b) {
    return resourceSpecifier(a) == resourceSpecifier(b);
}

platform::SchemeResponse WFFilesystemURLProtocol::responseFromFile(WFOpenedFile&& file, uint64_t offset,
                                                                   uint64_t length) {
    platform::SchemeResponse response;
    response.status = 200;
    response.mimeType = file.mimeType.value_or("");
    response.headers["Cache-Control"] = "no-cache";
    if (file.mimeType) response.headers["Content-Type"] = *file.mimeType;
    response.bodyFile = std::make_shared<platform::FileDescriptor>(std::move(file.fd));
    response.bodyFileOffset = offset;
    response.bodyFileLength = length;
    response.bodyFileVersion = file.version;
    return response;
}

void WFFilesystemURLProtocol::startLoading(const platform::URLRequest& request,
                                           const std::function<void(platform::SchemeResponse)>& respond) {
    const WFFilesystemURL url = WFFilesystemURL::fileSystemURLWithURL(request.url);
    auto plugin = WFFile::current();
    if (!plugin) return respond(notFound());
    std::weak_ptr<WFFile> weak = plugin;
    // The bytes of a large answer, held for this one fetch.
    if (!url.fileSystemName()) {
        platform::dispatch::globalQueue()->async([weak, requestURL = request.url, respond] {
            auto self = weak.lock();
            auto held = self ? self->takeHeldResult(requestURL) : std::nullopt;
            respond(held ? std::move(*held) : notFound());
        });
        return;
    }
    auto fs = plugin->filesystemForURL(url);
    if (!fs) return respond(notFound());
    // The file is served from its descriptor as the page reads it: whatever
    // its size, and however many fetch it at once, the host never holds it.
    // A filesystem whose files are not descriptors serves none.
    platform::dispatch::globalQueue()->async([fs, url, respond] {
        auto file = fs->openFileAtURL(url);
        if (!file || file->error) return respond(notFound());
        const uint64_t size = file->size;
        respond(responseFromFile(std::move(*file), 0, size));
    });
}

}  // namespace wharf
