// Closed-form derivatives of the surface displacement of a rectangular
// dislocation (Okada 1985) with respect to the point position, the patch
// dimensions, depth, dip and slips.  Each derivative is a signed sum of a
// corner kernel over the patch corners, in Chinnery's notation, exactly as
// the displacement itself.
#include "derivatives/deru.hpp"

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
  const double Z = ((c * q + X) * eta + X * (R + X) * s) / ((R + X) * xi * c);
  const double Zeta = (c * q + X) * (R * X + xi * xi + q * q) /
                      (c * xi * R * (R + X) * (R + X));
  const double I5e = 2.0 * alpha * Zeta / (c * (1.0 + Z * Z));
  const double I1e = alpha * xi * (R * s + eta) / (R * c * Rd * Rd) - t * I5e;
  const double I4e = alpha * (eta - dt * s) / (c * R * Rd);
  const double I3e =
      alpha * ((1.0 - (R * s + eta) * yt / (R * c * Rd)) / Rd - 1.0 / R) +
      t * I4e;
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
// Corner sums.
DeruXY deru_x(double x, double y, double delta, double depth, double U1,
              double U2, double U3, double L, double W, double lambda,
              double mu) {
  const double alpha = mu / (lambda + mu);
  const double p = std::cos(delta) * y + std::sin(delta) * depth;
  const double q = std::sin(delta) * y - std::cos(delta) * depth;
  const double xis[4] = {x, x, x - L, x - L};
  const double etas[4] = {p, p - W, p, p - W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  DeruXY out;
  for (int k = 0; k < 4; ++k) {
    const DeruXY f = deru1_x(xis[k], etas[k], delta, q, alpha, U1, U2, U3);
    add_scaled(out.dx, f.dx, sg[k]);
    add_scaled(out.dy, f.dy, sg[k]);
  }
  return out;
}

Vec9 deru_l(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  const double alpha = mu / (lambda + mu);
  const double p = std::cos(delta) * y + std::sin(delta) * depth;
  const double q = std::sin(delta) * y - std::cos(delta) * depth;
  Vec9 out{};
  add_scaled(out, deru1_x(x - L, p, delta, q, alpha, U1, U2, U3).dx, 1.0);
  add_scaled(out, deru1_x(x - L, p - W, delta, q, alpha, U1, U2, U3).dx, -1.0);
  return out;
}

Vec9 deru_w(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  const double alpha = mu / (lambda + mu);
  const double p = std::cos(delta) * y + std::sin(delta) * depth;
  const double q = std::sin(delta) * y - std::cos(delta) * depth;
  Vec9 out{};
  add_scaled(out, deru_p(x, delta, p - W, q, alpha, U1, U2, U3), 1.0);
  add_scaled(out, deru_p(x - L, delta, p - W, q, alpha, U1, U2, U3), -1.0);
  return out;
}

namespace {

template <class Kernel>
Vec9 dw_corner_sum(Kernel kernel, double x, double y, double delta,
                   double depth, double U1, double U2, double U3, double L,
                   double W, double lambda, double mu) {
  const double alpha = mu / (lambda + mu);
  const double p = std::cos(delta) * y + std::sin(delta) * depth;
  const double q = std::sin(delta) * y - std::cos(delta) * depth;
  const double xis[4] = {x, x, x - L, x - L};
  const double ws[4] = {0.0, W, 0.0, W};
  const double sg[4] = {1.0, -1.0, -1.0, 1.0};
  Vec9 out{};
  for (int k = 0; k < 4; ++k) {
    add_scaled(out,
               kernel(xis[k], y, delta, depth, p, q, ws[k], alpha, U1, U2, U3),
               sg[k] / TWO_PI);
  }
  return out;
}

}  // namespace

Vec9 deru_delta(double x, double y, double delta, double depth, double U1,
                double U2, double U3, double L, double W, double lambda,
                double mu) {
  return dw_corner_sum(deru1_delta, x, y, delta, depth, U1, U2, U3, L, W,
                       lambda, mu);
}

Vec9 deru_d(double x, double y, double delta, double depth, double U1,
            double U2, double U3, double L, double W, double lambda,
            double mu) {
  return dw_corner_sum(deru1_d, x, y, delta, depth, U1, U2, U3, L, W, lambda,
                       mu);
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
