// Points are computed over all the processors the process may use, in
// batches, and written in order: a run restricted to one processor must
// write the same bytes (print file, initial-condition files, console).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/e2e.hpp"

using vadrel::test::RunResult;
using vadrel::test::TempDir;

namespace vadrel::test {
// The files of a run with every record kind and grid card (also used by
// test_kernel_paths.cpp).
void write_every_kind_inputs(const TempDir& d);
}  // namespace vadrel::test

namespace {

// Two segments: a vertical strike-slip patch reaching the surface along
// x = 0, 0 <= y <= 20, whose trace has no finite value (those points take
// the value 1 mm away, with a warning), and a buried thrust.
const char* kFaults =
    " 0 0 0 0 10 90 3e10 3e10 400 0 0 20 10 outcrop\n"
    " 5 -3 30 0 12 35 3e10 3e10 200 900 50 25 15 thrust\n"
    "P 0.01 -0.02 0.5\n";

const char* kGrid =
    "Coordinate System = Cartesian\n 4 3\n 0 0 0\n"
    " ETA=    1  1000.0 2000.0 3000.0 4000.0\n"
    " ETA=    2  1000.0 -999.0 3000.0 4000.0\n"
    " ETA=    3  1000.0 2000.0 3000.0 4000.0\n"
    " ETA=    1  5000.0 5000.0 5000.0 5000.0\n"
    " ETA=    2  6000.0 6000.0 6000.0 6000.0\n"
    " ETA=    3  7000.0 7000.0 7000.0 7000.0\n";

// More data lines than one batch, bad lines and comments among them, the
// on-trace point deep inside (so another thread computes it), then every
// grid card, then more points.
std::string points_file() {
  std::string p = "* first points before any card: the look vector is missing\n";
  auto add_points = [&p](int from, int to) {
    for (int i = from; i < to; ++i) {
      if (i % 4999 == 17) {
        p += " 12.5 oops\n";
        continue;
      }
      if (i == 9001) {
        p += " 0.0 5.0 P9001\n";
        continue;
      }
      const double x = -60.0 + 120.0 * ((i * 37) % 1000) / 1000.0;
      const double y = -60.0 + 120.0 * ((i * 91) % 997) / 997.0;
      p += ' ' + std::to_string(x) + ' ' + std::to_string(y) + ' ' + std::to_string(i % 13) + '\n';
      if (i % 3000 == 5) p += "# a comment\n";
    }
  };
  add_points(0, 20000);
  p += "Z 31 3.0 45.0\nE 2.9 44.5 3.1 45.5 1\n";
  add_points(20000, 21000);
  p += "V 0.1 -0.2 0.97 1\nM -50 -40 1.5 2.5 61 37\nG 2.5 44.6 0.01 0.02 23 19\n";
  p += "U g.grd\nD g.dep\nS g2.grd\n";
  add_points(21000, 22000);
  return p;
}

}  // namespace

void vadrel::test::write_every_kind_inputs(const TempDir& d) {
  d.write("f", kFaults);
  d.write("p", points_file());
  d.write("g.grd", kGrid);
  d.write("g2.grd", kGrid);
  d.write("g.dep", "100 0 300 -5 20\n 600 1 2 3 4\n 7 8 9 10 11\n 12 13 14 15 16\n");
}

namespace {

TEST(Threads, OneProcessorAndAllWriteTheSameBytes) {
  TempDir one;
  TempDir all;
  for (const TempDir* d : {&one, &all}) vadrel::test::write_every_kind_inputs(*d);
  for (const std::string option : {"ascii", "residual", "vector", "strain", "partial", "analytic",
                                   "residualvector"}) {
    const RunResult r1 = one.run({"p", "f", "o", option}, "taskset -c 0");
    const RunResult rn = all.run({"p", "f", "o", option});
    ASSERT_EQ(r1.status, 0) << option << r1.console;
    EXPECT_EQ(rn.status, 0) << option;
    EXPECT_EQ(r1.console, rn.console) << option;
    for (const char* file : {"o", "disp.ini", "g.ini", "g2.ini"}) {
      EXPECT_EQ(one.read(file), all.read(file)) << option << ' ' << file;
    }
    // What the comparison covers: the first-point warning, bad lines in
    // several batches, the on-trace warning, the grids and the extents.
    for (const char* text : {"WARNING: V-CARD missing", " Error reading line :  12.5 oops",
                             "lies on a patch corner or surface trace", "Making a grid:",
                             "Generating uplift for the grid: g.grd", " sxmin = "}) {
      EXPECT_NE(r1.console.find(text), std::string::npos) << option << ": " << text;
    }
  }
}

}  // namespace
