#include "platform/location/Geodesy.h"

#include <cmath>

namespace wharf::platform {

namespace {

constexpr double kRadians = M_PI / 180.0;

}  // namespace

double distanceBetween(const LocationCoordinate& a, const LocationCoordinate& b) {
    const double lat1 = a.latitude * kRadians, lat2 = b.latitude * kRadians;
    const double dLat = lat2 - lat1;
    const double dLon = (b.longitude - a.longitude) * kRadians;
    const double h = std::sin(dLat / 2) * std::sin(dLat / 2) +
                     std::cos(lat1) * std::cos(lat2) * std::sin(dLon / 2) * std::sin(dLon / 2);
    return 2 * kEarthRadiusMetres * std::asin(std::sqrt(std::min(1.0, h)));
}

double bearingBetween(const LocationCoordinate& a, const LocationCoordinate& b) {
    const double lat1 = a.latitude * kRadians, lat2 = b.latitude * kRadians;
    const double dLon = (b.longitude - a.longitude) * kRadians;
    const double y = std::sin(dLon) * std::cos(lat2);
    const double x = std::cos(lat1) * std::sin(lat2) - std::sin(lat1) * std::cos(lat2) * std::cos(dLon);
    const double degrees = std::atan2(y, x) / kRadians;
    return std::fmod(degrees + 360.0, 360.0);
}

LocationCoordinate destinationPoint(const LocationCoordinate& from, double bearing, double distance) {
    const double delta = distance / kEarthRadiusMetres;
    const double theta = bearing * kRadians;
    const double lat1 = from.latitude * kRadians, lon1 = from.longitude * kRadians;
    const double lat2 =
        std::asin(std::sin(lat1) * std::cos(delta) + std::cos(lat1) * std::sin(delta) * std::cos(theta));
    const double lon2 = lon1 + std::atan2(std::sin(theta) * std::sin(delta) * std::cos(lat1),
                                          std::cos(delta) - std::sin(lat1) * std::sin(lat2));
    double lon = std::fmod(lon2 / kRadians + 540.0, 360.0) - 180.0;
    return {lat2 / kRadians, lon};
}

bool isValidCoordinate(const LocationCoordinate& c) {
    return std::isfinite(c.latitude) && std::isfinite(c.longitude) && c.latitude >= -90 && c.latitude <= 90 &&
           c.longitude >= -180 && c.longitude <= 180;
}

}  // namespace wharf::platform
