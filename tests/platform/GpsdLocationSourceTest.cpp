// Positions from a real gpsd that gpsfake feeds with NMEA, a gpsd that
// cannot be reached, and one that reports nonsense.
#include <gtest/gtest.h>
#include <poll.h>

#include <atomic>
#include <cmath>
#include <ctime>
#include <stdexcept>
#include <thread>
#include <vector>

#include "GpsFake.h"
#include "TestSupport.h"
#include "platform/GpsdLocationSource.h"
#include "platform/RunLoop.h"

namespace {

using namespace wharf::platform;

// A gpsd of our own on a loopback port: it answers the first client that asks
// to watch with the given report lines and then holds the connection.
class ScriptedGpsd {
public:
    explicit ScriptedGpsd(std::vector<std::string> lines) {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::bind(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::listen(fd_, 1) != 0)
            throw std::runtime_error("cannot listen on 127.0.0.1");
        socklen_t len = sizeof addr;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&addr), &len);
        port_ = ntohs(addr.sin_port);
        thread_ = std::thread([this, lines = std::move(lines)] {
            int client = -1;
            while (client < 0) {  // a connection that asks nothing is not the source
                pollfd listening{fd_, POLLIN, 0};
                if (::poll(&listening, 1, 10000) <= 0) return;
                client = ::accept(fd_, nullptr, nullptr);
                char request[512];
                if (client >= 0 && ::read(client, request, sizeof request) <= 0) {  // ?WATCH={...}
                    ::close(client);
                    client = -1;
                }
            }
            for (const auto& line : lines) {
                const std::string text = line + "\r\n";
                // The source may hang up before the last line: no SIGPIPE for that.
                [[maybe_unused]] auto w = ::send(client, text.data(), text.size(), MSG_NOSIGNAL);
            }
            while (!stopped_) {
                pollfd peer{client, POLLIN, 0};
                ::poll(&peer, 1, 50);
            }
            ::close(client);
        });
    }
    ~ScriptedGpsd() {
        stopped_ = true;
        ::shutdown(fd_, SHUT_RDWR);
        thread_.join();
        ::close(fd_);
    }
    std::string port() const { return std::to_string(port_); }

private:
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stopped_{false};
    std::thread thread_;
};

std::string isoTime(std::time_t t) {
    std::tm tm{};
    gmtime_r(&t, &tm);
    char text[64];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S.000Z", &tm);
    return text;
}

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
    ScriptedGpsd gpsd({R"({"class":"VERSION","release":"3.22","rev":"3.22","proto_major":3,"proto_minor":14})",
                       tpv(isoTime(now), "48.1"), sky, R"({"class":"ATT","device":"/dev/ttyS0","heading":3.0})",
                       tpv(isoTime(now), "48.1"),  // the same cycle reported again
                       tpv(isoTime(now), "91.0"), R"({"class":"TPV","device":"/dev/ttyS0","mode":3,"la)",
                       tpv(wrapsToNow, "48.2"), sky, tpv(isoTime(now + 1), "48.3"), sky, sky});
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
