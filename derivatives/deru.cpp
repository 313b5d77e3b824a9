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

}  // namespace

// ---------------------------------------------------------------------------
// x / y kernel: Okada's surface displacement-gradient formulas for one corner.
DeruXY deru1_x(double xi, double eta, double delta, double q, double alpha,
               double U1, double U2, double U3) {
  const double c = std::cos(delta);
  const double s = std::sin(delta);
  const double t = s / c;
  const double R = std::sqrt(xi * xi + eta * eta + q * q);
  const double yt = c * eta + s * q;
  const double dt = s * eta - c * q;
  const double R3 = R * R * R;
  const bool vertical = std::fabs(c) <= KERNEL_TOL;
  const bool esing = std::fabs(R + eta) <= KERNEL_TOL;

  const double Aeta = esing ? 0.0 : (2.0 * R + eta) / (R3 * (R + eta) * (R + eta));
  const double Axi = (2.0 * R + xi) / (R3 * (R + xi) * (R + xi));
  const double Rd = R + dt;
  // 1/(R (R + eta)), dropped at an eta-singular corner.
  const double iReta = esing ? 0.0 : 1.0 / (R * (R + eta));

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
  const double iRxi = 1.0 / (R * (R + xi));

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

// ---------------------------------------------------------------------------
// eta kernel (width derivative).
Vec9 deru_p(double xi, double delta, double eta, double q, double alpha,
            double U1, double U2, double U3) {
  const double c = std::cos(delta);
  const double s = std::sin(delta);
  const double t = s / c;
  const double R = std::sqrt(xi * xi + eta * eta + q * q);
  const double X = std::sqrt(xi * xi + q * q);
  const double yt = c * eta + s * q;
  const double dt = s * eta - c * q;
  const double R3 = R * R * R;
  const double Rd = R + dt;

  const double Rq = R * q;
  const double xe = xi * eta;
  const double theta_eta = xi * q * (R * R - eta * eta) / (R * (Rq * Rq + xe * xe));
  const double Bxi = q / (R * (R + xi));
  const double Cxi = -q * eta * (2.0 * R + xi) / (R3 * (R + xi) * (R + xi));
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
    const double Z = ((c * q + X) * eta + X * (R + X) * s) / ((R + X) * xi * c);
    const double Zeta = (c * q + X) * (R * X + xi * xi + q * q) /
                        (c * xi * R * (R + X) * (R + X));
    I5e = 2.0 * alpha * Zeta / (c * (1.0 + Z * Z));
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

// ---------------------------------------------------------------------------
// Corner geometry shared by the dip and depth kernels.
namespace {

struct CornerDW {
  double c, s, t, eta, yt, dt, R, R3, X, Q, G, Z;
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
  g.Q = q / (g.R * (g.R + g.eta));
  g.G = q / (g.R * (g.R + xi));
  g.Z = ((g.c * q + g.X) * g.eta + g.X * (g.R + g.X) * g.s) /
        ((g.R + g.X) * xi * g.c);
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
  const double R = g.R, R3 = g.R3, X = g.X, Q = g.Q, G = g.G, Z = g.Z;
  const double Re = R + eta;
  const double Rx = R + xi;
  const double Rd = R + dt;
  const double RX = R + X;

  const double Z0 = xi * eta / (q * R);
  const double theta = std::atan(Z0);
  const double Z0d = xi * (-eta * w / R3 - (eta * p + q * q) / (q * q * R));
  const double T = Z0d / (1.0 + Z0 * Z0);
  const double Qd = (Re * (R * R * p - q * q * w) + (R - w) * q * q * R) /
                    (Re * Re * R3);
  const double Gd = p / (R * Rx) - q * q * w * (2.0 * R + xi) / (Rx * Rx * R3);
  const double Hc =
      (Re * (c * p - s * q) - (w / R - 1.0) * q * q * c) / (Re * Re);
  const double Hs = (s * p + c * q) / Re - (w - R) * q * q * s / (Re * Re * R);
  const double E = s / (c * c * Rd) - (q / R - c) * w / (c * Rd * Rd);
  const double P = X * w / R + p;
  const double Zd =
      ((eta * p - q * q) / RX + X * eta * s / (c * c * RX) + X / (c * c) +
       q * p * t / X -
       (q * q * eta * P / (RX * RX * X) + (X * X - eta * p) * q / (X * RX * c) +
        eta * q * P / (RX * RX * c))) /
      xi;

  const double lnRe = std::log(Re);
  const double lnRd = std::log(Rd);
  const double atZ = std::atan(Z);
  const double I5 = 2.0 * alpha * atZ / c;
  const double I4 = alpha * (lnRd - s * lnRe) / c;
  const double I3 = t * I4 + alpha * (yt / (c * Rd) - lnRe);
  const double I2 = -(alpha * lnRe + I3);
  const double I1 = -(alpha * xi / (c * Rd) + t * I5);

  const double I5d = (2.0 * alpha / c) * (Zd / (1.0 + Z * Z) + t * atZ);
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
  const double R = g.R, R3 = g.R3, X = g.X, Q = g.Q, G = g.G, Z = g.Z;
  const double Re = R + eta;
  const double Rx = R + xi;
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
  const double Zd =
      (((c * q + X) * s - (q / X + c) * c * eta) / RX -
       (c * q + X) * eta * (dt - R * q * c / X) / (RX * RX * R)) /
          (c * xi) -
      s * q / (X * xi);
  const double I5d = 2.0 * alpha * Zd / (c * (1.0 + Z * Z));
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

bool all_finite(const Vec9& v) {
  for (double e : v) {
    if (!std::isfinite(e)) return false;
  }
  return true;
}

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

// The displacement jumps across the part of the patch that meets the
// surface (and is singular at a surface corner): no derivative exists there.
bool on_surface_cut(const Geometry& g) {
  return distance_to_patch(g) <= 1e-12 * size_scale(g);
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

// Fallback for a closed form that came out non-finite: a difference of the
// patch solution where the field is smooth, non-finite values where the
// displacement itself is discontinuous.
Vec9 repair(const Vec9& closed, const Geometry& g, Param which, double U1,
            double U2, double U3) {
  if (all_finite(closed)) return closed;
  if (on_surface_cut(g)) return nan9();
  return apply_slips(numeric_unit(g, which), U1, U2, U3);
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
  const double xis[4] = {x, x, x - L, x - L};
  const double etas[4] = {st.p, st.p - W, st.p, st.p - W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  (void)y;
  (void)depth;
  DeruXY out;
  for (int k = 0; k < 4; ++k) {
    const DeruXY f =
        deru1_x(xis[k], etas[k], delta, st.q, st.alpha, U1, U2, U3);
    add_scaled(out.dx, f.dx, sg[k]);
    add_scaled(out.dy, f.dy, sg[k]);
  }
  return out;
}

// Sum of the eta kernel over all four corners: the derivative of the
// displacement with respect to eta at fixed xi and q.
Vec9 eta_sum(double x, double delta, double U1, double U2, double U3,
             double L, double W, const Setup& st) {
  Vec9 out{};
  add_scaled(out, deru_p(x, delta, st.p, st.q, st.alpha, U1, U2, U3), 1.0);
  add_scaled(out, deru_p(x, delta, st.p - W, st.q, st.alpha, U1, U2, U3), -1.0);
  add_scaled(out, deru_p(x - L, delta, st.p, st.q, st.alpha, U1, U2, U3), -1.0);
  add_scaled(out, deru_p(x - L, delta, st.p - W, st.q, st.alpha, U1, U2, U3),
             1.0);
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
    Vec9 v = eta_sum(x, delta, U1, U2, U3, L, W, st);
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

}  // namespace

DeruXY deru_x(double x, double y, double delta, double depth, double U1,
              double U2, double U3, double L, double W, double lambda,
              double mu) {
  const Setup st = setup(y, delta, depth, lambda, mu);
  DeruXY out = deru_x_closed(x, y, delta, depth, U1, U2, U3, L, W, st);
  const Geometry g = geometry(x, y, delta, depth, L, W, lambda, mu);
  out.dx = repair(out.dx, g, Param::X, U1, U2, U3);
  out.dy = repair(out.dy, g, Param::Y, U1, U2, U3);
  return out;
}

Vec9 deru_l(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  const Setup st = setup(y, delta, depth, lambda, mu);
  Vec9 out{};
  add_scaled(out, deru1_x(x - L, st.p, delta, st.q, st.alpha, U1, U2, U3).dx,
             1.0);
  add_scaled(out,
             deru1_x(x - L, st.p - W, delta, st.q, st.alpha, U1, U2, U3).dx,
             -1.0);
  return repair(out, geometry(x, y, delta, depth, L, W, lambda, mu), Param::L,
                U1, U2, U3);
}

Vec9 deru_w(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  const Setup st = setup(y, delta, depth, lambda, mu);
  Vec9 out{};
  add_scaled(out, deru_p(x, delta, st.p - W, st.q, st.alpha, U1, U2, U3), 1.0);
  add_scaled(out, deru_p(x - L, delta, st.p - W, st.q, st.alpha, U1, U2, U3),
             -1.0);
  return repair(out, geometry(x, y, delta, depth, L, W, lambda, mu), Param::W,
                U1, U2, U3);
}

Vec9 deru_delta(double x, double y, double delta, double depth, double U1,
                double U2, double U3, double L, double W, double lambda,
                double mu) {
  const Setup st = setup(y, delta, depth, lambda, mu);
  const Vec9 out =
      (std::fabs(std::cos(delta)) < DIP_BAND)
          ? deru_delta_near_vertical(x, y, delta, depth, U1, U2, U3, L, W, st)
          : dw_corner_sum(deru1_delta, x, y, delta, depth, U1, U2, U3, L, W,
                          st);
  return repair(out, geometry(x, y, delta, depth, L, W, lambda, mu),
                Param::Dip, U1, U2, U3);
}

Vec9 deru_d(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  const Setup st = setup(y, delta, depth, lambda, mu);
  return repair(deru_d_closed(x, y, delta, depth, U1, U2, U3, L, W, st),
                geometry(x, y, delta, depth, L, W, lambda, mu), Param::Depth,
                U1, U2, U3);
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
