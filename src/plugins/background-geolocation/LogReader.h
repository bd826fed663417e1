#pragma once
// Reads the newest entries of the geolocation plug-in's log file, over a
// read-only connection of its own.
#include <cstdint>
#include <optional>
#include <string>

#include "platform/base/Value.h"

namespace wharf {

class LogReader {
public:
    static constexpr int64_t kDefaultLimit = 100;

    // Newest first, at most `limit` entries (100 for a limit of 0 or less),
    // each {"context", "level", "message", "timestamp" (whole seconds since
    // 1970)}. Empty when the file has no log table; nullopt when the file
    // cannot be opened (it is never created here).
    static std::optional<platform::Value> getEntries(const std::string& path, int64_t limit);

    // The limit the page passed: a number counts as its integer part;
    // anything else (null, text, a boolean, missing) counts as 0.
    static int64_t limitFromArgument(const platform::Value& argument);
};

}  // namespace wharf
