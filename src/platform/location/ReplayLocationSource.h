#pragma once
// A recorded track replayed as a live receiver would report it: one fix a
// second along the track, starting when the source is first observed. Each
// fix is stamped with the time it stands for on today's clock (the recorded
// times only give the pace), so the location manager takes it as fresh. While
// nobody observes, the track goes on without reporting; after its last point
// the device stands there and the fixes keep coming.
//
// Tracks are GPX 1.0/1.1 (trkpt and rtept; ele, time, hdop, vdop, speed,
// course) or NMEA 0183 (RMC and GGA sentences; a sentence with a wrong
// checksum is skipped). Points between two recorded ones are interpolated.
// Horizontal accuracy is the point's HDOP times 5 m, or 10 m without one.
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/base/Clock.h"
#include "platform/base/Error.h"
#include "platform/location/LocationSource.h"

namespace wharf::platform {

inline constexpr const char* kLocationTrackErrorDomain = "wharf.LocationTrack";

struct TrackPoint {
    LocationCoordinate coordinate;
    std::optional<double> altitude;
    std::optional<double> hdop;
    std::optional<double> vdop;
    std::optional<double> speed;  // metres per second, as recorded
    std::optional<double> course;  // degrees, as recorded
    std::optional<double> time;  // seconds since 1970 (or since a midnight, for NMEA without a date)
};

class LocationTrack {
public:
    // Reads a GPX or NMEA file (told apart by content).
    static std::optional<LocationTrack> load(const std::string& path, Error* error);
    static std::optional<LocationTrack> parseGPX(std::string_view text, Error* error);
    static std::optional<LocationTrack> parseNMEA(std::string_view text, Error* error);
    // Points in order; seconds between them come from their times when every
    // point has one and they never go back, else one second each.
    static std::optional<LocationTrack> fromPoints(std::vector<TrackPoint> points, Error* error);

    const std::vector<TrackPoint>& points() const { return points_; }
    // Seconds from the first point to the last.
    double duration() const { return offsets_.empty() ? 0 : offsets_.back(); }
    // The position `offset` seconds into the track (the last point after its
    // end, standing still); the timestamp is left unset.
    LocationFix sampleAt(double offset) const;

private:
    std::vector<TrackPoint> points_;
    std::vector<double> offsets_;
};

class ReplayLocationSource : public LocationSource, public std::enable_shared_from_this<ReplayLocationSource> {
public:
    // RealTime: a main-loop timer reports each second. Manual: only pump()
    // reports (tests move a manual clock and pump).
    enum class Pacing { RealTime, Manual };

    static std::shared_ptr<ReplayLocationSource> create(LocationTrack track, std::string name,
                                                        std::shared_ptr<Clock> clock = nullptr,
                                                        Pacing pacing = Pacing::RealTime);
    ~ReplayLocationSource() override;

    std::string description() const override { return "replay:" + name_; }
    const LocationTrack& track() const { return track_; }

    // Main thread: reports the fixes that fell due since the last report, in
    // order (at most a minute's worth; older ones are skipped).
    void pump();

protected:
    void startDelivery() override;
    void stopDelivery() override;

private:
    ReplayLocationSource(LocationTrack track, std::string name, std::shared_ptr<Clock> clock, Pacing pacing);
    int64_t dueSecondLocked() const;
    // pump() on the main loop after `delay`, unless the source stops first.
    void pumpLaterLocked(std::chrono::milliseconds delay);

    const LocationTrack track_;
    const std::string name_;
    const std::shared_ptr<Clock> clock_;
    const Pacing pacing_;

    std::mutex stateMutex_;
    bool started_ = false;  // the track's clock runs from the first start
    bool delivering_ = false;
    Clock::MonoTime origin_{};
    int64_t nextSecond_ = 0;
    uint64_t generation_ = 0;  // bumped on stop: a pending timer of an older one does nothing
};

}  // namespace wharf::platform
