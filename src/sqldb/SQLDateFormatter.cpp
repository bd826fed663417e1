#include "sqldb/SQLDateFormatter.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string_view>
#include <strings.h>

namespace wharf {

namespace {

constexpr int64_t kNanosPerSecond = 1000000000;
constexpr int64_t kPowersOfTen[10] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000, 1000000000};
// About 292 years either side of 1970: as far as the clock counts in nanoseconds.
constexpr int64_t kMaxSeconds = 9'200'000'000;

constexpr const char* kMonths[12] = {"January", "February", "March",     "April",   "May",      "June",
                                     "July",    "August",   "September", "October", "November", "December"};

bool isPatternLetter(char c) { return std::strchr("yMdHhamsSZ", c) != nullptr && c != 0; }

std::string padded(long value, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*ld", width, value);
    return buf;
}

// Reads between `minDigits` and `maxDigits` decimal digits.
bool readNumber(std::string_view text, size_t& pos, int minDigits, int maxDigits, long& out) {
    size_t start = pos;
    long value = 0;
    while (pos < text.size() && pos - start < static_cast<size_t>(maxDigits) &&
           std::isdigit(static_cast<unsigned char>(text[pos]))) {
        value = value * 10 + (text[pos] - '0');
        ++pos;
    }
    out = value;
    return pos - start >= static_cast<size_t>(minDigits);
}

}  // namespace

// Whole seconds and the fraction apart, so that a value such as 0.25 survives exactly.
double secondsSince1970(SQLDate date) {
    auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    int64_t whole = nanos / 1000000000;
    int64_t rest = nanos % 1000000000;
    return static_cast<double>(whole) + static_cast<double>(rest) / 1e9;
}

SQLDate dateWithSecondsSince1970(double seconds) {
    // Beyond about 292 years either side of 1970 the clock cannot count in nanoseconds.
    if (!std::isfinite(seconds)) seconds = 0;
    seconds = std::clamp(seconds, -9.2e9, 9.2e9);
    // The number's shortest decimal form is the time its maker wrote: today's
    // 1700000000.3 is held as 1700000000.29999995…, which, taken as it is,
    // would be written with a format of milliseconds as ".299".
    char text[64];
    const auto written = std::to_chars(text, text + sizeof text, seconds, std::chars_format::fixed);
    // Only a number far below a nanosecond has more digits than the room here.
    std::string_view digits = written.ec == std::errc()
                                  ? std::string_view(text, static_cast<size_t>(written.ptr - text))
                                  : std::string_view("0");
    const bool negative = !digits.empty() && digits.front() == '-';
    if (negative) digits.remove_prefix(1);
    const size_t point = digits.find('.');
    int64_t whole = 0, fraction = 0;
    std::from_chars(digits.data(), digits.data() + std::min(point, digits.size()), whole);
    if (point != std::string_view::npos) {
        std::string_view rest = digits.substr(point + 1);
        for (size_t i = 0; i < 9; ++i) fraction = fraction * 10 + (i < rest.size() ? rest[i] - '0' : 0);
        if (rest.size() > 9 && rest[9] >= '5') ++fraction;  // to the nearest nanosecond
    }
    int64_t nanos = whole * kNanosPerSecond + fraction;
    return SQLDate(std::chrono::duration_cast<SQLDate::duration>(std::chrono::nanoseconds(negative ? -nanos : nanos)));
}

SQLDateFormatter::SQLDateFormatter(std::string format) : format_(std::move(format)) {
    const std::string& f = format_;
    for (size_t i = 0; i < f.size();) {
        char c = f[i];
        if (c == '\'') {
            Field lit;
            if (i + 1 < f.size() && f[i + 1] == '\'') {  // '' is one quote
                lit.literal.push_back('\'');
                i += 2;
            } else {
                size_t end = i + 1;
                while (end < f.size()) {
                    if (f[end] == '\'' && end + 1 < f.size() && f[end + 1] == '\'') {
                        lit.literal += '\'';
                        end += 2;
                    } else if (f[end] == '\'') {
                        break;
                    } else {
                        lit.literal += f[end++];
                    }
                }
                i = end + 1;
            }
            fields_.push_back(std::move(lit));
        } else if (isPatternLetter(c)) {
            Field field{c, 0, {}};
            while (i < f.size() && f[i] == c) {
                ++field.width;
                ++i;
            }
            fields_.push_back(std::move(field));
        } else {
            if (fields_.empty() || fields_.back().letter != 0) fields_.push_back(Field{});
            fields_.back().literal += c;
            ++i;
        }
    }
}

std::string SQLDateFormatter::stringFromDate(SQLDate date) const {
    // Counted in whole nanoseconds: through a double, a time on an exact
    // millisecond today (1700000000.3 s) has its fraction just below .3 and
    // would be written, and read back, one millisecond early.
    int64_t nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(date.time_since_epoch()).count();
    int64_t whole = nanos / kNanosPerSecond;
    int64_t fractionNanos = nanos % kNanosPerSecond;
    if (fractionNanos < 0) {
        fractionNanos += kNanosPerSecond;
        --whole;
    }
    time_t t = static_cast<time_t>(whole);
    struct tm tm {};
    gmtime_r(&t, &tm);
    std::string out;
    for (const Field& field : fields_) {
        switch (field.letter) {
        case 0: out += field.literal; break;
        case 'y':
            out += field.width == 2 ? padded((tm.tm_year + 1900) % 100, 2) : padded(tm.tm_year + 1900, field.width);
            break;
        case 'M':
            if (field.width >= 4)
                out += kMonths[tm.tm_mon];
            else if (field.width == 3)
                out += std::string(kMonths[tm.tm_mon], 3);
            else
                out += padded(tm.tm_mon + 1, field.width);
            break;
        case 'd': out += padded(tm.tm_mday, field.width); break;
        case 'H': out += padded(tm.tm_hour, field.width); break;
        case 'h': out += padded(tm.tm_hour % 12 == 0 ? 12 : tm.tm_hour % 12, field.width); break;
        case 'a': out += tm.tm_hour < 12 ? "AM" : "PM"; break;
        case 'm': out += padded(tm.tm_min, field.width); break;
        case 's': out += padded(tm.tm_sec, field.width); break;
        case 'S': {
            const int shown = std::min(field.width, 9);
            out += padded(static_cast<long>(fractionNanos / kPowersOfTen[9 - shown]), shown);
            for (int extra = 9; extra < field.width; ++extra) out += '0';
            break;
        }
        case 'Z': out += "+0000"; break;
        }
    }
    return out;
}

std::optional<SQLDate> SQLDateFormatter::dateFromString(std::string_view text) const {
    long year = 1970, month = 1, day = 1, hour = 0, minute = 0, second = 0, offsetSeconds = 0;
    int64_t fractionNanos = 0;
    bool pm = false, hasAmPm = false;
    size_t pos = 0;
    for (const Field& field : fields_) {
        int minDigits = field.width, maxDigits = field.width == 1 ? 2 : field.width;
        long value = 0;
        switch (field.letter) {
        case 0:
            if (text.substr(pos, field.literal.size()) != field.literal) return std::nullopt;
            pos += field.literal.size();
            break;
        case 'y':
            if (field.width == 2) {
                if (!readNumber(text, pos, 2, 2, value)) return std::nullopt;
                year = 2000 + value;
            } else {
                if (!readNumber(text, pos, 1, std::max(field.width, 4), value)) return std::nullopt;
                year = value;
            }
            break;
        case 'M':
            if (field.width >= 3) {
                bool found = false;
                for (int m = 0; m < 12 && !found; ++m) {
                    size_t len = field.width == 3 ? 3 : std::strlen(kMonths[m]);
                    if (text.size() - pos >= len && strncasecmp(text.data() + pos, kMonths[m], len) == 0) {
                        month = m + 1;
                        pos += len;
                        found = true;
                    }
                }
                if (!found) return std::nullopt;
            } else {
                if (!readNumber(text, pos, minDigits, maxDigits, month)) return std::nullopt;
            }
            break;
        case 'd':
            if (!readNumber(text, pos, minDigits, maxDigits, day)) return std::nullopt;
            break;
        case 'H':
        case 'h':
            if (!readNumber(text, pos, minDigits, maxDigits, hour)) return std::nullopt;
            break;
        case 'a':
            if (text.size() - pos >= 2 && strncasecmp(text.data() + pos, "AM", 2) == 0) {
                hasAmPm = true;
            } else if (text.size() - pos >= 2 && strncasecmp(text.data() + pos, "PM", 2) == 0) {
                hasAmPm = pm = true;
            } else {
                return std::nullopt;
            }
            pos += 2;
            break;
        case 'm':
            if (!readNumber(text, pos, minDigits, maxDigits, minute)) return std::nullopt;
            break;
        case 's':
            if (!readNumber(text, pos, minDigits, maxDigits, second)) return std::nullopt;
            break;
        case 'S': {
            // Digits past the ninth are below a nanosecond: read, not kept.
            size_t start = pos;
            if (!readNumber(text, pos, std::min(field.width, 9), std::min(field.width, 9), value)) return std::nullopt;
            fractionNanos = value * kPowersOfTen[9 - (pos - start)];
            while (pos - start < static_cast<size_t>(field.width)) {
                if (pos >= text.size() || !std::isdigit(static_cast<unsigned char>(text[pos]))) return std::nullopt;
                ++pos;
            }
            break;
        }
        case 'Z':
            if (pos < text.size() && text[pos] == 'Z') {
                ++pos;
            } else {
                if (pos >= text.size() || (text[pos] != '+' && text[pos] != '-')) return std::nullopt;
                int sign = text[pos++] == '-' ? -1 : 1;
                if (!readNumber(text, pos, 4, 4, value)) return std::nullopt;
                offsetSeconds = sign * ((value / 100) * 3600 + (value % 100) * 60);
            }
            break;
        }
    }
    if (pos != text.size()) return std::nullopt;
    if (hasAmPm) {
        if (hour < 1 || hour > 12) return std::nullopt;
        hour = hour % 12 + (pm ? 12 : 0);
    }
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    struct tm tm {};
    tm.tm_year = static_cast<int>(year - 1900);
    tm.tm_mon = static_cast<int>(month - 1);
    tm.tm_mday = static_cast<int>(day);
    tm.tm_hour = static_cast<int>(hour);
    tm.tm_min = static_cast<int>(minute);
    tm.tm_sec = static_cast<int>(second);
    const int64_t seconds = static_cast<int64_t>(timegm(&tm)) - offsetSeconds;
    if (seconds > kMaxSeconds || seconds < -kMaxSeconds) return std::nullopt;
    return SQLDate(std::chrono::duration_cast<SQLDate::duration>(
        std::chrono::nanoseconds(seconds * kNanosPerSecond + fractionNanos)));
}

}  // namespace wharf
