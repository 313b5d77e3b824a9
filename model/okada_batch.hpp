#pragma once
// Surface displacement of one rectangular patch at many points at once.
//
// Same field, frame, units, exact zeros and NaN convention as okada_patch()
// (see okada.hpp); the batch forms exist for speed.  The lane forms evaluate
// four (AVX2) or eight (AVX-512) points per instruction with the C library's
// vector logarithm and arctangent of that width, and sums the logarithmic and angular corner terms of
// Chinnery's sum as one logarithm of a product and one argument of a complex
// product per point.  Its values agree with okada_patch() to rounding:
// about 1e-15 of the corner terms, so 1e-14 of the result near the patch
// and proportionally more far from a small patch, where the corner sum
// cancels.
#include <cstddef>

#include "model/kernel_path.hpp"
#include "model/okada.hpp"

namespace vadrel {

// Displacement of one patch at n surface points (x[i], y[i]) of its frame.
// out[k][i] is component k (layout of Vec9) at point i.  No alignment is
// required, nothing beyond x[n - 1], y[n - 1], out[k][n - 1] is read or
// written, and n = 0 does nothing.  The output arrays must not overlap the
// inputs.  Uses the form of process_kernel() (kernel_path.hpp).
void okada_patch_batch(const Patch& patch, const double* x, const double* y, std::size_t n,
                       double* const out[9]);

// okada_patch() at each point in turn.
void okada_patch_batch_scalar(const Patch& patch, const double* x, const double* y, std::size_t n,
                              double* const out[9]);

// The form of `path`, or the widest supported one below it.
void okada_patch_batch_on(KernelPath path, const Patch& patch, const double* x, const double* y,
                          std::size_t n, double* const out[9]);

// The four-lane form (scalar without AVX2 and FMA) and the eight-lane form
// (four-lane without AVX-512).
void okada_patch_batch_avx2(const Patch& patch, const double* x, const double* y, std::size_t n,
                            double* const out[9]);
void okada_patch_batch_avx512(const Patch& patch, const double* x, const double* y, std::size_t n,
                              double* const out[9]);

// Where a patch lies on the map: a map point (x, y) is at
// ((x - X) B + (y - Y) A, (y - Y) B - (x - X) A) in the patch frame, and the
// patch-frame components (a, b) of a displacement point (a cs - b sn) east
// and (b cs + a sn) north.
struct PatchPlacement {
  double X = 0.0, Y = 0.0;    // patch origin on the map
  double A = 0.0, B = 0.0;    // sin and cos of (90 - strike)
  double cs = 0.0, sn = 0.0;  // cos and sin of (strike - 90)
};

// The displacement of one patch at n map points (x[i], y[i]), turned to
// east, north and up and added to E[i], N[i], Z[i]: for each point, in this
// order of operations (so that every form gives the same bits as the
// scalar one),
//   E += ((cs u0 + sn u1) + (cs u3 + sn u4)) + (cs u6 + sn u7)
//   N += ((cs u1 - sn u0) + (cs u4 - sn u3)) + (cs u7 - sn u6)
//   Z += (u2 + u5) + u8
// with u the patch-frame components (Vec9 layout).  A point where some
// component is not finite (a corner, the trace of an outcropping patch, or
// numbers too large) is left alone: its index goes to missing[] (room for n
// indices), in increasing order, and the count is returned.
std::size_t okada_patch_batch_enu(const Patch& patch, const PatchPlacement& at, const double* x,
                                  const double* y, std::size_t n, double* E, double* N, double* Z,
                                  std::size_t* missing);

// The same with the form of `path` (or the widest supported one below it).
std::size_t okada_patch_batch_enu_on(KernelPath path, const Patch& patch, const PatchPlacement& at,
                                     const double* x, const double* y, std::size_t n, double* E,
                                     double* N, double* Z, std::size_t* missing);

// `path`, or the widest form below it that this build and processor run.
KernelPath supported_path(KernelPath path);

// Whether the processor (and the build) has the four-lane and the
// eight-lane forms (checked once).
bool batch_has_avx2();
bool batch_has_avx512();

}  // namespace vadrel
