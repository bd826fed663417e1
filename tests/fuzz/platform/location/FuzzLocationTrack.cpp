// A recorded track as `--location replay:FILE` reads it: the input is the
// file, GPX or NMEA told apart by its content. A file that is no track is
// refused with a reason. A track is replayed by the real source on a clock
// of this target's own: a second at a time for half a minute, then a leap to
// its end and beyond.
//
// Every point read and every fix replayed lies on the earth with finite
// numbers; the fixes come a second apart, never back in time and never after
// the clock's now; and in one second the device moves no further than the
// legs of the track in that second allow, each taken the short way round (a
// leg across the antimeridian is not a trip round the globe).
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "platform/location/Geodesy.h"
#include "platform/location/ReplayLocationSource.h"

using namespace wharf;
using namespace std::chrono_literals;
using platform::LocationCoordinate;
using platform::LocationFix;
using platform::LocationTrack;

namespace {

bool finite(const std::optional<double>& v) { return !v || std::isfinite(*v); }

bool finite(const LocationFix& f) {
    return std::isfinite(f.altitude) && std::isfinite(f.horizontalAccuracy) && std::isfinite(f.verticalAccuracy) &&
           std::isfinite(f.speed) && std::isfinite(f.course);
}

// The furthest a point moving along the leg from `a` to `b` can get from
// where it was: the leg's latitude and (the short way round) longitude
// spans, as arcs of the sphere.
double legBound(const LocationCoordinate& a, const LocationCoordinate& b) {
    const double east = std::fabs(b.longitude - a.longitude);
    const double degrees = std::fabs(b.latitude - a.latitude) + std::min(east, 360 - east);
    return degrees * M_PI / 180 * platform::kEarthRadiusMetres;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    fuzz::clearScratch();
    const std::string path = fuzz::scratchDir() + "/track";
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));

    platform::Error error;
    auto track = LocationTrack::load(path, &error);
    if (!track) {
        FUZZ_CHECK(error.domain == platform::kLocationTrackErrorDomain && !error.localizedDescription().empty());
        return 0;
    }
    const auto& points = track->points();
    FUZZ_CHECK(!points.empty());
    // Where each point lies in the track: by the points' times when every
    // point has one and they never go back, else a second apart.
    bool timed = true;
    for (std::size_t i = 0; i < points.size(); ++i) {
        const auto& p = points[i];
        FUZZ_CHECK(platform::isValidCoordinate(p.coordinate));
        FUZZ_CHECK(finite(p.altitude) && finite(p.hdop) && finite(p.vdop) && finite(p.speed) && finite(p.course) &&
                   finite(p.time));
        timed = timed && p.time && (i == 0 || *p.time >= *points[i - 1].time);
    }
    std::vector<double> offsets;
    for (std::size_t i = 0; i < points.size(); ++i)
        offsets.push_back(timed ? *points[i].time - *points.front().time : static_cast<double>(i));
    FUZZ_CHECK(track->duration() == offsets.back());
    // How far the device may get between two moments of the track: the legs
    // it may travel between them, each taken the short way round.
    auto reach = [&](double from, double to) {
        double metres = 0;
        for (std::size_t i = 1; i < points.size(); ++i)
            if (offsets[i] >= from && offsets[i - 1] <= to)
                metres += legBound(points[i - 1].coordinate, points[i].coordinate);
        return metres * (1 + 1e-9) + 1e-3;
    };

    auto clock = std::make_shared<platform::ManualClock>();
    auto source =
        platform::ReplayLocationSource::create(*track, "fuzz", clock, platform::ReplayLocationSource::Pacing::Manual);
    std::vector<LocationFix> fixes;
    const uint64_t token = source->addObserver([&](const LocationFix& f) { fixes.push_back(f); },
                                               [](const platform::Error&) { FUZZ_CHECK(false); });
    auto check = [&](std::size_t from) {
        for (std::size_t i = from; i < fixes.size(); ++i) {
            const LocationFix& f = fixes[i];
            FUZZ_CHECK(platform::isValidCoordinate(f.coordinate) && finite(f));
            FUZZ_CHECK(f.timestamp <= clock->now());
            if (i == 0) continue;
            const auto gap = f.timestamp - fixes[i - 1].timestamp;
            FUZZ_CHECK(gap >= 1s);
            if (gap != 1s) continue;
            const double second = std::chrono::duration<double>(f.timestamp - fixes.front().timestamp).count();
            FUZZ_CHECK(platform::distanceBetween(fixes[i - 1].coordinate, f.coordinate) <= reach(second - 1, second));
        }
    };
    source->pump();
    FUZZ_CHECK(fixes.size() == 1);
    check(0);
    for (int second = 0; second < 30; ++second) {
        const std::size_t from = fixes.size();
        clock->advance(1s);
        source->pump();
        FUZZ_CHECK(fixes.size() == from + 1);
        check(from);
    }
    // To the end of the track (a day at most: a long one is like any other
    // past its first day) and a second past it.
    const std::size_t from = fixes.size();
    clock->advance(std::chrono::duration_cast<std::chrono::nanoseconds>(
        std::chrono::duration<double>(std::min(track->duration(), 86400.0) + 1)));
    source->pump();
    check(from);
    source->removeObserver(token);
    return 0;
}
