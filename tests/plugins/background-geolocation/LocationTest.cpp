#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "GeolocationTestSupport.h"
#include "RawHttpServer.h"
#include "TestSupport.h"
#include "platform/net/Http.h"
#include "plugins/background-geolocation/SQLiteLocationDAO.h"

using namespace wharf;
using namespace std::chrono_literals;
using test::fixAt;

namespace {

TEST(LocationTest, BetterFixTest) {
    const Location base = fixAt(1000, 10.9);
    // Whole metres decide: 10.2 is not more accurate than 10.9, so only a newer fix wins.
    EXPECT_TRUE(fixAt(1001, 10.2).isBetterLocation(&base));
    EXPECT_FALSE(fixAt(999, 10.2).isBetterLocation(&base));
    EXPECT_TRUE(fixAt(999, 9.9).isBetterLocation(&base));
    // Newer but more than 200 m worse loses; exactly 120 s newer takes no shortcut.
    EXPECT_FALSE(fixAt(1100, 300).isBetterLocation(&base));
    EXPECT_FALSE(fixAt(1120, 300).isBetterLocation(&base));
    EXPECT_TRUE(fixAt(1121, 300).isBetterLocation(&base));
    EXPECT_FALSE(fixAt(879, 1).isBetterLocation(&base));
    EXPECT_FALSE(base.isBetterLocation(nullptr));

    // A negative accuracy is no accuracy: it never wins, and any real accuracy beats it.
    const Location unknown = fixAt(1000, -1);
    EXPECT_TRUE(unknown.hasAccuracy());
    EXPECT_FALSE(unknown.hasAccuracyEstimate());
    EXPECT_FALSE(fixAt(999, -1).isBetterLocation(&base));
    EXPECT_FALSE(fixAt(1001, -1).isBetterLocation(&base));
    EXPECT_FALSE(fixAt(2000, -1).isBetterLocation(&base));
    EXPECT_TRUE(fixAt(999, 500).isBetterLocation(&unknown));
}

TEST(LocationTest, DistanceIsEquirectangular) {
    Location a = fixAt(0), b = fixAt(0);
    a.latitude = 0, a.longitude = 0;
    b.latitude = 1, b.longitude = 0;
    // One degree of latitude on the equatorial radius.
    EXPECT_NEAR(a.distanceFromLocation(b), 111319.49, 0.05);
    b.latitude = 60, b.longitude = 1;
    a.latitude = 60;
    EXPECT_NEAR(a.distanceFromLocation(b), 111319.49 / 2, 0.05);
    a.accuracy = 30, b.accuracy = 25;
    EXPECT_TRUE(a.isBeyond(b, 55600));
    EXPECT_FALSE(a.isBeyond(b, 55605));
}

// One fix posted to a loopback server, and what the answer does to its row.
class LocationPostTest : public ::testing::Test {
protected:
    test::TempHome home_;
    std::atomic<int> status_{200};
    test::RawHttpServer server_{[this](const test::RawRequest&) { return test::rawResponse(status_, "{}"); }};
};

TEST_F(LocationPostTest, OneFixArrivesAsAJsonArrayWithTheConfiguredHeaders) {
    platform::LocationFix platformFix;
    platformFix.coordinate = {52.5, 13.25};
    platformFix.altitude = 34;
    platformFix.horizontalAccuracy = 5;
    platformFix.verticalAccuracy = 8;
    platformFix.speed = 2;
    platformFix.course = -1;  // no course: still sent, as heading and bearing
    platformFix.timestamp = dateWithSecondsSince1970(1700000000.25);
    Location fix = Location::fromCLLocation(platformFix);
    fix.type = "current";
    fix.id = 4;  // the row id stays at home
    Config config = Config::fromDictionary(platform::Value::parse(R"({
        "url": "x", "httpHeaders": {"content-type": "text/plain", "X-Api-Key": "k1", "X-Retries": 3,
                                    "X-Bad": "a\r\nInjected: yes", "Content-Length": "1"}})"));
    platform::Error error;
    ASSERT_TRUE(fix.postAsJSON(server_.url("/locations"), config.httpHeaders, &error)) << error.description();

    auto requests = server_.requests();
    ASSERT_EQ(requests.size(), 1u);
    const auto& r = requests[0];
    EXPECT_EQ(r.method, "POST");
    EXPECT_EQ(r.path, "/locations");
    EXPECT_EQ(r.header("Content-Type"), "application/json,text/plain");
    EXPECT_EQ(r.header("X-Api-Key"), "k1");
    EXPECT_EQ(r.header("X-Retries"), "3");
    EXPECT_EQ(r.header("X-Bad"), "");
    EXPECT_EQ(r.header("Injected"), "");
    EXPECT_EQ(r.header("Content-Length"), std::to_string(r.body.size()));
    EXPECT_EQ(platform::Value::parse(r.body), platform::Value::parse(R"([{"time": 1700000000250, "accuracy": 5,
        "altitudeAccuracy": 8, "speed": 2, "heading": -1, "bearing": -1, "altitude": 34, "latitude": 52.5,
        "longitude": 13.25, "location_type": "current"}])"));
    EXPECT_EQ(Location().toDictionary(), platform::Value::object());
}

TEST(LocationPostFailureTest, SilentServerAndBadUrlAreErrors) {
    test::RawHttpServer silent([](const test::RawRequest&) { return test::RawReply{"", true}; });
    platform::Error error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(fixAt(1).postAsJSON(silent.url("/"), std::nullopt, &error, 300ms));
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(error.code, platform::http::URLErrorTimedOut);

    platform::Error bad;
    EXPECT_FALSE(fixAt(1).postAsJSON("file:///etc/passwd", std::nullopt, &bad));
    EXPECT_EQ(bad.domain, platform::http::kURLErrorDomain);
}

}  // namespace
