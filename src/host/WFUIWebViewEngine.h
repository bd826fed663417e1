#pragma once
// The default web-view engine: a plug-in that owns the platform web view,
// applies the web-view preferences of config.xml, evaluates scripts and loads
// pages. The web view comes from a factory the application sets (WebKitGTK)
// and unit tests replace (a scripted fake).
#include <functional>
#include <memory>

#include "host/WFPlugin.h"
#include "host/WFUIWebViewDelegate.h"
#include "host/WFUIWebViewNavigationDelegate.h"
#include "host/WFWebViewEngineProtocol.h"

namespace wharf {

inline constexpr const char* kWFWebViewEngineUIWebViewDelegate = "kWFWebViewEngineUIWebViewDelegate";
inline constexpr const char* kWFWebViewEngineWebViewPreferences = "kWFWebViewEngineWebViewPreferences";

class WFUIWebViewEngine : public WFPlugin, public WFWebViewEngineProtocol {
public:
    using WebViewFactory = std::function<std::shared_ptr<platform::WebView>(WFRect frame)>;

    // Registers the class "WFUIWebViewEngine" (created with a frame).
    static void registerClass();
    static void setWebViewFactory(WebViewFactory factory);
    // A new web view from the factory (null when none is set), for plug-ins
    // that lay content out off screen.
    static std::shared_ptr<platform::WebView> makeWebView(WFRect frame);

    explicit WFUIWebViewEngine(WFRect frame);
    ~WFUIWebViewEngine() override;

    std::string className() const override { return "WFUIWebViewEngine"; }
    void pluginInitialize() override;
    void evaluateJavaScript(const std::string& script, WFJavaScriptCompletion completion) override;
    bool deliverCallbacks(std::string& results) override;
    void loadRequest(const WFURLRequest& request) override;
    void loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) override;
    std::optional<platform::Url> URL() const override;
    bool canLoadRequest(const WFURLRequest& request) const override;
    void updateSettings(const platform::Value& settings);
    // {"kWFWebViewEngineUIWebViewDelegate": true} re-wraps the view controller
    // when it is itself a web-view delegate; "kWFWebViewEngineWebViewPreferences"
    // applies a preferences dictionary.
    void updateWithInfo(const platform::Value& info) override;

    platform::WebView* engineWebView() const override { return engineWebView_.get(); }
    platform::WebView* webView() const { return engineWebView_.get(); }
    const std::shared_ptr<WFUIWebViewDelegate>& uiWebViewDelegate() const { return uiWebViewDelegate_; }
    const std::shared_ptr<WFUIWebViewNavigationDelegate>& navWebViewDelegate() const { return navWebViewDelegate_; }

private:
    // A web view picks up the "UserAgent" user default when it loads.
    void takeUserAgentFromDefaults();
    void installDelegate(std::weak_ptr<UIWebViewDelegate> wrapped);

    std::shared_ptr<platform::WebView> engineWebView_;
    std::shared_ptr<WFUIWebViewDelegate> uiWebViewDelegate_;
    std::shared_ptr<WFUIWebViewNavigationDelegate> navWebViewDelegate_;
    std::unique_ptr<WFWebViewEventAdapter> adapter_;
};

}  // namespace wharf
