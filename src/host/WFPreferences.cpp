#include "host/WFPreferences.h"

#include "host/WFStrings.h"

namespace wharf {

using platform::Value;

std::optional<Value> wharfSettingForKey(const Value& settings, const std::string& key) {
    if (!settings.is_object()) return std::nullopt;
    auto it = settings.find(wf_lowercase(key));
    if (it == settings.end() || it->is_null()) return std::nullopt;
    return *it;
}

bool wharfBoolSettingForKey(const Value& settings, const std::string& key, bool defaultValue) {
    auto value = wharfSettingForKey(settings, key);
    return value ? platform::boolValue(*value) : defaultValue;
}

double wharfFloatSettingForKey(const Value& settings, const std::string& key, double defaultValue) {
    auto value = wharfSettingForKey(settings, key);
    return value ? static_cast<double>(platform::floatValue(*value)) : defaultValue;
}

void setWharfSetting(Value& settings, const Value& value, const std::string& key) {
    if (!settings.is_object()) settings = Value::object();
    settings[wf_lowercase(key)] = value;
}

}  // namespace wharf
