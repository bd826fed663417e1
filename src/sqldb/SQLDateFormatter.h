#pragma once
// Dates stored as text: a fixed format in UTC with English month names.
// Understands the pattern letters y, M (numeric, MMM, MMMM), d, H, h, a, m, s,
// S (fraction digits) and Z (always "+0000"); 'quoted' text and other
// characters stand for themselves.
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace wharf {

// A point in time; stored as seconds since 1970 unless a date format is set.
using SQLDate = std::chrono::system_clock::time_point;

double secondsSince1970(SQLDate date);
SQLDate dateWithSecondsSince1970(double seconds);

class SQLDateFormatter {
public:
    explicit SQLDateFormatter(std::string format);

    const std::string& dateFormat() const { return format_; }
    std::string stringFromDate(SQLDate date) const;
    // nullopt when the text does not match the format as a whole.
    std::optional<SQLDate> dateFromString(std::string_view text) const;

private:
    struct Field {
        char letter = 0;  // 0 for literal text
        int width = 0;
        std::string literal;
    };
    std::string format_;
    std::vector<Field> fields_;
};

}  // namespace wharf
