#pragma once
// Serves "wffile" URLs to web content: the whole file through the file
// plug-in's filesystems, never cached; a missing file is a 404.
#include <functional>

#include "platform/gui/WebView.h"

namespace wharf {

class WFFilesystemURLProtocol {
public:
    static bool canInitWithRequest(const platform::URLRequest& request);
    // Whether two requests name the same resource (everything after the scheme).
    static bool requestIsCacheEquivalent(const platform::URLRequest& a, const platform::URLRequest& b);
    // Reads the file off the main thread and answers once.
    static void startLoading(const platform::URLRequest& request,
                             const std::function<void(platform::SchemeResponse)>& respond);
};

}  // namespace wharf
