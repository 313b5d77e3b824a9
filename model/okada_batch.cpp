// Dispatch between the scalar and the four-lane batch forms.  This file is
// compiled for the baseline instruction set; the four-lane kernel lives in
// okada_batch_avx2.cpp, compiled for AVX2 and FMA, and is entered only when
// the processor has both.
#include "model/okada_batch.hpp"

namespace vadrel {

namespace detail {
// Defined in okada_batch_avx2.cpp (a no-op on targets without it).
void okada_patch_batch_avx2_kernel(double U1, double U2, double U3, const double* x,
                                   const double* y, std::size_t n, double L, double W,
                                   double depth, const PatchTrig& trig, double* const out[9]);
}  // namespace detail

bool batch_has_avx2() {
#if defined(VADREL_HAVE_AVX2_KERNEL) && (defined(__x86_64__) || defined(__i386__))
  static const bool has = [] {
    __builtin_cpu_init();
    return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
  }();
  return has;
#else
  return false;
#endif
}

void okada_patch_batch_scalar(double U1, double U2, double U3, const double* x,
                              const double* y, std::size_t n, double L, double W, double depth,
                              const PatchTrig& trig, double* const out[9]) {
  for (std::size_t i = 0; i < n; ++i) {
    const Vec9 u = okada_patch(U1, U2, U3, x[i], y[i], L, W, depth, trig);
    for (std::size_t k = 0; k < 9; ++k) out[k][i] = u[k];
  }
}

void okada_patch_batch_avx2(double U1, double U2, double U3, const double* x, const double* y,
                            std::size_t n, double L, double W, double depth,
                            const PatchTrig& trig, double* const out[9]) {
  if (batch_has_avx2())
    detail::okada_patch_batch_avx2_kernel(U1, U2, U3, x, y, n, L, W, depth, trig, out);
  else
    okada_patch_batch_scalar(U1, U2, U3, x, y, n, L, W, depth, trig, out);
}

void okada_patch_batch(double U1, double U2, double U3, const double* x, const double* y,
                       std::size_t n, double L, double W, double depth, const PatchTrig& trig,
                       double* const out[9]) {
  okada_patch_batch_avx2(U1, U2, U3, x, y, n, L, W, depth, trig, out);
}

}  // namespace vadrel
