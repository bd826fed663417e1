#pragma once
// A scripted platform web view for unit tests: records loads and scripts,
// answers evaluations from a responder (on a later main-loop turn, as WebKit
// does) and lets a test drive the observer with load events.
#include <functional>
#include <string>
#include <vector>

#include "platform/gui/WebView.h"

namespace wharf::testing {

class FakeWebView : public platform::WebView {
public:
    void setObserver(platform::WebViewObserver* observer) override { observer_ = observer; }
    platform::WebViewObserver* observer() const { return observer_; }

    void loadRequest(const platform::URLRequest& request) override;
    void loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) override;
    void stopLoading() override {}
    void reload() override {}
    bool isLoading() const override { return false; }
    std::optional<platform::Url> url() const override { return url_; }
    void setURL(std::optional<platform::Url> url) { url_ = std::move(url); }

    void evaluateJavaScript(const std::string& script, platform::ScriptCompletion completion) override;
    void setResponder(std::function<std::string(const std::string&)> responder) { responder_ = std::move(responder); }

    void applySettings(const platform::WebViewSettings& settings) override { settings_ = settings; }
    const platform::WebViewSettings& settings() const override { return settings_; }
    platform::WebViewSettings& mutableSettings() { return settings_; }
    void setBackgroundColor(double r, double g, double b, double a) override { background_ = {r, g, b, a}; }
    void setOpaque(bool) override {}
    void setCustomUserAgent(const std::string& userAgent) override { userAgent_ = userAgent; }
    std::string userAgent() const override { return userAgent_.empty() ? defaultUserAgent() : userAgent_; }
    std::string defaultUserAgent() const override { return "FakeWebKit/1.0"; }
    void registerURIScheme(const std::string& scheme, platform::SchemeHandler) override { schemes_.push_back(scheme); }
    GtkWidget* widget() override { return nullptr; }

    // Drives a navigation as WebKit does: asks the observer and, when allowed
    // and `loads`, starts the load (finish() or fail() ends it).
    bool navigate(const std::string& url, bool loads = true);
    // A navigation inside a frame of the page shown: only asks.
    bool navigateFrame(const std::string& url);
    void redirect(const std::string& url);
    void finish();
    // As WebKit: the failure (with the failing URL), then a finish of the same load.
    void fail(int64_t code, const std::string& description = "failed");

    const std::vector<platform::URLRequest>& loadedRequests() const { return requests_; }
    const std::vector<std::string>& loadedHTML() const { return html_; }
    const std::vector<std::string>& scripts() const { return scripts_; }
    const std::vector<double>& background() const { return background_; }

private:
    platform::WebViewObserver* observer_ = nullptr;
    std::optional<platform::Url> url_;
    std::function<std::string(const std::string&)> responder_;
    platform::WebViewSettings settings_;
    std::vector<double> background_;
    std::string userAgent_;
    std::vector<std::string> schemes_;
    std::vector<platform::URLRequest> requests_;
    std::vector<std::string> html_;
    std::vector<std::string> scripts_;
};

}  // namespace wharf::testing
