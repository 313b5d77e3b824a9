#pragma once
// The patch displacement at many points of one patch at once.
#include <cstddef>

#include "model/okada.hpp"

namespace vadrel {

// Displacement of one patch at n surface points (x[i], y[i]) of its frame.
// out[k][i] is component k (layout of Vec9) at point i.
void okada_patch_batch(double U1, double U2, double U3, const double* x, const double* y, std::size_t n,
                       double L, double W, double depth, const PatchTrig& trig, double* const out[9]);

}  // namespace vadrel
