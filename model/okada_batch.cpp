#include "model/okada_batch.hpp"

namespace vadrel {

void okada_patch_batch(double U1, double U2, double U3, const double* x, const double* y, std::size_t n,
                       double L, double W, double depth, const PatchTrig& trig, double* const out[9]) {
  for (std::size_t i = 0; i < n; ++i) {
    const Vec9 u = okada_patch(U1, U2, U3, x[i], y[i], L, W, depth, trig);
    for (int k = 0; k < 9; ++k) out[k][i] = u[k];
  }
}

}  // namespace vadrel
