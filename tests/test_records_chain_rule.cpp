// The strain and analytic-partials records against the one-point
// derivative forms: expected values formed here by the chain rule through
// the map rotation of the point and of the displacement components and the
// look projection, written out afresh from patch_strain() and
// patch_jacobian() (an independent code path: one corner at a time).
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "derivatives/deru.hpp"
#include "derivatives/partials.hpp"
#include "derivatives/strain.hpp"
#include "model/fault.hpp"
#include "model/look.hpp"
#include "writers/partials.hpp"
#include "writers/strain.hpp"

namespace vadrel {
namespace {

constexpr double DEG = PI / 180.0;

double sin_deg(double d) { return std::sin(d * DEG); }
double cos_deg(double d) {
  return std::fabs(std::fabs(d) - 90.0) <= 1e-8 ? 0.0 : std::cos(d * DEG);
}

Segment segment(double x, double y, double strike, double depth, double dip, double L,
                double W) {
  Segment s;
  s.X = x;
  s.Y = y;
  s.strike = strike;
  s.depth = depth;
  s.dip = dip;
  s.lambda = 3.0e10;
  s.mu = 3.0e10;
  s.U1 = 400.0;
  s.U2 = 900.0;
  s.U3 = 120.0;
  s.L = L;
  s.W = W;
  return s;
}

// 300 points (more than one block of the batch kernel) on a slanted line,
// and among them a point on the surface trace of the first segment (which
// reaches the surface), 7 km along strike from its start.
std::vector<PointIn> record_points(const Segment& first) {
  std::vector<PointIn> pts;
  for (int k = 0; k < 300; ++k) {
    PointIn p;
    p.x = -40.0 + 0.27 * k;
    p.y = -25.0 + 0.19 * k;
    pts.push_back(p);
  }
  const double a = (90.0 - first.strike) * DEG, xs = 7.0, ys = first.W * cos_deg(first.dip);
  pts[137].x = first.X + xs * std::cos(a) - ys * std::sin(a);
  pts[137].y = first.Y + xs * std::sin(a) + ys * std::cos(a);
  return pts;
}

// A segment seen from a map point: patch-frame coordinates x' = d.e_s,
// y' = d.n_s of the offset d from the origin, with the strike direction
// e_s = (cos a, sin a), a = 90 - strike, and n_s = (-sin a, cos a); the map
// east, north of patch-frame components (ux, uy) are ux e_s + uy n_s.
struct Frame {
  double ca, sa, xp, yp;
};
Frame frame(const Segment& s, double x, double y) {
  const double a = (90.0 - s.strike) * DEG, ca = std::cos(a), sa = std::sin(a);
  const double dx = x - s.X, dy = y - s.Y;
  return {ca, sa, dx * ca + dy * sa, dy * ca - dx * sa};
}
Vec3 to_east_north_up(const Frame& f, double ux, double uy, double uz) {
  return {ux * f.ca - uy * f.sa, ux * f.sa + uy * f.ca, uz};
}

// The value printed in an Ew.d field matches v: within half a unit of its
// last digit, widened by rounding of 1e-12 of the record's scale.
void expect_printed(const std::string& field, double v, double scale, const std::string& where) {
  const double got = std::stod(field);
  const std::size_t e = field.find('E');
  const std::size_t dot = field.find('.');
  ASSERT_NE(e, std::string::npos) << where;
  const int digits = static_cast<int>(e - dot - 1);
  const double unit = std::pow(10.0, std::stoi(field.substr(e + 1)) - digits);
  EXPECT_LE(std::fabs(got - v), 0.5 * unit * (1.0 + 1e-9) + 1e-12 * scale)
      << where << ": printed " << field << ", value " << v;
}

// f at the patch-frame point, or where not finite 1 mm away, in the order
// up, down, along, back, both, both back; `moved` set then.
template <class F>
auto finite_near(F f, double x, double y, bool& moved) {
  const double h = 1e-6;
  const double off[7][2] = {{0, 0}, {0, h}, {0, -h}, {h, 0}, {-h, 0}, {h, h}, {-h, -h}};
  for (const auto& o : off) {
    const auto v = f(x + o[0], y + o[1]);
    if (all_finite(v)) return v;
    moved = true;
  }
  return decltype(f(x, y)){};
}

TEST(JacobianBatchWriters, StrainRecordsAreTheChainRuleOfTheOnePointGradients) {
  FaultModel m;
  m.add(segment(-20.0, -10.0, 35.0, 6.0 * sin_deg(70.0), 70.0, 18.0, 6.0));  // reaches the surface
  m.add(segment(5.0, 3.0, 200.0, 12.0, 89.995, 25.0, 9.0));
  const std::vector<PointIn> pts = record_points(m.segments[0]);
  RecordChunk out;
  out.reset(pts.size());
  form_strain(m, pts, out);
  ASSERT_EQ(out.size(), pts.size());
  for (std::size_t i = 0; i < pts.size(); ++i) {
    // d/de = ca d/dx' - sa d/dy', d/dn = sa d/dx' + ca d/dy' of the map
    // east, north, up displacement, summed over segments and slips.
    double g[6] = {};  // due/de, due/dn, dun/de, dun/dn, duz/de, duz/dn
    bool moved = false;
    for (const Segment& s : m.segments) {
      const Frame f = frame(s, pts[i].x, pts[i].y);
      const Patch t = make_patch(s.L, s.W, s.depth, s.dip, s.lambda, s.mu, 0, 0, 0);
      const DeruXY d = finite_near(
          [&](double px, double py) {
            return patch_strain(with_slips(t, s.U1, s.U2, s.U3), px, py);
          },
          f.xp, f.yp, moved);
      for (int j = 0; j < 3; ++j) {
        const Vec3 ax = to_east_north_up(f, d.dx[3 * j], d.dx[3 * j + 1], d.dx[3 * j + 2]);
        const Vec3 ay = to_east_north_up(f, d.dy[3 * j], d.dy[3 * j + 1], d.dy[3 * j + 2]);
        for (int c = 0; c < 3; ++c) {
          g[2 * c] += f.ca * ax[c] - f.sa * ay[c];
          g[2 * c + 1] += f.sa * ax[c] + f.ca * ay[c];
        }
      }
    }
    EXPECT_EQ(out.shifted[i] != 0, moved) << i;
    const std::string rec(out.record(i));
    ASSERT_EQ(rec.size(), 113u) << i;
    double scale = 0.0;
    for (double v : g) scale = std::max(scale, std::fabs(v));
    for (int k = 0; k < 6; ++k)
      expect_printed(rec.substr(28 + 14 * k, 14), g[k], scale,
                     "point " + std::to_string(i) + " column " + std::to_string(k));
  }
  EXPECT_NE(out.shifted[137], 0);
}

// The ten partials of segment 1's range change (internal order U1, U2, U3,
// X, Y, L, W, depth, dip, strike; per degree for the angles) from the
// one-point Jacobian.
std::array<double, 10> range_partials(const Segment& s, const Vec3& look, double x, double y,
                                      bool& moved) {
  const Frame f = frame(s, x, y);
  const Patch t = make_patch(s.L, s.W, s.depth, s.dip, s.lambda, s.mu, 0, 0, 0);
  const PatchJacobian J = finite_near(
      [&](double px, double py) {
        return patch_jacobian(with_slips(t, s.U1, s.U2, s.U3), px, py);
      },
      f.xp, f.yp, moved);
  // Look projection of a patch-frame field, and of its components turned
  // by the strike derivative of the rotation (d/da of e_s, n_s per radian
  // of a; a = 90 - strike, so per degree of strike that is -DEG d/da).
  auto project = [&](const Vec9& v, int only = -1) {
    double r = 0.0;
    for (int j = 0; j < 3; ++j) {
      if (only >= 0 && j != only) continue;
      const Vec3 u = to_east_north_up(f, v[3 * j], v[3 * j + 1], v[3 * j + 2]);
      r += look[0] * u[0] + look[1] * u[1] + look[2] * u[2];
    }
    return r;
  };
  auto project_turned = [&](const Vec9& v) {
    double r = 0.0;
    for (int j = 0; j < 3; ++j) {
      const double ux = v[3 * j], uy = v[3 * j + 1];
      const double e = -ux * f.sa - uy * f.ca, n = ux * f.ca - uy * f.sa;  // d/da
      r += look[0] * e + look[1] * n;
    }
    return r;
  };
  Vec9 dX{}, dY{}, dS{}, ddip{};
  for (int k = 0; k < 9; ++k) {
    // Moving the origin east by h moves the point by -h in the map:
    // x' changes by -h ca, y' by h sa.
    dX[k] = -f.ca * J.dx[k] + f.sa * J.dy[k];
    dY[k] = -f.sa * J.dx[k] - f.ca * J.dy[k];
    // d x'/da = y', d y'/da = -x', and a turns by -DEG per degree of strike.
    dS[k] = DEG * (f.xp * J.dy[k] - f.yp * J.dx[k]);
    ddip[k] = DEG * J.ddip[k];
  }
  std::array<double, 10> D{};
  for (int j = 0; j < 3; ++j) D[j] = project(J.unit, j);
  D[3] = project(dX);
  D[4] = project(dY);
  D[5] = project(J.dL);
  D[6] = project(J.dW);
  D[7] = project(J.ddepth);
  D[8] = project(ddip);
  D[9] = project(dS) - DEG * project_turned(J.u);
  return D;
}

TEST(JacobianBatchWriters, AnalyticRecordsAreTheRangePartialsOfSegmentOne) {
  FaultModel m;
  m.add(segment(-20.0, -10.0, 35.0, 6.0 * sin_deg(60.0), 60.0, 18.0, 6.0));
  m.add(segment(5.0, 3.0, 200.0, 12.0, 45.0, 25.0, 9.0));  // not part of the partials
  const std::vector<PointIn> pts = record_points(m.segments[0]);
  LookGeometry given;
  given.vcard_set = true;
  given.plook = {-0.6, -0.1, 0.7937};
  LookGeometry edge;  // derived per point from an oblique near-range edge
  edge.x1 = -80.0;
  edge.y1 = -60.0;
  edge.x2 = -20.0;
  edge.y2 = 70.0;
  for (const LookGeometry& look : {given, edge}) {
    RecordChunk out;
    out.reset(pts.size());
    form_all_part2(m, look, pts, out);
    ASSERT_EQ(out.size(), pts.size());
    const int order[10] = {3, 4, 9, 7, 8, 0, 1, 2, 5, 6};
    for (std::size_t i = 0; i < pts.size(); ++i) {
      const Vec3 pl = look.vcard_set ? look.plook : derived_plook(look, pts[i].x, pts[i].y);
      bool moved = false;
      const std::array<double, 10> D = range_partials(m.segments[0], pl, pts[i].x, pts[i].y, moved);
      EXPECT_EQ(out.shifted[i] != 0, moved) << i;
      const std::string rec(out.record(i));
      ASSERT_EQ(rec.size(), 253u) << i;
      double scale = 0.0;
      for (double v : D) scale = std::max(scale, std::fabs(v));
      for (int k = 0; k < 10; ++k)
        expect_printed(rec.substr(42 + 21 * k, 21), D[order[k]], scale,
                       "point " + std::to_string(i) + " partial " + std::to_string(order[k]));
    }
    EXPECT_NE(out.shifted[137], 0);
  }
}

// The per-point functions (which the Python module calls) are the array
// forms at one point: every value equal to the last bit, at every point of
// a batch, the point on the trace included.
TEST(JacobianBatchWriters, PerPointFunctionsAreTheArrayFormsBitForBit) {
  FaultModel m;
  m.add(segment(-20.0, -10.0, 35.0, 6.0 * sin_deg(70.0), 70.0, 18.0, 6.0));
  m.add(segment(5.0, 3.0, 200.0, 12.0, 89.995, 25.0, 9.0));
  const std::vector<PointIn> pts = record_points(m.segments[0]);
  std::vector<double> x, y;
  std::vector<Vec3> looks;
  for (const PointIn& p : pts) {
    x.push_back(p.x);
    y.push_back(p.y);
    looks.push_back({-0.6 + 1e-3 * p.x, -0.1, 0.79});
  }
  std::vector<StrainResult> st(pts.size());
  std::vector<PartialsResult> pa(pts.size());
  compute_strain_batch(m, x.data(), y.data(), x.size(), st.data());
  compute_partials_exact_batch(m.segments[0], x.data(), y.data(), looks.data(), x.size(),
                               pa.data());
  for (std::size_t i = 0; i < pts.size(); ++i) {
    const StrainResult s = compute_strain(m, x[i], y[i]);
    EXPECT_EQ(s.g, st[i].g) << i;
    EXPECT_EQ(s.shifted, st[i].shifted) << i;
    LookGeometry lk;
    lk.vcard_set = true;
    lk.plook = looks[i];
    const PartialsResult r = compute_partials_exact(m.segments[0], lk, x[i], y[i]);
    EXPECT_EQ(r.D, pa[i].D) << i;
    EXPECT_EQ(r.shifted, pa[i].shifted) << i;
  }
  EXPECT_TRUE(st[137].shifted && pa[137].shifted);
}

}  // namespace
}  // namespace vadrel
