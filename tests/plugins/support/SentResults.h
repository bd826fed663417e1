#pragma once
// The results a plug-in sent, read back from the callback scripts the real
// command delegate evaluated in the fake engine.
#include <optional>
#include <string>
#include <vector>

#include "host/testing/FakeWebView.h"
#include "host/testing/FakeWebViewEngine.h"
#include "platform/base/Value.h"
#include "platform/dispatch/RunLoop.h"

namespace wharf::test {

struct SentResult {
    std::string callbackId;
    int status = -1;
    platform::Value message;  // null when there was none
    bool keepCallback = false;
};

// "wharf.require('wharf/exec').nativeCallback('<id>',<status>,<message>,<keep>, 0)"
inline std::optional<SentResult> parseCallbackScript(const std::string& script) {
    static const std::string prefix = "wharf.require('wharf/exec').nativeCallback('";
    static const std::string suffix = ", 0)";
    if (script.rfind(prefix, 0) != 0 || script.size() < prefix.size() + suffix.size() ||
        script.compare(script.size() - suffix.size(), suffix.size(), suffix) != 0)
        return std::nullopt;
    const std::string body = script.substr(prefix.size(), script.size() - prefix.size() - suffix.size());
    const auto idEnd = body.find("',");
    const auto statusEnd = body.find(',', idEnd + 2);
    const auto keepStart = body.rfind(',');
    if (idEnd == std::string::npos || statusEnd == std::string::npos || keepStart <= statusEnd) return std::nullopt;
    SentResult result;
    result.callbackId = body.substr(0, idEnd);
    result.status = std::stoi(body.substr(idEnd + 2, statusEnd - idEnd - 2));
    auto message = platform::parseJSON(body.substr(statusEnd + 1, keepStart - statusEnd - 1));
    if (!message) return std::nullopt;
    result.message = *message;
    result.keepCallback = body.substr(keepStart + 1) == "1";
    return result;
}

inline std::vector<SentResult> sentResults(const std::vector<std::string>& scripts) {
    std::vector<SentResult> results;
    for (const auto& script : testing::callbackScriptsIn(scripts))
        if (auto result = parseCallbackScript(script)) results.push_back(*result);
    return results;
}

inline std::vector<SentResult> sentResults(const testing::FakeWebViewEngine& engine) {
    return sentResults(engine.evaluatedScripts());
}

inline std::vector<SentResult> sentResults(const testing::FakeWebView& view) { return sentResults(view.scripts()); }

// Pumps the main loop until `count` results have been sent (results reach the
// engine on a later turn of the loop).
template <class Engine>
std::vector<SentResult> waitForResults(const Engine& engine, std::size_t count) {
    platform::RunLoop::pumpUntil([&] { return sentResults(engine).size() >= count; });
    return sentResults(engine);
}

}  // namespace wharf::test
