#include "host/WFJSON.h"

#include <exception>

#include "platform/Error.h"
#include "platform/Log.h"

namespace wharf {

using platform::Value;

std::optional<std::string> wf_JSONString(const Value& value) {
    const bool dictionary = value.is_object();
    try {
        return platform::toJSONString(value, dictionary);
    } catch (const std::exception& e) {
        platform::log(dictionary ? "NSDictionary JSONString error: %s" : "NSArray JSONString error: %s", e.what());
        return std::nullopt;
    }
}

namespace {

std::optional<Value> parse(std::string_view text, bool allowFragment, platform::Error& error) {
    auto parsed = platform::parseJSON(text, &error);
    if (!parsed) return std::nullopt;
    if (!allowFragment && !parsed->is_array() && !parsed->is_object()) {
        error = platform::Error::withDescription("NSCocoaErrorDomain", 3840,
                                                 "JSON text did not start with array or object");
        return std::nullopt;
    }
    return parsed;
}

}  // namespace

std::optional<Value> wf_JSONObject(std::string_view text) {
    platform::Error error;
    auto parsed = parse(text, false, error);
    if (!parsed)
        platform::log("NSString JSONObject error: %s, Malformed Data: %.*s", error.description().c_str(),
                      static_cast<int>(text.size()), text.data());
    return parsed;
}

std::optional<Value> wf_JSONFragment(std::string_view text) {
    platform::Error error;
    auto parsed = parse(text, true, error);
    if (!parsed) platform::log("NSString JSONObject error: %s", error.description().c_str());
    return parsed;
}

}  // namespace wharf
