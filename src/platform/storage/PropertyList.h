#pragma once
// Property lists, XML or binary, read and written by our own code.
// Mapping: dict → object, array → array, string → string, integer → integer
// (unsigned above INT64_MAX as uint64), real → double, boolean → bool,
// data → binary, date → {"$date": seconds since 1970} (a number tagged so it
// survives a round trip; a binary date whose count from 2001 has finer bits
// than that number holds keeps the exact count beside it, under "$date2001"),
// uid → integer; a set reads as an array.
// A value written and read back is the value written, in either format, but
// for a date in the binary format (below).
// Strings must be valid UTF-8 both ways: a document holding anything else is
// refused on reading, and such a value on writing (nothing is "repaired").
// XML holds every date between about ±31 million years, exactly. Binary holds
// any date as seconds from 2001 in a double: one comes back exact where that
// count is exact, otherwise within one unit in the last place of a double at
// that distance from 2001 (100.1 s after 1970 comes back as 100.10000002384186).
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

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
