// Tests of the rectangular-patch surface displacement (Okada 1985).
//
// Expected values come from outside this code: published values, the
// quad-precision reference table in tests/data, and properties the elastic
// solution must have (symmetry, linearity in slip, affinity in alpha,
// continuity).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "model/okada.hpp"
#include "tests/reference_table.hpp"

namespace vadrel {
namespace {

double max_abs(const Vec9& u) {
  double m = 0.0;
  for (double v : u) m = std::max(m, std::fabs(v));
  return m;
}


// ---------------------------------------------------------------------------
// Reference table (tests/data/okada_surface.tsv): quad-precision values of an
// independent formulation, same patch frame as ours (origin above the start
// of the deep edge, patch rising up-dip towards +y for dips below 90).

using RefRow = test::ReferenceRow;
using test::reference_rows;

std::string category(int id) {
  for (const RefRow& r : reference_rows()) {
    if (r.id == id) return r.category;
  }
  return "";
}

// All three unit dislocations of a row, computed one slip at a time as the
// table was.
Vec9 compute_row(const RefRow& r) {
  Vec9 out{};
  for (int k = 0; k < 3; ++k) {
    const Patch patch = make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, k == 0 ? 1.0 : 0.0,
                                   k == 1 ? 1.0 : 0.0, k == 2 ? 1.0 : 0.0);
    const Vec9 u = okada_patch(patch, r.x, r.y);
    for (int c = 0; c < 3; ++c) out[3 * k + c] = u[3 * k + c];
  }
  return out;
}

// Worst deviation scaled by the row's largest |displacement|; infinity when
// any component is not finite.  Components below 1e-8 are returned as exact
// zeros, which is not a deviation.
double scaled_deviation(const RefRow& r, const Vec9& u) {
  if (!all_finite(u)) return INFINITY;
  double dev = 0.0;
  for (int i = 0; i < 9; ++i) {
    if (u[i] == 0.0 && std::fabs(r.u[i]) < 1e-8) continue;
    dev = std::max(dev, std::fabs(u[i] - r.u[i]));
  }
  return dev / max_abs(r.u);
}

TEST(OkadaReference, TableHasAllRows) {
  ASSERT_EQ(reference_rows().size(), 170u);
}

// Every row, including points on the degenerate lines (q = 0, the surface
// trace of an outcropping patch extended beyond its ends) and near-vertical
// dips, to far better than 1e-9 of the row's largest displacement.
TEST(OkadaReference, EveryRowMatches) {
  for (const RefRow& r : reference_rows()) {
    const double dev = scaled_deviation(r, compute_row(r));
    EXPECT_LE(dev, 1e-11) << "id " << r.id << " (" << category(r.id) << ")";
  }
}

// Points next to the degenerate lines, checked against the table's value and
// gradient at the point on the line.  With offsets h and 2h on both sides,
//   u(P+2h) + u(P-2h) - 4 (u(P+h) + u(P-h)) + 6 u(P) = O(h^4)
//   u(P+h) - u(P-h) - 2h grad u(P)                    = O(h^3),
// so away from rounding both vanish for small h.  The slips are large so
// that the clearing of components below 1e-8 plays no part.
TEST(OkadaReference, PointsNextToDegenerateLines) {
  const double slip = 1e8;
  for (const RefRow& r : reference_rows()) {
    const std::string cat = category(r.id);
    if (cat != "qzero_line" && cat != "outcrop_trace_ext") continue;
    const double scale = slip * max_abs(r.u);
    for (int dir = 0; dir < 2; ++dir) {
      const Vec9& grad = dir == 0 ? r.dx : r.dy;
      auto at = [&](double h) {
        RefRow moved = r;
        (dir == 0 ? moved.x : moved.y) += h;
        const Patch patch = make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, slip, slip, slip);
        return okada_patch(patch, moved.x, moved.y);
      };
      // At h = 1e-4 the h^4 term itself reaches 1e-11 on rows 0.05 km from
      // a patch end.
      for (double h : {1e-4, 1e-6, 1e-8}) {
        const double tol = (h > 1e-5 ? 1e-9 : 1e-11) * scale;
        const Vec9 p1 = at(h), m1 = at(-h), p2 = at(2 * h), m2 = at(-2 * h);
        for (int i = 0; i < 9; ++i) {
          const double even = p2[i] + m2[i] - 4.0 * (p1[i] + m1[i]) + 6.0 * slip * r.u[i];
          EXPECT_LE(std::fabs(even), tol)
              << "id " << r.id << " dir " << dir << " h " << h << " u" << i + 1;
          if (h > 1e-5) continue;  // the odd check needs h^3 times the third derivative small
          const double odd = p1[i] - m1[i] - 2.0 * h * slip * grad[i];
          EXPECT_LE(std::fabs(odd), tol)
              << "id " << r.id << " dir " << dir << " h " << h << " u" << i + 1;
        }
      }
    }
  }
}

// ---------------------------------------------------------------------------
// Published and hand-checked values.

// Rounded to five significant digits; dips 45 and 90 at x = 2, y = -4 of a
// 10 x 5 patch with its deep edge 8 deep, unit slips, lambda = mu.
TEST(OkadaPatch, FiveDigitReferenceValues) {
  const Vec9 ref45 = {0.035000,   0.033158,   -0.030277, -0.0068098, -0.0045033,
                      0.019973,   -0.042544,  -0.14109,  0.14446};
  const Vec9 ref90 = {0.045885,  0.032328,  -0.024594, -0.034326, -0.096039,
                      0.11651,   -0.013140, -0.076667, 0.066962};
  const Vec9 u45 = okada_patch(make_patch(10, 5, 8, 45, 1, 1, 1, 1, 1), 2, -4);
  const Vec9 u90 = okada_patch(make_patch(10, 5, 8, 90, 1, 1, 1, 1, 1), 2, -4);
  for (int i = 0; i < 9; ++i) {
    EXPECT_NEAR(u45[i], ref45[i], 5.01e-5 * std::fabs(ref45[i])) << "dip 45, u" << i + 1;
    EXPECT_NEAR(u90[i], ref90[i], 5.01e-5 * std::fabs(ref90[i])) << "dip 90, u" << i + 1;
  }
}

// Okada (1985) Table 2, finite source: x = 2, y = 3, d = 4, dip 70, L = 3,
// W = 2, lambda = mu.  Okada's d is the depth of the edge the patch rises
// from, at y = 0, with the patch occupying 0 <= xi <= L: the same frame as
// ours, so the inputs map one to one.  Four published digits.
TEST(OkadaPatch, Okada1985Table2FiniteSource) {
  const Vec9 ref = {-8.689e-3, -4.298e-3, -2.747e-3, -4.682e-3, -3.527e-2,
                    -3.564e-2, -2.660e-4, 1.056e-2,  3.214e-3};
  const Vec9 u = okada_patch(make_patch(3, 2, 4, 70, 1, 1, 1, 1, 1), 2, 3);
  for (int i = 0; i < 9; ++i)
    EXPECT_NEAR(u[i], ref[i], 5.01e-4 * std::fabs(ref[i])) << "u" << i + 1;
}

// ---------------------------------------------------------------------------
// Symmetry, sign conventions and linearity.

// Above the middle of the patch (x = L/2) the strike-slip field is odd in
// x - L/2 for uy and uz, and the dip-slip and tensile fields are odd for ux:
// those components vanish exactly.
TEST(OkadaPatch, CentreLineZeros) {
  for (double dip : {30.0, 45.0, 70.0, 90.0, 120.0}) {
    for (double y : {-12.0, -3.0, 0.0, 2.5, 9.0}) {
      const Vec9 u = okada_patch(make_patch(10, 5, 8, dip, 1, 1, 1, 1, 1), 5.0, y);
      EXPECT_EQ(u[1], 0.0) << "dip " << dip << " y " << y;
      EXPECT_EQ(u[2], 0.0) << "dip " << dip << " y " << y;
      EXPECT_EQ(u[3], 0.0) << "dip " << dip << " y " << y;
      EXPECT_EQ(u[6], 0.0) << "dip " << dip << " y " << y;
    }
  }
}

// Mirror symmetry x -> L - x: the strike-slip ux, and the dip-slip and
// tensile uy and uz are even, the other components odd.
TEST(OkadaPatch, MirrorSymmetryAlongStrike) {
  const double L = 14, W = 6, depth = 9;
  for (double dip : {25.0, 60.0, 90.0, 135.0}) {
    for (double x : {-7.0, 2.0, 16.5}) {
      for (double y : {-5.0, 1.0, 11.0}) {
        const Vec9 a = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x, y);
        const Vec9 b = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), L - x, y);
        const double tol = 1e-13 * max_abs(a);
        const int even[] = {0, 4, 5, 7, 8};
        const int odd[] = {1, 2, 3, 6};
        for (int i : even) EXPECT_NEAR(a[i], b[i], tol) << i;
        for (int i : odd) EXPECT_NEAR(a[i], -b[i], tol) << i;
      }
    }
  }
}

// Left-lateral strike slip: for U1 > 0 the side y > 0 moves towards -x, the
// side y < 0 towards +x.
TEST(OkadaPatch, StrikeSlipIsLeftLateral) {
  // Vertical patch from 1 km to 11 km depth under y = 0.
  for (double y : {0.5, 2.0, 10.0}) {
    const Vec9 left = okada_patch(make_patch(10, 10, 11, 90, 1, 1, 1, 0, 0), 5, y);
    const Vec9 right = okada_patch(make_patch(10, 10, 11, 90, 1, 1, 1, 0, 0), 5, -y);
    EXPECT_LT(left[0], 0.0) << y;
    EXPECT_GT(right[0], 0.0) << y;
    EXPECT_NEAR(left[0], -right[0], 1e-14);
  }
}

// Reverse dip slip: the hanging wall (y below the line depth*cos/sin where
// the patch plane meets the surface) rises, the footwall beyond it subsides.
TEST(OkadaPatch, DipSlipRaisesHangingWall) {
  // dip 45, deep edge 10 km, top 1 km deep under y = 9; the plane reaches the
  // surface at y = 10.
  const double depth = 10, W = 9 * std::sqrt(2.0);
  for (double x : {-2.0, 5.0, 12.0}) {
    const Vec9 hanging = okada_patch(make_patch(10, W, depth, 45, 1, 1, 0, 1, 0), x, 9.0);
    const Vec9 foot = okada_patch(make_patch(10, W, depth, 45, 1, 1, 0, 1, 0), x, 11.0);
    EXPECT_GT(hanging[5], 0.0) << x;
    EXPECT_LT(foot[5], 0.0) << x;
  }
}

// Mirroring the frame in y and replacing the dip by 180 - dip maps the patch
// onto itself but swaps its two sides, so the strike and dip slips change
// sign while the opening does not; the mirror also flips uy.
TEST(OkadaPatch, MirrorSymmetryAcrossStrike) {
  const double L = 12, W = 7, depth = 9;
  for (double dip : {20.0, 45.0, 80.0}) {
    for (double x : {-3.0, 4.0, 15.0}) {
      for (double y : {-6.0, 0.5, 8.0}) {
        const Vec9 a = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x, y);
        const Vec9 b = okada_patch(make_patch(L, W, depth, 180.0 - dip, 1, 1, 1, 1, 1), x, -y);
        const double sign[9] = {-1, 1, -1, -1, 1, -1, 1, -1, 1};
        for (int i = 0; i < 9; ++i)
          EXPECT_NEAR(b[i], sign[i] * a[i], 1e-13 * max_abs(a) + 1e-15)
              << "dip " << dip << " x " << x << " y " << y << " u" << i + 1;
      }
    }
  }
}

// Tensile opening of a shallow horizontal patch lifts the surface above it,
// symmetrically about the middle of the patch.
TEST(OkadaPatch, OpeningLiftsSurfaceAboveHorizontalPatch) {
  const Vec9 centre = okada_patch(make_patch(10, 5, 1, 0, 1, 1, 0, 0, 1), 5, 2.5);
  EXPECT_GT(centre[8], 0.0);
  EXPECT_NEAR(centre[6], 0.0, 1e-14);
  EXPECT_NEAR(centre[7], 0.0, 1e-14);
  const Vec9 a = okada_patch(make_patch(10, 5, 1, 0, 1, 1, 0, 0, 1), 5, 1.0);
  const Vec9 b = okada_patch(make_patch(10, 5, 1, 0, 1, 1, 0, 0, 1), 5, 4.0);
  EXPECT_NEAR(a[8], b[8], 1e-13);
  EXPECT_NEAR(a[7], -b[7], 1e-13);
}

TEST(OkadaPatch, ZeroSlipGivesExactZeros) {
  for (double dip : {10.0, 45.0, 89.99, 90.0, 150.0}) {
    const Vec9 u = okada_patch(make_patch(10, 5, 8, dip, 1, 1, 0, 0, 0), 3, -2);
    for (double v : u) EXPECT_EQ(v, 0.0) << dip;
  }
}

// The three triples depend only on their own slip, each linearly.
TEST(OkadaPatch, LinearInEachSlip) {
  const double x = 3.7, y = -6.2, L = 20, W = 8, depth = 12;
  for (double dip : {35.0, 90.0, 160.0}) {
    const Vec9 unit = okada_patch(make_patch(L, W, depth, dip, 3e10, 3e10, 1, 1, 1), x, y);
    const Vec9 scaled = okada_patch(make_patch(L, W, depth, dip, 3e10, 3e10, 2500, -700, 40), x, y);
    const double s[3] = {2500, -700, 40};
    for (int i = 0; i < 9; ++i)
      EXPECT_NEAR(scaled[i], s[i / 3] * unit[i], 1e-13 * std::fabs(s[i / 3] * unit[i]) + 1e-12)
          << "dip " << dip << " u" << i + 1;
    const Vec9 only2 = okada_patch(make_patch(L, W, depth, dip, 3e10, 3e10, 0, -700, 0), x, y);
    for (int i = 0; i < 9; ++i) {
      if (i / 3 == 1)
        EXPECT_EQ(only2[i], scaled[i]);
      else
        EXPECT_EQ(only2[i], 0.0);
    }
  }
}

// ---------------------------------------------------------------------------
// Elastic constants.

TEST(OkadaPatch, AlphaFromLameConstants) {
  EXPECT_DOUBLE_EQ(make_patch(1, 1, 1, 30, 1, 1, 0, 0, 0).alpha, 0.5);
  EXPECT_DOUBLE_EQ(make_patch(1, 1, 1, 30, 2, 1, 0, 0, 0).alpha, 1.0 / 3.0);
  EXPECT_DOUBLE_EQ(make_patch(1, 1, 1, 30, 6e10, 3e10, 0, 0, 0).alpha, 1.0 / 3.0);
}

// Every alpha-dependent term of the surface solution is proportional to
// alpha, so the displacement is affine in alpha: u(1/3) follows from u(1/2)
// and u(1) (lambda = 0).
TEST(OkadaPatch, AffineInAlpha) {
  for (double dip : {20.0, 70.0, 90.0, 110.0}) {
    const Vec9 a_half = okada_patch(make_patch(3, 2, 4, dip, 1, 1, 1, 1, 1), 2, 3);
    const Vec9 a_one = okada_patch(make_patch(3, 2, 4, dip, 0, 1, 1, 1, 1), 2, 3);
    const Vec9 a_third = okada_patch(make_patch(3, 2, 4, dip, 2, 1, 1, 1, 1), 2, 3);
    for (int i = 0; i < 9; ++i) {
      const double expect = a_one[i] + (4.0 / 3.0) * (a_half[i] - a_one[i]);
      EXPECT_NEAR(a_third[i], expect, 1e-13) << "dip " << dip << " u" << i + 1;
    }
  }
}

// Only the ratio lambda/mu matters.
TEST(OkadaPatch, OnlyRatioOfLameConstantsMatters) {
  const Vec9 a = okada_patch(make_patch(3, 2, 4, 70, 2, 1, 1, 1, 1), 2, 3);
  const Vec9 b = okada_patch(make_patch(3, 2, 4, 70, 6e10, 3e10, 1, 1, 1), 2, 3);
  for (int i = 0; i < 9; ++i) EXPECT_NEAR(a[i], b[i], 1e-15);
}

// ---------------------------------------------------------------------------
// Vertical and near-vertical patches.

TEST(OkadaPatch, NearVerticalDipsAreTreatedAsVertical) {
  EXPECT_EQ(make_patch(1, 1, 1, 90, 1, 1, 0, 0, 0).cos_dip, 0.0);
  EXPECT_EQ(make_patch(1, 1, 1, -90, 1, 1, 0, 0, 0).cos_dip, 0.0);
  EXPECT_EQ(make_patch(1, 1, 1, 90 + 5e-9, 1, 1, 0, 0, 0).cos_dip, 0.0);
  EXPECT_EQ(make_patch(1, 1, 1, 90 - 1e-8, 1, 1, 0, 0, 0).cos_dip, 0.0);
  EXPECT_NE(make_patch(1, 1, 1, 90 + 2e-8, 1, 1, 0, 0, 0).cos_dip, 0.0);
  const Vec9 v = okada_patch(make_patch(10, 5, 8, 90, 1, 1, 1, 1, 1), 2, -4);
  const Vec9 w = okada_patch(make_patch(10, 5, 8, 90 - 5e-9, 1, 1, 1, 1, 1), 2, -4);
  for (int i = 0; i < 9; ++i) EXPECT_EQ(v[i], w[i]);
}

// ---------------------------------------------------------------------------
// Degenerate lines.

// A corner with xi = 0, q = 0 and eta < 0 (an edge above the surface) has
// R + eta = 0; the corner term stays finite.  (On a vertical patch such a
// corner also has R + d~ = 0, so a dipping patch is used.)
TEST(OkadaChin, EtaSingularCornerIsFinite) {
  const double s45 = std::sqrt(0.5);
  // q = y sin - depth cos = 0 with y = depth at dip 45.
  for (double eta : {-1.5, -0.01, -20.0}) {
    const Patch patch{.depth = 4.0, .sin_dip = s45, .cos_dip = s45, .alpha = 0.5, .U1 = 1, .U2 = 1, .U3 = 1};
    const Vec9 g = chin(patch, 4.0, 0.0, eta);
    EXPECT_TRUE(all_finite(g)) << eta;
  }
  const double s60 = std::sin(PI / 3), c60 = std::cos(PI / 3);
  const double y = 3.0 * c60 / s60;  // q ~ 0 (rounding only)
  const Patch dip60{.depth = 3.0, .sin_dip = s60, .cos_dip = c60, .alpha = 1.0 / 3.0, .U1 = 0, .U2 = 2, .U3 = 0};
  const Vec9 h = chin(dip60, y, 0.0, -0.7);
  EXPECT_TRUE(all_finite(h));
}

// Far from the patch every component falls below 1e-8 and is cleared to an
// exact zero.
TEST(OkadaPatch, TinyComponentsAreClearedToZero) {
  const Vec9 u = okada_patch(make_patch(10, 5, 8, 60, 1, 1, 1, 1, 1), 3e4, -2e4);
  for (double v : u) EXPECT_EQ(v, 0.0);
}

TEST(OkadaPatch, APatchGivenOtherSlipsGivesIdenticalResults) {
  for (const RefRow& r : reference_rows()) {
    const Patch t = make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 0, 0, 0);
    const Vec9 a = okada_patch(make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 1, -2, 3), r.x, r.y);
    const Vec9 b = okada_patch(with_slips(t, 1, -2, 3), r.x, r.y);
    for (int i = 0; i < 9; ++i) {
      if (std::isnan(a[i]))
        EXPECT_TRUE(std::isnan(b[i]));
      else
        EXPECT_EQ(a[i], b[i]) << "id " << r.id;
    }
  }
}

// ---------------------------------------------------------------------------
// Accuracy next to the lines where the closed form degenerates, and at
// near-vertical dips.  Large slips keep the clearing of components below
// 1e-8 out of the comparisons (the field is linear in slip).

constexpr double kSlip = 1e8;

Vec9 big_slip(double x, double y, double L, double W, double depth, double dip) {
  return okada_patch(make_patch(L, W, depth, dip, 1, 2, kSlip, kSlip, kSlip), x, y);
}

// Fourth difference across a point P in direction (ex, ey):
// u(P+2h) + u(P-2h) - 4 (u(P+h) + u(P-h)) + 6 u(P) = h^4 u'''' + O(h^6).
// A value on a line that is off by e, or a field that loses digits within h
// of the line, shows up here as e (or the loss) times 6.
double fourth_difference(double x, double y, double ex, double ey, double h, double L,
                         double W, double depth, double dip) {
  const Vec9 c = big_slip(x, y, L, W, depth, dip);
  const Vec9 p1 = big_slip(x + h * ex, y + h * ey, L, W, depth, dip);
  const Vec9 m1 = big_slip(x - h * ex, y - h * ey, L, W, depth, dip);
  const Vec9 p2 = big_slip(x + 2 * h * ex, y + 2 * h * ey, L, W, depth, dip);
  const Vec9 m2 = big_slip(x - 2 * h * ex, y - 2 * h * ey, L, W, depth, dip);
  double worst = 0.0;
  for (int i = 0; i < 9; ++i)
    worst = std::max(worst, std::fabs(p2[i] + m2[i] - 4.0 * (p1[i] + m1[i]) + 6.0 * c[i]));
  return worst / max_abs(c);
}

// Beyond the start of an outcropping patch (x < 0), on and next to the line
// that continues its surface trace, R + xi nearly vanishes at the shallow
// corners.  The mirror point x -> L - x lies beyond the far end, where
// R + xi = 2 xi has no cancellation, and the field has the parity of
// MirrorSymmetryAlongStrike there.
TEST(OkadaSingularLines, TraceExtensionMatchesMirrorPoint) {
  const double L = 12.0, W = 6.0;
  for (double dip : {90.0, 60.0, 120.0, 30.0, 150.0, 89.999, 45.0}) {
    const double s = std::sin(PI * dip / 180), c = dip == 90.0 ? 0.0 : std::cos(PI * dip / 180);
    // top exactly at the surface, and a hair below or above it
    for (double top : {0.0, 1e-6, -1e-6}) {
      const double depth = W * s + top;
      for (double off : {0.0, 1e-2, -1e-2, 1e-4, -1e-4, 1e-6, -1e-6, 1e-9}) {
        for (double before : {0.3, 4.0}) {
          const double x = -before, y = W * c + off;
          const Vec9 a = big_slip(x, y, L, W, depth, dip);
          const Vec9 b = big_slip(L - x, y, L, W, depth, dip);
          ASSERT_TRUE(all_finite(a)) << dip << " " << top << " " << off;
          const double tol = 1e-12 * max_abs(b);
          const int even[] = {0, 4, 5, 7, 8};
          const int odd[] = {1, 2, 3, 6};
          for (int i : even)
            EXPECT_NEAR(a[i], b[i], tol) << "dip " << dip << " top " << top << " off " << off;
          for (int i : odd)
            EXPECT_NEAR(a[i], -b[i], tol) << "dip " << dip << " top " << top << " off " << off;
        }
      }
    }
  }
}

// Across the line q = 0 of a buried patch, and across the planes x = 0 and
// x = L (xi = 0 at two corners), the field is smooth: the value on the line
// fits its neighbours at 1e-2, 1e-4, 1e-6 and 1e-8.  The h^4 term scales as
// (h/d)^4 with d the distance to the nearest patch edge (here >= 0.7 km):
// up to ~1e-5 of the field for h = 1e-2, below 1e-13 for h <= 1e-4.
TEST(OkadaSingularLines, FieldIsSmoothAcrossQZeroAndXiZero) {
  const double L = 9.0, W = 4.0;
  for (double dip : {90.0, 70.0, 110.0, 45.0, 35.0, 89.999, 90.001}) {
    const double s = std::sin(PI * dip / 180), c = dip == 90.0 ? 0.0 : std::cos(PI * dip / 180);
    for (double top : {0.7, 2.0}) {
      const double depth = top + W * s;
      const double yq = depth * c / s;  // q = 0
      for (double h : {1e-2, 1e-4, 1e-6, 1e-8}) {
        const double tol = h > 1e-3 ? 2e-5 : 1e-11;
        for (double x : {-3.0, 2.0, 11.5}) {
          EXPECT_LE(fourth_difference(x, yq, 0, 1, h, L, W, depth, dip), tol)
              << "q = 0: dip " << dip << " top " << top << " x " << x << " h " << h;
        }
        for (double y : {-5.0, 1.0, yq}) {
          for (double x : {0.0, L}) {
            EXPECT_LE(fourth_difference(x, y, 1, 0, h, L, W, depth, dip), tol)
                << "xi = 0: dip " << dip << " top " << top << " x " << x << " y " << y
                << " h " << h;
          }
        }
      }
    }
  }
}

// Near vertical the general-dip terms must approach the vertical ones
// smoothly: (u(90 - e) + u(90 + e))/2 - u(90) = O(e^2), and the central
// difference in dip is the same for e = 1e-5 and 1e-7 degrees.
TEST(OkadaNearVertical, ConvergesSmoothlyToVertical) {
  const double L = 15, W = 8;
  for (double top : {3.0, 0.05}) {
    const double depth = top + W;
    for (double x : {-4.0, 7.0, 15.2}) {
      for (double y : {-6.0, -0.3, 0.4, 9.0}) {
        const Vec9 v = big_slip(x, y, L, W, depth, 90.0);
        const double scale = max_abs(v);
        Vec9 slope[2];
        int n = 0;
        for (double e : {1e-3, 1e-5, 1e-7}) {
          const Vec9 lo = big_slip(x, y, L, W, depth, 90.0 - e);
          const Vec9 hi = big_slip(x, y, L, W, depth, 90.0 + e);
          const double tol = (e > 1e-4 ? 1e-7 : 1e-11) * scale;
          for (int i = 0; i < 9; ++i)
            EXPECT_NEAR(0.5 * (lo[i] + hi[i]), v[i], tol)
                << "x " << x << " y " << y << " top " << top << " e " << e << " u" << i + 1;
          if (e < 1e-4) {
            for (int i = 0; i < 9; ++i) slope[n][i] = (hi[i] - lo[i]) / (2 * e);
            ++n;
          }
        }
        // 1e-7 degrees: rounding of 1e-16 of the field over 1.7e-9 rad.
        for (int i = 0; i < 9; ++i)
          EXPECT_NEAR(slope[0][i], slope[1][i], 1e-5 * scale)
              << "x " << x << " y " << y << " top " << top << " u" << i + 1;
      }
    }
  }
}

// A patch with sin(dip) < 0 rises from its reference edge the other way.
// Summing the printed corner terms directly (accurate at these dips) must
// give the same field.
TEST(OkadaNegativeDip, MatchesDirectCornerSum) {
  const double L = 10, W = 5, depth = 3;
  for (double dip : {-30.0, -60.0, -120.0, -150.0}) {
    const double s = std::sin(PI * dip / 180), c = std::cos(PI * dip / 180);
    const double p_of_y = depth * s;
    for (double x : {-2.0, 4.0, 13.0}) {
      for (double y : {-7.0, 0.5, 6.0}) {
        const double p = y * c + p_of_y;
        Vec9 sum{};
        const double xi[4] = {x, x, x - L, x - L};
        const double eta[4] = {p, p - W, p, p - W};
        const double sign[4] = {1, -1, -1, 1};
        for (int k = 0; k < 4; ++k) {
          const Patch patch{.depth = depth, .sin_dip = s, .cos_dip = c, .alpha = 0.5, .U1 = 1, .U2 = 1, .U3 = 1};
          const Vec9 f = chin(patch, y, xi[k], eta[k]);
          for (int i = 0; i < 9; ++i) sum[i] += sign[k] * f[i];
        }
        const Vec9 u = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x, y);
        for (int i = 0; i < 9; ++i)
          EXPECT_NEAR(u[i], sum[i], 1e-12 * max_abs(sum) + 1e-15)
              << "dip " << dip << " x " << x << " y " << y << " u" << i + 1;
      }
    }
  }
}

// Near -90 the rectangle seen from its other edge is near-vertical with
// sin > 0, and the field approaches the vertical one smoothly.
TEST(OkadaNegativeDip, ConvergesSmoothlyToMinus90) {
  const double L = 10, W = 5, depth = 3;
  for (double y : {-4.0, 0.7, 5.0}) {
    const Vec9 v = big_slip(2.0, y, L, W, depth, -90.0);
    const Vec9 lo = big_slip(2.0, y, L, W, depth, -90.0 - 1e-5);
    const Vec9 hi = big_slip(2.0, y, L, W, depth, -90.0 + 1e-5);
    for (int i = 0; i < 9; ++i)
      EXPECT_NEAR(0.5 * (lo[i] + hi[i]), v[i], 1e-11 * max_abs(v)) << y << " u" << i + 1;
  }
}

// ---------------------------------------------------------------------------
// The surface trace of a patch that reaches the surface.

// Across the trace the displacement jumps by the dislocation: with the
// patch normal n = (0, -sin, cos) and up-dip direction (0, cos, sin),
// u(side n points to) - u(other side) = U1 (1, 0, 0) + U2 (0, cos, sin)
// + U3 (0, -sin, cos).  At the surface n points to y below the trace for
// sin > 0.  (Closer than about 1e-7 km the rounding of the edge depth,
// ~1e-15 km, starts to show as a relative 1e-15/h.)
TEST(OkadaTrace, JumpAcrossTraceEqualsSlip) {
  const double L = 20, W = 6, h = 1e-7;
  for (double dip : {90.0, 60.0, 120.0, 30.0}) {
    const double s = std::sin(PI * dip / 180), c = dip == 90.0 ? 0.0 : std::cos(PI * dip / 180);
    const double depth = W * s, yt = W * c;
    const Vec9 below = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), 8.0, yt - h);
    const Vec9 above = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), 8.0, yt + h);
    const Vec9 jump = {1, 0, 0, 0, c, s, 0, -s, c};
    for (int i = 0; i < 9; ++i)
      EXPECT_NEAR(below[i] - above[i], jump[i], 1e-6) << "dip " << dip << " u" << i + 1;
  }
}

// On the trace itself, ends and corners included, there is no value: all
// nine components are NaN.  Next to it, beyond its ends and above a patch
// buried just below the surface the field is finite.
TEST(OkadaTrace, NoValueOnTraceOfOutcroppingPatch) {
  const double L = 20, W = 6;
  for (double dip : {90.0, 60.0, 120.0, 89.99, -60.0}) {
    const double s = std::sin(PI * dip / 180), c = dip == 90.0 ? 0.0 : std::cos(PI * dip / 180);
    // For sin < 0 the shallow edge is the reference edge.
    const double depth = s > 0 ? W * s : 0.0;
    const double yt = s > 0 ? W * c : 0.0;
    for (double x : {0.0, 8.0, L}) {
      const Vec9 on = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x, yt);
      for (double v : on) EXPECT_TRUE(std::isnan(v)) << "dip " << dip << " x " << x;
      const Vec9 off = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x + 1e-6, yt + 1e-6);
      EXPECT_TRUE(all_finite(off)) << "dip " << dip << " x " << x;
    }
    for (double x : {-1e-6, -0.5, L + 1e-6, L + 3}) {
      const Vec9 ext = okada_patch(make_patch(L, W, depth, dip, 1, 1, 1, 1, 1), x, yt);
      EXPECT_TRUE(all_finite(ext)) << "dip " << dip << " x " << x;
    }
    if (s > 0) {
      const Vec9 buried = okada_patch(make_patch(L, W, depth + 1e-3, dip, 1, 1, 1, 1, 1), 8.0, yt);
      EXPECT_TRUE(all_finite(buried)) << "dip " << dip;
    }
  }
}

// Several slips at once give, slip by slip, exactly what one slip at a time
// gives: dips either side of vertical and past it (sin < 0), a point on the
// trace of an outcropping patch (NaN for every slip), slips with zeros.
TEST(OkadaPatch, SeveralSlipsAtOnceAreEachSlipAlone) {
  const std::vector<Vec3> slips = {{1.0, 0.0, 0.0}, {0.0, 2.5, 0.0}, {0.0, 0.0, -1.0}, {300.0, -120.0, 7.0}};
  const struct {
    double dip, depth, x, y;
  } cases[] = {{20.0, 8.0, 3.0, -4.0}, {89.9999, 5.0, 12.0, 1.0}, {90.0, 5.0, -2.0, 3.0},
               {135.0, 9.0, 4.0, 2.0}, {250.0, 9.0, 4.0, 2.0},   {60.0, 0.0, 5.0, 0.0}};
  for (const auto& c : cases) {
    const Patch trig = make_patch(10.0, 6.0, c.depth, c.dip, 3.0e10, 3.0e10, 0, 0, 0);
    std::vector<Vec9> all(slips.size());
    okada_patch_slips(trig, slips, c.x, c.y, all.data());
    for (std::size_t j = 0; j < slips.size(); ++j) {
      const Vec9 one = okada_patch(with_slips(trig, slips[j][0], slips[j][1], slips[j][2]), c.x, c.y);
      for (int k = 0; k < 9; ++k) {
        if (std::isnan(one[k])) {
          EXPECT_TRUE(std::isnan(all[j][k])) << c.dip << ' ' << j << ' ' << k;
        } else {
          EXPECT_EQ(all[j][k], one[k]) << c.dip << ' ' << j << ' ' << k;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vadrel
