// A sample of the reference table end to end: each row becomes a one-segment
// faults file (strike 90, so the patch frame is the map frame) and a point,
// run through the program with "vector" and "strain" records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>

#include "tests/e2e.hpp"
#include "tests/reference_table.hpp"

using namespace vadrel;
using namespace vadrel::test;

namespace {

// Every digit of the geometry matters on the degenerate lines.
std::string num(double v) {
  char buf[40];
  std::snprintf(buf, sizeof buf, "%.17g", v);
  return buf;
}

// Slip large enough that F10.1 resolves six digits of the displacement.
constexpr double kSlip = 1.0e5;

}  // namespace

TEST(ReferenceEndToEnd, DisplacementAndGradientsOfSampleRows) {
  TempDir dir;
  int checked = 0;
  for (const ReferenceRow& row : reference_rows()) {
    // One row of every ten, plus every row on a degenerate line.
    const bool singular = row.category == "qzero_line" || row.category == "outcrop_trace_ext";
    if (!singular && row.id % 10 != 0) continue;
    if (row.near_vertical_general()) continue;  // double precision limits those rows
    // Only lambda/mu matters (2, 1 or 1/2 in the table), which keeps the
    // segment line within its 128 columns.
    const std::string line = " 0 0 90 0 " + num(row.depth) + ' ' + num(row.dip) + ' ' +
                             num(row.lambda / row.mu) + " 1 1e5 1e5 1e5 " + num(row.L) + ' ' +
                             num(row.W) + " r";
    ASSERT_LE(line.size(), 128U);
    dir.write("f", line + "\n");
    dir.write("p", "V 0 0 1 1\n " + num(row.x) + ' ' + num(row.y) + '\n');
    const RunResult v = dir.run({"p", "f", "ov", "vector"});
    ASSERT_EQ(v.status, 0) << v.console;
    const auto rec = fields_of(records_of(dir.read("ov")).at(0));
    double e = 0, n = 0, z = 0, ex = 0, ey = 0, nx = 0, ny = 0, zx = 0, zy = 0;
    for (int k = 0; k < 3; ++k) {
      e += kSlip * row.u[3 * k];
      n += kSlip * row.u[3 * k + 1];
      z += kSlip * row.u[3 * k + 2];
      ex += kSlip * row.dx[3 * k];
      ey += kSlip * row.dy[3 * k];
      nx += kSlip * row.dx[3 * k + 1];
      ny += kSlip * row.dy[3 * k + 1];
      zx += kSlip * row.dx[3 * k + 2];
      zy += kSlip * row.dy[3 * k + 2];
    }
    const double uscale = kSlip * row.u_scale();
    const double tol = 0.051 + 1e-7 * uscale;
    EXPECT_NEAR(std::stod(rec[2]), e, tol) << "row " << row.id;
    EXPECT_NEAR(std::stod(rec[3]), n, tol) << "row " << row.id;
    EXPECT_NEAR(std::stod(rec[4]), z, tol) << "row " << row.id;

    const RunResult s = dir.run({"p", "f", "os", "strain"});
    ASSERT_EQ(s.status, 0);
    const auto g = fields_of(records_of(dir.read("os")).at(0));
    const double gscale = kSlip * row.g_scale();
    const double expected[6] = {ex, ey, nx, ny, zx, zy};
    for (int k = 0; k < 6; ++k) {
      // E13.3 keeps four digits of each value.
      EXPECT_NEAR(std::stod(g[2 + k]), expected[k], 6e-4 * std::fabs(expected[k]) + 1e-7 * gscale)
          << "row " << row.id << " column " << k;
    }
    ++checked;
  }
  EXPECT_GT(checked, 40);
}
