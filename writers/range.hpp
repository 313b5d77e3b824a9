#pragma once
// The range-type records: range change; observed, computed and residual
// range change; or the displacement components with the range change.
#include <span>

#include "model/fault.hpp"
#include "model/ground_point.hpp"
#include "model/look.hpp"
#include "writers/records.hpp"

namespace vadrel {

// The range-type records (range, residual or vector, as `kind` says) of a
// run of points, with each point's range change in out.drcalc and its
// displacement in out.E, out.N, out.Z (model/range.hpp).
void form_range(const FaultModel& model, const LookGeometry& look, const Ramp& ramp, RecordKind kind,
                std::span<const PointIn> points, RecordChunk& out);

}  // namespace vadrel
