#include "core/fixed_format.hpp"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vadrel {

namespace {

std::string stars(int w) { return std::string(static_cast<std::size_t>(w > 0 ? w : 0), '*'); }

std::string right(std::string s, int w) {
  if (static_cast<int>(s.size()) > w) return stars(w);
  return std::string(static_cast<std::size_t>(w) - s.size(), ' ') + s;
}

}  // namespace

std::string fmt_f(double v, int w, int d) {
  if (!std::isfinite(v) || w <= 0 || d < 0) return stars(w);
  // Values whose integer part alone overflows the field need no conversion.
  if (std::fabs(v) >= 1e300) return stars(w);
  char buf[512];
  // Exact decimal conversion, rounded to nearest (ties to even), as printf
  // does, but without its parsing of a format string on every field.
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::fixed, d);
  if (r.ec != std::errc()) return stars(w);
  std::string s(buf, r.ptr);
  if (d == 0) s += '.';
  if (static_cast<int>(s.size()) > w) {
    // The optional leading zero of a value below one goes first.
    if (s.rfind("0.", 0) == 0) s.erase(0, 1);
    else if (s.rfind("-0.", 0) == 0) s.erase(1, 1);
  }
  return right(s, w);
}

std::string fmt_e(double v, int w, int d) {
  if (!std::isfinite(v) || w <= 0 || d < 0) return stars(w);
  char buf[512];
  const auto r = std::to_chars(buf, buf + sizeof buf - 1, v, std::chars_format::scientific, d);
  if (r.ec != std::errc()) return stars(w);
  *r.ptr = '\0';
  const std::string s(buf, r.ptr);
  const auto epos = s.find('e');
  std::string mantissa = s.substr(0, epos);
  if (d == 0) mantissa += '.';
  const int exponent = std::atoi(s.c_str() + epos + 1);
  const int mag = std::abs(exponent);
  const char sign = exponent < 0 ? '-' : '+';
  char ebuf[16];
  if (mag <= 99) std::snprintf(ebuf, sizeof ebuf, "E%c%02d", sign, mag);
  else if (mag <= 999) std::snprintf(ebuf, sizeof ebuf, "%c%03d", sign, mag);
  else return stars(w);
  return right(mantissa + ebuf, w);
}

std::string fmt_g(double v, int w, int d) {
  if (!std::isfinite(v)) return stars(w);
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

std::string fmt_i(std::int64_t v, int w) { return right(std::to_string(v), w); }

std::string fmt_a(std::string_view text, int w) {
  if (static_cast<int>(text.size()) >= w) return std::string(text.substr(0, static_cast<std::size_t>(w)));
  return std::string(static_cast<std::size_t>(w) - text.size(), ' ') + std::string(text);
}

std::string fmt_free(double v) {
  char buf[64];
  const auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

}  // namespace vadrel
