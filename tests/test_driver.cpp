// End-to-end runs of the program: command line, open failures, set-up echo,
// headers, counts and exit statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include "tests/e2e.hpp"

using vadrel::test::lines_of;
using vadrel::test::RunResult;
using vadrel::test::TempDir;

namespace {

const char* kFault = " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n";

struct Fixture {
  Fixture() {
    dir.write("faults.txt", kFault);
    dir.write("points.txt", "V 0 0 1 1\n 5 -5 1.5\n");
  }
  TempDir dir;
};

std::string pad80(const std::string& s) { return s + std::string(80 - s.size(), ' '); }

// What follows the message of an argument error: a usage line and the mode
// words.
const std::string kUsage =
    " Usage: vadrel points-file faults-file print-file option-word   (vadrel --help: more)\n"
    " Mode words: ascii residual vector strain partial analytic (several run together)\n";

}  // namespace

TEST(Driver, ArgumentsAreCheckedInOrder) {
  Fixture f;
  struct Case {
    std::vector<std::string> args;
    const char* message;
  };
  for (const auto& c : {Case{{}, " Need name of points file\n"},
                        Case{{"points.txt"}, " Need name of faults file\n"},
                        Case{{"points.txt", "faults.txt"}, " Need name of output file\n"},
                        Case{{"points.txt", "faults.txt", "out"}, " Need option.\n"},
                        Case{{"", "faults.txt", "out", "ascii"}, " Need name of points file\n"},
                        Case{{"points.txt", "  ", "out", "ascii"}, " Need name of faults file\n"}}) {
    const RunResult r = f.dir.run(c.args);
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.console, c.message + kUsage);
  }
  EXPECT_FALSE(f.dir.exists("out"));
}

TEST(Driver, OptionWordsAreCaseSensitiveSubstringsOfTheFirst16Characters) {
  Fixture f;
  for (const std::string bad : {"Residual", "test", "RESIDUAL", "xxxxxxxxxxxxxxxxascii"}) {
    const RunResult r = f.dir.run({"points.txt", "faults.txt", "out", bad});
    EXPECT_EQ(r.status, 2) << bad;
    EXPECT_EQ(r.console, " Unknown option: " + (bad + std::string(16, ' ')).substr(0, 16) + "\n" + kUsage);
  }
  EXPECT_FALSE(f.dir.exists("out"));
  const RunResult ok = f.dir.run({"points.txt", "faults.txt", "out", "xresidualx"});
  EXPECT_EQ(ok.status, 0);
  EXPECT_EQ(lines_of(ok.console).at(0), " Option: xresidualx      ");
  EXPECT_EQ(lines_of(f.dir.read("out")).at(3), "* X(km) Y(km) Dr(obs)(mm) Dr(calc)(mm) Dr(resid)(mm) ");
}

TEST(Driver, FilesOpenInTheOrderPointsFaultsPrint) {
  Fixture f;
  RunResult r = f.dir.run({"missing-points", "missing-faults", "out", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.console, " Option: ascii           \n Error opening file: " + pad80("missing-points") +
                           "\n No such file or directory\nCould not open points file.\n");
  r = f.dir.run({"points.txt", "missing-faults", "out", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.console, " Option: ascii           \n Error opening file: " + pad80("missing-faults") +
                           "\n No such file or directory\nCould not open faults file.\n");
  EXPECT_FALSE(f.dir.exists("out"));
  r = f.dir.run({"points.txt", "faults.txt", "nodir/out", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.console, " Option: ascii           \n Error opening file: " + pad80("nodir/out") +
                           "ascii           \n No such file or directory\nCould not open output file.\n");
  // A directory is not a points file.
  std::filesystem::create_directory(f.dir.path() / "adir");
  r = f.dir.run({"adir", "faults.txt", "out", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.console.find("Could not open points file."), std::string::npos);
}

TEST(Driver, EchoHeadersAndCounts) {
  Fixture f;
  const RunResult r = f.dir.run({"points.txt", "faults.txt", "out", "ascii"});
  ASSERT_EQ(r.status, 0) << r.console;
  const auto print = lines_of(f.dir.read("out"));
  ASSERT_EQ(print.size(), 4U);
  EXPECT_EQ(print[0], "* faults file =  faults.txt");
  EXPECT_EQ(print[1], "* points file =  points.txt");
  EXPECT_EQ(print[2], "* print  file =  out");
  const auto console = lines_of(r.console);
  ASSERT_GE(console.size(), 4U);
  EXPECT_EQ(console[1], print[0]);
  EXPECT_EQ(console[2], print[1]);
  EXPECT_EQ(console[3], print[2]);
  EXPECT_EQ(console[4], "Number of fault segments read in:      1");
  EXPECT_EQ(console.back(), "Number of ground points read in:        1");
}

TEST(Driver, HeadersOfEveryModeWordInFixedOrder) {
  Fixture f;
  const std::string residual = "* X(km) Y(km) Dr(obs)(mm) Dr(calc)(mm) Dr(resid)(mm) ";
  const std::string vector =
      "*     X(km)      Y(km)  uEast(mm) uNorth(mm)    uUp(mm)  normu(mm) vadrel(mm)";
  const std::string strain =
      "*        X(km)         Y(km)         duede         duedn         dunde         dundn"
      "         duzde         duzdn";
  const std::string labels =
      "*         X          Y      dr/dX      dr/dY dr/dstrike  dr/ddepth    dr/ddip     dr/dU1"
      "     dr/dU2     dr/dU3      dr/dL      dr/dW";
  const std::string units =
      "*      (km)       (km)    (mm/km)    (mm/km)   (mm/deg)    (mm/km)   (mm/deg)    (mm/mm)"
      "    (mm/mm)    (mm/mm)    (mm/km)    (mm/km)";
  const std::string partial = " * Partial derivatives d(range)/d(parameter)";
  const std::string exact = " * Exact derivatives d(range)/d(parameter)";
  struct Case {
    const char* option;
    std::vector<std::string> headers;
  };
  for (const auto& c :
       {Case{"ascii", {}}, Case{"vectorresidual", {residual, vector}},
        Case{"strainpartial", {strain, partial, labels, units}},
        Case{"analyticpartial", {partial, labels, units, exact, labels, units}},
        Case{"strainvector", {vector, strain}}, Case{"analytic", {exact, labels, units}},
        Case{"ascii,strain", {strain}}}) {
    const RunResult r = f.dir.run({"points.txt", "faults.txt", "out", c.option});
    ASSERT_EQ(r.status, 0) << c.option << r.console;
    const auto print = lines_of(f.dir.read("out"));
    ASSERT_EQ(print.size(), 3 + c.headers.size() + 1) << c.option;
    for (std::size_t k = 0; k < c.headers.size(); ++k) EXPECT_EQ(print[3 + k], c.headers[k]) << c.option;
  }
}

TEST(Driver, StrainAndPartialTogetherGiveOnlyThePartialRecord) {
  Fixture f;
  const RunResult r = f.dir.run({"points.txt", "faults.txt", "out", "strainpartial"});
  ASSERT_EQ(r.status, 0);
  const auto records = vadrel::test::records_of(f.dir.read("out"));
  ASSERT_EQ(records.size(), 1U);
  EXPECT_EQ(records[0].size(), 252U);  // twelve E20.10 fields
}

TEST(Driver, RunWithNoPointsCountsZero) {
  Fixture f;
  f.dir.write("empty.txt", "");
  const RunResult r = f.dir.run({"empty.txt", "faults.txt", "out", "ascii"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(lines_of(r.console).back(), "Number of ground points read in:        0");
  EXPECT_EQ(lines_of(f.dir.read("out")).size(), 3U);
}

TEST(Driver, LongFileNamesAreUsedWhole) {
  Fixture f;
  const std::string long_name(120, 'p');
  f.dir.write(long_name, "V 0 0 1 1\n 1 1\n");
  const std::string out81(81, 'o');
  const RunResult r = f.dir.run({long_name, "faults.txt", out81, "ascii"});
  ASSERT_EQ(r.status, 0) << r.console;
  EXPECT_TRUE(f.dir.exists(out81));
  EXPECT_FALSE(f.dir.exists(out81.substr(0, 80)));
  EXPECT_EQ(lines_of(f.dir.read(out81)).at(1), "* points file =  " + long_name);
  // A long missing name is shown whole in the message.
  const RunResult miss = f.dir.run({long_name + "x", "faults.txt", "o", "ascii"});
  EXPECT_NE(miss.console.find(" Error opening file: " + long_name + "x\n"), std::string::npos);
}

TEST(Driver, PrintFileNeverReplacesAnInput) {
  Fixture f;
  const std::string before = f.dir.read("points.txt");
  std::filesystem::create_symlink(f.dir.path() / "points.txt", f.dir.path() / "link.txt");
  for (const std::string& target : {std::string("points.txt"), std::string("./points.txt"),
                                    std::string("link.txt")}) {
    const RunResult r = f.dir.run({"points.txt", "faults.txt", target, "ascii"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.console.find(" Error opening file: " + pad80(target) + "ascii           \n"),
              std::string::npos)
        << r.console;
    EXPECT_NE(r.console.find("replace the points file"), std::string::npos);
    EXPECT_NE(r.console.find("\nCould not open output file.\n"), std::string::npos);
    EXPECT_EQ(f.dir.read("points.txt"), before);
  }
  const std::string faults = f.dir.read("faults.txt");
  const RunResult r = f.dir.run({"points.txt", "faults.txt", "faults.txt", "ascii"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.console.find("replace the faults file"), std::string::npos);
  EXPECT_EQ(f.dir.read("faults.txt"), faults);
}

// A full disk, as a file-size limit of 64 bytes (the system's text is then
// that of EFBIG): the run stops with status 1 and the system's reason, at
// the close when the records fit the output buffer, at a write when they
// fill it; no print file is left, complete or not, nor any temporary.
TEST(Driver, FailedWritesNeverEndWithSuccess) {
  Fixture f;
  const std::string reason = std::string(" ") + std::strerror(EFBIG) + "\n";
  const RunResult r = f.dir.run_with_file_limit({"points.txt", "faults.txt", "out", "ascii"}, 64);
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.console.find(reason), std::string::npos) << r.console;
  EXPECT_NE(r.console.find(" Error closing file: out"), std::string::npos) << r.console;
  EXPECT_NE(r.console.find("\nCould not close output file.\n"), std::string::npos) << r.console;
  // Enough records to fill the output buffer: the failure shows in a write.
  std::string many = "V 0 0 1 1\n";
  for (int i = 0; i < 5000; ++i) many += " 1 " + std::to_string(i % 50) + "\n";
  f.dir.write("many.txt", many);
  const RunResult w = f.dir.run_with_file_limit({"many.txt", "faults.txt", "out", "ascii"}, 64);
  EXPECT_EQ(w.status, 1);
  EXPECT_NE(w.console.find(" FORM_RANGE: Write problem, ios = " + std::to_string(EFBIG) + "\n"), std::string::npos)
      << w.console;
  EXPECT_NE(w.console.find("\nFORM_RANGE: Write problem\n"), std::string::npos);
  std::vector<std::string> left;
  for (const auto& e : std::filesystem::directory_iterator(f.dir.path())) left.push_back(e.path().filename());
  std::sort(left.begin(), left.end());
  EXPECT_EQ(left, (std::vector<std::string>{"faults.txt", "many.txt", "points.txt"}));
}

TEST(Driver, HelpAndVersion) {
  TempDir dir;
  RunResult r = dir.run({"--help"});
  EXPECT_EQ(r.status, 0);
  for (const char* word : {"ascii", "residual", "vector", "strain", "partial", "analytic", "README"}) {
    EXPECT_NE(r.console.find(word), std::string::npos) << word;
  }
  const std::string help = r.console;
  r = dir.run({"--version"});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.console.rfind("vadrel ", 0), 0U);
  // Both name one README, and it is there (from the build tree, the source
  // tree's; installed, the one under share/doc/vadrel: install_prefix).
  const auto at = r.console.find("README: ");
  ASSERT_NE(at, std::string::npos) << r.console;
  const std::string readme = lines_of(r.console.substr(at + 8)).at(0);
  EXPECT_TRUE(std::filesystem::is_regular_file(readme)) << readme;
  EXPECT_NE(help.find("File formats and output layouts: " + readme + "\n"), std::string::npos) << help;
}
