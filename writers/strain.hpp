#pragma once
// The strain records: x, y and the six horizontal displacement gradients.
#include <span>

#include "model/fault.hpp"
#include "model/ground_point.hpp"
#include "writers/records.hpp"

namespace vadrel {

// The strain records of a run of points: x, y and the six gradients
// (derivatives/strain.hpp), E13.3.
void form_strain(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out);

}  // namespace vadrel
