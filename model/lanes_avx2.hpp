#pragma once
// Four doubles at a time (AVX2 and FMA), for the four-lane kernels only: a
// file that includes this is compiled for that instruction set and entered
// after a run-time check.  Everything here has internal linkage, so no copy
// of it can stand in for code of the baseline files.  The eight-lane set
// (lanes_avx512.hpp) has the same names and meanings, so the kernels are
// written once against V and M (lanes_common.hpp, okada_batch_lanes.hpp,
// derivatives/jacobian_lanes.hpp).
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

constexpr int WIDTH = 4;         // lanes
constexpr int ALL_LANES = 0xf;   // bits(m) with every lane true

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
VINLINE V operator-(V a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
VINLINE V fmadd(V a, V b, V c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
// The smaller and larger of a and b (b where either is NaN).
VINLINE V vmin(V a, V b) { return {_mm256_min_pd(a.v, b.v)}; }
VINLINE V vmax(V a, V b) { return {_mm256_max_pd(a.v, b.v)}; }
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
VINLINE M operator&(M a, M b) { return {_mm256_and_pd(a.m, b.m)}; }
VINLINE M operator|(M a, M b) { return {_mm256_or_pd(a.m, b.m)}; }
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

// Loads and stores of WIDTH doubles (no alignment needed).
VINLINE V loadu(const double* p) { return {_mm256_loadu_pd(p)}; }
VINLINE void storeu(double* p, V a) { _mm256_storeu_pd(p, a.v); }
// c - a b with one rounding.
VINLINE V fnmadd(V a, V b, V c) { return {_mm256_fnmadd_pd(a.v, b.v, c.v)}; }

VINLINE V vlog(V a) { return {_ZGVdN4v_log(a.v)}; }
VINLINE V vatan(V a) { return {_ZGVdN4v_atan(a.v)}; }
VINLINE V vlog1p(V a) { return {_ZGVdN4v_log1p(a.v)}; }
VINLINE V vatan2(V y, V x) { return {_ZGVdN4vv_atan2(y.v, x.v)}; }

// True in lanes where v is not finite (v * 0 is NaN exactly there).
VINLINE M not_finite(V v) { return {_mm256_cmp_pd((v * bc(0.0)).v, _mm256_setzero_pd(), _CMP_NEQ_UQ)}; }

}  // namespace

}  // namespace vadrel::lanes

#include "model/lanes_common.hpp"
