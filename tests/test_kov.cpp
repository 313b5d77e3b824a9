// Curvilinear grid files: header, free-format blocks, the fixed-layout
// fallback and the stops on unreadable blocks.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <random>
#include <sstream>
#include <stdexcept>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "core/stop.hpp"
#include "readers/cardline.hpp"
#include "readers/grid2d.hpp"
#include "readers/kov.hpp"

namespace {

using vadrel::Grid2D;

std::string join(std::initializer_list<std::string> lines, const char* eol = "\n") {
  std::string out;
  for (const auto& l : lines) out += l + eol;
  return out;
}

// A fixed-layout line: a 10-column label, then each field right-aligned in
// 12 columns.
std::string fixed_line(const std::string& label, std::initializer_list<std::string> fields) {
  std::string out = label;
  out.resize(10, ' ');
  for (const auto& f : fields) out += std::string(f.size() < 12 ? 12 - f.size() : 0, ' ') + f;
  return out;
}

// Field text filling all 12 columns, so neighbouring fields run together.
std::string full(double v) {
  char buf[32];
  std::snprintf(buf, sizeof buf, v < 0 ? "%12.5E" : "%12.6E", v);
  return buf;
}

std::string next_line(std::istream& in) {
  std::string s;
  vadrel::read_record(in, s);
  return s;
}

// ---------------------------------------------------------------- header

TEST(KovHeader, SkipsCommentsAndReadsDimensionsAndIgnoredLine) {
  std::istringstream in(join({"* written by the mesh tool", "*", "Coordinate System = Cartesian",
                              "     4     3", " 0 0 0", "ETA=    1 first row"}));
  int mmax = 0, nmax = 0;
  EXPECT_EQ(vadrel::reakovhdr(in, mmax, nmax), 0);
  EXPECT_EQ(mmax, 4);
  EXPECT_EQ(nmax, 3);
  EXPECT_EQ(next_line(in), "ETA=    1 first row");
}

TEST(KovHeader, DimensionsOverTwoLinesOrCommaSeparated) {
  {
    std::istringstream in(join({"Coordinate System = Spherical", "  12", "", "   7  trailing", "ignored", "next"}));
    int mmax = 0, nmax = 0;
    EXPECT_EQ(vadrel::reakovhdr(in, mmax, nmax), 0);
    EXPECT_EQ(mmax, 12);
    EXPECT_EQ(nmax, 7);
    EXPECT_EQ(next_line(in), "next");
  }
  {
    std::istringstream in(join({"xx Coordinate System", "5,6", "ignored", "next"}));
    int mmax = 0, nmax = 0;
    EXPECT_EQ(vadrel::reakovhdr(in, mmax, nmax), 0);
    EXPECT_EQ(mmax, 5);
    EXPECT_EQ(nmax, 6);
    EXPECT_EQ(next_line(in), "next");
  }
}

TEST(KovHeader, MissingCoordinateSystemLine) {
  int mmax = 0, nmax = 0;
  std::istringstream no_marker(join({"* comment", "Grid file", "3 2", "x"}));
  EXPECT_EQ(vadrel::reakovhdr(no_marker, mmax, nmax), vadrel::KOV_STATUS_NO_COORDINATE_SYSTEM);
  std::istringstream wrong_case(join({"Coordinate system = Cartesian", "3 2", "x"}));
  EXPECT_EQ(vadrel::reakovhdr(wrong_case, mmax, nmax), -9);
  std::istringstream blank_first(join({"", "Coordinate System", "3 2", "x"}));
  EXPECT_EQ(vadrel::reakovhdr(blank_first, mmax, nmax), -9);
  // Only the first 132 columns of the line are looked at.
  std::istringstream too_far(join({std::string(120, ' ') + "Coordinate System", "3 2", "x"}));
  EXPECT_EQ(vadrel::reakovhdr(too_far, mmax, nmax), -9);
  std::istringstream just_fits(join({std::string(115, ' ') + "Coordinate System", "3 2", "x"}));
  EXPECT_EQ(vadrel::reakovhdr(just_fits, mmax, nmax), 0);
}

TEST(KovHeader, EndOfFileGivesNegativeStatus) {
  int mmax = 0, nmax = 0;
  std::istringstream empty("");
  EXPECT_LT(vadrel::reakovhdr(empty, mmax, nmax), 0);
  std::istringstream only_comments(join({"* a", "* b"}));
  EXPECT_LT(vadrel::reakovhdr(only_comments, mmax, nmax), 0);
  std::istringstream no_dims(join({"Coordinate System"}));
  EXPECT_LT(vadrel::reakovhdr(no_dims, mmax, nmax), 0);
  std::istringstream one_dim(join({"Coordinate System", "3"}));
  EXPECT_LT(vadrel::reakovhdr(one_dim, mmax, nmax), 0);
  // The line after the dimensions is required.
  std::istringstream no_ignored(join({"Coordinate System", "3 2"}));
  EXPECT_LT(vadrel::reakovhdr(no_ignored, mmax, nmax), 0);
  EXPECT_EQ(mmax, 3);
  EXPECT_EQ(nmax, 2);
}

TEST(KovHeader, MalformedDimensionGivesPositiveStatus) {
  int mmax = 0, nmax = 0;
  std::istringstream real(join({"Coordinate System", "3.5 2", "x"}));
  EXPECT_GT(vadrel::reakovhdr(real, mmax, nmax), 0);
  std::istringstream word(join({"Coordinate System", "3 rows", "x"}));
  EXPECT_GT(vadrel::reakovhdr(word, mmax, nmax), 0);
  std::istringstream huge(join({"Coordinate System", "3 99999999999", "x"}));
  EXPECT_GT(vadrel::reakovhdr(huge, mmax, nmax), 0);
}

TEST(KovHeader, DimensionCheckForTheCaller) {
  EXPECT_EQ(vadrel::kov_dimension_problem(1, 1), "");
  EXPECT_EQ(vadrel::kov_dimension_problem(300, 200), "");
  // (9999+1)*(9999+1) is exactly the limit.
  EXPECT_EQ(vadrel::kov_dimension_problem(9999, 9999), "");
  EXPECT_NE(vadrel::kov_dimension_problem(10000, 9999), "");
  EXPECT_NE(vadrel::kov_dimension_problem(0, 5), "");
  EXPECT_NE(vadrel::kov_dimension_problem(5, -1), "");
  EXPECT_NE(vadrel::kov_dimension_problem(-2147483647, -2147483647), "");
  EXPECT_NE(vadrel::kov_dimension_problem(2147483647, 2147483647), "");
  EXPECT_NE(vadrel::kov_dimension_problem(1, 2147483647), "");
}

// ------------------------------------------------------ free-format rows

TEST(KovFreeRow, SeparatorsRepeatsNullsAndSlash) {
  {
    std::istringstream in(join({"ETA= 1  1.5,2.5 , 3e1\t4D-1", "tail"}));
    std::vector<double> v(4, 0.0);
    EXPECT_EQ(vadrel::read_free_row(in, 2, v), 0);
    EXPECT_EQ(v, (std::vector<double>{1.5, 2.5, 30.0, 0.4}));
    EXPECT_EQ(next_line(in), "tail");
  }
  {
    // r*c repeats, r* are nulls, ",," is a null; nulls keep the old value.
    // A comma after a value, even across a line end, is only a separator.
    std::istringstream in(join({"3*-999.0 2* 7,,8", ", 9"}));
    std::vector<double> v{1, 2, 3, 4, 5, 6, 7, 8, 9};
    EXPECT_EQ(vadrel::read_free_row(in, 0, v), 0);
    EXPECT_EQ(v, (std::vector<double>{-999, -999, -999, 4, 5, 7, 7, 8, 9}));
  }
  {
    // A comma opening the read is a null item; a slash ends the read.
    std::istringstream in(join({",2.0 / 3.0", "next"}));
    std::vector<double> v{-1, -1, -1, -1};
    EXPECT_EQ(vadrel::read_free_row(in, 0, v), 0);
    EXPECT_EQ(v, (std::vector<double>{-1, 2, -1, -1}));
    EXPECT_EQ(next_line(in), "next");
  }
  {
    std::istringstream in(join({"ETA= 1 1.0 2.0x"}));
    std::vector<double> v(2, 0.0);
    EXPECT_EQ(vadrel::read_free_row(in, 2, v), vadrel::STATUS_BAD_NUMBER);
  }
  {
    std::istringstream in(join({"0*1.0"}));
    std::vector<double> v(1, 0.0);
    EXPECT_GT(vadrel::read_free_row(in, 0, v), 0);
  }
  {
    std::istringstream in(join({"ETA= 1 1.0", "", "2.0"}));
    std::vector<double> v(3, 0.0);
    EXPECT_EQ(vadrel::read_free_row(in, 2, v), vadrel::KOV_STATUS_END);
  }
}

// ---------------------------------------------------------------- blocks

// mmax = 3, nmax = 2; value (i, j) is 10*j + i for x and -(10*j + i) for y.
const std::string kSmallFile = join({
    "* small test grid",
    "Coordinate System = Cartesian",
    "     3     2",
    " 0 0 0",
    " ETA=    1   11.0   12.0   13.0",
    " ETA=    2   21.0   22.0   23.0",
    " ETA=    1  -11.0  -12.0  -13.0",
    " ETA=    2  -21.0  -22.0  -23.0",
});

void read_grid(std::istream& in, Grid2D& x, Grid2D& y, std::ostream& console) {
  int mmax = 0, nmax = 0;
  ASSERT_EQ(vadrel::reakovhdr(in, mmax, nmax), 0);
  x = Grid2D(mmax + 1, nmax + 1);
  y = Grid2D(mmax + 1, nmax + 1);
  vadrel::reakov(in, x, y, mmax + 1, nmax + 1, console);
}

void expect_small_grid(const Grid2D& x, const Grid2D& y) {
  ASSERT_EQ(x.m(), 4);
  ASSERT_EQ(x.n(), 3);
  for (int j = 1; j <= 2; ++j) {
    for (int i = 1; i <= 3; ++i) {
      EXPECT_EQ(x(i, j), 10.0 * j + i) << i << ' ' << j;
      EXPECT_EQ(y(i, j), -(10.0 * j + i)) << i << ' ' << j;
    }
  }
  // The extra index of each dimension is never filled.
  for (int j = 1; j <= 3; ++j) EXPECT_EQ(x(4, j), 0.0);
  for (int i = 1; i <= 4; ++i) EXPECT_EQ(y(i, 3), 0.0);
}

TEST(KovBlock, FreeFormatWholeFileWithRowLabels) {
  std::istringstream in(kSmallFile);
  std::ostringstream console;
  Grid2D x, y;
  read_grid(in, x, y, console);
  expect_small_grid(x, y);
  EXPECT_EQ(console.str(), "");
}

TEST(KovBlock, CrLfFile) {
  std::string crlf;
  for (const char c : kSmallFile) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  std::istringstream in(crlf);
  std::ostringstream console;
  Grid2D x, y;
  read_grid(in, x, y, console);
  expect_small_grid(x, y);
  EXPECT_EQ(console.str(), "");
}

TEST(KovBlock, SevenValuesSpreadOverAnyNumberOfLines) {
  // Row 1 on one line; row 2 label alone, then 3 + 3 + 1 values with text
  // after the last one; row 3 one value per line, comma separated.
  std::istringstream in(join({
      "ETA= 1 1 2 3 4 5 6 7",
      "ETA=     2",
      "  8 9 10",
      "  11 12 13",
      "  14 this text is skipped",
      "ETA= 3 15,", "16,", "17,", "18,", "19,", "20,", "21",
      "next line",
  }));
  std::ostringstream console;
  Grid2D a(8, 4);
  vadrel::ecrrea(a, in, 8, 4, console);
  for (int j = 1; j <= 3; ++j) {
    for (int i = 1; i <= 7; ++i) EXPECT_EQ(a(i, j), 7.0 * (j - 1) + i) << i << ' ' << j;
  }
  EXPECT_EQ(next_line(in), "next line");
}

TEST(KovBlock, FixedLayoutTakesFivePlusTwoLinesPerRow) {
  // Fields fill all 12 columns, so the free-format read fails at once.
  std::vector<std::string> lines;
  std::string text;
  for (int j = 1; j <= 2; ++j) {
    const double b = 100.0 * j;
    text += fixed_line(" ETA=    " + std::to_string(j),
                       {full(-(b + 1)), full(-(b + 2)), full(-(b + 3)), full(-(b + 4)), full(-(b + 5))}) +
            "\n";
    text += fixed_line("", {full(-(b + 6)), full(-(b + 7))}) + "\n";
  }
  // The y block follows right after the four lines, free format.
  text += "ETA= 1 1 2 3 4 5 6 7\nETA= 2 8 9 10 11 12 13 14\nafter\n";
  std::istringstream in(text);
  std::ostringstream console;
  Grid2D x(8, 3), y(8, 3);
  vadrel::reakov(in, x, y, 8, 3, console);
  for (int j = 1; j <= 2; ++j) {
    for (int i = 1; i <= 7; ++i) {
      EXPECT_DOUBLE_EQ(x(i, j), -(100.0 * j + i)) << i << ' ' << j;
      EXPECT_EQ(y(i, j), 7.0 * (j - 1) + i) << i << ' ' << j;
    }
  }
  EXPECT_EQ(next_line(in), "after");
  EXPECT_EQ(console.str(), "");
}

TEST(KovBlock, FixedLayoutRereadFromBlockStartWhenALaterRowFails) {
  // Rows 1 and 2 have blank-separated fields and read fine free format;
  // row 3 runs its fields together.  The block must be read again from its
  // first line, not from two lines before the failure.
  auto spaced = [](double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.4f", v);
    return std::string(buf);
  };
  std::string text;
  for (int j = 1; j <= 3; ++j) {
    auto field = [&](int i) { return j < 3 ? spaced(10.0 * j + i) : full(10.0 * j + i); };
    text += fixed_line(" ETA=    " + std::to_string(j), {field(1), field(2), field(3), field(4), field(5)}) + "\n";
    text += fixed_line("", {field(6), field(7)}) + "\n";
  }
  text += "ETA= 1 1 1 1 1 1 1 1\nETA= 2 2 2 2 2 2 2 2\nETA= 3 3 3 3 3 3 3 3\n";
  std::istringstream in(text);
  std::ostringstream console;
  Grid2D x(8, 4), y(8, 4);
  vadrel::reakov(in, x, y, 8, 4, console);
  for (int j = 1; j <= 3; ++j) {
    for (int i = 1; i <= 7; ++i) {
      EXPECT_DOUBLE_EQ(x(i, j), 10.0 * j + i) << i << ' ' << j;
      EXPECT_EQ(y(i, j), j) << i << ' ' << j;
    }
  }
  EXPECT_EQ(console.str(), "");
}

TEST(KovBlock, CrLfFileOnDiskWithFixedLayoutFallback) {
  // Header, an x block in the fixed layout (run-together fields), a y block
  // in free format; CR LF line ends; read through a file stream.
  std::string text = join({"* grid", "Coordinate System = Cartesian", "3 2", "0 0 0"});
  text += fixed_line(" ETA=    1", {full(-11), full(-12), full(-13)}) + "\n";
  text += fixed_line(" ETA=    2", {full(-21), full(-22), full(-23)}) + "\n";
  text += "ETA= 1 -11 -12 -13\nETA= 2 -21 -22 -23\n";
  std::string crlf;
  for (const char c : text) {
    if (c == '\n') crlf += '\r';
    crlf += c;
  }
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / ("vadrel_kov_test_" + std::to_string(std::random_device{}()) + ".grd");
  {
    std::ofstream out(path, std::ios::binary);
    out << crlf;
  }
  std::ifstream in(path);
  std::ostringstream console;
  Grid2D x, y;
  read_grid(in, x, y, console);
  in.close();
  std::filesystem::remove(path);
  for (int j = 1; j <= 2; ++j) {
    for (int i = 1; i <= 3; ++i) {
      EXPECT_DOUBLE_EQ(x(i, j), -(10.0 * j + i)) << i << ' ' << j;
      EXPECT_EQ(y(i, j), -(10.0 * j + i)) << i << ' ' << j;
    }
  }
  EXPECT_EQ(console.str(), "");
}

TEST(KovBlock, FixedLayoutWholeNumbersBlankFieldsAndLetterlessExponent) {
  // mmax = 7, nmax = 1.  The first field touches the label (column 11), and
  // the exponent without its letter is no free-format number, so the fixed
  // pass reads the row: a whole number, a blank field, -999, a short line.
  std::string text = fixed_line(" ETA=    1", {"1.25000E+021", "-999", "", "  12", "1.5-103"}) + "\n";
  text += fixed_line("", {"7", "  -3.5"}) + "\n";
  std::istringstream in(text);
  std::ostringstream console;
  Grid2D a(8, 2);
  a(3, 1) = 99.0;  // the blank field overwrites it
  vadrel::ecrrea(a, in, 8, 2, console);
  EXPECT_EQ(a(1, 1), 1.25e21);
  EXPECT_EQ(a(2, 1), -999.0);
  EXPECT_EQ(a(3, 1), 0.0);
  EXPECT_EQ(a(4, 1), 12.0);
  EXPECT_EQ(a(5, 1), 1.5e-103);
  EXPECT_EQ(a(6, 1), 7.0);
  EXPECT_EQ(a(7, 1), -3.5);
  EXPECT_EQ(console.str(), "");

  // Lines that end early: the missing fields read as 0.
  std::istringstream shortlines(fixed_line(" ETA=   1", {full(1.0) + full(2.0)}) + "\n" +
                                fixed_line("", {"4.0"}) + "\n");
  Grid2D b(8, 2);
  for (int i = 1; i <= 7; ++i) b(i, 1) = -1.0;
  vadrel::ecrrea(b, shortlines, 8, 2, console);
  EXPECT_EQ(b(1, 1), 1.0);
  EXPECT_EQ(b(2, 1), 2.0);
  EXPECT_EQ(b(3, 1), 0.0);
  EXPECT_EQ(b(5, 1), 0.0);
  EXPECT_EQ(b(6, 1), 4.0);
  EXPECT_EQ(b(7, 1), 0.0);
}

// Runs ecrrea on the y block of "g.grd", expecting a stop; returns the
// console text.
std::string stopped_console(const std::string& text, int mp, int np) {
  std::istringstream in(text);
  std::ostringstream console;
  Grid2D a(mp, np);
  try {
    vadrel::ecrrea(a, in, mp, np, console, "g.grd", "y");
    ADD_FAILURE() << "no stop";
  } catch (const vadrel::Stop& stop) {
    EXPECT_EQ(stop.stop_text, "");
  }
  return console.str();
}

const std::string kPrematureEof = " *** ERROR *** premature EOF kov encountered\n";
const std::string kBadRecord = " *** ERROR *** while reading record kov\n";

// The line naming the file, the block and the row, then the old message.
std::string ends_at(int row, int rows) {
  return " *** ERROR Grid file g.grd: the y block ends at row " + std::to_string(row) + " of " +
         std::to_string(rows) + '\n' + kPrematureEof;
}
std::string unreadable_at(int row, int rows) {
  return " *** ERROR Grid file g.grd: the y block cannot be read, free or fixed layout, at row " +
         std::to_string(row) + " of " + std::to_string(rows) + '\n' + kBadRecord;
}

TEST(KovBlock, BlockEndingEarlyStopsWithPrematureEof) {
  // Free format: the second row is missing, or cut short.
  EXPECT_EQ(stopped_console(join({"ETA= 1 1 2 3"}), 4, 3), ends_at(2, 2));
  EXPECT_EQ(stopped_console(join({"ETA= 1 1 2 3", "ETA= 2 4 5"}), 4, 3), ends_at(2, 2));
  EXPECT_EQ(stopped_console("", 4, 3), ends_at(1, 2));
  // Fixed layout: the free read fails, the reread runs out of lines.
  const std::string row = fixed_line(" ETA=    1", {full(1), full(2), full(3), full(4), full(5)});
  EXPECT_EQ(stopped_console(row + "\n" + fixed_line("", {full(6), full(7)}) + "\n" + row + "\n", 8, 3),
            ends_at(2, 2));
}

TEST(KovBlock, UnreadableFixedLayoutStopsWithRecordError) {
  // Free format fails on the run-together fields; the fixed pass on "abc".
  EXPECT_EQ(stopped_console(fixed_line(" ETA=    1", {full(1), "abc", full(3)}) + "\n", 4, 2),
            unreadable_at(1, 1));
  // Free format fails on "x1"; in the fixed layout "x1" is in a field too.
  EXPECT_EQ(stopped_console(join({"ETA= 1 1.0 x1 3.0"}), 4, 2), unreadable_at(1, 1));
}

// A stream that cannot be repositioned (a pipe, say).
class NoSeekBuf : public std::streambuf {
 public:
  explicit NoSeekBuf(std::string text) : text_(std::move(text)) {
    setg(text_.data(), text_.data(), text_.data() + text_.size());
  }

 private:
  std::string text_;
};

TEST(KovBlock, FixedPassNeedsARepositionableStream) {
  const std::string row = fixed_line(" ETA=   1", {full(1), full(2), full(3)}) + "\n";
  NoSeekBuf buf(row);
  std::istream in(&buf);
  std::ostringstream console;
  Grid2D a(4, 2);
  EXPECT_THROW(vadrel::ecrrea(a, in, 4, 2, console), vadrel::Stop);
  EXPECT_EQ(console.str(), " *** ERROR Grid file (unnamed): the x block cannot be read, free or fixed layout, at row 1 of 1\n" +
                               kBadRecord);

  // Free format needs no repositioning.
  NoSeekBuf free_buf("ETA= 1 1 2 3\n");
  std::istream free_in(&free_buf);
  vadrel::ecrrea(a, free_in, 4, 2, console);
  EXPECT_EQ(a(3, 1), 3.0);
}

TEST(KovBlock, ArraySmallerThanBlockIsRejected) {
  std::istringstream in(join({"ETA= 1 1 2 3"}));
  std::ostringstream console;
  Grid2D a(3, 2);
  EXPECT_THROW(vadrel::ecrrea(a, in, 5, 2, console), std::invalid_argument);
}

}  // namespace
