// Strain and partial-derivative writers: checked against finite differences
// of the forward model, against each other, and end to end.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "derivatives/partials.hpp"
#include "derivatives/strain.hpp"
#include "model/range.hpp"
#include "tests/e2e.hpp"

using namespace vadrel;
using vadrel::test::fields_of;
using vadrel::test::lines_of;
using vadrel::test::records_of;
using vadrel::test::TempDir;

namespace {

Segment make_segment(double strike, double dip) {
  Segment s;
  s.X = 2.0;
  s.Y = -3.0;
  s.strike = strike;
  s.depth = 14.0;
  s.dip = dip;
  s.lambda = 3.0e10;
  s.mu = 3.0e10;
  s.U1 = 400.0;
  s.U2 = 900.0;
  s.U3 = 120.0;
  s.L = 25.0;
  s.W = 11.0;
  return s;
}

// Range change of one segment alone at (x, y).
double range_of(const Segment& s, LookGeometry look, double x, double y) {
  FaultModel m;
  m.add(s);
  return compute_range(m, look, x, y).drcalc;
}

LookGeometry edge_look() {
  LookGeometry look;  // derived per point from an oblique near-range edge
  look.x1 = -80.0;
  look.y1 = -60.0;
  look.x2 = -20.0;
  look.y2 = 70.0;
  return look;
}

}  // namespace

TEST(Strain, MatchesDifferencesOfTheDisplacementForAnyStrike) {
  for (const double strike : {0.0, 90.0, 37.5, 211.0}) {
    FaultModel m;
    m.add(make_segment(strike, 55.0));
    Segment second = make_segment(strike + 70.0, 30.0);
    second.X = -6.0;
    m.add(second);
    LookGeometry look;
    look.vcard_set = true;
    for (const auto& [x, y] : {std::pair{7.0, 4.0}, std::pair{-12.0, 9.5}, std::pair{20.0, -15.0}}) {
      const StrainResult st = compute_strain(m, x, y);
      const double h = 1e-4;
      const RangeResult e1 = compute_range(m, look, x + h, y), e0 = compute_range(m, look, x - h, y);
      const RangeResult n1 = compute_range(m, look, x, y + h), n0 = compute_range(m, look, x, y - h);
      const double fd[6] = {(e1.E - e0.E) / (2 * h), (n1.E - n0.E) / (2 * h),
                            (e1.N - e0.N) / (2 * h), (n1.N - n0.N) / (2 * h),
                            (e1.Z - e0.Z) / (2 * h), (n1.Z - n0.Z) / (2 * h)};
      double scale = 0.0;
      for (const double v : fd) scale = std::max(scale, std::fabs(v));
      for (int k = 0; k < 6; ++k) {
        EXPECT_NEAR(st.g[k], fd[k], 1e-6 * scale) << "strike " << strike << " column " << k;
      }
    }
  }
}

TEST(Strain, StrikeZeroChainRule) {
  // For strike 0 the patch x axis points north and y west: duede is the east
  // component of -du/dy' and duedn that of du/dx'.
  FaultModel m;
  m.add(make_segment(0.0, 60.0));
  LookGeometry look;
  look.vcard_set = true;
  const double h = 1e-4;
  const RangeResult a = compute_range(m, look, 5.0 + h, 1.0), b = compute_range(m, look, 5.0 - h, 1.0);
  EXPECT_NEAR(compute_strain(m, 5.0, 1.0).g[0], (a.E - b.E) / (2 * h), 1e-6);
}

TEST(Partials, ClosedFormMatchesCentralDifferencesOfTheForwardModel) {
  const double h = 1e-5;
  for (const double strike : {0.0, 90.0, 123.0}) {
    for (const double dip : {25.0, 65.0, 120.0}) {
      const Segment s = make_segment(strike, dip);
      for (const auto& [x, y] : {std::pair{9.0, 6.0}, std::pair{-14.0, -2.0}}) {
        LookGeometry look = edge_look();
        const PartialsResult exact = compute_partials_exact(s, look, x, y);
        auto diff = [&](auto set) {
          Segment up = s, down = s;
          set(up, h);
          set(down, -h);
          return (range_of(up, edge_look(), x, y) - range_of(down, edge_look(), x, y)) / (2 * h);
        };
        const double fd[10] = {
            diff([](Segment& g, double d) { g.U1 += d; }),
            diff([](Segment& g, double d) { g.U2 += d; }),
            diff([](Segment& g, double d) { g.U3 += d; }),
            diff([](Segment& g, double d) { g.X += d; }),
            diff([](Segment& g, double d) { g.Y += d; }),
            diff([](Segment& g, double d) { g.L += d; }),
            diff([](Segment& g, double d) { g.W += d; }),
            diff([](Segment& g, double d) { g.depth += d; }),
            diff([](Segment& g, double d) { g.dip += d; }),
            diff([](Segment& g, double d) { g.strike += d; })};
        for (int k = 0; k < 10; ++k) {
          EXPECT_NEAR(exact.D[k], fd[k], 1e-5 * std::max(1.0, std::fabs(fd[k])))
              << "strike " << strike << " dip " << dip << " parameter " << k;
        }
      }
    }
  }
}

TEST(Partials, ForwardDifferencesAgreeWithTheClosedForm) {
  // Far from a large fault a step of 1 km or 1 degree changes the range
  // nearly linearly; the slip columns are exact.
  Segment s = make_segment(40.0, 35.0);
  s.L = 60.0;
  s.W = 40.0;
  s.depth = 35.0;
  for (const auto& [x, y] : {std::pair{60.0, 50.0}, std::pair{-50.0, 40.0}}) {
    LookGeometry look = edge_look();
    LookGeometry look2 = edge_look();
    const PartialsResult num = compute_partials_numeric(s, look, Ramp{}, x, y);
    const PartialsResult ex = compute_partials_exact(s, look2, x, y);
    double scale = 0.0;
    for (int k = 3; k < 10; ++k) scale = std::max(scale, std::fabs(ex.D[k]));
    for (int k = 0; k < 3; ++k) EXPECT_NEAR(num.D[k], ex.D[k], 1e-9 * std::fabs(ex.D[k]) + 1e-12);
    for (int k = 3; k < 10; ++k) EXPECT_NEAR(num.D[k], ex.D[k], 0.1 * scale) << k;
  }
}

TEST(Partials, EndToEndOnlySegmentOneRampChangesNothingTableUnchanged) {
  TempDir dir;
  const std::string seg1 = " 2 -3 40 0 14 55 1 1 400 900 120 25 11 one\n";
  const std::string seg2 = " -30 10 300 0 8 80 1 1 -700 50 0 10 6 two\n";
  dir.write("f1", seg1);
  dir.write("f2", seg1 + seg2 + "P 3.5 -2 100\n");
  dir.write("p", "E -0.5 -0.4 -0.3 0.6 0\n 9 6\n -14 -2\n 9 6\n");
  for (const char* option : {"partial", "analytic"}) {
    ASSERT_EQ(dir.run({"p", "f1", "o1", option}).status, 0);
    ASSERT_EQ(dir.run({"p", "f2", "o2", option}).status, 0);
    const auto r1 = records_of(dir.read("o1"));
    const auto r2 = records_of(dir.read("o2"));
    ASSERT_EQ(r1.size(), 3U);
    EXPECT_EQ(r1, r2) << option;
    EXPECT_EQ(r1[0], r1[2]) << option;  // the same point again: nothing left behind
    for (const auto& r : r1) {
      ASSERT_EQ(r.size(), 252U);
      EXPECT_EQ(fields_of(r).size(), 12U);
    }
  }
  // The two writers agree column by column to what a unit step allows, and
  // exactly in the slip columns.
  ASSERT_EQ(dir.run({"p", "f1", "on", "partial"}).status, 0);
  ASSERT_EQ(dir.run({"p", "f1", "oa", "analytic"}).status, 0);
  const auto num = records_of(dir.read("on"));
  const auto ana = records_of(dir.read("oa"));
  for (std::size_t i = 0; i < num.size(); ++i) {
    const auto fn = fields_of(num[i]);
    const auto fa = fields_of(ana[i]);
    EXPECT_EQ(fn[0], fa[0]);
    EXPECT_EQ(fn[1], fa[1]);
    for (int k = 7; k < 10; ++k) {
      EXPECT_NEAR(std::stod(fn[k]), std::stod(fa[k]), 1e-9 * std::fabs(std::stod(fa[k])) + 1e-15);
    }
  }
}

TEST(Strain, EndToEndAgreesWithTheVectorOutput) {
  // Large slips so that F10.1 displacements resolve a 10 m difference.
  TempDir dir;
  dir.write("f", " 0 0 30 0 12 50 1 1 400000 900000 0 20 10 big\n");
  const double x = 8.0, y = -5.0, h = 0.05;
  std::ostringstream pts;
  pts << "V 0 0 1 1\n " << x << ' ' << y << '\n';
  dir.write("p1", pts.str());
  std::ostringstream fdp;
  fdp << "V 0 0 1 1\n " << x + h << ' ' << y << "\n " << x - h << ' ' << y << "\n " << x << ' '
      << y + h << "\n " << x << ' ' << y - h << '\n';
  dir.write("p2", fdp.str());
  ASSERT_EQ(dir.run({"p1", "f", "os", "strain"}).status, 0);
  ASSERT_EQ(dir.run({"p2", "f", "ov", "vector"}).status, 0);
  const auto s = fields_of(records_of(dir.read("os")).at(0));
  ASSERT_EQ(s.size(), 8U);
  ASSERT_EQ(records_of(dir.read("os")).at(0).size(), 112U);
  const auto v = records_of(dir.read("ov"));
  auto comp = [&](int row, int col) { return std::stod(fields_of(v.at(row))[col]); };
  const double fd[6] = {(comp(0, 2) - comp(1, 2)) / (2 * h), (comp(2, 2) - comp(3, 2)) / (2 * h),
                        (comp(0, 3) - comp(1, 3)) / (2 * h), (comp(2, 3) - comp(3, 3)) / (2 * h),
                        (comp(0, 4) - comp(1, 4)) / (2 * h), (comp(2, 4) - comp(3, 4)) / (2 * h)};
  double scale = 0.0;
  for (const double g : fd) scale = std::max(scale, std::fabs(g));
  for (int k = 0; k < 6; ++k) EXPECT_NEAR(std::stod(s[2 + k]), fd[k], 2e-3 * scale) << k;
}
