#include <gtest/gtest.h>

#include "plugins/background-geolocation/Config.h"

using namespace wharf;
using platform::Value;

namespace {

Config configFrom(const char* json) { return Config::fromDictionary(Value::parse(json)); }

TEST(ConfigTest, DefaultsAndDescription) {
    const Config c = configFrom("{}");
    EXPECT_EQ(c.description(),
              "Config: distanceFilter=500 stationaryRadius=50 desiredAccuracy=100 activityType=OTHER isDebugging=0 "
              "stopOnTerminate=0 url=(null) httpHeaders=(null) pauseLocationUpdates=1");
    EXPECT_TRUE(c.saveBatteryOnBackground);
    EXPECT_EQ(c.syncThreshold, 100);
    EXPECT_EQ(c.maxLocations, 10000);
    EXPECT_FALSE(c.syncUrl);
}

TEST(ConfigTest, EveryOptionIsTakenAndNullKeepsTheDefault) {
    const Config c = configFrom(R"({"debug": true, "stopOnTerminate": 1, "saveBatteryOnBackground": false,
        "pauseLocationUpdates": "NO", "stationaryRadius": 25.9, "distanceFilter": "120", "desiredAccuracy": 10,
        "activityType": "fitness", "url": "http://127.0.0.1/a", "syncUrl": "http://127.0.0.1/b",
        "syncThreshold": 5, "httpHeaders": {"X-A": "1"}, "maxLocations": 3, "unknown": [1]})");
    EXPECT_EQ(c.description(),
              "Config: distanceFilter=120 stationaryRadius=25 desiredAccuracy=10 activityType=fitness isDebugging=1 "
              "stopOnTerminate=1 url=http://127.0.0.1/a httpHeaders={\"X-A\":\"1\"} pauseLocationUpdates=0");
    EXPECT_FALSE(c.saveBatteryOnBackground);
    EXPECT_EQ(c.syncUrl, "http://127.0.0.1/b");
    EXPECT_EQ(c.syncThreshold, 5);
    EXPECT_EQ(c.maxLocations, 3);
    EXPECT_EQ(c.decodeActivityType(), kLocationActivityTypeFitness);
    EXPECT_EQ(c.decodeDesiredAccuracy(), kLocationAccuracyNearestTenMeters);

    const Config nulls = configFrom(R"({"distanceFilter": null, "debug": null, "url": null, "httpHeaders": null,
                                        "activityType": null})");
    EXPECT_EQ(nulls.description(), configFrom("{}").description());

    // Batch uploads go to the fix address unless they have their own.
    EXPECT_EQ(configFrom(R"({"url": "http://h/u", "syncUrl": null})").syncUrl, "http://h/u");
    const Config empty = configFrom(R"({"url": ""})");
    EXPECT_FALSE(empty.hasUrl());
    EXPECT_FALSE(empty.hasSyncUrl());
}

TEST(ConfigTest, DecodedAccuracyAndActivity) {
    Config c;
    for (auto [metres, decoded] :
         {std::pair<int64_t, int64_t>{5, -1}, {50, 10}, {500, 100}, {5000, 1000}, {-10, 100}}) {
        c.desiredAccuracy = metres;
        EXPECT_EQ(c.decodeDesiredAccuracy(), decoded) << metres;
    }
    c.activityType = "AUTOMOTIVENAVIGATION";
    EXPECT_EQ(c.decodeActivityType(), kLocationActivityTypeAutomotiveNavigation);
    c.activityType = std::string("Fitness\0x", 9);  // not the word with something after it
    EXPECT_EQ(c.decodeActivityType(), kLocationActivityTypeOther);
}

TEST(ConfigTest, OptionsOfTheWrongKindKeepTheirDefaults) {
    const Config c = configFrom(R"({"distanceFilter": [1], "debug": {"a": 1}, "activityType": 7,
        "url": 42, "syncUrl": ["x"], "maxLocations": {}, "httpHeaders": {"X-N": 1.5, "X-B": true,
        "X-Null": null, "X-Arr": [1], "X-Obj": {}, "X-S": "s"}})");
    EXPECT_EQ(c.distanceFilter, 500);
    EXPECT_FALSE(c.isDebugging);
    EXPECT_EQ(c.activityType, "OTHER");
    EXPECT_FALSE(c.url);
    EXPECT_FALSE(c.syncUrl);
    EXPECT_EQ(c.maxLocations, 10000);
    EXPECT_EQ(c.httpHeaders, (Config::HttpHeaders{{"X-N", "1.5"}, {"X-B", "true"}, {"X-S", "s"}}));

    EXPECT_FALSE(configFrom(R"({"httpHeaders": "X-A: 1"})").httpHeaders);
    for (const char* notAnObject : {"[1, 2]", "\"options\"", "7", "null"})
        EXPECT_EQ(configFrom(notAnObject).description(), Config().description()) << notAnObject;
}

}  // namespace
