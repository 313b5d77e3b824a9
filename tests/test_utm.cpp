// Transverse Mercator projection: exact cases, longitude wrapping, symmetry,
// and agreement with an independent projection formula.
#include <gtest/gtest.h>

#include <cmath>

#include "readers/utm.hpp"

namespace {

constexpr double PI = 3.141592653589793;
constexpr double A_AXIS = 6378137.0;
constexpr double F_SINGLE = 0.0033528106287121773;  // 1/298.257223563 in single precision
constexpr double K0 = 0.9995999932289124;           // 0.9996 in single precision

// Meridian arc from the equator to latitude lat (degrees) by Simpson
// integration of the meridian radius of curvature a(1-e2)/(1-e2 sin^2)^1.5.
double meridian_arc(double lat, double f) {
  const double e2 = f * (2.0 - f);
  const double phi = lat * PI / 180.0;
  const int n = 20000;  // even
  const double h = phi / n;
  auto rho = [&](double p) {
    const double s = std::sin(p);
    return A_AXIS * (1.0 - e2) / std::pow(1.0 - e2 * s * s, 1.5);
  };
  double sum = rho(0.0) + rho(phi);
  for (int i = 1; i < n; ++i) sum += (i % 2 == 1 ? 4.0 : 2.0) * rho(i * h);
  return sum * h / 3.0;
}

// Transverse Mercator by the Krueger series in the third flattening n (to
// n^4), through the conformal latitude: a different route from the
// power series in the longitude difference, accurate to well below a
// millimetre this close to the central meridian.
void krueger(double lat, double dlon, double& east, double& north) {
  const double f = F_SINGLE;
  const double n = f / (2.0 - f);
  const double n2 = n * n, n3 = n2 * n, n4 = n3 * n;
  const double big_a = A_AXIS / (1.0 + n) * (1.0 + n2 / 4.0 + n4 / 64.0);
  const double alpha[4] = {n / 2.0 - 2.0 * n2 / 3.0 + 5.0 * n3 / 16.0 + 41.0 * n4 / 180.0,
                           13.0 * n2 / 48.0 - 3.0 * n3 / 5.0 + 557.0 * n4 / 1440.0,
                           61.0 * n3 / 240.0 - 103.0 * n4 / 140.0, 49561.0 * n4 / 161280.0};
  const double e = 2.0 * std::sqrt(n) / (1.0 + n);
  const double phi = lat * PI / 180.0;
  const double lam = dlon * PI / 180.0;
  const double t = std::sinh(std::atanh(std::sin(phi)) - e * std::atanh(e * std::sin(phi)));
  const double xi = std::atan2(t, std::cos(lam));
  const double eta = std::atanh(std::sin(lam) / std::sqrt(1.0 + t * t));
  double x = eta;
  double y = xi;
  for (int j = 1; j <= 4; ++j) {
    x += alpha[j - 1] * std::cos(2.0 * j * xi) * std::sinh(2.0 * j * eta);
    y += alpha[j - 1] * std::sin(2.0 * j * xi) * std::cosh(2.0 * j * eta);
  }
  east = 500000.0 + K0 * big_a * x;
  north = K0 * big_a * y;
}

TEST(Utm, IntegerPower) {
  EXPECT_EQ(vadrel::pow(2.0, 5), 32.0);
  EXPECT_EQ(vadrel::pow(-3.0, 3), -27.0);
  EXPECT_EQ(vadrel::pow(-3.0, 2), 9.0);
  EXPECT_EQ(vadrel::pow(7.5, 1), 7.5);
  EXPECT_EQ(vadrel::pow(7.5, 0), 1.0);
  EXPECT_EQ(vadrel::pow(2.0, -2), 0.25);
  EXPECT_NEAR(vadrel::pow(1.1, 6), 1.771561, 1e-14);
}

TEST(Utm, MeridianIntegratorReproducesPublishedQuarterMeridian) {
  // WGS 84 quarter meridian, 10 001 965.729 m: checks the reference used below.
  EXPECT_NEAR(meridian_arc(90.0, 1.0 / 298.257223563), 10001965.729, 1e-3);
}

TEST(Utm, CentralMeridianGivesFalseEastingAndScaledMeridianArc) {
  for (const double lat : {0.0, 1.0, 10.0, 33.25, 45.0, 60.0, 75.0, -20.0, -45.0}) {
    for (const double cmer : {3.0, 141.0, 183.0, 357.0}) {
      double e = 0.0;
      double n = 0.0;
      vadrel::utm(lat, cmer, e, n, cmer);
      EXPECT_EQ(e, 500000.0) << lat << ' ' << cmer;
      // The arc series stops at e^6; the dropped terms are worth up to
      // about 1 mm (largest near 70 degrees).
      EXPECT_NEAR(n, K0 * meridian_arc(lat, F_SINGLE), 1.5e-3) << lat << ' ' << cmer;
    }
  }
  double e = 1.0;
  double n = 1.0;
  vadrel::utm(0.0, 27.0, e, n, 27.0);
  EXPECT_EQ(e, 500000.0);
  EXPECT_EQ(n, 0.0);
}

TEST(Utm, LongitudeDifferenceWrapsAcrossTheDateLineAndGreenwich) {
  const double lat = 37.5;
  double e = 0.0, n = 0.0, e_ref = 0.0, n_ref = 0.0;

  // Zone 1: -177 is 183 east, right on the central meridian.
  vadrel::utm(lat, -177.0, e, n, 183.0);
  vadrel::utm(lat, 183.0, e_ref, n_ref, 183.0);
  EXPECT_EQ(e, 500000.0);
  EXPECT_EQ(n, n_ref);

  // Zone 30: 1 east is 4 degrees east of 357, not 356 degrees west.
  vadrel::utm(lat, 1.0, e, n, 357.0);
  vadrel::utm(lat, 4.0, e_ref, n_ref, 0.0);
  EXPECT_EQ(e, e_ref);
  EXPECT_EQ(n, n_ref);
  EXPECT_GT(e, 500000.0);

  // Zone 31: 359 east is 4 degrees west of 3.
  vadrel::utm(lat, 359.0, e, n, 3.0);
  vadrel::utm(lat, 0.0, e_ref, n_ref, 4.0);
  EXPECT_EQ(e, e_ref);
  EXPECT_EQ(n, n_ref);
  EXPECT_LT(e, 500000.0);

  // A negative longitude west of a western central meridian.
  vadrel::utm(lat, -123.0, e, n, 237.0);
  EXPECT_EQ(e, 500000.0);
}

TEST(Utm, DifferenceOfExactly180IsNotWrapped) {
  // On the equator the easting series is increasing in the longitude
  // difference, so the side of the false easting tells the sign used.
  double e = 0.0, n = 0.0;
  vadrel::utm(0.0, 180.0, e, n, 0.0);  // +180 kept
  EXPECT_GT(e, 500000.0);
  vadrel::utm(0.0, 0.0, e, n, 180.0);  // -180 kept
  EXPECT_LT(e, 500000.0);
  vadrel::utm(0.0, -180.0, e, n, 0.0);  // 180 east, +180 kept
  EXPECT_GT(e, 500000.0);
  // Just past 180 is wrapped to the other side.
  vadrel::utm(0.0, 180.5, e, n, 0.0);
  EXPECT_LT(e, 500000.0);
}

TEST(Utm, SouthernHemisphereHasNegativeNorthingMirroringTheNorth) {
  double e_s = 0.0, n_s = 0.0, e_n = 0.0, n_n = 0.0;
  vadrel::utm(-10.0, 120.5, e_s, n_s, 123.0);
  vadrel::utm(10.0, 120.5, e_n, n_n, 123.0);
  EXPECT_LT(n_s, 0.0);
  EXPECT_NEAR(n_s, -n_n, 1e-7);
  EXPECT_NEAR(e_s, e_n, 1e-7);
  EXPECT_LT(e_s, 500000.0);
}

TEST(Utm, EastingIsAntisymmetricAndNorthingSymmetricInLongitudeDifference) {
  for (const double lat : {-52.0, -5.0, 0.0, 18.0, 64.0}) {
    for (const double d : {0.25, 1.0, 2.5, 3.0, 6.0}) {
      double e_east = 0.0, n_east = 0.0, e_west = 0.0, n_west = 0.0;
      vadrel::utm(lat, 141.0 + d, e_east, n_east, 141.0);
      vadrel::utm(lat, 141.0 - d, e_west, n_west, 141.0);
      EXPECT_NEAR(e_east - 500000.0, -(e_west - 500000.0), 1e-9);
      EXPECT_EQ(n_east, n_west);
      EXPECT_GT(e_east, 500000.0);
    }
  }
}

TEST(Utm, AgreesWithKruegerSeriesNearTheCentralMeridian) {
  for (const double lat : {-60.0, -33.0, -1.5, 0.0, 12.0, 35.0, 48.5, 70.0, 80.0}) {
    for (const double d : {-3.0, -1.75, -0.5, 0.5, 2.0, 3.0}) {
      double e = 0.0, n = 0.0, e_ref = 0.0, n_ref = 0.0;
      vadrel::utm(lat, 9.0 + d, e, n, 9.0);
      krueger(lat, d, e_ref, n_ref);
      EXPECT_NEAR(e, e_ref, 1.5e-3) << lat << ' ' << d;
      EXPECT_NEAR(n, n_ref, 1.5e-3) << lat << ' ' << d;
    }
  }
}

TEST(Utm, SeriesDriftsFromKruegerFarFromTheCentralMeridian) {
  // Sanity of the comparison itself: the truncated series is metres off at
  // 20 degrees, so the tolerance above is meaningful.
  double e = 0.0, n = 0.0, e_ref = 0.0, n_ref = 0.0;
  vadrel::utm(10.0, 29.0, e, n, 9.0);
  krueger(10.0, 20.0, e_ref, n_ref);
  EXPECT_GT(std::fabs(e - e_ref) + std::fabs(n - n_ref), 0.1);
}

}  // namespace
