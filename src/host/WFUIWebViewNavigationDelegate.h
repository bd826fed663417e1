#pragma once
// Receives the web view's navigation callbacks (through the load-state
// delegate): takes the "wfbridge" scheme for the bridge, lets plug-ins veto
// navigations, posts the page start and page loaded notifications, releases
// the user-agent lock after the first page and shows the error page.
#include <memory>

#include "host/WFUIWebViewDelegate.h"

namespace wharf {

class WFPlugin;
class WFViewController;

class WFUIWebViewNavigationDelegate : public UIWebViewDelegate {
public:
    explicit WFUIWebViewNavigationDelegate(std::weak_ptr<WFPlugin> enginePlugin);

    void webViewDidStartLoad(platform::WebView* webView) override;
    void webViewDidFinishLoad(platform::WebView* webView) override;
    void webViewDidFailLoadWithError(platform::WebView* webView, const platform::Error& error) override;
    static bool defaultResourcePolicyForURL(const platform::Url& url) { return url.isFileURL(); }
    bool webViewShouldStartLoadWithRequest(platform::WebView* webView, const platform::URLRequest& request,
                                           platform::NavigationType navigationType) override;

    std::shared_ptr<WFPlugin> enginePlugin() const { return enginePlugin_.lock(); }
    void setEnginePlugin(std::weak_ptr<WFPlugin> plugin) { enginePlugin_ = std::move(plugin); }

private:
    std::shared_ptr<WFViewController> viewController() const;

    std::weak_ptr<WFPlugin> enginePlugin_;
};

}  // namespace wharf
