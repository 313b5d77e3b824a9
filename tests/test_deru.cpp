// Tests of the closed-form derivatives of the patch displacement.
//
// Expected values are never taken from the code under test: they come from
// differences of the displacement itself (okada_patch, a separate code),
// from the quad-precision gradient columns of tests/data/okada_surface.tsv,
// and from properties the derivatives must have (linearity in slip,
// symmetry about the centre line, the slip derivatives being the unit-slip
// displacement).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "derivatives/deru.hpp"
#include "tests/reference_table.hpp"
#include "model/okada.hpp"

namespace vadrel {
namespace {

constexpr double DEG = PI / 180.0;

double max_abs(const Vec9& u) {
  double m = 0.0;
  for (double v : u) m = std::max(m, std::fabs(v));
  return m;
}

double max_diff(const Vec9& a, const Vec9& b) {
  double m = 0.0;
  for (int i = 0; i < 9; ++i) m = std::max(m, std::fabs(a[i] - b[i]));
  return m;
}

bool all_finite(const Vec9& u) {
  return std::all_of(u.begin(), u.end(),
                     [](double v) { return std::isfinite(v); });
}

struct Case {
  double x, y, L, W, depth, dip_deg, lambda, mu;
};

// Unit-slip displacement without okada_patch's clearing of small values:
// the solution is linear in the slips, so slips of 2^40 scaled back by the
// same power of two give identical digits with nothing cleared.
Vec9 unit_disp(const Case& c) {
  constexpr double BIG = 1099511627776.0;
  Vec9 u = okada_patch(make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, BIG, BIG, BIG), c.x, c.y);
  for (double& v : u) v /= BIG;
  return u;
}

enum class P { X, Y, L, W, Depth, Dip };

Case moved(Case c, P which, double h) {
  switch (which) {
    case P::X: c.x += h; break;
    case P::Y: c.y += h; break;
    case P::L: c.L += h; break;
    case P::W: c.W += h; break;
    case P::Depth: c.depth += h; break;
    case P::Dip: c.dip_deg += h; break;
  }
  return c;
}

Vec9 central(const Case& c, P which, double h) {
  const Vec9 a = unit_disp(moved(c, which, h));
  const Vec9 b = unit_disp(moved(c, which, -h));
  Vec9 d{};
  for (int i = 0; i < 9; ++i) d[i] = (a[i] - b[i]) / (2.0 * h);
  return d;
}

// Finite-difference derivative of the displacement, Richardson-extrapolated
// twice from steps h, h/2, h/4 (error of order h^6).  Dip steps are in
// degrees and the result is converted to per radian.
Vec9 fd(const Case& c, P which, double h) {
  const Vec9 d1 = central(c, which, h);
  const Vec9 d2 = central(c, which, h / 2);
  const Vec9 d3 = central(c, which, h / 4);
  Vec9 d{};
  for (int i = 0; i < 9; ++i) {
    const double e1 = (4 * d2[i] - d1[i]) / 3;
    const double e2 = (4 * d3[i] - d2[i]) / 3;
    d[i] = (16 * e2 - e1) / 15;
    if (which == P::Dip) d[i] /= DEG;
  }
  return d;
}

struct AllDerivs {
  Vec9 dx, dy, dl, dw, dd, ddip;
};

AllDerivs closed(const Case& c, double U1 = 1, double U2 = 1, double U3 = 1) {
  const Patch patch = make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, U1, U2, U3);
  AllDerivs a;
  const DeruXY xy = deru_x(patch, c.x, c.y);
  a.dx = xy.dx;
  a.dy = xy.dy;
  a.dl = deru_l(patch, c.x, c.y);
  a.dw = deru_w(patch, c.x, c.y);
  a.dd = deru_d(patch, c.x, c.y);
  a.ddip = deru_delta(patch, c.x, c.y);
  return a;
}

// Every derivative against its difference, relative to the largest
// component of that derivative.
void expect_matches_differences(const Case& c, double tol, double h_len,
                                double h_dip_deg) {
  const AllDerivs a = closed(c);
  const struct {
    const char* name;
    const Vec9& got;
    P which;
  } checks[] = {{"x", a.dx, P::X},       {"y", a.dy, P::Y},
                {"L", a.dl, P::L},       {"W", a.dw, P::W},
                {"depth", a.dd, P::Depth}, {"dip", a.ddip, P::Dip}};
  for (const auto& ch : checks) {
    const Vec9 ref =
        fd(c, ch.which, ch.which == P::Dip ? h_dip_deg : h_len);
    ASSERT_TRUE(all_finite(ch.got)) << ch.name;
    EXPECT_LE(max_diff(ch.got, ref), tol * max_abs(ref))
        << "d/d" << ch.name << " at x=" << c.x << " y=" << c.y
        << " dip=" << c.dip_deg << " depth=" << c.depth << " L=" << c.L
        << " W=" << c.W;
  }
}

// ---------------------------------------------------------------------------
// Against differences of the displacement.

TEST(DeruDifferences, StandardPointAtSeveralDips) {
  for (double dip : {25.0, 40.0, 65.0, 120.0}) {
    expect_matches_differences({2.3, 3.0, 10.0, 5.0, 8.0, dip, 1.0, 1.0}, 1e-9,
                               1e-2, 0.1);
  }
}

TEST(DeruDifferences, OtherElasticConstants) {
  expect_matches_differences({2.3, 3.0, 10.0, 5.0, 8.0, 40.0, 2.0, 1.0}, 1e-9,
                             1e-2, 0.1);
  expect_matches_differences({-4.0, 7.5, 12.0, 6.0, 9.0, 140.0, 0.5, 1.0},
                             1e-9, 1e-2, 0.1);
}

// Portable generator so the drawn geometries are the same everywhere.
struct SplitMix {
  std::uint64_t s;
  double uniform(double a, double b) {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return a + (b - a) * static_cast<double>(z >> 11) * 0x1.0p-53;
  }
};

TEST(DeruDifferences, RandomBuriedGeometries) {
  SplitMix rng{20240611};
  for (int n = 0; n < 40; ++n) {
    Case c;
    c.L = rng.uniform(2.0, 40.0);
    c.W = rng.uniform(2.0, 20.0);
    c.dip_deg = rng.uniform(10.0, 170.0);
    if (std::fabs(c.dip_deg - 90.0) < 3.0) c.dip_deg += 6.0;
    const double top = rng.uniform(1.0, 10.0);
    c.depth = top + c.W * std::sin(c.dip_deg * DEG);
    c.x = rng.uniform(-30.0, 30.0);
    c.y = rng.uniform(-30.0, 30.0);
    c.lambda = rng.uniform(0.5, 2.0);
    c.mu = 1.0;
    expect_matches_differences(c, 1e-8, 1e-2, 0.05);
  }
}

// ---------------------------------------------------------------------------
// Vertical patches.  okada_patch uses its vertical form at exactly +-90, so
// differences in x, y, L, W and depth see that form.  For the dip, the
// differences straddle vertical with the general form; okada_patch is
// accurate to about 1e-16/cos^2 there, so the steps stay a degree or more
// away and the h^2 and h^4 error terms are removed by extrapolation.

TEST(DeruVertical, AllDerivativesAtPlusAndMinusNinety) {
  for (double dip : {90.0, -90.0}) {
    for (const Case& c : {Case{2.3, 3.0, 10.0, 5.0, 8.0, dip, 1.0, 1.0},
                          Case{-6.0, -2.5, 20.0, 9.0, 12.0, dip, 2.0, 1.0},
                          Case{13.0, 0.7, 10.0, 5.0, 5.5, dip, 1.0, 1.0}}) {
      expect_matches_differences(c, 1e-6, 1e-2, 2.0);
    }
  }
}

TEST(DeruVertical, NearVerticalDipDerivativeIsSmoothThroughNinety) {
  // The dip derivative at 89.999, 90 and 90.001 must agree closely: the
  // displacement is analytic in the dip.
  const Case c{2.3, 3.0, 10.0, 5.0, 8.0, 90.0, 1.0, 1.0};
  const Vec9 mid = closed(c).ddip;
  for (double dip : {89.999, 90.001}) {
    Case n = c;
    n.dip_deg = dip;
    const Vec9 side = closed(n).ddip;
    EXPECT_LE(max_diff(side, mid), 1e-4 * max_abs(mid)) << dip;
  }
}

TEST(DeruVertical, WidthAndDepthFiniteAtNinety) {
  const Case c{2.3, 3.0, 10.0, 5.0, 8.0, 90.0, 1.0, 1.0};
  const AllDerivs a = closed(c);
  EXPECT_TRUE(all_finite(a.dw));
  EXPECT_TRUE(all_finite(a.dd));
  EXPECT_TRUE(all_finite(a.ddip));
  EXPECT_LT(max_abs(a.dw), 1.0);
  EXPECT_LT(max_abs(a.ddip), 10.0);
}

// ---------------------------------------------------------------------------
// Structural properties.

TEST(DeruProperties, LinearInEachSlip) {
  const Case c{2.3, 3.0, 10.0, 5.0, 8.0, 40.0, 1.0, 1.0};
  const AllDerivs unit = closed(c, 1.0, 1.0, 1.0);
  const AllDerivs scaled = closed(c, 2.0, -3.0, 0.5);
  const AllDerivs doubled = closed(c, 2.0, 2.0, 2.0);
  const double f[3] = {2.0, -3.0, 0.5};
  auto check = [&](const Vec9& u, const Vec9& s, const Vec9& d) {
    for (int i = 0; i < 9; ++i) {
      EXPECT_NEAR(s[i], f[i / 3] * u[i], 1e-14 * max_abs(u) * 4);
      EXPECT_NEAR(d[i], 2.0 * u[i], 1e-14 * max_abs(u) * 4);
    }
  };
  check(unit.dx, scaled.dx, doubled.dx);
  check(unit.dy, scaled.dy, doubled.dy);
  check(unit.dl, scaled.dl, doubled.dl);
  check(unit.dw, scaled.dw, doubled.dw);
  check(unit.dd, scaled.dd, doubled.dd);
  check(unit.ddip, scaled.ddip, doubled.ddip);
  const AllDerivs zero = closed(c, 0.0, 0.0, 0.0);
  EXPECT_EQ(max_abs(zero.dx), 0.0);
  EXPECT_EQ(max_abs(zero.ddip), 0.0);
}

TEST(DeruProperties, SlipDerivativesAreUnitSlipTriples) {
  const Case c{2.3, 3.0, 10.0, 5.0, 8.0, 40.0, 1.0, 1.0};
  const Vec9 u = okada_patch(make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, 1, 1, 1), c.x, c.y);
  const auto a = deru_u(make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, 3.0, -7.0, 0.25), c.x, c.y);
  const auto b = deru_u(make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, 0.0, 0.0, 0.0), c.x, c.y);
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 9; ++i) {
      if (i / 3 == j) {
        EXPECT_EQ(a[j][i], u[i]);
      } else {
        EXPECT_EQ(a[j][i], 0.0);
      }
      EXPECT_EQ(a[j][i], b[j][i]);
    }
  }
  // The slip derivatives carry the whole displacement: the sum of the
  // three, scaled by the slips, is the displacement for those slips.
  const Vec9 v = okada_patch(make_patch(c.L, c.W, c.depth, c.dip_deg, c.lambda, c.mu, 3.0, -7.0, 0.25), c.x, c.y);
  for (int i = 0; i < 9; ++i) {
    const double s = 3.0 * a[0][i] - 7.0 * a[1][i] + 0.25 * a[2][i];
    EXPECT_NEAR(s, v[i], 1e-14);
  }
}

TEST(DeruProperties, CentreLineZerosOfAlongStrikeDerivative) {
  // Strike-slip ux, dip-slip uy, uz and tensile uy, uz are even about the
  // centre line x = L/2, so their x-derivatives vanish there.
  for (double dip : {30.0, 90.0, 115.0}) {
    const DeruXY d =
        deru_x(make_patch(10.0, 5.0, 8.0, dip, 1.0, 1.0, 1.0, 1.0, 1.0), 5.0, 3.0);
    const double scale = std::max(max_abs(d.dx), max_abs(d.dy));
    for (int i : {0, 4, 5, 7, 8}) {
      EXPECT_LE(std::fabs(d.dx[i]), 1e-14 * scale) << "dip " << dip << " i " << i;
    }
    // and the odd ones do not vanish
    EXPECT_GT(std::fabs(d.dx[1]) + std::fabs(d.dx[2]), 1e-6 * scale);
  }
}

TEST(DeruProperties, LengthDerivativeIsTheFarEndAlone) {
  // u = F(x) - F(x - L), F being the contribution of one patch end, so
  // DL = F'(x - L).  A patch ending at the same far end but starting 1e5 km
  // earlier has u' = F(x - L + 1e5) - F(x - L), whose x-derivative is -DL
  // up to the negligible gradient of the distant start.
  const Case c{2.3, 3.0, 10.0, 5.0, 8.0, 40.0, 1.0, 1.0};
  const AllDerivs a = closed(c);
  const Vec9 far_end = fd(
      Case{c.x - c.L + 1e5, c.y, 1e5, c.W, c.depth, c.dip_deg, 1, 1}, P::X,
      1e-2);
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(a.dl[i], -far_end[i], 1e-7 * max_abs(a.dl));
  }
}

TEST(DeruKernels, EtaSingularCornerIsFinite) {
  // xi = 0, q = 0, eta < 0: R + eta = 0 at this corner.
  for (double dip : {30.0, 75.0, 120.0}) {
    const Patch patch{.sin_dip = std::sin(dip * DEG), .cos_dip = std::cos(dip * DEG), .alpha = 0.5,
                      .U1 = 1.0, .U2 = 1.0, .U3 = 1.0};
    const DeruXY k = deru1_x(patch, 0.0, -2.0, 0.0);
    EXPECT_TRUE(all_finite(k.dx)) << dip;
    EXPECT_TRUE(all_finite(k.dy)) << dip;
  }
}

// ---------------------------------------------------------------------------
// Singular geometry.

TEST(DeruSingular, PointOnQZeroLineOfBuriedPatch) {
  // depth 6, dip 45, y = 6: the point lies where the plane of the patch
  // meets the surface (q = 0 at every corner) and the field is smooth.
  for (double x : {2.3, -3.0, 14.0}) {
    const Case c{x, 6.0, 10.0, 5.0, 6.0, 45.0, 1.0, 1.0};
    const AllDerivs a = closed(c);
    for (const Vec9* v : {&a.dx, &a.dy, &a.dl, &a.dw, &a.dd, &a.ddip}) {
      EXPECT_TRUE(all_finite(*v)) << x;
    }
    expect_matches_differences(c, 1e-7, 1e-2, 0.05);
  }
}

TEST(DeruSingular, PointLevelWithPatchEnd) {
  // xi = 0 at two corners.
  for (double x : {0.0, 10.0}) {
    expect_matches_differences({x, 3.0, 10.0, 5.0, 8.0, 40.0, 1.0, 1.0}, 1e-7,
                               1e-2, 0.05);
  }
}

TEST(DeruSingular, DiscontinuousPointsGiveNonFinite) {
  // A patch reaching the surface (depth = W sin(dip)): its trace is the line
  // y = W cos(dip), 0 <= x <= L, where the displacement jumps; a surface
  // corner is a singular point.
  const double dip = 60.0;
  const double W = 4.0;
  const double depth = W * std::sin(dip * DEG);
  const double yt = W * std::cos(dip * DEG);
  for (double x : {0.0, 3.0, 10.0}) {
    const DeruXY d =
        deru_x(make_patch(10.0, W, depth, dip, 1.0, 1.0, 1.0, 1.0, 1.0), x, yt);
    EXPECT_FALSE(all_finite(d.dx) && all_finite(d.dy)) << x;
  }
  // Vertical outcropping patch, point on its trace.
  const Vec9 w = deru_w(make_patch(10.0, 5.0, 5.0, 90.0, 1, 1, 1, 1, 1), 4.0, 0.0);
  EXPECT_FALSE(all_finite(w));
}

// ---------------------------------------------------------------------------
// Close to the lines where the corner formulas degenerate although the
// displacement is smooth: q = 0 (the plane of the patch meets the surface),
// xi = 0 (level with a patch end) and, for a patch reaching the surface, the
// continuation of its trace beyond the ends.

Case buried(double L, double W, double top, double dip) {
  return {0, 0, L, W, top + W * std::sin(dip * DEG), dip, 1.0, 1.0};
}

TEST(DeruNearLines, BesideTheQZeroLineOfBuriedPatches) {
  for (double dip : {40.0, 120.0, 90.0}) {
    Case c = buried(10.0, 5.0, 2.0, dip);
    const double co = dip == 90.0 ? 0.0 : std::cos(dip * DEG);
    const double y_line = c.depth * co / std::sin(dip * DEG);
    for (double d : {1e-2, -1e-4, 1e-6, 0.0}) {
      for (double x : {-3.0, 4.3, 12.5}) {
        c.x = x;
        c.y = y_line + d;
        expect_matches_differences(c, 1e-6, 1e-2, dip == 90.0 ? 2.0 : 0.05);
      }
    }
  }
}

TEST(DeruNearLines, LevelWithThePatchEnds) {
  for (double dip : {40.0, 90.0, 150.0}) {
    Case c = buried(10.0, 5.0, 2.0, dip);
    for (double end : {0.0, 10.0}) {
      for (double d : {1e-2, -1e-4, 1e-6, 0.0}) {
        for (double y : {-4.0, 2.2}) {
          c.x = end + d;
          c.y = y;
          expect_matches_differences(c, 1e-6, 1e-2, dip == 90.0 ? 2.0 : 0.05);
        }
      }
    }
  }
}

// Mirror x -> L - x maps the patch onto itself: strike-slip ux, dip-slip
// uy, uz and tensile uy, uz are even, the others odd.  The same holds for
// their y, width, depth and dip derivatives.
void expect_mirror(const Vec9& a, const Vec9& b, double tol) {
  const double scale = std::max(max_abs(a), max_abs(b));
  for (int i : {0, 4, 5, 7, 8}) EXPECT_NEAR(a[i], b[i], tol * scale) << i;
  for (int i : {1, 2, 3, 6}) EXPECT_NEAR(a[i], -b[i], tol * scale) << i;
}

TEST(DeruNearLines, OnAndBesideTheTraceContinuationOfOutcroppingPatches) {
  // Beyond the far end (xi > 0 at every corner) the patch solution has no
  // cancellation, so differences of it are a sound reference; before the
  // start (xi < 0, R + xi -> 0 at the surface corners) the mirror image of
  // the far-end point is.
  for (double dip : {60.0, 90.0, 150.0}) {
    const double L = 10.0, W = 5.0;
    const double s = std::sin(dip * DEG);
    const double co = dip == 90.0 ? 0.0 : std::cos(dip * DEG);
    Case far{L + 2.5, 0.0, L, W, W * s, dip, 1.0, 1.0};
    for (double d : {1e-2, -1e-4, 1e-6, 0.0}) {
      far.y = W * co + d;
      if (d != 0.0) {
        expect_matches_differences(far, 1e-6, 1e-3, dip == 90.0 ? 2.0 : 0.02);
      }
      Case before = far;
      before.x = L - far.x;
      const AllDerivs a = closed(before);
      const AllDerivs b = closed(far);
      for (const Vec9* v : {&a.dx, &a.dy, &a.dl, &a.dw, &a.dd, &a.ddip}) {
        ASSERT_TRUE(all_finite(*v)) << dip << " " << d;
      }
      expect_mirror(a.dy, b.dy, 1e-7);
      expect_mirror(a.dw, b.dw, 1e-6);
      expect_mirror(a.dd, b.dd, 1e-6);
      expect_mirror(a.ddip, b.ddip, 1e-6);
    }
  }
}

// ---------------------------------------------------------------------------
// Gradients against the quad-precision reference table.

TEST(DeruReference, GradientsMatchTable) {
  const auto& rows = test::reference_rows();
  ASSERT_EQ(rows.size(), 170u);
  for (const test::ReferenceRow& r : rows) {
    // Every row, the near-vertical (dip 89.99) ones included.
    const double tol = 1e-10;
    const DeruXY d = deru_x(make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 1.0, 1.0, 1.0), r.x, r.y);
    const double scale = r.g_scale();
    EXPECT_LE(max_diff(d.dx, r.dx), tol * scale) << "row " << r.id;
    EXPECT_LE(max_diff(d.dy, r.dy), tol * scale) << "row " << r.id;
  }
}

}  // namespace
}  // namespace vadrel
