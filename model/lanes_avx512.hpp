#pragma once
// Eight doubles at a time (AVX-512 F and DQ), for the eight-lane kernels
// only: a file that includes this is compiled for that instruction set and
// entered after a run-time check.  Everything here has internal linkage, so
// no copy of it can stand in for code of the baseline files.  The names and
// meanings are those of the four-lane set (lanes_avx2.hpp); masks are the
// processor's mask registers, one bit per lane.
#include <immintrin.h>

#include <cstddef>

#include "model/okada_terms.hpp"
#include "model/vec9.hpp"

// Vector maths of the C library (glibc's libmvec), eight doubles per call.
extern "C" {
__m512d _ZGVeN8v_log(__m512d);
__m512d _ZGVeN8v_atan(__m512d);
__m512d _ZGVeN8v_log1p(__m512d);
__m512d _ZGVeN8vv_atan2(__m512d, __m512d);
}

namespace vadrel::lanes {

namespace {

// The helpers below must be inlined to keep their operands in registers.
#define VINLINE inline __attribute__((always_inline))

constexpr int WIDTH = 8;          // lanes
constexpr int ALL_LANES = 0xff;   // bits(m) with every lane true

struct V {
  __m512d v;
};
struct M {
  __mmask8 m;  // bit i set in true lane i
};

VINLINE V bc(double d) { return {_mm512_set1_pd(d)}; }
VINLINE V operator+(V a, V b) { return {_mm512_add_pd(a.v, b.v)}; }
VINLINE V operator-(V a, V b) { return {_mm512_sub_pd(a.v, b.v)}; }
VINLINE V operator*(V a, V b) { return {_mm512_mul_pd(a.v, b.v)}; }
VINLINE V operator/(V a, V b) { return {_mm512_div_pd(a.v, b.v)}; }
VINLINE V operator-(V a) { return {_mm512_xor_pd(a.v, _mm512_set1_pd(-0.0))}; }
VINLINE V fmadd(V a, V b, V c) { return {_mm512_fmadd_pd(a.v, b.v, c.v)}; }
// The smaller and larger of a and b (b where either is NaN; all-true mask as
// for vsqrt).
VINLINE V vmin(V a, V b) { return {_mm512_maskz_min_pd(0xff, a.v, b.v)}; }
VINLINE V vmax(V a, V b) { return {_mm512_maskz_max_pd(0xff, a.v, b.v)}; }
VINLINE V vabs(V a) { return {_mm512_andnot_pd(_mm512_set1_pd(-0.0), a.v)}; }
// (With an all-true mask: the plain form starts from an undefined register,
// which GCC 12 reports as uninitialized.)
VINLINE V vsqrt(V a) { return {_mm512_maskz_sqrt_pd(0xff, a.v)}; }
// a * sgn(s): a with its sign flipped where s is negative.
VINLINE V times_sign(V a, V s) {
  return {_mm512_xor_pd(a.v, _mm512_and_pd(s.v, _mm512_set1_pd(-0.0)))};
}

// Comparisons as in C++: false on NaN, except != which is true.
VINLINE M operator<(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LT_OQ)}; }
VINLINE M operator<=(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_LE_OQ)}; }
VINLINE M operator>(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GT_OQ)}; }
VINLINE M operator>=(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_GE_OQ)}; }
VINLINE M operator==(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_EQ_OQ)}; }
VINLINE M operator!=(V a, V b) { return {_mm512_cmp_pd_mask(a.v, b.v, _CMP_NEQ_UQ)}; }
VINLINE M operator&(M a, M b) { return {static_cast<__mmask8>(a.m & b.m)}; }
VINLINE M operator|(M a, M b) { return {static_cast<__mmask8>(a.m | b.m)}; }
VINLINE M operator!(M a) { return {static_cast<__mmask8>(~a.m)}; }
VINLINE M none() { return {0}; }
VINLINE int bits(M a) { return a.m; }
VINLINE bool any(M a) { return a.m != 0; }

// a where m, else b.
VINLINE V sel(M m, V a, V b) { return {_mm512_mask_blend_pd(m.m, b.v, a.v)}; }
// a where m, else +0.
VINLINE V keep(M m, V a) { return {_mm512_maskz_mov_pd(m.m, a.v)}; }
// +0 where m, else a.
VINLINE V drop(M m, V a) { return {_mm512_maskz_mov_pd(static_cast<__mmask8>(~m.m), a.v)}; }

// Loads and stores of WIDTH doubles (no alignment needed).
VINLINE V loadu(const double* p) { return {_mm512_loadu_pd(p)}; }
VINLINE void storeu(double* p, V a) { _mm512_storeu_pd(p, a.v); }
// c - a b with one rounding.
VINLINE V fnmadd(V a, V b, V c) { return {_mm512_fnmadd_pd(a.v, b.v, c.v)}; }

VINLINE V vlog(V a) { return {_ZGVeN8v_log(a.v)}; }
VINLINE V vatan(V a) { return {_ZGVeN8v_atan(a.v)}; }
VINLINE V vlog1p(V a) { return {_ZGVeN8v_log1p(a.v)}; }
VINLINE V vatan2(V y, V x) { return {_ZGVeN8vv_atan2(y.v, x.v)}; }

// True in lanes where v is not finite (v * 0 is NaN exactly there).
VINLINE M not_finite(V v) {
  return {_mm512_cmp_pd_mask((v * bc(0.0)).v, _mm512_setzero_pd(), _CMP_NEQ_UQ)};
}

}  // namespace

}  // namespace vadrel::lanes

#include "model/lanes_common.hpp"
