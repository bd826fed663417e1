#include "host/testing/FakeWebView.h"

#include "platform/dispatch/RunLoop.h"

namespace wharf::testing {

void FakeWebView::loadRequest(const platform::URLRequest& request) { requests_.push_back(request); }

void FakeWebView::loadHTMLString(const std::string& html, const std::optional<platform::Url>&) {
    html_.push_back(html);
}

void FakeWebView::evaluateJavaScript(const std::string& script, platform::ScriptCompletion completion) {
    scripts_.push_back(script);
    std::string answer = responder_ ? responder_(script) : "";
    if (!completion) return;
    platform::RunLoop::performOnMain([completion = std::move(completion), answer] { completion(answer, nullptr); });
}

bool FakeWebView::navigate(const std::string& text, bool loads) {
    auto url = platform::Url::parse(text);
    if (!url || !observer_) return false;
    platform::URLRequest request;
    request.url = *url;
    request.mainDocumentURL = *url;
    if (!observer_->decidePolicyForNavigation(request, platform::NavigationType::LinkClicked, false)) return false;
    if (!loads) return true;
    url_ = *url;
    observer_->loadStarted();
    return true;
}

bool FakeWebView::navigateFrame(const std::string& text) {
    auto url = platform::Url::parse(text);
    if (!url || !observer_) return false;
    platform::URLRequest request;
    request.url = *url;
    request.mainDocumentURL = url_.value_or(*url);
    return observer_->decidePolicyForNavigation(request, platform::NavigationType::Other, false);
}

void FakeWebView::redirect(const std::string& text) {
    if (auto url = platform::Url::parse(text)) url_ = *url;
    if (observer_) observer_->loadRedirected();
}

void FakeWebView::finish() {
    if (observer_) observer_->loadFinished();
}

void FakeWebView::fail(int64_t code, const std::string& description) {
    if (!observer_) return;
    auto error = platform::Error::withDescription(platform::kURLErrorDomain, code, description);
    if (url_) error.userInfo["NSErrorFailingURLStringKey"] = url_->absoluteString();
    observer_->loadFailed(error);
    if (observer_) observer_->loadFinished();
}

}  // namespace wharf::testing
