#include "writers/partials.hpp"

#include <cmath>
#include <string>

#include "derivatives/deru.hpp"
#include "model/okada.hpp"
#include "writers/range.hpp"

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

  // Range change of segment 1 alone, with one parameter replaced.
  auto range_of = [&](double U1, double U2, double U3, double ddx, double ddy, double L, double W,
                      double depth, double dip, double strike) {
    const Rotation rot = rotation(strike);
    const double xs = ddx * rot.c + ddy * rot.s;
    const double ys = ddy * rot.c - ddx * rot.s;
    const Vec9 u = at_finite_point(
        [&](double px, double py) {
          return okada_patch(U1, U2, U3, px, py, L, W, depth, dip, seg.lambda, seg.mu);
        },
        xs, ys, r.shifted);
    return calc_range(look, ramp, x, y, to_map(u, rot.s2, rot.c2));
  };

  const Segment& s = seg;
  const double r0 = range_of(s.U1, s.U2, s.U3, dx, dy, s.L, s.W, s.depth, s.dip, s.strike);
  const double rk[10] = {
      range_of(s.U1 + step, s.U2, s.U3, dx, dy, s.L, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2 + step, s.U3, dx, dy, s.L, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3 + step, dx, dy, s.L, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx - step, dy, s.L, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy - step, s.L, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy, s.L + step, s.W, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy, s.L, s.W + step, s.depth, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy, s.L, s.W, s.depth + step, s.dip, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy, s.L, s.W, s.depth, s.dip + step, s.strike),
      range_of(s.U1, s.U2, s.U3, dx, dy, s.L, s.W, s.depth, s.dip, s.strike + step)};
  for (int k = 0; k < 10; ++k) r.D[k] = (rk[k] - r0) / step;
  return r;
}

PartialsResult compute_partials_exact(const Segment& seg, LookGeometry& look, double x, double y) {
  PartialsResult r;
  const Rotation rot = rotation(seg.strike);
  const double dx = x - seg.X;
  const double dy = y - seg.Y;
  const double xs = dx * rot.c + dy * rot.s;
  const double ys = dy * rot.c - dx * rot.s;
  const Segment& g = seg;

  if (!look.vcard_set) look.plook = derived_plook(look, x, y);
  const Vec3& pl = look.plook;
  auto project = [&pl](const Vec3& d) { return pl[0] * d[0] + pl[1] * d[1] + pl[2] * d[2]; };

  // Displacement and all its derivatives from one pass over the corners.
  const PatchJacobian J = at_finite_point(
      [&](double px, double py) {
        return patch_jacobian(px, py, g.L, g.W, g.depth, g.dip, g.lambda, g.mu, g.U1, g.U2,
                              g.U3);
      },
      xs, ys, r.shifted);

  // Unit-slip displacement: the slip derivatives.
  for (int k = 0; k < 3; ++k) {
    Vec9 p{};
    for (int i = 0; i < 3; ++i) p[3 * k + i] = J.unit[3 * k + i];
    r.D[k] = project(to_map(p, rot.s2, rot.c2));
  }

  // Position and strike through the point's patch-frame coordinates.
  const Vec9& P = J.dx;
  const Vec9& Q = J.dy;
  Vec9 dX{};
  Vec9 dY{};
  Vec9 dS{};
  for (int i = 0; i < 9; ++i) {
    const double t = P[i];
    dS[i] = (xs * Q[i] - ys * t) * PI / 180.0;
    dX[i] = rot.s * Q[i] - rot.c * t;
    dY[i] = -(rot.s * t + rot.c * Q[i]);
  }
  r.D[3] = project(to_map(dX, rot.s2, rot.c2));
  r.D[4] = project(to_map(dY, rot.s2, rot.c2));

  r.D[5] = project(to_map(J.dL, rot.s2, rot.c2));
  r.D[6] = project(to_map(J.dW, rot.s2, rot.c2));
  r.D[7] = project(to_map(J.ddepth, rot.s2, rot.c2));
  Vec9 ddip = J.ddip;
  for (double& v : ddip) v *= PI / 180.0;
  r.D[8] = project(to_map(ddip, rot.s2, rot.c2));

  // Strike: the point's patch-frame position turns, and so does the
  // rotation of the displacement components back to the map.
  const Vec9& u = J.u;
  double e = 0.0, n = 0.0, z = 0.0;
  const double k = PI / 180.0;
  for (int j = 0; j < 3; ++j) {
    const int b = 3 * j;
    const double px = dS[b] + u[b + 1] * k;
    const double py = dS[b + 1] - u[b] * k;
    e += rot.c2 * px + rot.s2 * py;
    n += rot.c2 * py - rot.s2 * px;
    z += dS[b + 2];
  }
  r.D[9] = project({e, n, z});
  return r;
}

namespace {

template <class Compute>
void partials_records(std::span<const PointIn> points, RecordChunk& out, Compute compute) {
  out.text.reserve(points.size() * 253);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const PointIn& p = points[i];
    const PartialsResult r = compute(p);
    out.shifted[i] = r.shifted ? 1 : 0;
    const auto& D = r.D;
    RecordText t(out, 252);
    for (const double v : {p.x, p.y, D[3], D[4], D[9], D[7], D[8], D[0], D[1], D[2], D[5], D[6]}) {
      t.e<20, 10>(v);
    }
    t.done();
  }
}

}  // namespace

void form_all_part(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                   std::span<const PointIn> points, RecordChunk& out) {
  LookGeometry lk = look;  // calc_range keeps a derived look vector here
  partials_records(points, out, [&](const PointIn& p) {
    return compute_partials_numeric(model.segments.front(), lk, ramp, p.x, p.y);
  });
}

void form_all_part2(const FaultModel& model, const LookGeometry& look, std::span<const PointIn> points,
                    RecordChunk& out) {
  LookGeometry lk = look;
  partials_records(points, out, [&](const PointIn& p) {
    return compute_partials_exact(model.segments.front(), lk, p.x, p.y);
  });
}

}  // namespace vadrel
