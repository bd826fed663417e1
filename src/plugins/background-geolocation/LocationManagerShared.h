#pragma once
// What the location manager's two files share: the one that takes fixes and
// tracks (LocationManager.cpp), the one that stores and delivers them
// (LocationManagerQueue.cpp).
#include <chrono>
#include <cstdint>
#include <string>

namespace wharf::location_manager {

// How soon the store is tried again for fixes it could not take (and the
// marks it could not write), when no new fix tries it first.
inline constexpr std::chrono::milliseconds kStoreRetryInterval{1000};
inline constexpr const char* kStoreErrorDomain = "SQLDatabase";

// System sounds of the debug narration.
enum : uint32_t {
    kSoundForeground = 1110,
    kSoundBackground = 1112,
    kSoundAcquiring = 1103,
    kSoundRegionSet = 1052,
    kSoundHandedOut = 1004,
    kSoundRegionExit = 1005,
    kSoundError = 1073,
};

// printf's form, for the log and the debug narration.
std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));

}  // namespace wharf::location_manager
