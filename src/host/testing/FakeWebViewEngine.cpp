#include "host/testing/FakeWebViewEngine.h"

#include "platform/base/ClassRegistry.h"
#include "platform/base/Value.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::testing {

namespace {

const std::string kCallbackPrefix = "wharf.require('wharf/exec').nativeCallback(";

// The results of a script that delivers several: the array its function is
// called with. Nothing when it is not one.
std::optional<platform::Value> groupedResults(const std::string& script) {
    // The head's own end, the first of its kind: the results after it may hold the same text.
    static const std::string open = "return x;})(";
    const std::size_t start = script.find(open);
    if (start == std::string::npos || script.find("nativeCallback(c[0]") == std::string::npos || script.back() != ')')
        return std::nullopt;
    const std::size_t from = start + open.size();
    auto results = platform::parseJSON(std::string_view(script).substr(from, script.size() - 1 - from));
    if (!results || !results->is_array()) return std::nullopt;
    return results;
}

}  // namespace

std::vector<std::string> callbackScriptsIn(const std::vector<std::string>& scripts) {
    std::vector<std::string> found;
    for (const auto& script : scripts) {
        if (script.rfind(kCallbackPrefix, 0) == 0) {
            found.push_back(script);
        } else if (auto results = groupedResults(script)) {
            for (const auto& r : *results) {
                if (!r.is_array() || r.size() != 4) continue;
                found.push_back(kCallbackPrefix + "'" + r[0].get<std::string>() + "'," + r[1].dump() + "," +
                                platform::toJSONString(r[2], false) + "," + r[3].dump() + ", 0)");
            }
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
