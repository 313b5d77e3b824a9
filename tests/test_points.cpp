// The points file as a script: cards, data lines, console lines, extents,
// and the range-change records they produce.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>

#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "model/range.hpp"
#include "readers/utm.hpp"
#include "run/points.hpp"
#include "tests/e2e.hpp"

using namespace vadrel;
using vadrel::test::fields_of;
using vadrel::test::lines_of;
using vadrel::test::records_of;
using vadrel::test::TempDir;

namespace {

// A fault with no slip: every displacement is zero, so a range change is the
// ramp alone.
const char* kNoSlip = " 0 0 0 0 10 45 1 1 0 0 0 20 10 none\n";

struct Script {
  Script(const std::string& points, const std::string& option = "ascii",
         const std::string& faults = kNoSlip) {
    dir.write("f", faults);
    dir.write("p", points);
    run = dir.run({"p", "f", "o", option});
    console = lines_of(run.console);
    records = records_of(dir.read("o"));
  }
  TempDir dir;
  vadrel::test::RunResult run;
  std::vector<std::string> console;
  std::vector<std::string> records;

  bool has_line(const std::string& line) const {
    for (const auto& l : console) {
      if (l == line) return true;
    }
    return false;
  }
};

}  // namespace

TEST(Points, EmptyFileGivesNoRecordsAndStartExtents) {
  Script s("");
  ASSERT_EQ(s.run.status, 0);
  EXPECT_TRUE(s.records.empty());
  for (const char* name : {"sxmin = ", "symin = "}) {
    bool found = false;
    for (const auto& l : s.console) {
      if (l.rfind(std::string(" ") + name, 0) == 0) {
        EXPECT_EQ(std::stod(l.substr(9)), 1.0e10);
        found = true;
      }
    }
    EXPECT_TRUE(found) << name;
  }
  EXPECT_TRUE(s.has_line(" sxmax = " + fmt_free(-1.0e10)));
  EXPECT_EQ(s.console.back(), "Number of ground points read in:        0");
}

TEST(Points, DataLinesLabelsAndBadLines) {
  Script s("V 0 0 1 1\n"
           " 12.5 -3.0 4.2 P17\n"
           "   \n"
           "\t1 2\n"
           "z 1 2\n"
           " 1 x\n"
           " 7 8 labeltoolong\n");
  ASSERT_EQ(s.run.status, 0) << s.run.console;
  ASSERT_EQ(s.records.size(), 2U);
  EXPECT_EQ(s.records[0], "    12.5000    -3.0000        0.0");
  EXPECT_EQ(s.records[1], "     7.0000     8.0000        0.0");
  EXPECT_TRUE(s.has_line(" Error reading line : "));
  EXPECT_TRUE(s.has_line(" Error reading line :  1 x"));
  EXPECT_EQ(s.console.back(), "Number of ground points read in:        2");
  EXPECT_TRUE(s.has_line(" sxmax = 12.5"));
  EXPECT_TRUE(s.has_line(" symin = -3"));

  // With "residual" the third number is the observation and P17 the label.
  Script r("V 0 0 1 1\n 12.5 -3.0 4.2 P17\n 1 2\n", "residual",
           " 0 0 0 0 10 45 1 1 0 0 0 20 10 none\nP 0 0 3.2\n");
  ASSERT_EQ(r.records.size(), 1U);
  EXPECT_EQ(r.records[0], "    12.5000    -3.0000        4.2        3.2        1.0");
  EXPECT_TRUE(r.has_line(" Error reading line :  1 2"));
}

TEST(Points, LabelsAreCutToEightCharacters) {
  TempDir dir;  // holds the print file, and outlives the run that writes it
  std::ostringstream console;
  RunContext ctx(console);
  ctx.settings.option = "ascii";
  ctx.faults.add(Segment{});
  ctx.look.vcard_set = true;
  ctx.look.plook = {0, 0, 1};
  // Use a points stream directly so the stored label can be seen.
  ASSERT_TRUE(ctx.print.open(dir.file("o")));
  LineReader in = LineReader::from_text(" 1 2 abcdefghijk\n");
  EXPECT_EQ(read_calc_points(ctx, in), 1);
  EXPECT_EQ(ctx.point.ptname, "abcdefgh");
  ASSERT_TRUE(ctx.print.close());
  EXPECT_EQ(records_of(dir.read("o")).size(), 1U);
}

TEST(Points, ZCardSetsZoneAndOrigin) {
  Script s("Z 31 3.0 45.0\nZ 31 3.0 -20.0\nZ 30 x 1\n");
  ASSERT_EQ(s.run.status, 0);
  EXPECT_TRUE(s.has_line("Setting UTM zone and origin (lon,lat):     31     3.00000000    45.00000000 "));
  EXPECT_TRUE(s.has_line("Setting UTM zone and origin (lon,lat):     31     3.00000000   -20.00000000 "));
  // On the central meridian the easting is the false easting exactly.
  double e = 0.0, n = 0.0;
  utm(45.0, 3.0, e, n, 3.0);
  EXPECT_TRUE(s.has_line("UTM origin (x0,y0)(m): " + std::string(" ") + fmt_f(500000.0, 14, 1) + ' ' +
                         fmt_f(n, 14, 1) + ' '));
  EXPECT_LT(n, 5.0e6);
  // A card with a bad field is skipped silently.
  for (const auto& l : s.console) EXPECT_EQ(l.find("    30 "), std::string::npos);
}

TEST(Points, ZoneCentralMeridians) {
  // zone 1 -> 183 (177 W), zone 31 -> 3, zone 60 -> 177: a point on the
  // central meridian projects to easting 500000.
  for (const auto& [zone, lon] : {std::pair{1, -177.0}, std::pair{31, 3.0}, std::pair{60, 177.0}}) {
    Script s("Z " + std::to_string(zone) + " " + std::to_string(lon) + " 10\n");
    bool found = false;
    for (const auto& l : s.console) {
      if (l.rfind("UTM origin", 0) == 0) {
        EXPECT_EQ(fields_of(l).at(3), "500000.0") << zone;
        found = true;
      }
    }
    EXPECT_TRUE(found);
  }
}

TEST(Points, VCardWarningsAndCompleteness) {
  Script ok("V 0.6 0.0 0.8 1.0\n");
  for (const auto& l : ok.console) EXPECT_EQ(l.find("WARNING"), std::string::npos);

  Script warn("V 0.6 0.0 0.7 1.0\n");
  // Each value f14.6 followed by a blank.
  EXPECT_TRUE(warn.has_line("WARNING: V-CARD not a unit vector!       0.600000       0.000000"
                            "       0.700000       0.921954 "));

  // Three numbers only: the components are stored but the vector does not
  // count as given, so a later E card is no conflict and the first point
  // uses the derived (here vertical) vector.
  Script three("V 0.6 0.0 0.8\nE 0 0 0 1 0\n 1 1\n", "vector",
               " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\n");
  ASSERT_EQ(three.run.status, 0) << three.run.console;
  EXPECT_FALSE(three.has_line(
      "WARNING: V-CARD missing or not a unit vector!       0.600000       0.000000       0.800000"
      "       1.000000 "));
  EXPECT_FALSE(three.has_line(" READ_CALC_POINTS: conflicting E and V cards."));
  ASSERT_EQ(three.records.size(), 1U);
}

TEST(Points, FirstPointWarnsWithoutALookVector) {
  Script s(" 1 2\n 3 4\n");
  int warnings = 0;
  for (const auto& l : s.console) {
    if (l.rfind("WARNING: V-CARD missing", 0) == 0) {
      ++warnings;
      EXPECT_EQ(l, "WARNING: V-CARD missing or not a unit vector!       0.000000       0.000000"
                   "       0.000000       0.000000 ");
    }
  }
  EXPECT_EQ(warnings, 1);
}

TEST(Points, EAndVCardConflict) {
  Script s("V 0 0 1 1\nE 1 2 3 4 5\n 1 1\n");
  EXPECT_EQ(s.run.status, 1);
  EXPECT_TRUE(s.has_line(" READ_CALC_POINTS: conflicting E and V cards."));
  EXPECT_EQ(s.console.back(), "READ_CALC_POINTS: conflicting E and V cards.");
  EXPECT_TRUE(s.records.empty());

  Script v_after_e("E 0 0 0 1 0\nV 0 0 1 1\n 1 1\n");
  EXPECT_EQ(v_after_e.run.status, 0);
  EXPECT_EQ(v_after_e.records.size(), 1U);
}

TEST(Points, ECardWithoutZCardUsesCentralMeridianZero) {
  Script s("E 0.0 0.0 0.0 1.0 0\n");
  ASSERT_EQ(s.run.status, 0);
  EXPECT_TRUE(s.has_line("Setting near-range edge of image (lon1,lat1),(lon2,lat2):      0.00000000"
                         "     0.00000000     0.00000000     1.00000000 "));
  double e = 0.0, n = 0.0;
  utm(1.0, 0.0, e, n, 0.0);
  EXPECT_TRUE(s.has_line("Setting near-range edge of image (x1,y1),(x2,y2):           500.0"
                         "            0.0          500.0 " +
                         fmt_f(n / 1000.0, 14, 1) + ' '));
}

TEST(Points, FCardMessages) {
  Script s("F some.bin 3\n 1 1\n");
  EXPECT_EQ(s.run.status, 0);
  EXPECT_TRUE(s.has_line(" Do not need input binary file with option: ascii           "));
  EXPECT_EQ(s.records.size(), 1U);
  Script r("F some.bin 3\n 1 1 2\n", "residual");
  EXPECT_EQ(r.run.status, 1);
  EXPECT_TRUE(r.has_line(" Cannot read binary file with with option: residual        "));
  EXPECT_EQ(r.console.back(), "Binary file problem");
  EXPECT_TRUE(r.records.empty());
}

TEST(Range, RampAndLookVector) {
  // Zero slip and a ramp a = 1: the range at x = 12.5 km is 12.5 mm.
  Script s("V 0 0 1 1\n 12.5 7\n", "ascii", std::string(kNoSlip) + "P 1 0 0\n");
  ASSERT_EQ(s.records.size(), 1U);
  EXPECT_EQ(s.records[0], "    12.5000     7.0000       12.5");

  // A look vector (0, 0, 1) projects the up component.
  std::ostringstream console;
  LookGeometry look;
  look.vcard_set = true;
  look.plook = {0.0, 0.0, 1.0};
  EXPECT_EQ(calc_range(look, Ramp{}, 0.0, 0.0, {10.0, -5.0, 20.0}), 20.0);
  // Ramp terms: a x + range + b y + c.
  EXPECT_EQ(calc_range(look, Ramp{2.0, -1.0, 0.5}, 3.0, 4.0, {0.0, 0.0, 1.0}), 6.0 + 1.0 - 4.0 + 0.5);
}

TEST(Range, DerivedLookVectorFromTheNearRangeEdge) {
  LookGeometry look;
  look.x1 = 0.0;
  look.y1 = 0.0;
  look.x2 = 0.0;
  look.y2 = 100.0;  // edge pointing north
  const Vec3 on_edge = derived_plook(look, 0.0, 50.0);
  EXPECT_LT(on_edge[0], 0.0);  // west
  EXPECT_NEAR(on_edge[1], 0.0, 1e-15);
  EXPECT_GT(on_edge[2], 0.0);  // up
  EXPECT_NEAR(std::acos(on_edge[2]) * 180.0 / M_PI, 17.0, 1e-5);
  EXPECT_NEAR(std::hypot(std::hypot(on_edge[0], on_edge[1]), on_edge[2]), 1.0, 1e-15);
  // Further from the edge the incidence grows.
  const Vec3 far = derived_plook(look, -50000.0, 50.0);
  EXPECT_GT(std::acos(far[2]), std::acos(on_edge[2]));
  EXPECT_NEAR(std::atan(std::hypot(far[0], far[1]) / far[2]) * 180.0 / M_PI,
              std::atan((std::tan(17.0 * M_PI / 180) + std::tan(27.0 * M_PI / 180)) / 2) * 180 / M_PI,
              1e-4);
  // No edge: vertical.
  const Vec3 none = derived_plook(LookGeometry{}, 3.0, 4.0);
  EXPECT_EQ(none[0], 0.0);
  EXPECT_EQ(none[1], 0.0);
  EXPECT_EQ(none[2], 1.0);
  // Without a V card calc_range stores the derived vector.
  LookGeometry l = look;
  calc_range(l, Ramp{}, 0.0, 50.0, {0.0, 0.0, 1.0});
  EXPECT_EQ(l.plook, on_edge);
}

TEST(Range, NoLookVectorNoEdgeGivesUpPlusRamp) {
  const std::string fault = " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\nP 0 0 2\n";
  Script s(" 5 3\n", "vector", fault);
  ASSERT_EQ(s.records.size(), 1U);
  const auto f = fields_of(s.records[0]);
  EXPECT_NEAR(std::stod(f[6]), std::stod(f[4]) + 2.0, 0.051);
}

TEST(Range, RecordLayouts) {
  const std::string fault = " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\nP 0 0 1.0e9\n";
  // Too wide for F10.1: asterisks.
  Script big("V 0 0 1 1\n 1 1\n", "ascii", fault);
  ASSERT_EQ(big.records.size(), 1U);
  EXPECT_EQ(big.records[0], "     1.0000     1.0000 **********");
  Script vec("V 0 0 1 1\n 1 1\n", "vectorresidual", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\n");
  EXPECT_TRUE(vec.records.empty());  // residual needs the observation
  Script v2("V 0 0 1 1\n 1 1 2\n", "vectorresidual", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\n");
  ASSERT_EQ(v2.records.size(), 1U);
  EXPECT_EQ(fields_of(v2.records[0]).size(), 5U);  // residual record wins
  Script v3("V 0 0 1 1\n 1 1 2\n", "vector", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 t\n");
  ASSERT_EQ(v3.records.size(), 1U);
  ASSERT_EQ(v3.records[0].size(), 77U);
  const auto f = fields_of(v3.records[0]);
  const double e = std::stod(f[2]), n = std::stod(f[3]), z = std::stod(f[4]);
  EXPECT_NEAR(std::stod(f[5]), std::sqrt(e * e + n * n + z * z), 0.11);
  EXPECT_EQ(f[6], f[4]);  // vertical look vector, no ramp
}

TEST(Range, SegmentsAddAndRotateWithTheStrike) {
  // One fault, and the same fault turned by 90 degrees with the point turned
  // with it: the displacement turns too, the vertical part stays.
  Segment s;
  s.X = 1.0;
  s.Y = -2.0;
  s.strike = 30.0;
  s.depth = 12.0;
  s.dip = 50.0;
  s.lambda = 1.0;
  s.mu = 1.0;
  s.U1 = 300.0;
  s.U2 = 700.0;
  s.U3 = 50.0;
  s.L = 15.0;
  s.W = 8.0;
  Segment t = s;
  t.strike = 120.0;
  FaultModel a, b, both;
  a.add(s);
  b.add(t);
  both.add(s);
  both.add(t);
  LookGeometry look;
  look.vcard_set = true;
  const double x = 4.0, y = 3.0;
  // Turning the map by 90 degrees clockwise about (X, Y): (dx, dy) -> (dy, -dx).
  const RangeResult ra = compute_range(a, look, x, y);
  const RangeResult rb = compute_range(b, look, s.X + (y - s.Y), s.Y - (x - s.X));
  EXPECT_NEAR(rb.E, ra.N, 1e-9);
  EXPECT_NEAR(rb.N, -ra.E, 1e-9);
  EXPECT_NEAR(rb.Z, ra.Z, 1e-9);
  const RangeResult rab = compute_range(both, look, x, y);
  const RangeResult rbb = compute_range(b, look, x, y);
  EXPECT_NEAR(rab.E, ra.E + rbb.E, 1e-12);
  EXPECT_NEAR(rab.Z, ra.Z + rbb.Z, 1e-12);
}

TEST(Range, PointsWhereTheDisplacementJumpsGetANeighbouringValue) {
  // A vertical strike-slip fault reaching the surface: points on its trace
  // and at its corners have no finite closed-form value.
  Script s("V 0 0 1 1\n 0 5\n 0 0\n 0 20\n 0 12\n 3 3\n", "vector",
           " 0 0 0 0 10 90 1 1 1000 0 0 20 10 ss\n");
  ASSERT_EQ(s.run.status, 0);
  ASSERT_EQ(s.records.size(), 5U);
  for (const auto& r : s.records) {
    EXPECT_EQ(r.find("nan"), std::string::npos) << r;
    EXPECT_EQ(r.find("inf"), std::string::npos) << r;
    EXPECT_EQ(r.find('*'), std::string::npos) << r;
  }
  int warnings = 0;
  for (const auto& l : s.console) warnings += l.find("WARNING: point") != std::string::npos;
  EXPECT_LE(warnings, 1);
  // On the trace the north displacement is half the slip (one side's value).
  const auto f = fields_of(s.records[0]);
  EXPECT_NEAR(std::fabs(std::stod(f[3])), 500.0, 0.2);
}
