#pragma once
// The geolocation plug-in's settings, built from the options object the page
// passes to `configure`, with the two options the location service needs
// decoded for it.
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

// Accuracy constants of the location service, as integers.
enum LocationAccuracy : int64_t {
    kLocationAccuracyBest = -1,
    kLocationAccuracyNearestTenMeters = 10,
    kLocationAccuracyHundredMeters = 100,
    kLocationAccuracyKilometer = 1000,
};

// Activity types of the location service.
enum LocationActivityType : int64_t {
    kLocationActivityTypeOther = 1,
    kLocationActivityTypeAutomotiveNavigation = 2,
    kLocationActivityTypeFitness = 3,
    kLocationActivityTypeOtherNavigation = 4,
};

class Config {
public:
    using HttpHeaders = std::map<std::string, std::string>;

    Config() = default;

    // Starts from the defaults and takes every option present and not null.
    // An option of the wrong kind (an array for a number, a number for a URL,
    // a header value that is neither text nor a number) keeps its default and
    // is reported in the log; unknown keys are ignored.
    static Config fromDictionary(const platform::Value& options);

    bool isDebugging = false;
    bool stopOnTerminate = false;
    bool saveBatteryOnBackground = true;
    bool pauseLocationUpdates = true;
    int64_t stationaryRadius = 50;
    int64_t distanceFilter = 500;
    int64_t desiredAccuracy = 100;
    std::string activityType = "OTHER";
    std::optional<std::string> url;
    std::optional<std::string> syncUrl;
    int64_t syncThreshold = 100;
    std::optional<HttpHeaders> httpHeaders;
    int64_t maxLocations = 10000;

    bool hasUrl() const { return url && !url->empty(); }
    bool hasSyncUrl() const { return syncUrl && !syncUrl->empty(); }

    // One of the LocationAccuracy constants.
    int64_t decodeDesiredAccuracy() const;
    // One of the LocationActivityType constants.
    int64_t decodeActivityType() const;

    std::string description() const;
};

}  // namespace wharf
