#include "plugins/background-geolocation/Config.h"

#include <algorithm>
#include <cctype>
#include <string_view>

#include "logging/LGLog.h"

namespace wharf {

namespace {

using platform::Value;

const char* kindName(const Value& v) {
    switch (v.type()) {
    case Value::value_t::null: return "null";
    case Value::value_t::object: return "an object";
    case Value::value_t::array: return "an array";
    case Value::value_t::string: return "a string";
    case Value::value_t::boolean: return "a boolean";
    case Value::value_t::binary: return "binary data";
    default: return "a number";
    }
}

// Numbers, booleans and numeric text read as the page's values always did;
// containers have no number in them.
bool isScalar(const Value& v) { return v.is_number() || v.is_boolean() || v.is_string(); }

// The option's value when it is present and not null.
const Value* option(const Value& options, const char* key) {
    auto it = options.find(key);
    if (it == options.end() || it->is_null()) return nullptr;
    return &*it;
}

void reportKind(const char* key, const char* expected, const Value& v) {
    LGLogWarn("Config: option \"%s\" should be %s, not %s; it keeps its default", key, expected, kindName(v));
}

void readInteger(const Value& options, const char* key, int64_t& field) {
    if (const Value* v = option(options, key)) {
        // A whole number past the range reads as its largest, as a fraction
        // or a text of one does (a cast would make it negative).
        if (v->is_number_unsigned() && v->get<uint64_t>() > uint64_t{INT64_MAX})
            field = INT64_MAX;
        else if (isScalar(*v))
            field = platform::integerValue(*v);
        else
            reportKind(key, "a number", *v);
    }
}

void readBool(const Value& options, const char* key, bool& field) {
    if (const Value* v = option(options, key)) {
        if (isScalar(*v))
            field = platform::boolValue(*v);
        else
            reportKind(key, "a boolean", *v);
    }
}

// True when the option is present, not null and a string (into `field`).
bool readString(const Value& options, const char* key, std::optional<std::string>& field) {
    const Value* v = option(options, key);
    if (!v) return false;
    if (!v->is_string()) {
        reportKind(key, "a string", *v);
        return false;
    }
    field = v->get<std::string>();
    return true;
}

// Header values travel as text: numbers and booleans are written as the page
// would print them; anything else cannot be a header value and is left out.
std::optional<Config::HttpHeaders> readHeaders(const Value& options) {
    const Value* v = option(options, "httpHeaders");
    if (!v) return std::nullopt;
    if (!v->is_object()) {
        reportKind("httpHeaders", "an object", *v);
        return std::nullopt;
    }
    Config::HttpHeaders headers;
    for (auto it = v->begin(); it != v->end(); ++it) {
        const Value& value = it.value();
        if (value.is_string())
            headers[it.key()] = value.get<std::string>();
        else if (value.is_boolean())
            headers[it.key()] = value.get<bool>() ? "true" : "false";
        else if (value.is_number())
            headers[it.key()] = platform::toJSONString(value);
        else
            LGLogWarn("Config: header \"%s\" has %s for a value and is left out", it.key().c_str(), kindName(value));
    }
    return headers;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    return std::ranges::equal(a, b,
                              [](unsigned char x, unsigned char y) { return std::tolower(x) == std::tolower(y); });
}

std::string orNull(const std::optional<std::string>& s) { return s ? *s : "(null)"; }

}  // namespace

Config Config::fromDictionary(const Value& options) {
    Config config;
    if (!options.is_object()) {
        if (!options.is_null())
            LGLogWarn("Config: the options should be an object, not %s; every option keeps its default",
                      kindName(options));
        return config;
    }
    readBool(options, "debug", config.isDebugging);
    readBool(options, "stopOnTerminate", config.stopOnTerminate);
    readBool(options, "saveBatteryOnBackground", config.saveBatteryOnBackground);
    readBool(options, "pauseLocationUpdates", config.pauseLocationUpdates);
    readInteger(options, "stationaryRadius", config.stationaryRadius);
    readInteger(options, "distanceFilter", config.distanceFilter);
    readInteger(options, "desiredAccuracy", config.desiredAccuracy);
    if (const Value* v = option(options, "activityType")) {
        if (v->is_string())
            config.activityType = v->get<std::string>();
        else
            reportKind("activityType", "a string", *v);
    }
    readString(options, "url", config.url);
    // Batch uploads go to the per-fix address unless they have one of their own.
    if (!readString(options, "syncUrl", config.syncUrl)) config.syncUrl = config.url;
    readInteger(options, "syncThreshold", config.syncThreshold);
    config.httpHeaders = readHeaders(options);
    readInteger(options, "maxLocations", config.maxLocations);
    return config;
}

int64_t Config::decodeDesiredAccuracy() const {
    if (desiredAccuracy >= 1000) return kLocationAccuracyKilometer;
    if (desiredAccuracy >= 100) return kLocationAccuracyHundredMeters;
    if (desiredAccuracy >= 10) return kLocationAccuracyNearestTenMeters;
    if (desiredAccuracy >= 0) return kLocationAccuracyBest;
    return kLocationAccuracyHundredMeters;
}

int64_t Config::decodeActivityType() const {
    if (equalsIgnoringCase(activityType, "AutomotiveNavigation")) return kLocationActivityTypeAutomotiveNavigation;
    if (equalsIgnoringCase(activityType, "OtherNavigation")) return kLocationActivityTypeOtherNavigation;
    if (equalsIgnoringCase(activityType, "Fitness")) return kLocationActivityTypeFitness;
    return kLocationActivityTypeOther;
}

std::string Config::description() const {
    std::string headers = "(null)";
    if (httpHeaders) {
        Value object = Value::object();
        for (const auto& [name, value] : *httpHeaders) object[name] = value;
        headers = platform::toJSONString(object);
    }
    return "Config: distanceFilter=" + std::to_string(distanceFilter) +
           " stationaryRadius=" + std::to_string(stationaryRadius) +
           " desiredAccuracy=" + std::to_string(desiredAccuracy) + " activityType=" + activityType +
           " isDebugging=" + std::to_string(isDebugging) + " stopOnTerminate=" + std::to_string(stopOnTerminate) +
           " url=" + orNull(url) + " httpHeaders=" + headers +
           " pauseLocationUpdates=" + std::to_string(pauseLocationUpdates);
}

}  // namespace wharf
