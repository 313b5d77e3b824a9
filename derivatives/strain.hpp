#pragma once
// Horizontal gradients of the east, north and up surface displacement, summed
// over all fault segments: derivatives with respect to the map east and north
// coordinates of the point, in mm per km (frames and units of
// model/fault.hpp).
#include <array>
#include <cstddef>

#include "model/fault.hpp"

namespace vadrel {

// duede, duedn, dunde, dundn, duzde, duzdn in mm per km.
struct StrainResult {
  std::array<double, 6> g{};
  bool shifted = false;  // some segment needed the neighbouring point
};

StrainResult compute_strain(const FaultModel& model, double x, double y);

// compute_strain at n map points (x[i], y[i]), into out[i]: the values the
// strain records carry, evaluated by the batch kernel (compute_strain is
// this at one point, so the two agree to the last bit).
void compute_strain_batch(const FaultModel& model, const double* x, const double* y, std::size_t n,
                          StrainResult* out);

}  // namespace vadrel
