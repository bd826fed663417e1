#pragma once
// A scripted web-view engine for unit tests: records every evaluated script
// and load, and answers evaluations with queued texts (command batches).
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/WFPlugin.h"
#include "host/WFWebViewEngineProtocol.h"

namespace wharf::testing {

// The callback scripts ("wharf.require('wharf/exec').nativeCallback(...)")
// among evaluated scripts, one by one: the command delegate delivers several
// callbacks in one script, as data, which is read back here into the script
// each would have had alone.
std::vector<std::string> callbackScriptsIn(const std::vector<std::string>& scripts);

class FakeWebViewEngine : public WFPlugin, public WFWebViewEngineProtocol {
public:
    enum class Completion {
        NextTurn,  // completions run on a later main-loop turn (as a real engine)
        Immediate,  // completions run before evaluateJavaScript returns
    };

    FakeWebViewEngine() = default;

    // Registers the class "FakeWebViewEngine" as an engine (created with a frame).
    static void registerClass();

    void setCompletion(Completion mode) { mode_ = mode; }
    // Answers for later evaluations, in order; "" once they run out.
    void queueAnswer(std::string answer);
    // When set, answers every evaluation instead of the queue.
    void setResponder(std::function<std::string(const std::string& script)> responder);

    std::vector<std::string> evaluatedScripts() const;
    std::vector<std::string> scriptsContaining(const std::string& needle) const;
    // The callbacks delivered so far, in order (see callbackScriptsIn).
    std::vector<std::string> callbackScripts() const { return callbackScriptsIn(evaluatedScripts()); }
    void clearScripts();
    // The thread each evaluation was requested on was the main thread.
    bool allEvaluationsOnMainThread() const;

    std::vector<WFURLRequest> loadedRequests() const;
    std::vector<std::string> loadedHTML() const;
    void setCanLoad(bool canLoad) { canLoad_ = canLoad; }
    // The object the engine's web view is known by in notifications.
    void setEngineWebView(platform::WebView* view) { view_ = view; }

    void loadRequest(const WFURLRequest& request) override;
    void loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) override;
    void evaluateJavaScript(const std::string& script, WFJavaScriptCompletion completion) override;
    std::optional<platform::Url> URL() const override;
    bool canLoadRequest(const WFURLRequest& request) const override;
    void updateWithInfo(const platform::Value& info) override;
    platform::WebView* engineWebView() const override { return view_; }

private:
    std::string answerFor(const std::string& script);

    mutable std::mutex mutex_;
    Completion mode_ = Completion::NextTurn;
    std::deque<std::string> answers_;
    std::function<std::string(const std::string&)> responder_;
    std::vector<std::string> scripts_;
    bool offMainThreadEvaluation_ = false;
    std::vector<WFURLRequest> requests_;
    std::vector<std::string> html_;
    std::optional<platform::Url> url_;
    bool canLoad_ = true;
    platform::WebView* view_ = nullptr;
};

}  // namespace wharf::testing
