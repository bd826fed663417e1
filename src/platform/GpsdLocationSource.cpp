#include "platform/GpsdLocationSource.h"

#include <gps.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <optional>
#include <thread>

#include "platform/Geodesy.h"
#include "platform/Log.h"
#include "platform/RunLoop.h"

namespace wharf::platform {

namespace {

constexpr int kRetryAfterOutageMs = 5000;
constexpr int kRetryAfterLossMs = 1000;

double finiteOr(double value, double fallback) { return std::isfinite(value) ? value : fallback; }

// A fix from what gpsd reported, when it holds a 2D or 3D position.
std::optional<LocationFix> fixFrom(const gps_data_t& data) {
    if (!(data.set & LATLON_SET) || data.fix.mode < MODE_2D) return std::nullopt;
    LocationFix fix;
    fix.coordinate = {data.fix.latitude, data.fix.longitude};
    if (!isValidCoordinate(fix.coordinate)) return std::nullopt;
    fix.altitude = finiteOr(data.fix.altMSL, finiteOr(data.fix.altHAE, 0));
    double horizontal = data.fix.eph;
    if (!std::isfinite(horizontal) && std::isfinite(data.fix.epx) && std::isfinite(data.fix.epy))
        horizontal = std::sqrt(data.fix.epx * data.fix.epx + data.fix.epy * data.fix.epy);
    fix.horizontalAccuracy = finiteOr(horizontal, -1);
    fix.verticalAccuracy = data.fix.mode >= MODE_3D ? finiteOr(data.fix.epv, -1) : -1;
    fix.speed = finiteOr(data.fix.speed, -1);
    fix.course = finiteOr(data.fix.track, -1);
    if ((data.set & TIME_SET) && (data.fix.time.tv_sec != 0 || data.fix.time.tv_nsec != 0)) {
        // A time beyond what the clock can count (a receiver's garbage) would
        // wrap around, possibly to a time near now: it stays as far off as it is.
        using Ticks = Clock::WallTime::duration;
        constexpr auto kLimit = std::chrono::duration_cast<std::chrono::seconds>(Ticks::max()).count() - 1;
        const auto seconds = static_cast<int64_t>(data.fix.time.tv_sec);
        if (seconds > kLimit)
            fix.timestamp = Clock::WallTime::max();
        else if (seconds < -kLimit)
            fix.timestamp = Clock::WallTime::min();
        else
            fix.timestamp = Clock::WallTime(std::chrono::duration_cast<Ticks>(
                std::chrono::seconds(seconds) + std::chrono::nanoseconds(data.fix.time.tv_nsec)));
    } else {
        fix.timestamp = Clock::shared()->now();
    }
    return fix;
}

bool sameFix(const LocationFix& a, const LocationFix& b) {
    return a.timestamp == b.timestamp && a.coordinate.latitude == b.coordinate.latitude &&
           a.coordinate.longitude == b.coordinate.longitude && a.altitude == b.altitude &&
           a.horizontalAccuracy == b.horizontalAccuracy && a.verticalAccuracy == b.verticalAccuracy &&
           a.speed == b.speed && a.course == b.course;
}

}  // namespace

// One run of the reader thread: stopped by its flag and a write to its wake fd.
struct GpsdLocationSource::Reader {
    std::atomic<bool> stopped{false};
    int wakeFd = -1;
    std::string host;
    std::string port;
    std::weak_ptr<GpsdLocationSource> source;

    ~Reader() {
        if (wakeFd >= 0) ::close(wakeFd);
    }
    void stop() {
        stopped = true;
        const uint64_t one = 1;
        [[maybe_unused]] auto n = ::write(wakeFd, &one, sizeof one);
    }
    // Sleeps until the timeout or a stop; true when stopped.
    bool sleep(int ms) const {
        pollfd fd{wakeFd, POLLIN, 0};
        while (::poll(&fd, 1, ms) < 0 && errno == EINTR) {}
        return stopped;
    }
};

std::shared_ptr<GpsdLocationSource> GpsdLocationSource::create(std::string host, std::string port) {
    return std::shared_ptr<GpsdLocationSource>(new GpsdLocationSource(std::move(host), std::move(port)));
}

GpsdLocationSource::GpsdLocationSource(std::string host, std::string port)
    : host_(std::move(host)), port_(std::move(port)) {}

GpsdLocationSource::~GpsdLocationSource() {
    if (reader_) reader_->stop();
}

std::string GpsdLocationSource::description() const {
    const bool v6 = host_.find(':') != std::string::npos;
    return "gpsd://" + (v6 ? "[" + host_ + "]" : host_) + ":" + port_;
}

void GpsdLocationSource::startDelivery() {
    auto reader = std::make_shared<Reader>();
    reader->wakeFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    reader->host = host_;
    reader->port = port_;
    reader->source = weak_from_this();
    reader_ = reader;
    const std::string where = description();
    // Detached: a connect that hangs must not hold up whoever stops the source.
    // The thread keeps only its own run's state and a weak reference.
    std::thread([reader, where] {
        // Only fixes of the run that is still current reach the observers.
        auto deliverFix = [reader](const LocationFix& fix) {
            RunLoop::performOnMain([reader, fix] {
                if (reader->stopped) return;
                if (auto s = reader->source.lock()) s->deliverFix(fix);
            });
        };
        auto deliverError = [reader](const std::string& text) {
            RunLoop::performOnMain([reader, text] {
                if (reader->stopped) return;
                if (auto s = reader->source.lock())
                    s->deliverError(Error::withDescription(kLocationErrorDomain, kLocationErrorLocationUnknown, text));
            });
        };
        bool outageReported = false;
        std::optional<LocationFix> lastFix;
        while (!reader->stopped) {
            gps_data_t data;
            std::memset(&data, 0, sizeof data);
            if (gps_open(reader->host.c_str(), reader->port.c_str(), &data) != 0) {
                if (!outageReported) {
                    const std::string text = "Cannot reach gpsd at " + where + ": " + gps_errstr(errno);
                    log("%s", text.c_str());
                    deliverError(text);
                    outageReported = true;
                }
                if (reader->sleep(kRetryAfterOutageMs)) break;
                continue;
            }
            gps_stream(&data, WATCH_ENABLE | WATCH_JSON, nullptr);
            bool lost = false;
            while (!reader->stopped && !lost) {
                pollfd fds[2] = {{data.gps_fd, POLLIN, 0}, {reader->wakeFd, POLLIN, 0}};
                if (::poll(fds, 2, -1) < 0) {
                    if (errno == EINTR) continue;
                    lost = true;
                    break;
                }
                if (fds[1].revents) break;
                if (!fds[0].revents) continue;
                // libgps buffers what it read: drain every complete report.
                do {
                    // What is set says what this report brought: a sky view or
                    // an attitude after a position must not repeat the position.
                    data.set = 0;
                    if (gps_read(&data, nullptr, 0) < 0) {
                        lost = true;
                        break;
                    }
                    auto fix = fixFrom(data);
                    if (!fix) continue;
                    outageReported = false;
                    // gpsd may report one cycle twice: the same fix once.
                    if (lastFix && sameFix(*lastFix, *fix)) continue;
                    lastFix = fix;
                    deliverFix(*fix);
                } while (gps_waiting(&data, 0));
            }
            gps_close(&data);
            if (lost && !reader->stopped) {
                const std::string text = "Lost the connection to gpsd at " + where;
                log("%s", text.c_str());
                if (!outageReported) deliverError(text);
                outageReported = true;
                if (reader->sleep(kRetryAfterLossMs)) break;
            }
        }
    }).detach();
}

void GpsdLocationSource::stopDelivery() {
    if (reader_) reader_->stop();
    reader_.reset();
}

}  // namespace wharf::platform
