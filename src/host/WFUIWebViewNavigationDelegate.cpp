#include "host/WFUIWebViewNavigationDelegate.h"

#include "host/WFCommandQueue.h"
#include "host/WFPlugin.h"
#include "host/WFUserAgentUtil.h"
#include "host/WFViewController.h"
#include "platform/base/Log.h"
#include "platform/dispatch/NotificationCenter.h"

namespace wharf {

using platform::WebView;

namespace {
platform::WebView* engineViewOf(const std::shared_ptr<WFPlugin>& plugin) {
    auto engine = std::dynamic_pointer_cast<WFWebViewEngineProtocol>(plugin);
    return engine ? engine->engineWebView() : nullptr;
}

std::string withoutQuery(const std::string& url) { return url.substr(0, url.find_first_of("?#")); }

// The error page itself failed to load: loading it again would fail again, for ever.
bool failedOnErrorPage(const platform::Error& error, const platform::Url& errorPage) {
    auto failing = error.userInfo.find("NSErrorFailingURLStringKey");
    return failing != error.userInfo.end() && failing->is_string() &&
           withoutQuery(failing->get<std::string>()) == withoutQuery(errorPage.absoluteString());
}
}  // namespace

WFUIWebViewNavigationDelegate::WFUIWebViewNavigationDelegate(std::weak_ptr<WFPlugin> enginePlugin)
    : enginePlugin_(std::move(enginePlugin)) {}

std::shared_ptr<WFViewController> WFUIWebViewNavigationDelegate::viewController() const {
    auto engine = enginePlugin_.lock();
    return engine ? std::dynamic_pointer_cast<WFViewController>(engine->viewController()) : nullptr;
}

void WFUIWebViewNavigationDelegate::webViewDidStartLoad(WebView*) {
    platform::log("Resetting plugins due to page load.");
    auto engine = enginePlugin_.lock();
    auto controller = engine ? engine->viewController() : nullptr;
    if (controller)
        if (auto queue = controller->commandQueue()) queue->resetRequestId();
    platform::NotificationCenter::defaultCenter().post(WFPluginResetNotification, engineViewOf(engine));
}

void WFUIWebViewNavigationDelegate::webViewDidFinishLoad(WebView* webView) {
    std::string url;
    if (webView)
        if (auto current = webView->url()) url = current->absoluteString();
    platform::log("Finished load of: %s", url.c_str());
    if (auto controller = viewController()) WFUserAgentUtil::releaseLock(controller->userAgentLockToken());
    auto engine = enginePlugin_.lock();
    platform::NotificationCenter::defaultCenter().post(WFPageDidLoadNotification,
                                                       engine ? engineViewOf(engine) : webView);
}

void WFUIWebViewNavigationDelegate::webViewDidFailLoadWithError(WebView* webView, const platform::Error& error) {
    auto controller = viewController();
    if (controller) WFUserAgentUtil::releaseLock(controller->userAgentLockToken());
    const std::string message = "Failed to load webpage with error: " + error.localizedDescription();
    platform::log("%s", message.c_str());
    if (!controller) return;
    auto errorURL = controller->errorURL();
    if (!errorURL) return;
    auto url = platform::Url::resolve(*errorURL, "?error=" + platform::percentEncode(message));
    if (!url) return;
    platform::log("%s", url->absoluteString().c_str());
    if (error.code != platform::kURLErrorCancelled && webView && !failedOnErrorPage(error, *url)) {
        platform::URLRequest request;
        request.url = *url;
        request.mainDocumentURL = *url;
        webView->loadRequest(request);
    }
}

bool WFUIWebViewNavigationDelegate::webViewShouldStartLoadWithRequest(WebView*, const platform::URLRequest& request,
                                                                      platform::NavigationType navigationType) {
    auto engine = enginePlugin_.lock();
    auto controller = engine ? engine->viewController() : nullptr;
    if (request.url.scheme() == "wfbridge") {
        if (controller)
            if (auto queue = controller->commandQueue()) {
                queue->fetchCommandsFromJs();
                queue->executePendingFromRunLoop();
            }
        return false;
    }

    bool anyAnswered = false;
    if (auto vc = std::dynamic_pointer_cast<WFViewController>(controller)) {
        WFURLRequest hookRequest{request.url, 0, request.timeoutInterval, request.mainDocumentURL};
        // A copy: a plug-in's answer may create further plug-ins.
        auto plugins = vc->pluginObjects();
        for (const auto& [name, plugin] : plugins) {
            if (!plugin->respondsToShouldOverrideLoad()) continue;
            anyAnswered = true;
            if (!plugin->shouldOverrideLoadWithRequest(hookRequest, static_cast<int>(navigationType))) return false;
        }
    }
    if (anyAnswered) return true;
    if (defaultResourcePolicyForURL(request.url)) return true;
    platform::NotificationCenter::defaultCenter().post(WFPluginHandleOpenURLNotification, &request.url);
    return false;
}

}  // namespace wharf
