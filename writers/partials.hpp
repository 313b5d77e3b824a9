#pragma once
// Partial derivatives of the range change with respect to the ten parameters
// of fault segment 1, numerically (forward differences, step 1) and in
// closed form.  Both write the same twelve-column record.
#include <array>

#include "core/run_context.hpp"

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

// The record: Xp, Yp, D(X), D(Y), D(strike), D(depth), D(dip), D(U1),
// D(U2), D(U3), D(L), D(W), each E20.10.
std::string partials_record(double x, double y, const std::array<double, 10>& D);

void form_all_part(RunContext& ctx);
void form_all_part2(RunContext& ctx);

}  // namespace vadrel
