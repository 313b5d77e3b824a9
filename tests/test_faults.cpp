// The faults file: segment lines, the ramp line, comments, bad lines, the
// marker lists and the "test" listing.
#include <gtest/gtest.h>

#include <sstream>

#include "core/stop.hpp"
#include "readers/faults.hpp"
#include "tests/e2e.hpp"

using namespace vadrel;
using vadrel::test::lines_of;
using vadrel::test::TempDir;

namespace {

struct Read {
  explicit Read(const std::string& text, const std::string& option = "ascii") : ctx(console) {
    ctx.settings.option = option;
    LineReader in = LineReader::from_text(text);
    nseg = read_faults(ctx, in);
  }
  std::ostringstream console;
  RunContext ctx;
  std::int32_t nseg = 0;
};

}  // namespace

TEST(Faults, SegmentLineFieldsInOrder) {
  Read r(" 10 20 45 0 15 60 1 1 1000 0 0 30 20 seg1\n");
  ASSERT_EQ(r.nseg, 1);
  const Segment& s = r.ctx.faults.segments[0];
  EXPECT_EQ(s.X, 10.0);
  EXPECT_EQ(s.Y, 20.0);
  EXPECT_EQ(s.strike, 45.0);
  EXPECT_EQ(s.flag, 0);
  EXPECT_EQ(s.depth, 15.0);
  EXPECT_EQ(s.dip, 60.0);
  EXPECT_EQ(s.lambda, 1.0);
  EXPECT_EQ(s.mu, 1.0);
  EXPECT_EQ(s.U1, 1000.0);
  EXPECT_EQ(s.U2, 0.0);
  EXPECT_EQ(s.U3, 0.0);
  EXPECT_EQ(s.L, 30.0);
  EXPECT_EQ(s.W, 20.0);
  EXPECT_EQ(s.name, "seg1            ");
  EXPECT_TRUE(r.console.str().empty());
}

TEST(Faults, CommentsRampAndNames) {
  Read r("10 20 45 0 15 60 1 1 1000 0 0 30 20 nolead\n"
         "\t10 20 45 0 15 60 1 1 1000 0 0 30 20 tab\n"
         "p 1 2 3\n"
         "P 9 9 9\n"
         "P 0.5 -0.25 3\n"
         " 1 2 3 4 5 6 7 8 9 10 11 12 13 abcdefghijklmnopqrst\n");
  ASSERT_EQ(r.nseg, 1);
  EXPECT_EQ(r.ctx.faults.segments[0].name, "abcdefghijklmnop");
  EXPECT_EQ(r.ctx.faults.ramp.a, 0.5);
  EXPECT_EQ(r.ctx.faults.ramp.b, -0.25);
  EXPECT_EQ(r.ctx.faults.ramp.c, 3.0);
}

TEST(Faults, BadLinesAreReportedAndSkipped) {
  // No name; empty line; a malformed number and a missing field together
  // (whose statuses would cancel in a sum); an integer flag written as real.
  Read r(" 1 2 3 4 5 6 7 8 9 10 11 12 13\n"
         "\n"
         " 1 2 3 0 5 6 7 8 9 10 11 12 x13\n"
         " 1 2 3 0.5 5 6 7 8 9 10 11 12 13 name\n"
         " 1 2 3 0 5 6 7 8 9 10 11 12 13 good\n");
  ASSERT_EQ(r.nseg, 1);
  EXPECT_EQ(r.ctx.faults.segments[0].name.substr(0, 4), "good");
  const auto lines = lines_of(r.console.str());
  ASSERT_EQ(lines.size(), 8U);  // each bad line and its system error text
  EXPECT_EQ(lines[0], " Error reading line:  1 2 3 4 5 6 7 8 9 10 11 12 13");
  EXPECT_EQ(lines[2], " Error reading line: ");
  EXPECT_EQ(lines[4], " Error reading line:  1 2 3 0 5 6 7 8 9 10 11 12 x13");
  EXPECT_EQ(lines[6], " Error reading line:  1 2 3 0.5 5 6 7 8 9 10 11 12 13 name");
}

TEST(Faults, BadRampLineKeepsTheRamp) {
  Read r(" 1 2 3 0 5 6 7 8 9 10 11 12 13 a\nP 1 2 3\nP 4 5\nP 7 x 9\n");
  EXPECT_EQ(r.ctx.faults.ramp.a, 1.0);
  EXPECT_EQ(r.ctx.faults.ramp.b, 2.0);
  EXPECT_EQ(r.ctx.faults.ramp.c, 3.0);
  const auto lines = lines_of(r.console.str());
  ASSERT_EQ(lines.size(), 4U);
  EXPECT_EQ(lines[0], " Error reading line: P 4 5");
  EXPECT_EQ(lines[2], " Error reading line: P 7 x 9");
}

TEST(Faults, NoSegmentsStopsTheRun) {
  std::ostringstream console;
  RunContext ctx(console);
  ctx.settings.option = "ascii";
  LineReader in = LineReader::from_text("# only\n# comments\nP 1 2 3\n");
  try {
    read_faults(ctx, in);
    FAIL() << "expected a stop";
  } catch (const Stop& s) {
    EXPECT_EQ(s.stop_text, "READ_FAULTS: no faults read in!");
  }
  EXPECT_EQ(console.str(), " READ_FAULTS: no faults read in!\n");
}

TEST(Faults, MoreThanSixHundredSegmentsAreAllKept) {
  std::string text;
  for (int k = 0; k < 1000; ++k) {
    text += ' ';
    text += std::to_string(k);
    text += " 0 0 0 10 45 1 1 1 0 0 1 1 s";
    text += std::to_string(k);
    text += '\n';
  }
  Read r(text);
  ASSERT_EQ(r.nseg, 1000);
  EXPECT_EQ(r.ctx.faults.segments[999].X, 999.0);
  EXPECT_EQ(r.ctx.faults.frames.size(), 1000U);
}

TEST(Faults, TestListingAndMarkers) {
  Read r(" 10 20 45 0 15 60 1 1 1000 0 0 30 20 a\n"
         " -1.5 2 359.99999 7 5 90 30000 30000 -12345678 0.05 -0.05 1e6 2.25 b+c\n",
         "asciitest");
  const auto lines = lines_of(r.console.str());
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], " INPUT FAULTS");
  // X Y strike F10.4, flag I1, depth dip lambda mu F6.1, U1 U2 U3 L F8.1,
  // W F6.1, two blanks, name A10, plus, minus, 0, k as I4.
  EXPECT_EQ(lines[1],
            "   10.0000    20.0000    45.0000 0   15.0   60.0    1.0    1.0   1000.0      0.0"
            "      0.0     30.0   20.0  a            2   0   0   1");
  EXPECT_EQ(lines[2],
            "   -1.5000     2.0000   360.0000 7    5.0   90.0 ****** ****** ********      0.1"
            "     -0.1 ********    2.2  b+c          0   0   0   2");
}

TEST(Faults, MarkerListsOnlyWithAMarkerKeyword) {
  const std::string text =
      " 0 0 0 0 10 45 1 1 1 0 0 1 1 x-[y]\n 0 0 0 0 10 45 1 1 1 0 0 1 1 p+\n";
  Read off(text, "ascii");
  EXPECT_TRUE(off.ctx.faults.plus_list.empty());
  EXPECT_TRUE(off.ctx.faults.minus_list.empty());
  Read on(text, "asciiSURF");
  EXPECT_EQ(on.ctx.faults.plus_list, (std::vector<std::int32_t>{2}));
  // '-' and a bracket: the segment enters the minus list twice.
  EXPECT_EQ(on.ctx.faults.minus_list, (std::vector<std::int32_t>{1, 1}));
  EXPECT_TRUE(on.console.str().empty());  // only "test" lists
}

TEST(Faults, EndToEndListingWithAsciiTest) {
  TempDir dir;
  dir.write("f", " 0 0 0 0 10 45 1 1 1 0 0 1 1 a\n 0 0 0 0 10 45 1 1 1 0 0 1 1 b+c\n");
  dir.write("p", "");
  const auto r = dir.run({"p", "f", "o", "asciitest"});
  ASSERT_EQ(r.status, 0);
  const auto lines = lines_of(r.console);
  // Option line, echo (3), listing (3), counts...
  EXPECT_EQ(lines[4], " INPUT FAULTS");
  EXPECT_EQ(lines[5].substr(lines[5].size() - 16), "   2   0   0   1");
  EXPECT_EQ(lines[6].substr(lines[6].size() - 16), "   0   0   0   2");
  EXPECT_EQ(lines[7], "Number of fault segments read in:      2");
  const auto stop = dir.run({"p", "p", "o", "ascii"});
  EXPECT_EQ(stop.status, 1);
  EXPECT_NE(stop.console.find(" READ_FAULTS: no faults read in!\nREAD_FAULTS: no faults read in!\n"),
            std::string::npos);
}
