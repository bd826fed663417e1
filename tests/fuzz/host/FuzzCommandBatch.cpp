// A command batch as the page hands it over: the engine answers the queue's
// fetch with the input, the real command queue parses it (large batches on a
// background thread) and runs each call against plug-ins on the main thread;
// the answers travel back through the real command delegate, alone or grouped
// per run. The page receives every result sent with an acceptable callback
// id, once and in the order sent, with its id, status, message and keep flag.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "host/WFCommandDelegate.h"
#include "host/WFJSON.h"
#include "host/WFPlugin.h"
#include "host/WFPluginResult.h"
#include "host/plugins/WFLogger.h"
#include "host/testing/FakeViewController.h"
#include "platform/base/Log.h"
#include "platform/base/Value.h"
#include "platform/dispatch/RunLoop.h"

using namespace wharf;
using platform::Value;

namespace {

constexpr std::string_view kCallbackPrefix = "wharf.require('wharf/exec').nativeCallback('";
// The results of one run go together: a function of the page's that calls the
// dispatcher for each entry of one array literal of [id, status, message, keep].
constexpr std::string_view kGroupStart = "(function(d){";
constexpr std::string_view kGroupCall = "nativeCallback(c[0],c[1],c[2],c[3], 0)";
constexpr std::string_view kGroupData = "return x;})(";

// A result as the page receives it.
struct Delivered {
    std::string id;
    int64_t status = 0;
    Value message;
    bool keep = false;
};

bool callbackIdCharacter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
           c == '-';
}

// The ids whose results reach the page: not "INVALID", at most 100 of the
// characters above.
bool acceptedId(const std::optional<std::string>& id) {
    if (!id || *id == "INVALID" || id->size() > 100) return false;
    for (char c : *id)
        if (!callbackIdCharacter(c)) return false;
    return true;
}

// The results sent that the page is to receive, in order.
std::vector<Delivered>& sentResults() {
    static auto* sent = new std::vector<Delivered>;
    return *sent;
}

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
        if (acceptedId(c.callbackId())) {
            auto message = wf_JSONFragment(result.argumentsAsJSON());
            FUZZ_CHECK(message.has_value());
            sentResults().push_back({*c.callbackId(), result.status(), std::move(*message), result.keepCallback()});
        }
        commandDelegate()->sendPluginResult(result, c.callbackId());
    }
};

// "<prefix><id>',<status>,<message>,<keep>, 0)"
Delivered readCallbackScript(std::string_view rest) {
    rest.remove_prefix(kCallbackPrefix.size());
    const auto quote = rest.find('\'');
    FUZZ_CHECK(quote != std::string_view::npos);
    Delivered d{std::string(rest.substr(0, quote)), 0, Value(), false};
    rest.remove_prefix(quote + 1);
    FUZZ_CHECK(rest.starts_with(","));
    const auto statusEnd = rest.find(',', 1);
    FUZZ_CHECK(statusEnd != std::string_view::npos);
    const auto status = platform::parseJSON(rest.substr(1, statusEnd - 1));
    FUZZ_CHECK(status && status->is_number_integer());
    d.status = status->get<int64_t>();
    rest.remove_prefix(statusEnd + 1);
    FUZZ_CHECK(rest.ends_with(",0, 0)") || rest.ends_with(",1, 0)"));
    d.keep = rest.ends_with(",1, 0)");
    rest.remove_suffix(std::string_view(",0, 0)").size());
    auto message = wf_JSONFragment(rest);
    FUZZ_CHECK(message.has_value());
    d.message = std::move(*message);
    return d;
}

// The results of a group, read from its array literal.
void readGroup(std::string_view script, std::vector<Delivered>& out) {
    const auto call = script.find(kGroupCall);
    const auto data = script.find(kGroupData);
    FUZZ_CHECK(call != std::string_view::npos && data != std::string_view::npos && call < data);
    FUZZ_CHECK(script.ends_with(")"));
    const std::size_t from = data + kGroupData.size();
    const auto results = wf_JSONFragment(script.substr(from, script.size() - 1 - from));
    FUZZ_CHECK(results && results->is_array() && results->size() > 1);
    for (const Value& r : *results) {
        FUZZ_CHECK(r.is_array() && r.size() == 4 && r[0].is_string() && r[1].is_number_integer() &&
                   (r[3] == 0 || r[3] == 1));
        out.push_back({r[0].get<std::string>(), r[1].get<int64_t>(), r[2], r[3] == 1});
    }
}

// Every result the page received, in order, alone and in groups.
std::vector<Delivered> deliveredResults(const std::vector<std::string>& scripts) {
    std::vector<Delivered> delivered;
    for (const std::string& script : scripts) {
        if (script.starts_with(kCallbackPrefix))
            delivered.push_back(readCallbackScript(script));
        else if (script.starts_with(kGroupStart))
            readGroup(script, delivered);
    }
    return delivered;
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
    sentResults().clear();
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

    const auto delivered = deliveredResults(engine.evaluatedScripts());
    const auto& sent = sentResults();
    FUZZ_CHECK(delivered.size() == sent.size());
    for (std::size_t i = 0; i < sent.size(); ++i) {
        FUZZ_CHECK(delivered[i].id == sent[i].id && delivered[i].status == sent[i].status &&
                   delivered[i].keep == sent[i].keep);
        FUZZ_CHECK(platform::identical(delivered[i].message, sent[i].message));
    }
    return 0;
}
