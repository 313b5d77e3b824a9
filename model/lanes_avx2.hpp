#pragma once
// Four doubles at a time (AVX2 and FMA), for the four-lane kernels only: a
// file that includes this is compiled for that instruction set and entered
// after a run-time check.  Everything here has internal linkage, so no copy
// of it can stand in for code of the baseline files.
#include <immintrin.h>

#include <cstddef>

#include "model/okada_terms.hpp"
#include "model/vec9.hpp"

// Vector maths of the C library (glibc's libmvec), four doubles per call.
extern "C" {
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_atan(__m256d);
__m256d _ZGVdN4v_log1p(__m256d);
__m256d _ZGVdN4vv_atan2(__m256d, __m256d);
}

namespace vadrel::lanes {

namespace {

// ---------------------------------------------------------------------------
// Four doubles and four lane masks, with the arithmetic spelled as operators.

// The helpers below must be inlined to keep their operands in registers.
#define VINLINE inline __attribute__((always_inline))

struct V {
  __m256d v;
};
struct M {
  __m256d m;  // all bits set in true lanes
};

VINLINE V bc(double d) { return {_mm256_set1_pd(d)}; }
VINLINE V operator+(V a, V b) { return {_mm256_add_pd(a.v, b.v)}; }
VINLINE V operator-(V a, V b) { return {_mm256_sub_pd(a.v, b.v)}; }
VINLINE V operator*(V a, V b) { return {_mm256_mul_pd(a.v, b.v)}; }
VINLINE V operator/(V a, V b) { return {_mm256_div_pd(a.v, b.v)}; }
VINLINE V operator+(V a, double b) { return a + bc(b); }
VINLINE V operator-(V a, double b) { return a - bc(b); }
VINLINE V operator*(V a, double b) { return a * bc(b); }
VINLINE V operator+(double a, V b) { return bc(a) + b; }
VINLINE V operator-(double a, V b) { return bc(a) - b; }
VINLINE V operator*(double a, V b) { return bc(a) * b; }
VINLINE V operator/(double a, V b) { return bc(a) / b; }
VINLINE V operator-(V a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
VINLINE V& operator+=(V& a, V b) { return a = a + b; }
VINLINE V& operator-=(V& a, V b) { return a = a - b; }
VINLINE V fmadd(V a, V b, V c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
VINLINE V vabs(V a) { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }
VINLINE V vsqrt(V a) { return {_mm256_sqrt_pd(a.v)}; }
// a * sgn(s): a with its sign flipped where s is negative.
VINLINE V times_sign(V a, V s) {
  return {_mm256_xor_pd(a.v, _mm256_and_pd(s.v, _mm256_set1_pd(-0.0)))};
}

// Comparisons as in C++: false on NaN, except != which is true.
VINLINE M operator<(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
VINLINE M operator<=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
VINLINE M operator>(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
VINLINE M operator>=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
VINLINE M operator==(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
VINLINE M operator!=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
VINLINE M operator<(V a, double b) { return a < bc(b); }
VINLINE M operator<=(V a, double b) { return a <= bc(b); }
VINLINE M operator>(V a, double b) { return a > bc(b); }
VINLINE M operator>=(V a, double b) { return a >= bc(b); }
VINLINE M operator==(V a, double b) { return a == bc(b); }
VINLINE M operator!=(V a, double b) { return a != bc(b); }
VINLINE M operator&(M a, M b) { return {_mm256_and_pd(a.m, b.m)}; }
VINLINE M operator|(M a, M b) { return {_mm256_or_pd(a.m, b.m)}; }
VINLINE M& operator|=(M& a, M b) { return a = a | b; }
VINLINE M operator!(M a) {
  return {_mm256_xor_pd(a.m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}
VINLINE M none() { return {_mm256_setzero_pd()}; }
VINLINE int bits(M a) { return _mm256_movemask_pd(a.m); }
VINLINE bool any(M a) { return bits(a) != 0; }

// a where m, else b.
VINLINE V sel(M m, V a, V b) { return {_mm256_blendv_pd(b.v, a.v, m.m)}; }
// a where m, else +0.
VINLINE V keep(M m, V a) { return {_mm256_and_pd(m.m, a.v)}; }
// +0 where m, else a.
VINLINE V drop(M m, V a) { return {_mm256_andnot_pd(m.m, a.v)}; }

VINLINE V vlog(V a) { return {_ZGVdN4v_log(a.v)}; }
VINLINE V vatan(V a) { return {_ZGVdN4v_atan(a.v)}; }
VINLINE V vlog1p(V a) { return {_ZGVdN4v_log1p(a.v)}; }
VINLINE V vatan2(V y, V x) { return {_ZGVdN4vv_atan2(y.v, x.v)}; }

// True in lanes where v is not finite (v * 0 is NaN exactly there).
VINLINE M not_finite(V v) { return {_mm256_cmp_pd((v * 0.0).v, _mm256_setzero_pd(), _CMP_NEQ_UQ)}; }

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
  const M up = (s.wi >= 0.0) & (s.vi >= 0.0) & (a < 0.0);
  const M down = (s.wi < 0.0) & (s.vi < 0.0) & (a > 0.0);
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

// Coefficients stored four times over, so that the multiply-adds take them
// straight from memory.
struct Coeffs {
  alignas(32) double c[15][4];
};

constexpr Coeffs spread(const double (&c)[15]) {
  Coeffs r{};
  for (int k = 0; k < 15; ++k)
    for (int j = 0; j < 4; ++j) r.c[k][j] = c[k];
  return r;
}

// (w - atan w)/w^3 = sum (-1)^k w^2k/(2k + 3): 15 terms for 1e-17 at
// |w| = 0.25, 5 at 1/64.
constexpr Coeffs ATAN_DEFECT4 = [] {
  double c[15]{};
  for (std::size_t k = 0; k < okada_terms::N_ATAN; ++k) c[k] = okada_terms::ATAN_DEFECT[k];
  return spread(c);
}();

// (atanh v - v)/v^3 = sum v^2k/(2k + 3), v <= 1/7: 11 terms for 1e-17 at
// |u| = 0.25, 5 at 1/64.
constexpr Coeffs ATANH_DEFECT4 = [] {
  double c[15]{};
  for (std::size_t k = 0; k < okada_terms::N_ATANH; ++k) c[k] = okada_terms::ATANH_DEFECT[k];
  return spread(c);
}();

VINLINE V coeff(const Coeffs& c, int k) { return {_mm256_load_pd(c.c[k])}; }

}  // namespace

}  // namespace vadrel::lanes
