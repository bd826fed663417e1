#include "host/WFInvokedUrlCommand.h"

#include "host/WFStrings.h"
#include "platform/base/Log.h"

namespace wharf {

using platform::Value;

namespace {

// Enough of a rejected entry to recognise it, without flooding the log.
std::string excerpt(const Value& entry) { return wf_logExcerpt(platform::toJSONString(entry)); }

}  // namespace

WFInvokedUrlCommand::WFInvokedUrlCommand(Value arguments, std::optional<std::string> callbackId, std::string className,
                                         std::string methodName)
    : callbackId_(std::move(callbackId)),
      className_(std::move(className)),
      methodName_(std::move(methodName)),
      arguments_(arguments.is_array() ? std::move(arguments) : Value::array()) {
    massageArguments();
}

WFInvokedUrlCommand::~WFInvokedUrlCommand() { platform::clearArray(arguments_); }

std::optional<WFInvokedUrlCommand> WFInvokedUrlCommand::commandFromJson(Value entry) {
    if (!entry.is_array() || entry.size() < 4) {
        platform::log("ERROR: Malformed command entry (expected [callbackId, service, action, arguments]): %s",
                      excerpt(entry).c_str());
        return std::nullopt;
    }
    Value& callbackId = entry[0];
    if (!(callbackId.is_string() || callbackId.is_null()) || !entry[1].is_string() || !entry[2].is_string() ||
        !entry[3].is_array()) {
        platform::log("ERROR: Malformed command entry (wrong element kinds): %s", excerpt(entry).c_str());
        return std::nullopt;
    }
    std::optional<std::string> id;
    if (callbackId.is_string()) id = std::move(callbackId.get_ref<std::string&>());
    WFInvokedUrlCommand command(std::move(entry[3]), std::move(id), std::move(entry[1].get_ref<std::string&>()),
                                std::move(entry[2].get_ref<std::string&>()));
    // Only scalars and moved-out shells are left in the entry.
    platform::clearArray(entry);
    return command;
}

void WFInvokedUrlCommand::massageArguments() {
    for (auto& argument : arguments_) {
        if (!argument.is_object()) continue;
        auto type = argument.find("WFType");
        if (type == argument.end() || *type != "ArrayBuffer") continue;
        auto data = argument.find("data");
        if (data == argument.end()) continue;
        // Text that does not decode yields an empty buffer, as the platform's
        // decoder gives no bytes for it.
        std::optional<platform::Bytes> bytes;
        if (data->is_string()) bytes = platform::base64Decode(data->get_ref<const std::string&>());
        argument = platform::bytesValue(bytes ? std::move(*bytes) : platform::Bytes{});
    }
}

Value WFInvokedUrlCommand::argumentAtIndex(std::size_t index, const Value& defaultValue) const {
    if (index >= arguments_.size()) return defaultValue;
    const Value& value = arguments_[index];
    return value.is_null() ? defaultValue : value;
}

Value WFInvokedUrlCommand::argumentAtIndex(std::size_t index, const Value& defaultValue,
                                           WFValueClass valueClass) const {
    if (index >= arguments_.size()) return defaultValue;
    const Value& value = arguments_[index];
    bool matches = false;
    switch (valueClass) {
    case WFValueClass::String: matches = value.is_string(); break;
    case WFValueClass::Number: matches = value.is_number() || value.is_boolean(); break;
    case WFValueClass::Array: matches = value.is_array(); break;
    case WFValueClass::Dictionary: matches = value.is_object(); break;
    case WFValueClass::Data: matches = value.is_binary(); break;
    }
    return matches ? value : defaultValue;
}

}  // namespace wharf
