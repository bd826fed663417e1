#include "platform/location/ReplayLocationSource.h"

#include <expat.h>
#include <glib.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>

#include "platform/base/Log.h"
#include "platform/base/Value.h"
#include "platform/dispatch/Dispatch.h"
#include "platform/location/Geodesy.h"

namespace wharf::platform {

namespace {

// Metres of horizontal error per unit of HDOP (the receiver's range error).
constexpr double kRangeErrorMetres = 5.0;
constexpr double kAccuracyWithoutDop = 10.0;
constexpr double kKnotsToMetresPerSecond = 0.514444;
// Below this a segment counts as standing still: no course.
constexpr double kMovingMetres = 0.5;
// A stalled main loop (or a test's big clock step) reports at most this many.
constexpr int64_t kMaxBurst = 60;

enum TrackError : int64_t { kTrackUnreadable = 1, kTrackMalformed = 2, kTrackEmpty = 3 };

Error trackError(TrackError code, const std::string& text) {
    return Error::withDescription(kLocationTrackErrorDomain, code, text);
}

std::optional<double> parseNumber(std::string_view text) {
    std::string s(text);
    const auto start = s.find_first_not_of(" \t\r\n");
    if (start == std::string::npos) return std::nullopt;
    s = s.substr(start, s.find_last_not_of(" \t\r\n") - start + 1);
    char* end = nullptr;
    const double v = g_ascii_strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != '\0' || !std::isfinite(v)) return std::nullopt;
    return v;
}

std::optional<double> parseISO8601(const std::string& text) {
    GTimeZone* utc = g_time_zone_new_utc();
    GDateTime* dt = g_date_time_new_from_iso8601(text.c_str(), utc);
    g_time_zone_unref(utc);
    if (!dt) return std::nullopt;
    const double seconds = static_cast<double>(g_date_time_to_unix(dt)) + g_date_time_get_microsecond(dt) / 1e6;
    g_date_time_unref(dt);
    return seconds;
}

// --- GPX ------------------------------------------------------------------------------

struct GpxParse {
    std::vector<TrackPoint> points;
    std::optional<TrackPoint> current;
    std::string text;
    bool sawGpx = false;
    std::size_t badPoints = 0;
};

std::string_view localName(const XML_Char* name) {
    std::string_view n(name);
    const auto colon = n.rfind(':');
    return colon == std::string_view::npos ? n : n.substr(colon + 1);
}

void XMLCALL gpxStart(void* data, const XML_Char* name, const XML_Char** attrs) {
    auto* p = static_cast<GpxParse*>(data);
    const auto n = localName(name);
    p->text.clear();
    if (n == "gpx") p->sawGpx = true;
    if (n != "trkpt" && n != "rtept") return;
    std::optional<double> lat, lon;
    for (int i = 0; attrs[i]; i += 2) {
        if (std::string_view(attrs[i]) == "lat") lat = parseNumber(attrs[i + 1]);
        if (std::string_view(attrs[i]) == "lon") lon = parseNumber(attrs[i + 1]);
    }
    if (!lat || !lon || !isValidCoordinate({*lat, *lon})) {
        ++p->badPoints;
        p->current.reset();
        return;
    }
    p->current = TrackPoint{};
    p->current->coordinate = {*lat, *lon};
}

void XMLCALL gpxEnd(void* data, const XML_Char* name) {
    auto* p = static_cast<GpxParse*>(data);
    const auto n = localName(name);
    if (!p->current) return;
    if (n == "trkpt" || n == "rtept") {
        p->points.push_back(*p->current);
        p->current.reset();
    } else if (n == "ele") {
        p->current->altitude = parseNumber(p->text);
    } else if (n == "time") {
        p->current->time = parseISO8601(p->text);
    } else if (n == "hdop") {
        p->current->hdop = parseNumber(p->text);
    } else if (n == "vdop") {
        p->current->vdop = parseNumber(p->text);
    } else if (n == "speed") {
        p->current->speed = parseNumber(p->text);
    } else if (n == "course") {
        p->current->course = parseNumber(p->text);
    }
    p->text.clear();
}

void XMLCALL gpxText(void* data, const XML_Char* s, int len) {
    auto* p = static_cast<GpxParse*>(data);
    if (p->current) p->text.append(s, static_cast<std::size_t>(len));
}

// --- NMEA -----------------------------------------------------------------------------

std::vector<std::string> splitFields(std::string_view body) {
    std::vector<std::string> fields;
    std::size_t start = 0;
    for (;;) {
        const auto comma = body.find(',', start);
        fields.emplace_back(
            body.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return fields;
}

// The sentence's fields when its checksum (if it has one) holds.
std::optional<std::vector<std::string>> nmeaFields(std::string_view line) {
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n' || line.back() == ' ')) line.remove_suffix(1);
    const auto dollar = line.find('$');
    if (dollar == std::string_view::npos) return std::nullopt;
    line.remove_prefix(dollar + 1);
    const auto star = line.find('*');
    std::string_view body = line.substr(0, star);
    if (star != std::string_view::npos) {
        const std::string_view sum = line.substr(star + 1);
        if (sum.size() != 2 || !g_ascii_isxdigit(sum[0]) || !g_ascii_isxdigit(sum[1])) return std::nullopt;
        unsigned expected = static_cast<unsigned>(g_ascii_xdigit_value(sum[0]) * 16 + g_ascii_xdigit_value(sum[1]));
        unsigned actual = 0;
        for (char c : body) actual ^= static_cast<unsigned char>(c);
        if (actual != expected) return std::nullopt;
    }
    auto fields = splitFields(body);
    if (fields.empty() || fields[0].size() < 5) return std::nullopt;
    return fields;
}

// ddmm.mmmm with a hemisphere letter: digits only (the letter gives the
// sign), within the range of a latitude (2 degree digits) or longitude (3).
std::optional<double> nmeaAngle(const std::string& value, const std::string& hemisphere, int degreeDigits) {
    if (value.size() < static_cast<std::size_t>(degreeDigits) + 2) return std::nullopt;
    if (value.find_first_not_of("0123456789.") != std::string::npos) return std::nullopt;
    auto degrees = parseNumber(value.substr(0, static_cast<std::size_t>(degreeDigits)));
    auto minutes = parseNumber(value.substr(static_cast<std::size_t>(degreeDigits)));
    if (!degrees || !minutes || *minutes >= 60) return std::nullopt;
    double angle = *degrees + *minutes / 60.0;
    if (angle > (degreeDigits == 2 ? 90 : 180)) return std::nullopt;
    if (hemisphere == "S" || hemisphere == "W")
        angle = -angle;
    else if (hemisphere != "N" && hemisphere != "E")
        return std::nullopt;
    return angle;
}

// Whether `value` is all decimal digits (and not empty).
bool allDigits(std::string_view value) {
    return !value.empty() && value.find_first_not_of("0123456789") == std::string_view::npos;
}

// hhmmss(.ss) → seconds since midnight. Digits only: a sign or an exponent
// is no time of day.
std::optional<double> nmeaTimeOfDay(const std::string& value) {
    const auto dot = value.find('.');
    if (value.size() < 6 || !allDigits(std::string_view(value).substr(0, std::min(dot, value.size()))) ||
        (dot != std::string::npos && (dot != 6 || !allDigits(std::string_view(value).substr(dot + 1)))))
        return std::nullopt;
    auto h = parseNumber(value.substr(0, 2)), m = parseNumber(value.substr(2, 2)), s = parseNumber(value.substr(4));
    if (!h || !m || !s || *h >= 24 || *m >= 60 || *s >= 61) return std::nullopt;
    return *h * 3600 + *m * 60 + *s;
}

// ddmmyy → seconds since 1970 at that midnight.
std::optional<double> nmeaDate(const std::string& value) {
    if (value.size() != 6 || !allDigits(value)) return std::nullopt;
    auto d = parseNumber(value.substr(0, 2)), mo = parseNumber(value.substr(2, 2)), y = parseNumber(value.substr(4, 2));
    if (!d || !mo || !y) return std::nullopt;
    GTimeZone* utc = g_time_zone_new_utc();
    GDateTime* dt =
        g_date_time_new(utc, 2000 + static_cast<int>(*y), static_cast<int>(*mo), static_cast<int>(*d), 0, 0, 0);
    g_time_zone_unref(utc);
    if (!dt) return std::nullopt;
    const double seconds = static_cast<double>(g_date_time_to_unix(dt));
    g_date_time_unref(dt);
    return seconds;
}

// The point a fraction `f` of the way from `a` to `b`, the shorter way
// round: a segment across the antimeridian does not circle the globe.
LocationCoordinate between(const LocationCoordinate& a, const LocationCoordinate& b, double f) {
    double east = b.longitude - a.longitude;
    if (east > 180)
        east -= 360;
    else if (east < -180)
        east += 360;
    double longitude = a.longitude + east * f;
    if (longitude > 180)
        longitude -= 360;
    else if (longitude < -180)
        longitude += 360;
    return {a.latitude + (b.latitude - a.latitude) * f, longitude};
}

struct NmeaEpoch {
    std::string timeField;
    TrackPoint point;
    bool hasPosition = false;
    std::optional<double> timeOfDay;
    std::optional<double> date;
};

}  // namespace

// --- LocationTrack ----------------------------------------------------------------------

std::optional<LocationTrack> LocationTrack::load(const std::string& path, Error* error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        setError(error, trackError(kTrackUnreadable, "cannot read the track " + path));
        return std::nullopt;
    }
    std::ostringstream text;
    text << in.rdbuf();
    const std::string content = text.str();
    const auto first = content.find_first_not_of(" \t\r\n\xef\xbb\xbf");
    const bool xml = first != std::string::npos && content[first] == '<';
    auto track = xml ? parseGPX(content, error) : parseNMEA(content, error);
    if (!track && error) error->userInfo[kLocalizedDescriptionKey] = path + ": " + error->localizedDescription();
    return track;
}

std::optional<LocationTrack> LocationTrack::parseGPX(std::string_view text, Error* error) {
    GpxParse parse;
    XML_Parser parser = XML_ParserCreate(nullptr);
    XML_SetUserData(parser, &parse);
    XML_SetElementHandler(parser, gpxStart, gpxEnd);
    XML_SetCharacterDataHandler(parser, gpxText);
    const bool ok = XML_Parse(parser, text.data(), static_cast<int>(text.size()), XML_TRUE) == XML_STATUS_OK;
    std::string why;
    if (!ok)
        why = std::string("not well-formed GPX (line ") + std::to_string(XML_GetCurrentLineNumber(parser)) +
              "): " + XML_ErrorString(XML_GetErrorCode(parser));
    XML_ParserFree(parser);
    if (!ok) {
        setError(error, trackError(kTrackMalformed, why));
        return std::nullopt;
    }
    if (!parse.sawGpx) {
        setError(error, trackError(kTrackMalformed, "not a GPX document"));
        return std::nullopt;
    }
    if (parse.badPoints) log("Track: %zu GPX points without a valid lat/lon were skipped", parse.badPoints);
    return fromPoints(std::move(parse.points), error);
}

std::optional<LocationTrack> LocationTrack::parseNMEA(std::string_view text, Error* error) {
    std::vector<NmeaEpoch> epochs;
    std::size_t sentences = 0, rejected = 0;
    std::size_t start = 0;
    while (start < text.size()) {
        auto end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (line.find('$') == std::string_view::npos) continue;
        ++sentences;
        auto fields = nmeaFields(line);
        if (!fields) {
            ++rejected;
            continue;
        }
        const std::string type = (*fields)[0].substr((*fields)[0].size() - 3);
        const auto& f = *fields;
        if (type != "RMC" && type != "GGA") continue;
        if (f.size() < 10) {
            ++rejected;
            continue;
        }
        // A time or date that is there but malformed spoils the sentence;
        // a missing one leaves the track without times.
        const auto timeOfDay = nmeaTimeOfDay(f[1]);
        if (!timeOfDay && !f[1].empty()) {
            ++rejected;
            continue;
        }
        if (epochs.empty() || epochs.back().timeField != f[1]) epochs.push_back({f[1], {}, false, timeOfDay, {}});
        NmeaEpoch& e = epochs.back();
        if (type == "RMC") {
            if (f[2] != "A") continue;  // no fix
            auto lat = nmeaAngle(f[3], f[4], 2), lon = nmeaAngle(f[5], f[6], 3);
            const auto date = nmeaDate(f[9]);
            if (!lat || !lon || (!date && !f[9].empty())) {
                ++rejected;
                continue;
            }
            e.point.coordinate = {*lat, *lon};
            e.hasPosition = true;
            if (auto knots = parseNumber(f[7])) e.point.speed = *knots * kKnotsToMetresPerSecond;
            e.point.course = parseNumber(f[8]);
            e.date = date;
        } else {
            if (f[6].empty() || f[6] == "0") continue;  // no fix
            auto lat = nmeaAngle(f[2], f[3], 2), lon = nmeaAngle(f[4], f[5], 3);
            if (!lat || !lon) {
                ++rejected;
                continue;
            }
            e.point.coordinate = {*lat, *lon};
            e.hasPosition = true;
            e.point.hdop = parseNumber(f[8]);
            e.point.altitude = parseNumber(f[9]);
        }
    }
    if (rejected) log("Track: %zu of %zu NMEA sentences were malformed or failed their checksum", rejected, sentences);
    if (sentences == 0) {
        setError(error, trackError(kTrackMalformed, "neither GPX nor NMEA"));
        return std::nullopt;
    }

    // Times: the date of the last RMC seen, and a day more whenever the time
    // of day runs back without a date to say so.
    std::vector<TrackPoint> points;
    std::optional<double> date;
    double dayOffset = 0;
    std::optional<double> lastTimeOfDay;
    bool timed = true;
    for (auto& e : epochs) {
        if (!e.hasPosition) continue;
        if (!e.timeOfDay) timed = false;
        if (e.date) date = e.date;
        if (timed) {
            if (!e.date && lastTimeOfDay && *e.timeOfDay < *lastTimeOfDay) dayOffset += 86400;
            if (e.date) dayOffset = 0;
            lastTimeOfDay = e.timeOfDay;
            e.point.time = (date ? *date : 0) + dayOffset + *e.timeOfDay;
        }
        points.push_back(e.point);
    }
    if (!timed)
        for (auto& p : points) p.time.reset();
    return fromPoints(std::move(points), error);
}

std::optional<LocationTrack> LocationTrack::fromPoints(std::vector<TrackPoint> points, Error* error) {
    if (points.empty()) {
        setError(error, trackError(kTrackEmpty, "the track has no points with a position"));
        return std::nullopt;
    }
    bool useTimes = true;
    for (std::size_t i = 0; i < points.size(); ++i) {
        if (!points[i].time || (i > 0 && *points[i].time < *points[i - 1].time)) {
            useTimes = false;
            break;
        }
    }
    LocationTrack track;
    track.points_ = std::move(points);
    track.offsets_.reserve(track.points_.size());
    for (std::size_t i = 0; i < track.points_.size(); ++i) {
        track.offsets_.push_back(useTimes ? *track.points_[i].time - *track.points_.front().time
                                          : static_cast<double>(i));
    }
    return track;
}

LocationFix LocationTrack::sampleAt(double offset) const {
    LocationFix fix;
    // A DOP so large that the error overflows says no more than none.
    auto errorOf = [](const std::optional<double>& dop, double without) {
        return dop && std::isfinite(*dop * kRangeErrorMetres) ? *dop * kRangeErrorMetres : without;
    };
    auto accuracyOf = [&](const TrackPoint& p) { return errorOf(p.hdop, kAccuracyWithoutDop); };
    auto verticalOf = [&](const TrackPoint& p) { return errorOf(p.vdop, -1.0); };
    // The segment [i, i+1] that holds the offset; past the end, the last point.
    const auto upper = std::upper_bound(offsets_.begin(), offsets_.end(), offset);
    if (upper == offsets_.end() || offset < 0) {
        const TrackPoint& p = offset < 0 ? points_.front() : points_.back();
        fix.coordinate = p.coordinate;
        fix.altitude = p.altitude.value_or(0);
        fix.horizontalAccuracy = accuracyOf(p);
        fix.verticalAccuracy = verticalOf(p);
        fix.speed = 0;
        fix.course = -1;
        return fix;
    }
    const std::size_t i = static_cast<std::size_t>(upper - offsets_.begin()) - 1;
    const TrackPoint& a = points_[i];
    const TrackPoint& b = points_[i + 1];
    const double span = offsets_[i + 1] - offsets_[i];
    const double f = span > 0 ? (offset - offsets_[i]) / span : 0;
    fix.coordinate = between(a.coordinate, b.coordinate, f);
    if (a.altitude && b.altitude)
        fix.altitude = *a.altitude * (1 - f) + *b.altitude * f;  // no overflow for any two finite heights
    else
        fix.altitude = a.altitude.value_or(b.altitude.value_or(0));
    fix.horizontalAccuracy = accuracyOf(a);
    fix.verticalAccuracy = verticalOf(a);
    const double metres = distanceBetween(a.coordinate, b.coordinate);
    fix.speed = a.speed ? *a.speed : (span > 0 ? metres / span : 0);
    fix.course = a.course ? *a.course : (metres >= kMovingMetres ? bearingBetween(a.coordinate, b.coordinate) : -1);
    return fix;
}

// --- ReplayLocationSource ----------------------------------------------------------------

std::shared_ptr<ReplayLocationSource> ReplayLocationSource::create(LocationTrack track, std::string name,
                                                                   std::shared_ptr<Clock> clock, Pacing pacing) {
    return std::shared_ptr<ReplayLocationSource>(new ReplayLocationSource(
        std::move(track), std::move(name), clock ? std::move(clock) : Clock::shared(), pacing));
}

ReplayLocationSource::ReplayLocationSource(LocationTrack track, std::string name, std::shared_ptr<Clock> clock,
                                           Pacing pacing)
    : track_(std::move(track)), name_(std::move(name)), clock_(std::move(clock)), pacing_(pacing) {}

ReplayLocationSource::~ReplayLocationSource() = default;

int64_t ReplayLocationSource::dueSecondLocked() const {
    const auto elapsed = clock_->monotonicNow() - origin_;
    return std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
}

void ReplayLocationSource::startDelivery() {
    std::lock_guard lock(stateMutex_);
    if (!started_) {
        started_ = true;
        origin_ = clock_->monotonicNow();
    }
    delivering_ = true;
    // The current position comes first, at once.
    nextSecond_ = std::max<int64_t>(0, dueSecondLocked());
    if (pacing_ == Pacing::RealTime) pumpLaterLocked(std::chrono::milliseconds(0));
}

void ReplayLocationSource::stopDelivery() {
    std::lock_guard lock(stateMutex_);
    delivering_ = false;
    ++generation_;
}

void ReplayLocationSource::pumpLaterLocked(std::chrono::milliseconds delay) {
    auto weak = weak_from_this();
    const uint64_t generation = generation_;
    dispatch::mainQueue()->after(delay, [weak, generation] {
        auto self = weak.lock();
        if (!self) return;
        {
            std::lock_guard lock(self->stateMutex_);
            if (generation != self->generation_) return;
        }
        self->pump();
    });
}

void ReplayLocationSource::pump() {
    std::vector<LocationFix> due;
    {
        std::lock_guard lock(stateMutex_);
        if (!delivering_) return;
        const int64_t now = dueSecondLocked();
        int64_t first = std::max(nextSecond_, now - kMaxBurst + 1);
        // Stamped by how long ago each second fell due, from the wall clock's
        // now: a suspend (which the monotonic clock does not count) or a step
        // of the wall clock must not leave every later fix hours old.
        const auto monoNow = clock_->monotonicNow();
        const auto wallNow = clock_->now();
        for (int64_t second = first; second <= now; ++second) {
            LocationFix fix = track_.sampleAt(static_cast<double>(second));
            fix.timestamp = wallNow - std::chrono::duration_cast<Clock::WallTime::duration>(
                                          monoNow - (origin_ + std::chrono::seconds(second)));
            due.push_back(fix);
        }
        if (now >= nextSecond_) nextSecond_ = now + 1;
        if (pacing_ == Pacing::RealTime) {
            ++generation_;  // this run's timer replaces any other pending one
            const auto dueAt = origin_ + std::chrono::seconds(nextSecond_);
            pumpLaterLocked(std::max(std::chrono::milliseconds(0),
                                     std::chrono::ceil<std::chrono::milliseconds>(dueAt - clock_->monotonicNow())));
        }
    }
    for (const auto& fix : due) deliverFix(fix);
}

}  // namespace wharf::platform
