#pragma once
// Lane-parallel evaluation of the rectangular-patch surface displacement,
// written once against the lane type V and its mask M: included by
// okada_batch_avx2.cpp (four lanes, AVX2 and FMA) and okada_batch_avx512.cpp
// (eight lanes, AVX-512), after the lane header of that instruction set.
// Both are compiled with -ffp-contract=off and entered only on processors
// that have their instruction set; everything here has internal linkage, so
// no wide code can leak into the baseline program through the linker.
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
// Each corner needs one division (two for near-vertical dips): the
// reciprocals of R, R + xi, R + eta and R + d~ (as fractions) come from one
// reciprocal of their product.  The corners are evaluated stage by stage so
// that their long dependency chains overlap.
#include <cstddef>

#include "model/okada_batch.hpp"
#include "model/okada_terms.hpp"

namespace vadrel::detail {

namespace {

using namespace lanes;

// The thresholds and series of the scalar kernel: the two evaluations must
// agree on them.
using namespace okada_terms;
constexpr double TWO_PI = 2.0 * PI;

// ---------------------------------------------------------------------------
// Power series of the near-vertical helpers (the same as okada.cpp).

// c[0] + c[1] t + ... + c[Mt-1] t^(Mt-1), as two Horner chains in t^2.
template <int Mt>
inline V poly(const Coeffs& c, V t) {
  const V t2 = t * t;
  V even = bc(0.0), odd = bc(0.0);
  int k = Mt;
  if (k % 2 == 1) even = coeff(c, --k);
#pragma GCC unroll 16
  while (k > 0) {
    odd = fmadd(odd, t2, coeff(c, --k));
    even = fmadd(even, t2, coeff(c, --k));
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
// inv_w = 1/w is used only where |w| >= 0.25.
inline Pair atan_parts(V w, V inv_w) {
  const V aw = vabs(w);
  const M ser = aw < SERIES_LIMIT;
  const int sb = bits(ser);
  Pair s{}, cl{};
  if (sb != 0) {
    const V w2 = w * w;
    const V d = series<N_ATAN_SHORT, N_ATAN>(ATAN_DEFECT_LANES, w2, ser, aw < SHORT_SERIES_LIMIT);
    s = {1.0 - w2 * d, w * d};
  }
  if (sb != ALL_LANES) {
    const V t = vatan(w);
    cl = {t * inv_w, (w - t) * (inv_w * inv_w)};
  }
  if (sb == ALL_LANES) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b)};
}


inline Pair log_parts(const LogArg& g, V r) {
  const V u = g.u, au = g.au, one_u = g.one_u, two_u = g.two_u;
  const M ser = g.ser;
  const int sb = g.sb;
  Pair s{}, cl{};
  if (sb != 0) {
    const V v = u * one_u * r;
    const V inv_1v = 0.5 * (two_u * two_u * r);
    const V v2 = v * v;
    const V B = series<N_ATANH_SHORT, N_ATANH>(ATANH_DEFECT_LANES, v2, ser, au < SHORT_SERIES_LIMIT);
    const V onev = 1.0 + v;
    s = {(1.0 + v2 * B) * onev, 0.5 * onev * onev * (inv_1v - v * B)};
  }
  if (sb != ALL_LANES) {
    const V l = vlog1p(-u);
    // 1/u = u (1 - u) r, 1/(1 - u) = u^2 r, 1/u^2 = (1 - u) r
    cl = {-l * (u * one_u * r), u * u * r + (l + u) * (one_u * r)};
  }
  if (sb == ALL_LANES) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b)};
}


// ---------------------------------------------------------------------------
// The patch, after the sin < 0 re-description.

enum class Dip { vertical, near_vertical, general };

struct LanePatch {
  // Patch constants, broadcast once per call so that the arithmetic can
  // take them straight from memory.
  V sd, cd, alpha, L, W, depth;
  V top;      // depth - W sd, depth of the shallow edge
  V y_shift;  // W cos of the original description, subtracted from y
  V c1, c2, c3;
  V inv_one_s, inv_c;  // 1/(1 + s), 1/c
  V a_c, s_c, two_a_c;  // alpha/c, s/c, 2 alpha/c
  V a_cc;               // alpha/c^2
  V c_1s, cc_1s;        // c/(1 + s), c^2/(1 + s)
  V m2a, m_a, two_s;    // -2 alpha, -alpha, 2 s
  V half_a;             // alpha/2
  bool flipped;
  bool may_outcrop;  // some point could lie on the trace of the top edge
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
  ArgSum theta;            // theta as arguments
  ArgSum g5;               // general-dip I5 as arguments
};

// Corner k of Chinnery's sum has xi = x for k < 2 and x - L otherwise,
// eta = p for even k and p - W otherwise, and the sign + for k = 0 and 3,
// - otherwise.  The corners are evaluated stage by stage (all four square
// roots, then all four divisions, ...), so that their independent chains
// overlap in the processor; within a stage they go in corner order.
#define EACH_CORNER _Pragma("GCC unroll 4") for (int k = 0; k < 4; ++k)

// Adds sign(k) * t to an accumulator in the order of the scalar sum:
// + f1 - f2 - f3 + f4.
inline void acc(V& s, V t, int k) {
  if (k == 0)
    s = t;
  else if (k == 3)
    s = s + t;
  else
    s = s - t;
}

// Multiplies the signed product num/den by f^sign(k), f = n/d.
inline void acc_product(V& num, V& den, V n, V d, int k) {
  if (k == 0) {
    num = n;
    den = d;
  } else if (k == 3) {
    num = num * n;
    den = den * d;
  } else {
    num = num * d;
    den = den * n;
  }
}

template <Dip D, bool Sing>
VINLINE void corners(const LanePatch& P, const Point& pt, Sums& s) {
  const V sd = P.sd, cd = P.cd, one = bc(1.0);
  const V q = pt.q, q2 = pt.q2;
  V xi[4], xi2[4], eta[4], eta2[4];
  EACH_CORNER {
    xi[k] = pt.xi[k >> 1];
    xi2[k] = pt.xi2[k >> 1];
    eta[k] = pt.eta[k & 1];
    eta2[k] = pt.eta2[k & 1];
  }

  V yt[4], dt[4], R[4];
  EACH_CORNER {
    yt[k] = eta[k] * cd + q * sd;
    dt[k] = eta[k] * sd - q * cd;
    R[k] = vsqrt((xi2[k] + eta2[k]) + q2);
  }

  // R + a for a < 0 as (R^2 - a^2)/(R - a), held as numerator/denominator.
  V nx1[4], dx[4], ne1[4], de[4], nd[4], dd[4];
  M xok[4], epos[4], sing[4];
  EACH_CORNER {
    const M xpos = xi[k] >= 0.0, dpos = dt[k] >= 0.0;
    epos[k] = eta[k] >= 0.0;
    const V nx = sel(xpos, R[k] + xi[k], eta2[k] + q2);
    dx[k] = sel(xpos, one, R[k] - xi[k]);
    const V ne = sel(epos[k], R[k] + eta[k], xi2[k] + q2);
    de[k] = sel(epos[k], one, R[k] - eta[k]);
    nd[k] = sel(dpos, R[k] + dt[k], xi2[k] + yt[k] * yt[k]);
    dd[k] = sel(dpos, one, R[k] - dt[k]);
    xok[k] = nx > 0.0;     // R + xi > 0
    sing[k] = !(ne > 0.0);  // R + eta = 0: the eta-singular line
    nx1[k] = sel(xok[k], nx, one);
    ne1[k] = sel(sing[k], one, ne);
  }

  // One division for 1/R, 1/(R + xi), 1/(R + eta), 1/(R + d~) (and for
  // near-vertical dips 1/(R - eta)).
  V invR[4], X11[4], invRe[4], Y11[4], invRd[4], ide[4];
  EACH_CORNER {
    const V a = R[k] * nx1[k], b = ne1[k] * nd[k];
    V ia, ib;
    if constexpr (D == Dip::near_vertical) {
      const V ab = a * b;
      const V inv = one / (ab * de[k]);
      const V iab = de[k] * inv;
      ide[k] = ab * inv;
      ia = b * iab;  // 1/(R nx)
      ib = a * iab;  // 1/(ne nd)
    } else {
      const V inv = one / (a * b);
      ia = b * inv;
      ib = a * inv;
    }
    invR[k] = nx1[k] * ia;
    X11[k] = keep(xok[k], dx[k] * ia);
    invRe[k] = drop(sing[k], de[k] * nd[k] * ib);
    Y11[k] = invRe[k] * invR[k];
    invRd[k] = dd[k] * ne1[k] * ib;
  }

  // A factor that depends on xi alone (or eta alone) is shared by two
  // corners: the signed sum of factor times term is the factor times the
  // difference of the two corners' terms, summed over the two values of the
  // factor.  Half the products, and the differences of neighbouring
  // corners' terms lose nothing when they nearly cancel.
  const V dYx0 = Y11[0] - Y11[1], dYx1 = Y11[3] - Y11[2];  // pairs sharing xi
  const V dYe0 = Y11[0] - Y11[2], dYe1 = Y11[3] - Y11[1];  // pairs sharing eta
  const V dXe0 = X11[0] - X11[2], dXe1 = X11[3] - X11[1];
  s.xiY = xi[0] * dYx0 + xi[3] * dYx1;
  s.ytY = yt[0] * dYe0 + yt[3] * dYe1;
  s.dtY = dt[0] * dYe0 + dt[3] * dYe1;
  s.Y11 = dYe0 + dYe1;
  s.ytX = yt[0] * dXe0 + yt[3] * dXe1;
  s.dtX = dt[0] * dXe0 + dt[3] * dXe1;
  EACH_CORNER {
    acc(s.invRe, invRe[k], k);
    acc(s.invR, invR[k], k);
    // theta = atan(xi eta/(q R)) = sgn(q) arg(|q| R + i xi eta).
    add_arg(s.theta, vabs(q) * R[k], xi[k] * eta[k], k);
  }

  if constexpr (D == Dip::vertical) {
    EACH_CORNER {
      // ln(R + eta), or -ln(R - eta) on the eta-singular line.
      acc_product(s.eN, s.eD, ne1[k], de[k], k);
      const V invRd2 = invRd[k] * invRd[k];
      acc(s.A1, xi[k] * invRd2, k);
      acc(s.A3, eta[k] * invRd[k] + yt[k] * q * invRd2, k);
      acc(s.A4, invRd[k], k);
      acc(s.A5, xi[k] * invRd[k], k);
    }
  } else if constexpr (D == Dip::general) {
    s.A1 = xi[0] * (invRd[0] - invRd[1]) + xi[3] * (invRd[3] - invRd[2]);
    s.A3 = yt[0] * (invRd[0] - invRd[2]) + yt[3] * (invRd[3] - invRd[1]);
    EACH_CORNER {
      acc_product(s.eN, s.eD, ne1[k], de[k], k);
      acc_product(s.dN, s.dD, nd[k], dd[k], k);
      // I5 = (2 alpha/c) atan(num/den), 0 on xi = 0.
      const V X = pt.X[k >> 1];
      const V RX = R[k] + X;
      // (X sin and xi cos belong to the pair of corners sharing xi.)
      const V num = (q * cd + X) * eta[k] + RX * (X * sd);
      const V den = RX * (xi[k] * cd);
      const M xnz = xi[k] != 0.0;
      add_arg(s.g5, sel(xnz, vabs(den), one), keep(xnz, times_sign(num, den)), k);
    }
  } else {
    // Reduced I terms for small cos (see near_vertical_i_terms in
    // okada.cpp), lane by lane.  Sing: some lane of the group may lie on
    // the eta-singular line.
    const V cv = P.cd, sv = P.sd;
    V mr[4], RX[4], lean[4], N[4], Dn[4], N1[4], D1[4], nd1[4];
    M ok[4], fb[4];
    LogArg lu[4];
    EACH_CORNER {
      // Regular corners: ln(R + eta) enters I3 and I4 with fixed coefficients.
      acc_product(s.eN, s.eD, ne1[k], Sing ? sel(sing[k], one, de[k]) : de[k], k);
      const V m = q + eta[k] * P.c_1s;
      mr[k] = m * invRe[k];  // 0 on the eta-singular line
      lu[k] = log_arg(cv * mr[k]);
      const V X = pt.X[k >> 1];
      const V Re = ne1[k] * ide[k];
      RX[k] = R[k] + X;
      lean[k] = sel(epos[k], eta[k] + sv * RX[k], (Re + sv * X) - R[k] * P.cc_1s);
      N[k] = X * lean[k] + eta[k] * q * cv;
      Dn[k] = xi[k] * RX[k] * cv;
      const M xnz = xi[k] != 0.0;
      const M npos = N[k] > 0.0;
      ok[k] = xnz & npos;
      fb[k] = xnz & !npos;
      N1[k] = sel(ok[k], N[k], one);
      D1[k] = sel(ok[k], Dn[k], one);
      nd1[k] = N1[k] * D1[k];
    }
    // One division for the reciprocals of N, D and the logarithm's number
    // (their product stays in range: |u| would have to exceed 1e100, i.e.
    // R + eta fall below 1e-100 without vanishing).
    V r_log[4], invN[4], invD[4];
    EACH_CORNER {
      const V inv = one / (nd1[k] * lu[k].den);
      r_log[k] = nd1[k] * inv;
      const V i_nd = lu[k].den * inv;
      invN[k] = D1[k] * i_nd;
      invD[k] = N1[k] * i_nd;
    }
    EACH_CORNER {
      const Pair lg = log_parts(lu[k], r_log[k]);
      acc(s.A4, -(mr[k] * lg.a), k);
      const V a3 = eta[k] * invRd[k] * P.inv_one_s + sv * mr[k] * mr[k] * lg.b;
      acc(s.A3, Sing ? drop(sing[k], a3) : a3, k);
    }
    if constexpr (Sing) {
      EACH_CORNER {
        if (any(sing[k])) {
          // On the eta-singular line the reduction has nothing to divide by.
          const V lnRd = vlog(nd[k] / dd[k]);
          const V Leta = -vlog(de[k]);
          const V I4 = P.a_c * (lnRd - sv * Leta);
          const V I3 = P.a_cc * (yt[k] * cv * invRd[k] + sv * lnRd - Leta);
          const bool plus = k == 0 || k == 3;
          s.B4 = s.B4 + (plus ? keep(sing[k], I4) : -keep(sing[k], I4));
          s.B3 = s.B3 + (plus ? keep(sing[k], I3) : -keep(sing[k], I3));
          s.BL = s.BL + (plus ? keep(sing[k], Leta) : -keep(sing[k], Leta));
        }
      }
    }
    EACH_CORNER {
      const V X = pt.X[k >> 1], invX = pt.invX[k >> 1];
      const Pair at = atan_parts(keep(ok[k], Dn[k] * invN[k]), N1[k] * invD[k]);
      V I5 = P.m2a * xi[k] * RX[k] * invN[k] * at.a;
      const V Q = eta[k] * cv * (xi2[k] + X * R[k]) + q * R[k] * lean[k];
      V I1 = P.m_a * xi[k] *
             (Q * (invRd[k] * invX * invN[k]) +
              P.two_s * xi[k] * RX[k] * RX[k] * at.b * (invN[k] * invN[k]));
      I5 = keep(ok[k], I5);
      I1 = keep(ok[k], I1);
      if (any(fb[k])) {
        const V I5f = -(P.two_a_c * vatan2(Dn[k], N[k]));
        const V I1f =
            -(P.alpha * xi[k] * invRd[k] + sv * I5f + P.alpha * xi[k] * invX) * P.inv_c;
        I5 = sel(fb[k], I5f, I5);
        I1 = sel(fb[k], I1f, I1);
      }
      acc(s.A1, I1, k);
      acc(s.A5, I5, k);
    }
  }
}

#undef EACH_CORNER

template <Dip D, bool Sing, bool Tensile>
VINLINE void sum_corners(const LanePatch& P, const Point& pt, M on_trace, V (&u)[9]);

// WIDTH points.  Without Tensile the tensile components u[6..8] are left
// out (the caller knows the tensile slip is 0, so they are +0 for every
// point where the others are finite).
//
// One call per group of points, not inlined: the caller's values would
// otherwise compete with the corners' for the registers.
template <Dip D, bool Tensile = true>
__attribute__((noinline)) void eval_lanes(const LanePatch& P, V x, V y, V (&u)[9]) {
  const V sd = P.sd, cd = P.cd, L = P.L, W = P.W, depth = P.depth;
  if (P.flipped) y = y - P.y_shift;

  M on_trace = none();
  if (P.may_outcrop) {
    const V tol = ON_TRACE_REL * ((((vabs(x) + vabs(y)) + L) + W) + vabs(depth));
    on_trace = (P.top <= tol) & (depth >= -tol) & (vabs(y * sd - depth * cd) <= tol) &
               (x >= -tol) & (x <= L + tol);
  }

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

  // A corner can lie on the eta-singular line only where xi = q = 0.
  if constexpr (D == Dip::near_vertical) {
    if (any((pt.xi2[0] + pt.q2 == 0.0) | (pt.xi2[1] + pt.q2 == 0.0)))
      sum_corners<D, true, Tensile>(P, pt, on_trace, u);
    else
      sum_corners<D, false, Tensile>(P, pt, on_trace, u);
  } else {
    sum_corners<D, false, Tensile>(P, pt, on_trace, u);
  }
}

// The corner sum and the nine components (six without Tensile).
template <Dip D, bool Sing, bool Tensile>
VINLINE void sum_corners(const LanePatch& P, const Point& pt, M on_trace, V (&u)[9]) {
  const V sd = P.sd, cd = P.cd, alpha = P.alpha;
  Sums s;
  if constexpr (Sing) s.B3 = s.B4 = s.BL = bc(0.0);
  corners<D, Sing>(P, pt, s);

  const V q = pt.q;
  const V theta = keep(q != 0.0, times_sign(signed_arg_sum(s.theta), q));
  V SL, I1, I3, I4, I5;
  if constexpr (D == Dip::vertical) {
    SL = vlog(s.eN / s.eD);
    I1 = -(P.half_a * q * s.A1);
    I3 = P.half_a * (s.A3 - SL);
    I4 = -(alpha * q * s.A4);
    I5 = -(alpha * sd * s.A5);
  } else if constexpr (D == Dip::general) {
    const V inv = 1.0 / (s.eD * s.dD);
    SL = vlog(s.eN * s.dD * inv);
    const V SLd = vlog(s.dN * s.eD * inv);
    I5 = P.two_a_c * signed_arg_sum(s.g5);
    I4 = P.a_c * (SLd - sd * SL);
    I3 = alpha * (s.A3 * P.inv_c - SL) + P.s_c * I4;
    I1 = -(P.a_c * s.A1) - P.s_c * I5;
  } else {
    const V SLreg = vlog(s.eN / s.eD);
    I4 = alpha * (s.A4 + P.c_1s * SLreg);
    I3 = alpha * (s.A3 - SLreg * P.inv_one_s);
    SL = SLreg;
    if constexpr (Sing) {
      I4 = I4 + s.B4;
      I3 = I3 + s.B3;
      SL = SL + s.BL;
    }
    I1 = s.A1;
    I5 = s.A5;
  }
  const V I2 = -(alpha * SL + I3);

  const V c1 = P.c1, c2 = P.c2, c3 = P.c3;
  const V qxiY = q * s.xiY;
  const V I1s = I1 * sd, I3s = I3 * sd, I5s = I5 * sd;
  u[0] = c1 * ((qxiY + theta) + I1s);
  u[1] = c1 * ((q * s.ytY + q * cd * s.invRe) + I2 * sd);
  u[2] = c1 * ((q * s.dtY + q * sd * s.invRe) + I4 * sd);
  u[3] = c2 * (q * s.invR - I3s * cd);
  u[4] = c2 * ((q * s.ytX + theta * cd) - I1s * cd);
  u[5] = c2 * ((q * s.dtX + theta * sd) - I5s * cd);
  constexpr int n = Tensile ? 9 : 6;
  if constexpr (Tensile) {
    u[6] = c3 * (q * q * s.Y11 - I3s * sd);
    u[7] = c3 * ((-(q * s.dtX) - (qxiY - theta) * sd) - I1s * sd);
    u[8] = c3 * ((q * s.ytX + (qxiY - theta) * cd) - I5s * sd);
  }

  // Below 1e-8 the sum is rounding noise of cancelling corner terms; on the
  // trace of an outcropping patch there is no value.
  for (int k = 0; k < n; ++k) u[k] = drop(vabs(u[k]) < TOL, u[k]);
  if (any(on_trace)) {
    const V nan = bc(__builtin_nan(""));
    for (int k = 0; k < n; ++k) u[k] = sel(on_trace, nan, u[k]);
  }
}

template <Dip D>
void run(const LanePatch& P, const double* x, const double* y, std::size_t n, double* const out[9]) {
  std::size_t i = 0;
  V u[9];
  for (; i + WIDTH <= n; i += WIDTH) {
    eval_lanes<D>(P, loadu(x + i), loadu(y + i), u);
    for (int k = 0; k < 9; ++k) storeu(out[k] + i, u[k]);
  }
  if (i == n) return;
  // Tail: the missing lanes repeat the first remaining point.
  const std::size_t rest = n - i;
  double xb[WIDTH], yb[WIDTH], ub[WIDTH];
  for (std::size_t j = 0; j < WIDTH; ++j) {
    xb[j] = x[i + (j < rest ? j : 0)];
    yb[j] = y[i + (j < rest ? j : 0)];
  }
  eval_lanes<D>(P, loadu(xb), loadu(yb), u);
  for (int k = 0; k < 9; ++k) {
    storeu(ub, u[k]);
    for (std::size_t j = 0; j < rest; ++j) out[k][i + j] = ub[j];
  }
}

// The placement of the patch on the map, broadcast.
struct Place {
  V X, Y, A, B, cs, sn;
};

// WIDTH map points: their patch-frame position, the patch components turned
// back to east, north and up and added to E, N, Z, with the arithmetic and
// order of to_patch_frame() and accumulate_enu() in writers/range.cpp.
// Lanes where some component is not finite are left alone and returned.
//
// Without Tensile (a tensile slip of 0) the last term of each sum is left
// out: it is +0 or -0 there, which leaves a sum that is not zero unchanged,
// and E, N and Z, which start at +0 and only ever have numbers added, are
// never -0, so the sums come out with the same bits.
template <Dip D, bool Tensile>
inline M add_enu_lanes(const LanePatch& P, const Place& G, V x, V y, V& E, V& N, V& Z) {
  const V dx = x - G.X, dy = y - G.Y;
  V u[9];
  eval_lanes<D, Tensile>(P, dx * G.B + dy * G.A, dy * G.B - dx * G.A, u);
  const V cs = G.cs, sn = G.sn;
  V e = (cs * u[0] + sn * u[1]) + (cs * u[3] + sn * u[4]);
  V nn = (cs * u[1] - sn * u[0]) + (cs * u[4] - sn * u[3]);
  V z = u[2] + u[5];
  if constexpr (Tensile) {
    e = e + (cs * u[6] + sn * u[7]);
    nn = nn + (cs * u[7] - sn * u[6]);
    z = z + u[8];
  }
  // Every component enters e or z, each times a finite factor, so a
  // component that is not finite makes e + z not finite.  (So can finite
  // components too large for the sums; the caller's scalar evaluation of
  // such a point adds the same numbers.)
  const M bad = not_finite(e + z);
  E = sel(bad, E, E + e);
  N = sel(bad, N, N + nn);
  Z = sel(bad, Z, Z + z);
  return bad;
}

// Appends the indices first + j of the lanes j < rest set in m.
inline std::size_t list_lanes(M m, std::size_t first, std::size_t rest, std::size_t* missing,
                              std::size_t count) {
  for (int b = bits(m); b != 0; b &= b - 1) {
    const auto j = static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(b)));
    if (j < rest) missing[count++] = first + j;
  }
  return count;
}

template <Dip D, bool Tensile>
std::size_t run_enu(const LanePatch& P, const Place& G, const double* x, const double* y,
                    std::size_t n, double* E, double* N, double* Z, std::size_t* missing) {
  std::size_t i = 0, count = 0;
  for (; i + WIDTH <= n; i += WIDTH) {
    V e = loadu(E + i), nn = loadu(N + i), z = loadu(Z + i);
    const M bad = add_enu_lanes<D, Tensile>(P, G, loadu(x + i), loadu(y + i), e, nn, z);
    storeu(E + i, e);
    storeu(N + i, nn);
    storeu(Z + i, z);
    if (any(bad)) count = list_lanes(bad, i, WIDTH, missing, count);
  }
  if (i == n) return count;
  // Tail: the missing lanes repeat the first remaining point.
  const std::size_t rest = n - i;
  double xb[WIDTH], yb[WIDTH], eb[WIDTH], nb[WIDTH], zb[WIDTH];
  for (std::size_t j = 0; j < WIDTH; ++j) {
    const std::size_t k = i + (j < rest ? j : 0);
    xb[j] = x[k];
    yb[j] = y[k];
    eb[j] = E[k];
    nb[j] = N[k];
    zb[j] = Z[k];
  }
  V e = loadu(eb), nn = loadu(nb), z = loadu(zb);
  const M bad = add_enu_lanes<D, Tensile>(P, G, loadu(xb), loadu(yb), e, nn, z);
  storeu(eb, e);
  storeu(nb, nn);
  storeu(zb, z);
  for (std::size_t j = 0; j < rest; ++j) {
    E[i + j] = eb[j];
    N[i + j] = nb[j];
    Z[i + j] = zb[j];
  }
  return list_lanes(bad, i, rest, missing, count);
}

// Whether a point can pass the trace test of eval_lanes() (after the sin < 0
// re-description).  It needs |x| <= |L| + tol and |y| sin <= |depth cos| +
// tol, so its tolerance r (|x| + |y| + L + W + |depth|), r = ON_TRACE_REL, is
// at most r K / (1 - r (1 + 1/sin)), K = 2 |L| + |W| + |depth| (1 + |cos|/sin),
// and the top edge must lie within that of the surface.  Twice the bound
// covers the rounding of the test; a patch buried deeper (nearly every one)
// skips the test.
bool may_outcrop(double L, double W, double depth, double sd, double cd) {
  const double top = depth - W * sd;
  if (!(sd > 1e-3) || !(top > 0.0)) return true;
  const double r = ON_TRACE_REL;
  const double ad = depth < 0.0 ? -depth : depth, acd = cd < 0.0 ? -cd : cd;
  const double aL = L < 0.0 ? -L : L, aW = W < 0.0 ? -W : W;
  const double K = 2.0 * aL + aW + ad * (1.0 + acd / sd);
  const double bound = 2.0 * r * K / (1.0 - r * (1.0 + 1.0 / sd));
  return !(top > bound);
}

// run_enu() for the dip class.
template <bool Tensile>
std::size_t run_enu_dip(Dip dip, const LanePatch& P, const Place& G, const double* x, const double* y,
                        std::size_t n, double* E, double* N, double* Z, std::size_t* missing) {
  switch (dip) {
    case Dip::vertical: return run_enu<Dip::vertical, Tensile>(P, G, x, y, n, E, N, Z, missing);
    case Dip::near_vertical:
      return run_enu<Dip::near_vertical, Tensile>(P, G, x, y, n, E, N, Z, missing);
    case Dip::general: break;
  }
  return run_enu<Dip::general, Tensile>(P, G, x, y, n, E, N, Z, missing);
}

// The patch constants, after the sin < 0 re-description, and its dip class.
Dip lane_patch(LanePatch& P, const Patch& patch) {
  const double U1 = patch.U1, U2 = patch.U2, U3 = patch.U3, L = patch.L, W = patch.W;
  double depth = patch.depth;
  double sd = patch.sin_dip, cd = patch.cos_dip, s1 = U1, y_shift = 0.0;
  const double a = patch.alpha;
  bool flipped = false;
  // sin < 0: the same rectangle seen from its other long edge (okada.cpp).
  if (sd < 0.0) {
    flipped = true;
    y_shift = W * cd;
    depth -= W * sd;
    sd = -sd;
    cd = -cd;
    s1 = -U1;
  }
  const double one_s = 1.0 + sd;
  P.sd = bc(sd);
  P.cd = bc(cd);
  P.alpha = bc(a);
  P.L = bc(L);
  P.W = bc(W);
  P.depth = bc(depth);
  P.top = bc(depth - W * sd);
  P.y_shift = bc(y_shift);
  P.flipped = flipped;
  P.c1 = bc(-s1 / (2.0 * PI));
  P.c2 = bc(-U2 / (2.0 * PI));
  P.c3 = bc(U3 / (2.0 * PI));
  P.inv_one_s = bc(1.0 / one_s);
  P.inv_c = bc(1.0 / cd);
  P.a_c = bc(a / cd);
  P.s_c = bc(sd / cd);
  P.two_a_c = bc(2.0 * a / cd);
  P.a_cc = bc(a / (cd * cd));
  P.c_1s = bc(cd / one_s);
  P.cc_1s = bc(cd * cd / one_s);
  P.m2a = bc(-2.0 * a);
  P.m_a = bc(-a);
  P.two_s = bc(2.0 * sd);
  P.half_a = bc(a / 2.0);
  P.may_outcrop = may_outcrop(L, W, depth, sd, cd);

  const double acd = cd < 0.0 ? -cd : cd;
  if (cd == 0.0) return Dip::vertical;
  if (acd < NEAR_VERTICAL_COS && sd > 0.0) return Dip::near_vertical;
  if (acd < TOL) return Dip::vertical;
  return Dip::general;
}

// The displacement of one patch at n points (okada_patch_batch()).
void patch_batch_lanes(const Patch& patch, const double* x, const double* y, std::size_t n,
                       double* const out[9]) {
  LanePatch P;
  switch (lane_patch(P, patch)) {
    case Dip::vertical: run<Dip::vertical>(P, x, y, n, out); break;
    case Dip::near_vertical: run<Dip::near_vertical>(P, x, y, n, out); break;
    case Dip::general: run<Dip::general>(P, x, y, n, out); break;
  }
}

// The same, added to east, north and up (okada_patch_batch_enu()).
std::size_t patch_batch_enu_lanes(const Patch& patch, const PatchPlacement& at, const double* x,
                                  const double* y, std::size_t n, double* E, double* N, double* Z,
                                  std::size_t* missing) {
  LanePatch P;
  const Dip dip = lane_patch(P, patch);
  const Place G{bc(at.X), bc(at.Y), bc(at.A), bc(at.B), bc(at.cs), bc(at.sn)};
  // A tensile slip of 0 (nearly every earthquake model) contributes +0 to
  // every sum: its terms are left out.
  return patch.U3 == 0.0 ? run_enu_dip<false>(dip, P, G, x, y, n, E, N, Z, missing)
                         : run_enu_dip<true>(dip, P, G, x, y, n, E, N, Z, missing);
}

}  // namespace

// The entry point, named by the including file (okada_batch.cpp declares it).
void VADREL_LANES_ENTRY(const Patch& patch, const double* x, const double* y, std::size_t n,
                        double* const out[9]) {
  patch_batch_lanes(patch, x, y, n, out);
}

std::size_t VADREL_LANES_ENU_ENTRY(const Patch& patch, const PatchPlacement& at, const double* x,
                                   const double* y, std::size_t n, double* E, double* N, double* Z,
                                   std::size_t* missing) {
  return patch_batch_enu_lanes(patch, at, x, y, n, E, N, Z, missing);
}

}  // namespace vadrel::detail
