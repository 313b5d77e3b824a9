// How fast this processor multiplies, per lane, four doubles at a time
// (256-bit AVX) and eight at a time (AVX-512).  The eight-lane kernels can
// only gain over the four-lane ones by what the wider instructions save in
// instructions, unless the wide multiplies deliver more lanes per second:
// on processors that run a 512-bit operation on two 256-bit halves they
// deliver the same, and the kernel's arithmetic takes the same time per
// point at either width.
//
//   bench_units    prints ns per lane-multiply and per lane-add for each
//                  width the processor has, and the eight-lane rate over
//                  the four-lane one.
//
// Twelve independent chains of multiplies by a register (or additions of
// it), enough to cover the latency of any current unit, in inline assembly
// so that no compiler keeps them in memory.
#include <chrono>
#include <cstdio>

namespace {

#define ONE(OP, W, I) OP " %%" W "12, %%" W #I ", %%" W #I "\n\t"
#define TWELVE(OP, W)                                                                      \
  ONE(OP, W, 0) ONE(OP, W, 1) ONE(OP, W, 2) ONE(OP, W, 3) ONE(OP, W, 4) ONE(OP, W, 5)    \
  ONE(OP, W, 6) ONE(OP, W, 7) ONE(OP, W, 8) ONE(OP, W, 9) ONE(OP, W, 10) ONE(OP, W, 11)
#define CLOBBERS                                                                           \
  "xmm0", "xmm1", "xmm2", "xmm3", "xmm4", "xmm5", "xmm6", "xmm7", "xmm8", "xmm9", "xmm10", \
      "xmm11"

enum class Op { mul256, mul512, add256, add512 };

#define INIT(I) "vbroadcastsd %[one], %%ymm" #I "\n\t"
#define LOOP(BODY)                                                                         \
  asm volatile(INIT(0) INIT(1) INIT(2) INIT(3) INIT(4) INIT(5) INIT(6) INIT(7) INIT(8)     \
                   INIT(9) INIT(10) INIT(11) INIT(12) "1:\n\t" BODY "dec %[n]\n\tjnz 1b" \
               : [n] "+r"(left)                                                            \
               : [one] "m"(one)                                                            \
               : CLOBBERS, "xmm12", "cc")

// ns per instruction, over n rounds of twelve.  Every register starts at 1
// (the upper half of the 512-bit ones at 0): no subnormal operands, which
// some units take slowly.
template <Op K>
double per_instruction(long n) {
  const double one = 1.0;
  long left = n;
  const auto t0 = std::chrono::steady_clock::now();
  if constexpr (K == Op::mul256) LOOP(TWELVE("vmulpd", "ymm"));
  if constexpr (K == Op::mul512) LOOP(TWELVE("vmulpd", "zmm"));
  if constexpr (K == Op::add256) LOOP(TWELVE("vaddpd", "ymm"));
  if constexpr (K == Op::add512) LOOP(TWELVE("vaddpd", "zmm"));
  const auto t1 = std::chrono::steady_clock::now();
  return std::chrono::duration<double>(t1 - t0).count() * 1e9 / (12.0 * static_cast<double>(n));
}

// The best of five runs (the fastest is the least disturbed).
template <Op K>
double best(long n) {
  double b = per_instruction<K>(n);
  for (int r = 1; r < 5; ++r) {
    const double t = per_instruction<K>(n);
    if (t < b) b = t;
  }
  return b;
}

}  // namespace

int main() {
  __builtin_cpu_init();
  if (!__builtin_cpu_supports("avx2")) {
    std::puts("this processor has no 256-bit vector arithmetic");
    return 0;
  }
  const long n = 20000000;
  const double m4 = best<Op::mul256>(n) / 4, a4 = best<Op::add256>(n) / 4;
  std::printf("4 lanes (256-bit): %.4f ns per lane-multiply, %.4f per lane-add\n", m4, a4);
  if (!__builtin_cpu_supports("avx512f")) {
    std::puts("8 lanes (512-bit): not on this processor");
    return 0;
  }
  const double m8 = best<Op::mul512>(n) / 8, a8 = best<Op::add512>(n) / 8;
  std::printf("8 lanes (512-bit): %.4f ns per lane-multiply, %.4f per lane-add\n", m8, a8);
  std::printf("eight-lane rate over four-lane: multiplies %.2f, adds %.2f\n", m4 / m8, a4 / a8);
  return 0;
}
