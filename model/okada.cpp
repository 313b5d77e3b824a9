// Okada (1985) surface displacement of a rectangular dislocation, summed
// over the four patch corners in Chinnery's notation.
#include "model/okada.hpp"

#include <cmath>

namespace vadrel {

namespace {

// One tolerance guards every degenerate test of the closed form.
constexpr double TOL = 1e-8;

}  // namespace

PatchTrig patch_trig(double dip_deg, double lambda, double mu) {
  PatchTrig t;
  const double delta = PI * dip_deg / 180.0;
  t.sin_dip = std::sin(delta);
  // Within 1e-8 degrees of vertical the patch is treated as exactly
  // vertical, so the vertical form of the I terms is used and no 1/cos
  // blows up.
  t.cos_dip = (std::fabs(std::fabs(dip_deg) - 90.0) <= TOL) ? 0.0 : std::cos(delta);
  t.alpha = mu / (lambda + mu);
  return t;
}

Vec9 chin(double y, double depth, double sin_dip, double cos_dip, double alpha,
          double xi, double eta, double U1, double U2, double U3) {
  const double sd = sin_dip;
  const double cd = cos_dip;
  const double q = y * sd - depth * cd;
  const double yt = eta * cd + q * sd;  // y-tilde
  const double dt = eta * sd - q * cd;  // d-tilde

  const double r2 = xi * xi + eta * eta + q * q;
  const double R = (r2 > TOL) ? std::sqrt(r2) : 0.0;
  const double x2 = xi * xi + q * q;
  const double X = (x2 > TOL) ? std::sqrt(x2) : 0.0;

  const double c1 = -U1 / (2.0 * PI);
  const double c2 = -U2 / (2.0 * PI);
  const double c3 = U3 / (2.0 * PI);

  const bool eta_singular = std::fabs(R + eta) < TOL;
  const double theta = (std::fabs(q) < TOL) ? 0.0 : std::atan(xi * eta / (q * R));
  const double Leta = eta_singular ? -std::log(R - eta) : std::log(R + eta);

  const double Rd = R + dt;
  double I1, I2, I3, I4, I5;
  if (std::fabs(cd) < TOL) {
    I1 = -(alpha / 2.0) * xi * q / (Rd * Rd);
    I3 = (alpha / 2.0) * (eta / Rd + yt * q / (Rd * Rd) - Leta);
    I4 = -alpha * q / Rd;
    I5 = (std::fabs(xi) < TOL) ? 0.0 : -alpha * xi * sd / Rd;
    I2 = -(alpha * Leta + I3);
  } else {
    I5 = (std::fabs(xi) < TOL)
             ? 0.0
             : (2.0 * alpha / cd) *
                   std::atan(((q * cd + X) * eta + (R + X) * X * sd) /
                             ((R + X) * xi * cd));
    I4 = (alpha / cd) * (std::log(Rd) - sd * Leta);
    I3 = alpha * (yt / (cd * Rd) - Leta) + (sd / cd) * I4;
    I2 = -(alpha * Leta + I3);
    I1 = -(alpha / cd) * xi / Rd - (sd / cd) * I5;
  }

  const double RRx = R * (R + xi);
  Vec9 f{};
  if (!eta_singular) {
    const double Re = R + eta;
    const double RRe = R * Re;
    f[0] = c1 * (xi * q / RRe + theta + I1 * sd);
    f[1] = c1 * (yt * q / RRe + q * cd / Re + I2 * sd);
    f[2] = c1 * (dt * q / RRe + q * sd / Re + I4 * sd);
    f[6] = c3 * (q * q / RRe - I3 * sd * sd);
    f[7] = c3 * (-dt * q / RRx - (xi * q / RRe - theta) * sd - I1 * sd * sd);
    f[8] = c3 * (yt * q / RRx + (xi * q / RRe - theta) * cd - I5 * sd * sd);
  } else {
    f[0] = c1 * (theta + I1 * sd);
    f[1] = c1 * I2 * sd;
    f[2] = c1 * I4 * sd;
    f[6] = -c3 * I3 * sd * sd;
    f[7] = c3 * (-dt * q / RRx + theta * sd - I1 * sd * sd);
    f[8] = c3 * (yt * q / RRx - theta * cd - I5 * sd * sd);
  }
  f[3] = c2 * (q / R - I3 * sd * cd);
  f[4] = c2 * (yt * q / RRx + theta * cd - I1 * sd * cd);
  f[5] = c2 * (dt * q / RRx + theta * sd - I5 * sd * cd);
  return f;
}

Vec9 okada_patch(double U1, double U2, double U3, double x, double y, double L,
                 double W, double depth, const PatchTrig& trig) {
  const double sd = trig.sin_dip;
  const double cd = trig.cos_dip;
  const double a = trig.alpha;
  const double p = y * cd + depth * sd;

  Vec9 u{};
  const Vec9 f1 = chin(y, depth, sd, cd, a, x, p, U1, U2, U3);
  const Vec9 f2 = chin(y, depth, sd, cd, a, x, p - W, U1, U2, U3);
  const Vec9 f3 = chin(y, depth, sd, cd, a, x - L, p, U1, U2, U3);
  const Vec9 f4 = chin(y, depth, sd, cd, a, x - L, p - W, U1, U2, U3);
  for (int i = 0; i < 9; ++i) {
    u[i] += f1[i];
    u[i] -= f2[i];
    u[i] -= f3[i];
    u[i] += f4[i];
  }
  // Below 1e-8 of the slip unit the sum is rounding noise of cancelling
  // corner terms; report it as an exact zero.
  for (double& v : u) {
    if (std::fabs(v) < TOL) v = 0.0;
  }
  return u;
}

Vec9 okada_patch(double U1, double U2, double U3, double x, double y, double L,
                 double W, double depth, double dip_deg, double lambda,
                 double mu) {
  return okada_patch(U1, U2, U3, x, y, L, W, depth,
                     patch_trig(dip_deg, lambda, mu));
}

}  // namespace vadrel
