// Bad and unusual input, through the binary: nothing lost, nothing
// destroyed, nothing silently wrong.  Each test states the rule it checks.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "tests/e2e.hpp"

using vadrel::test::Drain;
using vadrel::test::lines_of;
using vadrel::test::records_of;
using vadrel::test::RunResult;
using vadrel::test::TempDir;

namespace {

namespace fs = std::filesystem;

const char* kFaults = " 0 0 30 0 12 35 3e10 3e10 200 900 50 25 15 thrust\n";
const char* kGrid =
    "Coordinate System = Cartesian\n 3 3\n 0 0 0\n"
    " ETA= 1 1000 2000 3000\n ETA= 2 1000 2000 3000\n ETA= 3 1000 2000 3000\n"
    " ETA= 1 5000 5000 5000\n ETA= 2 6000 6000 6000\n ETA= 3 7000 7000 7000\n";

bool has(const RunResult& r, const std::string& text) { return r.console.find(text) != std::string::npos; }

std::vector<std::string> files_in(const TempDir& d) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(d.path())) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

// The print file is written under another name and moved into place at the
// end, so a grid or depth/mask file named later that is the print file
// (however it is named) is read intact; the run then stops without
// replacing it.
TEST(BadInput, ThePrintFileNeverDestroysAnInputNamedLater) {
  struct Case {
    const char* points;
    const char* print;
    const char* role;
  } cases[] = {
      {"U g.grd\n 1 2\n", "g.grd", "grid"},
      {"U g.grd\n", "./g.grd", "grid"},
      {"U g.grd\n", "link.grd", "grid"},
      {"U g.grd\n", "hard.grd", "grid"},
      {"U g.grd\nD d.dep\n", "d.dep", "depth/mask"},
  };
  for (const auto& c : cases) {
    TempDir d;
    d.write("t.txt", kFaults);
    d.write("pu.txt", c.points);
    d.write("g.grd", kGrid);
    d.write("d.dep", "1 2 3 4\n1 2 3 4\n1 2 3 4\n1 2 3 4\n");
    fs::create_symlink("g.grd", d.path() / "link.grd");
    fs::create_hard_link(d.path() / "g.grd", d.path() / "hard.grd");
    const std::string before = d.read(std::string(c.role) == "grid" ? "g.grd" : "d.dep");
    const RunResult r = d.run({"pu.txt", "t.txt", c.print, "ascii"});
    EXPECT_EQ(r.status, 1) << c.print;
    EXPECT_TRUE(has(r, std::string(" *** ERROR The ") + c.role + " file ")) << r.console;
    EXPECT_TRUE(has(r, "; the print file is not written, so ")) << r.console;
    EXPECT_EQ(d.read(std::string(c.role) == "grid" ? "g.grd" : "d.dep"), before) << c.print;
    EXPECT_EQ(files_in(d), (std::vector<std::string>{".console", "d.dep", "g.grd", "hard.grd", "link.grd",
                                                      "pu.txt", "t.txt"}));
  }
}

// A stop delivers what was written before it; a file that existed keeps
// its permissions; a file that is no regular file (here a FIFO the test
// reads, as a device would be) is written directly, never replaced by a
// regular one, with the same stop and the same records; no temporary is
// left.
TEST(BadInput, PrintFileDeliveryModesAndDevices) {
  TempDir d;
  d.write("f", kFaults);
  d.write("p", "V 0 0 1 1\n 1 2\n E 3 4\nE 1 1 2 2 1\n 5 6\n");
  d.write("o", "old contents\n");
  ::chmod(d.file("o").c_str(), 0640);
  const RunResult r = d.run({"p", "f", "o", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r, "READ_CALC_POINTS: conflicting E and V cards."));
  EXPECT_EQ(records_of(d.read("o")).size(), 1U);
  struct stat st {};
  ASSERT_EQ(::stat(d.file("o").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640U);
  EXPECT_EQ(files_in(d), (std::vector<std::string>{".console", "f", "o", "p"}));
  ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
  for (const auto& [points, status] : {std::pair{"", 1}, std::pair{" 1 2\n", 0}}) {
    SCOPED_TRACE(status);
    if (*points) d.write("p", points);
    const RunResult on_file = d.run({"p", "f", "o", "ascii"});
    Drain fifo(d.file("fifo"));
    const RunResult on_fifo = d.run({"p", "f", "fifo", "ascii"});
    const std::string delivered = fifo.text();
    EXPECT_EQ(on_file.status, status) << on_file.console;
    EXPECT_EQ(on_fifo.status, status) << on_fifo.console;
    EXPECT_EQ(has(on_fifo, "READ_CALC_POINTS: conflicting E and V cards."), status == 1) << on_fifo.console;
    EXPECT_NE(delivered.find("* print  file =  fifo\n"), std::string::npos) << delivered;
    EXPECT_EQ(records_of(delivered), records_of(d.read("o")));
    EXPECT_EQ(records_of(delivered).size(), 1U) << delivered;
    ASSERT_EQ(::lstat(d.file("fifo").c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode)) << "the FIFO was replaced";
    EXPECT_EQ(files_in(d), (std::vector<std::string>{".console", "f", "fifo", "o", "p"}));
  }
}

// The look-ahead after a U or S card uses the reader's own push-back, so a
// pipe loses nothing.
TEST(BadInput, NoRecordsLostOnAPipe) {
  TempDir d;
  d.write("f", kFaults);
  d.write("g.grd", kGrid);
  std::string p = "V 0 0 1 1\n";
  for (int i = 0; i < 9; ++i) {
    if (i == 4) p += "U g.grd\n";
    p += ' ';
    p += std::to_string(i);
    p += " 1\n";
  }
  d.write("p", p);
  ASSERT_EQ(::mkfifo(d.file("fifo").c_str(), 0600), 0);
  const RunResult r = d.run({"fifo", "f", "o", "ascii"}, "(cat p > fifo &);");
  EXPECT_EQ(r.status, 0) << r.console;
  EXPECT_EQ(records_of(d.read("o")).size(), 9U + 4U);  // 9 points and the grid's 4 cells
  EXPECT_TRUE(has(r, "Number of ground points read in:       13"));
}

// A failed read is an error, not the end of the file; so is a line without
// end.  The system's text (or the reason) is given and the run stops.
TEST(BadInput, ReadErrorsAndEndlessLinesStop) {
  TempDir d;
  d.write("f", kFaults);
  d.write("p", " 1 2\n");
  struct Case {
    std::vector<std::string> args;
    const char* reason;
    const char* stop;
  } cases[] = {
      {{"/proc/self/mem", "f", "o", "ascii"}, " Input/output error\n", "\nCould not read points file.\n"},
      {{"p", "/proc/self/mem", "o", "ascii"}, " Input/output error\n", "\nCould not read faults file.\n"},
      {{"/dev/zero", "f", "o", "ascii"}, " A line holds more than 1073741824 characters\n",
       "\nCould not read points file.\n"},
  };
  for (const auto& c : cases) {
    const RunResult r = d.run(c.args);
    EXPECT_EQ(r.status, 1) << r.console;
    EXPECT_TRUE(has(r, " Error reading file: ")) << r.console;
    EXPECT_TRUE(has(r, c.reason)) << r.console;
    EXPECT_TRUE(has(r, c.stop)) << r.console;
  }
}

// Cards with a missing, malformed or impossible field are reported like a
// bad data line, then ignored; so is a needed field cut by the card width.
// No system text follows a report when no system call failed.
TEST(BadInput, UnreadableCardsAndCutFieldsAreReported) {
  const std::string cut = " 1.5" + std::string(127 - 4, ' ') + "2.345678";  // y starts in column 128
  const std::string bad[] = {"V 0.6 0.0 0.8",  "V 0.6\t0.0 0.8 1", "Z 61 3.0 45.0", "Z 31 3.0 95.0",
                             "E 1 95 2 2 1",   "G 1 2 0.1 0.1 3",  "M 1 2 x 1 3 3", cut};
  TempDir d;
  d.write("f", kFaults);
  std::string p;
  for (const auto& line : bad) p += line + "\n";
  p += " 1 2\n";
  d.write("p", p);
  const RunResult r = d.run({"p", "f", "o", "ascii"});
  EXPECT_EQ(r.status, 0);
  for (const auto& line : bad) {  // reported as read: the card's 132 columns
    EXPECT_TRUE(has(r, " Error reading line : " + line.substr(0, 132) + "\n")) << line;
  }
  EXPECT_FALSE(has(r, "Success"));
  EXPECT_FALSE(has(r, "Making a grid"));
  EXPECT_EQ(records_of(d.read("o")).size(), 1U);
}

// An E card gives every point its own look vector: no warning that the V
// card is missing.
TEST(BadInput, NoMissingVCardWarningWithAnECard) {
  TempDir d;
  d.write("f", kFaults);
  d.write("p", "E 3 44 3 45 1\n 1 2\n");
  const RunResult r = d.run({"p", "f", "o", "ascii"});
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(has(r, "V-CARD missing"));
  d.write("p", " 1 2\n");
  EXPECT_TRUE(has(d.run({"p", "f", "o", "ascii"}), "WARNING: V-CARD missing or not a unit vector!"));
}

// Old Macintosh line ends and byte-order marks read like plain files, in
// the points, faults, grid and depth/mask files alike.
TEST(BadInput, LineEndsAndByteOrderMarksInEveryFile) {
  auto mac = [](std::string s) {
    for (char& c : s) {
      if (c == '\n') c = '\r';
    }
    return s;
  };
  const std::string bom = "\xEF\xBB\xBF";
  const std::string points = "V 0 0 1 1\n 1 2\n 3 -4\nU g.grd\nD d.dep\n 5 6\n";
  const std::string depth = "1 300 3 4\n1 2 300 4\n1 2 3 4\n1 2 3 4\n";
  TempDir plain;
  TempDir odd;
  plain.write("f", kFaults);
  plain.write("p", points);
  plain.write("g.grd", kGrid);
  plain.write("d.dep", depth);
  odd.write("f", bom + mac(kFaults));
  odd.write("p", bom + mac(points));
  odd.write("g.grd", bom + mac(kGrid));
  odd.write("d.dep", bom + mac(depth));
  const RunResult a = plain.run({"p", "f", "o", "vector"});
  const RunResult b = odd.run({"p", "f", "o", "vector"});
  ASSERT_EQ(a.status, 0) << a.console;
  EXPECT_EQ(a.console, b.console);
  EXPECT_EQ(records_of(plain.read("o")), records_of(odd.read("o")));
  EXPECT_EQ(plain.read("g.ini"), odd.read("g.ini"));
  EXPECT_EQ(records_of(plain.read("o")).size(), 3U + 4U);
}

// Grid file errors say which file and why before the old stop text.
TEST(BadInput, GridErrorsNameTheFileAndTheReason) {
  struct Case {
    const char* grid;  // null: no such file; "" : a directory
    const char* reason;
  } cases[] = {
      {nullptr, " *** ERROR Grid file g.grd: it cannot be opened\n No such file or directory\n"},
      {"", " *** ERROR Grid file g.grd: it is a directory\n"},
      {"* only a comment\nno marker\n 3 3\n\n", "lacks \"Coordinate System\"\n"},
      {"Coordinate System\n 3 x\n\n", "its dimensions are not two whole numbers\n"},
      {"Coordinate System\n", "it ends before its header does"},
      {"Coordinate System = Cartesian\n 3 3\n 0 0 0\n ETA= 1 1 2 3\n ETA= 2 1 2\n",
       " *** ERROR Grid file g.grd: the x block ends at row 2 of 3\n"},
  };
  for (const auto& c : cases) {
    TempDir d;
    d.write("f", kFaults);
    d.write("p", "U g.grd\n");
    if (c.grid != nullptr && *c.grid != '\0') d.write("g.grd", c.grid);
    if (c.grid != nullptr && *c.grid == '\0') fs::create_directory(d.path() / "g.grd");
    const RunResult r = d.run({"p", "f", "o", "ascii"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r, c.reason)) << r.console;
    EXPECT_TRUE(has(r, "*** ERROR readig grid file\n") || has(r, "premature EOF kov")) << r.console;
  }
  // A "file" whose first line never ends is a failed read, not endless memory.
  TempDir d;
  d.write("f", kFaults);
  d.write("p", "U /dev/zero\n");
  const RunResult r = d.run({"p", "f", "o", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(has(r, " *** ERROR Grid file /dev/zero: it cannot be read\n")) << r.console;
}

// Points where the model has no value: the warning names a corner or trace
// only when the point is on one, and the end of the run counts them.
TEST(BadInput, NonFiniteWarningsSayWhyAndAreCounted) {
  TempDir d;
  d.write("f", " 0 0 0 0 10 90 3e10 3e10 400 0 0 20 10 outcrop\n");
  d.write("p", "V 0 0 1 1\n 0 5\n 0 6\n 1e300 1\n 3 3\n");
  const RunResult r = d.run({"p", "f", "o", "ascii"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r, " WARNING: point 0 5 lies on a patch corner or surface trace")) << r.console;
  EXPECT_TRUE(has(r, " WARNING: point 1e+300 1 has no finite value in the model")) << r.console;
  EXPECT_EQ(lines_of(r.console).back(), " 3 points took their values 1 mm away (where the model has none)");
}

TEST(BadInput, CommandLineHelpAndExtraArguments) {
  TempDir d;
  const RunResult h = d.run({"-h"});
  EXPECT_EQ(h.status, 0);
  for (const char* text : {"km", "degrees", "mm", "metres", "Exit status: 0", "README.md"}) {
    EXPECT_TRUE(has(h, text)) << text;
  }
  EXPECT_EQ(d.run({"--help"}).console, h.console);
  d.write("f", kFaults);
  d.write("p", " 1 2\n");
  const RunResult r = d.run({"p", "f", "o", "ascii", "extra", "more"});
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(has(r, " Arguments after the option word are ignored: extra more\n"));
}

}  // namespace
