// Positions from a real gpsd that gpsfake feeds with NMEA, a gpsd that
// cannot be reached, and one that reports nonsense.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <filesystem>
#include <stdexcept>
#include <thread>
#include <vector>

#include "GpsFake.h"
#include "ScriptedGpsd.h"
#include "TestSupport.h"
#include "platform/base/Log.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/GpsdLocationSource.h"

namespace {

using namespace wharf::platform;

using wharf::test::ScriptedGpsd;

std::string isoTime(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return text;
}

const std::string kVersion = R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})";

std::string tpv(const std::string& time, const std::string& lat) {
    return R"({"class":"TPV","device":"/dev/ttyS0","mode":3,"time":")" + time + R"(","lat":)" + lat +
           R"(,"lon":11.5,"altHAE":500,"eph":5,"speed":1.5,"track":10})";
}

TEST(GpsdLocationSource, FixesFromGpsdCarryPositionAccuracySpeedAndTheirOwnTime) {
    wharf::test::TempDir dir;
    const std::time_t start = std::time(nullptr);
    wharf::test::writeFile(dir.file("track.nmea"), wharf::test::nmeaTrack(start, 30, 0.01));
    wharf::test::GpsFake fake(dir.file("track.nmea"));
    WHARF_REQUIRE_COMPONENT(fake.started(), "gpsd and gpsfake: " << fake.why());

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
        if (f.horizontalAccuracy > 0)
            EXPECT_NEAR(f.altitude, 545.4, 1e-9);
        else
            EXPECT_EQ(f.horizontalAccuracy, -1);
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
    // The reader now sleeps 5 s before it tries again: a stop that waited for
    // it would take seconds (the bound leaves a loaded machine room).
    const auto before = std::chrono::steady_clock::now();
    source->removeObserver(token);
    EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(1));
    RunLoop::pumpFor(std::chrono::milliseconds(50));
    EXPECT_EQ(errors.size(), 1u);
}

}  // namespace

namespace {

TEST(GpsdLocationSource, EachPositionGpsdReportsComesOnceAndATimeBeyondTheClockIsNotTakenForNow) {
    const std::time_t now = std::time(nullptr);
    const std::string sky = R"({"class":"SKY","device":"/dev/ttyS0","hdop":1.1,"satellites":[]})";
    // 2^64 ns after now: counted in nanoseconds it would come round to now.
    const std::string wrapsToNow = isoTime(now + 18446744074);
    ScriptedGpsd gpsd(ScriptedGpsd::lines(
        {kVersion, tpv(isoTime(now), "48.1"), sky, R"({"class":"ATT","device":"/dev/ttyS0","heading":3.0})",
         tpv(isoTime(now), "48.1"),  // the same cycle reported again
         tpv(isoTime(now), "91.0"), tpv(wrapsToNow, "48.2"), sky, tpv(isoTime(now + 1), "48.3"), sky, sky}));
    auto source = GpsdLocationSource::create("127.0.0.1", gpsd.port());
    std::vector<LocationFix> fixes;
    std::vector<Error> errors;
    auto token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); },
                                     [&](const Error& e) { errors.push_back(e); });
    const bool last = RunLoop::pumpUntil([&] { return !fixes.empty() && fixes.back().coordinate.latitude == 48.3; },
                                         std::chrono::seconds(20));
    source->removeObserver(token);
    ASSERT_TRUE(last) << fixes.size() << " fixes";
    EXPECT_TRUE(errors.empty());
    ASSERT_EQ(fixes.size(), 3u);
    EXPECT_EQ(fixes[0].coordinate.latitude, 48.1);
    EXPECT_EQ(fixes[0].timestamp, Clock::WallTime(std::chrono::seconds(now)));
    EXPECT_EQ(fixes[0].horizontalAccuracy, 5);
    // Far beyond any day ahead, so the location manager drops it.
    EXPECT_GT(fixes[1].timestamp, Clock::WallTime(std::chrono::seconds(now + 86400 * 365)));
    EXPECT_EQ(fixes[2].timestamp, Clock::WallTime(std::chrono::seconds(now + 1)));
}

}  // namespace

namespace {

// What one observer of a source got, until it leaves.
struct Watch {
    explicit Watch(std::shared_ptr<GpsdLocationSource> s) : source(std::move(s)) {
        token = source->addObserver([this](const LocationFix& f) { fixes.push_back(f); },
                                    [this](const Error& e) { errors.push_back(e); });
    }
    ~Watch() { leave(); }
    void leave() {
        if (token) source->removeObserver(token);
        token = 0;
    }
    bool waitForLatitude(double latitude) {
        return RunLoop::pumpUntil([&] { return !fixes.empty() && fixes.back().coordinate.latitude == latitude; },
                                  wharf::test::kHangDeadline);
    }
    std::vector<double> latitudes() const {
        std::vector<double> out;
        for (const auto& f : fixes) out.push_back(f.coordinate.latitude);
        return out;
    }
    std::shared_ptr<GpsdLocationSource> source;
    uint64_t token = 0;
    std::vector<LocationFix> fixes;
    std::vector<Error> errors;
};

std::string position(const std::string& lat, const std::string& extra = "") {
    return R"({"class":"TPV","mode":2,"lat":)" + lat + R"(,"lon":11.5)" + extra + "}";
}

std::size_t entriesIn(const char* directory) {
    std::size_t count = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(directory)) ++count;
    return count;
}

double processSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) / 1e9;
}

TEST(GpsdLocationSource, LinesThatAreNotReportsAreLoggedAndSkippedAndReadingGoesOn) {
    // A report cut short inside a key, one with a stray colon that sends
    // gpsd's own parser round for good, an array, a report far too long to
    // be gpsd's, bytes that are no UTF-8; then gpsd drops the connection,
    // as one that restarts, and takes the next one.
    const std::string overlong = position("48.5", R"(,"pad":")" + std::string(20000, 'x') + "\"");
    ScriptedGpsd gpsd(ScriptedGpsd::lines({kVersion, position("48.2")}));
    gpsd.queueScriptThenHangUp(
        ScriptedGpsd::lines({kVersion, R"({"class":"TPV","device":"/dev/ttyS0","mode":3,"la)", R"({:"class":"TPV")",
                             "[1,2]", overlong, position("48.4", ",\"device\":\"\xff\xfe\""), "", position("48.1")}));
    LogCapture capture;
    Watch watch(GpsdLocationSource::create("127.0.0.1", gpsd.port()));
    ASSERT_TRUE(watch.waitForLatitude(48.2)) << watch.fixes.size() << " fixes";
    EXPECT_EQ(watch.latitudes(), (std::vector<double>{48.1, 48.2}));
    const std::string where = "gpsd at gpsd://127.0.0.1:" + gpsd.port();
    ASSERT_EQ(watch.errors.size(), 1u);
    EXPECT_EQ(watch.errors[0].localizedDescription(), "Lost the connection to " + where);
    EXPECT_EQ(capture.count(where + " sent a line that is not a JSON object: skipped"), 4u);
    EXPECT_TRUE(capture.contains(where + " sent a report longer than 16384 bytes: skipped"));
    watch.leave();
    EXPECT_TRUE(gpsd.waitForHangups(1, wharf::test::kHangDeadline));
}

TEST(GpsdLocationSource, AnUnfinishedReportNeitherSpinsNorKeepsTheReaderFromStopping) {
    // A whole report, then the start of one that never ends, on a
    // connection the server keeps open.
    ScriptedGpsd gpsd(ScriptedGpsd::lines({kVersion, position("48.1")}) + R"({"class":"TPV")");
    const std::size_t threads = entriesIn("/proc/self/task"), descriptors = entriesIn("/proc/self/fd");
    auto source = GpsdLocationSource::create("127.0.0.1", gpsd.port());
    {
        Watch watch(source);
        ASSERT_TRUE(watch.waitForLatitude(48.1));
        // Waiting for the rest costs no CPU time (a spinning reader burns a
        // second a second).
        const double before = processSeconds();
        RunLoop::pumpFor(std::chrono::milliseconds(1000));
        EXPECT_LT(processSeconds() - before, 0.3);
        EXPECT_EQ(watch.fixes.size(), 1u);
    }
    ASSERT_TRUE(gpsd.waitForHangups(1, wharf::test::kHangDeadline));
    // Started and stopped over and over, it leaves no thread or connection behind.
    for (int cycle = 2; cycle <= 20; ++cycle) {
        Watch watch(source);
        ASSERT_TRUE(watch.waitForLatitude(48.1)) << "cycle " << cycle;
        watch.leave();
        ASSERT_TRUE(gpsd.waitForHangups(cycle, wharf::test::kHangDeadline)) << "cycle " << cycle;
    }
    EXPECT_TRUE(RunLoop::pumpUntil(
        [&] { return entriesIn("/proc/self/task") <= threads && entriesIn("/proc/self/fd") <= descriptors; },
        std::chrono::seconds(5)))
        << entriesIn("/proc/self/task") << " threads (" << threads << " before), " << entriesIn("/proc/self/fd")
        << " descriptors (" << descriptors << " before)";
}

TEST(GpsdLocationSource, AFixWhoseTimeIsNoTimeIsRefusedAndTheFractionOfASecondCounts) {
    ScriptedGpsd gpsd(ScriptedGpsd::lines({
        kVersion,
        // fractions whose nanoseconds overflow
        position("48.6", R"(,"time":"2024-05-18T07:30:00.1e308Z")"),
        position("48.7", R"(,"time":"1969-12-31T23:59:59.1e308Z")"),
        // a sign, a time zone, a day that does not exist, no time at all
        position("48.8", R"(,"time":"2024-05-18T07:30:-1.000Z")"),
        position("48.9", R"(,"time":"2024-05-18T07:30:00+02:00")"),
        position("49.0", R"(,"time":"2023-02-29T07:30:00.000Z")"), position("49.1", R"(,"time":1716017400)"),
        position("48.1", R"(,"time":"2024-05-18T07:30:00.123456789Z")"),
        position("48.2", R"(,"time":"2016-12-31T23:59:60Z")"),  // a leap second
    }));
    LogCapture capture;
    Watch watch(GpsdLocationSource::create("127.0.0.1", gpsd.port()));
    ASSERT_TRUE(watch.waitForLatitude(48.2)) << watch.fixes.size() << " fixes";
    ASSERT_EQ(watch.latitudes(), (std::vector<double>{48.1, 48.2}));
    using std::chrono::nanoseconds;
    using std::chrono::seconds;
    EXPECT_EQ(watch.fixes[0].timestamp.time_since_epoch(), seconds(1716017400) + nanoseconds(123456789));
    EXPECT_EQ(watch.fixes[1].timestamp.time_since_epoch(), seconds(1483228800));
    EXPECT_EQ(capture.count("sent a line that is not a JSON object"), 0u);
    EXPECT_EQ(capture.count("reported a time that is not a UTC date and time: the fix is skipped"), 6u);
}

}  // namespace
