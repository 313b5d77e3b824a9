#include "core/fixed_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>

namespace vadrel {

namespace {

// Powers of ten that are exact doubles.
constexpr double kPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                               1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                               1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// Below this every integer and every half-integer is exact, and adding and
// subtracting 2^52 rounds to the nearest integer, ties to even.
constexpr double kExactLimit = 4.0e15;
constexpr double kTwo52 = 4503599627370496.0;

char* stars(char* out, int w) {
  if (w <= 0) return out;
  std::memset(out, '*', static_cast<std::size_t>(w));
  return out + w;
}

// `len` characters of `text` right-aligned in w columns; asterisks when the
// text is longer.
char* right(char* out, const char* text, int len, int w) {
  if (w <= 0) return out;
  if (len > w) return stars(out, w);
  std::memset(out, ' ', static_cast<std::size_t>(w - len));
  std::memcpy(out + (w - len), text, static_cast<std::size_t>(len));
  return out + w;
}

// The integer nearest to the exact value a * 10^m (a >= 0, |m| <= 22),
// ties to even, or false when it is too large to be computed exactly here.
//
// p = a*10^m (or a/10^m) is rounded once.  Rounding p to an integer gives
// the right answer except where p lies exactly halfway between two
// integers: there the exact error of p (one fused multiply-add) decides.
inline bool scaled_round(double a, int m, double& n) {
  const double P = kPow10[m >= 0 ? m : -m];
  const double p = m >= 0 ? a * P : a / P;
  if (!(p < kExactLimit)) return false;
  double r = (p + kTwo52) - kTwo52;
  const double t = p - r;
  if (t == 0.5 || t == -0.5) {
    // Positive when the exact value lies above p.
    const double e = m >= 0 ? std::fma(a, P, -p) : std::fma(-p, P, a);
    if (t == 0.5 && e > 0.0) r += 1.0;
    else if (t == -0.5 && e < 0.0) r -= 1.0;
  }
  n = r;
  return true;
}

constexpr char kDigitPairs[201] =
    "00010203040506070809101112131415161718192021222324252627282930313233343536373839"
    "40414243444546474849505152535455565758596061626364656667686970717273747576777879"
    "8081828384858687888990919293949596979899";

// Writes the last `count` decimal digits of u so that they end just before
// `end` (leading zeros included) and returns where they start; u keeps the
// digits to their left.
inline char* digits_back(char* end, std::uint64_t& u, int count) {
  while (count >= 2) {
    const auto pair = static_cast<unsigned>(u % 100);
    u /= 100;
    end -= 2;
    end[0] = kDigitPairs[2 * pair];
    end[1] = kDigitPairs[2 * pair + 1];
    count -= 2;
  }
  if (count == 1) {
    *--end = static_cast<char>('0' + u % 10);
    u /= 10;
  }
  return end;
}

constexpr std::uint64_t kPow10u[20] = {1ULL,
                                       10ULL,
                                       100ULL,
                                       1000ULL,
                                       10000ULL,
                                       100000ULL,
                                       1000000ULL,
                                       10000000ULL,
                                       100000000ULL,
                                       1000000000ULL,
                                       10000000000ULL,
                                       100000000000ULL,
                                       1000000000000ULL,
                                       10000000000000ULL,
                                       100000000000000ULL,
                                       1000000000000000ULL,
                                       10000000000000000ULL,
                                       100000000000000000ULL,
                                       1000000000000000000ULL,
                                       10000000000000000000ULL};

// Blanks from `from` up to `to` (a few characters: stores of eight, not a
// call of memset).
inline void blanks(char* from, char* to) {
  static constexpr char kEight[8] = {' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
  while (to - from >= 8) {
    std::memcpy(from, kEight, 8);
    from += 8;
  }
  while (from < to) *from++ = ' ';
}

// Number of decimal digits of u (at least 1).
inline int digit_count(std::uint64_t u) {
  int n = 1;
  while (n < 20 && u >= kPow10u[n]) ++n;
  return n;
}

// Fixed-point field by the exact decimal conversion of the library, for
// what the fast path above does not cover.
char* put_f_slow(char* out, double v, int w, int d) {
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::fixed, d);
  if (r.ec != std::errc()) return stars(out, w);
  char* end = r.ptr;
  if (d == 0) *end++ = '.';
  char* s = buf;
  int len = static_cast<int>(end - s);
  if (len > w) {
    // The optional leading zero of a value below one goes first.
    if (len >= 2 && s[0] == '0' && s[1] == '.') {
      ++s;
      --len;
    } else if (len >= 3 && s[0] == '-' && s[1] == '0' && s[2] == '.') {
      s[1] = '-';
      ++s;
      --len;
    }
  }
  return right(out, s, len, w);
}

char* put_exponent(char* p, int k) {
  const int mag = k < 0 ? -k : k;
  const char sign = k < 0 ? '-' : '+';
  if (mag <= 99) {
    *p++ = 'E';
    *p++ = sign;
    *p++ = static_cast<char>('0' + mag / 10);
    *p++ = static_cast<char>('0' + mag % 10);
  } else {
    *p++ = sign;
    *p++ = static_cast<char>('0' + mag / 100);
    *p++ = static_cast<char>('0' + (mag / 10) % 10);
    *p++ = static_cast<char>('0' + mag % 10);
  }
  return p;
}

char* put_e_slow(char* out, double v, int w, int d) {
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific, d);
  if (r.ec != std::errc()) return stars(out, w);
  const char* epos = static_cast<const char*>(std::memchr(buf, 'e', static_cast<std::size_t>(r.ptr - buf)));
  if (epos == nullptr) return stars(out, w);
  int exponent = 0;
  std::from_chars(epos + 1 + (epos[1] == '+' ? 1 : 0), r.ptr, exponent);
  if (exponent > 999 || exponent < -999) return stars(out, w);
  char text[540];
  const auto mlen = static_cast<std::size_t>(epos - buf);
  std::memcpy(text, buf, mlen);
  char* p = text + mlen;
  if (d == 0) *p++ = '.';
  p = put_exponent(p, exponent);
  return right(out, text, static_cast<int>(p - text), w);
}

}  // namespace

char* put_f(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (!std::isfinite(v) || d < 0) return stars(out, w);
  const double a = std::fabs(v);
  // A value whose whole part alone is wider than the field needs no digits.
  if (w <= 22 && a >= kPow10[w]) return stars(out, w);
  if (w > 22 && a >= 1e300) return stars(out, w);
  double n = 0.0;
  if (d > 22 || !scaled_round(a, d, n)) return put_f_slow(out, v, w, d);

  auto u = static_cast<std::uint64_t>(n);
  const int nd = digit_count(u);
  const bool neg = std::signbit(v);
  const bool int_zero = nd <= d;  // a value below one shows "0."
  int len = (neg ? 1 : 0) + (int_zero ? 1 : nd - d) + 1 + d;
  bool drop_zero = false;
  if (len > w && int_zero) {
    drop_zero = true;  // the optional leading zero goes first
    --len;
  }
  if (len > w) return stars(out, w);

  // Right to left: the decimals, the point, the whole part, the sign.
  char* p = digits_back(out + w, u, d);
  *--p = '.';
  if (!int_zero) p = digits_back(p, u, nd - d);
  else if (!drop_zero) *--p = '0';
  if (neg) *--p = '-';
  blanks(out, p);
  return out + w;
}

char* put_e(char* out, double v, int w, int d) {
  if (w <= 0) return out;
  if (!std::isfinite(v) || d < 0) return stars(out, w);
  const double a = std::fabs(v);
  if (d > 14) return put_e_slow(out, v, w, d);

  // Decimal exponent k with 10^k <= a < 10^(k+1), first estimated from the
  // binary exponent (it is that or one more), then fixed by the digits.
  int k = 0;
  double n = 0.0;
  if (a != 0.0) {
    std::uint64_t bits = 0;
    std::memcpy(&bits, &a, sizeof bits);
    const int e2 = static_cast<int>(bits >> 52) - 1022;  // a = f 2^e2, 1/2 <= f < 1 (normal a)
    // floor((e2 - 1) log10 2) in integer arithmetic (exact for |e2| < 1700).
    k = bits >> 52 == 0 ? -308 : ((e2 - 1) * 78913) >> 18;
    const double lo = kPow10[d];
    const double hi = kPow10[d + 1];
    for (int attempt = 0;; ++attempt) {
      const int m = d - k;
      if (attempt > 2 || m < -22 || m > 22 || !scaled_round(a, m, n)) return put_e_slow(out, v, w, d);
      if (n < lo) {
        --k;
      } else if (n > hi) {
        ++k;
      } else {
        if (n == hi) {  // rounded up to the next power of ten
          n = lo;
          ++k;
        }
        break;
      }
    }
  }

  // Sign, one digit, the point, d digits, the exponent.
  const int len = (std::signbit(v) ? 1 : 0) + 2 + d + 4;  // "E+kk" or "+kkk"
  if (len > w) return stars(out, w);
  char* p = out + (w - len);
  blanks(out, p);
  if (std::signbit(v)) *p++ = '-';
  auto u = static_cast<std::uint64_t>(n);  // d + 1 digits, or 0
  char* frac_end = p + 2 + d;
  if (a == 0.0) {
    p[0] = '0';
    std::memset(p + 2, '0', static_cast<std::size_t>(d));
  } else {
    digits_back(frac_end, u, d);
    p[0] = static_cast<char>('0' + u);
  }
  p[1] = '.';
  put_exponent(frac_end, k);
  return out + w;
}

char* put_i(char* out, std::int64_t v, int w) {
  char buf[24];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return right(out, buf, static_cast<int>(r.ptr - buf), w);
}

namespace {
template <class Put>
std::string as_string(int w, Put put) {
  std::string s(static_cast<std::size_t>(w > 0 ? w : 0), ' ');
  put(s.data());
  return s;
}
}  // namespace

std::string fmt_f(double v, int w, int d) {
  return as_string(w, [&](char* p) { put_f(p, v, w, d); });
}

std::string fmt_e(double v, int w, int d) {
  return as_string(w, [&](char* p) { put_e(p, v, w, d); });
}

std::string fmt_g(double v, int w, int d) {
  if (!std::isfinite(v)) return fmt_f(v, w, d);
  const double a = std::fabs(v);
  if (a >= 0.1 && a < std::pow(10.0, d)) {
    int k = 0;  // digits before the decimal point
    double limit = 1.0;
    while (a >= limit) {
      ++k;
      limit *= 10.0;
    }
    return fmt_f(v, w - 4, d - k) + "    ";
  }
  return fmt_e(v, w, d);
}

std::string fmt_i(std::int64_t v, int w) {
  return as_string(w, [&](char* p) { put_i(p, v, w); });
}

std::string fmt_a(std::string_view text, int w) {
  if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - text.size(), ' ') + std::string(text);
}

char* put_free(char* out, double v) { return std::to_chars(out, out + 24, v).ptr; }

std::string fmt_free(double v) {
  char buf[32];
  return std::string(buf, put_free(buf, v));
}

}  // namespace vadrel
