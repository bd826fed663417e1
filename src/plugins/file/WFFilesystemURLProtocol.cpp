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

void WFFilesystemURLProtocol::startLoading(const platform::URLRequest& request,
                                           const std::function<void(platform::SchemeResponse)>& respond) {
    const WFFilesystemURL url = WFFilesystemURL::fileSystemURLWithURL(request.url);
    auto plugin = WFFile::current();
    // The bytes of a large answer, held for this one fetch.
    if (!url.fileSystemName()) {
        auto held = plugin ? plugin->takeHeldResult(request.url) : std::nullopt;
        if (!held) return respond(notFound());
        platform::SchemeResponse response;
        response.mimeType = "application/octet-stream";
        response.headers["Cache-Control"] = "no-cache";
        response.body = std::move(*held);
        return respond(std::move(response));
    }
    auto fs = plugin ? plugin->filesystemForURL(url) : nullptr;
    if (!fs) return respond(notFound());
    platform::dispatch::globalQueue()->async([fs, url, respond] {
        auto found = [](const std::optional<std::string>& mimeType) {
            platform::SchemeResponse response;
            response.status = 200;
            response.mimeType = mimeType.value_or("");
            response.headers["Cache-Control"] = "no-cache";
            if (mimeType) response.headers["Content-Type"] = *mimeType;
            return response;
        };
        // A file the filesystem opens is served from its descriptor as the
        // page reads it: whatever its size, the host never holds it whole.
        if (auto file = fs->openFileAtURL(url)) {
            if (file->error) return respond(notFound());
            platform::SchemeResponse response = found(file->mimeType);
            response.bodyFile = std::make_shared<platform::FileDescriptor>(std::move(file->fd));
            response.bodyFileLength = file->size;
            return respond(std::move(response));
        }
        // Otherwise the bytes are read whole: a file larger than the host can
        // hold is not served (a 404, as for any file that cannot be read).
        WFFile::readBounded(fs, url, 0, -1,
                            [respond, found](std::optional<platform::Bytes> data,
                                             const std::optional<std::string>& mimeType, int32_t error) {
                                if (error != 0 || !data) return respond(notFound());
                                platform::SchemeResponse response = found(mimeType);
                                response.body = std::move(*data);
                                respond(std::move(response));
                            });
    });
}

}  // namespace wharf
