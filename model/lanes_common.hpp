#pragma once
// The parts of the lane kernels that do not depend on the lane width:
// included at the end of lanes_avx2.hpp and lanes_avx512.hpp, after V, M,
// WIDTH and their operations.
#include <cstddef>

#include "model/okada_terms.hpp"

namespace vadrel::lanes {

namespace {

// Mixed operands and compound assignments, from the lane operations.
VINLINE V operator+(V a, double b) { return a + bc(b); }
VINLINE V operator-(V a, double b) { return a - bc(b); }
VINLINE V operator*(V a, double b) { return a * bc(b); }
VINLINE V operator+(double a, V b) { return bc(a) + b; }
VINLINE V operator-(double a, V b) { return bc(a) - b; }
VINLINE V operator*(double a, V b) { return bc(a) * b; }
VINLINE V operator/(double a, V b) { return bc(a) / b; }
VINLINE V& operator+=(V& a, V b) { return a = a + b; }
VINLINE V& operator-=(V& a, V b) { return a = a - b; }
VINLINE M operator<(V a, double b) { return a < bc(b); }
VINLINE M operator<=(V a, double b) { return a <= bc(b); }
VINLINE M operator>(V a, double b) { return a > bc(b); }
VINLINE M operator>=(V a, double b) { return a >= bc(b); }
VINLINE M operator==(V a, double b) { return a == bc(b); }
VINLINE M operator!=(V a, double b) { return a != bc(b); }
VINLINE M& operator|=(M& a, M b) { return a = a | b; }

// ---------------------------------------------------------------------------
// The argument of a product of four complex numbers, one per corner.

// Signed sum arg z0 - arg z1 - arg z2 + arg z3 of the four corners' complex
// numbers, each with positive real part (argument in (-pi/2, pi/2)).  The
// pair products w = z0 conj(z1) and v = z3 conj(z2), formed as the corners
// arrive, have their arguments in (-pi, pi); the total, in (-2 pi, 2 pi), is
// the argument of w v plus 2 pi when both pairs turn the same way and the
// product's argument the other way.
struct ArgSum {
  V zr, zi;  // z0 or z2, until its partner arrives
  V wr, wi, vr, vi;
};

VINLINE void add_arg(ArgSum& a, V re, V im, int k) {
  if (k == 0 || k == 2) {
    a.zr = re;
    a.zi = im;
  } else if (k == 1) {
    a.wr = a.zr * re + a.zi * im;
    a.wi = a.zi * re - a.zr * im;
  } else {
    a.vr = re * a.zr + im * a.zi;
    a.vi = im * a.zr - re * a.zi;
  }
}

VINLINE V signed_arg_sum(const ArgSum& s) {
  const V tr = s.wr * s.vr - s.wi * s.vi;
  const V ti = s.wr * s.vi + s.wi * s.vr;
  const V a = vatan2(ti, tr);
  // Both pairs turn up (wi, vi >= 0) where the smaller of the two is >= 0,
  // both down where the larger is < 0: a minimum and a maximum instead of
  // two more comparisons each (a lane with a NaN has a NaN total anyway).
  const M up = (vmin(s.wi, s.vi) >= 0.0) & (a < 0.0);
  const M down = (vmax(s.wi, s.vi) < 0.0) & (a > 0.0);
  return (a + keep(up, bc(2.0 * PI))) - keep(down, bc(2.0 * PI));
}

// ---------------------------------------------------------------------------
// The argument of the logarithm helpers.

// {-ln(1 - u)/u, 1/(1 - u) - (-ln(1 - u) - u)/u^2}: series in
// v = u/(2 - u) below |u| = 0.25, closed form above (see okada.cpp).  Each
// form needs one reciprocal: of (2 - u)(1 - u) for the series, which gives
// v = u/(2 - u) and 1/(1 - v) = (2 - u)/(2 (1 - u)), and of u^2 (1 - u) for
// the closed form, which gives 1/u and 1/(1 - u).  log_arg() prepares the
// number to invert, so that its division can be shared.
struct LogArg {
  V u, au, one_u, two_u;
  M ser;
  int sb;
  V den;  // the number whose reciprocal log_parts() takes
};

VINLINE LogArg log_arg(V u) {
  LogArg a;
  a.u = u;
  a.au = vabs(u);
  a.ser = a.au < okada_terms::SERIES_LIMIT;
  a.sb = bits(a.ser);
  a.one_u = 1.0 - u;
  a.two_u = 2.0 - u;
  a.den = sel(a.ser, a.two_u * a.one_u, u * u * a.one_u);
  return a;
}

// ---------------------------------------------------------------------------
// The power series of the near-vertical helpers.

// Coefficients stored once per lane, so that the multiply-adds take them
// straight from memory.
struct Coeffs {
  alignas(64) double c[15][WIDTH];
};

constexpr Coeffs spread(const double (&c)[15]) {
  Coeffs r{};
  for (int k = 0; k < 15; ++k)
    for (int j = 0; j < WIDTH; ++j) r.c[k][j] = c[k];
  return r;
}

// (w - atan w)/w^3 = sum (-1)^k w^2k/(2k + 3): 15 terms for 1e-17 at
// |w| = 0.25, 5 at 1/64.
constexpr Coeffs ATAN_DEFECT_LANES = [] {
  double c[15]{};
  for (std::size_t k = 0; k < okada_terms::N_ATAN; ++k) c[k] = okada_terms::ATAN_DEFECT[k];
  return spread(c);
}();

// (atanh v - v)/v^3 = sum v^2k/(2k + 3), v <= 1/7: 11 terms for 1e-17 at
// |u| = 0.25, 5 at 1/64.
constexpr Coeffs ATANH_DEFECT_LANES = [] {
  double c[15]{};
  for (std::size_t k = 0; k < okada_terms::N_ATANH; ++k) c[k] = okada_terms::ATANH_DEFECT[k];
  return spread(c);
}();

VINLINE V coeff(const Coeffs& c, int k) { return loadu(c.c[k]); }

}  // namespace

}  // namespace vadrel::lanes
