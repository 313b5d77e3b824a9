// The four-lane (AVX2 and FMA) form of the patch displacement: okada_batch_lanes.hpp
// compiled with -mavx2 -mfma -ffp-contract=off (see CMakeLists.txt), entered only on processors
// that have that instruction set.
#if defined(VADREL_HAVE_AVX2_KERNEL)
#include "model/lanes_avx2.hpp"
#define VADREL_LANES_ENTRY okada_patch_batch_avx2_kernel
#define VADREL_LANES_ENU_ENTRY okada_patch_batch_enu_avx2_kernel
#include "model/okada_batch_lanes.hpp"
#endif
