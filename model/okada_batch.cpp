// Dispatch between the scalar and the lane forms.  This file is compiled for
// the baseline instruction set; the four-lane kernel lives in
// okada_batch_avx2.cpp, the eight-lane one in okada_batch_avx512.cpp, each
// compiled for its instruction set and entered only when the processor has
// it (kernel_path.hpp).
#include "model/okada_batch.hpp"

namespace vadrel {

namespace detail {
// Defined in okada_batch_avx2.cpp and okada_batch_avx512.cpp, on targets
// that build them.
void okada_patch_batch_avx2_kernel(const Patch& patch, const double* x, const double* y,
                                   std::size_t n, double* const out[9]);
void okada_patch_batch_avx512_kernel(const Patch& patch, const double* x, const double* y,
                                     std::size_t n, double* const out[9]);
std::size_t okada_patch_batch_enu_avx2_kernel(const Patch& patch, const PatchPlacement& at,
                                              const double* x, const double* y, std::size_t n,
                                              double* E, double* N, double* Z, std::size_t* missing);
std::size_t okada_patch_batch_enu_avx512_kernel(const Patch& patch, const PatchPlacement& at,
                                                const double* x, const double* y, std::size_t n,
                                                double* E, double* N, double* Z,
                                                std::size_t* missing);
}  // namespace detail

bool batch_has_avx2() { return kernel_support().avx2; }
bool batch_has_avx512() { return kernel_support().avx512; }

KernelPath supported_path(KernelPath path) {
  const KernelSupport s = kernel_support();
  if (path == KernelPath::avx512 && !s.avx512) path = KernelPath::avx2;
  if (path == KernelPath::avx2 && !s.avx2) path = KernelPath::scalar;
  return path;
}

void okada_patch_batch_scalar(const Patch& patch, const double* x, const double* y, std::size_t n,
                              double* const out[9]) {
  for (std::size_t i = 0; i < n; ++i) {
    const Vec9 u = okada_patch(patch, x[i], y[i]);
    for (std::size_t k = 0; k < 9; ++k) out[k][i] = u[k];
  }
}

void okada_patch_batch_on(KernelPath path, const Patch& patch, const double* x, const double* y,
                          std::size_t n, double* const out[9]) {
  switch (supported_path(path)) {
#if defined(VADREL_HAVE_AVX512_KERNEL)
    case KernelPath::avx512: detail::okada_patch_batch_avx512_kernel(patch, x, y, n, out); break;
#endif
#if defined(VADREL_HAVE_AVX2_KERNEL)
    case KernelPath::avx2: detail::okada_patch_batch_avx2_kernel(patch, x, y, n, out); break;
#endif
    default: okada_patch_batch_scalar(patch, x, y, n, out); break;
  }
}

void okada_patch_batch_avx2(const Patch& patch, const double* x, const double* y, std::size_t n,
                            double* const out[9]) {
  okada_patch_batch_on(KernelPath::avx2, patch, x, y, n, out);
}

void okada_patch_batch_avx512(const Patch& patch, const double* x, const double* y, std::size_t n,
                              double* const out[9]) {
  okada_patch_batch_on(KernelPath::avx512, patch, x, y, n, out);
}

void okada_patch_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                       double* const out[9]) {
  okada_patch_batch_on(process_kernel().path, patch, x, y, n, out);
}

namespace {

// okada_patch() at each point in turn, summed as okada_patch_batch_enu() says.
std::size_t patch_batch_enu_scalar(const Patch& patch, const PatchPlacement& at, const double* x,
                                   const double* y, std::size_t n, double* E, double* N, double* Z,
                                   std::size_t* missing) {
  std::size_t count = 0;
  const double cs = at.cs, sn = at.sn;
  for (std::size_t i = 0; i < n; ++i) {
    const double dx = x[i] - at.X, dy = y[i] - at.Y;
    const Vec9 u = okada_patch(patch, dx * at.B + dy * at.A, dy * at.B - dx * at.A);
    if (!all_finite(u)) {
      missing[count++] = i;
      continue;
    }
    E[i] += ((cs * u[0] + sn * u[1]) + (cs * u[3] + sn * u[4])) + (cs * u[6] + sn * u[7]);
    N[i] += ((cs * u[1] - sn * u[0]) + (cs * u[4] - sn * u[3])) + (cs * u[7] - sn * u[6]);
    Z[i] += (u[2] + u[5]) + u[8];
  }
  return count;
}

}  // namespace

std::size_t okada_patch_batch_enu_on(KernelPath path, const Patch& patch, const PatchPlacement& at,
                                     const double* x, const double* y, std::size_t n, double* E,
                                     double* N, double* Z, std::size_t* missing) {
  switch (supported_path(path)) {
#if defined(VADREL_HAVE_AVX512_KERNEL)
    case KernelPath::avx512:
      return detail::okada_patch_batch_enu_avx512_kernel(patch, at, x, y, n, E, N, Z, missing);
#endif
#if defined(VADREL_HAVE_AVX2_KERNEL)
    case KernelPath::avx2:
      return detail::okada_patch_batch_enu_avx2_kernel(patch, at, x, y, n, E, N, Z, missing);
#endif
    default: return patch_batch_enu_scalar(patch, at, x, y, n, E, N, Z, missing);
  }
}

std::size_t okada_patch_batch_enu(const Patch& patch, const PatchPlacement& at, const double* x,
                                  const double* y, std::size_t n, double* E, double* N, double* Z,
                                  std::size_t* missing) {
  return okada_patch_batch_enu_on(process_kernel().path, patch, at, x, y, n, E, N, Z, missing);
}

}  // namespace vadrel
