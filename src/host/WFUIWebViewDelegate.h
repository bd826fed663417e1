#pragma once
// The web view's delegate protocol, and the load-state delegate that turns the
// web view's stream of frame, redirect and cancellation events into exactly
// one start and one finish (or failure) per top-level page load.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/base/Error.h"
#include "platform/gui/WebView.h"

namespace wharf {

// What a web view tells its delegate. Every method is optional: the defaults
// allow the load and ignore the events.
class UIWebViewDelegate {
public:
    virtual ~UIWebViewDelegate() = default;
    virtual bool webViewShouldStartLoadWithRequest(platform::WebView* /*webView*/,
                                                   const platform::URLRequest& /*request*/,
                                                   platform::NavigationType /*navigationType*/) {
        return true;
    }
    virtual void webViewDidStartLoad(platform::WebView* /*webView*/) {}
    virtual void webViewDidFinishLoad(platform::WebView* /*webView*/) {}
    virtual void webViewDidFailLoadWithError(platform::WebView* /*webView*/, const platform::Error& /*error*/) {}
};

inline constexpr const char* WFUIWebViewDelegateErrorDomain = "WFUIWebViewDelegate";

class WFUIWebViewDelegate : public UIWebViewDelegate {
public:
    enum State : long {
        STATE_IDLE = 0,
        STATE_WAITING_FOR_LOAD_START = 1,
        STATE_WAITING_FOR_LOAD_FINISH = 2,
        STATE_IOS5_POLLING_FOR_LOAD_START = 3,  // reached by no transition
        STATE_IOS5_POLLING_FOR_LOAD_FINISH = 4,  // reached by no transition
        STATE_CANCELLED = 5,
    };

    explicit WFUIWebViewDelegate(std::weak_ptr<UIWebViewDelegate> delegate);

    void webViewDidStartLoad(platform::WebView* webView) override;
    void webViewDidFinishLoad(platform::WebView* webView) override;
    void webViewDidFailLoadWithError(platform::WebView* webView, const platform::Error& error) override;

    // Requests a frame may load without asking the engine.
    static bool shouldLoadRequest(const platform::URLRequest& request);

    long state() const { return state_; }
    long loadCount() const { return loadCount_; }

    // A top-level load (or its redirect) the wrapped delegate let through is
    // under way: the state machine's should-start step.
    void topLevelLoadWillStart(platform::WebView* webView);

private:
    std::weak_ptr<UIWebViewDelegate> delegate_;
    long loadCount_ = -1;
    long state_ = STATE_IDLE;
};

// Feeds a load-state delegate from the platform web view's events. WebKit
// reports load events for the top-level page only and none for fragment
// changes, so a navigation decision only asks the wrapped delegate (no state
// change) and the load events drive the transitions: a start or a redirect is
// the should-start step, then the start itself. A failure's trailing finish
// meets an idle machine and goes no further.
class WFWebViewEventAdapter : public platform::WebViewObserver {
public:
    WFWebViewEventAdapter(platform::WebView* webView, std::shared_ptr<WFUIWebViewDelegate> delegate,
                          std::weak_ptr<UIWebViewDelegate> wrapped);

    bool decidePolicyForNavigation(const platform::URLRequest& request, platform::NavigationType type,
                                   bool userGesture) override;
    void loadStarted() override;
    void loadRedirected() override;
    void loadCommitted() override;
    void loadFinished() override;
    void loadFailed(const platform::Error& error) override;
    void pageDidPostCommands(const std::string& batch) override;

    const std::shared_ptr<WFUIWebViewDelegate>& delegate() const { return delegate_; }
    // Where the calls the page sends through its channel go.
    void setCommandsHandler(std::function<void(const std::string& batch)> handler) {
        commandsHandler_ = std::move(handler);
    }
    // Told when a new document is in the page.
    void setCommitHandler(std::function<void()> handler) { commitHandler_ = std::move(handler); }

private:
    std::function<void(const std::string& batch)> commandsHandler_;
    std::function<void()> commitHandler_;
    platform::WebView* webView_;
    std::shared_ptr<WFUIWebViewDelegate> delegate_;
    std::weak_ptr<UIWebViewDelegate> wrapped_;
};

}  // namespace wharf
