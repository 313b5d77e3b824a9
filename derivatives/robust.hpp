#pragma once
// Repairs shared by the closed-form derivative sums (internal to
// derivatives/): recognising the surface lines where the corner formulas
// degenerate although the field is smooth, interpolating across them, and
// a difference fallback for the rare point where no closed value is finite.
#include <algorithm>
#include <cmath>
#include <limits>

#include "derivatives/deru.hpp"
#include "model/okada.hpp"

namespace vadrel::detail {

inline constexpr double RAD_TO_DEG = 180.0 / PI;

inline Vec9 nan9() {
  Vec9 v{};
  v.fill(std::numeric_limits<double>::quiet_NaN());
  return v;
}

// Multiplies each triple of a unit-slip result by its own slip.
inline Vec9 apply_slips(const Vec9& unit, double U1, double U2, double U3) {
  Vec9 v = unit;
  for (int i = 0; i < 3; ++i) {
    v[i] *= U1;
    v[3 + i] *= U2;
    v[6 + i] *= U3;
  }
  return v;
}

inline void axpy(Vec9& acc, const Vec9& v, double f) {
  for (int i = 0; i < 9; ++i) acc[i] += f * v[i];
}
inline void axpy(DeruXY& acc, const DeruXY& v, double f) {
  axpy(acc.dx, v.dx, f);
  axpy(acc.dy, v.dy, f);
}

// The four corners of Chinnery's sum as the kernels see them, for sin(dip)
// of either sign.  A patch with sin(dip) < 0 is the same rectangle described
// from its other long edge, at dip + 180 degrees: sin and cos change sign,
// q becomes -q, eta = p - w becomes W - p at the old far edge and -p at the
// old reference edge, and the strike slip changes sign (the two sides of the
// patch swap).  Every corner quantity is taken over exactly from the direct
// description (y~ = y - w cos and d~ = depth - w sin of the same physical
// corner), so the relabelling costs no rounding.
struct CornerSet {
  double s, c;       // sin and cos of the dip in the description used (s >= 0)
  double q;          // y s - depth c in that description
  double q_rate;     // d q/d(dip): p, or -p when relabelled
  double xi[4], eta[4], yt[4], dt[4];
  double sign[4];    // Chinnery's signs
  double w_rate[4];  // d eta/dW: -1 or 0, +1 or 0 when relabelled
  double u1_sign;    // -1 when relabelled
};

inline CornerSet corner_set(double x, double y, double L, double W, double depth,
                            double s, double c) {
  const double p = y * c + depth * s;
  const double q = y * s - depth * c;
  // the corner at the far edge (w = W) and at the reference edge (w = 0)
  const double yt_far = y - W * c, dt_far = depth - W * s;
  CornerSet k{};
  const bool flip = s < 0.0;
  k.s = flip ? -s : s;
  k.c = flip ? -c : c;
  k.q = flip ? -q : q;
  k.q_rate = flip ? -p : p;
  k.u1_sign = flip ? -1.0 : 1.0;
  for (int n = 0; n < 4; ++n) {
    const bool first_edge = n % 2 == 0;  // w = 0 in the description used
    const bool at_far = flip ? first_edge : !first_edge;
    k.xi[n] = n < 2 ? x : x - L;
    k.eta[n] = flip ? (first_edge ? W - p : -p) : (first_edge ? p : p - W);
    k.yt[n] = at_far ? yt_far : y;
    k.dt[n] = at_far ? dt_far : depth;
    k.sign[n] = (n == 0 || n == 3) ? 1.0 : -1.0;
    k.w_rate[n] = flip ? (first_edge ? 1.0 : 0.0) : (first_edge ? 0.0 : -1.0);
  }
  return k;
}

// Patch geometry seen from the point: dip in degrees with its sine and
// cosine (as make_patch() gives them), and alpha = mu/(lambda + mu).
struct Geometry {
  double x, y, dip_deg, s, c, depth, L, W, alpha;
};

// Distance from the surface point to the patch rectangle.
inline double distance_to_patch(const Geometry& g) {
  const double c = g.c;
  const double s = g.s;
  const double p = c * g.y + s * g.depth;
  const double q = s * g.y - c * g.depth;
  const double dxi = (g.x < 0.0) ? -g.x : (g.x > g.L ? g.x - g.L : 0.0);
  const double deta = (p < 0.0) ? -p : (p > g.W ? p - g.W : 0.0);
  return std::sqrt(dxi * dxi + deta * deta + q * q);
}

inline double size_scale(const Geometry& g) {
  return std::fabs(g.x) + std::fabs(g.y) + g.L + g.W + std::fabs(g.depth);
}

enum class Param { X, Y, L, W, Depth, Dip };

// Central difference of the unit-slip displacement in one parameter,
// Richardson-extrapolated from steps h and h/2 (error of order h^4).  The
// step is a small fraction of the distance to the patch, the length over
// which the field varies; for the dip the lever arm is the patch width.
// The displacement is evaluated for slips of 2^40 and scaled back by that
// exact power of two, which pushes okada_patch's clearing of values below
// 1e-8 down to 1e-20 without changing a digit.
inline Vec9 numeric_unit(const Geometry& g, Param which) {
  constexpr double BIG = 1099511627776.0;  // 2^40
  const double rho = distance_to_patch(g);
  double h = 1e-3 * rho;
  if (which == Param::Dip) h = 1e-3 * rho / std::max(rho, g.W);
  auto eval = [&](double step) {
    double x = g.x, y = g.y, L = g.L, W = g.W, depth = g.depth;
    double dip = g.dip_deg;
    switch (which) {
      case Param::X: x += step; break;
      case Param::Y: y += step; break;
      case Param::L: L += step; break;
      case Param::W: W += step; break;
      case Param::Depth: depth += step; break;
      case Param::Dip: dip += step * RAD_TO_DEG; break;
    }
    Patch patch = make_patch(L, W, depth, dip, 1.0, 1.0, BIG, BIG, BIG);
    patch.alpha = g.alpha;
    Vec9 u = okada_patch(patch, x, y);
    for (double& e : u) e /= BIG;
    return u;
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

// Some lines of the surface are singular for the corner formulas although
// the displacement is smooth across them: the line q = 0 where the plane of
// the patch meets the surface (beyond the ends of the surface trace when the
// patch reaches the surface), and the lines xi = 0 level with the patch
// ends.  Close to them the closed forms divide quantities that are both
// rounding noise.  There the derivative is interpolated across the line
// from closed-form values at points well off it (symmetric nodes at 1, 2
// and 3 steps either side, degree 5); the step is 0.5% of the distance to
// the patch, well inside the radius over which the field is analytic, and
// the nodes keep 0.5% of that distance from the line.
inline constexpr double NEAR_LINE = 1e-3;   // trigger, relative to the distance
inline constexpr double NODE_STEP = 0.005;  // node spacing, relative to the distance

template <class F>
auto across_line(F closed, double x, double y, bool along_y, double line,
                 double step) {
  const double offs[6] = {-3.0, -2.0, -1.0, 1.0, 2.0, 3.0};
  const double u = ((along_y ? y : x) - line) / step;
  decltype(closed(x, y)) out{};
  for (int k = 0; k < 6; ++k) {
    double wgt = 1.0;
    for (int j = 0; j < 6; ++j) {
      if (j != k) wgt *= (u - offs[j]) / (offs[k] - offs[j]);
    }
    const double node = line + offs[k] * step;
    axpy(out, along_y ? closed(x, node) : closed(node, y), wgt);
  }
  return out;
}

// True where the point is close enough to a degenerate line for
// line_safe() to interpolate.
inline bool near_degenerate_line(const Geometry& g, double rho) {
  const double q = g.s * g.y - g.c * g.depth;
  return std::fabs(q) < NEAR_LINE * rho * std::fabs(g.s) ||
         std::fabs(g.x) < NEAR_LINE * rho ||
         std::fabs(g.x - g.L) < NEAR_LINE * rho;
}

// closed(x, y) evaluates derivatives in closed form at another surface point
// of the same patch; the result is interpolated across the degenerate lines
// near (g.x, g.y): level with a patch end, then beside the q = 0 line (the
// nodes of the latter may themselves be level with an end).
template <class F>
auto line_safe(F closed, const Geometry& g, double rho) {
  const double s = g.s;
  const double c = g.c;
  const double q = s * g.y - c * g.depth;
  const double step = NODE_STEP * rho;
  auto x_safe = [&](double x, double y) {
    for (double end : {0.0, g.L}) {
      if (std::fabs(x - end) < NEAR_LINE * rho) {
        return across_line(closed, x, y, false, end, step);
      }
    }
    return closed(x, y);
  };
  if (std::fabs(q) < NEAR_LINE * rho * std::fabs(s)) {
    return across_line(x_safe, g.x, g.y, true, c * g.depth / s, step);
  }
  return x_safe(g.x, g.y);
}

}  // namespace vadrel::detail
