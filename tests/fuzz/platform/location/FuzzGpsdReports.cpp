// What a gpsd peer sends the gpsd location source: the input is everything a
// server on 127.0.0.1 sends after the source asked to watch, read by the real
// reader thread. The server then ends the last line and sends a position
// report of this target's own, and holds the connection.
//
// That report must arrive: no line stalls the reader. Every fix before it
// lies on the earth with finite numbers and comes from a position report of
// the input (a JSON object of class "TPV" on a line of its own, with a 2D or
// 3D mode and that latitude and longitude); it carries that report's time,
// to the second as the C library reads it and with its fraction of a second,
// or the clock's far end for a time the clock cannot count, or the present
// for a report without one. When the observer leaves,
// the reader hangs up.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "ScriptedGpsd.h"
#include "platform/base/Clock.h"
#include "platform/dispatch/RunLoop.h"
#include "platform/location/Geodesy.h"
#include "platform/location/GpsdLocationSource.h"

using namespace wharf;
using namespace std::chrono_literals;
using platform::Clock;
using platform::LocationFix;
using platform::Value;

namespace {

constexpr std::size_t kMaxReportBytes = 16384;
constexpr double kEndLatitude = -89.5;

// The position reports of the input: objects of class "TPV" on lines of their own.
std::vector<Value> positionReports(std::string_view input) {
    std::vector<Value> reports;
    while (!input.empty()) {
        auto [line, rest] = fuzz::splitAt(input, "\n");
        input = rest;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.size() >= kMaxReportBytes) continue;
        auto report = platform::parseJSON(line);
        if (report && report->is_object() && report->value("class", Value()) == "TPV") reports.push_back(*report);
    }
    return reports;
}

std::optional<double> number(const Value& report, const char* key) {
    auto it = report.find(key);
    if (it == report.end() || !it->is_number()) return std::nullopt;
    return it->get<double>();
}

// gpsd's "YYYY-MM-DDThh:mm:ss[.fraction]Z" as the C library reads it:
// seconds since 1970 and the fraction of a second.
std::optional<std::pair<int64_t, double>> libcTime(const std::string& time) {
    std::tm tm{};
    const char* end = ::strptime(time.c_str(), "%Y-%m-%dT%H:%M:%S", &tm);
    if (!end) return std::nullopt;
    std::string fraction(end);
    if (fraction.empty() || fraction.back() != 'Z') return std::nullopt;
    fraction.pop_back();
    double value = 0;
    if (!fraction.empty()) {
        fraction.insert(0, "0");
        char* stop = nullptr;
        value = std::strtod(fraction.c_str(), &stop);
        if (*stop != '\0' || !(value >= 0 && value < 1)) return std::nullopt;
    }
    return std::pair{static_cast<int64_t>(::timegm(&tm)), value};
}

// Whether `fix` is what `report` says, with a time read between `before` and `after`.
bool fixOf(const Value& report, const LocationFix& fix, Clock::WallTime before, Clock::WallTime after) {
    const auto mode = number(report, "mode");
    if (!mode || *mode < 2 || number(report, "lat") != fix.coordinate.latitude ||
        number(report, "lon") != fix.coordinate.longitude)
        return false;
    const bool now = fix.timestamp >= before && fix.timestamp <= after;
    auto time = report.find("time");
    if (time == report.end()) return now;
    if (!time->is_string()) return false;
    const auto expected = libcTime(time->get<std::string>());
    if (!expected) return false;
    const auto [seconds, fraction] = *expected;
    using std::chrono::floor;
    const int64_t largest = floor<std::chrono::seconds>(Clock::WallTime::max().time_since_epoch()).count();
    if (fix.timestamp == Clock::WallTime::max()) return seconds >= largest - 1;
    if (fix.timestamp == Clock::WallTime::min()) return seconds <= 1 - largest;
    // A receiver without a time yet reports the epoch.
    if (seconds == 0 && fraction == 0 && now) return true;
    const auto since1970 = fix.timestamp.time_since_epoch();
    const auto whole = floor<std::chrono::seconds>(since1970);
    return whole.count() == seconds &&
           std::fabs(std::chrono::duration<double>(since1970 - whole).count() - fraction) < 1e-6;
}

struct Run {
    std::vector<LocationFix> fixes;
    int errors = 0;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static auto* gpsd = new test::ScriptedGpsd;
    static int served = 0;
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // A longitude of this run's own marks the end.
    const double endLongitude = -179.0 + (served % 100000) * 0.001;
    gpsd->setScript(std::string(input) + "\n" + R"({"class":"TPV","mode":2,"lat":)" + std::to_string(kEndLatitude) +
                    ",\"lon\":" + platform::toJSONString(Value(endLongitude)) + "}\r\n");

    const auto before = Clock::shared()->now();
    auto source = platform::GpsdLocationSource::create("127.0.0.1", gpsd->port());
    Run run;
    const uint64_t token = source->addObserver([&](const LocationFix& f) { run.fixes.push_back(f); },
                                               [&](const platform::Error&) { ++run.errors; });
    auto isEnd = [&](const LocationFix& f) {
        return f.coordinate.latitude == kEndLatitude && f.coordinate.longitude == endLongitude;
    };
    const bool ended = platform::RunLoop::pumpUntil([&] { return !run.fixes.empty() && isEnd(run.fixes.back()); }, 10s);
    source->removeObserver(token);
    const auto after = Clock::shared()->now();
    FUZZ_CHECK(ended);
    FUZZ_CHECK(gpsd->waitForHangups(++served, 10s));
    FUZZ_CHECK(run.errors == 0);

    const auto reports = positionReports(input);
    for (std::size_t i = 0; i + 1 < run.fixes.size(); ++i) {
        const LocationFix& f = run.fixes[i];
        FUZZ_CHECK(platform::isValidCoordinate(f.coordinate));
        FUZZ_CHECK(std::isfinite(f.altitude) && std::isfinite(f.horizontalAccuracy) &&
                   std::isfinite(f.verticalAccuracy) && std::isfinite(f.speed) && std::isfinite(f.course));
        bool found = false;
        for (const auto& report : reports) found = found || fixOf(report, f, before, after);
        FUZZ_CHECK(found);
    }
    return 0;
}
