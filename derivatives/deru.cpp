// Closed-form derivatives of the surface displacement of a rectangular
// dislocation (Okada 1985) with respect to the point position, the patch
// dimensions, depth, dip and slips.
//
// The x/y gradient has a kernel of its own: Okada's surface gradient
// formulas, which need no logarithm or arctangent, with the derivatives of
// the I terms (K1..K3, J1..J4) rearranged for steep dips so that no power
// of 1/cos(dip) is left to cancel.  Everything else comes from the fused
// corner pass of derivatives/jacobian.cpp.
#include "derivatives/deru.hpp"

#include <cmath>

#include "derivatives/robust.hpp"
#include "model/okada.hpp"

namespace vadrel {

namespace {

constexpr double TWO_PI = 2.0 * PI;
constexpr double KERNEL_TOL = 1e-6;  // eta-singular test, vertical limit at such corners

// Below this |cos dip| (and sin > 0) the K and J terms use the rearranged
// forms; at flatter dips the printed ones lose at most a factor 1/cos^2 = 4.
constexpr double NEAR_VERTICAL_COS = 0.5;

// R + a where R = sqrt(a^2 + b2): for a < 0 the sum cancels (beyond a patch
// end, or below an edge line), so it is formed as b2 / (R - a) instead.
double r_plus(double R, double a, double b2) {
  return a >= 0.0 ? R + a : b2 / (R - a);
}

struct KJ {
  double K1, K2, K3, J1, J2, J3, J4;
};

// The x and y derivatives of the I terms of one corner:
// K1 = dI4/dxi, K3 and K2 those of the eta/q combinations entering du/dy,
// J1 = dI1/dxi and so on, in Okada's notation.  iReta = 1/(R (R + eta)).
KJ kj_terms(double xi, double eta, double q, double yt, double R, double Rd,
            double Reta, double iReta, bool esing, double c, double s,
            double alpha) {
  KJ k{};
  if (esing) {
    // Where R + eta vanishes the 1/(R + eta) terms are dropped.
    if (std::fabs(c) <= KERNEL_TOL) {
      k.K1 = alpha * xi * q / (R * Rd * Rd);
      k.K3 = alpha * (s / Rd) * (xi * xi / (R * Rd) - 1.0);
      k.J1 = (alpha / 2.0) * (q / (Rd * Rd)) * (2.0 * xi * xi / (R * Rd) - 1.0);
      k.J2 = (alpha / 2.0) * (xi * s / (Rd * Rd)) * (2.0 * q * q / (R * Rd) - 1.0);
    } else {
      k.K1 = (alpha / c) * xi / (R * Rd);
      k.K3 = -(alpha / c) * yt / (R * Rd);
      k.J1 = (alpha / c) * (xi * xi / (R * Rd * Rd) - 1.0 / Rd) - (s / c) * k.K3;
      k.J2 = alpha * xi * yt / (c * R * Rd * Rd) - (s / c) * k.K1;
    }
    k.K2 = -(alpha * s / R + k.K3);
    k.J3 = -k.J2;
    k.J4 = -(alpha * c / R + k.J1);
    return k;
  }
  if (std::fabs(c) < NEAR_VERTICAL_COS && s > 0.0) {
    // Printed, K1 = (alpha/c) xi (1/(R Rd) - s/(R Re)) and J1, J2 carry
    // (s/c) K3 and (s/c) K1 besides: differences of nearly equal terms
    // divided by c and c^2.  With t = c/(1 + s) (so 1 - s = c t) one has
    //   Re - s Rd = c E,  E = R t + eta c + s q,
    //   q Rd - y~ Re = c (q R t - (R Re - xi^2)),
    // and dividing the factors of c out analytically leaves
    //   K1 = alpha xi E/(R Rd Re),
    //   K3 = alpha (q R t - (R Re - xi^2))/(R Rd Re),
    //   J1 = alpha (xi^2 E - R Rd (c Re + s q)/(1 + s))/(R Rd^2 Re),
    //   J2 = alpha xi (y~ E - s R Rd/(1 + s))/(R Rd^2 Re),
    // which hold at c = 0 as well (there they are the vertical forms).
    // R Re - xi^2 = eta^2 + q^2 + R eta, as q^2 + eta Re when eta >= 0.
    const double one_s = 1.0 + s;
    const double t = c / one_s;
    const double E = R * t + eta * c + s * q;
    const double RRe_xi2 = eta >= 0.0 ? q * q + eta * Reta : (R * q * q + xi * xi * eta) / (R - eta);
    const double den1 = R * Rd * Reta;
    const double den2 = den1 * Rd;
    k.K1 = alpha * xi * E / den1;
    k.K3 = alpha * (q * R * t - RRe_xi2) / den1;
    k.J1 = alpha * (xi * xi * E - R * Rd * (c * Reta + s * q) / one_s) / den2;
    k.J2 = alpha * xi * (yt * E - s * R * Rd / one_s) / den2;
  } else if (std::fabs(c) <= KERNEL_TOL) {
    // Vertical limits, for corners handed in with sin < 0.
    k.K1 = alpha * xi * q / (R * Rd * Rd);
    k.K3 = alpha * (s / Rd) * (xi * xi / (R * Rd) - 1.0);
    k.J1 = (alpha / 2.0) * (q / (Rd * Rd)) * (2.0 * xi * xi / (R * Rd) - 1.0);
    k.J2 = (alpha / 2.0) * (xi * s / (Rd * Rd)) * (2.0 * q * q / (R * Rd) - 1.0);
  } else {
    k.K1 = (alpha / c) * xi * (1.0 / (R * Rd) - s * iReta);
    k.K3 = (alpha / c) * (q * iReta - yt / (R * Rd));
    k.J1 = (alpha / c) * (xi * xi / (R * Rd * Rd) - 1.0 / Rd) - (s / c) * k.K3;
    k.J2 = alpha * xi * yt / (c * R * Rd * Rd) - (s / c) * k.K1;
  }
  k.K2 = alpha * (c * q * iReta - s / R) - k.K3;
  k.J3 = -(alpha * xi * iReta + k.J2);
  k.J4 = -(alpha * (c / R + s * q * iReta) + k.J1);
  return k;
}

// Okada's surface displacement-gradient formulas for one corner.  The
// corner's y~ = c eta + s q and d~ = s eta - c q are passed in: the corner
// sums form them as y - w c and depth - w s, which keeps d~ exactly 0 at
// the edge of a patch that reaches the surface, where s eta - c q would be
// rounding noise that the y kernel divides by eta^2 + q^2.
DeruXY corner_x(double xi, double eta, double q, double yt, double dt, double c,
                double s, double alpha, double U1, double U2, double U3) {
  const double R = std::sqrt(xi * xi + eta * eta + q * q);
  const double R3 = R * R * R;
  const double Reta = r_plus(R, eta, xi * xi + q * q);
  const double Rxi = r_plus(R, xi, eta * eta + q * q);
  const bool esing = std::fabs(Reta) <= KERNEL_TOL;

  const double Aeta = esing ? 0.0 : (2.0 * R + eta) / (R3 * Reta * Reta);
  const double Axi = (2.0 * R + xi) / (R3 * Rxi * Rxi);
  const double Rd = r_plus(R, dt, xi * xi + yt * yt);
  // 1/(R (R + eta)), dropped at an eta-singular corner.
  const double iReta = esing ? 0.0 : 1.0 / (R * Reta);
  const KJ k = kj_terms(xi, eta, q, yt, R, Rd, Reta, iReta, esing, c, s, alpha);
  const double K1 = k.K1, K2 = k.K2, K3 = k.K3;
  const double J1 = k.J1, J2 = k.J2, J3 = k.J3, J4 = k.J4;

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

// Sum of the x/y kernel over the corners, any dip.
DeruXY gradient_any(double x, double y, double L, double W, double depth, const Patch& tr,
                    double U1, double U2, double U3) {
  const detail::CornerSet k = detail::corner_set(x, y, L, W, depth, tr.sin_dip, tr.cos_dip);
  DeruXY out;
  for (int n = 0; n < 4; ++n) {
    const DeruXY f = corner_x(k.xi[n], k.eta[n], k.q, k.yt[n], k.dt[n], k.c, k.s,
                              tr.alpha, k.u1_sign * U1, U2, U3);
    detail::axpy(out, f, k.sign[n]);
  }
  return out;
}

}  // namespace

DeruXY deru1_x(const Patch& patch, double xi, double eta, double q) {
  const double c = patch.cos_dip;
  const double s = patch.sin_dip;
  return corner_x(xi, eta, q, c * eta + s * q, s * eta - c * q, c, s, patch.alpha, patch.U1,
                  patch.U2, patch.U3);
}

DeruXY patch_strain(const Patch& patch, double x, double y) {
  using namespace detail;
  const double L = patch.L, W = patch.W, depth = patch.depth;
  const double U1 = patch.U1, U2 = patch.U2, U3 = patch.U3;
  const Geometry g{x, y, patch.dip, patch.sin_dip, patch.cos_dip, depth, L, W, patch.alpha};
  const double rho = distance_to_patch(g);
  if (rho <= 1e-12 * size_scale(g)) return {nan9(), nan9()};
  auto closed = [&](double xx, double yy) {
    return gradient_any(xx, yy, L, W, depth, patch, U1, U2, U3);
  };
  // Away from the degenerate lines one evaluation gives both gradients.
  if (!near_degenerate_line(g, rho)) {
    const DeruXY out = closed(x, y);
    if (all_finite(out)) return out;
  }
  DeruXY out = line_safe(closed, g, rho);
  if (!all_finite(out.dx)) out.dx = apply_slips(numeric_unit(g, Param::X), U1, U2, U3);
  if (!all_finite(out.dy)) out.dy = apply_slips(numeric_unit(g, Param::Y), U1, U2, U3);
  return out;
}

DeruXY deru_x(const Patch& patch, double x, double y) { return patch_strain(patch, x, y); }

Vec9 deru_l(const Patch& patch, double x, double y) { return patch_jacobian(patch, x, y).dL; }

Vec9 deru_w(const Patch& patch, double x, double y) { return patch_jacobian(patch, x, y).dW; }

Vec9 deru_delta(const Patch& patch, double x, double y) { return patch_jacobian(patch, x, y).ddip; }

Vec9 deru_d(const Patch& patch, double x, double y) { return patch_jacobian(patch, x, y).ddepth; }

std::array<Vec9, 3> deru_u(const Patch& patch, double x, double y) {
  const Vec9 u = okada_patch(with_slips(patch, 1.0, 1.0, 1.0), x, y);
  std::array<Vec9, 3> out{};
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 3; ++i) out[j][3 * j + i] = u[3 * j + i];
  }
  return out;
}

}  // namespace vadrel
