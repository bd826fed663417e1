#pragma once
// Serves "wffile" URLs to web content: the file opened through the file
// plug-in's filesystems, sent as the page takes it, never cached; a missing
// file (or one of a filesystem whose files are not descriptors) is a 404.
#include <functional>

#include "platform/gui/WebView.h"
#include "plugins/file/WFFileSystem.h"

namespace wharf {

class WFFilesystemURLProtocol {
public:
    static bool canInitWithRequest(const platform::URLRequest& request);
    // Whether two requests name the same resource (everything after the scheme).
    static bool requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b);
    // Opens the file off the main thread and answers once.
    static void startLoading(const platform::URLRequest& request,
                             const std::function<void(platform::SchemeResponse)>& respond);
    // A 200 whose body is `length` bytes of the opened file from `offset`, of
    // the version it was opened as.
    static platform::SchemeResponse responseFromFile(WFOpenedFile&& file, uint64_t offset, uint64_t length);
};

}  // namespace wharf
