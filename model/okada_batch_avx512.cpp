// The eight-lane (AVX-512 F and DQ) form of the patch displacement: okada_batch_lanes.hpp
// compiled with -mavx512f -mavx512dq -mfma -ffp-contract=off (see CMakeLists.txt), entered only on processors
// that have that instruction set.
#if defined(VADREL_HAVE_AVX512_KERNEL)
#include "model/lanes_avx512.hpp"
#define VADREL_LANES_ENTRY okada_patch_batch_avx512_kernel
#define VADREL_LANES_ENU_ENTRY okada_patch_batch_enu_avx512_kernel
#include "model/okada_batch_lanes.hpp"
#endif
