// Dispatch between the one-point and the lane batch derivatives.  This file
// is compiled for the baseline instruction set; the four-lane kernels live in
// jacobian_avx2.cpp, the eight-lane ones in jacobian_avx512.cpp, each
// compiled for its instruction set and entered only when the processor has
// it (model/kernel_path.hpp).  They mark the points whose answer is not
// the plain closed form, and those are evaluated here by the one-point form.
#include "derivatives/jacobian_batch.hpp"

#include <algorithm>
#include <cstdint>

#include "derivatives/deru.hpp"
#include "model/okada_batch.hpp"

namespace vadrel {

namespace detail {
// Defined in jacobian_avx2.cpp and jacobian_avx512.cpp, on targets that
// build them.  At most
// kDerivBlock points per call; redo[i] = 1 marks point i for the one-point
// form, whose outputs are then left unspecified.
void patch_strain_avx2_kernel(const Patch& patch, const double* x, const double* y, std::size_t n,
                              double* const dx[9], double* const dy[9], std::uint8_t* redo);
void patch_jacobian_avx2_kernel(const Patch& patch, const double* x, const double* y, std::size_t n,
                                const JacobianArrays& out, std::uint8_t* redo);
void patch_strain_avx512_kernel(const Patch& patch, const double* x, const double* y, std::size_t n,
                                double* const dx[9], double* const dy[9], std::uint8_t* redo);
void patch_jacobian_avx512_kernel(const Patch& patch, const double* x, const double* y,
                                  std::size_t n, const JacobianArrays& out, std::uint8_t* redo);
}  // namespace detail

namespace {

constexpr std::size_t kDerivBlock = 256;

void put(double* const dst[9], std::size_t i, const Vec9& v) {
  for (std::size_t k = 0; k < 9; ++k) dst[k][i] = v[k];
}

void put(const JacobianArrays& out, std::size_t i, const PatchJacobian& j) {
  put(out.u, i, j.u);
  put(out.unit, i, j.unit);
  put(out.dx, i, j.dx);
  put(out.dy, i, j.dy);
  put(out.dL, i, j.dL);
  put(out.dW, i, j.dW);
  put(out.ddepth, i, j.ddepth);
  put(out.ddip, i, j.ddip);
}

// The output arrays from point `first` on.
JacobianArrays offset(const JacobianArrays& a, std::size_t first) {
  JacobianArrays r = a;
  for (double** f : {r.u, r.unit, r.dx, r.dy, r.dL, r.dW, r.ddepth, r.ddip}) {
    for (std::size_t k = 0; k < 9; ++k) f[k] += first;
  }
  return r;
}

}  // namespace

std::size_t patch_strain_batch_scalar(const Patch& patch, const double* x, const double* y,
                                      std::size_t n, double* const dx[9], double* const dy[9],
                                      std::uint8_t* by_point) {
  for (std::size_t i = 0; i < n; ++i) {
    const DeruXY d = patch_strain(patch, x[i], y[i]);
    put(dx, i, d.dx);
    put(dy, i, d.dy);
  }
  if (by_point != nullptr) std::fill(by_point, by_point + n, std::uint8_t{1});
  return n;
}

std::size_t patch_jacobian_batch_scalar(const Patch& patch, const double* x, const double* y,
                                        std::size_t n, const JacobianArrays& out,
                                        std::uint8_t* by_point) {
  for (std::size_t i = 0; i < n; ++i) put(out, i, patch_jacobian(patch, x[i], y[i]));
  if (by_point != nullptr) std::fill(by_point, by_point + n, std::uint8_t{1});
  return n;
}

namespace {

using StrainKernel = void (*)(const Patch&, const double*, const double*, std::size_t,
                              double* const[9], double* const[9], std::uint8_t*);
using JacobianKernel = void (*)(const Patch&, const double*, const double*, std::size_t,
                                const JacobianArrays&, std::uint8_t*);

// A lane kernel over blocks of points, then the one-point form where it
// marked a point.
[[maybe_unused]] std::size_t strain_lanes(StrainKernel kernel, const Patch& patch, const double* x,
                                          const double* y, std::size_t n, double* const dx[9],
                                          double* const dy[9], std::uint8_t* by_point) {
  std::uint8_t redo[kDerivBlock];
  std::size_t scalar = 0;
  for (std::size_t first = 0; first < n; first += kDerivBlock) {
    const std::size_t m = std::min(kDerivBlock, n - first);
    double* bx[9];
    double* by[9];
    for (std::size_t k = 0; k < 9; ++k) {
      bx[k] = dx[k] + first;
      by[k] = dy[k] + first;
    }
    kernel(patch, x + first, y + first, m, bx, by, redo);
    if (by_point != nullptr) std::copy(redo, redo + m, by_point + first);
    for (std::size_t i = 0; i < m; ++i) {
      if (redo[i] == 0) continue;
      ++scalar;
      const DeruXY d = patch_strain(patch, x[first + i], y[first + i]);
      put(bx, i, d.dx);
      put(by, i, d.dy);
    }
  }
  return scalar;
}

[[maybe_unused]] std::size_t jacobian_lanes(JacobianKernel kernel, const Patch& patch,
                                            const double* x, const double* y, std::size_t n,
                                            const JacobianArrays& out, std::uint8_t* by_point) {
  std::uint8_t redo[kDerivBlock];
  std::size_t scalar = 0;
  for (std::size_t first = 0; first < n; first += kDerivBlock) {
    const std::size_t m = std::min(kDerivBlock, n - first);
    const JacobianArrays b = offset(out, first);
    kernel(patch, x + first, y + first, m, b, redo);
    if (by_point != nullptr) std::copy(redo, redo + m, by_point + first);
    for (std::size_t i = 0; i < m; ++i) {
      if (redo[i] == 0) continue;
      ++scalar;
      put(b, i, patch_jacobian(patch, x[first + i], y[first + i]));
    }
  }
  return scalar;
}

}  // namespace

std::size_t patch_strain_batch_on(KernelPath path, const Patch& patch, const double* x,
                                  const double* y, std::size_t n, double* const dx[9],
                                  double* const dy[9], std::uint8_t* by_point) {
  switch (supported_path(path)) {
#if defined(VADREL_HAVE_AVX512_KERNEL)
    case KernelPath::avx512:
      return strain_lanes(detail::patch_strain_avx512_kernel, patch, x, y, n, dx, dy, by_point);
#endif
#if defined(VADREL_HAVE_AVX2_KERNEL)
    case KernelPath::avx2:
      return strain_lanes(detail::patch_strain_avx2_kernel, patch, x, y, n, dx, dy, by_point);
#endif
    default: return patch_strain_batch_scalar(patch, x, y, n, dx, dy, by_point);
  }
}

std::size_t patch_jacobian_batch_on(KernelPath path, const Patch& patch, const double* x,
                                    const double* y, std::size_t n, const JacobianArrays& out,
                                    std::uint8_t* by_point) {
  switch (supported_path(path)) {
#if defined(VADREL_HAVE_AVX512_KERNEL)
    case KernelPath::avx512:
      return jacobian_lanes(detail::patch_jacobian_avx512_kernel, patch, x, y, n, out, by_point);
#endif
#if defined(VADREL_HAVE_AVX2_KERNEL)
    case KernelPath::avx2:
      return jacobian_lanes(detail::patch_jacobian_avx2_kernel, patch, x, y, n, out, by_point);
#endif
    default: return patch_jacobian_batch_scalar(patch, x, y, n, out, by_point);
  }
}

std::size_t patch_strain_batch_avx2(const Patch& patch, const double* x, const double* y,
                                    std::size_t n, double* const dx[9], double* const dy[9],
                                    std::uint8_t* by_point) {
  return patch_strain_batch_on(KernelPath::avx2, patch, x, y, n, dx, dy, by_point);
}

std::size_t patch_jacobian_batch_avx2(const Patch& patch, const double* x, const double* y,
                                      std::size_t n, const JacobianArrays& out,
                                      std::uint8_t* by_point) {
  return patch_jacobian_batch_on(KernelPath::avx2, patch, x, y, n, out, by_point);
}

std::size_t patch_strain_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                               double* const dx[9], double* const dy[9], std::uint8_t* by_point) {
  return patch_strain_batch_on(process_kernel().path, patch, x, y, n, dx, dy, by_point);
}

std::size_t patch_jacobian_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                                 const JacobianArrays& out, std::uint8_t* by_point) {
  return patch_jacobian_batch_on(process_kernel().path, patch, x, y, n, out, by_point);
}

}  // namespace vadrel
