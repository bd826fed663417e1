#include "plugins/background-geolocation/Location.h"

#include <cmath>
#include <cstdio>
#include <strings.h>

#include "logging/LGLog.h"
#include "sqldb/SQLDateFormatter.h"

namespace wharf {

namespace {

using platform::Value;

constexpr double kRadiansPerDegree = 0.017453292519943295;
// The square of the equatorial radius (6378137 m) as a single-precision value.
constexpr double kEarthRadiusSquared = 40680629993472.0;
constexpr double kMaxFutureSeconds = 86400;
constexpr double kMaxTimeDifference = 120;
constexpr double kMaxAccuracyLoss = 200;

double seconds(const Location::Time& t) { return secondsSince1970(t); }

void put(Value& dict, const char* key, const std::optional<double>& v) {
    if (v) dict[key] = *v;
}

std::string numberText(const std::optional<double>& v) { return v ? platform::toJSONString(Value(*v)) : "(null)"; }

// RFC 9110 token characters: what a header field name may consist of.
bool isToken(const std::string& name) {
    if (name.empty()) return false;
    for (unsigned char c : name) {
        if (c >= '0' && c <= '9') continue;
        if ((c | 0x20) >= 'a' && (c | 0x20) <= 'z') continue;
        if (std::string_view("!#$%&'*+-.^_`|~").find(static_cast<char>(c)) != std::string_view::npos) continue;
        return false;
    }
    return true;
}

// A header the request may carry: a token name, a value without line breaks
// or NUL (they would start a header of the page's making), and none of the
// fields that frame the body, which the client sets from the body itself.
bool isSendable(const std::string& name, const std::string& value) {
    if (!isToken(name)) {
        LGLogWarn("Location: header name \"%s\" is not a valid field name and is left out", name.c_str());
        return false;
    }
    if (value.find_first_of(std::string_view("\r\n\0", 3)) != std::string::npos) {
        LGLogWarn("Location: the value of header \"%s\" holds a line break or NUL and is left out", name.c_str());
        return false;
    }
    if (strcasecmp(name.c_str(), "Content-Length") == 0 || strcasecmp(name.c_str(), "Transfer-Encoding") == 0) {
        LGLogWarn("Location: header \"%s\" is set from the body and is left out", name.c_str());
        return false;
    }
    return true;
}

// Adds a value to a field, as a second value of the same field (case-blind
// names) when it is already there.
void addValue(platform::http::Headers& headers, const std::string& name, const std::string& value) {
    for (auto& [existing, values] : headers) {
        if (strcasecmp(existing.c_str(), name.c_str()) == 0) {
            values += ",";
            values += value;
            return;
        }
    }
    headers.emplace_back(name, value);
}

}  // namespace

bool uploadMayFollowRedirect(const platform::http::Response&, platform::http::Request& next) {
    return next.method == "POST";
}

Location Location::fromCLLocation(const platform::LocationFix& fix) {
    Location l;
    l.time = fix.timestamp;
    l.accuracy = fix.horizontalAccuracy;
    l.altitudeAccuracy = fix.verticalAccuracy;
    l.speed = fix.speed;
    l.heading = fix.course;
    l.altitude = fix.altitude;
    l.latitude = fix.coordinate.latitude;
    l.longitude = fix.coordinate.longitude;
    return l;
}

double Location::locationAge(const platform::Clock& clock) const {
    if (!time) return 0;
    return clock.secondsSince1970() - seconds(*time);
}

bool Location::hasAccuracy() const { return accuracy.has_value(); }

bool Location::hasAccuracyEstimate() const { return accuracy && *accuracy >= 0 && std::isfinite(*accuracy); }

bool Location::hasTime(const platform::Clock& clock) const {
    if (!time) return true;
    return seconds(*time) - clock.secondsSince1970() <= kMaxFutureSeconds;
}

bool Location::isBetterLocation(const Location* other) const {
    if (!other) return false;
    // A fix that does not say how accurate it is never displaces one that does.
    if (!hasAccuracyEstimate() && other->hasAccuracyEstimate()) return false;
    const double timeDifference = time && other->time ? seconds(*time) - seconds(*other->time) : 0;
    if (timeDifference > kMaxTimeDifference) return true;
    if (timeDifference < -kMaxTimeDifference) return false;
    if (!other->hasAccuracyEstimate()) return hasAccuracyEstimate() || timeDifference > 0;
    // Whole metres: a few centimetres of difference decide nothing.
    const double accuracyDifference = std::trunc(*accuracy) - std::trunc(*other->accuracy);
    if (accuracyDifference < 0) return true;
    return timeDifference > 0 && accuracyDifference <= kMaxAccuracyLoss;
}

platform::LocationCoordinate Location::coordinate() const { return {latitude.value_or(0), longitude.value_or(0)}; }

double Location::distanceFromLocation(const Location& other) const {
    const double lat1 = latitude.value_or(0) * kRadiansPerDegree;
    const double lon1 = longitude.value_or(0) * kRadiansPerDegree;
    const double lat2 = other.latitude.value_or(0) * kRadiansPerDegree;
    const double lon2 = other.longitude.value_or(0) * kRadiansPerDegree;
    const double x = lat2 - lat1;
    const double y = (lon2 - lon1) * std::cos(static_cast<float>((lat1 + lat2) / 2));
    return std::sqrt(static_cast<float>((x * x + y * y) * kEarthRadiusSquared));
}

bool Location::isBeyond(const Location& other, int64_t radius) const {
    const double d = distanceFromLocation(other) - accuracy.value_or(0) - other.accuracy.value_or(0);
    return d > static_cast<double>(radius);
}

Value Location::toDictionary() const {
    Value dict = Value::object();
    if (time) dict["time"] = seconds(*time) * 1000.0;
    put(dict, "accuracy", accuracy);
    put(dict, "altitudeAccuracy", altitudeAccuracy);
    put(dict, "speed", speed);
    put(dict, "heading", heading);
    put(dict, "bearing", heading);
    put(dict, "altitude", altitude);
    put(dict, "latitude", latitude);
    put(dict, "longitude", longitude);
    if (provider) dict["provider"] = *provider;
    if (serviceProvider) dict["service_provider"] = *serviceProvider;
    if (type) dict["location_type"] = *type;
    return dict;
}

Value Location::toDictionaryWithId() const {
    Value dict = toDictionary();
    if (id) dict["id"] = *id;
    return dict;
}

Location Location::copy() const {
    Location l = *this;
    l.id.reset();
    return l;
}

std::string Location::description() const {
    char head[96];
    std::snprintf(head, sizeof head, "Location: id=%lld time=%lld", static_cast<long long>(id.value_or(0)),
                  static_cast<long long>(time ? std::floor(seconds(*time)) : 0));
    return std::string(head) + " lat=" + numberText(latitude) + " lon=" + numberText(longitude) +
           " accu=" + numberText(accuracy) + " aaccu=" + numberText(altitudeAccuracy) + " speed=" + numberText(speed) +
           " bear=" + numberText(heading) + " alt=" + numberText(altitude) + " type=" + type.value_or("(null)");
}

Value Location::toDictionary(const platform::LocationFix& fix) {
    Location l = fromCLLocation(fix);
    return l.toDictionary();
}

double Location::locationAge(const platform::LocationFix& fix, const platform::Clock& clock) {
    return clock.secondsSince1970() - seconds(fix.timestamp);
}

bool Location::postAsJSON(const std::string& url, const std::optional<Config::HttpHeaders>& headers,
                          platform::Error* error, std::chrono::milliseconds timeout) const {
    const std::string json = platform::toJSONString(Value::array({toDictionary()}));
    platform::http::Request request;
    request.url = url;
    request.method = "POST";
    request.headers.emplace_back("Content-Type", "application/json");
    if (headers) {
        for (const auto& [name, value] : *headers)
            if (isSendable(name, value)) addValue(request.headers, name, value);
    }
    request.body.assign(json.begin(), json.end());
    // The answer's body means nothing here; a slow trickle must not hold the
    // caller's thread past the time-out either.
    request.collectBody = false;
    request.timeout = timeout;
    request.resourceTimeout = timeout;
    platform::http::Result result = platform::http::sendSynchronousRequest(std::move(request), uploadMayFollowRedirect);
    if (result.error) {
        platform::setError(error, std::move(*result.error));
        return false;
    }
    return result.response && result.response->statusCode == 200;
}

}  // namespace wharf
