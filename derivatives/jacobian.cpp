// All derivatives of the patch displacement in one pass over the corners.
//
// Every input enters a corner term f(xi, eta, q; dip) of Chinnery's sum
// through xi = x or x - L, eta = p or p - W, q and the dip, with
//   p = y cos + depth sin,  q = y sin - depth cos,
//   dp/dy = cos, dq/dy = sin, dp/d(depth) = sin, dq/d(depth) = -cos,
//   dp/d(dip) = -q, dq/d(dip) = p.
// So the four partials of f in xi, eta, q and the dip (at fixed xi, eta, q)
// give all of them, and each corner's square roots, logarithms and
// arctangents serve the displacement and every derivative at once.  The
// partials are carried through the corner term by forward differentiation
// (derivatives/dual.hpp) of the same evaluation the displacement uses: for
// dips within 60 degrees of vertical the I terms are in the form with the
// powers of 1/cos(dip) divided out analytically, so neither the values nor
// their derivatives cancel like 1/cos^k near vertical, and that form holds
// at exactly +-90 degrees too, where its dip derivative is the limit.
#include <array>
#include <cmath>
#include <cstddef>

#include "derivatives/deru.hpp"
#include "derivatives/dual.hpp"
#include "derivatives/robust.hpp"
#include "model/okada.hpp"
#include "model/okada_terms.hpp"

namespace vadrel {

namespace {

using namespace okada_terms;
using ad::Dual;
using ad::value;
using D4 = Dual<4>;  // seeds: xi, eta, q, dip

constexpr double TWO_PI = 2.0 * PI;

template <class T>
struct Pair {
  T a, b;
};

// {atan(w)/w, (w - atan w)/w^2}.
template <class T>
Pair<T> atan_parts(const T& w) {
  using ad::atan;
  using std::atan;
  const double aw = std::fabs(value(w));
  if (aw < SERIES_LIMIT) {
    const T w2 = w * w;
    const T d = aw < SHORT_SERIES_LIMIT ? poly<N_ATAN_SHORT>(ATAN_DEFECT, w2)
                                        : poly<N_ATAN>(ATAN_DEFECT, w2);
    return {1.0 - w2 * d, w * d};
  }
  const T t = atan(w);
  return {t / w, (w - t) / (w * w)};
}

// {-ln(1 - u)/u, 1/(1 - u) - (-ln(1 - u) - u)/u^2}, through
// v = u/(2 - u) and -ln(1 - u) = 2 atanh v for small u.
template <class T>
Pair<T> log_parts(const T& u) {
  using ad::log1p;
  using std::log1p;
  const double au = std::fabs(value(u));
  if (au < SERIES_LIMIT) {
    const T v = u / (2.0 - u);
    const T v2 = v * v;
    const T B = au < SHORT_SERIES_LIMIT ? poly<N_ATANH_SHORT>(ATANH_DEFECT, v2)
                                        : poly<N_ATANH>(ATANH_DEFECT, v2);
    const T onev = 1.0 + v;
    return {(1.0 + v2 * B) * onev, 0.5 * onev * onev * (1.0 / (1.0 - v) - v * B)};
  }
  const T l = log1p(-u);
  return {-l / u, 1.0 / (1.0 - u) + (l + u) / (u * u)};
}

// arctan(xi eta/(q R)), 0 where q = 0 or xi eta = 0 (the jump across q = 0
// cancels in the corner sum).  Its partials are written out, finite on
// those lines: 0 is the value of a branch, not a constant of the field.
double theta(double xi, double eta, double q, double R) {
  return (q == 0.0 || xi * eta == 0.0) ? 0.0 : std::atan(xi * eta / (q * R));
}
template <int N>
Dual<N> theta(const Dual<N>& xi, const Dual<N>& eta, const Dual<N>& q, const Dual<N>& R) {
  const double x = xi.v, e = eta.v, z = q.v, r = R.v;
  const double x2q2 = x * x + z * z;
  const double e2q2 = e * e + z * z;
  const double tx = e * z / (r * x2q2);
  const double te = x * z / (r * e2q2);
  const double tq = -x * e * (r * r + z * z) / (r * e2q2 * x2q2);
  Dual<N> t(theta(x, e, z, r));
  for (int i = 0; i < N; ++i) t.d[i] = tx * xi.d[i] + te * eta.d[i] + tq * q.d[i];
  return t;
}

// |(a, b, c)| with its derivatives written out.
template <int N>
Dual<N> norm3(const Dual<N>& a, const Dual<N>& b, const Dual<N>& c) {
  Dual<N> r(std::sqrt(a.v * a.v + b.v * b.v + c.v * c.v));
  const double ia = a.v / r.v, ib = b.v / r.v, ic = c.v / r.v;
  for (int i = 0; i < N; ++i) r.d[i] = ia * a.d[i] + ib * b.d[i] + ic * c.d[i];
  return r;
}

// R + a, where R = |(a, others)| and b2 is the sum of the others' squares:
// for a < 0 formed as b2/(R - a), without cancellation.  Its derivative
// R' + a' is formed as (R' - (a/R) a') + ((R + a)/R) a', where the first
// part is the others' share of R' (for a seed along a alone, exactly 0):
// again no cancellation where R + a is small.
double r_plus(double R, double a, double b2) { return a >= 0.0 ? R + a : b2 / (R - a); }
template <int N>
Dual<N> r_plus(const Dual<N>& R, const Dual<N>& a, double b2) {
  Dual<N> r(r_plus(R.v, a.v, b2));
  const double ar = a.v / R.v, vr = r.v / R.v;
  for (int i = 0; i < N; ++i) r.d[i] = (R.d[i] - ar * a.d[i]) + vr * a.d[i];
  return r;
}

template <class T>
struct Corner {
  T xi, eta, q, yt, dt;  // y~ = eta cos + q sin, d~ = eta sin - q cos
  T R, X, Re, Rd, Leta;
};

template <class T>
struct ITerms {
  T I1, I3, I4, I5;
};

// The dip-dependent I terms.  General dips (|cos| >= 0.5) as printed; the
// rest, vertical included, in the reduced form of model/okada.cpp:
//   I4 = alpha [-(m/Re) L(u) + c ln(Re)/(1 + s)],
//   I3 = alpha [eta/((1 + s) Rd) - ln(Re)/(1 + s) + s (m/Re)^2 G(u)],
//   I5 = -2 alpha xi (R + X)/N atan(w)/w,
//   I1 = -alpha xi [Q/(Rd X N) + 2 s xi (R + X)^2 T(w)/N^2],
// with m = q + eta c/(1 + s), u = c m/Re, w = D/N, N = X (eta + s (R + X))
// + eta q c, D = xi (R + X) c, Q = eta c (xi^2 + X R) + q R (eta + s (R + X)),
// L, G, T the series helpers above; I5 and I1 differ from the printed terms
// by parts that depend on xi and q alone and cancel in the corner sum.
template <class T>
ITerms<T> i_terms(const Corner<T>& k, const T& s, const T& c, double alpha) {
  using ad::atan;
  using ad::atan2;
  using ad::log;
  using std::atan;
  using std::atan2;
  using std::log;
  ITerms<T> t{T(0.0), T(0.0), T(0.0), T(0.0)};
  const double cv = value(c);
  if (!(std::fabs(cv) < NEAR_VERTICAL_COS && value(s) > 0.0)) {
    if (value(k.xi) != 0.0) {
      const T num = (k.q * c + k.X) * k.eta + (k.R + k.X) * k.X * s;
      const T den = (k.R + k.X) * k.xi * c;
      t.I5 = (2.0 * alpha) * atan(num / den) / c;
    }
    t.I4 = alpha * (log(k.Rd) - s * k.Leta) / c;
    t.I3 = alpha * (k.yt / (c * k.Rd) - k.Leta) + (s / c) * t.I4;
    t.I1 = -alpha * k.xi / (c * k.Rd) - (s / c) * t.I5;
    return t;
  }
  const T one_s = 1.0 + s;
  if (value(k.Re) > 0.0) {
    const T m = k.q + k.eta * c / one_s;
    const T mr = m / k.Re;
    const Pair<T> lg = log_parts(c * mr);
    t.I4 = alpha * (c * k.Leta / one_s - mr * lg.a);
    t.I3 = alpha * (k.eta / (one_s * k.Rd) - k.Leta / one_s + s * mr * mr * lg.b);
  } else if (cv != 0.0) {
    // On the eta-singular line (an edge observed along its own line; the
    // derivatives there are interpolated) the reduction has nothing to
    // divide by.
    t.I4 = alpha * (log(k.Rd) - s * k.Leta) / c;
    t.I3 = alpha * (k.yt * c / k.Rd + s * log(k.Rd) - k.Leta) / (c * c);
  } else {
    const T Rd2 = k.Rd * k.Rd;
    t.I3 = (alpha / 2.0) * (k.eta / k.Rd + k.yt * k.q / Rd2 - k.Leta);
    t.I4 = -alpha * k.q / k.Rd;
  }
  if (value(k.xi) != 0.0) {
    const T RX = k.R + k.X;
    // eta + s (R + X), formed without cancellation for small c
    const T lean = value(k.eta) >= 0.0 ? k.eta + s * RX
                                       : k.Re + s * k.X - c * c * k.R / one_s;
    const T N = k.X * lean + k.eta * k.q * c;
    const T D = k.xi * RX * c;
    if (value(N) > 0.0) {
      const Pair<T> at = atan_parts(D / N);
      t.I5 = -2.0 * alpha * k.xi * RX / N * at.a;
      const T Q = k.eta * c * (k.xi * k.xi + k.X * k.R) + k.q * k.R * lean;
      t.I1 = -alpha * k.xi *
             (Q / (k.Rd * k.X * N) + 2.0 * s * k.xi * RX * RX * at.b / (N * N));
    } else {
      t.I5 = -(2.0 * alpha) * atan2(D, N) / c;
      t.I1 = -(alpha * k.xi / k.Rd + s * t.I5 + alpha * k.xi / k.X) / c;
    }
  }
  return t;
}

// Corner term of Chinnery's sum for unit slips, before the factors
// -1/(2 pi) (strike and dip slip) and 1/(2 pi) (opening).  On the lines
// where R + xi or R + eta vanishes the terms take their limits as in
// model/okada.cpp.
template <class T>
std::array<T, 9> corner_terms(const T& xi, const T& eta, const T& q, const T& yt,
                              const T& dt, const T& s, const T& c, double alpha) {
  using ad::log;
  using ad::sqrt;
  using std::log;
  using std::sqrt;
  Corner<T> k{xi, eta, q, yt, dt, T(0.0), T(0.0), T(0.0), T(0.0), T(0.0)};
  const double xv = value(xi), ev = value(eta), qv = value(q), ytv = value(yt);
  const T zero(0.0);
  k.R = norm3(xi, eta, q);
  k.X = norm3(xi, q, zero);
  const T Rx = r_plus(k.R, xi, ev * ev + qv * qv);
  k.Re = r_plus(k.R, eta, xv * xv + qv * qv);
  k.Rd = r_plus(k.R, dt, xv * xv + ytv * ytv);
  const bool eta_singular = !(value(k.Re) > 0.0);
  k.Leta = eta_singular ? -log(k.R - eta) : log(k.Re);
  const T X11 = value(Rx) > 0.0 ? 1.0 / (k.R * Rx) : T(0.0);
  const T inv_Re = eta_singular ? T(0.0) : 1.0 / k.Re;
  const T Y11 = inv_Re / k.R;
  const T th = theta(xi, eta, q, k.R);

  const ITerms<T> it = i_terms(k, s, c, alpha);
  const T I2 = -(alpha * k.Leta + it.I3);
  const T qY = q * Y11;
  const T xqY = xi * qY;
  const T qX = q * X11;
  const T qiRe = q * inv_Re;
  const T sc = s * c, ss = s * s;
  const T xqYth = xqY - th;
  return {xqY + th + it.I1 * s,
          yt * qY + qiRe * c + I2 * s,
          dt * qY + qiRe * s + it.I4 * s,
          q / k.R - it.I3 * sc,
          yt * qX + th * c - it.I1 * sc,
          dt * qX + th * s - it.I5 * sc,
          q * qY - it.I3 * ss,
          -(dt * qX) - xqYth * s - it.I1 * ss,
          yt * qX + xqYth * c - it.I5 * ss};
}

// True when all n values are finite: any infinity or NaN makes the sum of
// v * 0 a NaN.  Branch-free, so it vectorises.
bool finite_block(const double* v, int n) {
  double probe = 0.0;
  for (int i = 0; i < n; ++i) probe += v[i] * 0.0;
  return probe == 0.0;
}

// Unit-slip displacement and derivatives (no clearing of small values).
struct Fields {
  Vec9 u{}, dx{}, dy{}, dL{}, dW{}, dd{}, ddip{};
};

void axpy(Fields& acc, const Fields& v, double f) {
  detail::axpy(acc.u, v.u, f);
  detail::axpy(acc.dx, v.dx, f);
  detail::axpy(acc.dy, v.dy, f);
  detail::axpy(acc.dL, v.dL, f);
  detail::axpy(acc.dW, v.dW, f);
  detail::axpy(acc.dd, v.dd, f);
  detail::axpy(acc.ddip, v.ddip, f);
}

D4 seeded(double v, double d0, double d1, double d2, double d3) {
  D4 r(v);
  r.d[0] = d0;
  r.d[1] = d1;
  r.d[2] = d2;
  r.d[3] = d3;
  return r;
}

// Closed form at one point, any dip.
Fields closed_fields(double x, double y, double L, double W, double depth, const Patch& tr) {
  const detail::CornerSet k = detail::corner_set(x, y, L, W, depth, tr.sin_dip, tr.cos_dip);
  const double s = k.s, c = k.c, q = k.q;
  const D4 cD = seeded(c, 0, 0, 0, -s);
  const D4 sD = seeded(s, 0, 0, 0, c);
  const D4 qD = seeded(q, 0, 0, 1, 0);
  Fields f;
  Vec9 ge{}, gq{}, gd{};
  for (int n = 0; n < 4; ++n) {
    const double yt = k.yt[n], dt = k.dt[n];
    const std::array<D4, 9> t =
        corner_terms(seeded(k.xi[n], 1, 0, 0, 0), seeded(k.eta[n], 0, 1, 0, 0), qD,
                     seeded(yt, 0, c, s, -dt), seeded(dt, 0, s, -c, yt), sD, cD, tr.alpha);
    const double sg = k.sign[n];
    for (int i = 0; i < 9; ++i) {
      f.u[i] += sg * t[i].v;
      f.dx[i] += sg * t[i].d[0];
      ge[i] += sg * t[i].d[1];
      gq[i] += sg * t[i].d[2];
      gd[i] += sg * t[i].d[3];
    }
    // xi = x - L at corners 2 and 3; eta depends on W at two corners.
    if (n >= 2) {
      for (int i = 0; i < 9; ++i) f.dL[i] -= sg * t[i].d[0];
    }
    if (k.w_rate[n] != 0.0) {
      for (int i = 0; i < 9; ++i) f.dW[i] += k.w_rate[n] * sg * t[i].d[1];
    }
  }
  for (int i = 0; i < 9; ++i) {
    f.dy[i] = c * ge[i] + s * gq[i];
    f.dd[i] = s * ge[i] - c * gq[i];
    f.ddip[i] = gd[i] - q * ge[i] + k.q_rate * gq[i];
  }
  const double a = -1.0 / TWO_PI;
  const double b = k.u1_sign * a;
  const Vec9 factor{b, b, b, a, a, a, -a, -a, -a};
  for (Vec9* v : {&f.u, &f.dx, &f.dy, &f.dL, &f.dW, &f.dd, &f.ddip}) {
    for (int i = 0; i < 9; ++i) (*v)[i] *= factor[i];
  }
  return f;
}

// Displacements below this (in the unit of the slip) are cleared to exact
// zeros, as okada_patch does.
constexpr double CLEAR = 1e-8;

void clear_small(Vec9& u) {
  for (double& v : u) {
    if (std::fabs(v) < CLEAR) v = 0.0;
  }
}

}  // namespace

bool all_finite(const PatchJacobian& j) {
  bool ok = true;
  for (const Vec9* v : {&j.u, &j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip}) {
    ok = finite_block(v->data(), 9) && ok;
  }
  return ok;
}

PatchJacobian patch_jacobian(const Patch& patch, double x, double y) {
  using namespace detail;
  const double L = patch.L, W = patch.W, depth = patch.depth, dip_deg = patch.dip;
  const double U1 = patch.U1, U2 = patch.U2, U3 = patch.U3;

  const Geometry g{x, y, dip_deg, patch.sin_dip, patch.cos_dip, depth, L, W, patch.alpha};
  PatchJacobian j;
  const double rho = distance_to_patch(g);
  if (rho <= 1e-12 * size_scale(g)) {
    // On the surface trace of a patch that reaches the surface.
    for (Vec9* v : {&j.u, &j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip}) *v = nan9();
    return j;
  }
  Fields f = closed_fields(x, y, L, W, depth, patch);
  Vec9* derivs[6] = {&f.dx, &f.dy, &f.dL, &f.dW, &f.dd, &f.ddip};
  bool finite = finite_block(f.u.data(), 9);
  for (const Vec9* v : derivs) finite = finite_block(v->data(), 9) && finite;
  if (!finite || near_degenerate_line(g, rho)) {
    const Fields lf = line_safe(
        [&](double xx, double yy) { return closed_fields(xx, yy, L, W, depth, patch); }, g, rho);
    // The displacement itself is accurate on the lines; only the
    // derivatives are interpolated.
    if (!all_finite(f.u)) f.u = lf.u;
    f.dx = lf.dx;
    f.dy = lf.dy;
    f.dL = lf.dL;
    f.dW = lf.dW;
    f.dd = lf.dd;
    f.ddip = lf.ddip;
    // Where even that fails, a difference of the displacement.
    const Param which[6] = {Param::X, Param::Y, Param::L, Param::W, Param::Depth, Param::Dip};
    for (int k = 0; k < 6; ++k) {
      if (!all_finite(*derivs[k])) *derivs[k] = numeric_unit(g, which[k]);
    }
    if (!all_finite(f.u)) {
      constexpr double BIG = 1099511627776.0;  // 2^40, see numeric_unit
      f.u = okada_patch(with_slips(patch, BIG, BIG, BIG), x, y);
      for (double& e : f.u) e /= BIG;
    }
  }
  j.unit = f.u;
  clear_small(j.unit);
  j.u = apply_slips(f.u, U1, U2, U3);
  clear_small(j.u);
  j.dx = apply_slips(f.dx, U1, U2, U3);
  j.dy = apply_slips(f.dy, U1, U2, U3);
  j.dL = apply_slips(f.dL, U1, U2, U3);
  j.dW = apply_slips(f.dW, U1, U2, U3);
  j.ddepth = apply_slips(f.dd, U1, U2, U3);
  j.ddip = apply_slips(f.ddip, U1, U2, U3);
  return j;
}

}  // namespace vadrel
