#pragma once
// Fixed-layout number formatting for print-file records and console lines.
//
//   Fw.d  fixed point, d decimals, right-aligned in w columns
//   Ew.d  exponential with one non-zero digit before the point (scale
//         factor 1): "-1.2345678901E-03"; an exponent of three digits is
//         written as sign and three digits without the E ("1.0-103")
//   Gw.d  Fw'.d' with d significant digits in w-4 columns and four blanks
//         when 0.1 <= |v| < 10**d, otherwise Ew.d
//   Iw    integer right-aligned in w columns
//   Aw    text right-aligned in w columns (the leftmost w characters of a
//         longer text)
//
// Rounding is to nearest on the exact binary value (ties to even).  A value
// too wide for its field, and a non-finite value, is w asterisks.  A negative
// value that rounds to zero keeps its sign ("-0.0"), as fixed-layout output
// has always done.
//
// The put_* forms write exactly w characters at `out` and return out + w;
// they allocate nothing, for the per-point record writers.  The fmt_* forms
// return the same text as a string.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

namespace vadrel {

char* put_f(char* out, double v, int w, int d);
char* put_e(char* out, double v, int w, int d);
char* put_i(char* out, std::int64_t v, int w);

std::string fmt_f(double v, int w, int d);
std::string fmt_e(double v, int w, int d);
std::string fmt_g(double v, int w, int d);
std::string fmt_i(std::int64_t v, int w);
std::string fmt_a(std::string_view text, int w);

// Fw.d and Ew.d with the layout known when compiling, for the record
// writers: the same text as put_f and put_e, with the common cases done in
// a few integer operations (fixed: |v| 10^d below 4e9; exponential: the
// usual magnitudes) and everything else left to the general forms.
template <int W, int D>
char* put_f(char* out, double v);
template <int W, int D>
char* put_e(char* out, double v);

// The shortest text that reads back as exactly `v` (for free-format lines).
std::string fmt_free(double v);
// The same, written at `out` (at most 24 characters); returns the end.
char* put_free(char* out, double v);

namespace format_detail {

constexpr double pow10(int n) { return n == 0 ? 1.0 : 10.0 * pow10(n - 1); }
// Exact powers of ten, 10^0 to 10^22.
inline constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,  1e8,  1e9,  1e10, 1e11,
                                      1e12, 1e13, 1e14, 1e15, 1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
inline double pow10_table(int m) { return kPow10[m]; }
constexpr std::uint32_t pow10u(int n) { return n == 0 ? 1U : 10U * pow10u(n - 1); }
constexpr std::uint64_t pow10u64(int n) { return n == 0 ? 1U : 10U * pow10u64(n - 1); }

// The nearest integer to p (0 <= p < 2^52), ties to even; `half` is set when
// p lies exactly halfway, where the exact value of the scaled number decides
// and the general form takes over.
inline double nearest(double p, bool& half) {
  const double r = (p + 4503599627370496.0) - 4503599627370496.0;
  const double t = p - r;
  half = t == 0.5 || t == -0.5;
  return r;
}

inline constexpr char kPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// The last N digits of u, written backwards ending just before `end`, two
// at a time.
template <int N>
inline char* digits_back(char* end, std::uint32_t u) {
  for (int k = 0; k + 1 < N; k += 2) {
    end -= 2;
    std::memcpy(end, kPairs + 2 * (u % 100), 2);
    u /= 100;
  }
  if (N % 2 == 1) *--end = static_cast<char>('0' + u % 10);
  return end;
}

// Blanks over [from, to): stores of eight, then single ones.
inline void fill_blanks(char* from, char* to) {
  while (to - from >= 8) {
    std::memcpy(from, "        ", 8);
    from += 8;
  }
  while (from < to) *from++ = ' ';
}

inline int digit_count(std::uint32_t u) {
  int n = 1;
  while (u >= 10) {
    u /= 10;
    ++n;
  }
  return n;
}

}  // namespace format_detail

template <int W, int D>
inline char* put_f(char* out, double v) {
  static_assert(D >= 1 && D <= 9 && W >= D + 2 && W <= 32);
  using namespace format_detail;
  const double a = std::fabs(v);
  const double p = a * pow10(D);
  if (!(p < 4.0e9)) return put_f(out, v, W, D);  // large, or not a number
  bool half = false;
  const auto u = static_cast<std::uint32_t>(nearest(p, half));
  if (half) return put_f(out, v, W, D);
  const std::uint32_t whole = u / pow10u(D);
  const bool neg = std::signbit(v);
  // "0." before the decimals of a value below one, unless the field is too
  // narrow for that zero.
  const int int_digits = whole == 0 ? ((neg ? 1 : 0) + 2 + D <= W ? 1 : 0) : digit_count(whole);
  const int len = (neg ? 1 : 0) + int_digits + 1 + D;
  if (len > W) return put_f(out, v, W, D);
  char* q = digits_back<D>(out + W, u);
  *--q = '.';
  std::uint32_t w = whole;
  int k = 0;
  for (; k + 1 < int_digits; k += 2) {  // two digits at a time
    q -= 2;
    std::memcpy(q, kPairs + 2 * (w % 100), 2);
    w /= 100;
  }
  if (k < int_digits) *--q = static_cast<char>('0' + w % 10);
  if (neg) *--q = '-';
  fill_blanks(out, q);
  return out + W;
}

template <int W, int D>
inline char* put_e(char* out, double v) {
  static_assert(D >= 1 && D <= 14 && W >= D + 7 && W <= 40);
  using namespace format_detail;
  const double a = std::fabs(v);
  // 10^k <= a < 10^(k+1), estimated from the binary exponent (it is that or
  // one more); values outside 1e-7..1e7 take the general form.
  if (!(a >= 1e-7 && a < 1e7)) return put_e(out, v, W, D);
  std::uint64_t bits = 0;
  std::memcpy(&bits, &a, sizeof bits);
  int k = ((static_cast<int>(bits >> 52) - 1023) * 78913) >> 18;
  constexpr double lo = pow10(D);
  constexpr double hi = pow10(D + 1);
  // p = a 10^(D-k): exact powers of ten only (|D - k| <= 22).
  auto scaled = [a](int m) { return m >= 0 ? a * pow10_table(m) : a / pow10_table(-m); };
  double p = scaled(D - k);
  if (p >= hi) p = scaled(D - ++k);
  bool half = false;
  double n = nearest(p, half);
  if (half || !(n >= lo)) return put_e(out, v, W, D);
  if (n >= hi) {  // rounded up to the next power of ten
    n = lo;
    ++k;
  }
  const bool neg = std::signbit(v);
  char* q = out + W;
  const int mag = k < 0 ? -k : k;
  *--q = static_cast<char>('0' + mag % 10);
  *--q = static_cast<char>('0' + mag / 10);
  *--q = k < 0 ? '-' : '+';
  *--q = 'E';
  // The D + 1 digits of n: the leading one, then the D decimals in groups
  // of four from the right, each group's two pairs formed independently
  // (a short chain of dependent divisions).
  const auto u = static_cast<std::uint64_t>(n);
  const std::uint64_t lead = u / pow10u64(D);
  std::uint64_t frac = u - lead * pow10u64(D);
  int left = D;
  for (; left >= 4; left -= 4) {
    const auto g = static_cast<std::uint32_t>(frac % 10000);
    frac /= 10000;
    q -= 4;
    std::memcpy(q, kPairs + 2 * (g / 100), 2);
    std::memcpy(q + 2, kPairs + 2 * (g % 100), 2);
  }
  if (left >= 2) {
    q -= 2;
    std::memcpy(q, kPairs + 2 * (frac % 100), 2);
    frac /= 100;
    left -= 2;
  }
  if (left == 1) *--q = static_cast<char>('0' + frac);
  *--q = '.';
  *--q = static_cast<char>('0' + lead);
  if (neg) *--q = '-';
  while (q > out) *--q = ' ';
  return out + W;
}

}  // namespace vadrel
