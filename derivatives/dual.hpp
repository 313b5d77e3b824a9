#pragma once
// Forward-mode differentiation: a value with its first derivatives along N
// seed directions, carried through the arithmetic and the few functions the
// corner terms use.  Evaluating a numerically stable formula with these
// numbers gives the derivatives of that same formula, rounding for rounding
// as stable as its value: no term cancels that did not cancel in the value.
#include <cmath>

namespace vadrel::ad {

template <int N>
struct Dual {
  double v = 0.0;
  double d[N] = {};

  Dual() = default;
  // A constant: all derivatives zero.
  Dual(double value) : v(value) {}  // NOLINT: implicit on purpose
};

// A function value whose derivatives are dv/da * a' (chain rule through one
// argument).
template <int N>
inline Dual<N> chain(double value, double dvda, const Dual<N>& a) {
  Dual<N> r(value);
  for (int i = 0; i < N; ++i) r.d[i] = dvda * a.d[i];
  return r;
}

template <int N>
inline Dual<N> operator-(const Dual<N>& a) {
  Dual<N> r(-a.v);
  for (int i = 0; i < N; ++i) r.d[i] = -a.d[i];
  return r;
}
template <int N>
inline Dual<N> operator+(const Dual<N>& a, const Dual<N>& b) {
  Dual<N> r(a.v + b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] + b.d[i];
  return r;
}
template <int N>
inline Dual<N> operator-(const Dual<N>& a, const Dual<N>& b) {
  Dual<N> r(a.v - b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] - b.d[i];
  return r;
}
template <int N>
inline Dual<N> operator*(const Dual<N>& a, const Dual<N>& b) {
  Dual<N> r(a.v * b.v);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b.v + a.v * b.d[i];
  return r;
}
template <int N>
inline Dual<N> operator/(const Dual<N>& a, const Dual<N>& b) {
  const double ib = 1.0 / b.v;
  const double q = a.v * ib;
  Dual<N> r(q);
  for (int i = 0; i < N; ++i) r.d[i] = (a.d[i] - q * b.d[i]) * ib;
  return r;
}
template <int N>
inline Dual<N> operator+(const Dual<N>& a, double b) {
  Dual<N> r = a;
  r.v += b;
  return r;
}
template <int N>
inline Dual<N> operator+(double a, const Dual<N>& b) { return b + a; }
template <int N>
inline Dual<N> operator-(const Dual<N>& a, double b) { return a + (-b); }
template <int N>
inline Dual<N> operator-(double a, const Dual<N>& b) {
  Dual<N> r = -b;
  r.v += a;
  return r;
}
template <int N>
inline Dual<N> operator*(const Dual<N>& a, double b) {
  Dual<N> r(a.v * b);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] * b;
  return r;
}
template <int N>
inline Dual<N> operator*(double a, const Dual<N>& b) { return b * a; }
template <int N>
inline Dual<N> operator/(const Dual<N>& a, double b) {
  Dual<N> r(a.v / b);
  for (int i = 0; i < N; ++i) r.d[i] = a.d[i] / b;
  return r;
}
template <int N>
inline Dual<N> operator/(double a, const Dual<N>& b) {
  const double q = a / b.v;
  return chain(q, -q / b.v, b);
}

template <int N>
inline Dual<N> sqrt(const Dual<N>& a) {
  const double r = std::sqrt(a.v);
  return chain(r, 0.5 / r, a);
}
template <int N>
inline Dual<N> log(const Dual<N>& a) { return chain(std::log(a.v), 1.0 / a.v, a); }
template <int N>
inline Dual<N> log1p(const Dual<N>& a) {
  return chain(std::log1p(a.v), 1.0 / (1.0 + a.v), a);
}
template <int N>
inline Dual<N> atan(const Dual<N>& a) {
  return chain(std::atan(a.v), 1.0 / (1.0 + a.v * a.v), a);
}
template <int N>
inline Dual<N> atan2(const Dual<N>& y, const Dual<N>& x) {
  const double h = 1.0 / (x.v * x.v + y.v * y.v);
  Dual<N> r(std::atan2(y.v, x.v));
  for (int i = 0; i < N; ++i) r.d[i] = (x.v * y.d[i] - y.v * x.d[i]) * h;
  return r;
}

// Plain doubles go through the same generic code.
inline double value(double a) { return a; }
template <int N>
inline double value(const Dual<N>& a) { return a.v; }

}  // namespace vadrel::ad
