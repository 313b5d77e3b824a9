// Four-lane (AVX2) evaluation of the rectangular-patch surface displacement.
//
// This file is compiled with -mavx2 -mfma -ffp-contract=off (see
// CMakeLists.txt) and is entered only on processors that have both; it uses
// no inline function or template shared with other files, so no AVX2 code
// can leak into the baseline program through the linker.
//
// Lanes are points.  Per point the four corners of Chinnery's sum
// f(x, p) - f(x, p - W) - f(x - L, p) + f(x - L, p - W) are evaluated with
// the same stable forms as okada.cpp: R + xi, R + eta and R + d~ for a
// negative second term as (sum of the other squares)/(R - term), the
// 1/(R(R + xi)) and 1/(R(R + eta)) terms dropped where the second factor
// vanishes, -ln(R - eta) for ln(R + eta) on the eta-singular line, theta = 0
// on q = 0 or xi eta = 0, the reduced near-vertical I terms with their power
// series, the vertical limits, sin < 0 re-described from the other long
// edge, NaN on the trace of an outcropping patch, and components below 1e-8
// cleared to exact zeros.  Data-dependent choices are lane masks; choices
// that depend only on the patch are made once per call.
//
// Three reorganisations make it cheap, all exact in exact arithmetic and at
// least as accurate as the per-corner form:
//   * Every output is linear, with coefficients fixed per point, in a dozen
//     corner quantities, so those are summed over the corners first and
//     combined once.
//   * The logarithms that enter with fixed coefficients (ln(R + eta) always,
//     ln(R + d~) for general dips) are summed as the logarithm of the signed
//     product of their arguments: one logarithm per point instead of four.
//   * The arctangents of theta (and of I5 for general dips) are arguments of
//     complex numbers with positive real part, so their signed sum is the
//     argument of a product of those numbers (conjugated for the negative
//     corners), one atan2 per point.  Each pair f(xi, .) - f(xi, .) lies in
//     (-pi, pi); the 2 pi ambiguity of the total is resolved from the signs
//     of the two pair products.
// Each corner needs one division: the reciprocals of R, R + xi, R + eta and
// R + d~ (as fractions) come from one reciprocal of their product.
#include "model/okada_batch.hpp"

#if defined(VADREL_HAVE_AVX2_KERNEL)

#include <immintrin.h>

#include <cstddef>

// Vector maths of the C library (glibc's libmvec), four doubles per call.
extern "C" {
__m256d _ZGVdN4v_log(__m256d);
__m256d _ZGVdN4v_atan(__m256d);
__m256d _ZGVdN4v_log1p(__m256d);
__m256d _ZGVdN4vv_atan2(__m256d, __m256d);
}

namespace vadrel::detail {

namespace {

// The thresholds of okada.cpp; the two evaluations must agree on them.
constexpr double TOL = 1e-8;
constexpr double NEAR_VERTICAL_COS = 0.5;
constexpr double ON_TRACE_REL = 1e-12;
constexpr double SERIES_LIMIT = 0.25;
constexpr double SHORT_SERIES_LIMIT = 1.0 / 64.0;
constexpr double TWO_PI = 2.0 * PI;

// ---------------------------------------------------------------------------
// Four doubles and four lane masks, with the arithmetic spelled as operators.

struct V {
  __m256d v;
};
struct M {
  __m256d m;  // all bits set in true lanes
};

inline V bc(double d) { return {_mm256_set1_pd(d)}; }
inline V operator+(V a, V b) { return {_mm256_add_pd(a.v, b.v)}; }
inline V operator-(V a, V b) { return {_mm256_sub_pd(a.v, b.v)}; }
inline V operator*(V a, V b) { return {_mm256_mul_pd(a.v, b.v)}; }
inline V operator/(V a, V b) { return {_mm256_div_pd(a.v, b.v)}; }
inline V operator+(V a, double b) { return a + bc(b); }
inline V operator-(V a, double b) { return a - bc(b); }
inline V operator*(V a, double b) { return a * bc(b); }
inline V operator+(double a, V b) { return bc(a) + b; }
inline V operator-(double a, V b) { return bc(a) - b; }
inline V operator*(double a, V b) { return bc(a) * b; }
inline V operator/(double a, V b) { return bc(a) / b; }
inline V operator-(V a) { return {_mm256_xor_pd(a.v, _mm256_set1_pd(-0.0))}; }
inline V fmadd(V a, V b, V c) { return {_mm256_fmadd_pd(a.v, b.v, c.v)}; }
inline V vabs(V a) { return {_mm256_andnot_pd(_mm256_set1_pd(-0.0), a.v)}; }
inline V vsqrt(V a) { return {_mm256_sqrt_pd(a.v)}; }
// a with the sign of s flipped in where s is negative: a * sgn(s).
inline V times_sign(V a, V s) {
  return {_mm256_xor_pd(a.v, _mm256_and_pd(s.v, _mm256_set1_pd(-0.0)))};
}

// Comparisons as in C++: false on NaN, except != which is true.
inline M operator<(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LT_OQ)}; }
inline M operator<=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_LE_OQ)}; }
inline M operator>(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GT_OQ)}; }
inline M operator>=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_GE_OQ)}; }
inline M operator==(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_EQ_OQ)}; }
inline M operator!=(V a, V b) { return {_mm256_cmp_pd(a.v, b.v, _CMP_NEQ_UQ)}; }
inline M operator<(V a, double b) { return a < bc(b); }
inline M operator>(V a, double b) { return a > bc(b); }
inline M operator>=(V a, double b) { return a >= bc(b); }
inline M operator==(V a, double b) { return a == bc(b); }
inline M operator!=(V a, double b) { return a != bc(b); }
inline M operator&(M a, M b) { return {_mm256_and_pd(a.m, b.m)}; }
inline M operator|(M a, M b) { return {_mm256_or_pd(a.m, b.m)}; }
inline M operator!(M a) {
  return {_mm256_xor_pd(a.m, _mm256_castsi256_pd(_mm256_set1_epi64x(-1)))};
}
inline int bits(M a) { return _mm256_movemask_pd(a.m); }
inline bool any(M a) { return bits(a) != 0; }

// a where m, else b.
inline V sel(M m, V a, V b) { return {_mm256_blendv_pd(b.v, a.v, m.m)}; }
// a where m, else +0.
inline V keep(M m, V a) { return {_mm256_and_pd(m.m, a.v)}; }
// +0 where m, else a.
inline V drop(M m, V a) { return {_mm256_andnot_pd(m.m, a.v)}; }

inline V vlog(V a) { return {_ZGVdN4v_log(a.v)}; }
inline V vatan(V a) { return {_ZGVdN4v_atan(a.v)}; }
inline V vlog1p(V a) { return {_ZGVdN4v_log1p(a.v)}; }
inline V vatan2(V y, V x) { return {_ZGVdN4vv_atan2(y.v, x.v)}; }

// ---------------------------------------------------------------------------
// Power series of the near-vertical helpers (the same as okada.cpp).

struct Coeffs {
  double c[15];
};

// (w - atan w)/w^3 = sum (-1)^k w^2k/(2k + 3).  15 terms for 1e-17 at
// |w| = 0.25, 5 at 1/64.
constexpr int N_ATAN = 15, N_ATAN_SHORT = 5;
constexpr Coeffs ATAN_DEFECT = [] {
  Coeffs c{};
  for (int k = 0; k < N_ATAN; ++k) c.c[k] = (k % 2 == 0 ? 1.0 : -1.0) / (2 * k + 3);
  return c;
}();

// (atanh v - v)/v^3 = sum v^2k/(2k + 3), v <= 1/7.  11 terms for 1e-17 at
// |u| = 0.25, 5 at 1/64.
constexpr int N_ATANH = 11, N_ATANH_SHORT = 5;
constexpr Coeffs ATANH_DEFECT = [] {
  Coeffs c{};
  for (int k = 0; k < N_ATANH; ++k) c.c[k] = 1.0 / (2 * k + 3);
  return c;
}();

// c[0] + c[1] t + ... + c[Mt-1] t^(Mt-1), as two Horner chains in t^2.
template <int Mt>
inline V poly(const Coeffs& c, V t) {
  const V t2 = t * t;
  V even = bc(0.0), odd = bc(0.0);
  int k = Mt;
  if (k % 2 == 1) even = bc(c.c[--k]);
#pragma GCC unroll 16
  while (k > 0) {
    odd = fmadd(odd, t2, bc(c.c[--k]));
    even = fmadd(even, t2, bc(c.c[--k]));
  }
  return fmadd(t, odd, even);
}

// Short series where every series lane allows it, the long one where none
// does, both otherwise.
template <int Short, int Long>
inline V series(const Coeffs& c, V t, M use_series, M is_short) {
  if (!any(use_series & !is_short)) return poly<Short>(c, t);
  if (!any(is_short)) return poly<Long>(c, t);
  return sel(is_short, poly<Short>(c, t), poly<Long>(c, t));
}

struct Pair {
  V a, b;
};

// {atan(w)/w, (w - atan w)/w^2}: series below |w| = 0.25, closed form above.
inline Pair atan_parts(V w) {
  const V aw = vabs(w);
  const M ser = aw < SERIES_LIMIT;
  const int sb = bits(ser);
  Pair s{}, cl{};
  if (sb != 0) {
    const V w2 = w * w;
    const V d = series<N_ATAN_SHORT, N_ATAN>(ATAN_DEFECT, w2, ser, aw < SHORT_SERIES_LIMIT);
    s = {1.0 - w2 * d, w * d};
  }
  if (sb != 15) {
    const V t = vatan(w);
    const V r = 1.0 / (w * w);
    cl = {t * w * r, (w - t) * r};
  }
  if (sb == 15) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b)};
}

// {-ln(1 - u)/u, 1/(1 - u) - (-ln(1 - u) - u)/u^2}: series in
// v = u/(2 - u) below |u| = 0.25, closed form above (see okada.cpp).
inline Pair log_parts(V u) {
  const V au = vabs(u);
  const M ser = au < SERIES_LIMIT;
  const int sb = bits(ser);
  Pair s{}, cl{};
  if (sb != 0) {
    // 1/((2 - u)(1 - u)) gives v = u/(2 - u) and 1/(1 - v) = (2 - u)/(2 (1 - u)).
    const V two_u = 2.0 - u, one_u = 1.0 - u;
    const V r = 1.0 / (two_u * one_u);
    const V v = u * one_u * r;
    const V inv_1v = 0.5 * (two_u * two_u * r);
    const V v2 = v * v;
    const V B = series<N_ATANH_SHORT, N_ATANH>(ATANH_DEFECT, v2, ser, au < SHORT_SERIES_LIMIT);
    const V onev = 1.0 + v;
    s = {(1.0 + v2 * B) * onev, 0.5 * onev * onev * (inv_1v - v * B)};
  }
  if (sb != 15) {
    const V l = vlog1p(-u);
    const V one_u = 1.0 - u;
    const V r = 1.0 / (u * u * one_u);  // 1/u = u (1 - u) r, 1/(1 - u) = u^2 r
    cl = {-l * (u * one_u * r), u * u * r + (l + u) * (one_u * r)};
  }
  if (sb == 15) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b)};
}

// Signed sum arg z0 - arg z1 - arg z2 + arg z3 of four complex numbers with
// positive real part (each argument in (-pi/2, pi/2)).  The pair products
// z0 conj(z1) and z3 conj(z2) have their arguments in (-pi, pi); the total,
// in (-2 pi, 2 pi), is the argument of their product plus 2 pi when both
// pairs turn the same way and the product's argument the other way.
inline V signed_arg_sum(const V (&re)[4], const V (&im)[4]) {
  const V wr = re[0] * re[1] + im[0] * im[1];
  const V wi = im[0] * re[1] - re[0] * im[1];
  const V vr = re[3] * re[2] + im[3] * im[2];
  const V vi = im[3] * re[2] - re[3] * im[2];
  const V tr = wr * vr - wi * vi;
  const V ti = wr * vi + wi * vr;
  const V a = vatan2(ti, tr);
  const M up = (wi >= 0.0) & (vi >= 0.0) & (a < 0.0);
  const M down = (wi < 0.0) & (vi < 0.0) & (a > 0.0);
  return (a + keep(up, bc(TWO_PI))) - keep(down, bc(TWO_PI));
}

// ---------------------------------------------------------------------------
// The patch, after the sin < 0 re-description.

enum class Dip { vertical, near_vertical, general };

struct Patch {
  double sd, cd, alpha, L, W, depth;
  double top;      // depth - W sd, depth of the shallow edge
  double y_shift;  // W cos of the original description, subtracted from y
  bool flipped;
  double c1, c2, c3;
  double one_s, inv_one_s, inv_c;  // near-vertical: 1 + s, 1/(1 + s), 1/c
};

// Per-point values shared by the four corners.
struct Point {
  V q, q2;
  V xi[2], xi2[2];    // x, x - L
  V eta[2], eta2[2];  // p, p - W
  V X[2], invX[2];    // |(xi, q)| and its reciprocal (zero-safe)
};

// Corner sums; "S" entries are sum over corners of sign * value.
struct Sums {
  V xiY, ytY, dtY, Y11, invRe, invR, ytX, dtX;
  V A1, A3, A4, A5;        // mode-dependent parts of the I terms
  V B3, B4, BL;            // near-vertical eta-singular corners
  V eN, eD;                // product of (R + eta)^sign, numerator/denominator
  V dN, dD;                // product of (R + d~)^sign (general dips)
  V tre[4], tim[4];        // theta as arguments
  V gre[4], gim[4];        // general-dip I5 as arguments
};

// Adds sign(k) * t to an accumulator, corner by corner in the order of the
// scalar sum: + f1 - f2 - f3 + f4.
template <int k>
inline void acc(V& s, V t) {
  if constexpr (k == 0)
    s = t;
  else if constexpr (k == 3)
    s = s + t;
  else
    s = s - t;
}

// Multiplies the signed product num/den by f^sign(k) = n/d or d/n.
template <int k>
inline void acc_product(V& num, V& den, V n, V d) {
  if constexpr (k == 0) {
    num = n;
    den = d;
  } else if constexpr (k == 3) {
    num = num * n;
    den = den * d;
  } else {
    num = num * d;
    den = den * n;
  }
}

template <Dip D, int k>
inline void corner(const Patch& P, const Point& pt, Sums& s) {
  const V sd = bc(P.sd), cd = bc(P.cd), one = bc(1.0);
  const V xi = pt.xi[k / 2], xi2 = pt.xi2[k / 2];
  const V eta = pt.eta[k % 2], eta2 = pt.eta2[k % 2];
  const V q = pt.q, q2 = pt.q2;

  const V yt = eta * cd + q * sd;
  const V dt = eta * sd - q * cd;
  const V R = vsqrt((xi2 + eta2) + q2);
  // R + a for a < 0 as (R^2 - a^2)/(R - a), held as numerator/denominator.
  const M xpos = xi >= 0.0, epos = eta >= 0.0, dpos = dt >= 0.0;
  const V nx = sel(xpos, R + xi, eta2 + q2), dx = sel(xpos, one, R - xi);
  const V ne = sel(epos, R + eta, xi2 + q2), de = sel(epos, one, R - eta);
  const V nd = sel(dpos, R + dt, xi2 + yt * yt), dd = sel(dpos, one, R - dt);
  const M xok = nx > 0.0;    // R + xi > 0
  const M sing = !(ne > 0.0);  // R + eta = 0: the eta-singular line
  const V nx1 = sel(xok, nx, one), ne1 = sel(sing, one, ne);

  // One division for 1/R, 1/(R + xi), 1/(R + eta), 1/(R + d~) (and for
  // near-vertical dips 1/(R - eta)).
  const V a = R * nx1, b = ne1 * nd;
  V ia, ib, ide;
  if constexpr (D == Dip::near_vertical) {
    const V ab = a * b;
    const V inv = one / (ab * de);
    const V iab = de * inv;
    ide = ab * inv;
    ia = b * iab;  // 1/(R nx)
    ib = a * iab;  // 1/(ne nd)
  } else {
    const V inv = one / (a * b);
    ia = b * inv;
    ib = a * inv;
  }
  const V invR = nx1 * ia;
  const V X11 = keep(xok, dx * ia);
  const V invRe = drop(sing, de * nd * ib);
  const V Y11 = invRe * invR;
  const V invRd = dd * ne1 * ib;

  acc<k>(s.xiY, xi * Y11);
  acc<k>(s.ytY, yt * Y11);
  acc<k>(s.dtY, dt * Y11);
  acc<k>(s.Y11, Y11);
  acc<k>(s.invRe, invRe);
  acc<k>(s.invR, invR);
  acc<k>(s.ytX, yt * X11);
  acc<k>(s.dtX, dt * X11);

  // theta = atan(xi eta/(q R)) = sgn(q) arg(|q| R + i xi eta).
  s.tre[k] = vabs(q) * R;
  s.tim[k] = xi * eta;

  if constexpr (D == Dip::vertical) {
    // ln(R + eta), or -ln(R - eta) on the eta-singular line.
    acc_product<k>(s.eN, s.eD, ne1, de);
    const V invRd2 = invRd * invRd;
    acc<k>(s.A1, xi * invRd2);
    acc<k>(s.A3, eta * invRd + yt * q * invRd2);
    acc<k>(s.A4, invRd);
    acc<k>(s.A5, xi * invRd);
  } else if constexpr (D == Dip::general) {
    acc_product<k>(s.eN, s.eD, ne1, de);
    acc_product<k>(s.dN, s.dD, nd, dd);
    acc<k>(s.A1, xi * invRd);
    acc<k>(s.A3, yt * invRd);
    // I5 = (2 alpha/c) atan(num/den), 0 on xi = 0.
    const V X = pt.X[k / 2];
    const V RX = R + X;
    const V num = (q * cd + X) * eta + RX * X * sd;
    const V den = RX * xi * cd;
    const M xnz = xi != 0.0;
    s.gre[k] = sel(xnz, vabs(den), one);
    s.gim[k] = keep(xnz, times_sign(num, den));
  } else {
    // Reduced I terms for small cos (see near_vertical_i_terms in
    // okada.cpp), lane by lane.
    const double c = P.cd, sn = P.sd;
    const V cv = bc(c), sv = bc(sn);
    // Regular corners: ln(R + eta) enters I3 and I4 with fixed coefficients.
    acc_product<k>(s.eN, s.eD, ne1, sel(sing, one, de));
    const V m = q + eta * cv * P.inv_one_s;
    const V mr = m * invRe;  // 0 on the eta-singular line
    const Pair lg = log_parts(cv * mr);
    acc<k>(s.A4, -(mr * lg.a));
    acc<k>(s.A3, drop(sing, eta * invRd * P.inv_one_s + sv * mr * mr * lg.b));
    if (any(sing)) {
      // On the eta-singular line the reduction has nothing to divide by.
      const V lnRd = vlog(nd / dd);
      const V Leta = -vlog(de);
      const V I4 = (P.alpha / c) * (lnRd - sv * Leta);
      const V I3 = (P.alpha / (c * c)) * (yt * cv * invRd + sv * lnRd - Leta);
      s.B4 = s.B4 + (k == 0 || k == 3 ? keep(sing, I4) : -keep(sing, I4));
      s.B3 = s.B3 + (k == 0 || k == 3 ? keep(sing, I3) : -keep(sing, I3));
      s.BL = s.BL + (k == 0 || k == 3 ? keep(sing, Leta) : -keep(sing, Leta));
    }
    const V X = pt.X[k / 2], invX = pt.invX[k / 2];
    const V Re = ne1 * ide;
    const V RX = R + X;
    const V lean = sel(epos, eta + sv * RX, (Re + sv * X) - cv * cv * R * P.inv_one_s);
    const V N = X * lean + eta * q * cv;
    const V Dn = xi * RX * cv;
    const M xnz = xi != 0.0;
    const M npos = N > 0.0;
    const M ok = xnz & npos;
    const V invN = one / sel(ok, N, one);
    const Pair at = atan_parts(keep(ok, Dn * invN));
    V I5 = (-2.0 * P.alpha) * xi * RX * invN * at.a;
    const V Q = eta * cv * (xi2 + X * R) + q * R * lean;
    V I1 = (-P.alpha) * xi *
           (Q * (invRd * invX * invN) + 2.0 * sv * xi * RX * RX * at.b * (invN * invN));
    I5 = keep(ok, I5);
    I1 = keep(ok, I1);
    const M fb = xnz & !npos;
    if (any(fb)) {
      const V I5f = (-(2.0 * P.alpha / c)) * vatan2(Dn, N);
      const V I1f = -(P.alpha * xi * invRd + sv * I5f + P.alpha * xi * invX) * P.inv_c;
      I5 = sel(fb, I5f, I5);
      I1 = sel(fb, I1f, I1);
    }
    acc<k>(s.A1, I1);
    acc<k>(s.A5, I5);
  }
}

template <Dip D>
inline void eval4(const Patch& P, V x, V y, V (&u)[9]) {
  const V sd = bc(P.sd), cd = bc(P.cd), L = bc(P.L), W = bc(P.W), depth = bc(P.depth);
  const double alpha = P.alpha;
  if (P.flipped) y = y - bc(P.y_shift);

  const V tol = ON_TRACE_REL * ((((vabs(x) + vabs(y)) + L) + W) + vabs(depth));
  const M on_trace = (bc(P.top) <= tol) & (depth >= -tol) &
                     (vabs(y * sd - depth * cd) <= tol) & (x >= -tol) & (x <= L + tol);

  Point pt;
  const V p = y * cd + depth * sd;
  pt.q = y * sd - depth * cd;
  pt.q2 = pt.q * pt.q;
  pt.xi[0] = x;
  pt.xi[1] = x - L;
  pt.eta[0] = p;
  pt.eta[1] = p - W;
  for (int i = 0; i < 2; ++i) {
    pt.xi2[i] = pt.xi[i] * pt.xi[i];
    pt.eta2[i] = pt.eta[i] * pt.eta[i];
  }
  if constexpr (D != Dip::vertical) {
    pt.X[0] = vsqrt(pt.xi2[0] + pt.q2);
    pt.X[1] = vsqrt(pt.xi2[1] + pt.q2);
  }
  if constexpr (D == Dip::near_vertical) {
    const V one = bc(1.0);
    const V X0 = sel(pt.X[0] > 0.0, pt.X[0], one), X1 = sel(pt.X[1] > 0.0, pt.X[1], one);
    const V inv = one / (X0 * X1);
    pt.invX[0] = X1 * inv;
    pt.invX[1] = X0 * inv;
  }

  Sums s;
  if constexpr (D == Dip::near_vertical) s.B3 = s.B4 = s.BL = bc(0.0);
  corner<D, 0>(P, pt, s);
  corner<D, 1>(P, pt, s);
  corner<D, 2>(P, pt, s);
  corner<D, 3>(P, pt, s);

  const V q = pt.q;
  const V theta = keep(q != 0.0, times_sign(signed_arg_sum(s.tre, s.tim), q));
  V SL, I1, I3, I4, I5;
  if constexpr (D == Dip::vertical) {
    SL = vlog(s.eN / s.eD);
    I1 = (-(alpha / 2.0)) * q * s.A1;
    I3 = (alpha / 2.0) * (s.A3 - SL);
    I4 = (-alpha) * q * s.A4;
    I5 = (-alpha) * sd * s.A5;
  } else if constexpr (D == Dip::general) {
    const V inv = 1.0 / (s.eD * s.dD);
    SL = vlog(s.eN * s.dD * inv);
    const V SLd = vlog(s.dN * s.eD * inv);
    const double ac = alpha / P.cd, tc = P.sd / P.cd;
    I5 = (2.0 * alpha / P.cd) * signed_arg_sum(s.gre, s.gim);
    I4 = ac * (SLd - sd * SL);
    I3 = alpha * (s.A3 * (1.0 / P.cd) - SL) + tc * I4;
    I1 = (-ac) * s.A1 - tc * I5;
  } else {
    const V SLreg = vlog(s.eN / s.eD);
    I4 = alpha * (s.A4 + (P.cd * P.inv_one_s) * SLreg) + s.B4;
    I3 = alpha * (s.A3 - SLreg * P.inv_one_s) + s.B3;
    SL = SLreg + s.BL;
    I1 = s.A1;
    I5 = s.A5;
  }
  const V I2 = -(alpha * SL + I3);

  const V c1 = bc(P.c1), c2 = bc(P.c2), c3 = bc(P.c3);
  const V qxiY = q * s.xiY;
  const V I1s = I1 * sd, I3s = I3 * sd, I5s = I5 * sd;
  u[0] = c1 * ((qxiY + theta) + I1s);
  u[1] = c1 * ((q * s.ytY + q * cd * s.invRe) + I2 * sd);
  u[2] = c1 * ((q * s.dtY + q * sd * s.invRe) + I4 * sd);
  u[3] = c2 * (q * s.invR - I3s * cd);
  u[4] = c2 * ((q * s.ytX + theta * cd) - I1s * cd);
  u[5] = c2 * ((q * s.dtX + theta * sd) - I5s * cd);
  u[6] = c3 * (q * q * s.Y11 - I3s * sd);
  u[7] = c3 * ((-(q * s.dtX) - (qxiY - theta) * sd) - I1s * sd);
  u[8] = c3 * ((q * s.ytX + (qxiY - theta) * cd) - I5s * sd);

  // Below 1e-8 the sum is rounding noise of cancelling corner terms; on the
  // trace of an outcropping patch there is no value.
  const V nan = bc(__builtin_nan(""));
  for (V& v : u) v = sel(on_trace, nan, drop(vabs(v) < TOL, v));
}

template <Dip D>
void run(const Patch& P, const double* x, const double* y, std::size_t n, double* const out[9]) {
  std::size_t i = 0;
  V u[9];
  for (; i + 4 <= n; i += 4) {
    eval4<D>(P, {_mm256_loadu_pd(x + i)}, {_mm256_loadu_pd(y + i)}, u);
    for (int k = 0; k < 9; ++k) _mm256_storeu_pd(out[k] + i, u[k].v);
  }
  if (i == n) return;
  // Tail: the missing lanes repeat the first remaining point.
  const std::size_t rest = n - i;
  double xb[4], yb[4], ub[4];
  for (std::size_t j = 0; j < 4; ++j) {
    xb[j] = x[i + (j < rest ? j : 0)];
    yb[j] = y[i + (j < rest ? j : 0)];
  }
  eval4<D>(P, {_mm256_loadu_pd(xb)}, {_mm256_loadu_pd(yb)}, u);
  for (int k = 0; k < 9; ++k) {
    _mm256_storeu_pd(ub, u[k].v);
    for (std::size_t j = 0; j < rest; ++j) out[k][i + j] = ub[j];
  }
}

}  // namespace

void okada_patch_batch_avx2_kernel(double U1, double U2, double U3, const double* x,
                                   const double* y, std::size_t n, double L, double W,
                                   double depth, const PatchTrig& trig, double* const out[9]) {
  Patch P{};
  double sd = trig.sin_dip, cd = trig.cos_dip;
  double s1 = U1;
  // sin < 0: the same rectangle seen from its other long edge (okada.cpp).
  if (sd < 0.0) {
    P.flipped = true;
    P.y_shift = W * cd;
    depth -= W * sd;
    sd = -sd;
    cd = -cd;
    s1 = -U1;
  }
  P.sd = sd;
  P.cd = cd;
  P.alpha = trig.alpha;
  P.L = L;
  P.W = W;
  P.depth = depth;
  P.top = depth - W * sd;
  P.c1 = -s1 / (2.0 * PI);
  P.c2 = -U2 / (2.0 * PI);
  P.c3 = U3 / (2.0 * PI);
  P.one_s = 1.0 + sd;
  P.inv_one_s = 1.0 / P.one_s;
  P.inv_c = 1.0 / cd;

  const double acd = cd < 0.0 ? -cd : cd;
  if (cd == 0.0)
    run<Dip::vertical>(P, x, y, n, out);
  else if (acd < NEAR_VERTICAL_COS && sd > 0.0)
    run<Dip::near_vertical>(P, x, y, n, out);
  else if (acd < TOL)
    run<Dip::vertical>(P, x, y, n, out);
  else
    run<Dip::general>(P, x, y, n, out);
}

}  // namespace vadrel::detail

#else  // no AVX2 kernel on this target: batch_has_avx2() is false

namespace vadrel::detail {
void okada_patch_batch_avx2_kernel(double, double, double, const double*, const double*,
                                   std::size_t, double, double, double, const PatchTrig&,
                                   double* const[9]) {}
}  // namespace vadrel::detail

#endif
