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
  explicit Read(const std::string& text, const std::string& option = "ascii") {
    LineReader in = LineReader::from_text(text);
    nseg = read_faults(faults, in, option, "faults", console);
  }
  std::ostringstream console;
  FaultModel faults;
  std::int32_t nseg = 0;
};

}  // namespace

TEST(Faults, SegmentLineFieldsInOrder) {
  Read r(" 10 20 45 0 15 60 1 1 1000 0 0 30 20 seg1\n");
  ASSERT_EQ(r.nseg, 1);
  const Segment& s = r.faults.segments[0];
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
  // Its top edge, 20 sin 60 - 15 = 2.3205... km up, is above the surface.
  EXPECT_EQ(r.console.str().rfind(" WARNING: segment 1 (seg1) has its top edge 2.3205080756887", 0), 0U)
      << r.console.str();
  EXPECT_NE(r.console.str().find(" km above the surface; it is computed as given\n"), std::string::npos);
}

TEST(Faults, CommentsRampAndNames) {
  Read r("10 20 45 0 15 60 1 1 1000 0 0 30 20 nolead\n"
         "\t10 20 45 0 15 60 1 1 1000 0 0 30 20 tab\n"
         "p 1 2 3\n"
         "P 9 9 9\n"
         "P 0.5 -0.25 3\n"
         " 1 2 3 4 5 6 7 8 9 10 11 12 13 abcdefghijklmnopqrst\n");
  ASSERT_EQ(r.nseg, 1);
  EXPECT_EQ(r.faults.segments[0].name, "abcdefghijklmnop");
  EXPECT_EQ(r.faults.ramp.a, 0.5);
  EXPECT_EQ(r.faults.ramp.b, -0.25);
  EXPECT_EQ(r.faults.ramp.c, 3.0);
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
  EXPECT_EQ(r.faults.segments[0].name.substr(0, 4), "good");
  // No system error text follows: no system call failed.
  EXPECT_EQ(lines_of(r.console.str()),
            (std::vector<std::string>{" Error reading line:  1 2 3 4 5 6 7 8 9 10 11 12 13", " Error reading line: ",
                                      " Error reading line:  1 2 3 0 5 6 7 8 9 10 11 12 x13",
                                      " Error reading line:  1 2 3 0.5 5 6 7 8 9 10 11 12 13 name"}));
}

TEST(Faults, BadRampLineKeepsTheRamp) {
  Read r(" 1 2 3 0 5 6 7 8 9 10 11 12 13 a\nP 1 2 3\nP 4 5\nP 7 x 9\n");
  EXPECT_EQ(r.faults.ramp.a, 1.0);
  EXPECT_EQ(r.faults.ramp.b, 2.0);
  EXPECT_EQ(r.faults.ramp.c, 3.0);
  EXPECT_EQ(lines_of(r.console.str()),
            (std::vector<std::string>{" Error reading line: P 4 5", " Error reading line: P 7 x 9"}));
}

TEST(Faults, NoSegmentsStopsTheRun) {
  std::ostringstream console;
  FaultModel faults;
  LineReader in = LineReader::from_text("# only\n# comments\nP 1 2 3\n");
  try {
    read_faults(faults, in, "ascii", "faults", console);
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
  EXPECT_EQ(r.faults.segments[999].X, 999.0);
  EXPECT_EQ(r.faults.frames.size(), 1000U);
}

TEST(Faults, TestListingAndMarkers) {
  Read r(" 10 20 45 0 18 60 1 1 1000 0 0 30 20 a\n"
         " -1.5 2 359.99999 7 5 90 30000 30000 -12345678 0.05 -0.05 1e6 2.25 b+c\n",
         "asciitest");
  const auto lines = lines_of(r.console.str());
  ASSERT_EQ(lines.size(), 3U);
  EXPECT_EQ(lines[0], " INPUT FAULTS");
  // X Y strike F10.4, flag I1, depth dip lambda mu F6.1, U1 U2 U3 L F8.1,
  // W F6.1, two blanks, name A10, plus, minus, 0, k as I4.
  EXPECT_EQ(lines[1],
            "   10.0000    20.0000    45.0000 0   18.0   60.0    1.0    1.0   1000.0      0.0"
            "      0.0     30.0   20.0  a            2   0   0   1");
  EXPECT_EQ(lines[2],
            "   -1.5000     2.0000   360.0000 7    5.0   90.0 ****** ****** ********      0.1"
            "     -0.1 ********    2.2  b+c          0   0   0   2");
}

// Segments the model cannot evaluate are reported like unreadable lines,
// with the reason, and skipped; so is a number cut by the card width.
TEST(Faults, SegmentsTheModelCannotEvaluateAreBadLines) {
  const std::string head = " 1 2 3 0 5 6 7 8 9 10 11 12";
  const std::string cut = head + std::string(124 - head.size(), ' ') + "13.25 c";
  ASSERT_EQ(cut.find("13.25"), 124U);  // columns 125..129: the width cuts it to 13.2
  Read r(" 1 2 3 0 5 6 -1 1 9 10 11 12 13 zero\n"
         " 1 2 3 0 5 6 7 8 9 10 11 1e300 13 long\n"
         " 1e60 2 3 0 5 6 7 8 9 10 11 12 13 far\n"
         " 1 2 3 0 5 6 7 8 9 10 11 12 13 good\n" + cut + "\n");
  ASSERT_EQ(r.nseg, 1);
  const auto lines = lines_of(r.console.str());
  ASSERT_EQ(lines.size(), 7U) << r.console.str();
  EXPECT_EQ(lines[0], " Error reading line:  1 2 3 0 5 6 -1 1 9 10 11 12 13 zero");
  EXPECT_EQ(lines[1], " The model cannot be evaluated for this segment: mu/(lambda+mu) is not a finite number");
  EXPECT_EQ(lines[3], " The model cannot be evaluated for this segment: a value is too large for the model (beyond 1e50)");
  EXPECT_EQ(lines[4].substr(0, 26), " Error reading line:  1e60");
  EXPECT_EQ(lines[6], " Error reading line: " + cut.substr(0, 128));
}

// A name running past column 128 keeps its segment (and the part of the name
// within the card, 16 characters at most); a number cut there does not.
TEST(Faults, NamesMayRunPastTheCardWidth) {
  const std::string head = " 1 2 3 0 5 6 7 8 9 10 11 12 13";
  for (const auto& [column, kept] : {std::pair<std::size_t, const char*>{121, "abcdefgh"}, {110, "abcdefghijklmnop"},
                                     {128, "a"}}) {
    Read r(head + std::string(column - 1 - head.size(), ' ') + "abcdefghijklmnopqrstuvwxyz\n");
    ASSERT_EQ(r.nseg, 1) << r.console.str();
    EXPECT_EQ(r.faults.segments[0].name, (kept + std::string(16, ' ')).substr(0, 16));
  }
  EXPECT_THROW(Read(head.substr(0, 27) + std::string(100, ' ') + "135 " + std::string(30, 'n') + "\n"), Stop);
}

TEST(Faults, MarkerListsOnlyWithAMarkerKeyword) {
  const std::string text =
      " 0 0 0 0 10 45 1 1 1 0 0 1 1 x-[y]\n 0 0 0 0 10 45 1 1 1 0 0 1 1 p+\n";
  Read off(text, "ascii");
  EXPECT_TRUE(off.faults.plus_list.empty());
  EXPECT_TRUE(off.faults.minus_list.empty());
  Read on(text, "asciiSURF");
  EXPECT_EQ(on.faults.plus_list, (std::vector<std::int32_t>{2}));
  // '-' and a bracket: the segment enters the minus list twice.
  EXPECT_EQ(on.faults.minus_list, (std::vector<std::int32_t>{1, 1}));
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
