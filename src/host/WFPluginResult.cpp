#include "host/WFPluginResult.h"

#include <array>
#include <atomic>
#include <exception>

#include "platform/base/Log.h"
#include "platform/base/Value.h"

namespace wharf {

using platform::Value;

namespace {

std::atomic<bool> gVerbose{false};

Value arrayBufferWrapper(const platform::Bytes& data) {
    // Filled in place: a list of its entries would copy the text.
    Value wrapper = Value::object();
    wrapper["WFType"] = "ArrayBuffer";
    wrapper["data"] = platform::base64Encode(data);
    return wrapper;
}

int code(WFResultStatus status) { return static_cast<int>(status); }

}  // namespace

WFPluginResult::WFPluginResult(int status, Value message) : status_(status), message_(std::move(message)) {}

WFPluginResult WFPluginResult::resultWithStatus(WFResultStatus status) { return {code(status), nullptr}; }

WFPluginResult WFPluginResult::resultWithStatusMessageAsString(WFResultStatus status, const std::string& message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsArray(WFResultStatus status, const Value& array) {
    return {code(status), array};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsInt(WFResultStatus status, int message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsNSInteger(WFResultStatus status, int64_t message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsNSUInteger(WFResultStatus status, uint64_t message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsDouble(WFResultStatus status, double message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsBool(WFResultStatus status, bool message) {
    return {code(status), message};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsDictionary(WFResultStatus status, const Value& dictionary) {
    return {code(status), dictionary};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsArrayBuffer(WFResultStatus status,
                                                                    const platform::Bytes& data) {
    return {code(status), arrayBufferWrapper(data)};
}

WFPluginResult WFPluginResult::resultWithStatusMessageAsMultipart(WFResultStatus status, const Value& messages) {
    Value parts = Value::array();
    if (messages.is_array()) {
        for (const auto& element : messages)
            parts.push_back(platform::isBytes(element) ? arrayBufferWrapper(platform::bytesOf(element)) : element);
    }
    return {code(status), Value{{"WFType", "MultiPart"}, {"messages", std::move(parts)}}};
}

WFPluginResult WFPluginResult::resultWithStatusMessageToErrorObject(WFResultStatus status, int errorCode) {
    return {code(status), Value{{"code", errorCode}}};
}

std::string WFPluginResult::argumentsAsJSON() const {
    std::string text;
    appendArgumentsAsJSON(text);
    return text;
}

void WFPluginResult::appendArgumentsAsJSON(std::string& out) const {
    // Written as the element of an array is (compact, scalars too), without
    // copying the message into one.
    const std::size_t before = out.size();
    try {
        platform::appendJSON(out, message_);
    } catch (const std::exception& e) {
        platform::log("NSArray JSONString error: %s", e.what());
        out.resize(before);
        out += "null";
    }
}

std::string WFPluginResult::statusText(int status) {
    static const std::array<const char*, 10> texts = {
        "No result",     "OK",       "Class not found", "Illegal access", "Instantiation error",
        "Malformed url", "IO error", "Invalid action",  "JSON error",     "Error"};
    if (status < 0 || status >= static_cast<int>(texts.size())) return "";
    return texts[status];
}

void WFPluginResult::setVerbose(bool verbose) { gVerbose = verbose; }
bool WFPluginResult::isVerbose() { return gVerbose; }

}  // namespace wharf
