// A command batch as the page hands it over: the engine answers the queue's
// fetch with the input, the real command queue parses it (large batches on a
// background thread) and runs each call against plug-ins on the main thread;
// the answers travel back through the real command delegate, alone or grouped
// per run. Every callback must keep the page's callback id inside its quotes
// and carry a message that parses as JSON.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

#include "FuzzSupport.h"
#include "host/WFCommandDelegate.h"
#include "host/WFJSON.h"
#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "host/plugins/WFLogger.h"
#include "host/testing/FakeViewController.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"
#include "platform/Value.h"

using namespace wharf;
using platform::Value;

namespace {

constexpr const char* kCallbackPrefix = "wharf.require('wharf/exec').nativeCallback('";

// Answers every call the way real plug-ins do, with each kind of result.
class AnsweringPlugin : public WFPlugin {
public:
    static const WFActionTable& actions() {
        static const WFActionTable table =
            WFMakeActionTable<AnsweringPlugin>({{"echo", &AnsweringPlugin::echo},
                                                {"array", &AnsweringPlugin::array},
                                                {"dict", &AnsweringPlugin::dict},
                                                {"bytes", &AnsweringPlugin::bytes},
                                                {"number", &AnsweringPlugin::number},
                                                {"multipart", &AnsweringPlugin::multipart},
                                                {"error", &AnsweringPlugin::error},
                                                {"fail", &AnsweringPlugin::fail}});
        return table;
    }
    const WFActionTable& actionTable() const override { return actions(); }

    void echo(const WFInvokedUrlCommand& c) {
        auto result = WFPluginResult::resultWithStatusMessageAsString(
            WFResultStatus::OK, platform::stringValue(c.argumentAtIndex(0, "", WFValueClass::String)));
        result.setKeepCallbackAsBool(platform::boolValue(c.argumentAtIndex(1)));
        send(result, c);
    }
    void array(const WFInvokedUrlCommand& c) {
        send(WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus::OK, c.arguments()), c);
    }
    void dict(const WFInvokedUrlCommand& c) {
        send(WFPluginResult::resultWithStatusMessageAsDictionary(
                 WFResultStatus::OK, c.argumentAtIndex(0, Value::object(), WFValueClass::Dictionary)),
             c);
    }
    void bytes(const WFInvokedUrlCommand& c) {
        Value data = c.argumentAtIndex(0, nullptr, WFValueClass::Data);
        platform::Bytes payload =
            data.is_binary() ? platform::Bytes(data.get_binary().begin(), data.get_binary().end()) : platform::Bytes();
        send(WFPluginResult::resultWithStatusMessageAsArrayBuffer(WFResultStatus::OK, payload), c);
    }
    void number(const WFInvokedUrlCommand& c) {
        const Value v = c.argumentAtIndex(0, 0, WFValueClass::Number);
        send(WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus::OK, platform::doubleValue(v)), c);
        send(WFPluginResult::resultWithStatusMessageAsNSInteger(WFResultStatus::OK, platform::integerValue(v)), c);
    }
    void multipart(const WFInvokedUrlCommand& c) {
        send(WFPluginResult::resultWithStatusMessageAsMultipart(WFResultStatus::OK, c.arguments()), c);
    }
    void error(const WFInvokedUrlCommand& c) {
        send(WFPluginResult::resultWithStatusMessageToErrorObject(
                 WFResultStatus::Error, static_cast<int>(platform::integerValue(c.argumentAtIndex(0)))),
             c);
    }
    [[noreturn]] void fail(const WFInvokedUrlCommand&) { throw std::runtime_error("plug-in failure"); }

private:
    void send(const WFPluginResult& result, const WFInvokedUrlCommand& c) {
        commandDelegate()->sendPluginResult(result, c.callbackId());
    }
};

bool callbackIdCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// "<prefix><id>',<status>,<message>,<keep>, 0)"
void checkCallbackScript(const std::string& script) {
    std::string_view rest(script);
    FUZZ_CHECK(rest.starts_with(kCallbackPrefix));
    rest.remove_prefix(std::string_view(kCallbackPrefix).size());
    const auto quote = rest.find('\'');
    FUZZ_CHECK(quote != std::string_view::npos);
    for (char c : rest.substr(0, quote)) FUZZ_CHECK(callbackIdCharacter(c));
    rest.remove_prefix(quote + 1);
    FUZZ_CHECK(rest.starts_with(","));
    const auto statusEnd = rest.find(',', 1);
    FUZZ_CHECK(statusEnd != std::string_view::npos);
    rest.remove_prefix(statusEnd + 1);
    FUZZ_CHECK(rest.ends_with(",0, 0)") || rest.ends_with(",1, 0)"));
    rest.remove_suffix(std::string_view(",0, 0)").size());
    FUZZ_CHECK(wf_JSONFragment(rest).has_value());
}

// One callback alone, or the results of one run together: one a line, as a
// case of the switch that runs them, "case <n>:r[<n>]=<callback>;". A JSON
// text holds no raw line break, so a line never splits a callback.
void checkCallbacks(const std::string& script) {
    constexpr std::string_view kTail = ";";
    if (script.starts_with(kCallbackPrefix)) {
        checkCallbackScript(script);
        return;
    }
    std::size_t callbacks = 0;
    std::string_view rest(script);
    while (!rest.empty()) {
        auto [line, next] = fuzz::splitAt(rest, "\n");
        const std::string head = "case " + std::to_string(callbacks) + ":r[" + std::to_string(callbacks) + "]=";
        if (line.starts_with("case ")) {
            FUZZ_CHECK(line.starts_with(head) && line.ends_with(kTail));
            checkCallbackScript(std::string(line.substr(head.size(), line.size() - head.size() - kTail.size())));
            ++callbacks;
        }
        if (next.empty() && line.size() == rest.size()) break;
        rest = next;
    }
    FUZZ_CHECK(callbacks > 1);
}

// The batch reader and the platform's reader agree on the text, to the kind
// of each number. (A text with an escaped lone surrogate the bridge repairs
// first, which the platform's reader refuses: left out.)
void checkReadersAgree(std::string_view text) {
    for (std::size_t at = text.find("\\u"); at != std::string_view::npos; at = text.find("\\u", at + 1)) {
        const char c = at + 2 < text.size() ? text[at + 2] : '\0';
        if (c == 'd' || c == 'D') return;
    }
    platform::LogCapture quiet;
    const auto quick = wf_JSONFragment(text);
    const auto reference = platform::parseJSON(text);
    FUZZ_CHECK(quick.has_value() == reference.has_value());
    if (quick) FUZZ_CHECK(platform::identical(*quick, *reference));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    checkReadersAgree(std::string_view(reinterpret_cast<const char*>(data), size));
    auto controller = testing::FakeViewController::create();
    auto& engine = *controller->engine();
    engine.setCompletion(testing::FakeWebViewEngine::Completion::Immediate);
    controller->registerPlugin(std::make_shared<AnsweringPlugin>(), "Rec");
    controller->registerPlugin(std::make_shared<WFLogger>(), "Console");

    engine.queueAnswer(std::string(reinterpret_cast<const char*>(data), size));
    auto queue = controller->queue();
    queue->fetchCommandsFromJs();
    const bool settled = platform::RunLoop::pumpUntil(
        [&] { return queue->pendingBatchCount() == 0 && !queue->currentlyExecuting(); }, std::chrono::seconds(20));
    FUZZ_CHECK(settled);
    // Answers queued on the run loop reach the engine on the next turns.
    while (platform::RunLoop::iterate(false)) {}

    for (const auto& script : engine.scriptsContaining(kCallbackPrefix)) checkCallbacks(script);
    return 0;
}
