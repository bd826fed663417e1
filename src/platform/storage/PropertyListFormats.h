#pragma once
// The two property-list encodings, each read and written by our own code
// (private to the platform layer's PropertyList*.cpp).
#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/Error.h"
#include "platform/base/Value.h"

namespace wharf::platform::plist::detail {

// Deeper documents are refused rather than recursed over.
inline constexpr int kMaxDepth = 512;

// Codes in the PropertyList domain (the platform's Cocoa numbers).
inline constexpr int64_t kCorrupt = 3840;
inline constexpr int64_t kInvalidForFormat = 3851;

// Seconds from 1970-01-01 to 2001-01-01, the reference date both encodings count from.
inline constexpr double kReferenceDateOffset = 978307200.0;

// A binary date (seconds since 2001) as a Value, and back, exact both ways.
Value dateValueSince2001(double sinceReference);
double dateSecondsSince2001(const Value& date);

// Reads fail with kCorrupt; writes with kInvalidForFormat. `why` completes
// "The property list could not be read/written: ".
Error readError(const std::string& why);
Error writeError(const std::string& why);

std::optional<Value> parseBinary(const Bytes& data, Error* error);
std::optional<Value> parseXML(const Bytes& data, Error* error);
std::optional<Bytes> writeBinary(const Value& value, Error* error);
std::optional<Bytes> writeXML(const Value& value, Error* error);

}  // namespace wharf::platform::plist::detail
