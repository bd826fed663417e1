#pragma once
// Property lists (XML or binary) read and written with libplist.
// Mapping: dict → object, array → array, string → string, integer → integer
// (unsigned above INT64_MAX keeps its bits as uint64), real → double,
// boolean → bool, data → binary, date → {"$date": seconds since 1970} (a
// number tagged so it survives a round trip), uid → integer.
#include <optional>
#include <string>

#include "platform/Error.h"
#include "platform/Value.h"

namespace wharf::platform::plist {

inline constexpr const char* kErrorDomain = "PropertyList";

enum class Format { XML, Binary };

std::optional<Value> parse(const Bytes& data, Error* error = nullptr);
std::optional<Value> readFile(const std::string& path, Error* error = nullptr);
std::optional<Bytes> serialize(const Value& value, Format format, Error* error = nullptr);
// Written atomically: a temporary file in the same directory, then rename.
bool writeFile(const std::string& path, const Value& value, Format format = Format::XML, Error* error = nullptr);

// Dates inside Values.
Value dateValue(double secondsSince1970);
bool isDate(const Value& v);
double dateSeconds(const Value& v);

}  // namespace wharf::platform::plist
