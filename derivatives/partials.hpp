#pragma once
// Partial derivatives of the range change with respect to the ten parameters
// of one fault segment (segment 1 of the model), numerically (forward
// differences, step 1) and in closed form.  Map frame and units of
// model/fault.hpp: per km for X, Y, L, W and depth, per degree for strike
// and dip, per mm for the slips.
#include <array>
#include <cstddef>

#include "model/fault.hpp"
#include "model/look.hpp"

namespace vadrel {

// Derivatives in the internal order U1, U2, U3, X, Y, L, W, depth, dip,
// strike.
struct PartialsResult {
  std::array<double, 10> D{};
  bool shifted = false;
};

// Forward differences of step 1 of the range change of `seg` alone (with
// the ramp) at map point (x, y); look.plook is derived there while no look
// vector was given.
PartialsResult compute_partials_numeric(const Segment& seg, LookGeometry& look, const Ramp& ramp,
                                        double x, double y);
// The same in closed form (the ramp does not depend on the parameters).
PartialsResult compute_partials_exact(const Segment& seg, LookGeometry& look, double x, double y);

// compute_partials_exact at n map points (x[i], y[i]) with the look vectors
// plook[i], into out[i]: the values the analytic records carry, evaluated
// by the batch kernel (compute_partials_exact is this at one point, so the
// two agree to the last bit).
void compute_partials_exact_batch(const Segment& seg, const double* x, const double* y,
                                  const Vec3* plook, std::size_t n, PartialsResult* out);

}  // namespace vadrel
