// The eight-lane (AVX-512 F and DQ) forms of the patch derivatives.
// Compiled with -mavx512f -mavx512dq -mfma -ffp-contract=off (see
// CMakeLists.txt) and entered only on processors that have them; the
// arithmetic is jacobian_lanes.hpp.
#include <cstddef>
#include <cstdint>

#include "derivatives/jacobian_batch.hpp"

#if defined(VADREL_HAVE_AVX512_KERNEL)

#include "model/lanes_avx512.hpp"
#include "derivatives/jacobian_lanes.hpp"

namespace vadrel::detail {
void patch_strain_avx512_kernel(const double* x, const double* y, std::size_t n, double L,
                              double W, double depth, const PatchTrig& trig, double U1,
                              double U2, double U3, double* const dx[9], double* const dy[9],
                              std::uint8_t* redo) {
  patch_strain_lanes(x, y, n, L, W, depth, trig, U1, U2, U3, dx, dy, redo);
}
void patch_jacobian_avx512_kernel(const double* x, const double* y, std::size_t n, double L,
                                double W, double depth, const PatchTrig& trig, double U1,
                                double U2, double U3, const JacobianArrays& out,
                                std::uint8_t* redo) {
  patch_jacobian_lanes(x, y, n, L, W, depth, trig, U1, U2, U3, out, redo);
}
}  // namespace vadrel::detail

#else  // no eight-lane kernel on this target: it is never chosen

namespace vadrel::detail {
void patch_strain_avx512_kernel(const double*, const double*, std::size_t, double, double,
                              double, const PatchTrig&, double, double, double,
                              double* const[9], double* const[9], std::uint8_t*) {}
void patch_jacobian_avx512_kernel(const double*, const double*, std::size_t, double, double,
                                double, const PatchTrig&, double, double, double,
                                const JacobianArrays&, std::uint8_t*) {}
}  // namespace vadrel::detail

#endif
