// Positions from a real gpsd that gpsfake feeds with NMEA, and a gpsd that
// cannot be reached.
#include <gtest/gtest.h>

#include <cmath>
#include <ctime>
#include <vector>

#include "GpsFake.h"
#include "TestSupport.h"
#include "platform/GpsdLocationSource.h"
#include "platform/RunLoop.h"

namespace {

using namespace wharf::platform;

TEST(GpsdLocationSource, FixesFromGpsdCarryPositionAccuracySpeedAndTheirOwnTime) {
    wharf::test::TempDir dir;
    const std::time_t start = std::time(nullptr);
    wharf::test::writeFile(dir.file("track.nmea"), wharf::test::nmeaTrack(start, 30, 0.01));
    wharf::test::GpsFake fake(dir.file("track.nmea"));
    if (!fake.started()) GTEST_SKIP() << "gpsd cannot run here: " << fake.why();

    auto source = GpsdLocationSource::create("127.0.0.1", std::to_string(fake.port()));
    std::vector<LocationFix> fixes;
    std::vector<Error> errors;
    auto token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); },
                                     [&](const Error& e) { errors.push_back(e); });
    const bool enough = RunLoop::pumpUntil(
        [&] {
            int timed = 0;
            for (const auto& f : fixes) timed += f.speed >= 0 && f.horizontalAccuracy > 0;
            return timed >= 3;
        },
        std::chrono::seconds(20));
    source->removeObserver(token);
    ASSERT_TRUE(enough) << fixes.size() << " fixes";
    EXPECT_TRUE(errors.empty());
    for (const auto& f : fixes) {
        if (f.speed < 0) continue;  // a cycle gpsd reported before its RMC
        // Each fix is one of the epochs fed: its latitude and time agree.
        const double minutes = (f.coordinate.latitude - 48) * 60 - 7.038;
        const long epoch = std::lround(minutes / 0.01);
        ASSERT_GE(epoch, 0);
        ASSERT_LT(epoch, 30);
        EXPECT_NEAR(minutes, epoch * 0.01, 1e-6);
        const double seconds = std::chrono::duration<double>(f.timestamp.time_since_epoch()).count();
        EXPECT_DOUBLE_EQ(seconds, double(start + epoch));
        EXPECT_NEAR(f.coordinate.longitude, 11 + 31.0 / 60, 1e-9);
        EXPECT_NEAR(f.speed, 5.144, 0.001);  // 10 knots
        EXPECT_EQ(f.course, 0);
        // gpsd's estimate from the HDOP when the cycle had the GGA; else none
        // (-1), never a made-up 0 or NaN.
        if (f.horizontalAccuracy > 0) EXPECT_NEAR(f.altitude, 545.4, 1e-9);
        else EXPECT_EQ(f.horizontalAccuracy, -1);
    }
}

TEST(GpsdLocationSource, AnUnreachableGpsdIsReportedAndStoppingDoesNotWaitForTheReader) {
    // A loopback port nobody listens on: connections are refused at once.
    auto source = GpsdLocationSource::create("127.0.0.1", std::to_string(wharf::test::freeLoopbackPort()));
    std::vector<Error> errors;
    auto token = source->addObserver([](const LocationFix&) {}, [&](const Error& e) { errors.push_back(e); });
    ASSERT_TRUE(RunLoop::pumpUntil([&] { return !errors.empty(); }));
    EXPECT_EQ(errors[0].domain, kLocationErrorDomain);
    EXPECT_EQ(errors[0].code, kLocationErrorLocationUnknown);
    EXPECT_NE(errors[0].localizedDescription().find("Cannot reach gpsd at gpsd://127.0.0.1:"), std::string::npos);
    const auto before = std::chrono::steady_clock::now();
    source->removeObserver(token);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(100));
    RunLoop::pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(errors.size(), 1u);
}

}  // namespace
