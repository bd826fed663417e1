// Recorded tracks replayed as a live receiver: GPX and NMEA reading, one fix a
// second along the track stamped with today's time, and no backlog after a
// time nobody listened.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"
#include "platform/location/ReplayLocationSource.h"

namespace {

using namespace wharf::platform;
using std::chrono::seconds;

const LocationCoordinate kStart{48.137, 11.575};

std::string gpx(const std::string& points) {
    return R"(<?xml version="1.0"?><gpx version="1.1" xmlns="http://www.topografix.com/GPX/1/1"><trk><trkseg>)" +
           points + "</trkseg></trk></gpx>";
}

std::string trkpt(const LocationCoordinate& c, const std::string& children) {
    char head[128];
    std::snprintf(head, sizeof head, R"(<trkpt lat="%.7f" lon="%.7f">)", c.latitude, c.longitude);
    return head + children + "</trkpt>";
}

std::string nmea(const std::string& body) {
    unsigned sum = 0;
    for (char c : body) sum ^= static_cast<unsigned char>(c);
    char tail[8];
    std::snprintf(tail, sizeof tail, "*%02X", sum);
    return "$" + body + tail + "\r\n";
}

double secondsBetween(Clock::WallTime a, Clock::WallTime b) { return std::chrono::duration<double>(b - a).count(); }

TEST(ReplayLocationSource, ReportsEachSecondOfTheTrackStampedNowAndSkipsTimeNobodyListened) {
    // A 10 s dwell, then 100 m north in 10 s; recorded years ago.
    const LocationCoordinate north = destinationPoint(kStart, 0, 100);
    Error error;
    auto track =
        LocationTrack::parseGPX(gpx(trkpt(kStart, "<ele>500</ele><time>2019-05-01T10:00:00Z</time><hdop>1.2</hdop>") +
                                    trkpt(kStart, "<ele>500</ele><time>2019-05-01T10:00:10Z</time><hdop>1.2</hdop>") +
                                    trkpt(north, "<ele>510</ele><time>2019-05-01T10:00:20Z</time><hdop>2</hdop>")),
                                &error);
    ASSERT_TRUE(track) << error.description();
    EXPECT_EQ(track->duration(), 20);

    auto clock = std::make_shared<ManualClock>();
    auto source = ReplayLocationSource::create(*track, "test.gpx", clock, ReplayLocationSource::Pacing::Manual);
    std::vector<LocationFix> fixes;
    const auto origin = clock->now();
    auto token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); }, [](const Error&) {});
    source->pump();
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].timestamp, origin);

    clock->advance(seconds(15));
    source->pump();
    ASSERT_EQ(fixes.size(), 16u);
    for (std::size_t i = 0; i < fixes.size(); ++i) EXPECT_EQ(secondsBetween(origin, fixes[i].timestamp), double(i));
    // The dwell stands still; the move is interpolated at its pace.
    EXPECT_NEAR(distanceBetween(kStart, fixes[9].coordinate), 0, 0.01);
    EXPECT_EQ(fixes[9].speed, 0);
    EXPECT_EQ(fixes[9].course, -1);
    EXPECT_NEAR(distanceBetween(kStart, fixes[15].coordinate), 50, 0.5);
    EXPECT_NEAR(fixes[15].speed, 10, 0.05);
    EXPECT_NEAR(fixes[15].course, 0, 0.01);
    EXPECT_NEAR(fixes[15].altitude, 505, 1e-9);
    EXPECT_DOUBLE_EQ(fixes[15].horizontalAccuracy, 6);  // HDOP 1.2 × 5 m

    // Nobody listens for a minute and a half: the device went on meanwhile,
    // and the first report is where it is now, standing at the end.
    source->removeObserver(token);
    clock->advance(seconds(90));
    fixes.clear();
    token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); }, [](const Error&) {});
    source->pump();
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_NEAR(distanceBetween(north, fixes[0].coordinate), 0, 0.01);
    EXPECT_EQ(fixes[0].speed, 0);
    EXPECT_EQ(secondsBetween(origin, fixes[0].timestamp), 105);
    EXPECT_DOUBLE_EQ(fixes[0].horizontalAccuracy, 10);

    // A stalled loop reports at most a minute's backlog.
    clock->advance(seconds(600));
    source->pump();
    EXPECT_EQ(fixes.size(), 61u);
    EXPECT_EQ(secondsBetween(origin, fixes.back().timestamp), 705);

    // The wall clock leaps an hour (a suspend the monotonic clock does not
    // count, or a step): the next fix is still stamped now, not an hour ago.
    clock->setNow(clock->now() + std::chrono::hours(1));
    clock->advance(seconds(1));
    fixes.clear();
    source->pump();
    ASSERT_EQ(fixes.size(), 1u);
    EXPECT_EQ(fixes[0].timestamp, clock->now());
    source->removeObserver(token);
}

TEST(ReplayLocationSource, RealTimePacingReportsTheCurrentPositionAtOnce) {
    auto track = LocationTrack::fromPoints({TrackPoint{kStart, {}, {}, {}, {}, {}, {}}}, nullptr);
    ASSERT_TRUE(track);
    auto source = ReplayLocationSource::create(*track, "one");
    int count = 0;
    auto token = source->addObserver([&](const LocationFix&) { ++count; }, [](const Error&) {});
    EXPECT_TRUE(RunLoop::pumpUntil([&] { return count == 1; }));
    source->removeObserver(token);
    // A stopped source's timer does nothing.
    RunLoop::pumpFor(std::chrono::milliseconds(1100));
    EXPECT_EQ(count, 1);
}

TEST(LocationTrack, NmeaEpochsMergeRmcAndGgaAndBadSentencesAreSkipped) {
    const std::string text = nmea("GPGGA,235958.00,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPRMC,235958.00,A,4807.038,N,01131.000,E,010.0,084.4,311225,003.1,W") +
                             // a checksum that does not hold
                             "$GPRMC,235959.00,A,4907.038,N,01131.000,E,010.0,084.4,311225,003.1,W*00\r\n" +
                             // no fix
                             nmea("GPRMC,235959.00,V,,,,,,,311225,,") +
                             // no place on earth: 99°N, 181.5°E, a sign inside the degrees
                             nmea("GPRMC,235959.20,A,9907.038,N,01131.000,E,010.0,084.4,311225,003.1,W") +
                             nmea("GPGGA,235959.40,4807.038,N,18131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPGGA,235959.60,48-7.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             // past midnight into the new year, GGA only
                             nmea("GNGGA,000001.50,4807.100,S,01131.000,W,1,08,2.0,10.0,M,46.9,M,,") + "garbage line\n";
    LogCapture capture;
    Error error;
    auto track = LocationTrack::parseNMEA(text, &error);
    ASSERT_TRUE(track) << error.description();
    ASSERT_EQ(track->points().size(), 2u);
    const TrackPoint& a = track->points()[0];
    EXPECT_NEAR(a.coordinate.latitude, 48 + 7.038 / 60, 1e-9);
    EXPECT_NEAR(a.coordinate.longitude, 11 + 31.0 / 60, 1e-9);
    EXPECT_EQ(a.hdop, 0.9);
    EXPECT_EQ(a.altitude, 545.4);
    EXPECT_NEAR(*a.speed, 5.14444, 1e-5);
    EXPECT_EQ(a.course, 84.4);
    // 2025-12-31T23:59:58Z
    EXPECT_EQ(*a.time, 1767225598.0);
    const TrackPoint& b = track->points()[1];
    EXPECT_LT(b.coordinate.latitude, 0);
    EXPECT_LT(b.coordinate.longitude, 0);
    EXPECT_EQ(*b.time - *a.time, 3.5);
    EXPECT_EQ(track->duration(), 3.5);
    EXPECT_TRUE(capture.contains("4 of 8 NMEA sentences were malformed or failed their checksum"));
}

TEST(LocationTrack, UnusableFilesAreRefusedWithTheReason) {
    wharf::test::TempDir dir;
    Error error;
    EXPECT_FALSE(LocationTrack::parseGPX("<gpx><trk><trkpt lat=\"1\" lon=\"2\"></trk></gpx>", &error));
    EXPECT_NE(error.localizedDescription().find("not well-formed"), std::string::npos);
    EXPECT_FALSE(LocationTrack::parseGPX(gpx(trkpt({95, 0}, "")), &error));  // latitude out of range
    EXPECT_EQ(error.localizedDescription(), "the track has no points with a position");
    EXPECT_FALSE(LocationTrack::parseGPX("<kml/>", &error));
    EXPECT_FALSE(LocationTrack::parseNMEA("just text\n", &error));
    EXPECT_EQ(error.localizedDescription(), "neither GPX nor NMEA");

    // Points whose times go back are replayed a second apart instead.
    auto track = LocationTrack::parseGPX(gpx(trkpt(kStart, "<time>2020-01-01T00:00:10Z</time>") +
                                             trkpt(kStart, "<time>2020-01-01T00:00:05Z</time>") + trkpt(kStart, "")),
                                         &error);
    ASSERT_TRUE(track);
    EXPECT_EQ(track->duration(), 2);

    wharf::test::writeFile(dir.file("bad.gpx"), "<gpx>");
    EXPECT_EQ(LocationSource::fromOption("replay:bad.gpx", dir.path(), &error), nullptr);
    EXPECT_NE(error.localizedDescription().find(dir.file("bad.gpx")), std::string::npos);
    wharf::test::writeFile(dir.file("ok.nmea"), nmea("GPRMC,120000,A,4807.038,N,01131.000,E,0,0,010120,,"));
    auto source = LocationSource::fromOption("replay:ok.nmea", dir.path(), &error);
    ASSERT_TRUE(source);
    EXPECT_EQ(source->description(), "replay:" + dir.file("ok.nmea"));
}

TEST(ReplayLocationSource, ATrackAcrossTheAntimeridianTakesTheShortWayRound) {
    // 2.2 km east across the date line in 10 s, and back west.
    const LocationCoordinate west{0, 179.99}, east{0, -179.99};
    Error error;
    auto track = LocationTrack::parseGPX(
        gpx(trkpt(west, "<time>2024-05-18T07:30:00Z</time>") + trkpt(east, "<time>2024-05-18T07:30:10Z</time>") +
            trkpt(west, "<time>2024-05-18T07:30:20Z</time>")),
        &error);
    ASSERT_TRUE(track) << error.description();
    auto clock = std::make_shared<ManualClock>();
    auto source = ReplayLocationSource::create(*track, "dateline.gpx", clock, ReplayLocationSource::Pacing::Manual);
    std::vector<LocationFix> fixes;
    auto token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); }, [](const Error&) {});
    clock->advance(seconds(20));
    source->pump();
    source->removeObserver(token);
    ASSERT_EQ(fixes.size(), 21u);
    const double segment = distanceBetween(west, east);
    EXPECT_NEAR(segment, 2224, 1);
    for (std::size_t i = 0; i < fixes.size(); ++i) {
        const auto& c = fixes[i].coordinate;
        SCOPED_TRACE(i);
        EXPECT_TRUE(isValidCoordinate(c)) << c.longitude;
        EXPECT_LE(distanceBetween(west, c), segment + 0.01);
        EXPECT_LE(distanceBetween(east, c), segment + 0.01);
        if (i > 0) {
            EXPECT_NEAR(distanceBetween(fixes[i - 1].coordinate, c), segment / 10, 0.01);
        }
        if (i == 20) break;
        EXPECT_NEAR(fixes[i].speed, segment / 10, 0.01);
        EXPECT_NEAR(fixes[i].course, i < 10 ? 90 : 270, 1e-6);
    }
    EXPECT_NEAR(std::abs(fixes[5].coordinate.longitude), 180, 1e-9);
    EXPECT_NEAR(fixes[7].coordinate.longitude, -179.996, 1e-9);
    EXPECT_NEAR(fixes[13].coordinate.longitude, -179.996, 1e-9);
    EXPECT_NEAR(fixes[17].coordinate.longitude, 179.996, 1e-9);
}

TEST(LocationTrack, NmeaTimesAndDatesWithASignOrAnExponentSpoilTheirSentence) {
    const std::string text = nmea("GPRMC,120000.00,A,4807.038,N,01131.000,E,0,0,010120,,") +
                             // minus a minute: read as a day later
                             nmea("GPGGA,12-100,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             // -3661 s
                             nmea("GPGGA,-1-1-1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPGGA,1200+1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPGGA,12005e1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPGGA,120001.5e1,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPGGA,12000.10,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,") +
                             nmea("GPRMC,120001.00,A,4807.038,N,01131.000,E,0,0,+10120,,") +
                             nmea("GPGGA,120002.5,4807.038,N,01131.000,E,1,08,0.9,545.4,M,46.9,M,,");
    LogCapture capture;
    Error error;
    auto track = LocationTrack::parseNMEA(text, &error);
    ASSERT_TRUE(track) << error.description();
    ASSERT_EQ(track->points().size(), 2u);
    EXPECT_EQ(*track->points()[0].time, 1577880000.0);  // 2020-01-01T12:00:00Z
    EXPECT_EQ(track->duration(), 2.5);
    EXPECT_TRUE(capture.contains("7 of 9 NMEA sentences were malformed or failed their checksum"));
}

TEST(LocationTrack, ExtremeRecordedValuesStillGiveFiniteFixes) {
    // Heights at the ends of what a double holds, a DOP whose error in metres
    // overflows: the fix in between has finite numbers.
    auto track = LocationTrack::parseGPX(gpx(trkpt(kStart, "<ele>-1.7e308</ele><hdop>1e308</hdop><vdop>1e308</vdop>") +
                                             trkpt(kStart, "<ele>1.7e308</ele>")),
                                         nullptr);
    ASSERT_TRUE(track);
    const LocationFix fix = track->sampleAt(0.5);
    EXPECT_EQ(fix.altitude, 0);
    EXPECT_EQ(fix.horizontalAccuracy, 10);  // as without a DOP
    EXPECT_EQ(fix.verticalAccuracy, -1);
}

}  // namespace
