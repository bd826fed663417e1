#pragma once
// Dynamic values: nlohmann::json plays the part of the platform's property-list
// objects. Byte buffers are JSON binary values. The readers give strings and
// numbers the Foundation semantics the system relies on.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

namespace wharf::platform {

using Value = nlohmann::json;
using Bytes = std::vector<uint8_t>;

struct Error;

// A byte buffer as a Value (JSON binary) and back.
Value bytesValue(Bytes bytes);
bool isBytes(const Value& v);
const Bytes& bytesOf(const Value& v);  // empty for a non-binary value

// --- Foundation-style readers -------------------------------------------------
// Numbers (a JSON bool counts as the number 0/1) convert as C casts do, with
// doubles clamped to the target range. Strings are read as NSString does:
// leading white space skipped, optional sign, digits; anything unparsable is 0.
// Other kinds (null, arrays, objects, binary) answer 0 / NO.
int64_t integerValue(const Value& v);
int32_t intValue(const Value& v);
double doubleValue(const Value& v);
float floatValue(const Value& v);
// A number: non-zero. A string: skips white space, a sign and leading zeros,
// then YES on Y/y/T/t/1-9.
bool boolValue(const Value& v);
// The text of a string, the decimal text of a number, "" otherwise.
std::string stringValue(const Value& v);

int64_t stringIntegerValue(std::string_view s);
int32_t stringIntValue(std::string_view s);
double stringDoubleValue(std::string_view s);  // locale independent
bool stringBoolValue(std::string_view s);

// The same value, kind for kind: unlike ==, an integer is not equal to a real
// of the same size, nor a signed integer to an unsigned one, nor 0.0 to -0.0.
bool identical(const Value& a, const Value& b);

// Empties an array element by element (anything else is left as it is). The
// library ends a whole array by first moving all it holds into a stack of its
// own, an allocation that an array of scalars, or of the empty shells of
// values moved out, does not need.
void clearArray(Value& v);

// --- JSON text ----------------------------------------------------------------
// Writes as the platform does: compact or pretty (two-space indent), an
// integral double without a fraction ("5", not "5.0"), invalid UTF-8 replaced
// by U+FFFD rather than throwing. Binary values are written as Base64 strings.
std::string toJSONString(const Value& v, bool pretty = false);
// The compact text, appended to `out`.
void appendJSON(std::string& out, const Value& v);
// Parses JSON text; on failure answers nullopt and fills `error` (may be null).
std::optional<Value> parseJSON(std::string_view text, Error* error = nullptr);

// Replaces invalid UTF-8 sequences by U+FFFD.
std::string sanitizeUTF8(std::string_view s);
bool isValidUTF8(std::string_view s);
// Length in UTF-16 code units of UTF-8 text (what the page's strings count).
std::size_t utf16Length(std::string_view s);
// Appends a code point (at most U+10FFFF) as UTF-8.
void appendUTF8(std::string& out, char32_t cp);

// --- Base64 -------------------------------------------------------------------
std::string base64Encode(const uint8_t* data, std::size_t size);
void appendBase64(std::string& out, const uint8_t* data, std::size_t size);
inline std::string base64Encode(const Bytes& b) { return base64Encode(b.data(), b.size()); }
// Strict: answers nullopt on any character outside the alphabet, bad padding
// or bad length. White space is not accepted.
std::optional<Bytes> base64Decode(std::string_view text);

}  // namespace wharf::platform
