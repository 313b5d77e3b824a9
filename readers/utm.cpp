#include "readers/utm.hpp"

#include <cmath>

namespace vadrel {

namespace {

constexpr double PI = 3.141592653589793;
constexpr double DEG = PI / 180.0;

// WGS 84.  The flattening and the scale factor are the single-precision
// roundings of 1/298.257223563 and 0.9996: grids and points projected by the
// older tools were made with these values, and coordinates must agree with
// them to the millimetre.
constexpr double A_AXIS = 6378137.0;
constexpr double FLAT = 0.0033528106287121773;
constexpr double K0 = 0.9995999932289124;
constexpr double FALSE_EASTING = 500000.0;

// Derived once; the expressions are those of a per-call evaluation, so the
// rounding is the same.
constexpr double E2 = 2.0 * FLAT - FLAT * FLAT;
constexpr double E4 = E2 * E2;
constexpr double E6 = E2 * E4;
constexpr double EP2 = E2 / (1.0 - E2);

// Meridian arc coefficients.
constexpr double M1 = 1.0 - E2 / 4.0 - 3.0 * E4 / 64.0 - 5.0 * E6 / 256.0;
constexpr double M2 = 3.0 * E2 / 8.0 + 3.0 * E4 / 32.0 + 45.0 * E6 / 1024.0;
constexpr double M3 = 15.0 * E4 / 256.0 + 45.0 * E6 / 1024.0;
constexpr double M4 = 35.0 * E6 / 3072.0;

}  // namespace

double pow(double x, int n) {
  if (n < 0) return 1.0 / pow(x, -n);
  double r = 1.0;
  for (int i = 0; i < n; ++i) r *= x;
  return r;
}

void utm(double lat, double lon, double& east, double& north, double cmer) {
  const double l = lon < 0.0 ? lon + 360.0 : lon;
  double dl = l - cmer;
  if (std::fabs(dl) > 180.0) {
    dl = dl < 0.0 ? 360.0 - std::fabs(dl) : -(360.0 - std::fabs(dl));
  }

  const double phi = lat * DEG;
  const double sphi = std::sin(phi);
  const double cphi = std::cos(phi);
  const double tphi = std::tan(phi);

  const double m = A_AXIS * (M1 * phi - M2 * std::sin(2.0 * phi) + M3 * std::sin(4.0 * phi) -
                             M4 * std::sin(6.0 * phi));

  const double n = A_AXIS / std::sqrt(1.0 - E2 * pow(sphi, 2));
  const double t = pow(tphi, 2);
  const double c = EP2 * pow(cphi, 2);
  const double a = dl * DEG * cphi;

  east = K0 * n *
             (a + (1.0 - t + c) * pow(a, 3) / 6.0 +
              (5.0 - 18.0 * t + pow(t, 2) + 72.0 * c - 58.0 * EP2) * pow(a, 5) / 120.0) +
         FALSE_EASTING;
  north = K0 * (m + n * tphi *
                        (pow(a, 2) / 2.0 + (5.0 - t + 9.0 * c + 4.0 * pow(c, 2)) * pow(a, 4) / 24.0 +
                         (61.0 - 58.0 * t + pow(t, 2) + 600.0 * c - 330.0 * EP2) * pow(a, 6) / 720.0));
}

}  // namespace vadrel
