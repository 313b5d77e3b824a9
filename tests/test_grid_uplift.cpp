// Grid cards G, M, U and S, end to end: the points each grid generates (read
// back from the print file of the same run), the console lines, the
// initial-condition files (read back the way a free-format reader reads
// them) and the stops.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "core/fixed_format.hpp"
#include "readers/utm.hpp"
#include "tests/e2e.hpp"

using vadrel::fmt_f;
using vadrel::fmt_free;
using vadrel::test::fields_of;
using vadrel::test::lines_of;
using vadrel::test::records_of;
using vadrel::test::TempDir;

namespace {

// A fault with no slip and a ramp of a constant 1000 mm: every computed
// point has a range change of exactly 1000 mm, so its uplift is 1 m times
// whatever factor the grid applies.
const char* kOneMetre = " 0 0 0 0 10 45 1 1 0 0 0 20 10 none\nP 0 0 1000\n";

struct GridRun {
  explicit GridRun(const std::string& points, const std::string& faults = kOneMetre,
               const std::string& option = "ascii") {
    dir.write("f", faults);
    dir.write("p", points);
    option_ = option;
  }
  GridRun(const GridRun&) = delete;
  GridRun& operator=(const GridRun&) = delete;

  // Runs the program on the files of the directory.
  void go() {
    result = dir.run({"p", "f", "o", option_});
    console = lines_of(result.console);
    records = records_of(dir.read("o"));
  }

  bool has_line(const std::string& line) const {
    for (const auto& l : console) {
      if (l == line) return true;
    }
    return false;
  }
  bool mentions(const std::string& text) const { return result.console.find(text) != std::string::npos; }

  TempDir dir;
  vadrel::test::RunResult result;
  std::vector<std::string> console;
  std::vector<std::string> records;

 private:
  std::string option_;
};

using Rows = std::vector<std::vector<double>>;

// Reads `nrows` rows of `ncols` values as a free-format reader does: each
// row starts on a new line and continues over as many lines as it needs.
// The file must hold exactly these rows, each ending at the end of a line.
Rows read_rows(const std::string& text, int ncols, int nrows) {
  const auto lines = lines_of(text);
  Rows rows;
  std::size_t l = 0;
  for (int r = 0; r < nrows; ++r) {
    std::vector<double> row;
    while (static_cast<int>(row.size()) < ncols) {
      if (l == lines.size()) {
        ADD_FAILURE() << "file ends in row " << r + 1;
        return rows;
      }
      for (const auto& f : fields_of(lines[l])) {
        char* end = nullptr;
        const double v = std::strtod(f.c_str(), &end);
        EXPECT_EQ(*end, '\0') << "not a number: " << f;
        EXPECT_TRUE(std::isfinite(v)) << f;
        row.push_back(v);
      }
      ++l;
    }
    EXPECT_EQ(static_cast<int>(row.size()), ncols) << "row " << r + 1 << " runs past its line";
    rows.push_back(row);
  }
  EXPECT_EQ(l, lines.size()) << "lines left after " << nrows << " rows";
  return rows;
}

// The x, y and range fields of a range record.
struct Record {
  double x, y, range;
};
Record record(const std::string& line) {
  const auto f = fields_of(line);
  EXPECT_EQ(f.size(), 3U) << line;
  if (f.size() < 3) return {0, 0, 0};
  return {std::stod(f[0]), std::stod(f[1]), std::stod(f[2])};
}

// A uplift value (m) agrees with a range record (mm, written F10.1).
void expect_uplift_of(double uplift, const std::string& line) {
  EXPECT_NEAR(uplift * 1000.0, record(line).range, 0.05 + 1e-9) << line;
}

// Text of a free-format grid file of mmax x nmax nodes in the free layout,
// with x = xs(i, j) and y = ys(i, j).  Every row is split after its third
// value so that rows run over two lines.
template <class FX, class FY>
std::string grid_file(int mmax, int nmax, FX xs, FY ys) {
  std::string t = "* test grid\n*\nCoordinate System = Cartesian\n " + std::to_string(mmax) + ' ' +
                  std::to_string(nmax) + "\n 0 0 0\n";
  for (int block = 0; block < 2; ++block) {
    for (int j = 1; j <= nmax; ++j) {
      t += " ETA=    " + std::to_string(j);
      for (int i = 1; i <= mmax; ++i) {
        t += ' ' + fmt_free(block == 0 ? xs(i, j) : ys(i, j));
        if (i == 3 && i < mmax) t += "\n   ";
      }
      t += '\n';
    }
  }
  return t;
}

// A coordinate as a range record shows it (F10.4), without its padding.
std::string f4(double v) { return fields_of(fmt_f(v, 10, 4))[0]; }

std::string line_with(const std::vector<std::string>& lines, const std::string& start) {
  for (const auto& l : lines) {
    if (l.rfind(start, 0) == 0) return l;
  }
  return {};
}

}  // namespace

// ---------------------------------------------------------------- G and M

TEST(GridRegular, GCardOrderShapeAndConsoleLines) {
  // A thrust under the grid, so the uplift varies from point to point.
  double e = 0.0, n = 0.0;
  vadrel::utm(45.05, 3.1, e, n, 3.0);
  const std::string faults = ' ' + fmt_free(e / 1000.0) + ' ' + fmt_free(n / 1000.0) +
                             " 0 0 8 30 1 1 0 1500 0 10 8 thrust\n";
  GridRun r("Z 31 3.0 45.0\nV 0 0 1 1\nG 3.0 45.0 0.1 0.1 3 2\n", faults);
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_TRUE(r.has_line("Making a grid:     3.00000000    45.00000000     0.10000000     0.10000000"
                         "     3     2 "));
  EXPECT_TRUE(r.has_line("Grid limits:     3.000    /  3.300    /  45.00    /  45.20    /"));
  EXPECT_TRUE(r.has_line("N points:           6"));

  // Six points, longitude running fastest; projected, not reduced by the
  // origin (so the first point, on the central meridian, is at 500 km).
  ASSERT_EQ(r.records.size(), 6U);
  int k = 0;
  for (int j = 0; j < 2; ++j) {
    for (int i = 0; i < 3; ++i, ++k) {
      vadrel::utm(45.0 + j * 0.1, 3.0 + i * 0.1, e, n, 3.0);
      const auto f = fields_of(r.records[k]);
      EXPECT_EQ(f[0], f4(e / 1000.0)) << k;
      EXPECT_EQ(f[1], f4(n / 1000.0)) << k;
    }
  }
  EXPECT_EQ(fields_of(r.records[0])[0], "500.0000");

  // disp.ini: 2 uplift rows of 3 values, then 4 rows of 3 zeros.
  const std::string ini = r.dir.read("disp.ini");
  const auto lines = lines_of(ini);
  ASSERT_EQ(lines.size(), 6U);
  for (const auto& l : lines) EXPECT_EQ(fields_of(l).size(), 3U) << l;
  const Rows rows = read_rows(ini, 3, 6);
  ASSERT_EQ(rows.size(), 6U);
  double largest = 0.0;
  for (int j = 0; j < 2; ++j) {
    for (int i = 0; i < 3; ++i) {
      expect_uplift_of(rows[j][i], r.records[j * 3 + i]);
      largest = std::max(largest, std::fabs(rows[j][i]));
    }
  }
  EXPECT_GT(largest, 0.05);  // the thrust lifts the grid by decimetres
  for (int j = 2; j < 6; ++j) {
    for (const double v : rows[j]) EXPECT_EQ(v, 0.0);
  }
}

TEST(GridRegular, MCardLimitsPointsAndFullPrecision) {
  // Zero slip and a ramp a x + b y + c: the range of every point is known
  // exactly, so the file must give it back to double precision.
  const double a = 1.0, b = 0.5, c = 0.123456789012;
  GridRun r("V 0 0 1 1\nM 10 -4 2 1 5 3\n", " 0 0 0 0 10 45 1 1 0 0 0 20 10 none\nP 1 0.5 0.123456789012\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_TRUE(r.has_line("Making a grid:           10.0           -4.0            2.0            1.0"
                         "     5     3 "));
  EXPECT_TRUE(r.has_line("Grid limits:      10.00000000/   20.00000000/   -4.00000000/   -1.00000000/"));
  EXPECT_TRUE(r.has_line("N points:          15"));
  ASSERT_EQ(r.records.size(), 15U);
  const Rows rows = read_rows(r.dir.read("disp.ini"), 5, 9);
  ASSERT_EQ(rows.size(), 9U);
  for (int j = 0; j < 3; ++j) {
    for (int i = 0; i < 5; ++i) {
      const double x = 10.0 + 2 * i;
      const double y = -4.0 + j;
      const Record rec = record(r.records[j * 5 + i]);
      EXPECT_EQ(rec.x, x);
      EXPECT_EQ(rec.y, y);
      EXPECT_NEAR(rows[j][i], (a * x + b * y + c) / 1000.0, 1e-15) << i << ' ' << j;
    }
  }
  for (int j = 3; j < 9; ++j) {
    for (const double v : rows[j]) EXPECT_EQ(v, 0.0);
  }
}

TEST(GridRegular, GridPointsAlwaysGetRangeRecordsAndCountLikeDataLines) {
  // Whatever the option, a grid point is computed with form_range and an
  // observation of 0; it counts in npts and the extents.
  GridRun r("M 0 -4 1 1 2 1\n -50 7 0\n 0 100 0\n", kOneMetre, "residualpartial");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  ASSERT_EQ(r.records.size(), 4U);
  EXPECT_EQ(r.records[0], "     0.0000    -4.0000        0.0     1000.0    -1000.0");
  EXPECT_EQ(r.records[1], "     1.0000    -4.0000        0.0     1000.0    -1000.0");
  EXPECT_EQ(fields_of(r.records[2]).size(), 12U);  // the data lines get partials
  EXPECT_TRUE(r.has_line("Number of ground points read in:        4"));
  EXPECT_TRUE(r.has_line(" sxmin = -50"));
  EXPECT_TRUE(r.has_line(" sxmax = 1"));
  EXPECT_TRUE(r.has_line(" symin = -4"));
  EXPECT_TRUE(r.has_line(" symax = 100"));
  // The first counted point was a grid point: no look-vector warning later.
  EXPECT_FALSE(r.mentions("V-CARD missing"));
}

TEST(GridRegular, BadCardsAreIgnoredButMKeepsItsStartCoordinates) {
  // The M card fails on its fifth field, after x0 and y0 were read: the E
  // card then measures from (10000 m, 20000 m).  cmer is 0, so (0, 0) is at
  // (500000 m, 0 m).
  GridRun r("M 10000 20000 1 1 x 3\nG 0 0 0.1 0.1 3\nE 0 0 0 1 1\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_FALSE(r.mentions("Making a grid"));
  EXPECT_FALSE(r.dir.exists("disp.ini"));
  const auto f = fields_of(line_with(r.console, "Setting near-range edge of image (x1,y1)"));
  ASSERT_EQ(f.size(), 10U);
  EXPECT_EQ(f[6], "490.0");
  EXPECT_EQ(f[7], "-20.0");
  EXPECT_EQ(f[8], "490.0");
}

TEST(GridRegular, EmptyAndOversizeGrids) {
  // nx of 0: the lines are written, no point, an empty file (an old one is
  // replaced).
  GridRun r("V 0 0 1 1\nM 0 0 1 1 0 3\nM 0 0 1 1 -2 -3\n");
  r.dir.write("disp.ini", "old contents\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_TRUE(r.has_line("N points:           0"));
  EXPECT_TRUE(r.has_line("N points:           6"));
  EXPECT_TRUE(r.records.empty());
  EXPECT_TRUE(r.dir.exists("disp.ini"));
  EXPECT_EQ(r.dir.read("disp.ini"), "");

  // Ten billion points cannot be held: a message and a stop, nothing written.
  GridRun big("V 0 0 1 1\nM 0 0 1 1 100000 100000\n");
  big.go();
  EXPECT_EQ(big.result.status, 1);
  EXPECT_TRUE(big.mentions("100000 x 100000 points is too large")) << big.result.console;
  EXPECT_FALSE(big.dir.exists("disp.ini"));
}

// ------------------------------------------------------------ U and S

TEST(GridCurvilinear, CellCentresMissingNodesAndBorderZeros) {
  // 4 x 3 nodes, x = 1000 i, y = 1000 j (metres), except:
  //   x(1,1) = 0      cell (2,2) is centred on its other three corners
  //   x(4,1) = -999.9 whole part -999: missing, cell (4,2) uses three corners
  //   x(3,3) = -999   cell (3,3) is skipped; cell (4,3) loses corner c2
  //   y(2,3) = 0      only x marks missing nodes: the 0 is averaged in
  auto xs = [](int i, int j) {
    if (i == 1 && j == 1) return 0.0;
    if (i == 4 && j == 1) return -999.9;
    if (i == 3 && j == 3) return -999.0;
    return 1000.0 * i;
  };
  auto ys = [](int i, int j) { return (i == 2 && j == 3) ? 0.0 : 1000.0 * j; };
  GridRun r("V 0 0 1 1\nU grid.grd\n");
  r.dir.write("grid.grd", grid_file(4, 3, xs, ys));
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_TRUE(r.has_line("Generating uplift for the grid: grid.grd Grid dim:      5     4"));
  EXPECT_TRUE(r.has_line("N points:          20"));

  // Centres worked by hand, in the order j = 2..3 (outer), i = 2..4.
  const std::vector<std::pair<double, double>> centres = {
      {5000.0 / 3, 5000.0 / 3},  // (2,2): corners (1,2), (2,1), (2,2)
      {2500.0, 1500.0},          // (3,2): all four
      {10000.0 / 3, 5000.0 / 3}, // (4,2): corners (3,1), (3,2), (4,2)
      {1500.0, 1750.0},          // (2,3): y(2,3) = 0 averaged in
      {11000.0 / 3, 7000.0 / 3}, // (4,3): corners (3,2), (4,2), (4,3)
  };
  ASSERT_EQ(r.records.size(), centres.size());
  for (std::size_t k = 0; k < centres.size(); ++k) {
    const auto f = fields_of(r.records[k]);
    EXPECT_EQ(f[0], f4(centres[k].first / 1000.0)) << k;
    EXPECT_EQ(f[1], f4(centres[k].second / 1000.0)) << k;
  }
  EXPECT_TRUE(r.has_line("Number of ground points read in:        5"));

  // grid.ini: 4 rows of 5, then 8 rows of zeros.  No depth file: every
  // computed cell gets its full metre; first and last row and column stay 0.
  const Rows rows = read_rows(r.dir.read("grid.ini"), 5, 12);
  ASSERT_EQ(rows.size(), 12U);
  const Rows expected = {{0, 0, 0, 0, 0}, {0, 1, 1, 1, 0}, {0, 1, 0, 1, 0}, {0, 0, 0, 0, 0}};
  for (int j = 0; j < 4; ++j) EXPECT_EQ(rows[j], expected[j]) << "row " << j + 1;
  for (int j = 4; j < 12; ++j) EXPECT_EQ(rows[j], std::vector<double>(5, 0.0)) << "row " << j + 1;
}

TEST(GridCurvilinear, FreeAndFixedLayoutsGiveTheSameGrid) {
  // 7 x 2 nodes: x = 1000 i, y = 500 j.  The free layout wraps each row after
  // three values; the fixed layout takes 5 + 2 lines per row, its fields
  // touching so that only the fixed columns can split them.
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 500.0 * j; };
  std::string fixed = "Coordinate System = Cartesian\n 7 2\n 0 0 0\n";
  for (int block = 0; block < 2; ++block) {
    for (int j = 1; j <= 2; ++j) {
      std::string line = " ETA=    " + std::to_string(j);
      for (int i = 1; i <= 7; ++i) {
        const double v = block == 0 ? xs(i, j) : ys(i, j);
        line += fmt_f(v, 12, 7);  // "1000.0000000": twelve columns, no blank
        if (i == 5 || i == 7) {
          fixed += line + '\n';
          line = std::string(10, ' ');
        }
      }
    }
  }
  GridRun r("V 0 0 1 1\nU free.grd\nU fixd.grd\n");
  r.dir.write("free.grd", grid_file(7, 2, xs, ys));
  r.dir.write("fixd.grd", fixed);
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  // Cells i = 2..7 of row 2 in each grid, centred at x = i - 0.5 km, 0.75 km.
  ASSERT_EQ(r.records.size(), 12U);
  for (int k = 0; k < 12; ++k) {
    const Record rec = record(r.records[k]);
    EXPECT_EQ(rec.x, 1.5 + k % 6) << k;
    EXPECT_EQ(rec.y, 0.75) << k;
  }
  EXPECT_EQ(r.dir.read("free.ini"), r.dir.read("fixd.ini"));
  const Rows rows = read_rows(r.dir.read("fixd.ini"), 8, 9);
  ASSERT_EQ(rows.size(), 9U);
  EXPECT_EQ(rows[1], (std::vector<double>{0, 1, 1, 1, 1, 1, 1, 0}));
}

TEST(GridCurvilinear, DepthTaperAndTheDLine) {
  // 4 x 3 nodes: six cells (i = 2..4, j = 2..3).  Depth rows are 5 values
  // (mmax + 1) and there are 4 of them; a row may run over two lines, and
  // whatever follows a row's last value on its line is not read.
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  GridRun r("V 0 0 1 1\nU g.grd\nD g.dep\n 9 9\n");
  r.dir.write("g.grd", grid_file(4, 3, xs, ys));
  r.dir.write("g.dep",
              "9 9 9 9 9\n"
              "9 100 250\n 3000 9 99 99 99\n"
              "9 0 -5 7 9\n"
              "9 9 9 9 9\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_FALSE(r.mentions("Depth/mask file for the grid file"));
  // Land cells are computed and counted too; the D line is consumed and the
  // data line after it is read.
  ASSERT_EQ(r.records.size(), 7U);
  EXPECT_EQ(r.records[6], "     9.0000     9.0000     1000.0");
  const Rows rows = read_rows(r.dir.read("g.ini"), 5, 12);
  ASSERT_EQ(rows.size(), 12U);
  // depth 100: 0.4 (single precision); 250 and 3000: 1; 0 and -5: land;
  // 7: 7/250.
  EXPECT_EQ(rows[0], std::vector<double>(5, 0.0));
  EXPECT_NEAR(rows[1][1], 0.4, 1e-7);
  EXPECT_DOUBLE_EQ(rows[1][1], static_cast<double>(0.4F));
  EXPECT_EQ(rows[1][2], 1.0);
  EXPECT_EQ(rows[1][3], 1.0);
  EXPECT_EQ(rows[2][1], 0.0);
  EXPECT_EQ(rows[2][2], 0.0);
  EXPECT_NEAR(rows[2][3], 0.028, 1e-8);
  for (int j = 0; j < 4; ++j) {
    EXPECT_EQ(rows[j][0], 0.0);
    EXPECT_EQ(rows[j][4], 0.0);
  }
  EXPECT_EQ(rows[3], std::vector<double>(5, 0.0));
}

TEST(GridCurvilinear, WithoutDLineAllWaterAndTheNextLineIsReadAfterwards) {
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  // The card on the last line (no newline either).
  GridRun last("V 0 0 1 1\nU g.grd");
  last.dir.write("g.grd", grid_file(3, 3, xs, ys));
  last.go();
  ASSERT_EQ(last.result.status, 0) << last.result.console;
  EXPECT_TRUE(last.has_line(" *** Depth/mask file for the grid file:g.grd not specified"));
  EXPECT_TRUE(last.has_line(" All points assumed to be water"));
  ASSERT_EQ(last.records.size(), 4U);
  // Water everywhere, no taper: each computed cell holds its whole uplift.
  const Rows rows = read_rows(last.dir.read("g.ini"), 4, 12);
  ASSERT_EQ(rows.size(), 12U);
  EXPECT_EQ(rows[1], (std::vector<double>{0, 1, 1, 0}));
  EXPECT_EQ(rows[2], (std::vector<double>{0, 1, 1, 0}));

  // The line after the card is stepped back over and read normally: here a
  // data line, then a second U card followed by its D line.
  GridRun r("V 0 0 1 1\nU g.grd\n 9 8\nU h.grd\nD h.dep\n");
  r.dir.write("g.grd", grid_file(3, 3, xs, ys));
  r.dir.write("h.grd", grid_file(3, 3, xs, ys));
  r.dir.write("h.dep", "0 0 0 0\n0 500 100 0\n0 0 0 0\n0 0 0 0\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  ASSERT_EQ(r.records.size(), 9U);
  EXPECT_EQ(r.records[4], "     9.0000     8.0000     1000.0");
  const Rows h = read_rows(r.dir.read("h.ini"), 4, 12);
  ASSERT_EQ(h.size(), 12U);
  EXPECT_EQ(h[1][1], 1.0);
  EXPECT_DOUBLE_EQ(h[1][2], static_cast<double>(0.4F));
  EXPECT_EQ(h[2][1], 0.0);
}

TEST(GridCurvilinear, SGridCentresAreProjected) {
  // Degrees: node longitudes 2.95, 3.05, 3.15 and latitudes 45.0, 45.1,
  // 45.2; cell centres at longitudes 3.0 and 3.1, latitudes 45.05 and 45.15.
  auto xs = [](int i, int) { return 2.85 + 0.1 * i; };
  auto ys = [](int, int j) { return 44.9 + 0.1 * j; };
  GridRun r("Z 31 3.0 45.0\nV 0 0 1 1\nS geo.grd\n");
  r.dir.write("geo.grd", grid_file(3, 3, xs, ys));
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  ASSERT_EQ(r.records.size(), 4U);
  int k = 0;
  for (const double lat : {45.05, 45.15}) {
    for (const double lon : {3.0, 3.1}) {
      double e = 0.0, n = 0.0;
      vadrel::utm(lat, lon, e, n, 3.0);
      const auto f = fields_of(r.records[k++]);
      EXPECT_EQ(f[0], f4(e / 1000.0)) << lat << ' ' << lon;
      EXPECT_EQ(f[1], f4(n / 1000.0)) << lat << ' ' << lon;
    }
  }
  EXPECT_EQ(fields_of(r.records[0])[0], "500.0000");  // on the central meridian
}

TEST(GridCurvilinear, OutputNames) {
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  GridRun r("V 0 0 1 1\nU abcd.xyz\nU abc\nD dep.txt\n");
  r.dir.write("abcd.xyz", grid_file(3, 3, xs, ys));
  r.dir.write("abc", grid_file(2, 2, xs, ys));
  r.dir.write("dep.txt", "1 1 1\n1 1 1\n1 1 1\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  EXPECT_TRUE(r.dir.exists("abcd.ini"));
  ASSERT_TRUE(r.dir.exists(".ini"));  // fewer than five characters
  EXPECT_EQ(read_rows(r.dir.read(".ini"), 3, 9).size(), 9U);
}

TEST(GridCurvilinear, CardAndGridFileErrorsStop) {
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  const std::string good = grid_file(3, 3, xs, ys);
  struct Case {
    const char* points;
    std::string grid;  // contents of g.grd ("" for none)
    std::vector<const char*> console;
  };
  const Case cases[] = {
      {"U\n", "", {" *** ERROR Grid file not specified; Abnormal end of program"}},
      {"U g.grd\nD\n", good, {" *** ERROR Empty grid file specified; Abnormal end of program"}},
      {"U nothere.grd\n", "", {"*** ERROR readig grid file"}},
      {"U g.grd\n", "* only comments\n 3 3\n", {"*** ERROR readig grid file"}},
      {"U g.grd\n", "Coordinate System\n 3 3\n", {"*** ERROR readig grid file"}},
      {"U g.grd\n", good.substr(0, good.size() - 30), {" *** ERROR *** premature EOF kov encountered"}},
      {"U g.grd\n", "Coordinate System\n 2000000000 5\n\n", {"*** ERROR readig grid file"}},
      {"U g.grd\n", "Coordinate System\n 0 5\n\n", {"*** ERROR readig grid file"}},
  };
  for (const Case& c : cases) {
    GridRun r(std::string("V 0 0 1 1\n") + c.points);
    if (!c.grid.empty()) r.dir.write("g.grd", c.grid);
    r.go();
    SCOPED_TRACE(c.points + c.grid.substr(0, 40));
    EXPECT_EQ(r.result.status, 1);
    for (const char* l : c.console) EXPECT_TRUE(r.has_line(l)) << r.result.console;
    EXPECT_TRUE(r.records.empty());
    EXPECT_FALSE(r.dir.exists("g.ini"));
    EXPECT_FALSE(r.dir.exists(".ini"));
  }
  // Absurd dimensions are explained before the stop.
  GridRun huge("U g.grd\n");
  huge.dir.write("g.grd", "Coordinate System\n 2000000000 5\n\n");
  huge.go();
  EXPECT_TRUE(huge.mentions(" *** ERROR Grid file g.grd: grid of 2000000000 x 5 nodes is too large"))
      << huge.result.console;
}

TEST(GridCurvilinear, MissingOrShortDepthFileStops) {
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  GridRun missing("V 0 0 1 1\nU g.grd\nD none.dep\n");
  missing.dir.write("g.grd", grid_file(4, 3, xs, ys));
  missing.go();
  EXPECT_EQ(missing.result.status, 1);
  EXPECT_TRUE(missing.has_line(" *** ERROR Cannot open the depth/mask file none.dep"))
      << missing.result.console;
  EXPECT_TRUE(missing.mentions("No such file or directory"));
  EXPECT_FALSE(missing.dir.exists("g.ini"));

  // Three full rows and part of the fourth: 4 rows of 5 values expected.
  GridRun shrt("V 0 0 1 1\nU g.grd\nD short.dep\n");
  shrt.dir.write("g.grd", grid_file(4, 3, xs, ys));
  shrt.dir.write("short.dep", "1 1 1 1 1\n1 1 1 1 1\n1 1 1 1 1\n1 1\n");
  shrt.go();
  EXPECT_EQ(shrt.result.status, 1);
  EXPECT_TRUE(shrt.has_line(" *** ERROR Depth/mask file short.dep ends early: row 4 of 4"
                            " (5 values expected in each row)"))
      << shrt.result.console;
  EXPECT_TRUE(shrt.records.empty());
  EXPECT_FALSE(shrt.dir.exists("g.ini"));

  GridRun bad("V 0 0 1 1\nU g.grd\nD bad.dep\n");
  bad.dir.write("g.grd", grid_file(4, 3, xs, ys));
  bad.dir.write("bad.dep", "1 1 1 1 1\n1 1 x 1 1\n");
  bad.go();
  EXPECT_EQ(bad.result.status, 1);
  EXPECT_TRUE(bad.mentions("Depth/mask file bad.dep: row 2 of 4 is unreadable")) << bad.result.console;
}

// ------------------------------------------------------------ safeguards

TEST(GridOutput, NeverReplacesAnInput) {
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  const std::string grid = grid_file(3, 3, xs, ys);

  // A grid file named a.ini would be its own output.
  GridRun self("V 0 0 1 1\nU a.ini\n");
  self.dir.write("a.ini", grid);
  self.go();
  EXPECT_EQ(self.result.status, 1);
  EXPECT_TRUE(self.has_line(" *** ERROR The output file a.ini is the same file as the grid file a.ini;"
                            " nothing written"))
      << self.result.console;
  EXPECT_EQ(self.dir.read("a.ini"), grid);

  // The depth/mask file, through another spelling of its name.
  GridRun depth("V 0 0 1 1\nU g.grd\nD ./g.ini\n");
  depth.dir.write("g.grd", grid);
  depth.dir.write("g.ini", "1 1 1 1\n1 1 1 1\n1 1 1 1\n1 1 1 1\n");
  depth.go();
  EXPECT_EQ(depth.result.status, 1);
  EXPECT_TRUE(depth.mentions("is the same file as the depth/mask file ./g.ini")) << depth.result.console;
  EXPECT_EQ(depth.dir.read("g.ini"), "1 1 1 1\n1 1 1 1\n1 1 1 1\n1 1 1 1\n");

  // The points, faults and print files against disp.ini.
  for (const char* role : {"points", "faults", "print"}) {
    TempDir d;
    const std::string points = "V 0 0 1 1\nM 0 0 1 1 2 2\n";
    std::vector<std::string> args = {"p", "f", "o", "ascii"};
    d.write("p", points);
    d.write("f", kOneMetre);
    const std::string r = role;
    const int slot = r == "points" ? 0 : r == "faults" ? 1 : 2;
    d.write("disp.ini", slot == 0 ? points : slot == 1 ? std::string(kOneMetre) : "");
    args[slot] = "disp.ini";
    const auto res = d.run(args);
    EXPECT_EQ(res.status, 1) << role;
    EXPECT_NE(res.console.find("the same file as the " + r + " file disp.ini"), std::string::npos)
        << res.console;
    if (slot == 0) {
      EXPECT_EQ(d.read("disp.ini"), points);
    } else if (slot == 1) {
      EXPECT_EQ(d.read("disp.ini"), kOneMetre);
    }
  }
}

// A full disk, as a file-size limit of 0 bytes (the system's text is then
// that of EFBIG), under the initial-condition file of an M and of a U card,
// each named through a symbolic link: the run stops with status 1 and the
// system's reason; the link and the file it names stay as they were and no
// temporary is left.  The print file is a FIFO the test reads, and the
// console a pipe, so that the .ini file is the only one the limit stops.
TEST(GridOutput, FailedWritesStop) {
  namespace fs = std::filesystem;
  auto xs = [](int i, int) { return 1000.0 * i; };
  auto ys = [](int, int j) { return 1000.0 * j; };
  const std::string reason = std::strerror(EFBIG);
  // Every point of the grid is computed and written before the .ini file:
  // the 3 x 3 nodes of the M card, the 2 x 2 cells of the 3 x 3 grid file.
  for (const auto& [card, points] : {std::pair{"M 0 0 1 1 3 3\n", 9U}, std::pair{"U g.grd\n", 4U}}) {
    SCOPED_TRACE(card);
    TempDir d;
    d.write("f", kOneMetre);
    d.write("p", std::string("V 0 0 1 1\n") + card);
    d.write("g.grd", grid_file(3, 3, xs, ys));
    for (const char* name : {"disp", "g"}) {
      d.write(std::string(name) + ".kept", "before\n");
      fs::create_symlink(std::string(name) + ".kept", d.path() / (std::string(name) + ".ini"));
    }
    ASSERT_EQ(::mkfifo(d.file("o").c_str(), 0600), 0);
    vadrel::test::Drain print(d.file("o"));
    const auto r = d.run_with_file_limit({"p", "f", "o", "ascii"}, 0);
    EXPECT_EQ(records_of(print.text()).size(), points);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.console.find(reason), std::string::npos) << r.console;
    EXPECT_NE(r.console.find("Could not write output file"), std::string::npos) << r.console;
    std::vector<std::string> left;
    for (const auto& e : fs::directory_iterator(d.path())) left.push_back(e.path().filename());
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"disp.ini", "disp.kept", "f", "g.grd", "g.ini", "g.kept", "o", "p"}));
    for (const char* name : {"disp", "g"}) {
      EXPECT_TRUE(fs::is_symlink(d.path() / (std::string(name) + ".ini"))) << name;
      EXPECT_EQ(d.read(std::string(name) + ".kept"), "before\n") << name;
    }
  }
}

TEST(GridOutput, NonFiniteValuesAreNeverWritten) {
  // A ramp of 1e308 mm/km overflows at x = 10 km: the range is infinite.
  GridRun r("V 0 0 1 1\nM 10 0 1 1 2 1\n", " 0 0 0 0 10 45 1 1 0 0 0 20 10 none\nP 1e308 0 0\n");
  r.go();
  ASSERT_EQ(r.result.status, 0) << r.result.console;
  const Rows rows = read_rows(r.dir.read("disp.ini"), 2, 3);  // also checks every value is finite
  ASSERT_EQ(rows.size(), 3U);
  EXPECT_EQ(rows[0], (std::vector<double>{0.0, 0.0}));
  EXPECT_TRUE(r.mentions("WARNING: 2 grid values had no finite uplift")) << r.result.console;
}

// ------------------------------------------------------------ example

TEST(GridExample, BayUpliftFollowsTheDepthMask) {
  namespace fs = std::filesystem;
  TempDir d;
  for (const char* f : {"bay_points.txt", "bay_faults.txt", "bay_grid.grd", "bay_depth.dep"}) {
    fs::copy_file(fs::path(VADREL_EXAMPLES) / f, d.path() / f);
  }
  const auto res = d.run({"bay_points.txt", "bay_faults.txt", "bay.out", "ascii"});
  ASSERT_EQ(res.status, 0) << res.console;
  // 12 x 10 nodes: 11 x 9 cells, all present.
  const auto records = records_of(d.read("bay.out"));
  ASSERT_EQ(records.size(), 99U);
  const Rows depth = read_rows(d.read("bay_depth.dep"), 13, 11);
  const Rows rows = read_rows(d.read("bay_grid.ini"), 13, 33);
  ASSERT_EQ(rows.size(), 33U);
  int k = 0;
  int land = 0, shallow = 0;
  for (int j = 2; j <= 10; ++j) {
    for (int i = 2; i <= 12; ++i, ++k) {
      const double h = depth[j - 1][i - 1];
      const double factor = h <= 0 ? 0.0 : h >= 250 ? 1.0 : h / 250;
      land += h <= 0;
      shallow += h > 0 && h < 250;
      const double range = record(records[k]).range;
      EXPECT_NEAR(rows[j - 1][i - 1] * 1000.0, range * factor, 0.05 * factor + 1e-6)
          << "cell " << i << ',' << j;
    }
  }
  EXPECT_GT(land, 0);
  EXPECT_GT(shallow, 0);
  for (int i = 0; i < 13; ++i) {
    EXPECT_EQ(rows[0][i], 0.0);
    EXPECT_EQ(rows[10][i], 0.0);
  }
}
