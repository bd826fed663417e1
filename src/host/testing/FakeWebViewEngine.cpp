#include "host/testing/FakeWebViewEngine.h"

#include "platform/ClassRegistry.h"
#include "platform/RunLoop.h"

namespace wharf::testing {

std::vector<std::string> callbackScriptsIn(const std::vector<std::string>& scripts) {
    static const std::string prefix = "wharf.require('wharf/exec').nativeCallback(";
    static const std::string suffix = ", 0)";
    std::vector<std::string> found;
    for (const auto& script : scripts) {
        for (std::size_t line = 0; line < script.size();) {
            std::size_t end = script.find('\n', line);
            if (end == std::string::npos) end = script.size();
            const std::size_t start = script.find(prefix, line);
            if (start < end) {
                const std::size_t last = script.rfind(suffix, end - suffix.size());
                if (last != std::string::npos && last > start)
                    found.push_back(script.substr(start, last + suffix.size() - start));
            }
            line = end + 1;
        }
    }
    return found;
}

void FakeWebViewEngine::registerClass() {
    std::function<std::shared_ptr<WFWebViewEngineProtocol>(WFRect)> factory =
        [](WFRect) -> std::shared_ptr<WFWebViewEngineProtocol> { return std::make_shared<FakeWebViewEngine>(); };
    platform::ClassRegistry::shared().registerClass<WFWebViewEngineProtocol, WFRect>("FakeWebViewEngine",
                                                                                     std::move(factory));
}

void FakeWebViewEngine::queueAnswer(std::string answer) {
    std::lock_guard lock(mutex_);
    answers_.push_back(std::move(answer));
}

void FakeWebViewEngine::setResponder(std::function<std::string(const std::string&)> responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

std::vector<std::string> FakeWebViewEngine::evaluatedScripts() const {
    std::lock_guard lock(mutex_);
    return scripts_;
}

std::vector<std::string> FakeWebViewEngine::scriptsContaining(const std::string& needle) const {
    std::vector<std::string> found;
    for (auto& script : evaluatedScripts())
        if (script.find(needle) != std::string::npos) found.push_back(script);
    return found;
}

void FakeWebViewEngine::clearScripts() {
    std::lock_guard lock(mutex_);
    scripts_.clear();
}

bool FakeWebViewEngine::allEvaluationsOnMainThread() const {
    std::lock_guard lock(mutex_);
    return !offMainThreadEvaluation_;
}

std::vector<WFURLRequest> FakeWebViewEngine::loadedRequests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

std::vector<std::string> FakeWebViewEngine::loadedHTML() const {
    std::lock_guard lock(mutex_);
    return html_;
}

void FakeWebViewEngine::loadRequest(const WFURLRequest& request) {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    url_ = request.url;
}

void FakeWebViewEngine::loadHTMLString(const std::string& html, const std::optional<platform::Url>& baseURL) {
    std::lock_guard lock(mutex_);
    html_.push_back(html);
    url_ = baseURL;
}

std::string FakeWebViewEngine::answerFor(const std::string& script) {
    std::function<std::string(const std::string&)> responder;
    {
        std::lock_guard lock(mutex_);
        scripts_.push_back(script);
        if (!platform::RunLoop::isMainThread()) offMainThreadEvaluation_ = true;
        if (!responder_) {
            if (answers_.empty()) return "";
            std::string answer = std::move(answers_.front());
            answers_.pop_front();
            return answer;
        }
        responder = responder_;
    }
    return responder(script);
}

void FakeWebViewEngine::evaluateJavaScript(const std::string& script, WFJavaScriptCompletion completion) {
    std::string answer = answerFor(script);
    if (!completion) return;
    if (mode_ == Completion::Immediate) {
        completion(answer, nullptr);
    } else {
        platform::RunLoop::performOnMain(
            [completion = std::move(completion), answer = std::move(answer)] { completion(answer, nullptr); });
    }
}

std::optional<platform::Url> FakeWebViewEngine::URL() const {
    std::lock_guard lock(mutex_);
    return url_;
}

bool FakeWebViewEngine::canLoadRequest(const WFURLRequest&) const { return canLoad_; }

void FakeWebViewEngine::updateWithInfo(const platform::Value&) {}

}  // namespace wharf::testing
