#pragma once
// Horizontal gradients of the east, north and up surface displacement, summed
// over all fault segments.
#include <array>

#include "core/run_context.hpp"
#include "writers/records.hpp"

namespace vadrel {

// duede, duedn, dunde, dundn, duzde, duzdn in mm per km.
struct StrainResult {
  std::array<double, 6> g{};
  bool shifted = false;  // some segment needed the neighbouring point
};

StrainResult compute_strain(const FaultModel& model, double x, double y);

// The strain records of a run of points: x, y and the six gradients, E13.3.
void form_strain(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out);

}  // namespace vadrel
