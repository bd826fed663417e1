#pragma once
// JSON helpers the bridge uses on dynamic values and strings.
#include <optional>
#include <string>
#include <string_view>

#include "platform/base/Value.h"

namespace wharf {

// A dictionary (JSON object) is written pretty-printed, anything else compactly.
// On failure logs "NSArray JSONString error: %@" (or "NSDictionary ...") and answers nullopt.
std::optional<std::string> wf_JSONString(const platform::Value& value);

// Parses text whose top level is an array or an object. On failure logs
// "NSString JSONObject error: %@, Malformed Data: %@" and answers nullopt.
std::optional<platform::Value> wf_JSONObject(std::string_view text);

// Parses text allowing a bare scalar at the top level. On failure logs
// "NSString JSONObject error: %@" and answers nullopt.
std::optional<platform::Value> wf_JSONFragment(std::string_view text);

}  // namespace wharf
