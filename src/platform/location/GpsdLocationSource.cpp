#include "platform/location/GpsdLocationSource.h"

#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>
#include <thread>
#include <utility>

#include "platform/base/FileDescriptor.h"
#include "platform/base/Log.h"
#include "platform/base/Value.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"

namespace wharf::platform {

namespace {

constexpr int kRetryAfterOutageMs = 5000;
constexpr int kRetryAfterLossMs = 1000;
constexpr int kConnectTimeoutMs = 10000;
// gpsd's longest report, a sky view of every satellite in view, stays well
// below this; a peer that sends more without a line break is not gpsd.
constexpr std::size_t kMaxReportBytes = 16384;
constexpr std::string_view kWatch = "?WATCH={\"enable\":true,\"json\":true};\n";

std::optional<double> numberIn(const Value& report, const char* key) {
    const auto it = report.find(key);
    if (it == report.end() || !it->is_number()) return std::nullopt;
    const double value = it->get<double>();
    if (!std::isfinite(value)) return std::nullopt;
    return value;
}

// Exactly `count` decimal digits at `at`.
std::optional<int> digitsAt(std::string_view text, std::size_t at, std::size_t count) {
    if (at + count > text.size()) return std::nullopt;
    int value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return std::nullopt;
        value = value * 10 + (text[i] - '0');
    }
    return value;
}

// gpsd's "YYYY-MM-DDThh:mm:ss[.fraction]Z": seconds since 1970 and the
// nanoseconds of the fraction, or nothing for any other text.
std::optional<std::pair<int64_t, int64_t>> parseGpsdTime(std::string_view text) {
    const auto year = digitsAt(text, 0, 4), month = digitsAt(text, 5, 2), day = digitsAt(text, 8, 2);
    const auto hour = digitsAt(text, 11, 2), minute = digitsAt(text, 14, 2), second = digitsAt(text, 17, 2);
    if (!year || !month || !day || !hour || !minute || !second) return std::nullopt;
    if (text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' || text[16] != ':') return std::nullopt;
    const std::chrono::year_month_day date{std::chrono::year(*year), std::chrono::month(static_cast<unsigned>(*month)),
                                           std::chrono::day(static_cast<unsigned>(*day))};
    // 60 is a leap second.
    if (!date.ok() || *hour > 23 || *minute > 59 || *second > 60) return std::nullopt;
    std::size_t at = 19;
    int64_t nanoseconds = 0;
    if (at < text.size() && text[at] == '.') {
        const std::size_t first = ++at;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
        if (at == first) return std::nullopt;
        // Digits past the ninth are below a nanosecond.
        int64_t scale = 100000000;
        for (std::size_t i = first; i < at && scale > 0; ++i, scale /= 10) nanoseconds += (text[i] - '0') * scale;
    }
    if (at + 1 != text.size() || text[at] != 'Z') return std::nullopt;
    const int64_t days = std::chrono::sys_days(date).time_since_epoch().count();
    return std::pair{days * 86400 + *hour * 3600 + *minute * 60 + *second, nanoseconds};
}

// A time beyond what the clock can count would wrap around, possibly to a
// time near now: it stays as far off as it is.
Clock::WallTime wallTimeOf(int64_t seconds, int64_t nanoseconds) {
    using Ticks = Clock::WallTime::duration;
    constexpr auto kLimit = std::chrono::duration_cast<std::chrono::seconds>(Ticks::max()).count() - 1;
    if (seconds > kLimit) return Clock::WallTime::max();
    if (seconds < -kLimit) return Clock::WallTime::min();
    return Clock::WallTime(
        std::chrono::duration_cast<Ticks>(std::chrono::seconds(seconds) + std::chrono::nanoseconds(nanoseconds)));
}

// A fix from one report, when it is a position report with a 2D or 3D fix.
// `refusal` says why a position report was not taken.
std::optional<LocationFix> fixFrom(const Value& report, std::string* refusal) {
    const auto kind = report.find("class");
    if (kind == report.end() || *kind != "TPV") return std::nullopt;
    const auto mode = numberIn(report, "mode");
    const auto latitude = numberIn(report, "lat"), longitude = numberIn(report, "lon");
    if (!mode || *mode < 2 || !latitude || !longitude) return std::nullopt;
    LocationFix fix;
    fix.coordinate = {*latitude, *longitude};
    if (!isValidCoordinate(fix.coordinate)) {
        *refusal = "a position off the earth";
        return std::nullopt;
    }
    fix.altitude = numberIn(report, "altMSL").value_or(numberIn(report, "altHAE").value_or(0));
    auto horizontal = numberIn(report, "eph");
    const auto epx = numberIn(report, "epx"), epy = numberIn(report, "epy");
    if (!horizontal && epx && epy) horizontal = std::sqrt(*epx * *epx + *epy * *epy);
    fix.horizontalAccuracy = horizontal && std::isfinite(*horizontal) ? *horizontal : -1;
    fix.verticalAccuracy = *mode >= 3 ? numberIn(report, "epv").value_or(-1) : -1;
    fix.speed = numberIn(report, "speed").value_or(-1);
    fix.course = numberIn(report, "track").value_or(-1);
    const auto time = report.find("time");
    if (time == report.end()) {
        fix.timestamp = Clock::shared()->now();
        return fix;
    }
    const auto parsed = time->is_string() ? parseGpsdTime(time->get_ref<const std::string&>()) : std::nullopt;
    if (!parsed) {
        *refusal = "a time that is not a UTC date and time";
        return std::nullopt;
    }
    // A receiver without a time yet reports the epoch.
    fix.timestamp =
        parsed->first == 0 && parsed->second == 0 ? Clock::shared()->now() : wallTimeOf(parsed->first, parsed->second);
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
    std::string where;
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
    // Waits until `fd` has `events` (true) or a stop, an error or the
    // timeout (-1: none) comes first (false).
    bool waitFor(int fd, short events, int timeoutMs) const {
        for (;;) {
            pollfd fds[2] = {{fd, events, 0}, {wakeFd, POLLIN, 0}};
            const int n = ::poll(fds, 2, timeoutMs);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || fds[1].revents || stopped) return false;
            return fds[0].revents != 0;
        }
    }

    // A connected socket, or none with `why` set (empty when stopped).
    FileDescriptor connect(std::string& why) const;
    // Reads reports until the connection drops (true) or the reader is stopped (false).
    bool readReports(const FileDescriptor& socket, const std::function<void(std::string_view)>& onLine) const;
};

FileDescriptor GpsdLocationSource::Reader::connect(std::string& why) const {
    addrinfo hints{};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (const int rc = ::getaddrinfo(host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        why = ::gai_strerror(rc);
        return FileDescriptor();
    }
    std::unique_ptr<addrinfo, void (*)(addrinfo*)> addresses(found, ::freeaddrinfo);
    why = "no address";
    for (const addrinfo* a = found; a && !stopped; a = a->ai_next) {
        FileDescriptor s(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
        if (s.get() < 0) {
            why = errnoText(errno);
            continue;
        }
        if (::connect(s.get(), a->ai_addr, a->ai_addrlen) != 0) {
            if (errno != EINPROGRESS) {
                why = errnoText(errno);
                continue;
            }
            if (!waitFor(s.get(), POLLOUT, kConnectTimeoutMs)) {
                why = stopped ? "" : "no answer";
                continue;
            }
            int error = 0;
            socklen_t length = sizeof error;
            ::getsockopt(s.get(), SOL_SOCKET, SO_ERROR, &error, &length);
            if (error != 0) {
                why = errnoText(error);
                continue;
            }
        }
        const auto sent = ::send(s.get(), kWatch.data(), kWatch.size(), MSG_NOSIGNAL);
        if (sent != static_cast<ssize_t>(kWatch.size())) {
            why = sent < 0 ? errnoText(errno) : "the request to watch was cut short";
            continue;
        }
        return s;
    }
    if (stopped) why.clear();
    return FileDescriptor();
}

bool GpsdLocationSource::Reader::readReports(const FileDescriptor& socket,
                                             const std::function<void(std::string_view)>& onLine) const {
    std::string line;
    bool overlong = false;  // the rest of an overlong line is dropped up to its end
    char chunk[8192];
    while (!stopped) {
        if (!waitFor(socket.get(), POLLIN, -1)) return !stopped;
        const auto n = ::recv(socket.get(), chunk, sizeof chunk, 0);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        if (n <= 0) return true;
        std::string_view rest(chunk, static_cast<std::size_t>(n));
        while (!rest.empty() && !stopped) {
            const auto end = rest.find('\n');
            if (!overlong) line.append(rest.substr(0, end));
            if (!overlong && line.size() > kMaxReportBytes) {
                log("gpsd at %s sent a report longer than %zu bytes: skipped", where.c_str(), kMaxReportBytes);
                overlong = true;
                std::string().swap(line);
            }
            if (end == std::string_view::npos) break;
            if (!overlong) onLine(line);
            line.clear();
            overlong = false;
            rest.remove_prefix(end + 1);
        }
    }
    return false;
}

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
    reader->where = description();
    reader->source = weak_from_this();
    reader_ = reader;
    // Detached: a name lookup that hangs must not hold up whoever stops the
    // source. The thread keeps only its own run's state and a weak reference;
    // a stop ends it (and closes its connection) at its next wait.
    std::thread([reader] {
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
        const std::string& where = reader->where;
        bool outageReported = false;
        std::optional<LocationFix> lastFix;
        // Every line is checked as JSON here: gpsd's own client library spins
        // for good on some malformed reports.
        auto onLine = [&](std::string_view line) {
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (line.empty()) return;
            const auto report = parseJSON(line);
            if (!report || !report->is_object()) {
                log("gpsd at %s sent a line that is not a JSON object: skipped", where.c_str());
                return;
            }
            std::string refusal;
            auto fix = fixFrom(*report, &refusal);
            if (!fix) {
                if (!refusal.empty()) log("gpsd at %s reported %s: the fix is skipped", where.c_str(), refusal.c_str());
                return;
            }
            outageReported = false;
            // gpsd may report one cycle twice: the same fix once.
            if (lastFix && sameFix(*lastFix, *fix)) return;
            lastFix = fix;
            deliverFix(*fix);
        };
        while (!reader->stopped) {
            std::string why;
            FileDescriptor socket = reader->connect(why);
            if (socket.get() < 0) {
                if (reader->stopped) break;
                if (!outageReported) {
                    const std::string text = "Cannot reach gpsd at " + where + ": " + why;
                    log("%s", text.c_str());
                    deliverError(text);
                    outageReported = true;
                }
                if (reader->sleep(kRetryAfterOutageMs)) break;
                continue;
            }
            const bool lost = reader->readReports(socket, onLine);
            socket.reset();
            if (!lost) break;
            const std::string text = "Lost the connection to gpsd at " + where;
            log("%s", text.c_str());
            if (!outageReported) deliverError(text);
            outageReported = true;
            if (reader->sleep(kRetryAfterLossMs)) break;
        }
    }).detach();
}

void GpsdLocationSource::stopDelivery() {
    if (reader_) reader_->stop();
    reader_.reset();
}

}  // namespace wharf::platform
