#pragma once
// Case-insensitive access to preferences (stored under lower-cased names).
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

// The value under the lower-cased name, or nullopt.
std::optional<platform::Value> wharfSettingForKey(const platform::Value& settings, const std::string& key);
// The value's boolean reading ("true", "YES", "1" → true), or the default when absent.
bool wharfBoolSettingForKey(const platform::Value& settings, const std::string& key, bool defaultValue);
// The value read as a single-precision float, widened; the default when absent.
double wharfFloatSettingForKey(const platform::Value& settings, const std::string& key, double defaultValue);
void setWharfSetting(platform::Value& settings, const platform::Value& value, const std::string& key);

}  // namespace wharf
