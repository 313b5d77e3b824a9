// The four-lane (AVX2 and FMA) form of the patch displacement.  Compiled
// with -mavx2 -mfma -ffp-contract=off (see CMakeLists.txt) and entered only
// on processors that have both; the arithmetic is okada_batch_lanes.hpp.
#include "model/okada_batch.hpp"

#if defined(VADREL_HAVE_AVX2_KERNEL)

#include "model/lanes_avx2.hpp"
#include "model/okada_batch_lanes.hpp"

namespace vadrel::detail {
void okada_patch_batch_avx2_kernel(double U1, double U2, double U3, const double* x,
                                   const double* y, std::size_t n, double L, double W,
                                   double depth, const PatchTrig& trig, double* const out[9]) {
  patch_batch_lanes(U1, U2, U3, x, y, n, L, W, depth, trig, out);
}
}  // namespace vadrel::detail

#else  // no four-lane kernel on this target: it is never chosen

namespace vadrel::detail {
void okada_patch_batch_avx2_kernel(double, double, double, const double*, const double*,
                                   std::size_t, double, double, double, const PatchTrig&,
                                   double* const[9]) {}
}  // namespace vadrel::detail

#endif
