#include "host/WFUIWebViewDelegate.h"

#include "platform/base/Log.h"

namespace wharf {

using platform::Error;
using platform::URLRequest;
using platform::WebView;

WFUIWebViewDelegate::WFUIWebViewDelegate(std::weak_ptr<UIWebViewDelegate> delegate) : delegate_(std::move(delegate)) {}

bool WFUIWebViewDelegate::shouldLoadRequest(const URLRequest& request) {
    const std::string& scheme = request.url.scheme();
    if (scheme == "mailto" || scheme == "tel" || scheme == "blob" || scheme == "sms" || scheme == "data") return true;
    // What the engine's loader can fetch by itself; custom schemes are served
    // through their registered handlers.
    return request.url.valid() && !scheme.empty();
}

void WFUIWebViewDelegate::topLevelLoadWillStart(WebView* webView) {
    switch (state_) {
    case STATE_IDLE:
    case STATE_IOS5_POLLING_FOR_LOAD_START:
    case STATE_CANCELLED:
        loadCount_ = 0;
        state_ = STATE_WAITING_FOR_LOAD_START;
        break;
    case STATE_WAITING_FOR_LOAD_FINISH:
        // A redirect of the page.
        if (loadCount_ != 1) platform::log("WFWebViewDelegate: Detected redirect when loadCount=%ld", loadCount_);
        break;
    default: {
        char message[96];
        snprintf(message, sizeof message, "WFWebViewDelegate: Navigation started when state=%ld", state_);
        platform::log("%s", message);
        loadCount_ = 0;
        state_ = STATE_WAITING_FOR_LOAD_START;
        webViewDidFailLoadWithError(webView, Error::withDescription(WFUIWebViewDelegateErrorDomain, 1, message));
        break;
    }
    }
}

void WFUIWebViewDelegate::webViewDidStartLoad(WebView* webView) {
    bool forward = false;
    switch (state_) {
    case STATE_IDLE: break;
    case STATE_WAITING_FOR_LOAD_START:
        if (loadCount_ != 0)
            platform::log("WFWebViewDelegate: Unexpected loadCount in didStart. count=%ld", loadCount_);
        loadCount_ = 1;
        state_ = STATE_WAITING_FOR_LOAD_FINISH;
        forward = true;
        break;
    case STATE_WAITING_FOR_LOAD_FINISH: loadCount_ += 1; break;
    case STATE_IOS5_POLLING_FOR_LOAD_START:
    case STATE_IOS5_POLLING_FOR_LOAD_FINISH: break;  // polling is not built: nothing drives these states
    case STATE_CANCELLED:
        state_ = STATE_WAITING_FOR_LOAD_FINISH;
        loadCount_ += 1;
        forward = true;
        break;
    default:
        platform::log("WFWebViewDelegate: Unexpected didStart with state=%ld loadCount=%ld", state_, loadCount_);
        break;
    }
    if (forward)
        if (auto delegate = delegate_.lock()) delegate->webViewDidStartLoad(webView);
}

void WFUIWebViewDelegate::webViewDidFinishLoad(WebView* webView) {
    bool forward = false;
    switch (state_) {
    case STATE_WAITING_FOR_LOAD_START:
        platform::log("WFWebViewDelegate: Unexpected didFinish while waiting for load start.");
        break;
    case STATE_WAITING_FOR_LOAD_FINISH:
        if (loadCount_ == 1) {
            loadCount_ = 0;
            state_ = STATE_IDLE;
            forward = true;
        } else {
            loadCount_ -= 1;
        }
        break;
    default: break;
    }
    if (forward)
        if (auto delegate = delegate_.lock()) delegate->webViewDidFinishLoad(webView);
}

void WFUIWebViewDelegate::webViewDidFailLoadWithError(WebView* webView, const Error& error) {
    bool forward = false;
    const bool cancelled = error.code == platform::kURLErrorCancelled;
    switch (state_) {
    case STATE_WAITING_FOR_LOAD_START:
        state_ = cancelled ? STATE_CANCELLED : STATE_IDLE;
        forward = true;
        break;
    case STATE_WAITING_FOR_LOAD_FINISH:
        if (cancelled) {
            state_ = STATE_CANCELLED;
            loadCount_ -= 1;
            forward = true;
        } else if (loadCount_ == 1) {
            loadCount_ = -1;
            state_ = STATE_IDLE;
            forward = true;
        } else {
            loadCount_ = -1;
        }
        break;
    default: break;
    }
    if (forward)
        if (auto delegate = delegate_.lock()) delegate->webViewDidFailLoadWithError(webView, error);
}

// --- WFWebViewEventAdapter ---

WFWebViewEventAdapter::WFWebViewEventAdapter(WebView* webView, std::shared_ptr<WFUIWebViewDelegate> delegate,
                                             std::weak_ptr<UIWebViewDelegate> wrapped)
    : webView_(webView), delegate_(std::move(delegate)), wrapped_(std::move(wrapped)) {}

bool WFWebViewEventAdapter::decidePolicyForNavigation(const URLRequest& request, platform::NavigationType type, bool) {
    if (auto wrapped = wrapped_.lock()) {
        if (!wrapped->webViewShouldStartLoadWithRequest(webView_, request, type)) return false;
    }
    if (request.url.absoluteString() != request.mainDocumentURL.absoluteString())
        return WFUIWebViewDelegate::shouldLoadRequest(request);
    return true;
}

void WFWebViewEventAdapter::loadStarted() {
    delegate_->topLevelLoadWillStart(webView_);
    delegate_->webViewDidStartLoad(webView_);
}

void WFWebViewEventAdapter::loadRedirected() { delegate_->topLevelLoadWillStart(webView_); }

void WFWebViewEventAdapter::loadCommitted() {
    if (commitHandler_) commitHandler_();
}

void WFWebViewEventAdapter::loadFinished() { delegate_->webViewDidFinishLoad(webView_); }

void WFWebViewEventAdapter::loadFailed(const Error& error) { delegate_->webViewDidFailLoadWithError(webView_, error); }

void WFWebViewEventAdapter::pageDidPostCommands(const std::string& batch) {
    if (commandsHandler_) commandsHandler_(batch);
}

}  // namespace wharf
