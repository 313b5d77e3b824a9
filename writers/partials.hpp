#pragma once
// Partial derivatives of the range change with respect to the ten parameters
// of fault segment 1, numerically (forward differences, step 1) and in
// closed form.  Both write the same twelve-column record.
#include <array>
#include <cstddef>

#include "core/run_context.hpp"
#include "writers/records.hpp"

namespace vadrel {

// Derivatives in the internal order U1, U2, U3, X, Y, L, W, depth, dip,
// strike (per km, per degree, per mm).
struct PartialsResult {
  std::array<double, 10> D{};
  bool shifted = false;
};

PartialsResult compute_partials_numeric(const Segment& seg, LookGeometry& look, const Ramp& ramp,
                                        double x, double y);
PartialsResult compute_partials_exact(const Segment& seg, LookGeometry& look, double x, double y);

// compute_partials_exact at n map points (x[i], y[i]) with the look vectors
// plook[i], into out[i]: the values the analytic records carry, evaluated
// by the batch kernel (compute_partials_exact is this at one point, so the
// two agree to the last bit).
void compute_partials_exact_batch(const Segment& seg, const double* x, const double* y,
                                  const Vec3* plook, std::size_t n, PartialsResult* out);

// The partial-derivative records of a run of points (segment 1 only):
// Xp, Yp, D(X), D(Y), D(strike), D(depth), D(dip), D(U1), D(U2), D(U3), D(L),
// D(W), each E20.10; by forward differences of step 1 (form_all_part) or in
// closed form (form_all_part2).
void form_all_part(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                   std::span<const PointIn> points, RecordChunk& out);
void form_all_part2(const FaultModel& model, const LookGeometry& look, std::span<const PointIn> points,
                    RecordChunk& out);

}  // namespace vadrel
