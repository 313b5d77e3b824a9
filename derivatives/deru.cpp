// Closed-form derivatives of the surface displacement of a rectangular
// dislocation (Okada 1985) with respect to the point position, the patch
// dimensions, depth, dip and slips.  Each derivative is a signed sum of a
// corner kernel over the patch corners, in Chinnery's notation, exactly as
// the displacement itself.
#include "derivatives/deru.hpp"

#include <algorithm>
#include <cmath>

#include "model/okada.hpp"

namespace vadrel {

namespace {

constexpr double TWO_PI = 2.0 * PI;
constexpr double KERNEL_TOL = 1e-6;  // vertical / eta-singular tests of deru1_x

void add_scaled(Vec9& acc, const Vec9& v, double f) {
  for (int i = 0; i < 9; ++i) acc[i] += f * v[i];
}

// R + a where R = sqrt(a^2 + b2): for a < 0 the sum cancels (beyond a patch
// end, or below an edge line), so it is formed as b2 / (R - a) instead.
double r_plus(double R, double a, double b2) {
  return a >= 0.0 ? R + a : b2 / (R - a);
}

}  // namespace

// ---------------------------------------------------------------------------
// x / y kernel: Okada's surface displacement-gradient formulas for one corner.
namespace {

// Dip trigonometry of one patch, shared by its corners.
struct Trig {
  double c, s;
  explicit Trig(double delta) : c(std::cos(delta)), s(std::sin(delta)) {}
};

// The corner's y~ = c eta + s q and d~ = s eta - c q (the depth of the
// corner) are passed in: the corner sums form them as y - w c and
// depth - w s, which keeps d~ exactly 0 at the edge of a patch that reaches
// the surface, where s eta - c q would be rounding noise that the y kernel
// divides by eta^2 + q^2.
DeruXY corner_x(double xi, double eta, double q, double yt, double dt,
                const Trig& tr, double alpha, double U1, double U2,
                double U3) {
  const double c = tr.c;
  const double s = tr.s;
  const double t = s / c;
  const double R = std::sqrt(xi * xi + eta * eta + q * q);
  const double R3 = R * R * R;
  const bool vertical = std::fabs(c) <= KERNEL_TOL;
  const double Reta = r_plus(R, eta, xi * xi + q * q);
  const double Rxi = r_plus(R, xi, eta * eta + q * q);
  const bool esing = std::fabs(Reta) <= KERNEL_TOL;

  const double Aeta = esing ? 0.0 : (2.0 * R + eta) / (R3 * Reta * Reta);
  const double Axi = (2.0 * R + xi) / (R3 * Rxi * Rxi);
  const double Rd = R + dt;
  // 1/(R (R + eta)), dropped at an eta-singular corner.
  const double iReta = esing ? 0.0 : 1.0 / (R * Reta);

  double K1 = 0.0;
  double K3 = 0.0;
  if (vertical) {
    K1 = alpha * xi * q / (R * Rd * Rd);
    K3 = alpha * (s / Rd) * (xi * xi / (R * Rd) - 1.0);
  } else if (!esing) {
    K1 = (alpha / c) * xi * (1.0 / (R * Rd) - s * iReta);
    K3 = (alpha / c) * (q * iReta - yt / (R * Rd));
  } else {
    K1 = (alpha / c) * xi / (R * Rd);
    K3 = -(alpha / c) * yt / (R * Rd);
  }
  const double K2 = esing ? -(alpha * s / R + K3)
                          : alpha * (c * q * iReta - s / R) - K3;

  double J1 = 0.0;
  double J2 = 0.0;
  if (vertical) {
    J1 = (alpha / 2.0) * (q / (Rd * Rd)) * (2.0 * xi * xi / (R * Rd) - 1.0);
    J2 = (alpha / 2.0) * (xi * s / (Rd * Rd)) * (2.0 * q * q / (R * Rd) - 1.0);
  } else {
    J1 = (alpha / c) * (xi * xi / (R * Rd * Rd) - 1.0 / Rd) - t * K3;
    J2 = alpha * xi * yt / (c * R * Rd * Rd) - t * K1;
  }
  const double J3 = esing ? -J2 : -(alpha * xi * iReta + J2);
  const double J4 = esing ? -(alpha * c / R + J1)
                          : -(alpha * (c / R + s * q * iReta) + J1);

  const double k1 = U1 / TWO_PI;
  const double k2 = U2 / TWO_PI;
  const double k3 = U3 / TWO_PI;
  const double iRxi = 1.0 / (R * Rxi);

  DeruXY out;
  Vec9& F = out.dx;
  F[0] = k1 * (xi * xi * q * Aeta - J1 * s);
  F[1] = k1 * (xi * q * c / R3 + (xi * q * q * Aeta - J2) * s);
  F[2] = k1 * ((xi * q / R3 - K1) * s - xi * q * q * Aeta * c);
  F[3] = k2 * (xi * q / R3 + J3 * s * c);
  F[4] = k2 * (yt * q / R3 + c * q * iReta + J1 * s * c);
  F[5] = k2 * (dt * q / R3 + s * q * iReta + K3 * s * c);
  F[6] = -k3 * (xi * q * q * Aeta + J3 * s * s);
  F[7] = -k3 * (q * q * c / R3 + q * q * q * Aeta * s + J1 * s * s);
  F[8] = -k3 * (q * q * s / R3 - q * q * q * Aeta * c + K3 * s * s);

  Vec9& G = out.dy;
  G[0] = k1 * (xi * xi * xi * dt / (R3 * (eta * eta + q * q)) -
               (xi * xi * xi * Aeta + J2) * s);
  G[1] = k1 * (yt * q * c / R3 +
               (q * q * q * Aeta * s - 2.0 * q * s * iReta -
                (xi * xi + eta * eta) * c / R3 - J4) *
                   s);
  G[2] = k1 * (dt * q * c / R3 +
               (xi * xi * q * Aeta * c - s / R + yt * q / R3 - K2) * s);
  G[3] = k2 * (yt * q / R3 - s / R + J1 * s * c);
  G[4] = k2 * (yt * yt * q * Axi - (2.0 * yt * iRxi + xi * c * iReta) * s +
               J2 * s * c);
  G[5] = k2 * (yt * dt * q * Axi - (2.0 * dt * iRxi + xi * s * iReta) * s +
               K1 * s * c);
  G[6] = -k3 * (J1 * s * s - dt * q / R3 - xi * xi * q * Aeta * s);
  G[7] = -k3 * ((yt * c - dt * s) * q * q * Axi - 2.0 * s * c * q * iRxi -
                (xi * q * q * Aeta - J2) * s * s);
  G[8] = -k3 * (xi * q * q * Aeta * s * c + (yt * s + dt * c) * q * q * Axi -
                (2.0 * q * iRxi - K1) * s * s);
  return out;
}

}  // namespace

DeruXY deru1_x(double xi, double eta, double delta, double q, double alpha,
               double U1, double U2, double U3) {
  const Trig tr(delta);
  return corner_x(xi, eta, q, tr.c * eta + tr.s * q, tr.s * eta - tr.c * q,
                  tr, alpha, U1, U2, U3);
}

// ---------------------------------------------------------------------------
// eta kernel (width derivative).
namespace {

Vec9 corner_p(double xi, double eta, double q, double yt, double dt,
              const Trig& tr, double alpha, double U1, double U2, double U3) {
  const double c = tr.c;
  const double s = tr.s;
  const double t = s / c;
  const double R = std::sqrt(xi * xi + eta * eta + q * q);
  const double X = std::sqrt(xi * xi + q * q);
  const double R3 = R * R * R;
  const double Rd = R + dt;

  const double Rq = R * q;
  const double xe = xi * eta;
  const double theta_eta = xi * q * (R * R - eta * eta) / (R * (Rq * Rq + xe * xe));
  const double Rxi = r_plus(R, xi, eta * eta + q * q);
  const double Bxi = q / (R * Rxi);
  const double Cxi = -q * eta * (2.0 * R + xi) / (R3 * Rxi * Rxi);
  double I1e = 0.0, I3e = 0.0, I4e = 0.0, I5e = 0.0;
  if (std::fabs(c) <= KERNEL_TOL) {
    // Vertical patch: eta-derivatives of the vertical I terms (cos = 0,
    // so d(d~)/d(eta) = sin and d(y~)/d(eta) = 0).
    const double g = (eta + R * s) / R;  // d(R + d~)/d(eta)
    I1e = alpha * xi * q * g / (Rd * Rd * Rd);
    I4e = alpha * q * g / (Rd * Rd);
    I5e = alpha * xi * s * g / (Rd * Rd);
    I3e = 0.5 * alpha *
          (1.0 / Rd - eta * g / (Rd * Rd) - 2.0 * yt * q * g / (Rd * Rd * Rd) -
           1.0 / R);
  } else {
    // Z = N / (D xi) is the argument of the arctangent in I5; dZ/deta is
    // M / (c xi R (R + X)^2).  Their quotient dZ/deta / (1 + Z^2) is
    // formed without the 1/xi, which is infinite level with a patch end.
    const double N = (c * q + X) * eta + X * (R + X) * s;
    const double D = (R + X) * c;
    const double M = (c * q + X) * (R * X + xi * xi + q * q);
    const double Dx = D * xi;
    I5e = 2.0 * alpha * M * xi / (R * (Dx * Dx + N * N));
    I1e = alpha * xi * (R * s + eta) / (R * c * Rd * Rd) - t * I5e;
    I4e = alpha * (eta - dt * s) / (c * R * Rd);
    I3e = alpha * ((1.0 - (R * s + eta) * yt / (R * c * Rd)) / Rd - 1.0 / R) +
          t * I4e;
  }
  const double I2e = -(alpha / R + I3e);

  const double k1 = U1 / TWO_PI;
  const double k2 = U2 / TWO_PI;
  const double k3 = U3 / TWO_PI;
  const double xq3 = xi * q / R3;
  Vec9 F{};
  F[0] = -k1 * (-xq3 + theta_eta + s * I1e);
  F[1] = -k1 * (s * I2e - yt * q / R3);
  F[2] = -k1 * (s * I4e - dt * q / R3);
  F[3] = k2 * (q * eta / R3 + s * c * I3e);
  F[4] = -k2 * (c * theta_eta + yt * Cxi + c * Bxi - s * c * I1e);
  F[5] = -k2 * (s * theta_eta + dt * Cxi + s * Bxi - s * c * I5e);
  F[6] = k3 * (-q * q / R3 - s * s * I3e);
  F[7] = -k3 * (s * s * I1e + dt * Cxi + (Bxi - xq3 - theta_eta) * s);
  F[8] = k3 * ((-xq3 - theta_eta) * c + yt * Cxi + c * Bxi - s * s * I5e);
  return F;
}

}  // namespace

Vec9 deru_p(double xi, double delta, double eta, double q, double alpha,
            double U1, double U2, double U3) {
  const Trig tr(delta);
  return corner_p(xi, eta, q, tr.c * eta + tr.s * q, tr.s * eta - tr.c * q,
                  tr, alpha, U1, U2, U3);
}

// ---------------------------------------------------------------------------
// Corner geometry shared by the dip and depth kernels.
namespace {

struct CornerDW {
  double c, s, t, eta, yt, dt, R, R3, X, Reta, Rxi, Q, G, N, D, Z;
  double inv_xi_1pZ2;  // 1 / (xi (1 + Z^2)), finite at xi = 0
  double atZ;           // arctan Z
};

CornerDW corner_dw(double xi, double y, double delta, double depth, double p,
                   double q, double w) {
  CornerDW g{};
  g.c = std::cos(delta);
  g.s = std::sin(delta);
  g.t = g.s / g.c;
  g.eta = p - w;
  g.yt = y - w * g.c;
  g.dt = depth - w * g.s;
  g.R = std::sqrt(xi * xi + g.eta * g.eta + q * q);
  g.R3 = g.R * g.R * g.R;
  g.X = std::sqrt(xi * xi + q * q);
  g.Reta = r_plus(g.R, g.eta, xi * xi + q * q);
  g.Rxi = r_plus(g.R, xi, g.eta * g.eta + q * q);
  g.Q = q / (g.R * g.Reta);
  g.G = q / (g.R * g.Rxi);
  g.N = (g.c * q + g.X) * g.eta + g.X * (g.R + g.X) * g.s;
  g.D = (g.R + g.X) * g.c;
  g.Z = g.N / (g.D * xi);
  // 1/(xi (1 + Z^2)) as xi D^2 / ((D xi)^2 + N^2), finite at xi = 0; the
  // derivatives of Z all carry a factor 1/xi that this absorbs.
  const double Dx = g.D * xi;
  g.inv_xi_1pZ2 = xi * g.D * g.D / (Dx * Dx + g.N * g.N);
  g.atZ = std::atan(g.Z);
  return g;
}

Vec9 scale_raw(const double r[9], double U1, double U2, double U3) {
  return {-U1 * r[0], -U1 * r[1], -U1 * r[2], -U2 * r[3], -U2 * r[4],
          -U2 * r[5], U3 * r[6],  U3 * r[7],  U3 * r[8]};
}

}  // namespace

Vec9 deru1_delta(double xi, double y, double delta, double depth, double p,
                 double q, double w, double alpha, double U1, double U2,
                 double U3) {
  const CornerDW g = corner_dw(xi, y, delta, depth, p, q, w);
  const double c = g.c, s = g.s, t = g.t, eta = g.eta, yt = g.yt, dt = g.dt;
  const double R = g.R, R3 = g.R3, X = g.X, Q = g.Q, G = g.G;
  const double Re = g.Reta;
  const double Rx = g.Rxi;
  const double Rd = R + dt;
  const double RX = R + X;

  const double theta = std::atan(xi * eta / (q * R));
  // d(theta)/d(dip) with theta = arctan(xi eta / (q R)), multiplied through
  // by (q R)^2 so that q = 0 leaves no 0/0.
  const double T = -xi * (eta * w * q * q / R + (eta * p + q * q) * R) /
                   (q * q * R * R + xi * xi * eta * eta);
  const double Qd = (Re * (R * R * p - q * q * w) + (R - w) * q * q * R) /
                    (Re * Re * R3);
  const double Gd = p / (R * Rx) - q * q * w * (2.0 * R + xi) / (Rx * Rx * R3);
  const double Hc =
      (Re * (c * p - s * q) - (w / R - 1.0) * q * q * c) / (Re * Re);
  const double Hs = (s * p + c * q) / Re - (w - R) * q * q * s / (Re * Re * R);
  const double E = s / (c * c * Rd) - (q / R - c) * w / (c * Rd * Rd);
  const double P = X * w / R + p;
  // dZ/d(dip) times xi.
  const double Zd_xi =
      (eta * p - q * q) / RX + X * eta * s / (c * c * RX) + X / (c * c) +
      q * p * t / X -
      (q * q * eta * P / (RX * RX * X) + (X * X - eta * p) * q / (X * RX * c) +
       eta * q * P / (RX * RX * c));

  const double lnRe = std::log(Re);
  const double lnRd = std::log(Rd);
  const double atZ = g.atZ;
  const double I5 = 2.0 * alpha * atZ / c;
  const double I4 = alpha * (lnRd - s * lnRe) / c;
  const double I3 = t * I4 + alpha * (yt / (c * Rd) - lnRe);
  const double I2 = -(alpha * lnRe + I3);
  const double I1 = -(alpha * xi / (c * Rd) + t * I5);

  const double I5d =
      (2.0 * alpha / c) * (Zd_xi * g.inv_xi_1pZ2 + t * atZ);
  const double I4d =
      alpha * (lnRd * t / c - (1.0 + t * t) * lnRe +
               (1.0 / c) * ((q / R - c) * w / Rd - (w / R - 1.0) * s * q / Re));
  const double I3d = I4 / (c * c) + t * I4d +
                     alpha * (yt * E + w * s / (c * Rd) - (w - R) * q / (R * Re));
  const double I2d = -(alpha * (w - R) * q / (R * Re) + I3d);
  const double I1d = -(I5 / (c * c) + alpha * xi * E + t * I5d);

  const double c2d = std::cos(2.0 * delta);
  double r[9];
  r[0] = c * I1 + s * I1d + xi * Qd + T;
  r[1] = c * I2 + s * I2d + s * w * Q + yt * Qd + Hc;
  r[2] = c * I4 + s * I4d + dt * Qd - c * w * Q + Hs;
  r[3] = p / R - q * q * w / R3 - c2d * I3 - s * c * I3d;
  r[4] = yt * Gd + s * w * G + c * T - s * theta - s * c * I1d - c2d * I1;
  r[5] = dt * Gd - c * w * G + s * T + c * theta - s * c * I5d - c2d * I5;
  r[6] = q * Qd + p * Q - 2.0 * s * c * I3 - s * s * I3d;
  r[7] = c * w * G - dt * Gd - (xi * Qd - T) * s - (xi * Q - theta) * c -
         s * s * I1d - 2.0 * s * c * I1;
  r[8] = yt * Gd + s * w * G + (xi * Qd - T) * c - (xi * Q - theta) * s -
         s * s * I5d - 2.0 * s * c * I5;
  return scale_raw(r, U1, U2, U3);
}

Vec9 deru1_d(double xi, double y, double delta, double depth, double p,
             double q, double w, double alpha, double U1, double U2,
             double U3) {
  const CornerDW g = corner_dw(xi, y, delta, depth, p, q, w);
  const double c = g.c, s = g.s, t = g.t, eta = g.eta, yt = g.yt, dt = g.dt;
  const double R = g.R, R3 = g.R3, X = g.X, Q = g.Q, G = g.G;
  const double Re = g.Reta;
  const double Rx = g.Rxi;
  const double Rd = R + dt;
  const double RX = R + X;

  const double Qdd = -(c / (R * Re) + (dt * eta + 2.0 * R * dt + R * R * s) *
                                          q / (Re * Re * R3));
  const double Rq = R * q;
  const double ex = eta * xi;
  const double Thd = (R * R * yt - eta * q * dt) * xi / ((Rq * Rq + ex * ex) * R);
  const double Gdd =
      -(c / (R * Rx) + dt * q * (2.0 * R + xi) / (Rx * Rx * R3));
  const double Hd = -(c / Re + (R * s + dt) * q / (Re * Re * R));
  const double Vd = -(c * R * R + dt * q) / R3;
  // dZ/d(depth) times xi.
  const double Zd_xi =
      (((c * q + X) * s - (q / X + c) * c * eta) / RX -
       (c * q + X) * eta * (dt - R * q * c / X) / (RX * RX * R)) /
          c -
      s * q / X;
  const double I5d = 2.0 * alpha * Zd_xi * g.inv_xi_1pZ2 / c;
  const double I4d = alpha * (1.0 - (R * s + dt) * s / Re) / (R * c);
  const double I3d =
      t * I4d - alpha * (yt / (c * Rd) + (R * s + dt) / Re) / R;
  const double I2d = -(alpha * (R * s + dt) / (R * Re) + I3d);
  const double I1d = alpha * xi / (c * R * Rd) - t * I5d;

  double r[9];
  r[0] = xi * Qdd + Thd + s * I1d;
  r[1] = s * I2d + yt * Qdd + c * Hd;
  r[2] = s * I4d + dt * Qdd + Q + s * Hd;
  r[3] = Vd - s * c * I3d;
  r[4] = yt * Gdd + c * Thd - s * c * I1d;
  r[5] = dt * Gdd + G + s * Thd - s * c * I5d;
  r[6] = q * Qdd - c * Q - s * s * I3d;
  r[7] = -(s * s * I1d + dt * Gdd + G + (xi * Qdd - Thd) * s);
  r[8] = yt * Gdd + (xi * Qdd - Thd) * c - s * s * I5d;
  return scale_raw(r, U1, U2, U3);
}

// ---------------------------------------------------------------------------
// Corner sums, with the repairs the closed forms need.
namespace {

constexpr double RAD_TO_DEG = 180.0 / PI;

Vec9 nan9() {
  Vec9 v{};
  v.fill(std::nan(""));
  return v;
}

// Multiplies each triple of a unit-slip result by its own slip.
Vec9 apply_slips(const Vec9& unit, double U1, double U2, double U3) {
  Vec9 v = unit;
  for (int i = 0; i < 3; ++i) {
    v[i] *= U1;
    v[3 + i] *= U2;
    v[6 + i] *= U3;
  }
  return v;
}

// Patch geometry seen from the point, for choosing difference steps and for
// recognising points where the displacement itself is discontinuous.
struct Geometry {
  double x, y, delta, depth, L, W, lambda, mu;
};

// Distance from the surface point to the patch rectangle.
double distance_to_patch(const Geometry& g) {
  const double c = std::cos(g.delta);
  const double s = std::sin(g.delta);
  const double p = c * g.y + s * g.depth;
  const double q = s * g.y - c * g.depth;
  const double dxi = (g.x < 0.0) ? -g.x : (g.x > g.L ? g.x - g.L : 0.0);
  const double deta = (p < 0.0) ? -p : (p > g.W ? p - g.W : 0.0);
  return std::sqrt(dxi * dxi + deta * deta + q * q);
}

double size_scale(const Geometry& g) {
  return std::fabs(g.x) + std::fabs(g.y) + g.L + g.W + std::fabs(g.depth);
}

// Unit-slip displacement without okada_patch's clearing of values below
// 1e-8: the displacement is linear in the slips, so evaluating it for slips
// of 2^40 and scaling back by the exact power of two gives the same digits
// with the clearing pushed below 1e-20.
Vec9 unclamped_unit(const Geometry& g, double x, double y, double L, double W,
                    double depth, double dip_deg) {
  constexpr double BIG = 1099511627776.0;  // 2^40
  Vec9 u = okada_patch(BIG, BIG, BIG, x, y, L, W, depth, dip_deg, g.lambda,
                       g.mu);
  for (double& e : u) e /= BIG;
  return u;
}

enum class Param { X, Y, L, W, Depth, Dip };

// Central difference of the unit-slip displacement in one parameter,
// Richardson-extrapolated from steps h and h/2 (error of order h^4).  The
// step is a small fraction of the distance to the patch, the length over
// which the field varies; for the dip the lever arm is the patch width.
Vec9 numeric_unit(const Geometry& g, Param which) {
  const double rho = distance_to_patch(g);
  double h = 1e-3 * rho;
  if (which == Param::Dip) h = 1e-3 * rho / std::max(rho, g.W);
  auto eval = [&](double step) {
    double x = g.x, y = g.y, L = g.L, W = g.W, depth = g.depth;
    double dip = g.delta;
    switch (which) {
      case Param::X: x += step; break;
      case Param::Y: y += step; break;
      case Param::L: L += step; break;
      case Param::W: W += step; break;
      case Param::Depth: depth += step; break;
      case Param::Dip: dip += step; break;
    }
    return unclamped_unit(g, x, y, L, W, depth, dip * RAD_TO_DEG);
  };
  auto central = [&](double step) {
    const Vec9 a = eval(step);
    const Vec9 b = eval(-step);
    Vec9 d{};
    for (int i = 0; i < 9; ++i) d[i] = (a[i] - b[i]) / (2.0 * step);
    return d;
  };
  const Vec9 d1 = central(h);
  const Vec9 d2 = central(0.5 * h);
  Vec9 d{};
  for (int i = 0; i < 9; ++i) d[i] = (4.0 * d2[i] - d1[i]) / 3.0;
  return d;
}

struct Setup {
  double alpha, p, q;
};

Setup setup(double y, double delta, double depth, double lambda, double mu) {
  return {mu / (lambda + mu), std::cos(delta) * y + std::sin(delta) * depth,
          std::sin(delta) * y - std::cos(delta) * depth};
}

DeruXY deru_x_closed(double x, double y, double delta, double depth,
                     double U1, double U2, double U3, double L, double W,
                     const Setup& st) {
  const Trig tr(delta);
  const double xis[4] = {x, x, x - L, x - L};
  const double ws[4] = {0.0, W, 0.0, W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  DeruXY out;
  for (int k = 0; k < 4; ++k) {
    const DeruXY f = corner_x(xis[k], st.p - ws[k], st.q, y - ws[k] * tr.c,
                              depth - ws[k] * tr.s, tr, st.alpha, U1, U2, U3);
    add_scaled(out.dx, f.dx, sg[k]);
    add_scaled(out.dy, f.dy, sg[k]);
  }
  return out;
}

// Sum of the eta kernel over all four corners: the derivative of the
// displacement with respect to eta at fixed xi and q.
Vec9 eta_sum(double x, double y, double delta, double depth, double U1,
             double U2, double U3, double L, double W, const Setup& st) {
  const Trig tr(delta);
  const double xis[4] = {x, x, x - L, x - L};
  const double ws[4] = {0.0, W, 0.0, W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  Vec9 out{};
  for (int k = 0; k < 4; ++k) {
    add_scaled(out,
               corner_p(xis[k], st.p - ws[k], st.q, y - ws[k] * tr.c,
                        depth - ws[k] * tr.s, tr, st.alpha, U1, U2, U3),
               sg[k]);
  }
  return out;
}

template <class Kernel>
Vec9 dw_corner_sum(Kernel kernel, double x, double y, double delta,
                   double depth, double U1, double U2, double U3, double L,
                   double W, const Setup& st) {
  const double xis[4] = {x, x, x - L, x - L};
  const double ws[4] = {0.0, W, 0.0, W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  Vec9 out{};
  for (int k = 0; k < 4; ++k) {
    add_scaled(out,
               kernel(xis[k], y, delta, depth, st.p, st.q, ws[k], st.alpha,
                      U1, U2, U3),
               sg[k] / TWO_PI);
  }
  return out;
}

bool is_vertical(double delta) {
  return std::fabs(std::cos(delta)) <= KERNEL_TOL;
}

// Depth derivative in closed form.  On a vertical patch a unit of depth
// moves every corner's eta by sin(dip) and leaves q alone, so the eta kernel
// (which has a vertical form) gives it.
Vec9 deru_d_closed(double x, double y, double delta, double depth, double U1,
                   double U2, double U3, double L, double W,
                   const Setup& st) {
  if (is_vertical(delta)) {
    Vec9 v = eta_sum(x, y, delta, depth, U1, U2, U3, L, W, st);
    for (double& e : v) e *= std::sin(delta);
    return v;
  }
  return dw_corner_sum(deru1_d, x, y, delta, depth, U1, U2, U3, L, W, st);
}

// Within this distance of vertical (in cos(dip)) the dip kernel's terms in
// 1/cos^2 and 1/cos^3 cancel to fewer than 7 good digits.
constexpr double DIP_BAND = 0.02;

// The dip derivative splits into a rotation of the point about the deep
// edge and the explicit dependence of the corner terms on the dip at fixed
// (xi, eta, q):
//   du/d(dip) = depth * du/dy - y * du/d(depth) + E(dip).
// Near vertical E is interpolated (degree 7) from dips 2.5, 5, 7.5 and 10
// degrees either side of vertical, each evaluated at the point that has the same (xi, eta, q)
// there; E is smooth in the dip on the scale of a radian because the
// relative geometry of point and corners is held fixed.
Vec9 deru_delta_near_vertical(double x, double y, double delta, double depth,
                              double U1, double U2, double U3, double L,
                              double W, const Setup& st) {
  const double s_sign = std::sin(delta) >= 0.0 ? 1.0 : -1.0;
  const double d_vert = s_sign * 0.5 * PI;
  constexpr double H = 2.5 * PI / 180.0;
  const double offsets[8] = {-4 * H, -3 * H, -2 * H, -1 * H, 1 * H, 2 * H, 3 * H, 4 * H};
  const double u = delta - d_vert;
  Vec9 E{};
  for (int k = 0; k < 8; ++k) {
    const double dk = d_vert + offsets[k];
    const double ck = std::cos(dk);
    const double sk = std::sin(dk);
    const double yk = ck * st.p + sk * st.q;
    const double depthk = sk * st.p - ck * st.q;
    const Setup sk_setup{st.alpha, st.p, st.q};
    const Vec9 Dd_k = dw_corner_sum(deru1_delta, x, yk, dk, depthk, U1, U2,
                                    U3, L, W, sk_setup);
    const Vec9 Dy_k =
        deru_x_closed(x, yk, dk, depthk, U1, U2, U3, L, W, sk_setup).dy;
    const Vec9 Dz_k =
        dw_corner_sum(deru1_d, x, yk, dk, depthk, U1, U2, U3, L, W, sk_setup);
    double wgt = 1.0;  // Lagrange weight of node k at u
    for (int j = 0; j < 8; ++j) {
      if (j != k) wgt *= (u - offsets[j]) / (offsets[k] - offsets[j]);
    }
    for (int i = 0; i < 9; ++i) {
      E[i] += wgt * (Dd_k[i] - depthk * Dy_k[i] + yk * Dz_k[i]);
    }
  }
  const Vec9 Dy = deru_x_closed(x, y, delta, depth, U1, U2, U3, L, W, st).dy;
  const Vec9 Dz = deru_d_closed(x, y, delta, depth, U1, U2, U3, L, W, st);
  Vec9 out{};
  for (int i = 0; i < 9; ++i) out[i] = depth * Dy[i] - y * Dz[i] + E[i];
  return out;
}

Geometry geometry(double x, double y, double delta, double depth, double L,
                  double W, double lambda, double mu) {
  return {x, y, delta, depth, L, W, lambda, mu};
}

// Some lines of the surface are singular for the corner formulas although
// the displacement is smooth across them: the line q = 0 where the plane of
// the patch meets the surface (beyond the ends of the surface trace when the
// patch reaches the surface), and the lines xi = 0 level with the patch
// ends.  Close to them the closed forms divide quantities that are both
// rounding noise.  There the derivative is interpolated across the line
// from closed-form values at points well off it (symmetric nodes at 1, 2
// and 3 steps either side, degree 5); the step is 2% of the distance to the
// patch, the radius over which the field is analytic, so the interpolation
// error is of order (0.06)^6 and the nodes keep 2% of that distance from
// the line.
constexpr double NEAR_LINE = 1e-3;  // trigger, relative to the distance
constexpr double NODE_STEP = 0.005;  // node spacing, relative to the distance

template <class F>
Vec9 across_line(F closed, double x, double y, bool along_y, double line,
                 double step) {
  const double offs[6] = {-3.0, -2.0, -1.0, 1.0, 2.0, 3.0};
  const double u = ((along_y ? y : x) - line) / step;
  Vec9 out{};
  for (int k = 0; k < 6; ++k) {
    double wgt = 1.0;
    for (int j = 0; j < 6; ++j) {
      if (j != k) wgt *= (u - offs[j]) / (offs[k] - offs[j]);
    }
    const double node = line + offs[k] * step;
    add_scaled(out, along_y ? closed(x, node) : closed(node, y), wgt);
  }
  return out;
}

// closed(x, y) evaluates one derivative in closed form at another surface
// point of the same patch.
template <class F>
Vec9 robust(F closed, const Geometry& g, Param which, double U1, double U2,
            double U3) {
  const double rho = distance_to_patch(g);
  if (rho <= 1e-12 * size_scale(g)) return nan9();
  const double s = std::sin(g.delta);
  const double c = std::cos(g.delta);
  const double q = s * g.y - c * g.depth;
  const double step = NODE_STEP * rho;
  // Level with a patch end, then beside the q = 0 line; the nodes of the
  // latter may themselves be level with an end.
  auto x_safe = [&](double x, double y) {
    for (double end : {0.0, g.L}) {
      if (std::fabs(x - end) < NEAR_LINE * rho) {
        return across_line(closed, x, y, false, end, step);
      }
    }
    return closed(x, y);
  };
  Vec9 v{};
  if (std::fabs(q) < NEAR_LINE * rho * std::fabs(s)) {
    v = across_line(x_safe, g.x, g.y, true, c * g.depth / s, step);
  } else {
    v = x_safe(g.x, g.y);
  }
  if (all_finite(v)) return v;
  return apply_slips(numeric_unit(g, which), U1, U2, U3);
}

}  // namespace

DeruXY deru_x(double x, double y, double delta, double depth, double U1,
              double U2, double U3, double L, double W, double lambda,
              double mu) {
  const Geometry g = geometry(x, y, delta, depth, L, W, lambda, mu);
  auto closed_pair = [&](double xx, double yy) {
    return deru_x_closed(xx, yy, delta, depth, U1, U2, U3, L, W,
                         setup(yy, delta, depth, lambda, mu));
  };
  // Away from the degenerate lines one evaluation gives both gradients.
  const double rho = distance_to_patch(g);
  const double q = std::sin(delta) * y - std::cos(delta) * depth;
  if (std::fabs(q) >= NEAR_LINE * rho * std::fabs(std::sin(delta)) &&
      std::fabs(x) >= NEAR_LINE * rho && std::fabs(x - L) >= NEAR_LINE * rho &&
      rho > 1e-12 * size_scale(g)) {
    const DeruXY out = closed_pair(x, y);
    if (all_finite(out.dx) && all_finite(out.dy)) return out;
  }
  DeruXY out;
  out.dx = robust([&](double xx, double yy) { return closed_pair(xx, yy).dx; },
                  g, Param::X, U1, U2, U3);
  out.dy = robust([&](double xx, double yy) { return closed_pair(xx, yy).dy; },
                  g, Param::Y, U1, U2, U3);
  return out;
}

Vec9 deru_l(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  auto closed = [&](double xx, double yy) {
    const Setup st = setup(yy, delta, depth, lambda, mu);
    const Trig tr(delta);
    Vec9 out{};
    add_scaled(out,
               corner_x(xx - L, st.p, st.q, yy, depth, tr, st.alpha, U1, U2,
                        U3)
                   .dx,
               1.0);
    add_scaled(out,
               corner_x(xx - L, st.p - W, st.q, yy - W * tr.c,
                        depth - W * tr.s, tr, st.alpha, U1, U2, U3)
                   .dx,
               -1.0);
    return out;
  };
  return robust(closed, geometry(x, y, delta, depth, L, W, lambda, mu),
                Param::L, U1, U2, U3);
}

Vec9 deru_w(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  auto closed = [&](double xx, double yy) {
    const Setup st = setup(yy, delta, depth, lambda, mu);
    const Trig tr(delta);
    const double yt = yy - W * tr.c;
    const double dt = depth - W * tr.s;
    Vec9 out{};
    add_scaled(out,
               corner_p(xx, st.p - W, st.q, yt, dt, tr, st.alpha, U1, U2, U3),
               1.0);
    add_scaled(out,
               corner_p(xx - L, st.p - W, st.q, yt, dt, tr, st.alpha, U1, U2,
                        U3),
               -1.0);
    return out;
  };
  return robust(closed, geometry(x, y, delta, depth, L, W, lambda, mu),
                Param::W, U1, U2, U3);
}

Vec9 deru_delta(double x, double y, double delta, double depth, double U1,
                double U2, double U3, double L, double W, double lambda,
                double mu) {
  const bool near_vertical = std::fabs(std::cos(delta)) < DIP_BAND;
  auto closed = [&](double xx, double yy) {
    const Setup st = setup(yy, delta, depth, lambda, mu);
    return near_vertical
               ? deru_delta_near_vertical(xx, yy, delta, depth, U1, U2, U3, L,
                                          W, st)
               : dw_corner_sum(deru1_delta, xx, yy, delta, depth, U1, U2, U3,
                               L, W, st);
  };
  return robust(closed, geometry(x, y, delta, depth, L, W, lambda, mu),
                Param::Dip, U1, U2, U3);
}

Vec9 deru_d(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  auto closed = [&](double xx, double yy) {
    return deru_d_closed(xx, yy, delta, depth, U1, U2, U3, L, W,
                         setup(yy, delta, depth, lambda, mu));
  };
  return robust(closed, geometry(x, y, delta, depth, L, W, lambda, mu),
                Param::Depth, U1, U2, U3);
}

std::array<Vec9, 3> deru_u(double x, double y, double dip_deg, double depth,
                           double /*U1*/, double /*U2*/, double /*U3*/,
                           double L, double W, double lambda, double mu) {
  const Vec9 u = okada_patch(1.0, 1.0, 1.0, x, y, L, W, depth, dip_deg,
                             lambda, mu);
  std::array<Vec9, 3> out{};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) out[j][3 * j + i] = u[3 * j + i];
  }
  return out;
}

}  // namespace vadrel
