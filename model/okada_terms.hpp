#pragma once
// What the evaluations of the patch solution (scalar, four-lane, and the
// derivative kernels) share and must agree on: the tolerances and the power
// series that replace expressions which cancel for small arguments.
#include <array>
#include <cstddef>

namespace vadrel::okada_terms {

// Dips within this many degrees of vertical are vertical; displacements
// below it are reported as exact zeros.
inline constexpr double TOL = 1e-8;

// Below this |cos dip| (dips from 60 to 120 degrees) the general-dip I terms
// are evaluated in the reduced form.  It is needed near 90 degrees; at
// flatter dips the printed form loses no more than a factor 1/cos^2 <= 4 and
// is cheaper.
inline constexpr double NEAR_VERTICAL_COS = 0.5;

// A point counts as lying on the surface trace of a patch when it is within
// this fraction of the problem's size (|x| + |y| + L + W + |depth|) of it:
// some thousands of times the rounding of the coordinates, far below any
// distance that matters.
inline constexpr double ON_TRACE_REL = 1e-12;

// Below this |argument| the series are used; above it the closed
// expressions, which lose at most a factor 3/0.25^2 = 48 to cancellation.
inline constexpr double SERIES_LIMIT = 0.25;

// Near-vertical dips make the arguments tiny; below this a few terms do.
inline constexpr double SHORT_SERIES_LIMIT = 1.0 / 64.0;

// (w - atan w)/w^3 = sum (-1)^k w^2k/(2k + 3).  Terms needed for 1e-17:
// 15 at |w| = 0.25, 5 at 1/64.
inline constexpr std::size_t N_ATAN = 15, N_ATAN_SHORT = 5;
inline constexpr std::array<double, N_ATAN> ATAN_DEFECT = [] {
  std::array<double, N_ATAN> c{};
  for (std::size_t k = 0; k < c.size(); ++k) c[k] = (k % 2 == 0 ? 1.0 : -1.0) / static_cast<double>(2 * k + 3);
  return c;
}();

// (atanh v - v)/v^3 = sum v^2k/(2k + 3), with v = u/(2 - u) <= 1/7 for
// |u| <= 0.25.  Terms needed for 1e-17: 11 at |u| = 0.25, 5 at 1/64.
inline constexpr std::size_t N_ATANH = 11, N_ATANH_SHORT = 5;
inline constexpr std::array<double, N_ATANH> ATANH_DEFECT = [] {
  std::array<double, N_ATANH> c{};
  for (std::size_t k = 0; k < c.size(); ++k) c[k] = 1.0 / static_cast<double>(2 * k + 3);
  return c;
}();

// Polynomial sum c[0] + c[1] t + ... + c[M-1] t^(M-1) of the first M
// coefficients, in two interleaved Horner chains (even and odd powers),
// which halves the dependency chain.
// T is double, or a number type that carries derivatives along.  (Internal
// linkage: the four-lane kernels are compiled for another instruction set,
// and no copy of this may be shared between their files and the others.)
template <std::size_t M, std::size_t N, class T>
static T poly(const std::array<double, N>& c, const T& t) {
  static_assert(M <= N);
  const T t2 = t * t;
  T even(0.0), odd(0.0);
  std::size_t k = M;
  if (k % 2 == 1) even = T(c[--k]);
  while (k > 0) {
    odd = odd * t2 + c[--k];
    even = even * t2 + c[--k];
  }
  return even + t * odd;
}

}  // namespace vadrel::okada_terms
