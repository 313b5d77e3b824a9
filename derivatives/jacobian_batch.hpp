#pragma once
// The derivatives of patch_strain() and patch_jacobian() at many surface
// points of one patch at once.
//
// Same values, frame, units, exact zeros and NaN convention as the
// one-point forms (derivatives/deru.hpp); the batch forms exist for speed.
// The lane forms evaluate four (AVX2) or eight (AVX-512) points per
// instruction.  It computes the
// plain closed form only; a point where that is not the answer of the
// one-point form (close to a line where the corner formulas degenerate and
// the derivatives are interpolated, on the trace of an outcropping patch,
// at a corner on one of the rare branches of the formulas, or where the
// closed form is not finite) is handed to the one-point form, so every
// result equals the one-point result to rounding.
#include <cstddef>
#include <cstdint>

#include "model/kernel_path.hpp"
#include "model/okada.hpp"

namespace vadrel {

// Output arrays of patch_jacobian_batch(): u[k][i] is component k (layout of
// Vec9) of the displacement at point i, and so on for each member of
// PatchJacobian.
struct JacobianArrays {
  double* u[9];
  double* unit[9];
  double* dx[9];
  double* dy[9];
  double* dL[9];
  double* dW[9];
  double* ddepth[9];
  double* ddip[9];
};

// du/dx and du/dy of one patch at n surface points (x[i], y[i]) of its
// frame: patch_strain() point by point.  No alignment is required, nothing
// beyond index n - 1 is read or written, n = 0 does nothing; outputs must not
// overlap the inputs.  Returns the number of points the one-point form
// evaluated, and where by_point is given sets by_point[i] to 1 for those
// points and to 0 for the others: only those can be non-finite.
std::size_t patch_strain_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                               double* const dx[9], double* const dy[9],
                               std::uint8_t* by_point = nullptr);

// patch_jacobian() point by point, with the same conventions.
std::size_t patch_jacobian_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                                 const JacobianArrays& out, std::uint8_t* by_point = nullptr);

// The one-point forms in a loop (every point counts as evaluated by them).
std::size_t patch_strain_batch_scalar(const Patch& patch, const double* x, const double* y,
                                      std::size_t n, double* const dx[9], double* const dy[9],
                                      std::uint8_t* by_point = nullptr);
std::size_t patch_jacobian_batch_scalar(const Patch& patch, const double* x, const double* y,
                                        std::size_t n, const JacobianArrays& out,
                                        std::uint8_t* by_point = nullptr);

// The forms of `path`, or the widest supported ones below it (the batch
// functions above use process_kernel()).
std::size_t patch_strain_batch_on(KernelPath path, const Patch& patch, const double* x,
                                  const double* y, std::size_t n, double* const dx[9],
                                  double* const dy[9], std::uint8_t* by_point = nullptr);
std::size_t patch_jacobian_batch_on(KernelPath path, const Patch& patch, const double* x,
                                    const double* y, std::size_t n, const JacobianArrays& out,
                                    std::uint8_t* by_point = nullptr);

// The four-lane forms (scalar without AVX2 and FMA).
std::size_t patch_strain_batch_avx2(const Patch& patch, const double* x, const double* y,
                                    std::size_t n, double* const dx[9], double* const dy[9],
                                    std::uint8_t* by_point = nullptr);
std::size_t patch_jacobian_batch_avx2(const Patch& patch, const double* x, const double* y,
                                      std::size_t n, const JacobianArrays& out,
                                      std::uint8_t* by_point = nullptr);

}  // namespace vadrel
