// The eight-lane (AVX-512 F and DQ) forms of the patch derivatives: jacobian_lanes.hpp
// compiled with -mavx512f -mavx512dq -mfma -ffp-contract=off (see CMakeLists.txt), entered only on processors
// that have that instruction set.
#if defined(VADREL_HAVE_AVX512_KERNEL)
#include "model/lanes_avx512.hpp"
#define VADREL_STRAIN_ENTRY patch_strain_avx512_kernel
#define VADREL_JACOBIAN_ENTRY patch_jacobian_avx512_kernel
#include "derivatives/jacobian_lanes.hpp"
#endif
