#pragma once
// The web view: an interface the host drives, a WebKitGTK adapter and a
// scripted fake for unit tests. Script evaluation is asynchronous: the
// completion always runs later, on the main thread.
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/base/Error.h"
#include "platform/base/FileDescriptor.h"
#include "platform/base/FileVersion.h"
#include "platform/base/Url.h"
#include "platform/base/Value.h"

typedef struct _GtkWidget GtkWidget;

namespace wharf::platform {

// The platform's URL error code for a cancelled load.
inline constexpr int64_t kURLErrorCancelled = -999;
inline constexpr const char* kURLErrorDomain = "NSURLErrorDomain";

// Values match the phone's navigation types.
enum class NavigationType {
    LinkClicked = 0,
    FormSubmitted = 1,
    BackForward = 2,
    Reload = 3,
    FormResubmitted = 4,
    Other = 5
};

struct URLRequest {
    Url url;
    std::string method = "GET";
    std::map<std::string, std::string> headers;
    Bytes body;
    // The URL of the top-level document this request belongs to (the request's
    // own URL for a top-level navigation).
    Url mainDocumentURL;
    double timeoutInterval = 60.0;
};

// Raw events of the web view, as the engine reports them. Load events concern
// the top-level page only; navigation decisions are asked for every frame. As
// in WebKit, a failed load is followed by a finish of that same load.
class WebViewObserver {
public:
    virtual ~WebViewObserver() = default;
    // Answer false to refuse the navigation (for frames too).
    virtual bool decidePolicyForNavigation(const URLRequest& request, NavigationType type, bool userGesture) = 0;
    virtual void loadStarted() = 0;
    virtual void loadRedirected() = 0;
    virtual void loadCommitted() {}
    virtual void loadFinished() = 0;
    // A page the observer loads from here (an error page) replaces the
    // engine's own error page.
    virtual void loadFailed(const Error& error) = 0;
    // A batch of calls the page's bridge sent through the page channel (see
    // WebView::deliverCallbacks), as nativeFetchMessages would have answered it.
    virtual void pageDidPostCommands(const std::string& /*batch*/) {}
};

struct WebViewSettings {
    bool javascriptEnabled = true;
    bool mediaPlaybackRequiresUserAction = true;
    bool allowsInlineMediaPlayback = false;
    bool scalesPageToFit = false;
    bool suppressesIncrementalRendering = false;
    bool keyboardDisplayRequiresUserAction = true;
    bool mediaPlaybackAllowsAirPlay = true;
    bool bounces = true;
    bool normalDecelerationRate = true;
    double gapBetweenPages = 0;
    double pageLength = 0;
    int paginationBreakingMode = 0;
    int paginationMode = 0;
    bool allowFileAccessFromFileURLs = true;
    bool writeConsoleMessagesToStdout = false;
};

// Answers a request to a custom scheme: status, MIME type ("" for none) and
// body (or an error). The answer may be given on any thread, once.
struct SchemeResponse {
    int status = 200;
    std::string mimeType = "text/plain";
    Bytes body;
    // Held for as long as `body` is (until the page has it, or the request
    // goes): whoever counts the bytes held for the page learns when they go.
    std::shared_ptr<void> bodyOwner;
    // Instead of `body`, where set: `bodyFileLength` bytes of this file from
    // `bodyFileOffset`, read as the page takes them (a file need not fit in
    // memory). The body is of one version of the file, `bodyFileVersion`
    // (the file's version when it is handed over, where not given): should
    // the file change or end before all is read, the body fails.
    std::shared_ptr<FileDescriptor> bodyFile;
    uint64_t bodyFileOffset = 0;
    uint64_t bodyFileLength = 0;
    std::optional<FileVersion> bodyFileVersion;
    std::map<std::string, std::string> headers;
    std::optional<Error> error;
};
using SchemeHandler = std::function<void(const URLRequest& request, std::function<void(SchemeResponse)> respond)>;

using ScriptCompletion = std::function<void(const std::string& result, const Error* error)>;

class WebView {
public:
    virtual ~WebView() = default;

    // The observer is not owned; the web view forgets it on setObserver(nullptr).
    virtual void setObserver(WebViewObserver* observer) = 0;

    virtual void loadRequest(const URLRequest& request) = 0;
    virtual void loadHTMLString(const std::string& html, const std::optional<Url>& baseURL) = 0;
    virtual void stopLoading() = 0;
    virtual void reload() = 0;
    virtual bool isLoading() const = 0;
    // The URL of the page shown (or being loaded), if any.
    virtual std::optional<Url> url() const = 0;

    // Evaluates `script` in the page. The result is text as the phone gave it:
    // a string, number or boolean as text; anything else (and any error) "".
    // An array is read as String() reads it, its elements joined by commas: the
    // page can answer with one whose element is computed only as the result
    // leaves the page, after the promise continuations the script started.
    virtual void evaluateJavaScript(const std::string& script, ScriptCompletion completion) = 0;
    // Hands plug-in results to the page's bridge through the page channel, a
    // message of the engine's own instead of a script: `results` is a JSON
    // array of [callbackId, status, message, keepCallback] entries, each given
    // to the page's nativeCallback in order, after the scripts evaluated
    // before it. The calls the page makes meanwhile come back through the
    // channel too (WebViewObserver::pageDidPostCommands): the batch each
    // nativeCallback returns, as an evaluation's result would carry it, and
    // what a bridge that knows the channel posts itself. False, and nothing
    // sent, where the view has no channel: the caller evaluates script instead.
    // The text is taken (moved from) when it is sent: the message carries it
    // as it is, however large.
    virtual bool deliverCallbacks(std::string& /*results*/) { return false; }

    virtual void applySettings(const WebViewSettings& settings) = 0;
    virtual const WebViewSettings& settings() const = 0;
    virtual void setBackgroundColor(double r, double g, double b, double a) = 0;
    virtual void setOpaque(bool opaque) = 0;
    virtual void setCustomUserAgent(const std::string& userAgent) = 0;
    virtual std::string userAgent() const = 0;
    // The engine's default user agent (before any custom one).
    virtual std::string defaultUserAgent() const = 0;

    virtual void registerURIScheme(const std::string& scheme, SchemeHandler handler) = 0;

    // The GTK widget to lay out (nullptr for the fake).
    virtual GtkWidget* widget() = 0;
};

// Options fixed when the web engine's context is created.
struct WebContextOptions {
    std::string localStorageDirectory;  // "" → WebKit's default under the data home
    std::string dataDirectory;  // base data directory ("" → WebKit's default)
    std::string cacheDirectory;
    bool acceptThirdPartyCookies = false;  // cookie policy: always / no third party
    bool acceptAllCookies = true;
    std::string cookieFile;  // persistent cookie storage, SQLite ("" → none)
    // The directories (real paths) a page may read file:// URLs from; every
    // other file is refused. Empty: no confinement.
    std::vector<std::string> fileAccessRoots;
};

// How the web context treats a custom scheme.
struct URISchemeOptions {
    // Only local pages (file:// and other local schemes) may load it.
    bool local = false;
    // Pages may read it with fetch() and XMLHttpRequest.
    bool corsEnabled = false;
};

// Declares a custom scheme of the web context: registered once, with its
// options, when the context is created (at once when it exists already). The
// handler comes from WebView::registerURIScheme; until then its requests fail.
// Main thread.
void declareURIScheme(const std::string& scheme, URISchemeOptions options);

// Creates the WebKitGTK web view. The first call fixes the web context; GTK
// must have been initialised.
std::shared_ptr<WebView> createWebKitWebView(const WebContextOptions& options = {});

// WebKit's own user agent, as a new web view would send it.
std::string webKitDefaultUserAgent();

// Drops the cached responses (memory and disk) of the shared web context.
void clearWebKitCache();

}  // namespace wharf::platform
