#pragma once
// A web view whose page runs in JavaScriptCore, without WebKit: the page's
// real bridge script with the few pieces of the document it touches (a hidden
// frame whose navigation asks the host, timers, console). As in WebKit, every
// evaluation the host asks for is a task of its own, run on a later main-loop
// turn, the promise continuations a script starts run when it ends, before the
// next one, and its result is read after them; a frame navigation reaches the
// host on a later turn.
#include <memory>
#include <string>
#include <vector>

#include "platform/gui/WebView.h"

namespace wharf::test {

class JSPageWebView : public platform::WebView {
public:
    // `scripts` (source texts) run in order in each page that loads.
    explicit JSPageWebView(std::vector<std::string> scripts);
    ~JSPageWebView() override;

    // Evaluates `script` in the page now, as the page's own code (an event
    // handler) would run; the result as text, read as the web view reads it.
    std::string run(const std::string& script);
    // Lines the page wrote with console.log.
    const std::vector<std::string>& console() const;
    // Navigations of the bridge's frame ("wfbridge:" signals) so far.
    int signals() const;
    // Scripts the host evaluated, in order.
    const std::vector<std::string>& evaluated() const;
    // True while the completion of a host evaluation runs.
    bool insideCompletion() const;

    void setObserver(platform::WebViewObserver* observer) override;
    void loadRequest(const platform::URLRequest& request) override;
    void loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) override;
    void stopLoading() override {}
    void reload() override {}
    bool isLoading() const override { return false; }
    std::optional<platform::Url> url() const override;
    void evaluateJavaScript(const std::string& script, platform::ScriptCompletion completion) override;
    void applySettings(const platform::WebViewSettings& settings) override { settings_ = settings; }
    const platform::WebViewSettings& settings() const override { return settings_; }
    void setBackgroundColor(double, double, double, double) override {}
    void setOpaque(bool) override {}
    void setCustomUserAgent(const std::string&) override {}
    std::string userAgent() const override { return defaultUserAgent(); }
    std::string defaultUserAgent() const override { return "JSPage/1.0"; }
    void registerURIScheme(const std::string&, platform::SchemeHandler) override {}
    GtkWidget* widget() override { return nullptr; }

    struct Page;

private:
    std::shared_ptr<Page> page_;
    platform::WebViewSettings settings_;
};

}  // namespace wharf::test
