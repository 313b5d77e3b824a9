#include "derivatives/partials.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "core/work_arrays.hpp"
#include "derivatives/deru.hpp"
#include "derivatives/jacobian_batch.hpp"
#include "model/okada.hpp"

namespace vadrel {

namespace {

struct Rotation {
  double s, c, s2, c2;
};

Rotation rotation(double strike) {
  const double alpha = (90.0 - strike) * PI / 180.0;
  const double beta = (strike - 90.0) * PI / 180.0;
  return {std::sin(alpha), std::cos(alpha), std::sin(beta), std::cos(beta)};
}

Vec3 to_map(const Vec9& u, double s2, double c2) {
  double e = 0.0, n = 0.0, z = 0.0;
  for (int j = 0; j < 3; ++j) {
    const int b = 3 * j;
    e += c2 * u[b] + s2 * u[b + 1];
    n += c2 * u[b + 1] - s2 * u[b];
    z += u[b + 2];
  }
  return {e, n, z};
}

}  // namespace

PartialsResult compute_partials_numeric(const Segment& seg, LookGeometry& look, const Ramp& ramp,
                                        double x, double y) {
  PartialsResult r;
  constexpr double step = 1.0;
  const double dx = x - seg.X;
  const double dy = y - seg.Y;

  // Range change of segment 1 alone, with one parameter replaced.  The
  // dip's and the strike's sines and cosines are taken once for each of the
  // two values they have.
  auto range_of = [&](const Patch& patch, double ddx, double ddy, const Rotation& rot) {
    const double xs = ddx * rot.c + ddy * rot.s;
    const double ys = ddy * rot.c - ddx * rot.s;
    const Vec9 u = at_finite_point([&](double px, double py) { return okada_patch(patch, px, py); },
                                   xs, ys, r.shifted);
    return calc_range(look, ramp, x, y, to_map(u, rot.s2, rot.c2));
  };

  const Segment& s = seg;
  const Patch base = make_patch(s.L, s.W, s.depth, s.dip, s.lambda, s.mu, s.U1, s.U2, s.U3);
  const Patch dip1 = make_patch(s.L, s.W, s.depth, s.dip + step, s.lambda, s.mu, s.U1, s.U2, s.U3);
  // The patch with one of its length, width or depth a step longer.
  auto stepped = [&](double Patch::*field) {
    Patch p = base;
    p.*field += step;
    return p;
  };
  const Rotation strike = rotation(s.strike);
  const Rotation strike1 = rotation(s.strike + step);
  // The slip and its three steps: the patch's displacement is evaluated
  // once for the four (a slip whose value is not finite there is taken
  // again on its own, 1 mm away).
  const Vec3 slips[4] = {{s.U1, s.U2, s.U3}, {s.U1 + step, s.U2, s.U3}, {s.U1, s.U2 + step, s.U3},
                         {s.U1, s.U2, s.U3 + step}};
  Vec9 u4[4];
  const double xs = dx * strike.c + dy * strike.s;
  const double ys = dy * strike.c - dx * strike.s;
  okada_patch_slips(base, slips, xs, ys, u4);
  double rs[4];
  for (int j = 0; j < 4; ++j) {
    const Vec3& U = slips[j];
    rs[j] = all_finite(u4[j]) ? calc_range(look, ramp, x, y, to_map(u4[j], strike.s2, strike.c2))
                              : range_of(with_slips(base, U[0], U[1], U[2]), dx, dy, strike);
  }
  const double r0 = rs[0];
  const double rk[10] = {
      rs[1],
      rs[2],
      rs[3],
      range_of(base, dx - step, dy, strike),
      range_of(base, dx, dy - step, strike),
      range_of(stepped(&Patch::L), dx, dy, strike),
      range_of(stepped(&Patch::W), dx, dy, strike),
      range_of(stepped(&Patch::depth), dx, dy, strike),
      range_of(dip1, dx, dy, strike),
      range_of(base, dx, dy, strike1)};
  for (int k = 0; k < 10; ++k) r.D[k] = (rk[k] - r0) / step;
  return r;
}

PartialsResult compute_partials_exact(const Segment& seg, LookGeometry& look, double x, double y) {
  if (!look.vcard_set) look.plook = derived_plook(look, x, y);
  PartialsResult r;
  compute_partials_exact_batch(seg, &x, &y, &look.plook, 1, &r);
  return r;
}

namespace {

// Points handed to the batch kernel at once: its 72 outputs, the
// patch-frame coordinates, the look vectors and the ten partials stay in the
// level-1 cache.
constexpr std::size_t kPartialsBlock = 64;

// project(to_map(v)) for the nine components v0..v8.
inline double map_project(double v0, double v1, double v2, double v3, double v4, double v5,
                          double v6, double v7, double v8, double s2, double c2, double p0,
                          double p1, double p2) {
  double e = 0.0, n = 0.0, z = 0.0;
  e += c2 * v0 + s2 * v1;
  n += c2 * v1 - s2 * v0;
  z += v2;
  e += c2 * v3 + s2 * v4;
  n += c2 * v4 - s2 * v3;
  z += v5;
  e += c2 * v6 + s2 * v7;
  n += c2 * v7 - s2 * v6;
  z += v8;
  return p0 * e + p1 * n + p2 * z;
}

// The same for a vector with one non-zero triple (u, v, w): the zero
// triples would add signed zeros, which leave the sums as they are except
// that a zero sum is +0.
inline double map_project_triple(double u, double v, double w, double s2, double c2, double p0,
                                 double p1, double p2) {
  const double e = (c2 * u + s2 * v) + 0.0;
  const double n = (c2 * v - s2 * u) + 0.0;
  const double z = w + 0.0;
  return p0 * e + p1 * n + p2 * z;
}

// The ten partials (internal order) from the patch derivatives of m points
// with patch-frame coordinates (xs, ys) and look vectors pl (the loop runs
// over the points, so it vectorises).
void partials_of_block(const JacobianArrays& J, const Rotation& rot, const double* xs,
                       const double* ys, const double* const pl[3], std::size_t m,
                       double* const D[10]) {
  constexpr double k = PI / 180.0;
  const double s = rot.s, c = rot.c, s2 = rot.s2, c2 = rot.c2;
  // Every array is distinct: the iterations are independent.
#if !defined(__clang__)  // a gcc hint; clang vectorises these loops on its own
#pragma GCC ivdep
#endif
  for (std::size_t i = 0; i < m; ++i) {
    const double p0 = pl[0][i], p1 = pl[1][i], p2 = pl[2][i];
    // The slip derivatives: the unit-slip displacement, triple by triple.
    for (int j = 0; j < 3; ++j) {
      D[j][i] = map_project_triple(J.unit[3 * j][i], J.unit[3 * j + 1][i], J.unit[3 * j + 2][i],
                                   s2, c2, p0, p1, p2);
    }
    // Position and strike through the point's patch-frame coordinates.
    double dX[9], dY[9], dS[9], ddip[9];
    for (int r = 0; r < 9; ++r) {
      const double t = J.dx[r][i], Q = J.dy[r][i];
      dS[r] = (xs[i] * Q - ys[i] * t) * PI / 180.0;
      dX[r] = s * Q - c * t;
      dY[r] = -(s * t + c * Q);
      ddip[r] = J.ddip[r][i] * k;
    }
    auto mp = [&](const double* v) {
      return map_project(v[0], v[1], v[2], v[3], v[4], v[5], v[6], v[7], v[8], s2, c2, p0, p1,
                         p2);
    };
    auto mpa = [&](double* const a[9]) {
      return map_project(a[0][i], a[1][i], a[2][i], a[3][i], a[4][i], a[5][i], a[6][i], a[7][i],
                         a[8][i], s2, c2, p0, p1, p2);
    };
    D[3][i] = mp(dX);
    D[4][i] = mp(dY);
    D[5][i] = mpa(J.dL);
    D[6][i] = mpa(J.dW);
    D[7][i] = mpa(J.ddepth);
    D[8][i] = mp(ddip);
    // Strike: the point's patch-frame position turns, and so does the
    // rotation of the displacement components back to the map.
    double e = 0.0, n = 0.0, z = 0.0;
    for (int j = 0; j < 3; ++j) {
      const int b = 3 * j;
      const double px = dS[b] + J.u[b + 1][i] * k;
      const double py = dS[b + 1] - J.u[b][i] * k;
      e += c2 * px + s2 * py;
      n += c2 * py - s2 * px;
      z += dS[b + 2];
    }
    D[9][i] = p0 * e + p1 * n + p2 * z;
  }
}

// Work space of one block: 87 arrays of kPartialsBlock points (WorkArrays:
// the 72 outputs of a group of points fall into different sets of the
// level-1 cache instead of competing for a few).
struct PartialsWork {
  double* xs;
  double* ys;
  JacobianArrays J;
  double* pl[3];  // look vector of each point, set by the caller
  double* D[10];  // the partials, internal order
};

PartialsWork partials_work() {
  thread_local std::vector<double> space;
  WorkArrays arrays(space, 87, kPartialsBlock);
  PartialsWork w;
  w.xs = arrays.take();
  w.ys = arrays.take();
  for (double** f : {w.J.u, w.J.unit, w.J.dx, w.J.dy, w.J.dL, w.J.dW, w.J.ddepth, w.J.ddip}) {
    for (std::size_t c = 0; c < 9; ++c) f[c] = arrays.take();
  }
  for (double*& a : w.pl) a = arrays.take();
  for (double*& a : w.D) a = arrays.take();
  return w;
}

// The closed-form partials of segment g at m <= kPartialsBlock map points
// (x, y), with the look vectors in w.pl, into w.D; shifted[i] set where the
// values were taken 1 mm away.
void partials_block(const Segment& g, const Patch& patch, const Rotation& rot, const double* x,
                    const double* y, std::size_t m, const PartialsWork& w, std::uint8_t* shifted) {
  std::fill(shifted, shifted + m, std::uint8_t{0});
  for (std::size_t i = 0; i < m; ++i) {
    const double dx = x[i] - g.X;
    const double dy = y[i] - g.Y;
    w.xs[i] = dx * rot.c + dy * rot.s;
    w.ys[i] = dy * rot.c - dx * rot.s;
  }
  // The displacement and all its derivatives from one pass over the corners.
  const JacobianArrays& J = w.J;
  std::uint8_t by_point[kPartialsBlock];
  const std::size_t n_by_point = patch_jacobian_batch(patch, w.xs, w.ys, m, J, by_point);
  // Only points the one-point form evaluated can be non-finite; such a
  // point takes the values 1 mm away (see at_finite_point).
  for (std::size_t i = 0; n_by_point != 0 && i < m; ++i) {
    if (by_point[i] == 0) continue;
    double probe = 0.0;
    for (const double* const* f : {J.u, J.unit, J.dx, J.dy, J.dL, J.dW, J.ddepth, J.ddip}) {
      for (std::size_t c = 0; c < 9; ++c) probe += f[c][i] - f[c][i];
    }
    if (probe == 0.0) continue;
    bool moved = false;
    const PatchJacobian j = at_finite_point(
        [&](double px, double py) { return patch_jacobian(patch, px, py); },
        w.xs[i], w.ys[i], moved);
    if (moved) shifted[i] = 1;
    const Vec9* src[8] = {&j.u, &j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip};
    double* const* dst[8] = {J.u, J.unit, J.dx, J.dy, J.dL, J.dW, J.ddepth, J.ddip};
    for (int f = 0; f < 8; ++f) {
      for (std::size_t c = 0; c < 9; ++c) dst[f][c][i] = (*src[f])[c];
    }
  }
  partials_of_block(J, rot, w.xs, w.ys, w.pl, m, w.D);
}

}  // namespace

void compute_partials_exact_batch(const Segment& seg, const double* x, const double* y,
                                  const Vec3* plook, std::size_t n, PartialsResult* out) {
  const Patch patch = make_patch(seg.L, seg.W, seg.depth, seg.dip, seg.lambda, seg.mu, seg.U1,
                                 seg.U2, seg.U3);
  const Rotation rot = rotation(seg.strike);
  const PartialsWork w = partials_work();
  std::uint8_t shifted[kPartialsBlock];
  for (std::size_t first = 0; first < n; first += kPartialsBlock) {
    const std::size_t m = std::min(kPartialsBlock, n - first);
    for (std::size_t i = 0; i < m; ++i)
      for (std::size_t c = 0; c < 3; ++c) w.pl[c][i] = plook[first + i][c];
    partials_block(seg, patch, rot, x + first, y + first, m, w, shifted);
    for (std::size_t i = 0; i < m; ++i) {
      PartialsResult& r = out[first + i];
      for (std::size_t k = 0; k < 10; ++k) r.D[k] = w.D[k][i];
      r.shifted = shifted[i] != 0;
    }
  }
}

}  // namespace vadrel
