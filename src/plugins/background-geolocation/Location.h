#pragma once
// One position fix as it crosses the geolocation plug-in: made from a fix of
// the location service, judged against the best of its batch, stored in the
// location table, handed to the page in its dictionary form and posted to the
// configured server.
#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/Clock.h"
#include "platform/base/Error.h"
#include "platform/base/Value.h"
#include "platform/location/LocationFix.h"
#include "platform/net/Http.h"
#include "plugins/background-geolocation/Config.h"

namespace wharf {

// For the posts of fixes and batches: a redirect is followed only when it
// keeps the POST and its body (307, 308). One that turns it into a GET (301,
// 302, 303) would deliver nothing and still answer 200: it ends the upload
// as a failure, with the redirect's status.
bool uploadMayFollowRedirect(const platform::http::Response& redirect, platform::http::Request& next);

class Location {
public:
    using Time = platform::Clock::WallTime;

    // Valid, every other field unset.
    Location() = default;
    // Type, provider, service provider and id stay unset.
    static Location fromCLLocation(const platform::LocationFix& fix);

    bool isValid = true;
    std::optional<int64_t> id;  // row id in the location table
    std::optional<Time> time;
    std::optional<double> accuracy;  // metres; negative: the service has none
    std::optional<double> altitudeAccuracy;
    std::optional<double> speed;  // metres per second; negative when unknown
    std::optional<double> heading;  // degrees; negative when unknown
    std::optional<double> altitude;
    std::optional<double> latitude;
    std::optional<double> longitude;
    std::optional<std::string> provider;
    std::optional<int32_t> serviceProvider;
    std::optional<std::string> type;  // "current" or "stationary"

    // Seconds since `time` (0 without one).
    double locationAge(const platform::Clock& clock) const;
    double locationAge() const { return locationAge(*platform::Clock::shared()); }
    // An accuracy is set (negative when the source has no estimate).
    bool hasAccuracy() const;
    // A usable horizontal accuracy: set, finite and not negative.
    bool hasAccuracyEstimate() const;
    // False only for a time more than a day ahead.
    bool hasTime(const platform::Clock& clock) const;
    bool hasTime() const { return hasTime(*platform::Clock::shared()); }
    // Whether this fix should replace `other` as the best of a batch. A fix
    // without an accuracy estimate never replaces one with an estimate.
    bool isBetterLocation(const Location* other) const;

    platform::LocationCoordinate coordinate() const;
    // Metres, by the equirectangular approximation.
    double distanceFromLocation(const Location& other) const;
    bool isBeyond(const Location& other, int64_t radius) const;

    // The JSON form: only the fields that are set; "time" in milliseconds.
    platform::Value toDictionary() const;
    // The same with "id" when the fix has one.
    platform::Value toDictionaryWithId() const;
    // Every field but `id`.
    Location copy() const;
    std::string description() const;

    static platform::Value toDictionary(const platform::LocationFix& fix);
    static double locationAge(const platform::LocationFix& fix, const platform::Clock& clock);

    // POSTs this fix as a one-element JSON array, synchronously on the calling
    // thread. True exactly when the server answers 200. A transport failure
    // fills `error`; any other status leaves it untouched. Header values are
    // added to the field of that name (a configured Content-Type follows
    // "application/json" after a comma); a header that could not be sent
    // safely is left out with a log line.
    bool postAsJSON(const std::string& url, const std::optional<Config::HttpHeaders>& headers, platform::Error* error,
                    std::chrono::milliseconds timeout = std::chrono::seconds(60)) const;
};

}  // namespace wharf
