#pragma once
// Shared numeric types of the dislocation model.
#include <array>
#include <cmath>

namespace vadrel {

// pi as used everywhere for degree/radian conversion.
inline constexpr double PI = 3.141592653589793;

// Displacement (or a derivative of it) at one surface point in the patch
// frame: (ux, uy, uz) due to strike slip U1, then due to dip slip U2, then due
// to tensile opening U3.  x is along strike, y 90 degrees counter-clockwise
// from strike seen from above, z up.
using Vec9 = std::array<double, 9>;

// A vector in map axes: east, north, up.
using Vec3 = std::array<double, 3>;

inline bool all_finite(const Vec9& u) {
  for (const double v : u) {
    if (!std::isfinite(v)) return false;
  }
  return true;
}

}  // namespace vadrel
