#pragma once
// Lane-parallel evaluation of the patch derivatives: the x/y gradient of
// derivatives/deru.cpp and the fused corner pass of derivatives/jacobian.cpp,
// written once against the lane type V and its mask M: included by
// jacobian_avx2.cpp (four lanes) and jacobian_avx512.cpp (eight lanes) after
// the lane header of that instruction set.  Both are compiled with
// -ffp-contract=off and entered only on processors that have their
// instruction set; everything here has internal linkage, so no wide code can
// leak into the baseline program through the linker.
//
// Lanes are points.  Each kernel evaluates the closed form of its one-point
// counterpart on the common path only, with the same formulas and the same
// stable forms (R + a for a < 0 as the other squares over R - a, the
// rearranged near-vertical terms and their series); data-dependent choices
// between stable forms are lane masks, choices that depend only on the
// patch are made once per call.  A lane whose one-point answer is something
// else is marked for the one-point form: on the trace of an outcropping
// patch, close to a line where the derivatives are interpolated (q = 0, level
// with a patch end), at a corner on one of the rare branches (R + eta or
// R + xi vanishing, the near-vertical N <= 0 form), or where any output is
// not finite.  The tests that decide this are those of the one-point form,
// widened by a hair so that no lane the one-point form would treat apart
// slips through on a rounding difference.  Lanes close to the line of a
// patch edge, where the corner terms cancel and the two forms would differ
// by more than rounding of the result, are marked as well (see LINE_RATIO).
#include <cstddef>
#include <cstdint>
#include <type_traits>

#include "model/okada_terms.hpp"
#include "derivatives/jacobian_batch.hpp"

namespace vadrel::detail {

namespace {

using namespace lanes;

// Thresholds and series of the one-point forms; the two must agree on them.
using namespace okada_terms;
constexpr double KERNEL_TOL = 1e-6;  // gradient kernel: eta-singular corner
constexpr double NEAR_LINE = 1e-3;   // interpolation across a degenerate line (robust.hpp)
constexpr double CLEAR = TOL;        // displacements below are exact zeros
constexpr double TWO_PI = 2.0 * PI;
// A product of the reciprocals shared by one division must stay far inside
// the range of doubles; beyond these the lane is left to the one-point form.
constexpr double PRODUCT_MIN = 1e-250, PRODUCT_MAX = 1e250;
// Close to the line of a patch edge (eta = q = 0 or xi = q = 0) or to the
// vertical through a corner (xi = y~ = 0), compared with the distance R to
// the corner, the corner terms are large and cancel (beside the
// continuation of the trace of an outcropping patch, near its corners):
// both forms keep only about 1e-16 R^2/(distance to the line)^2 of the
// result, each with its own rounding.  Lanes closer than R/sqrt(LINE_RATIO)
// to such a line are left to the one-point form, so that the two agree to
// 1e-13.  For a buried patch this is a small neighbourhood of the points
// where the end planes meet the line q = 0 and of the points above the
// corners.
constexpr double LINE_RATIO = 500.0;
// The tests for the one-point form's branches are widened by this factor:
// a lane marked in excess costs one one-point call, a lane missed would take
// the wrong branch.
constexpr double WIDEN = 1.0 + 1e-9;

// ---------------------------------------------------------------------------
// Loading and storing WIDTH points; a short tail repeats its first point in
// the missing lanes and stores only the points it has.

struct Tail {
  std::size_t i, rest;  // first point, number of points (1 to WIDTH)
};

VINLINE V load(const double* a, const Tail& t) {
  if (t.rest == WIDTH) return loadu(a + t.i);
  double b[WIDTH];
  for (std::size_t j = 0; j < WIDTH; ++j) b[j] = a[t.i + (j < t.rest ? j : 0)];
  return loadu(b);
}

VINLINE void store(double* a, const Tail& t, V v) {
  if (t.rest == WIDTH) {
    storeu(a + t.i, v);
    return;
  }
  double b[WIDTH];
  storeu(b, v);
  for (std::size_t j = 0; j < t.rest; ++j) a[t.i + j] = b[j];
}

VINLINE void store_flags(std::uint8_t* redo, const Tail& t, M m) {
  const int b = bits(m);
  for (std::size_t j = 0; j < t.rest; ++j) redo[t.i + j] = static_cast<std::uint8_t>((b >> j) & 1);
}

// ---------------------------------------------------------------------------
// The patch and the corner set of WIDTH points (derivatives/robust.hpp).

struct LanePatch {
  V s0, c0, abs_s0;  // sin and cos of the dip as given
  V s, c;            // in the description used, s >= 0
  V alpha, L, W, depth;
  V W_c0, dt_far;  // W cos, and depth - W sin: d~ at the far edge
  bool flip;       // described from the other long edge (sin < 0)
  bool near_vertical;
};

LanePatch lane_patch(const Patch& patch) {
  const double L = patch.L, W = patch.W, depth = patch.depth;
  LanePatch P;
  const double s0 = patch.sin_dip, c0 = patch.cos_dip;
  P.flip = s0 < 0.0;
  const double s = P.flip ? -s0 : s0, c = P.flip ? -c0 : c0;
  P.s0 = bc(s0);
  P.c0 = bc(c0);
  P.abs_s0 = bc(s0 < 0.0 ? -s0 : s0);
  P.s = bc(s);
  P.c = bc(c);
  P.alpha = bc(patch.alpha);
  P.L = bc(L);
  P.W = bc(W);
  P.depth = bc(depth);
  P.W_c0 = bc(W * c0);
  P.dt_far = bc(depth - W * s0);
  P.near_vertical = (c < 0.0 ? -c : c) < NEAR_VERTICAL_COS && s > 0.0;
  return P;
}

// Per-point values of the four corners.  Corner n has xi = xi[n >> 1] and
// eta, y~, d~ = eta[n & 1], yt[n & 1], dt[n & 1]; its sign in Chinnery's sum
// is + for n = 0 and 3, - otherwise.
struct Points {
  V x, y;
  V q, q2;  // in the description used
  V p;      // y cos + depth sin, as given
  V xi[2], xi2[2];
  V eta[2], eta2[2];
  V yt[2], dt[2];
  M redo;  // lanes left to the one-point form
};

Points make_points(const LanePatch& P, V x, V y) {
  Points t;
  t.x = x;
  t.y = y;
  // Trace and degenerate lines, as distance_to_patch, size_scale and
  // near_degenerate_line compute them.
  const V p = P.c0 * y + P.s0 * P.depth;
  const V q = P.s0 * y - P.c0 * P.depth;
  const V zero = bc(0.0);
  const V dxi = sel(x < 0.0, -x, sel(x > P.L, x - P.L, zero));
  const V deta = sel(p < 0.0, -p, sel(p > P.W, p - P.W, zero));
  const V rho = vsqrt((dxi * dxi + deta * deta) + q * q);
  const V size = (((vabs(x) + vabs(y)) + P.L) + P.W) + vabs(P.depth);
  const V near = (NEAR_LINE * WIDEN) * rho;
  t.redo = (rho <= (ON_TRACE_REL * WIDEN) * size) | (vabs(q) < near * P.abs_s0) |
           (vabs(x) < near) | (vabs(x - P.L) < near);
  // q = 0 exactly has branches of its own even where the test above cannot
  // see it (a horizontal patch).
  t.redo |= q == 0.0;

  // The corner set, as corner_set builds it.
  const V yp = y * P.c0 + P.depth * P.s0;
  const V yq = y * P.s0 - P.depth * P.c0;
  const V yt_far = y - P.W_c0;
  t.p = yp;
  t.q = P.flip ? -yq : yq;
  t.q2 = t.q * t.q;
  t.xi[0] = x;
  t.xi[1] = x - P.L;
  if (P.flip) {
    t.eta[0] = P.W - yp;
    t.eta[1] = -yp;
    t.yt[0] = yt_far;
    t.yt[1] = y;
    t.dt[0] = P.dt_far;
    t.dt[1] = P.depth;
  } else {
    t.eta[0] = yp;
    t.eta[1] = yp - P.W;
    t.yt[0] = y;
    t.yt[1] = yt_far;
    t.dt[0] = P.depth;
    t.dt[1] = P.dt_far;
  }
  for (int i = 0; i < 2; ++i) {
    t.xi2[i] = t.xi[i] * t.xi[i];
    t.eta2[i] = t.eta[i] * t.eta[i];
  }
  return t;
}

// The reciprocal of a, from an estimate r a few roundings off (taken from
// the reciprocal of a product): one Newton step, r + r (1 - a r) with the
// residual formed exactly by a fused multiply-add, leaves it as accurate as
// a division.  Where the corner terms cancel in the sum, their accuracy is
// what the result keeps.
VINLINE V refine(V a, V r) {
  const V e = fnmadd(a, r, bc(1.0));
  return fmadd(r, e, r);
}

// R + a for a < 0 as (R^2 - a^2)/(R - a): numerator and denominator.
struct Frac {
  V n, d;
};
VINLINE Frac r_plus(M pos, V R, V a, V others) {
  return {sel(pos, R + a, others), sel(pos, bc(1.0), R - a)};
}

// True where a corner at squared distance R2 lies within R/sqrt(LINE_RATIO)
// of the line of an edge or of the vertical through the corner, given the
// squared distances to them.
VINLINE M near_edge_line(V R2, V to_eta_line, V to_xi_line, V to_vertical) {
  return (to_eta_line * LINE_RATIO < R2) | (to_xi_line * LINE_RATIO < R2) |
         (to_vertical * LINE_RATIO < R2);
}

// Corner n's distance R and the sums R + eta, R + xi, R + d~ (as
// fractions); redo gains the lanes where the corner lies near an edge line.
// The first stage of both kernels, for all four corners before anything
// else, so that the square roots' latencies overlap.
struct CornerRoot {
  V R;
  Frac fe, fx, fd;
};
VINLINE CornerRoot corner_root(const Points& pt, V q2, int n, M& redo) {
  const V xi = pt.xi[n >> 1], xi2 = pt.xi2[n >> 1];
  const V eta = pt.eta[n & 1], eta2 = pt.eta2[n & 1];
  const V yt = pt.yt[n & 1], dt = pt.dt[n & 1];
  const V R2 = (xi2 + eta2) + q2;
  const V R = vsqrt(R2);
  redo |= near_edge_line(R2, eta2 + q2, xi2 + q2, xi2 + yt * yt);
  return {R, r_plus(eta >= 0.0, R, eta, xi2 + q2), r_plus(xi >= 0.0, R, xi, eta2 + q2),
          r_plus(dt >= 0.0, R, dt, xi2 + yt * yt)};
}

// Adds sign(n) * t to an accumulator in the order of the one-point sums,
// + f0 - f1 - f2 + f3.
VINLINE void acc(V& s, V t, int n) {
  if (n == 0)
    s = t;
  else if (n == 3)
    s = s + t;
  else
    s = s - t;
}

#define EACH_CORNER _Pragma("GCC unroll 4") for (int n = 0; n < 4; ++n)

// ---------------------------------------------------------------------------
// The x/y gradient (corner_x and kj_terms of deru.cpp).

struct StrainConsts {
  V k1, k2, k3;        // slips over 2 pi (strike slip with the description's sign)
  V a_c, s_c, inv_c;   // alpha/c, s/c, 1/c
  V t, inv_one_s;      // c/(1 + s), 1/(1 + s)
};

template <bool NearVertical>
inline void strain_lanes(const LanePatch& P, const StrainConsts& K, V x, V y, V (&F)[9], V (&G)[9],
                    M& redo) {
  const Points pt = make_points(P, x, y);
  redo = pt.redo;
  const V s = P.s, c = P.c, alpha = P.alpha, q = pt.q, q2 = pt.q2, one = bc(1.0);
  // The square roots and divisions of the four corners first, stage by
  // stage, so that their long latencies overlap.
  V Rs[4];
  Frac fes[4], fxs[4], fds[4];
  EACH_CORNER {
    const CornerRoot cr = corner_root(pt, q2, n, redo);
    Rs[n] = cr.R;
    fes[n] = cr.fe;
    fxs[n] = cr.fx;
    fds[n] = cr.fd;
  }
  // One division for the reciprocals of R, of the numerators and
  // denominators of R + eta, R + xi, R + d~ (held as fractions) and of
  // eta^2 + q^2.
  V invs[4], pre[4][7];
  EACH_CORNER {
    const V e2q2 = pt.eta2[n & 1] + q2;
    V* p = pre[n];
    p[0] = Rs[n];
    p[1] = p[0] * fes[n].n;
    p[2] = p[1] * fxs[n].n;
    p[3] = p[2] * fds[n].n;
    p[4] = p[3] * fes[n].d;
    p[5] = p[4] * fxs[n].d;  // its reciprocal is not needed
    p[6] = p[5] * fds[n].d;
    const V prod = p[6] * e2q2;
    redo |= !((prod > PRODUCT_MIN) & (prod < PRODUCT_MAX));
    invs[n] = one / prod;
  }
  EACH_CORNER {
    const V xi = pt.xi[n >> 1], xi2 = pt.xi2[n >> 1];
    const V eta = pt.eta[n & 1], eta2 = pt.eta2[n & 1];
    const V yt = pt.yt[n & 1], dt = pt.dt[n & 1];
    const V R = Rs[n];
    const M epos = eta >= 0.0;
    const Frac fe = fes[n], fx = fxs[n], fd = fds[n];
    const V* p = pre[n];
    V r = invs[n];
    const V e2q2 = eta2 + q2;
    const V i_e2q2 = refine(e2q2, r * p[6]);
    r = r * e2q2;
    const V i_dd = refine(fd.d, r * p[5]);
    r = r * fd.d;
    r = r * fx.d;
    const V ide = refine(fe.d, r * p[3]);
    r = r * fe.d;
    const V i_nd = refine(fd.n, r * p[2]);
    r = r * fd.n;
    const V i_nx = refine(fx.n, r * p[1]);
    r = r * fx.n;
    const V i_ne = refine(fe.n, r * p[0]);
    const V iR = refine(R, r * fe.n);
    const V Reta = fe.n * ide, iRe = fe.d * i_ne;
    const V iRx = fx.d * i_nx;
    const V Rd = fd.n * i_dd, iRd = fd.d * i_nd;
    redo |= vabs(Reta) <= KERNEL_TOL * WIDEN;

    const V iR3 = (iR * iR) * iR;
    const V Aeta = (2.0 * R + eta) * (iR3 * (iRe * iRe));
    const V Axi = (2.0 * R + xi) * (iR3 * (iRx * iRx));
    const V iReta = iR * iRe;
    const V iRxi = iR * iRx;

    V K1, K3, J1, J2;
    if constexpr (NearVertical) {
      // R Re - xi^2 = q^2 + eta Re, or (R q^2 + xi^2 eta)/(R - eta) for eta < 0
      const V RRe_xi2 = sel(epos, q2 + eta * Reta, (R * q2 + xi2 * eta) * ide);
      const V E = (R * K.t + eta * c) + s * q;
      const V i1 = iR * iRd * iRe;
      const V i2 = i1 * iRd;
      const V RRd = R * Rd;
      K1 = alpha * xi * E * i1;
      K3 = alpha * (q * R * K.t - RRe_xi2) * i1;
      J1 = alpha * (xi2 * E - RRd * (c * Reta + s * q) * K.inv_one_s) * i2;
      J2 = alpha * xi * (yt * E - s * RRd * K.inv_one_s) * i2;
    } else {
      const V iRRd = iR * iRd;
      K1 = K.a_c * xi * (iRRd - s * iReta);
      K3 = K.a_c * (q * iReta - yt * iRRd);
      J1 = K.a_c * (xi2 * (iRRd * iRd) - iRd) - K.s_c * K3;
      J2 = alpha * xi * yt * K.inv_c * (iRRd * iRd) - K.s_c * K1;
    }
    const V K2 = alpha * (c * q * iReta - s * iR) - K3;
    const V J3 = -(alpha * xi * iReta + J2);
    const V J4 = -(alpha * (c * iR + s * q * iReta) + J1);

    const V k1 = K.k1, k2 = K.k2, k3 = K.k3;
    const V xq = xi * q, qq = q2;
    const V xqR3 = xq * iR3;
    const V qqA = qq * Aeta;
    const V ss = s * s, sc = s * c;
    V f[9], g[9];
    f[0] = k1 * (xi2 * q * Aeta - J1 * s);
    f[1] = k1 * (xqR3 * c + (xi * qqA - J2) * s);
    f[2] = k1 * ((xqR3 - K1) * s - xi * qqA * c);
    f[3] = k2 * (xqR3 + J3 * sc);
    f[4] = k2 * (yt * q * iR3 + c * q * iReta + J1 * sc);
    f[5] = k2 * (dt * q * iR3 + s * q * iReta + K3 * sc);
    f[6] = -(k3 * (xi * qqA + J3 * ss));
    f[7] = -(k3 * (qq * c * iR3 + q * qqA * s + J1 * ss));
    f[8] = -(k3 * (qq * s * iR3 - q * qqA * c + K3 * ss));

    g[0] = k1 * (xi2 * xi * dt * (iR3 * i_e2q2) - (xi2 * xi * Aeta + J2) * s);
    g[1] = k1 * (yt * q * c * iR3 +
                 (q * qqA * s - 2.0 * q * s * iReta - (xi2 + eta2) * c * iR3 - J4) * s);
    g[2] = k1 * (dt * q * c * iR3 + (xi2 * q * Aeta * c - s * iR + yt * q * iR3 - K2) * s);
    g[3] = k2 * (yt * q * iR3 - s * iR + J1 * sc);
    g[4] = k2 * (yt * yt * q * Axi - (2.0 * yt * iRxi + xi * c * iReta) * s + J2 * sc);
    g[5] = k2 * (yt * dt * q * Axi - (2.0 * dt * iRxi + xi * s * iReta) * s + K1 * sc);
    g[6] = -(k3 * (J1 * ss - dt * q * iR3 - xi2 * q * Aeta * s));
    g[7] = -(k3 * ((yt * c - dt * s) * qq * Axi - 2.0 * sc * q * iRxi - (xi * qqA - J2) * ss));
    g[8] = -(k3 * (xi * qqA * sc + (yt * s + dt * c) * qq * Axi - (2.0 * q * iRxi - K1) * ss));
    for (int i = 0; i < 9; ++i) {
      acc(F[i], f[i], n);
      acc(G[i], g[i], n);
    }
  }
  M bad = none();
  for (int i = 0; i < 9; ++i) bad = bad | not_finite(F[i]) | not_finite(G[i]);
  redo |= bad;
}

template <bool NearVertical>
void run_strain(const LanePatch& P, const StrainConsts& K, const double* x, const double* y,
                std::size_t n, double* const dx[9], double* const dy[9], std::uint8_t* redo) {
  V F[9], G[9];
  M bad;
  std::size_t i = 0;
  for (; i + WIDTH <= n; i += WIDTH) {
    const Tail t{i, WIDTH};
    strain_lanes<NearVertical>(P, K, load(x, t), load(y, t), F, G, bad);
    for (int k = 0; k < 9; ++k) {
      storeu(dx[k] + i, F[k]);
      storeu(dy[k] + i, G[k]);
    }
    store_flags(redo, t, bad);
  }
  if (i == n) return;
  const Tail t{i, n - i};
  strain_lanes<NearVertical>(P, K, load(x, t), load(y, t), F, G, bad);
  for (int k = 0; k < 9; ++k) {
    store(dx[k], t, F[k]);
    store(dy[k], t, G[k]);
  }
  store_flags(redo, t, bad);
}

// ---------------------------------------------------------------------------
// Forward differentiation in lanes (derivatives/dual.hpp, lane-wise):
// a value with its derivatives along up to six seed directions.  Which
// derivatives can be non-zero is part of the type (bit i of Mk for
// direction i), so derivatives known to vanish cost nothing and no product
// with a zero is formed.  Directions: per corner, 0 = xi, 2 = eta, 4 = q,
// 5 = dip (at fixed xi, eta, q); in the corner sums, 0 and 1 are xi at the
// corners with xi = x and x - L, 2 and 3 eta at the even and odd corners.

constexpr bool has(unsigned m, int i) { return ((m >> i) & 1u) != 0; }
constexpr int count(unsigned m) { return __builtin_popcount(m); }

// Only the derivatives in the directions of Mk are stored.
template <unsigned Mk>
struct DV {
  static constexpr unsigned mask = Mk;
  // Where the derivative in direction i is stored.
  static constexpr int slot(int i) { return count(Mk & ((1u << i) - 1u)); }
  V v;
  V d[count(Mk) > 0 ? count(Mk) : 1];
};

// The derivative of x in direction i.
#define DIR(x, i) (x).d[std::remove_cvref_t<decltype(x)>::slot(i)]

template <class F>
VINLINE void each_direction(F&& f) {
  f(std::integral_constant<int, 0>{});
  f(std::integral_constant<int, 1>{});
  f(std::integral_constant<int, 2>{});
  f(std::integral_constant<int, 3>{});
  f(std::integral_constant<int, 4>{});
  f(std::integral_constant<int, 5>{});
}

// Direction by direction: both, a only or b only present.
#define DIRECTIONWISE(A, B, both, a_only, b_only)     \
  each_direction([&](auto I) __attribute__((always_inline)) {                        \
    constexpr int i = I;                              \
    if constexpr (has(A, i) && has(B, i)) {           \
      both;                                           \
    } else if constexpr (has(A, i)) {                 \
      a_only;                                         \
    } else if constexpr (has(B, i)) {                 \
      b_only;                                         \
    }                                                 \
  })

template <unsigned A, unsigned B>
VINLINE DV<A | B> operator+(const DV<A>& a, const DV<B>& b) {
  DV<A | B> r;
  r.v = a.v + b.v;
  DIRECTIONWISE(A, B, DIR(r, i) = DIR(a, i) + DIR(b, i), DIR(r, i) = DIR(a, i),
                DIR(r, i) = DIR(b, i));
  return r;
}

template <unsigned A, unsigned B>
VINLINE DV<A | B> operator-(const DV<A>& a, const DV<B>& b) {
  DV<A | B> r;
  r.v = a.v - b.v;
  DIRECTIONWISE(A, B, DIR(r, i) = DIR(a, i) - DIR(b, i), DIR(r, i) = DIR(a, i),
                DIR(r, i) = -DIR(b, i));
  return r;
}

template <unsigned A>
VINLINE DV<A> operator-(const DV<A>& a) {
  DV<A> r;
  r.v = -a.v;
  for (int k = 0; k < count(A); ++k) r.d[k] = -a.d[k];
  return r;
}

template <unsigned A, unsigned B>
VINLINE DV<A | B> operator*(const DV<A>& a, const DV<B>& b) {
  DV<A | B> r;
  r.v = a.v * b.v;
  DIRECTIONWISE(A, B, DIR(r, i) = fmadd(DIR(a, i), b.v, a.v * DIR(b, i)),
                DIR(r, i) = DIR(a, i) * b.v, DIR(r, i) = a.v * DIR(b, i));
  return r;
}

// Products and sums with quantities without derivatives.
template <unsigned A>
VINLINE DV<A> operator*(const DV<A>& a, V b) {
  DV<A> r;
  r.v = a.v * b;
  for (int k = 0; k < count(A); ++k) r.d[k] = a.d[k] * b;
  return r;
}
template <unsigned A>
VINLINE DV<A> operator*(V b, const DV<A>& a) { return a * b; }
template <unsigned A>
VINLINE DV<A> operator*(const DV<A>& a, double b) { return a * bc(b); }
template <unsigned A>
VINLINE DV<A> operator*(double b, const DV<A>& a) { return a * bc(b); }
template <unsigned A>
VINLINE DV<A> operator+(const DV<A>& a, V b) {
  DV<A> r = a;
  r.v = a.v + b;
  return r;
}
template <unsigned A>
VINLINE DV<A> operator+(V b, const DV<A>& a) { return a + b; }

// The value v with derivatives dvda * a' (chain rule through one argument).
template <unsigned A>
VINLINE DV<A> chain(V v, V dvda, const DV<A>& a) {
  DV<A> r;
  r.v = v;
  for (int k = 0; k < count(A); ++k) r.d[k] = dvda * a.d[k];
  return r;
}

// 1/b, given the reciprocal ib of its value.
template <unsigned B>
VINLINE DV<B> recip(const DV<B>& b, V ib) { return chain(ib, -(ib * ib), b); }

// a/b, given the reciprocal ib of b's value.
template <unsigned A, unsigned B>
VINLINE DV<A | B> quot(const DV<A>& a, const DV<B>& b, V ib) {
  DV<A | B> r;
  r.v = a.v * ib;
  const V q = r.v;
  DIRECTIONWISE(A, B, DIR(r, i) = (DIR(a, i) - q * DIR(b, i)) * ib, DIR(r, i) = DIR(a, i) * ib,
                DIR(r, i) = -(q * DIR(b, i)) * ib);
  return r;
}

template <unsigned A, unsigned B>
VINLINE DV<A | B> operator/(const DV<A>& a, const DV<B>& b) {
  return quot(a, b, 1.0 / b.v);
}

// a where m, else b, direction by direction.
template <unsigned A, unsigned B>
VINLINE DV<A | B> sel(M m, const DV<A>& a, const DV<B>& b) {
  DV<A | B> r;
  r.v = sel(m, a.v, b.v);
  DIRECTIONWISE(A, B, DIR(r, i) = sel(m, DIR(a, i), DIR(b, i)), DIR(r, i) = keep(m, DIR(a, i)),
                DIR(r, i) = drop(m, DIR(b, i)));
  return r;
}

// The directions of a corner sum of quantities with directions A: xi (0)
// splits into 0 and 1, eta (2) into 2 and 3.
constexpr unsigned spread(unsigned a) {
  return (a & ~10u) | (has(a, 0) ? 2u : 0u) | (has(a, 2) ? 8u : 0u);
}

// Adds sign(n) * t of corner n to a sum, in the order of the one-point sums
// (+ f0 - f1 - f2 + f3), moving xi and eta to the directions of the corner;
// a direction's first corner assigns it.  WithValue false leaves the value
// alone (it is formed once for the whole sum).
template <bool WithValue = true, unsigned S, unsigned A>
VINLINE void acc(DV<S>& s, const DV<A>& t, int n) {
  static_assert(S == spread(A));
  const bool plus = n == 0 || n == 3;
  auto add = [plus](V& a, V b, bool first) __attribute__((always_inline)) {
    a = first ? (plus ? b : -b) : plus ? a + b : a - b;
  };
  if constexpr (WithValue) add(s.v, t.v, n == 0);
  if constexpr (has(A, 0)) add(s.d[DV<S>::slot(n < 2 ? 0 : 1)], DIR(t, 0), n == 0 || n == 2);
  if constexpr (has(A, 2)) add(s.d[DV<S>::slot((n & 1) == 0 ? 2 : 3)], DIR(t, 2), n <= 1);
  if constexpr (has(A, 4)) add(DIR(s, 4), DIR(t, 4), n == 0);
  if constexpr (has(A, 5)) add(DIR(s, 5), DIR(t, 5), n == 0);
}

// ---------------------------------------------------------------------------
// Series of the near-vertical helpers, with their derivatives.

struct Pair2 {
  V a, b;
};

// p(t) = c[0] + c[1] t + ... + c[Mt-1] t^(Mt-1) and p'(t), by Horner's rule.
template <int Mt>
VINLINE Pair2 poly_d(const Coeffs& c, V t) {
  V p = coeff(c, Mt - 1), dp = bc(0.0);
#pragma GCC unroll 16
  for (int k = Mt - 2; k >= 0; --k) {
    dp = fmadd(dp, t, p);
    p = fmadd(p, t, coeff(c, k));
  }
  return {p, dp};
}

// The short series where every series lane allows it, the long one where
// none does, both otherwise.
template <int Short, int Long>
VINLINE Pair2 series_d(const Coeffs& c, V t, M use_series, M is_short) {
  if (!any(use_series & !is_short)) return poly_d<Short>(c, t);
  if (!any(is_short)) return poly_d<Long>(c, t);
  const Pair2 a = poly_d<Short>(c, t), b = poly_d<Long>(c, t);
  return {sel(is_short, a.a, b.a), sel(is_short, a.b, b.b)};
}

// {atan(w)/w, (w - atan w)/w^2} as functions of w (the chain rule through
// w is applied by the caller): series below |w| = 0.25, closed form above.
// inv_w = 1/w and inv_1w2 = 1/(1 + w^2) are used only where |w| >= 0.25.
struct PairD {
  V a, b, da, db;
};

VINLINE PairD atan_parts(V w, V inv_w, V inv_1w2) {
  const V aw = vabs(w);
  const M ser = aw < SERIES_LIMIT;
  const int sb = bits(ser);
  PairD s{}, cl{};
  if (sb != 0) {
    // d(t) with t = w^2: a = 1 - t d, b = w d,
    // a' = -2 w (d + t d'), b' = d + 2 t d'.
    const V t = w * w;
    const Pair2 d = series_d<N_ATAN_SHORT, N_ATAN>(ATAN_DEFECT_LANES, t, ser, aw < SHORT_SERIES_LIMIT);
    const V td = t * d.b;
    s = {1.0 - t * d.a, w * d.a, -2.0 * w * (d.a + td), d.a + 2.0 * td};
  }
  if (sb != ALL_LANES) {
    const V at = vatan(w);
    const V a = at * inv_w, b = (w - at) * (inv_w * inv_w);
    cl = {a, b, (inv_1w2 - a) * inv_w, inv_1w2 - 2.0 * b * inv_w};
  }
  if (sb == ALL_LANES) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b), sel(ser, s.da, cl.da), sel(ser, s.db, cl.db)};
}


// {-ln(1 - u)/u, 1/(1 - u) - (-ln(1 - u) - u)/u^2} as functions of u (see
// log_arg): the first one's derivative is the second; db holds the second
// one's.
struct LogParts {
  V a, b, db;
};

VINLINE LogParts log_parts(const LogArg& g, V r) {
  const V u = g.u, one_u = g.one_u, two_u = g.two_u;
  const M ser = g.ser;
  const int sb = g.sb;
  LogParts s{}, cl{};
  if (sb != 0) {
    // With B(t), t = v^2: b = (1 + v)^2 (1/(1 - v) - v B)/2, and
    // db/du = [(1 + v)(1/(1 - v) - v B)
    //          + (1 + v)^2 (1/(1 - v)^2 - B - 2 t B'(t))/2] (1 + v)^2/2.
    const V v = u * one_u * r;
    const V inv_1v = 0.5 * (two_u * two_u * r);
    const V t = v * v;
    const Pair2 B =
        series_d<N_ATANH_SHORT, N_ATANH>(ATANH_DEFECT_LANES, t, ser, g.au < SHORT_SERIES_LIMIT);
    const V onev = 1.0 + v;
    const V h = inv_1v - v * B.a;
    const V half_sq = 0.5 * (onev * onev);
    const V dbdv = onev * h + half_sq * ((inv_1v * inv_1v - B.a) - 2.0 * t * B.b);
    s = {(1.0 + t * B.a) * onev, half_sq * h, dbdv * half_sq};
  }
  if (sb != ALL_LANES) {
    const V l = vlog1p(-u);
    // 1/u = u (1 - u) r, 1/(1 - u) = u^2 r, 1/u^2 = (1 - u) r
    const V inv_u = u * one_u * r, inv_1u = u * u * r;
    const V b = inv_1u + (l + u) * (one_u * r);
    cl = {-l * inv_u, b, (inv_1u * inv_1u - 2.0 * b) * inv_u};
  }
  if (sb == ALL_LANES) return s;
  if (sb == 0) return cl;
  return {sel(ser, s.a, cl.a), sel(ser, s.b, cl.b), sel(ser, s.db, cl.db)};
}


// Multiplies the signed product num/den by f^sign(n), f = a/b.
VINLINE void acc_product(V& num, V& den, V a, V b, int n) {
  if (n == 0) {
    num = a;
    den = b;
  } else if (n == 3) {
    num = num * a;
    den = den * b;
  } else {
    num = num * b;
    den = den * a;
  }
}

// ---------------------------------------------------------------------------
// The fused corner pass (closed_fields of jacobian.cpp).
//
// Every output is linear, with coefficients that depend on q and the dip
// only, in fourteen corner quantities, so those are summed over the corners
// with their derivatives first and combined once per point; the logarithms
// and arctangents among them enter the sums with fixed signs, so their
// values are summed as the logarithm of a product and the argument of a
// product (one logarithm and one arctangent per point and kind), while
// their derivatives, which are rational, are summed corner by corner.

using DS = DV<1u << 5>;  // a patch constant: derivative in the dip only
using DQ = DV<1u << 4>;  // q: derivative in q only

struct JacConsts {
  DS s, c;             // in the description used
  DS one_s, c_1s;      // 1 + s, c/(1 + s)
  DS cc_1s, two_s;     // c^2/(1 + s), 2 s
  V inv_one_s, inv_c;  // 1/(1 + s), 1/c (general dips)
  V alpha, m2a;        // alpha, -2 alpha
  V factor[9];         // -1/(2 pi) or 1/(2 pi) per component, strike slip signed
  V slip[3];         // U1, U2, U3
};

struct JacSums {
  // xi Y11, Y11, 1/(R + eta), 1/R, theta, ln(R + eta): no dip derivative
  DV<31u> XY, Y, E, F, TH, SL;
  DV<63u> TY, DY, TX, DX;  // y~ Y11, d~ Y11, y~ X11, d~ X11
  DV<63u> A1, A3, B1, B3;  // mode-dependent parts of the I terms
  DV<63u> SLd, G5;         // general dips: ln(R + d~), the I5 arctangent
  ArgSum theta, g5;
  V eN, eD, dN, dD;  // products of (R + eta)^sign and (R + d~)^sign
};

template <bool NearVertical>
inline void corners(const JacConsts& K, const Points& pt, JacSums& S, M& redo) {
  const V one = bc(1.0), zero = bc(0.0);
  const V s = K.s.v, c = K.c.v, q = pt.q, q2 = pt.q2;
  const DQ qD = [&] {
    DQ r;
    r.v = q;
    DIR(r, 4) = one;
    return r;
  }();
  // |(xi, q)| of the two values of xi, with the reciprocals of it and of
  // eta^2 + q^2 of the two values of eta, from one division.
  V X[2], iX[2], i_x2q2[2], i_e2q2[2];
  {
    X[0] = vsqrt(pt.xi2[0] + q2);
    X[1] = vsqrt(pt.xi2[1] + q2);
    const V e0 = pt.eta2[0] + q2, e1 = pt.eta2[1] + q2;
    const V a = X[0] * X[1], b = e0 * e1;
    const V r = one / (a * b);
    const V ia = b * r, ib = a * r;
    iX[0] = refine(X[0], X[1] * ia);
    iX[1] = refine(X[1], X[0] * ia);
    i_e2q2[0] = refine(e0, e1 * ib);
    i_e2q2[1] = refine(e1, e0 * ib);
    for (int j = 0; j < 2; ++j) i_x2q2[j] = iX[j] * iX[j];
  }

  // The square roots and divisions of the four corners first, stage by
  // stage, so that their long latencies overlap.  One division per corner
  // gives the reciprocals of R, of the numerators and denominators of
  // R + xi, R + eta, R + d~ (held as fractions) and, for general dips, of
  // num^2 + den^2 of the I5 arctangent atan(num/den).
  V Rs[4], nums[4], dens[4], nd2s[4], invs[4], pre[4][7];
  Frac fxs[4], fes[4], fds[4];
  EACH_CORNER {
    const CornerRoot cr = corner_root(pt, q2, n, redo);
    Rs[n] = cr.R;
    fxs[n] = cr.fx;
    fes[n] = cr.fe;
    fds[n] = cr.fd;
    // R + xi = 0 and R + eta = 0 have branches of their own.
    redo |= !(fxs[n].n > 0.0) | !(fes[n].n > 0.0);
  }
  EACH_CORNER {
    const V Xv = X[n >> 1], R = Rs[n];
    if constexpr (!NearVertical) {
      nums[n] = (q * c + Xv) * pt.eta[n & 1] + (R + Xv) * Xv * s;
      dens[n] = (R + Xv) * pt.xi[n >> 1] * c;
      nd2s[n] = nums[n] * nums[n] + dens[n] * dens[n];
    } else {
      nd2s[n] = one;
    }
    V* p = pre[n];
    p[0] = R;
    p[1] = p[0] * fxs[n].n;
    p[2] = p[1] * fes[n].n;
    p[3] = p[2] * fds[n].n;
    p[4] = p[3] * fxs[n].d;
    p[5] = p[4] * fes[n].d;
    p[6] = p[5] * fds[n].d;
    const V prod = p[6] * nd2s[n];
    redo |= !((prod > PRODUCT_MIN) & (prod < PRODUCT_MAX));
    invs[n] = one / prod;
  }

  EACH_CORNER {
    const V xi = pt.xi[n >> 1], eta = pt.eta[n & 1];
    const V yt_v = pt.yt[n & 1], dt_v = pt.dt[n & 1];
    const V Xv = X[n >> 1], iXv = iX[n >> 1];
    const V R = Rs[n];
    const M epos = eta >= 0.0;
    const Frac fx = fxs[n], fe = fes[n], fd = fds[n];

    // The seeds and the corner's y~, d~ (their dip derivatives at fixed
    // eta and q are -d~ and y~).
    DV<1u> xiD;
    xiD.v = xi;
    DIR(xiD, 0) = one;
    DV<4u> etaD;
    etaD.v = eta;
    DIR(etaD, 2) = one;
    DV<52u> yt, dt;
    yt.v = yt_v;
    DIR(yt, 2) = c;
    DIR(yt, 4) = s;
    DIR(yt, 5) = -dt_v;
    dt.v = dt_v;
    DIR(dt, 2) = s;
    DIR(dt, 4) = -c;
    DIR(dt, 5) = yt_v;

    const V* p = pre[n];
    V r = invs[n];
    [[maybe_unused]] const V i_nd2 = refine(nd2s[n], r * p[6]);
    r = r * nd2s[n];
    const V i_dd = refine(fd.d, r * p[5]);
    r = r * fd.d;
    const V i_de = refine(fe.d, r * p[4]);
    r = r * fe.d;
    const V i_dx = refine(fx.d, r * p[3]);
    r = r * fx.d;
    const V i_nd = refine(fd.n, r * p[2]);
    r = r * fd.n;
    const V i_ne = refine(fe.n, r * p[1]);
    r = r * fe.n;
    const V i_nx = refine(fx.n, r * p[0]);
    const V iR = refine(R, r * fx.n);
    const V Rx = fx.n * i_dx, iRx = fx.d * i_nx;
    const V Re = fe.n * i_de, iRe = fe.d * i_ne;
    const V Rd = fd.n * i_dd, iRd = fd.d * i_nd;

    // R and the three sums R + a with their derivatives; for R + a the
    // derivative is R' + a', formed as (R' - (a/R) a') + ((R + a)/R) a'.
    const V xR = xi * iR, eR = eta * iR, qR = q * iR;
    DV<21u> RD;
    RD.v = R;
    DIR(RD, 0) = xR;
    DIR(RD, 2) = eR;
    DIR(RD, 4) = qR;
    DV<21u> RxD = RD;
    RxD.v = Rx;
    DIR(RxD, 0) = Rx * iR;
    DV<21u> ReD = RD;
    ReD.v = Re;
    DIR(ReD, 2) = Re * iR;
    DV<53u> RdD;
    {
      const V ar = dt_v * iR, vr = Rd * iR;
      RdD.v = Rd;
      DIR(RdD, 0) = xR;
      DIR(RdD, 2) = (eR - ar * s) + vr * s;
      DIR(RdD, 4) = (qR + ar * c) - vr * c;
      DIR(RdD, 5) = vr * yt_v - ar * yt_v;
    }
    const DV<21u> iRD = recip(RD, iR);
    const DV<21u> iReD = recip(ReD, iRe);
    const DV<53u> iRdD = recip(RdD, iRd);
    const DV<21u> X11 = recip(RD * RxD, iR * iRx);
    const DV<21u> Y11 = quot(iReD, RD, iR);

    // theta = atan(xi eta/(q R)) with its derivatives written out.
    DV<21u> th;
    {
      const V qiR = q * iR;
      DIR(th, 0) = eta * qiR * i_x2q2[n >> 1];
      DIR(th, 2) = xi * qiR * i_e2q2[n & 1];
      DIR(th, 4) = -(xi * eta * (R * R + q2) * iR * i_e2q2[n & 1] * i_x2q2[n >> 1]);
      add_arg(S.theta, vabs(q) * R, xi * eta, n);
    }

    acc(S.XY, xiD * Y11, n);
    acc(S.TY, yt * Y11, n);
    acc(S.DY, dt * Y11, n);
    acc(S.Y, Y11, n);
    acc(S.E, iReD, n);
    acc(S.F, iRD, n);
    acc(S.TX, yt * X11, n);
    acc(S.DX, dt * X11, n);
    acc<false>(S.TH, th, n);
    // ln(R + eta): the value as the logarithm of the signed product.
    acc<false>(S.SL, chain(zero, iRe, ReD), n);
    acc_product(S.eN, S.eD, fe.n, fe.d, n);

    if constexpr (!NearVertical) {
      // I5 = (2 alpha/c) atan(num/den), I4 = (alpha/c)(ln(R + d~) - s ln(R + eta)),
      // I3 = alpha (y~/(c (R + d~)) - ln(R + eta)) + (s/c) I4,
      // I1 = -(alpha/c) xi/(R + d~) - (s/c) I5: their corner parts.
      DV<17u> XD;
      XD.v = Xv;
      DIR(XD, 0) = xi * iXv;
      DIR(XD, 4) = q * iXv;
      const auto numD = (qD * K.c + XD) * etaD + (RD + XD) * XD * K.s;
      const auto denD = (RD + XD) * xiD * K.c;
      // d atan(num/den) = (den num' - num den')/(num^2 + den^2)
      const V num = nums[n], den = dens[n];
      static_assert(decltype(numD)::mask == decltype(denD)::mask);
      DV<decltype(numD)::mask> at;
      for (int k = 0; k < count(at.mask); ++k)
        at.d[k] = (den * numD.d[k] - num * denD.d[k]) * i_nd2;
      acc<false>(S.G5, at, n);
      add_arg(S.g5, vabs(den), times_sign(num, den), n);
      acc<false>(S.SLd, chain(zero, iRd, RdD), n);
      acc_product(S.dN, S.dD, fd.n, fd.d, n);
      acc(S.A3, yt * iRdD, n);
      acc(S.A1, xiD * iRdD, n);
    } else {
      // Reduced forms (i_terms of jacobian.cpp):
      //   I4 = alpha (c ln(R + eta)/(1 + s) - (m/Re) L(u)),
      //   I3 = alpha (eta/((1 + s) Rd) - ln(R + eta)/(1 + s) + s (m/Re)^2 G(u)),
      //   I5 = -2 alpha xi (R + X)/N atan(w)/w,
      //   I1 = -alpha xi [Q/(Rd X N) + 2 s xi (R + X)^2 T(w)/N^2].
      const auto m = qD + etaD * K.c_1s;
      const auto mr = m * iReD;
      const auto uD = K.c * mr;
      const LogArg lu = log_arg(uD.v);
      DV<17u> XD;
      XD.v = Xv;
      DIR(XD, 0) = xi * iXv;
      DIR(XD, 4) = q * iXv;
      const auto RX = RD + XD;
      const auto lean = sel(epos, etaD + K.s * RX, (ReD + K.s * XD) - K.cc_1s * RD);
      const auto N = XD * lean + etaD * qD * K.c;
      const auto D = xiD * RX * K.c;
      // xi != 0 is assured by the tests of the point; N <= 0 has a form of
      // its own.
      redo |= !(N.v > 0.0);
      const M dnz = D.v != 0.0;
      const V N1 = sel(N.v > 0.0, N.v, one), D1 = sel(dnz, D.v, one);
      const V nn = N1 * D1, nnd = nn * (N1 * N1 + D1 * D1);
      const V sq = N1 * N1 + D1 * D1;
      V r2 = one / (nnd * lu.den);
      const V r_log = refine(lu.den, nnd * r2);
      r2 = r2 * lu.den;
      const V i_sq = refine(sq, nn * r2);  // 1/(N^2 + D^2)
      r2 = r2 * sq;
      const V iN = refine(N1, D1 * r2), iD = refine(D1, N1 * r2);
      const LogParts lg = log_parts(lu, r_log);
      const auto La = chain(lg.a, lg.b, uD);
      const auto Lb = chain(lg.b, lg.db, uD);
      acc(S.A1, mr * La, n);                 // (m/Re) L(u)
      acc(S.A3, etaD * iRdD, n);             // eta/Rd
      acc(S.B3, mr * mr * Lb, n);            // (m/Re)^2 G(u)
      const auto iND = recip(N, iN);
      const auto wD = D * iND;
      // 1/w = N/D and 1/(1 + w^2) = N^2/(N^2 + D^2)
      const PairD at = atan_parts(wD.v, keep(dnz, N1 * iD), N1 * N1 * i_sq);
      const auto A = chain(at.a, at.da, wD), B = chain(at.b, at.db, wD);
      // with T = xi (R + X)/N: I5 = -2 alpha T A, I1 = -alpha [xi Q/(Rd X N) + 2 s T^2 B]
      const auto T = xiD * RX * iND;
      const auto I5 = K.m2a * (T * A);
      const auto Q = etaD * K.c * (xiD * xiD + XD * RD) + qD * RD * lean;
      const auto iXD = recip(XD, iXv);
      const auto I1 = -(K.alpha * (xiD * Q * (iRdD * iXD * iND) + K.two_s * (T * T) * B));
      acc(S.G5, I5, n);
      acc(S.B1, I1, n);
    }
  }
}

// The 72 outputs of WIDTH points: the corner sums combined into the nine
// components with their derivatives in xi (two directions), eta (two), q
// and the dip, then turned into the derivatives in x, y, L, W, depth and
// dip, scaled and cleared as patch_jacobian does.
template <bool NearVertical>
inline M jac_lanes(const LanePatch& P, const JacConsts& K, V x, V y, const JacobianArrays& out,
              std::size_t at) {
  const Points pt = make_points(P, x, y);
  M redo = pt.redo;
  JacSums S;
  corners<NearVertical>(K, pt, S, redo);

  const V q = pt.q;
  DQ qD;
  qD.v = q;
  DIR(qD, 4) = bc(1.0);
  const DS& s = K.s;
  const DS& c = K.c;
  const V alpha = K.alpha;
  // theta = sgn(q) arg(|q| R + i xi eta) (q = 0 is left to the one-point form)
  S.TH.v = times_sign(signed_arg_sum(S.theta), q);
  using Sum = DV<63u>;
  Sum I1, I3, I4, I5;
  DV<31u> SL = S.SL;
  if constexpr (!NearVertical) {
    const V inv = 1.0 / (S.eD * S.dD);
    SL.v = vlog(S.eN * S.dD * inv);
    Sum SLd = S.SLd, G5 = S.G5;
    SLd.v = vlog(S.dN * S.eD * inv);
    G5.v = signed_arg_sum(S.g5);
    I5 = quot((2.0 * alpha) * G5, c, K.inv_c);
    I4 = quot(alpha * (SLd - s * SL), c, K.inv_c);
    I3 = alpha * (quot(S.A3, c, K.inv_c) - SL) + quot(s, c, K.inv_c) * I4;
    I1 = -quot(alpha * S.A1, c, K.inv_c) - quot(s, c, K.inv_c) * I5;
  } else {
    SL.v = vlog(S.eN / S.eD);
    I4 = alpha * (quot(c * SL, K.one_s, K.inv_one_s) - S.A1);
    I3 = alpha * ((quot(S.A3, K.one_s, K.inv_one_s) - quot(SL, K.one_s, K.inv_one_s)) + s * S.B3);
    I5 = S.G5;
    I1 = S.B1;
  }
  const Sum I2 = -(alpha * SL + I3);

  const auto sc = s * c, ss = s * s;
  const DV<31u> qA = qD * S.XY, qE = qD * S.E, qAth = qA - S.TH;
  Sum f[9];
  f[0] = (qA + S.TH) + I1 * s;
  f[1] = (qD * S.TY + qE * c) + I2 * s;
  f[2] = (qD * S.DY + qE * s) + I4 * s;
  f[3] = qD * S.F - I3 * sc;
  f[4] = (qD * S.TX + S.TH * c) - I1 * sc;
  f[5] = (qD * S.DX + S.TH * s) - I5 * sc;
  f[6] = qD * (qD * S.Y) - I3 * ss;
  f[7] = (-(qD * S.DX) - qAth * s) - I1 * ss;
  f[8] = (qD * S.TX + qAth * c) - I5 * ss;

  // Any output not finite (each value and derivative of the sums enters
  // some output with a non-zero factor): the one-point form decides.  The
  // probe sums v * 0, one chain per kind of output.
  const V zero = bc(0.0);
  const V q_rate = P.flip ? -pt.p : pt.p;
  V probe[8];
  for (V& p : probe) p = zero;
  for (int i = 0; i < 9; ++i) {
    const Sum& g = f[i];
    const V fac = K.factor[i], U = K.slip[i / 3];
    const V ge = DIR(g, 2) + DIR(g, 3), gq = DIR(g, 4);
    const V u = g.v * fac, us = u * U;
    const V o[8] = {drop(vabs(u) < CLEAR, u),
                    drop(vabs(us) < CLEAR, us),
                    ((DIR(g, 0) + DIR(g, 1)) * fac) * U,
                    ((c.v * ge + s.v * gq) * fac) * U,
                    ((-DIR(g, 1)) * fac) * U,
                    ((P.flip ? DIR(g, 2) : -DIR(g, 3)) * fac) * U,
                    ((s.v * ge - c.v * gq) * fac) * U,
                    (((DIR(g, 5) - q * ge) + q_rate * gq) * fac) * U};
    double* const dst[8] = {out.unit[i] + at, out.u[i] + at,      out.dx[i] + at,
                            out.dy[i] + at,   out.dL[i] + at,     out.dW[i] + at,
                            out.ddepth[i] + at, out.ddip[i] + at};
    for (int k = 0; k < 8; ++k) {
      probe[k] = fmadd(o[k], zero, probe[k]);
      storeu(dst[k], o[k]);
    }
  }
  const V all = ((probe[0] + probe[1]) + (probe[2] + probe[3])) +
                ((probe[4] + probe[5]) + (probe[6] + probe[7]));
  return redo | !(all == 0.0);
}

// Full groups of WIDTH points store straight into the outputs; a short tail
// (its missing lanes repeating its first point) goes through a buffer.
template <bool NearVertical>
void run_jacobian(const LanePatch& P, const JacConsts& K, const double* x, const double* y,
                  std::size_t n, const JacobianArrays& out, std::uint8_t* redo) {
  std::size_t i = 0;
  for (; i + WIDTH <= n; i += WIDTH) {
    const Tail t{i, WIDTH};
    store_flags(redo, t, jac_lanes<NearVertical>(P, K, load(x, t), load(y, t), out, i));
  }
  if (i == n) return;
  const Tail t{i, n - i};
  alignas(64) double buf[72][WIDTH];
  JacobianArrays b;
  int k = 0;
  for (double** f : {b.u, b.unit, b.dx, b.dy, b.dL, b.dW, b.ddepth, b.ddip})
    for (int c = 0; c < 9; ++c) f[c] = buf[k++];
  store_flags(redo, t, jac_lanes<NearVertical>(P, K, load(x, t), load(y, t), b, 0));
  const double* const* src[8] = {b.u, b.unit, b.dx, b.dy, b.dL, b.dW, b.ddepth, b.ddip};
  double* const* dst[8] = {out.u, out.unit, out.dx, out.dy, out.dL, out.dW, out.ddepth, out.ddip};
  for (int f = 0; f < 8; ++f)
    for (int c = 0; c < 9; ++c)
      for (std::size_t j = 0; j < t.rest; ++j) dst[f][c][i + j] = src[f][c][j];
}

}  // namespace

// The kernels of patch_strain_batch() and patch_jacobian_batch(): at most
// a block of points (jacobian_batch.cpp), redo[i] = 1 for the points left to
// the one-point form.  The entry points are named by the including file
// (jacobian_batch.cpp declares them).
void VADREL_STRAIN_ENTRY(const Patch& patch, const double* x, const double* y, std::size_t n,
                         double* const dx[9], double* const dy[9], std::uint8_t* redo) {
  const double U1 = patch.U1, U2 = patch.U2, U3 = patch.U3;
  const LanePatch P = lane_patch(patch);
  const double s = P.flip ? -patch.sin_dip : patch.sin_dip;
  const double c = P.flip ? -patch.cos_dip : patch.cos_dip;
  const double a = patch.alpha;
  StrainConsts K;
  K.k1 = bc((P.flip ? -U1 : U1) / TWO_PI);
  K.k2 = bc(U2 / TWO_PI);
  K.k3 = bc(U3 / TWO_PI);
  K.a_c = bc(a / c);
  K.s_c = bc(s / c);
  K.inv_c = bc(1.0 / c);
  K.t = bc(c / (1.0 + s));
  K.inv_one_s = bc(1.0 / (1.0 + s));
  if (P.near_vertical)
    run_strain<true>(P, K, x, y, n, dx, dy, redo);
  else
    run_strain<false>(P, K, x, y, n, dx, dy, redo);
}

void VADREL_JACOBIAN_ENTRY(const Patch& patch, const double* x, const double* y, std::size_t n,
                           const JacobianArrays& out, std::uint8_t* redo) {
  const double U1 = patch.U1, U2 = patch.U2, U3 = patch.U3;
  const LanePatch P = lane_patch(patch);
  const double s = P.flip ? -patch.sin_dip : patch.sin_dip;
  const double c = P.flip ? -patch.cos_dip : patch.cos_dip;
  const double a = patch.alpha;
  JacConsts K;
  K.s = {bc(s), {}};
  DIR(K.s, 5) = bc(c);
  K.c = {bc(c), {}};
  DIR(K.c, 5) = bc(-s);
  K.one_s = K.s + bc(1.0);
  K.inv_one_s = bc(1.0 / (1.0 + s));
  K.inv_c = bc(1.0 / c);
  K.c_1s = quot(K.c, K.one_s, K.inv_one_s);
  K.cc_1s = quot(K.c * K.c, K.one_s, K.inv_one_s);
  K.two_s = 2.0 * K.s;
  K.alpha = bc(a);
  K.m2a = bc(-2.0 * a);
  const double f = -1.0 / TWO_PI, f1 = P.flip ? -f : f;
  for (int i = 0; i < 9; ++i) K.factor[i] = bc(i < 3 ? f1 : i < 6 ? f : -f);
  K.slip[0] = bc(U1);
  K.slip[1] = bc(U2);
  K.slip[2] = bc(U3);
  if (P.near_vertical)
    run_jacobian<true>(P, K, x, y, n, out, redo);
  else
    run_jacobian<false>(P, K, x, y, n, out, redo);
}

}  // namespace vadrel::detail
