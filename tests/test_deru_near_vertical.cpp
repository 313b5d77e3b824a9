// Derivatives of the patch displacement at near-vertical dips, and the
// fused corner pass (patch_jacobian, patch_strain).
//
// Expected values come from tests/data/deru_near_vertical.tsv: central
// differences of the closed-form displacement evaluated with 110 digits by
// tests/data/gen_deru_near_vertical.py (see its README), at dips within
// 0.01 degrees of +90 and -90 and at eight ordinary dips.  Other checks
// compare the two independent x/y evaluations (the algebraic gradient
// kernel and the forward-differentiated displacement) and the linearity in
// the slips.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "derivatives/deru.hpp"
#include "derivatives/partials.hpp"
#include "model/okada.hpp"
#include "tests/reference_table.hpp"

namespace vadrel {
namespace {

constexpr double DEG = PI / 180.0;

// Scaled errors of 1e-12: the evaluation reaches a few 1e-14.
constexpr double TOL = 1e-12;

enum Kind { U, DX, DY, DL, DW, DDEPTH, DDIP, N_KINDS };
const char* const kKindNames[N_KINDS] = {"u", "x", "y", "L", "W", "depth", "dip"};

struct Row {
  int id = 0;
  double x = 0, y = 0, L = 0, W = 0, depth = 0, dip = 0, lambda = 0, mu = 0;
  Vec9 v[N_KINDS]{};  // unit-slip displacement and its derivatives
};

const std::vector<Row>& rows() {
  static const std::vector<Row> table = [] {
    std::vector<Row> out;
    for (const auto& f : test::table_rows("deru_near_vertical.tsv", 9 + 9 * N_KINDS)) {
      Row r;
      r.id = static_cast<int>(f[0]);
      r.x = f[1];
      r.y = f[2];
      r.L = f[3];
      r.W = f[4];
      r.depth = f[5];
      r.dip = f[6];
      r.lambda = f[7];
      r.mu = f[8];
      for (int k = 0; k < N_KINDS; ++k)
        for (int i = 0; i < 9; ++i) r.v[k][i] = f[9 + 9 * k + i];
      out.push_back(r);
    }
    return out;
  }();
  return table;
}

double max_abs(const Vec9& a) {
  double m = 0.0;
  for (double v : a) m = std::max(m, std::fabs(v));
  return m;
}

double scaled_error(const Vec9& got, const Vec9& want) {
  double e = 0.0;
  for (int i = 0; i < 9; ++i) {
    const double d = std::fabs(got[i] - want[i]);
    e = std::max(e, std::isfinite(d) ? d : INFINITY);
  }
  return e / max_abs(want);
}

PatchJacobian jacobian(const Row& r, double U1 = 1, double U2 = 1, double U3 = 1) {
  return patch_jacobian(make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, U1, U2, U3), r.x, r.y);
}

void expect_row(const Row& r, Kind k, const Vec9& got, double tol = TOL) {
  EXPECT_LE(scaled_error(got, r.v[k]), tol)
      << "d/d" << kKindNames[k] << " row " << r.id << " dip " << r.dip << " x " << r.x
      << " y " << r.y;
}

// ---------------------------------------------------------------------------
// The table itself.

TEST(DeruNearVerticalTable, CoversBothVerticalsFromBothSides) {
  std::set<double> dips;
  for (const Row& r : rows()) dips.insert(r.dip);
  for (double base : {90.0, -90.0}) {
    EXPECT_TRUE(dips.count(base)) << base;
    for (double o : {0.01, 0.001, 0.0001, 0.00001}) {
      EXPECT_TRUE(dips.count(base - o)) << base - o;
      EXPECT_TRUE(dips.count(base + o)) << base + o;
    }
  }
  EXPECT_EQ(rows().size(), 260u);
}

// ---------------------------------------------------------------------------
// The fused pass against the table, every derivative kind.

TEST(DeruNearVertical, FusedJacobianMatchesTable) {
  for (const Row& r : rows()) {
    const PatchJacobian j = jacobian(r);
    expect_row(r, DX, j.dx);
    expect_row(r, DY, j.dy);
    expect_row(r, DL, j.dL);
    expect_row(r, DW, j.dW);
    expect_row(r, DDEPTH, j.ddepth);
    expect_row(r, DDIP, j.ddip);
  }
}

TEST(DeruNearVertical, FusedDisplacementMatchesTableAndOkadaPatch) {
  for (const Row& r : rows()) {
    const PatchJacobian j = jacobian(r, 2.0, -3.0, 0.5);
    expect_row(r, U, j.unit);
    const Vec9 u = okada_patch(make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 2.0, -3.0, 0.5), r.x, r.y);
    EXPECT_LE(scaled_error(j.u, u), TOL) << "row " << r.id;
  }
}

TEST(DeruNearVertical, StrainKernelMatchesTable) {
  for (const Row& r : rows()) {
    const DeruXY d = patch_strain(make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 1, 1, 1), r.x, r.y);
    expect_row(r, DX, d.dx);
    expect_row(r, DY, d.dy);
  }
}

// The entry points for one derivative each.
TEST(DeruNearVertical, SingleDerivativeEntryPointsMatchTable) {
  for (const Row& r : rows()) {
    const Patch patch = make_patch(r.L, r.W, r.depth, r.dip, r.lambda, r.mu, 1, 1, 1);
    const DeruXY xy = deru_x(patch, r.x, r.y);
    expect_row(r, DX, xy.dx);
    expect_row(r, DY, xy.dy);
    expect_row(r, DL, deru_l(patch, r.x, r.y));
    expect_row(r, DW, deru_w(patch, r.x, r.y));
    expect_row(r, DDEPTH, deru_d(patch, r.x, r.y));
    expect_row(r, DDIP, deru_delta(patch, r.x, r.y));
  }
}

// ---------------------------------------------------------------------------
// Properties of the fused pass.

TEST(DeruFused, LinearInEachSlip) {
  const double U[3] = {2.0, -3.0, 0.5};
  for (const Row& r : {rows()[0], rows()[47], rows()[203]}) {
    const PatchJacobian unit = jacobian(r);
    const PatchJacobian s = jacobian(r, U[0], U[1], U[2]);
    const Vec9* a[] = {&unit.dx, &unit.dy, &unit.dL, &unit.dW, &unit.ddepth, &unit.ddip};
    const Vec9* b[] = {&s.dx, &s.dy, &s.dL, &s.dW, &s.ddepth, &s.ddip};
    for (int k = 0; k < 6; ++k) {
      for (int i = 0; i < 9; ++i) {
        EXPECT_NEAR((*b[k])[i], U[i / 3] * (*a[k])[i], 1e-15 * max_abs(*a[k])) << k << " " << i;
      }
    }
    EXPECT_EQ(s.unit, unit.unit);
  }
}

// The x/y gradient has two independent evaluations: Okada's algebraic
// gradient formulas (patch_strain) and the forward-differentiated
// displacement (patch_jacobian).  They must agree everywhere, also at dips
// and points the table does not hold.
TEST(DeruFused, TwoGradientEvaluationsAgree) {
  for (double dip : {-170.0, -120.0, -89.9995, -60.0, 5.0, 45.0, 75.0, 89.9995, 90.0, 110.0, 179.0}) {
    for (double x : {-13.0, 2.5, 7.0, 31.0}) {
      for (double y : {-9.0, -0.7, 1.9, 12.0}) {
        const double L = 11.0, W = 7.0, depth = 8.0;
        const PatchJacobian j = patch_jacobian(make_patch(L, W, depth, dip, 1.5, 1.0, 1, 1, 1), x, y);
        const DeruXY d = patch_strain(make_patch(L, W, depth, dip, 1.5, 1.0, 1, 1, 1), x, y);
        const double scale = std::max(max_abs(j.dx), max_abs(j.dy));
        for (int i = 0; i < 9; ++i) {
          EXPECT_NEAR(d.dx[i], j.dx[i], TOL * scale) << dip << " " << x << " " << y;
          EXPECT_NEAR(d.dy[i], j.dy[i], TOL * scale) << dip << " " << x << " " << y;
        }
      }
    }
  }
}

TEST(DeruFused, NonFiniteOnTheTraceOfAnOutcroppingPatch) {
  // Dip 89.999, shallow edge at the surface above y = W cos(dip).
  const double dip = 89.999, W = 5.0;
  const double depth = W * std::sin(dip * DEG), yt = W * std::cos(dip * DEG);
  for (double x : {0.0, 3.0, 8.0}) {
    EXPECT_FALSE(all_finite(patch_jacobian(make_patch(8.0, W, depth, dip, 1, 1, 1, 1, 1), x, yt))) << x;
    EXPECT_FALSE(all_finite(patch_strain(make_patch(8.0, W, depth, dip, 1, 1, 1, 1, 1), x, yt))) << x;
  }
  // 0.1 km off the trace everything is finite.
  EXPECT_TRUE(all_finite(patch_jacobian(make_patch(8.0, W, depth, dip, 1, 1, 1, 1, 1), 3.0, yt + 0.1)));
}

// ---------------------------------------------------------------------------
// The closed-form range partials of a near-vertical segment: the position,
// length, width, depth and dip columns are the table's derivatives turned
// to the map and projected on the look vector.

TEST(DeruNearVertical, RangePartialsOfASteepSegmentMatchTable) {
  LookGeometry look;
  look.vcard_set = true;
  look.plook = {-0.6, -0.1, 0.7937};
  int checked = 0;
  for (const Row& r : rows()) {
    if (std::fabs(std::fabs(r.dip) - 90.0) > 0.0011) continue;
    // Strike 90: patch frame x = east, y = north.
    Segment seg;
    seg.strike = 90.0;
    seg.depth = r.depth;
    seg.dip = r.dip;
    seg.lambda = r.lambda;
    seg.mu = r.mu;
    seg.U1 = 1.0;
    seg.U2 = 1.0;
    seg.U3 = 1.0;
    seg.L = r.L;
    seg.W = r.W;
    const PartialsResult p = compute_partials_exact(seg, look, r.x, r.y);
    auto range = [&](const Vec9& d) {
      double e = 0.0, n = 0.0, z = 0.0;
      for (int j = 0; j < 3; ++j) {
        e += d[3 * j];
        n += d[3 * j + 1];
        z += d[3 * j + 2];
      }
      return look.plook[0] * e + look.plook[1] * n + look.plook[2] * z;
    };
    auto scale = [&](Kind k) {
      double s = 0.0;
      for (double v : r.v[k]) s += std::fabs(v);
      return s;
    };
    // D: U1, U2, U3, X, Y, L, W, depth, dip (per degree), strike.  Moving
    // the segment origin east moves the point west in the patch frame.
    const struct {
      int col;
      Kind kind;
      double factor;
    } cols[] = {{3, DX, -1.0}, {4, DY, -1.0}, {5, DL, 1.0}, {6, DW, 1.0},
                {7, DDEPTH, 1.0}, {8, DDIP, DEG}};
    for (const auto& c : cols) {
      EXPECT_NEAR(p.D[c.col], c.factor * range(r.v[c.kind]),
                  TOL * std::fabs(c.factor) * scale(c.kind))
          << "column " << c.col << " row " << r.id;
    }
    ++checked;
  }
  EXPECT_GT(checked, 100);
}

}  // namespace
}  // namespace vadrel
