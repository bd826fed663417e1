#pragma once
// What the host needs of a web-view engine: load pages, evaluate script.
#include <functional>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"

namespace wharf {

namespace platform {
class WebView;
}

struct WFRect {
    double x = 0, y = 0, width = 0, height = 0;
};

// A load request: the URL, the cache policy (0 = the protocol's default) and
// the time-out in seconds.
struct WFURLRequest {
    platform::Url url;
    int cachePolicy = 0;
    double timeoutInterval = 60;
    // The top-level document the request belongs to; unset when the request
    // is its own top-level document.
    std::optional<platform::Url> mainDocumentURL = std::nullopt;
};

// Completion of an evaluation: the result as text (strings, numbers and
// booleans converted; "" for anything else) and the error, null on success.
using WFJavaScriptCompletion = std::function<void(const std::string& result, const platform::Error* error)>;

class WFWebViewEngineProtocol {
public:
    virtual ~WFWebViewEngineProtocol() = default;

    virtual void loadRequest(const WFURLRequest& request) = 0;
    virtual void loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) = 0;
    // Asynchronous: the completion (may be empty) runs later on the main thread.
    virtual void evaluateJavaScript(const std::string& script, WFJavaScriptCompletion completion) = 0;
    // Hands plug-in results (a JSON array of [callbackId, status, message,
    // keepCallback]) to the page's nativeCallback without a script, where the
    // engine's view has a channel to the page (platform::WebView::
    // deliverCallbacks); false, and nothing sent, where it has none. The text
    // is taken when it is sent.
    virtual bool deliverCallbacks(std::string& /*results*/) { return false; }
    // The URL of the page's current request.
    virtual std::optional<platform::Url> URL() const = 0;
    virtual bool canLoadRequest(const WFURLRequest& request) const = 0;
    virtual void updateWithInfo(const platform::Value& info) = 0;
    // The engine's web view; also the object of "WFPluginResetNotification" and
    // "WFPageDidLoadNotification". May be null (no view, e.g. in unit tests).
    virtual platform::WebView* engineWebView() const = 0;
};

}  // namespace wharf
