#pragma once
// The partial-derivative records: the derivatives of the range change with
// respect to the ten parameters of fault segment 1 (derivatives/partials.hpp).
#include <span>

#include "model/fault.hpp"
#include "model/ground_point.hpp"
#include "model/look.hpp"
#include "writers/records.hpp"

namespace vadrel {

// The partial-derivative records of a run of points (segment 1 only):
// Xp, Yp, D(X), D(Y), D(strike), D(depth), D(dip), D(U1), D(U2), D(U3), D(L),
// D(W), each E20.10.

// The records by forward differences of step 1.
void form_all_part(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                   std::span<const PointIn> points, RecordChunk& out);
// The records in closed form.
void form_all_part2(const FaultModel& model, const LookGeometry& look, std::span<const PointIn> points,
                    RecordChunk& out);

}  // namespace vadrel
