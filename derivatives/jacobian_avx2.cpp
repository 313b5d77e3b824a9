// The four-lane (AVX2 and FMA) forms of the patch derivatives: jacobian_lanes.hpp
// compiled with -mavx2 -mfma -ffp-contract=off (see CMakeLists.txt), entered only on processors
// that have that instruction set.
#if defined(VADREL_HAVE_AVX2_KERNEL)
#include "model/lanes_avx2.hpp"
#define VADREL_STRAIN_ENTRY patch_strain_avx2_kernel
#define VADREL_JACOBIAN_ENTRY patch_jacobian_avx2_kernel
#include "derivatives/jacobian_lanes.hpp"
#endif
