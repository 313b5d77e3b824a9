// Tests of the batch forms of the rectangular-patch displacement.
//
// Expected values come from the quad-precision reference table and from the
// scalar okada_patch(), an independent code path.  The batch sums the corner
// terms in another order and with other logarithm and arctangent routines,
// so where Chinnery's corner sum cancels (far from a small patch) the two
// differ by rounding of the corner terms, not of the result: agreement is
// required to 1e-13 of the point's largest component, or to 1e-14 of the
// largest corner term where that is larger (about 45 roundings of it).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "model/okada.hpp"
#include "model/okada_batch.hpp"
#include "tests/reference_table.hpp"

namespace vadrel {
namespace {

using BatchFn = void (*)(const Patch&, const double*, const double*, std::size_t, double* const[9]);

struct Shape {
  double L, W, depth, dip, lambda = 1.0, mu = 1.0;
};

struct Slip {
  double U1 = 1.0, U2 = 1.0, U3 = 1.0;
};

// Runs a batch form; result[i] is the Vec9 of point i.
std::vector<Vec9> run(BatchFn fn, const Shape& g, const Slip& s, const std::vector<double>& xs,
                      const std::vector<double>& ys) {
  std::vector<double> store[9];
  double* out[9];
  for (int k = 0; k < 9; ++k) {
    store[k].assign(xs.size(), -7.0);
    out[k] = store[k].data();
  }
  fn(make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, s.U1, s.U2, s.U3), xs.data(), ys.data(),
     xs.size(), out);
  std::vector<Vec9> r(xs.size());
  for (std::size_t i = 0; i < xs.size(); ++i)
    for (int k = 0; k < 9; ++k) r[i][k] = store[k][i];
  return r;
}

double max_abs(const Vec9& u) {
  double m = 0.0;
  for (double v : u) m = std::max(m, std::fabs(v));
  return m;
}

// Largest finite corner term of Chinnery's sum at (x, y), from the scalar
// corner function (a patch with sin < 0 is described from its other long
// edge, as okada_patch does).
double corner_magnitude(const Shape& g, const Slip& s, double x, double y) {
  const Patch t = make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, 0, 0, 0);
  double sd = t.sin_dip, cd = t.cos_dip, depth = g.depth, U1 = s.U1;
  if (sd < 0.0) {
    y -= g.W * cd;
    depth -= g.W * sd;
    sd = -sd;
    cd = -cd;
    U1 = -U1;
  }
  const double p = y * cd + depth * sd;
  double m = 0.0;
  for (const double xi : {x, x - g.L})
    for (const double eta : {p, p - g.W})
      for (const double v : chin(Patch{.depth = depth, .sin_dip = sd, .cos_dip = cd, .alpha = t.alpha,
                                       .U1 = U1, .U2 = s.U2, .U3 = s.U3},
                                 y, xi, eta))
        if (std::isfinite(v)) m = std::max(m, std::fabs(v));
  return m;
}

// Batch against okada_patch point by point: the same NaNs, the same exact
// zeros (unless a value lies within the tolerance of the 1e-8 clearing
// threshold) and agreement to rounding elsewhere.
void expect_agrees_with_scalar(BatchFn fn, const Shape& g, const Slip& s,
                               const std::vector<double>& xs, const std::vector<double>& ys,
                               const std::string& what) {
  const std::vector<Vec9> got = run(fn, g, s, xs, ys);
  for (std::size_t i = 0; i < xs.size(); ++i) {
    const Vec9 ref = okada_patch(make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, s.U1, s.U2, s.U3), xs[i], ys[i]);
    const double tol = std::max(1e-13 * max_abs(ref), 1e-14 * corner_magnitude(g, s, xs[i], ys[i]));
    for (int k = 0; k < 9; ++k) {
      const std::string where = what + " dip " + std::to_string(g.dip) + " x " +
                                std::to_string(xs[i]) + " y " + std::to_string(ys[i]) + " u" +
                                std::to_string(k + 1);
      ASSERT_EQ(std::isnan(got[i][k]), std::isnan(ref[k])) << where;
      if (std::isnan(ref[k])) continue;
      EXPECT_LE(std::fabs(got[i][k] - ref[k]), tol) << where;
      if (std::fabs(std::max(std::fabs(got[i][k]), std::fabs(ref[k])) - 1e-8) > tol) {
        EXPECT_EQ(got[i][k] == 0.0, ref[k] == 0.0) << where;
      }
    }
  }
}

// The lane forms, each test run for both; a form the processor lacks is
// skipped (the dispatch would fall back to a narrower one).
struct LaneForm {
  const char* name;
  BatchFn fn;
  bool (*available)();
};

class OkadaBatchLanes : public testing::TestWithParam<LaneForm> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "processor without the " << GetParam().name << " kernel";
  }
  static BatchFn lane() { return GetParam().fn; }
};

INSTANTIATE_TEST_SUITE_P(Forms, OkadaBatchLanes,
                         testing::Values(LaneForm{"avx2", okada_patch_batch_avx2, batch_has_avx2},
                                         LaneForm{"avx512", okada_patch_batch_avx512,
                                                  batch_has_avx512}),
                         [](const testing::TestParamInfo<LaneForm>& i) { return std::string(i.param.name); });

// ---------------------------------------------------------------------------
// Point sets near the lines where the closed form degenerates (the same
// situations as the scalar tests), each with its patch.

struct Case {
  std::string name;
  Shape g;
  std::vector<double> xs, ys;
  void add(double x, double y) {
    xs.push_back(x);
    ys.push_back(y);
  }
};

double sin_deg(double d) { return std::sin(PI * d / 180.0); }
double cos_deg(double d) { return std::fabs(std::fabs(d) - 90.0) <= 1e-8 ? 0.0 : std::cos(PI * d / 180.0); }

std::vector<Case> degenerate_cases() {
  std::vector<Case> cases;
  const double offs[] = {0.0, 1e-2, -1e-2, 1e-4, -1e-4, 1e-6, -1e-6, 1e-9, -1e-9};
  // The line q = 0 of a buried patch, and the planes x = 0 and x = L.
  for (double dip : {90.0, 70.0, 110.0, 45.0, 35.0, 120.0, 89.99, 89.999, 90.001, 90.01}) {
    for (double top : {0.7, 2.0}) {
      const double s = sin_deg(dip), c = cos_deg(dip), L = 9.0, W = 4.0;
      Case k{"q = 0 and xi = 0", {L, W, top + W * s, dip}, {}, {}};
      const double yq = k.g.depth * c / s;
      for (double x : {-3.0, 0.0, 2.0, L, 11.5})
        for (double o : offs) k.add(x, yq + o);
      for (double y : {-5.0, 1.0})
        for (double o : offs) {
          k.add(o, y);
          k.add(L + o, y);
        }
      cases.push_back(k);
    }
  }
  // The trace of an outcropping patch (top at, just below and just above
  // the surface), its continuation beyond the ends, and the trace itself.
  for (double dip : {90.0, 60.0, 120.0, 30.0, 150.0, 45.0, 89.99, 89.999, 90.01}) {
    for (double top : {0.0, 1e-6, -1e-6}) {
      const double s = sin_deg(dip), c = cos_deg(dip), L = 12.0, W = 6.0;
      Case k{"trace", {L, W, W * s + top, dip}, {}, {}};
      for (double x : {-4.0, -0.3, -1e-6, 0.0, 8.0, L, L + 1e-6, L + 0.3, L + 4.0}) {
        // Below a corner above the surface the field is unbounded and the
        // value meaningless.
        if (top < 0.0 && (std::fabs(x) < 1e-3 || std::fabs(x - L) < 1e-3)) continue;
        for (double o : offs) k.add(x, W * c + o);
      }
      cases.push_back(k);
    }
  }
  // The eta-singular line (xi = q = 0 with eta < 0, where R + eta = 0): met
  // only along an edge above the surface, here of a patch lying wholly above
  // it, which is no physical source but has a finite limit on the line.
  // (Next to the line both evaluations lose digits in proportion to
  // 1/distance, so only points on it are compared.)
  for (double dip : {45.0, 70.0, 80.0, 89.99, 100.0, 135.0}) {
    for (double depth : {-1.0, -0.2}) {
      const double s = sin_deg(dip), c = cos_deg(dip), L = 9.0;
      Case k{"eta-singular line", {L, 4.0, depth, dip}, {}, {}};
      for (double x : {0.0, L, 3.0, 0.0, L}) k.add(x, depth * c / s);
      cases.push_back(k);
    }
  }
  // A steep patch poking through the surface (shallow edge 0.2 or 1 km
  // above it): around the points where its side edges cross the surface the
  // reduced near-vertical terms take their N <= 0 form.
  for (double dip : {65.0, 75.0, 80.0, 100.0, 115.0}) {
    for (double above : {1.0, 0.2}) {
      const double s = sin_deg(dip), c = cos_deg(dip), L = 9.0, W = 4.0;
      Case k{"patch through the surface", {L, W, W * s - above, dip}, {}, {}};
      const double yq = k.g.depth * c / s;
      for (double x : {-0.3, -0.1, 0.1, 0.3, L - 0.3, L - 0.1, L + 0.1, L + 0.3})
        for (double o : {0.0, 0.1, -0.1}) k.add(x, yq + o);
      cases.push_back(k);
    }
  }
  // Negative and vertical dips (sin < 0: described from the other edge),
  // including an outcropping one and its trace.
  for (double dip : {-30.0, -60.0, -90.0, -89.99, -120.0, -150.0, 90.0, 90.0 - 5e-9}) {
    const double s = sin_deg(dip);
    // buried, and reaching the surface (for sin < 0 the reference edge is
    // the shallow one)
    for (double depth : {3.0 + (s > 0 ? 5.0 * s : 0.0), s > 0 ? 5.0 * s : 0.0}) {
      Case k{"negative and vertical dips", {10.0, 5.0, depth, dip}, {}, {}};
      for (double x : {-2.0, 0.0, 4.0, 10.0, 13.0})
        for (double y : {-7.0, -1e-9, 0.0, 0.5, 6.0}) k.add(x, y);
      cases.push_back(k);
    }
  }
  return cases;
}

// ---------------------------------------------------------------------------
// Reference table.

// Every row to 1e-11 of its displacement scale, with the row's point in a
// batch of six next to points of other rows, at a position that varies with
// the row (full group of lanes or tail).
TEST_P(OkadaBatchLanes, ReferenceEveryRowMatchesTable) {
  const auto& rows = test::reference_rows();
  ASSERT_EQ(rows.size(), 170u);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const test::ReferenceRow& row = rows[r];
    std::vector<double> xs, ys;
    const std::size_t pos = r % 6;
    for (std::size_t j = 0; j < 6; ++j) {
      const test::ReferenceRow& other = j == pos ? row : rows[(r + 7 * j + 1) % rows.size()];
      xs.push_back(other.x);
      ys.push_back(other.y);
    }
    const Shape g{row.L, row.W, row.depth, row.dip, row.lambda, row.mu};
    const Vec9 u = run(lane(), g, Slip{}, xs, ys)[pos];
    ASSERT_TRUE(all_finite(u)) << "id " << row.id;
    for (int k = 0; k < 9; ++k) {
      if (u[k] == 0.0 && std::fabs(row.u[k]) < 1e-8) continue;
      EXPECT_LE(std::fabs(u[k] - row.u[k]), 1e-11 * row.u_scale())
          << "id " << row.id << " (" << row.category << ") u" << k + 1;
    }
  }
}

TEST_P(OkadaBatchLanes, AgreementReferenceTablePoints) {
  const auto& rows = test::reference_rows();
  for (const test::ReferenceRow& row : rows) {
    // The row's point among the points of all rows, under the row's patch.
    std::vector<double> xs{row.x}, ys{row.y};
    for (const test::ReferenceRow& other : rows) {
      xs.push_back(other.x);
      ys.push_back(other.y);
    }
    const Shape g{row.L, row.W, row.depth, row.dip, row.lambda, row.mu};
    expect_agrees_with_scalar(lane(), g, Slip{}, xs, ys,
                              "table id " + std::to_string(row.id));
  }
}

// ---------------------------------------------------------------------------
// Degenerate lines, NaN on the trace, exact zeros.

// The lane forms skip the trace test for a patch whose top lies deeper than
// the test's tolerance could reach: at every depth of the top edge, from the
// surface to well below that tolerance (about 1e-10 here), the points on the
// trace line must have a value exactly where the scalar form has one.
TEST_P(OkadaBatchLanes, TraceTestOfPatchesJustBelowTheSurface) {
  const Slip slip{1.0, -2.0, 0.5};
  for (const double dip : {60.0, 20.0, -60.0, 89.0, 90.0})
    for (const double top : {0.0, 1e-13, 1e-11, 4e-11, 1e-10, 1e-9, 1e-6}) {
      // (For sin < 0 the depth given is the top edge's.)
      const double sd = sin_deg(dip), cd = cos_deg(dip);
      const Shape g{20.0, 6.0, sd > 0.0 ? top + 6.0 * sd : top, dip};
      // The line where the patch's plane meets the surface, over the
      // patch's length and beyond.
      const double y0 = sd > 0.0 ? g.depth * cd / sd : g.W * cd + (g.depth - g.W * sd) * cd / sd;
      std::vector<double> xs, ys;
      for (const double x : {-1e-12, 0.0, 7.0, 20.0, 20.0 + 1e-12, 25.0})
        for (const double dy : {0.0, 1e-12, -3e-11}) {
          xs.push_back(x);
          ys.push_back(y0 + dy);
        }
      const std::vector<Vec9> got = run(lane(), g, slip, xs, ys);
      for (std::size_t i = 0; i < xs.size(); ++i) {
        const Patch patch = make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, slip.U1, slip.U2, slip.U3);
        const Vec9 ref = okada_patch(patch, xs[i], ys[i]);
        EXPECT_EQ(std::isnan(got[i][0]), std::isnan(ref[0]))
            << "dip " << dip << " top " << top << " x " << xs[i] << " y " << ys[i];
      }
    }
}

TEST_P(OkadaBatchLanes, AgreementDegenerateLinesAndDips) {
  for (const Case& c : degenerate_cases()) {
    expect_agrees_with_scalar(lane(), c.g, Slip{}, c.xs, c.ys, c.name);
    // Large slips keep the 1e-8 clearing out of the comparison.
    expect_agrees_with_scalar(lane(), c.g, Slip{1e8, -3e7, 2e8}, c.xs, c.ys,
                              c.name + ", large slips");
  }
}

// On the trace of an outcropping patch all nine components are NaN, in
// whatever lane the point falls.
TEST_P(OkadaBatchLanes, AgreementNaNOnTraceOfOutcroppingPatch) {
  for (double dip : {90.0, 60.0, 120.0, 89.99}) {
    const double s = sin_deg(dip), c = cos_deg(dip);
    const Shape g{20.0, 6.0, 6.0 * s, dip};
    const std::vector<double> xs{0.0, 3.0, 8.0, 20.0, -1.0, 21.0, 8.0};
    const std::vector<double> ys{6 * c, 6 * c, 6 * c, 6 * c, 6 * c, 6 * c, 6 * c + 1e-6};
    const std::vector<Vec9> u = run(lane(), g, Slip{}, xs, ys);
    for (std::size_t i = 0; i < xs.size(); ++i)
      for (double v : u[i]) EXPECT_EQ(std::isnan(v), i < 4) << "dip " << dip << " point " << i;
  }
}

// Components that vanish by symmetry above the middle of the patch, and the
// whole field far away, are exact zeros.
TEST_P(OkadaBatchLanes, AgreementExactZerosByClearing) {
  for (double dip : {30.0, 75.0, 90.0, 89.99, 120.0, -60.0}) {
    const Shape g{10.0, 5.0, 8.0, dip};
    const std::vector<double> xs{5.0, 5.0, 5.0, 5.0, 5.0, 3e4};
    const std::vector<double> ys{-12.0, -3.0, 0.0, 2.5, 9.0, -2e4};
    const std::vector<Vec9> u = run(lane(), g, Slip{}, xs, ys);
    for (std::size_t i = 0; i < 5; ++i)
      for (int k : {1, 2, 3, 6}) EXPECT_EQ(u[i][k], 0.0) << "dip " << dip << " y " << ys[i];
    for (double v : u[5]) EXPECT_EQ(v, 0.0) << "dip " << dip;
  }
}

// ---------------------------------------------------------------------------
// Batch sizes, tails and lanes.

// A spread of points over +-100 km and next to patch edges, for the
// geometries of the four dip regimes and sin < 0.
std::vector<Shape> lane_patches() {
  return {{40, 20, 10, 20}, {30, 12, 14, 90}, {30, 12, 14, 89.99}, {35, 15, 18, 75},
          {25, 10, 8.660254037844386, 60}, {10, 5, 3, -60}};
}

void spread_points(std::size_t n, std::vector<double>& xs, std::vector<double>& ys) {
  xs.clear();
  ys.clear();
  for (std::size_t i = 0; i < n; ++i) {
    const double t = static_cast<double>(i);
    xs.push_back(i % 7 == 3 ? 0.0 : -100.0 + std::fmod(t * 37.77, 200.0));
    ys.push_back(i % 5 == 1 ? 1e-9 * t : -100.0 + std::fmod(t * 61.31, 200.0));
  }
}

// Sizes 0 to 9 around the lane counts, and 1000: nothing is written beyond n, and every point
// agrees with the scalar form.
TEST_P(OkadaBatchLanes, SizesTailsWriteOnlyTheirPoints) {
  for (const Shape& g : lane_patches()) {
    for (std::size_t n : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 9u, 1000u}) {
      std::vector<double> xs, ys;
      spread_points(n, xs, ys);
      std::vector<double> store[9];
      double* out[9];
      for (int k = 0; k < 9; ++k) {
        store[k].assign(n + 8, 12345.0);
        out[k] = store[k].data();
      }
      lane()(make_patch(g.L, g.W, g.depth, g.dip, 1, 1, 1, 1, 1), n ? xs.data() : nullptr,
             n ? ys.data() : nullptr, n, out);
      for (int k = 0; k < 9; ++k)
        for (std::size_t j = n; j < n + 8; ++j) EXPECT_EQ(store[k][j], 12345.0) << n;
      expect_agrees_with_scalar(lane(), g, Slip{}, xs, ys,
                                "size " + std::to_string(n));
    }
  }
}

// A point's value does not depend on its lane, on its neighbours or on
// whether it falls in the padded tail: bit for bit the value it has alone.
TEST_P(OkadaBatchLanes, SizesValueIndependentOfLaneAndNeighbours) {
  for (const Shape& g : lane_patches()) {
    std::vector<double> xs, ys;
    spread_points(23, xs, ys);
    const std::vector<Vec9> all = run(lane(), g, Slip{}, xs, ys);
    for (std::size_t i = 0; i < xs.size(); ++i) {
      const Vec9 alone = run(lane(), g, Slip{}, {xs[i]}, {ys[i]})[0];
      for (int k = 0; k < 9; ++k)
        EXPECT_EQ(all[i][k], alone[k]) << "dip " << g.dip << " point " << i << " u" << k + 1;
    }
  }
}

// ---------------------------------------------------------------------------
// The scalar form and the dispatcher.

TEST(OkadaBatchScalar, EqualsOkadaPatchPointByPoint) {
  for (const Shape& g : lane_patches()) {
    std::vector<double> xs, ys;
    spread_points(11, xs, ys);
    const std::vector<Vec9> u = run(okada_patch_batch_scalar, g, Slip{2, -1, 0.5}, xs, ys);
    for (std::size_t i = 0; i < xs.size(); ++i) {
      const Vec9 ref = okada_patch(make_patch(g.L, g.W, g.depth, g.dip, 1, 1, 2, -1, 0.5), xs[i], ys[i]);
      for (int k = 0; k < 9; ++k) EXPECT_EQ(u[i][k], ref[k]) << "point " << i << " u" << k + 1;
    }
  }
}

// The batch runs the path of process_kernel(), the widest supported unless
// VADREL_KERNEL names another; each path below the widest gives other
// roundings somewhere.
TEST(OkadaBatchDispatch, UsesTheProcessPath) {
  const KernelPath chosen = process_kernel().path;
  const BatchFn forms[] = {okada_patch_batch_scalar, okada_patch_batch_avx2,
                           okada_patch_batch_avx512};
  const KernelPath paths[] = {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512};
  for (int f = 0; f < 3; ++f) {
    const bool same_form = supported_path(paths[f]) == chosen;
    bool differs = false;
    for (const Shape& g : lane_patches()) {
      std::vector<double> xs, ys;
      spread_points(9, xs, ys);
      const std::vector<Vec9> a = run(okada_patch_batch, g, Slip{}, xs, ys);
      const std::vector<Vec9> b = run(forms[f], g, Slip{}, xs, ys);
      for (std::size_t i = 0; i < xs.size(); ++i)
        for (int k = 0; k < 9; ++k) {
          if (same_form) {
            EXPECT_EQ(a[i][k], b[i][k]) << "form " << f << " dip " << g.dip;
          }
          differs |= a[i][k] != b[i][k];
        }
    }
    // The scalar form against a lane form always rounds differently
    // somewhere; the two lane forms share all but the vector maths.
    if (!same_form && (chosen == KernelPath::scalar || paths[f] == KernelPath::scalar)) {
      EXPECT_TRUE(differs) << "form " << f;
    }
  }
}

// ---------------------------------------------------------------------------
// The east-north-up form.

// Each path, bit for bit: its batch form at the patch-frame points, turned
// to east and north and added onto the sums already there in the stated
// order (a range run's records do not depend on which form sums them).
// Points on the trace of an outcropping patch, where the batch form has
// NaNs, are listed in order and left alone; nothing beyond n is touched.
TEST(OkadaBatchEnu, EachPathIsItsBatchFormTurnedAndSummed) {
  const BatchFn forms[] = {okada_patch_batch_scalar, okada_patch_batch_avx2,
                           okada_patch_batch_avx512};
  const KernelPath paths[] = {KernelPath::scalar, KernelPath::avx2, KernelPath::avx512};
  const double strike = 33.0, rad = PI / 180.0;
  const PatchPlacement at{3.0, -4.0, std::sin((90.0 - strike) * rad),
                          std::cos((90.0 - strike) * rad), std::cos((strike - 90.0) * rad),
                          std::sin((strike - 90.0) * rad)};
  std::vector<Shape> patches = lane_patches();
  patches.push_back({20.0, 6.0, 6.0 * sin_deg(60.0), 60.0});  // outcropping, trace at y = 3
  // With no tensile slip the lane forms leave its terms out: the sums must
  // not change by a bit.
  for (const Slip slip : {Slip{2.0, -1.0, 0.5}, Slip{2.0, -1.0, 0.0}, Slip{0.0, 1.0, -0.0}}) {
    for (int f = 0; f < 3; ++f) {
      if (supported_path(paths[f]) != paths[f]) continue;
      for (const Shape& g : patches) {
        for (std::size_t n : {0u, 1u, 7u, 8u, 9u, 23u}) {
          std::vector<double> xs, ys, mx(n), my(n);
          spread_points(n, xs, ys);
          if (n > 5) {
            xs[2] = 8.0;  // on the trace of the outcropping patch
            ys[2] = 6.0 * cos_deg(60.0);
          }
          // The map points whose patch-frame positions are (xs, ys).
          for (std::size_t i = 0; i < n; ++i) {
            mx[i] = at.X + xs[i] * at.B - ys[i] * at.A;
            my[i] = at.Y + ys[i] * at.B + xs[i] * at.A;
            const double dx = mx[i] - at.X, dy = my[i] - at.Y;
            xs[i] = dx * at.B + dy * at.A;
            ys[i] = dy * at.B - dx * at.A;
          }
          const std::vector<Vec9> u = run(forms[f], g, slip, xs, ys);
          std::vector<double> E(n + 4, 1.5), N(n + 4, -2.5), Z(n + 4, 0.25);
          std::vector<std::size_t> missing(n + 1, 99);
          const std::size_t m = okada_patch_batch_enu_on(
              paths[f], make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, slip.U1, slip.U2, slip.U3),
              at, mx.data(), my.data(), n, E.data(), N.data(), Z.data(), missing.data());
          std::size_t listed = 0;
          const std::string what = "path " + std::to_string(f) + " dip " + std::to_string(g.dip) +
                                   " n " + std::to_string(n) + " U3 " + std::to_string(slip.U3);
          for (std::size_t i = 0; i < n; ++i) {
            const Vec9& v = u[i];
            const double cs = at.cs, sn = at.sn;
            double e = 1.5, nn = -2.5, z = 0.25;
            if (all_finite(v)) {
              e += ((cs * v[0] + sn * v[1]) + (cs * v[3] + sn * v[4])) + (cs * v[6] + sn * v[7]);
              nn += ((cs * v[1] - sn * v[0]) + (cs * v[4] - sn * v[3])) + (cs * v[7] - sn * v[6]);
              z += (v[2] + v[5]) + v[8];
            } else {
              ASSERT_LT(listed, m) << what;
              EXPECT_EQ(missing[listed++], i) << what;
            }
            EXPECT_EQ(E[i], e) << what << " point " << i;
            EXPECT_EQ(N[i], nn) << what << " point " << i;
            EXPECT_EQ(Z[i], z) << what << " point " << i;
          }
          EXPECT_EQ(listed, m) << what;
          if (g.depth == 6.0 * sin_deg(60.0) && n > 5) {
            EXPECT_EQ(m, 1u) << what;
          }
          for (std::size_t i = n; i < n + 4; ++i) EXPECT_EQ(E[i] + N[i] + Z[i], -0.75) << what;
        }
      }
    }
  }
}

}  // namespace
}  // namespace vadrel
