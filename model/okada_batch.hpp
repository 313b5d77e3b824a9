#pragma once
// Surface displacement of one rectangular patch at many points at once.
//
// Same field, frame, units, exact zeros and NaN convention as okada_patch()
// (see okada.hpp); the batch forms exist for speed.  The AVX2 form evaluates
// four points per instruction with the C library's vector logarithm and
// arctangent, and sums the logarithmic and angular corner terms of
// Chinnery's sum as one logarithm of a product and one argument of a complex
// product per point.  Its values agree with okada_patch() to rounding:
// about 1e-15 of the corner terms, so 1e-14 of the result near the patch
// and proportionally more far from a small patch, where the corner sum
// cancels.
#include <cstddef>

#include "model/okada.hpp"

namespace vadrel {

// Displacement of one patch at n surface points (x[i], y[i]) of its frame.
// out[k][i] is component k (layout of Vec9) at point i.  No alignment is
// required, nothing beyond x[n - 1], y[n - 1], out[k][n - 1] is read or
// written, and n = 0 does nothing.  The output arrays must not overlap the
// inputs.  Uses the AVX2 form when the processor has AVX2 and FMA, the
// scalar one otherwise.
void okada_patch_batch(double U1, double U2, double U3, const double* x, const double* y,
                       std::size_t n, double L, double W, double depth, const PatchTrig& trig,
                       double* const out[9]);

// okada_patch() at each point in turn.
void okada_patch_batch_scalar(double U1, double U2, double U3, const double* x,
                              const double* y, std::size_t n, double L, double W, double depth,
                              const PatchTrig& trig, double* const out[9]);

// The four-lane form.  On a processor without AVX2 and FMA it falls back to
// the scalar form.
void okada_patch_batch_avx2(double U1, double U2, double U3, const double* x, const double* y,
                            std::size_t n, double L, double W, double depth,
                            const PatchTrig& trig, double* const out[9]);

// Whether the processor has AVX2 and FMA (checked once).
bool batch_has_avx2();

}  // namespace vadrel
