#pragma once
// Distances and bearings on the WGS 84 sphere, for deciding whether a position
// moved far enough or left a region.
#include "platform/location/LocationFix.h"

namespace wharf::platform {

inline constexpr double kEarthRadiusMetres = 6371008.8;

// Great-circle distance in metres (haversine).
double distanceBetween(const LocationCoordinate& a, const LocationCoordinate& b);
// Initial bearing from `a` to `b`, degrees clockwise from true north in [0, 360).
double bearingBetween(const LocationCoordinate& a, const LocationCoordinate& b);
// The point `distance` metres from `from` along `bearing` degrees.
LocationCoordinate destinationPoint(const LocationCoordinate& from, double bearing, double distance);
bool isValidCoordinate(const LocationCoordinate& c);

}  // namespace wharf::platform
