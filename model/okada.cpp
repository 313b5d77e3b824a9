// Okada (1985) surface displacement of a rectangular dislocation, summed
// over the four patch corners in Chinnery's notation.
//
// The closed form, written as printed, loses digits on lines that users meet
// every day: beyond the ends of a patch that reaches the surface (R + xi is a
// difference of nearly equal numbers there), near the line where the patch
// plane meets the surface (q = 0), and for near-vertical dips, where the
// general-dip I terms cancel like 1/cos^2.  This evaluation keeps the same
// formulas but
//   * forms R + xi, R + eta and R + d~ for a negative second term as
//     (sum of the other two squares) / (R - term), which is exact in
//     relative terms, and lets every quotient and logarithm built on them
//     take its limit where they vanish exactly (the 1/(R(R + xi)) and
//     1/(R(R + eta)) terms drop out, ln(R + eta) becomes -ln(R - eta), as in
//     Okada's 1992 treatment of the same lines);
//   * uses no thresholds on R, X, q or xi: they would replace accurate
//     values by wrong ones within 1e-4 km of a corner or 1e-8 km of a line;
//   * for small cos(dip) evaluates the I terms in a form free of the 1/cos
//     cancellation (see near_vertical_i_terms below);
//   * evaluates patches with sin(dip) < 0 as the same rectangle described
//     from its other long edge, which has sin(dip) > 0.
// Corner terms may differ from the printed ones by parts that depend on xi
// alone or on eta alone.  Such parts cancel exactly in Chinnery's sum
// f(x, p) - f(x, p - W) - f(x - L, p) + f(x - L, p - W), because each value
// of xi and each value of eta occurs once with each sign.
#include "model/okada.hpp"

#include "model/okada_terms.hpp"

#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

namespace vadrel {

namespace {

using namespace okada_terms;

struct Pair {
  double a, b;
};

// {atan(w)/w, (w - atan w)/w^2}: 1 and 0 at w = 0, no cancellation.
Pair atan_parts(double w) {
  const double aw = std::fabs(w);
  if (aw < SERIES_LIMIT) {
    const double w2 = w * w;
    const double d = aw < SHORT_SERIES_LIMIT ? poly<N_ATAN_SHORT>(ATAN_DEFECT, w2)
                                             : poly<N_ATAN>(ATAN_DEFECT, w2);
    return {1.0 - w2 * d, w * d};
  }
  const double t = std::atan(w);
  return {t / w, (w - t) / (w * w)};
}

// {-ln(1 - u)/u, 1/(1 - u) - (-ln(1 - u) - u)/u^2}: 1 and 1/2 at u = 0.
// With v = u/(2 - u), -ln(1 - u) = 2 atanh(v) = 2v (1 + v^2 B) and
// u = 2v/(1 + v), which gives the two as (1 + v^2 B)(1 + v) and
// (1 + v)^2 (1/(1 - v) - v B)/2, free of cancellation.
Pair log_parts(double u) {
  const double au = std::fabs(u);
  if (au < SERIES_LIMIT) {
    const double v = u / (2.0 - u);
    const double v2 = v * v;
    const double B = au < SHORT_SERIES_LIMIT ? poly<N_ATANH_SHORT>(ATANH_DEFECT, v2)
                                             : poly<N_ATANH>(ATANH_DEFECT, v2);
    const double onev = 1.0 + v;
    return {(1.0 + v2 * B) * onev, 0.5 * onev * onev * (1.0 / (1.0 - v) - v * B)};
  }
  const double l = std::log1p(-u);
  return {-l / u, 1.0 / (1.0 - u) + (l + u) / (u * u)};
}

// Quantities of one corner shared by the I terms and the output.
struct Corner {
  double xi, eta, q;
  double yt, dt;  // y~ = eta cos + q sin, d~ = eta sin - q cos
  double R, X;    // |(xi, eta, q)|, |(xi, q)|
  double Rx;      // R + xi
  double Re;      // R + eta; 0 only on the eta-singular line
  double Rd;      // R + d~
  double Leta;    // ln(R + eta), or -ln(R - eta) where R + eta = 0
};

struct ITerms {
  double I1, I3, I4, I5;
};

// Vertical patch: the limits of the general terms as cos(dip) -> 0.
ITerms vertical_i_terms(const Corner& k, double sd, double alpha) {
  const double Rd2 = k.Rd * k.Rd;
  ITerms t;
  t.I1 = -(alpha / 2.0) * k.xi * k.q / Rd2;
  t.I3 = (alpha / 2.0) * (k.eta / k.Rd + k.yt * k.q / Rd2 - k.Leta);
  t.I4 = -alpha * k.q / k.Rd;
  t.I5 = -alpha * k.xi * sd / k.Rd;
  return t;
}

// General dip, as printed.  I5 is 0 on xi = 0, where its arctangent has a
// jump that cancels between the two corners sharing that xi.
ITerms general_i_terms(const Corner& k, double sd, double cd, double alpha) {
  ITerms t;
  t.I5 = 0.0;
  if (k.xi != 0.0) {
    const double num = (k.q * cd + k.X) * k.eta + (k.R + k.X) * k.X * sd;
    const double den = (k.R + k.X) * k.xi * cd;
    t.I5 = (2.0 * alpha / cd) * std::atan(num / den);
  }
  t.I4 = (alpha / cd) * (std::log(k.Rd) - sd * k.Leta);
  t.I3 = alpha * (k.yt / (cd * k.Rd) - k.Leta) + (sd / cd) * t.I4;
  t.I1 = -(alpha / cd) * k.xi / k.Rd - (sd / cd) * t.I5;
  return t;
}

// General dip with c = cos(dip) small (|c| < 0.5 here) and s = sin(dip) > 0.
//
// Printed, I4 = (alpha/c)[ln(R + d~) - s ln(R + eta)] and I3 contains
// (s/c) I4: both are differences of nearly equal logarithms divided by c or
// c^2.  With m = q + eta c/(1 + s) one has d~ - eta = -c m, so
// (R + d~)/(R + eta) = 1 - u with u = c m/(R + eta), and 1 - s = c^2/(1 + s).
// Dividing out the powers of c analytically gives
//   I4 = alpha [-(m/Re) L(u) + c ln(Re)/(1 + s)],           L(u) = -ln(1-u)/u
//   I3 = alpha [eta/((1 + s) Rd) - ln(Re)/(1 + s) + s (m/Re)^2 G(u)]
// with G(u) = 1/(1 - u) - (-ln(1 - u) - u)/u^2 (Re = R + eta, Rd = R + d~).
//
// I5 = (2 alpha/c) atan(N/D) tends to +-alpha pi/c at every corner, and I1
// contains -(s/c) I5.  Subtracting the xi-only term (2 alpha/c) sgn(D) pi/2
// from I5 leaves -(2 alpha/c) atan2(D, N); for N > 0 (always so near
// vertical unless a patch edge lies above the surface) that is
//   I5 = -2 alpha xi (R + X)/N * atan(w)/w,           w = D/N
// with N = X (Re + s X - c^2 R/(1 + s)) + eta q c and D = xi (R + X) c.
// Subtracting also the xi-only term (alpha/c) xi/X from I1 leaves
//   I1 = -alpha xi [Q/(Rd X N) + 2 s xi (R + X)^2 T(w)/N^2],  T(w) = (w - atan w)/w^2
//   Q  = eta c (xi^2 + X R) + q R (Re + s X - c^2 R/(1 + s)),
// where Q is the numerator of 1/Rd + 1/X - 2 s (R + X)/N divided by c.
ITerms near_vertical_i_terms(const Corner& k, double sd, double cd, double alpha) {
  const double c = cd, s = sd;
  const double one_s = 1.0 + s;
  ITerms t;
  if (k.Re > 0.0) {
    const double m = k.q + k.eta * c / one_s;
    const double mr = m / k.Re;
    const Pair lg = log_parts(c * mr);
    t.I4 = alpha * (-mr * lg.a + c * k.Leta / one_s);
    t.I3 = alpha * (k.eta / (one_s * k.Rd) - k.Leta / one_s + s * mr * mr * lg.b);
  } else {
    // On the eta-singular line (an edge above the surface, observed
    // straight along its own line) the reduction has nothing to divide by.
    t.I4 = (alpha / c) * (std::log(k.Rd) - s * k.Leta);
    t.I3 = (alpha / (c * c)) * (k.yt * c / k.Rd + s * std::log(k.Rd) - k.Leta);
  }
  t.I1 = 0.0;
  t.I5 = 0.0;
  if (k.xi != 0.0) {
    const double RX = k.R + k.X;
    // eta + s (R + X), formed without cancellation for small c
    const double lean =
        k.eta >= 0.0 ? k.eta + s * RX : k.Re + s * k.X - c * c * k.R / one_s;
    const double N = k.X * lean + k.eta * k.q * c;
    const double D = k.xi * RX * c;
    if (N > 0.0) {
      const Pair at = atan_parts(D / N);
      t.I5 = -2.0 * alpha * k.xi * RX / N * at.a;
      const double Q = k.eta * c * (k.xi * k.xi + k.X * k.R) + k.q * k.R * lean;
      t.I1 = -alpha * k.xi * (Q / (k.Rd * k.X * N) + 2.0 * s * k.xi * RX * RX * at.b / (N * N));
    } else {
      t.I5 = -(2.0 * alpha / c) * std::atan2(D, N);
      t.I1 = -(alpha * k.xi / k.Rd + s * t.I5 + alpha * k.xi / k.X) / c;
    }
  }
  return t;
}

}  // namespace

namespace {

// The trace test for a patch described with sin(dip) >= 0.
bool trace_test(double x, double y, double L, double W, double depth, double sd, double cd) {
  const double tol = ON_TRACE_REL * (std::fabs(x) + std::fabs(y) + L + W + std::fabs(depth));
  return depth - W * sd <= tol && depth >= -tol && std::fabs(y * sd - depth * cd) <= tol && x >= -tol &&
         x <= L + tol;
}

}  // namespace

bool on_surface_trace(const Patch& patch, double x, double y) {
  const double L = patch.L, W = patch.W;
  double depth = patch.depth;
  double sd = patch.sin_dip;
  double cd = patch.cos_dip;
  if (sd < 0.0) {  // the same rectangle described from its other long edge
    y -= W * cd;
    depth -= W * sd;
    sd = -sd;
    cd = -cd;
  }
  return trace_test(x, y, L, W, depth, sd, cd);
}

namespace {

// The nine bracketed sums of the corner term, before the slip factors:
// components 0-2 go with the strike slip, 3-5 the dip slip, 6-8 the opening.
Vec9 chin_terms(double y, double depth, double sin_dip, double cos_dip, double alpha, double xi,
                double eta) {
  const double sd = sin_dip;
  const double cd = cos_dip;

  Corner k;
  k.xi = xi;
  k.eta = eta;
  k.q = y * sd - depth * cd;
  k.yt = eta * cd + k.q * sd;
  k.dt = eta * sd - k.q * cd;
  const double xi2 = xi * xi, eta2 = eta * eta, q2 = k.q * k.q;
  k.R = std::sqrt(xi2 + eta2 + q2);
  k.X = std::sqrt(xi2 + q2);
  // R + a for a < 0 equals (R^2 - a^2)/(R - a): no cancellation.
  k.Rx = xi >= 0.0 ? k.R + xi : (eta2 + q2) / (k.R - xi);
  k.Re = eta >= 0.0 ? k.R + eta : (xi2 + q2) / (k.R - eta);
  k.Rd = k.dt >= 0.0 ? k.R + k.dt : (xi2 + k.yt * k.yt) / (k.R - k.dt);
  // ln(R + eta) = ln(xi^2 + q^2) - ln(R - eta); on the line xi = q = 0 the
  // first part, which depends on xi alone, is dropped.
  const bool eta_singular = !(k.Re > 0.0);
  k.Leta = eta_singular ? -std::log(k.R - eta) : std::log(k.Re);

  // 1/(R(R + xi)) and 1/(R(R + eta)) with their limits on the lines where
  // the second factor vanishes: every term they enter also carries q, and
  // the terms drop out.
  const double X11 = k.Rx > 0.0 ? 1.0 / (k.R * k.Rx) : 0.0;
  const double Y11 = eta_singular ? 0.0 : 1.0 / (k.R * k.Re);
  const double inv_Re = eta_singular ? 0.0 : 1.0 / k.Re;

  // On q = 0 the arctangent jumps from -pi/2 to pi/2 (xi eta != 0); the jump
  // cancels in the corner sum except on the surface trace of the patch
  // itself, so either side is a valid limit and 0 is taken.
  const double theta =
      (k.q == 0.0 || xi * eta == 0.0) ? 0.0 : std::atan(xi * eta / (k.q * k.R));

  // The reduced form is exact for any small cos, so the vertical limit is
  // taken only where cos is exactly 0 (make_patch sets it so within 1e-8
  // degrees of vertical); the 1e-8 test on cos remains for corners handed in
  // with sin < 0.
  ITerms it;
  if (cd == 0.0)
    it = vertical_i_terms(k, sd, alpha);
  else if (std::fabs(cd) < NEAR_VERTICAL_COS && sd > 0.0)
    it = near_vertical_i_terms(k, sd, cd, alpha);
  else if (std::fabs(cd) < TOL)
    it = vertical_i_terms(k, sd, alpha);
  else
    it = general_i_terms(k, sd, cd, alpha);
  const double I2 = -(alpha * k.Leta + it.I3);

  const double q = k.q, yt = k.yt, dt = k.dt;
  const double xqY = xi * q * Y11;

  Vec9 t{};
  t[0] = xqY + theta + it.I1 * sd;
  t[1] = yt * q * Y11 + q * cd * inv_Re + I2 * sd;
  t[2] = dt * q * Y11 + q * sd * inv_Re + it.I4 * sd;
  t[3] = q / k.R - it.I3 * sd * cd;
  t[4] = yt * q * X11 + theta * cd - it.I1 * sd * cd;
  t[5] = dt * q * X11 + theta * sd - it.I5 * sd * cd;
  t[6] = q * q * Y11 - it.I3 * sd * sd;
  t[7] = -dt * q * X11 - (xqY - theta) * sd - it.I1 * sd * sd;
  t[8] = yt * q * X11 + (xqY - theta) * cd - it.I5 * sd * sd;
  return t;
}

// The corner term from its bracketed sums and the slip.
Vec9 with_slip(const Vec9& t, double U1, double U2, double U3) {
  const double c[3] = {-U1 / (2.0 * PI), -U2 / (2.0 * PI), U3 / (2.0 * PI)};
  Vec9 f{};
  for (int i = 0; i < 9; ++i) f[i] = c[i / 3] * t[i];
  return f;
}

}  // namespace

Vec9 chin(const Patch& patch, double y, double xi, double eta) {
  return with_slip(chin_terms(y, patch.depth, patch.sin_dip, patch.cos_dip, patch.alpha, xi, eta),
                   patch.U1, patch.U2, patch.U3);
}

void okada_patch_slips(const Patch& patch, std::span<const Vec3> slips, double x, double y, Vec9* out) {
  const double L = patch.L, W = patch.W;
  double depth = patch.depth;
  double sd = patch.sin_dip;
  double cd = patch.cos_dip;
  const double a = patch.alpha;

  // A patch with sin(dip) < 0 is the same rectangle seen from its other long
  // edge, at dip + 180 degrees: reference edge at y = W cos, depth
  // depth - W sin.  Its two sides swap, so the strike slip changes sign; the
  // up-dip direction turns round as well, so dip slip and opening keep
  // theirs.
  const bool flipped = sd < 0.0;
  if (flipped) {
    y -= W * cd;
    depth -= W * sd;
    sd = -sd;
    cd = -cd;
  }
  // On the surface trace of a patch that reaches the surface (its shallow
  // edge at or above the surface), ends included, the displacement jumps by
  // the slip and is singular at the corners: there is no value to return.
  if (trace_test(x, y, L, W, depth, sd, cd)) {
    for (std::size_t j = 0; j < slips.size(); ++j) out[j].fill(std::numeric_limits<double>::quiet_NaN());
    return;
  }

  const double p = y * cd + depth * sd;
  const Vec9 t1 = chin_terms(y, depth, sd, cd, a, x, p);
  const Vec9 t2 = chin_terms(y, depth, sd, cd, a, x, p - W);
  const Vec9 t3 = chin_terms(y, depth, sd, cd, a, x - L, p);
  const Vec9 t4 = chin_terms(y, depth, sd, cd, a, x - L, p - W);
  for (std::size_t j = 0; j < slips.size(); ++j) {
    const double U1 = flipped ? -slips[j][0] : slips[j][0], U2 = slips[j][1], U3 = slips[j][2];
    const Vec9 f1 = with_slip(t1, U1, U2, U3);
    const Vec9 f2 = with_slip(t2, U1, U2, U3);
    const Vec9 f3 = with_slip(t3, U1, U2, U3);
    const Vec9 f4 = with_slip(t4, U1, U2, U3);
    Vec9& u = out[j];
    u = Vec9{};
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
  }
}

Vec9 okada_patch(const Patch& patch, double x, double y) {
  const Vec3 slip{patch.U1, patch.U2, patch.U3};
  Vec9 u;
  okada_patch_slips(patch, std::span<const Vec3>(&slip, 1), x, y, &u);
  return u;
}

}  // namespace vadrel
