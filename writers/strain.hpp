#pragma once
// Horizontal gradients of the east, north and up surface displacement, summed
// over all fault segments.
#include <array>

#include "core/run_context.hpp"

namespace vadrel {

// duede, duedn, dunde, dundn, duzde, duzdn in mm per km.
struct StrainResult {
  std::array<double, 6> g{};
  bool shifted = false;  // some segment needed the neighbouring point
};

StrainResult compute_strain(const FaultModel& model, double x, double y);

// Computes the current point's strain and writes its record.
void form_strain(RunContext& ctx);

}  // namespace vadrel
