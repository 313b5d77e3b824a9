#include "model/kernel_path.hpp"

#include <cstdlib>

namespace vadrel {

KernelSupport kernel_support() {
  static const KernelSupport support = [] {
    KernelSupport s;
#if defined(__x86_64__) || defined(__i386__)
    __builtin_cpu_init();
#if defined(VADREL_HAVE_AVX2_KERNEL)
    s.avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
#endif
#if defined(VADREL_HAVE_AVX512_KERNEL)
    // (The compiler's probe also checks that the system saves the wide
    // registers.)
    s.avx512 = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq") &&
               __builtin_cpu_supports("fma");
#endif
#endif
    return s;
  }();
  return support;
}

std::string_view kernel_path_name(KernelPath path) {
  switch (path) {
    case KernelPath::avx2: return "avx2";
    case KernelPath::avx512: return "avx512";
    default: return "scalar";
  }
}

KernelChoice choose_kernel(const char* request, KernelSupport support) {
  KernelChoice c;
  c.path = support.avx512 ? KernelPath::avx512 : support.avx2 ? KernelPath::avx2 : KernelPath::scalar;
  if (request == nullptr || *request == '\0') return c;
  const std::string_view r(request);
  const std::string best(kernel_path_name(c.path));
  if (r == "scalar") {
    c.path = KernelPath::scalar;
  } else if (r == "avx2" && support.avx2) {
    c.path = KernelPath::avx2;
  } else if (r == "avx512" && support.avx512) {
    c.path = KernelPath::avx512;
  } else if (r == "avx2" || r == "avx512") {
    c.warning = "WARNING: VADREL_KERNEL=" + std::string(r) +
                ": this processor or this build has no such kernels; using " + best;
  } else {
    c.warning = "WARNING: VADREL_KERNEL=" + std::string(r) +
                " is not one of scalar, avx2, avx512; using " + best;
  }
  return c;
}

const KernelChoice& process_kernel() {
  static const KernelChoice choice = choose_kernel(std::getenv("VADREL_KERNEL"), kernel_support());
  return choice;
}

}  // namespace vadrel
