#pragma once
// One position fix as the location service reports it. Accuracies, speed and
// course are negative when the service does not know them.
#include "platform/base/Clock.h"

namespace wharf::platform {

struct LocationCoordinate {
    double latitude = 0;  // degrees
    double longitude = 0;  // degrees
};

struct LocationFix {
    LocationCoordinate coordinate;
    double altitude = 0;  // metres
    double horizontalAccuracy = -1;  // metres
    double verticalAccuracy = -1;  // metres
    double speed = -1;  // metres per second
    double course = -1;  // degrees
    Clock::WallTime timestamp{};
};

}  // namespace wharf::platform
