#pragma once
// Range change: the displacement of all fault segments at a ground point,
// projected on the radar line of sight, plus the range ramp.  Frames and
// units as in model/fault.hpp and model/look.hpp (km, mm).
#include <cstddef>
#include <cstdint>

#include "model/fault.hpp"
#include "model/look.hpp"

namespace vadrel {

struct RangeResult {
  double E = 0.0;
  double N = 0.0;
  double Z = 0.0;
  double drcalc = 0.0;
  bool shifted = false;  // some segment needed the neighbouring point
};

// Sums the displacement of every segment at (x, y) and forms the range change.
RangeResult compute_range(const FaultModel& model, LookGeometry& look, double x, double y);

// The east, north and up displacement (mm) of all segments at the n map
// points (x[i], y[i]), summed segment by segment as compute_range() does,
// into E[i], N[i] and Z[i] (the batch kernel does the patch solution);
// shifted[i] is 1 for a point whose value was taken 1 mm away, else 0.
void sum_displacements(const FaultModel& model, const double* x, const double* y, std::size_t n,
                       double* E, double* N, double* Z, std::uint8_t* shifted);

}  // namespace vadrel
