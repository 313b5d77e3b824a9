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
#include <cstdint>
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

// The shortest text that reads back as exactly `v` (for free-format lines).
std::string fmt_free(double v);
// The same, written at `out` (at most 24 characters); returns the end.
char* put_free(char* out, double v);

}  // namespace vadrel
