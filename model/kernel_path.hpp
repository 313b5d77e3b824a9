#pragma once
// Which form of the batch kernels runs: the scalar loop, four lanes (AVX2
// and FMA) or eight lanes (AVX-512 F and DQ).  By default the widest the
// processor has; VADREL_KERNEL=scalar|avx2|avx512 in the environment asks
// for one, so that a result can be reproduced bit for bit (the lane forms
// agree with the scalar one to rounding, not exactly).  A name that is not
// one of these, or a form this processor (or this build) lacks, is not an
// error: the run warns and takes the widest form available.
#include <string>
#include <string_view>

namespace vadrel {

enum class KernelPath { scalar, avx2, avx512 };

// What this build and this processor can run.
struct KernelSupport {
  bool avx2 = false;
  bool avx512 = false;
};

struct KernelChoice {
  KernelPath path = KernelPath::scalar;
  std::string warning;  // empty unless the request could not be followed
};

// The processor's support, probed once.
KernelSupport kernel_support();

// The path for a VADREL_KERNEL value (nullptr or empty: not set) given the
// support: the one asked for, else the widest supported (with a warning
// saying why and what runs instead when a request cannot be followed).
KernelChoice choose_kernel(const char* request, KernelSupport support);

// The path of this process, from VADREL_KERNEL and kernel_support(),
// decided at its first use.
const KernelChoice& process_kernel();

// "scalar", "avx2" or "avx512".
std::string_view kernel_path_name(KernelPath path);

}  // namespace vadrel
