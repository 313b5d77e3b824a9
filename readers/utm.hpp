#pragma once
// Transverse Mercator projection on the WGS 84 ellipsoid (forward only).
//
// The easting carries the usual false easting of 500 km; there is no false
// northing, so points south of the equator get negative northings.  The
// central meridian is chosen by the caller (0..360 degrees east).
namespace vadrel {

// Converts latitude `lat` and longitude `lon` (degrees, east positive, any
// sign) to `east` and `north` in metres about the central meridian `cmer`
// (degrees).  A longitude difference beyond +-180 degrees is wrapped; one of
// exactly 180 is kept.  Pure function: no state, no messages.  The series
// does not hold at or next to the poles.
void utm(double lat, double lon, double& east, double& north, double cmer);

// x raised to the integer power n by repeated multiplication (1 for n = 0,
// the reciprocal for negative n).  Only for integer exponents: a real
// exponent must go to std::pow.
double pow(double x, int n);

}  // namespace vadrel
