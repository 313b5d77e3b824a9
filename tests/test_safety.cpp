// The real program under faults, each run a child of its own: a full disk
// (a file-size limit), signals in the middle of a run, broken pipes, very
// long lines in grid and depth/mask files (peak memory from wait4).
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

#include "tests/e2e.hpp"

using vadrel::test::Drain;
using vadrel::test::start_program;
using vadrel::test::TempDir;
using vadrel::test::wait_for;

namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// The name of a temporary in `dir` that starts with `prefix`, or "".
std::string temporary(const TempDir& dir, const std::string& prefix = "") {
  for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
    const std::string name = e.path().filename().string();
    if (name.find(".vadrel-") != std::string::npos && name.rfind(prefix, 0) == 0) return name;
  }
  return {};
}

// A grid file of m x n nodes in metres; `pad` blanks in the first x row.
std::string grid_file(int m, int n, const std::string& comment = "", std::size_t pad = 0) {
  std::string g = comment + "Coordinate System = Cartesian\n " + std::to_string(m) + ' ' + std::to_string(n) +
                  "\n 0 0 0\n";
  for (const int axis : {0, 1}) {
    for (int j = 1; j <= n; ++j) {
      g += " ETA= " + std::to_string(j) + (axis == 0 && j == 1 ? std::string(pad, ' ') : "");
      for (int i = 1; i <= m; ++i) g += ' ' + std::to_string(1000 * (axis == 0 ? i : j)) + ".0";
      g += '\n';
    }
  }
  return g;
}

}  // namespace

// However a run ends early, the temporaries go and the files that were
// there stay: a write beyond the disk (the print file, disp.ini of an M
// card, the .ini of a U card: exit 1 with the system's text), SIGINT,
// SIGTERM, SIGHUP (during a read from a FIFO the test keeps open, or during
// a large grid), and a broken pipe (the console, or console and print file,
// on a pipe nobody reads: the run ends quietly by SIGPIPE).
TEST(Safety, NoFileIsLostWhenARunEndsEarly) {
  std::string points = "V 0 0 1 1\n";
  std::string bad = points;
  for (int k = 0; k < 3000; ++k) points.append(" ").append(std::to_string(k % 50)).append(" 1\n");
  for (int k = 0; k < 3000; ++k) bad += " x y\n";
  const std::string grid = "V 0 0 1 1\nM 0 0 0.01 0.01 2000 2000\n";
  struct Case {
    std::string points, print, kept, report;  // report: a line of the console
    int signal = 0;  // sent when a temporary named `wait...` exists (0: none)
    std::string wait = {};
    bool broken_pipe = false;
    std::string option = "ascii";  // analytic: chunks of records too large to buffer
  };
  const std::string efbig = std::strerror(EFBIG);
  for (const auto& c : {Case{points, "out", "out", " FORM_RANGE: Write problem, ios = " + std::to_string(EFBIG)},
                        Case{points, "out", "out", " FORM_ALL_PART2: Write problem, ios = " + std::to_string(EFBIG), 0,
                             "", false, "analytic"},
                        Case{grid, "/dev/stdout", "disp.ini", " Error writing file: disp.ini"},
                        Case{"V 0 0 1 1\nU g.grd\n", "/dev/stdout", "g.ini", " Error writing file: g.ini"},
                        Case{"", "out", "out", "", SIGINT, ".out.vadrel-"},
                        Case{"", "out", "out", "", SIGTERM, ".out.vadrel-"},
                        Case{"", "out", "out", "", SIGHUP, ".out.vadrel-"},
                        Case{grid, "out", "disp.ini", "", SIGTERM, ".disp.ini.vadrel-"},
                        Case{bad, "out", "out", "", SIGPIPE, "", true},
                        Case{grid, "/dev/stdout", "disp.ini", "", SIGPIPE, "", true}}) {
    SCOPED_TRACE(c.kept + ' ' + std::to_string(c.signal));
    TempDir dir;
    dir.write("f", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n");
    dir.write("g.grd", grid_file(60, 60));
    dir.write(c.kept, "before\n");
    int fifo = -1;
    if (c.points.empty()) {  // a FIFO that the run waits on
      ASSERT_EQ(::mkfifo(dir.file("p").c_str(), 0600), 0);
      fifo = ::open(dir.file("p").c_str(), O_RDWR | O_CLOEXEC);
      ASSERT_EQ(::write(fifo, "V 0 0 1 1\n 1 1\n", 15), 15);
    } else {
      dir.write("p", c.points);
    }
    int pipe_ends[2] = {-1, -1};
    if (c.broken_pipe) {
      ASSERT_EQ(::pipe(pipe_ends), 0);
      ::close(pipe_ends[0]);
    }
    // A print file that is the console goes to a pipe the test reads: the
    // limit is for the initial-condition file alone.
    Drain console_pipe;
    const bool drained = !c.broken_pipe && c.print == "/dev/stdout";
    if (drained) pipe_ends[1] = console_pipe.write_end();
    const pid_t pid = start_program(dir, {"p", "f", c.print, c.option}, c.signal == 0 ? 16384 : -1, pipe_ends[1]);
    if (!drained) ::close(pipe_ends[1]);
    if (!c.wait.empty()) {
      for (int k = 0; k < 20000 && temporary(dir, c.wait).empty(); ++k)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      EXPECT_NE(temporary(dir, c.wait), "") << dir.read(".console");
      ::kill(pid, c.signal);
    }
    const int status = wait_for(pid).first;
    if (fifo >= 0) ::close(fifo);
    if (c.signal == 0) {
      EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 1) << "status " << status;
      const std::string console = drained ? console_pipe.text() : dir.read(".console");
      EXPECT_NE(console.find(c.report), std::string::npos) << console.substr(0, 1000);
      EXPECT_NE(console.find(efbig), std::string::npos) << console.substr(0, 1000);
    } else {
      EXPECT_EQ(WIFSIGNALED(status) ? WTERMSIG(status) : 0, c.signal) << "status " << status;
    }
    EXPECT_TRUE(dir.read(c.kept) == "before\n") << c.kept << " was replaced";
    EXPECT_EQ(temporary(dir), "");
  }
}

// Comment lines of a grid file cost no memory whatever their length; a row
// (of the x block, of the depth/mask file) is read item by item up to
// 64 MiB, at a peak memory well below 1.2 times its length; a longer one is
// unreadable.  Blanks in a row change no value.
TEST(Safety, LongLinesInGridAndDepthFiles) {
  struct Case {
    std::size_t comment, pad, depth_pad;  // characters
    int status;
    double most_memory;  // bytes
  };
  std::string plain;
  for (const auto& c : {Case{0, 0, 0, 0, 32.0 * kMiB}, Case{100'000'000, 0, 0, 0, 32.0 * kMiB},
                        Case{0, 40 * kMiB, 0, 0, 1.2 * 40 * kMiB}, Case{0, 0, 40 * kMiB, 0, 1.2 * 40 * kMiB},
                        Case{0, 65 * kMiB, 0, 1, 1.2 * 65 * kMiB}}) {
    SCOPED_TRACE(std::to_string(c.comment) + ' ' + std::to_string(c.pad) + ' ' + std::to_string(c.depth_pad));
    TempDir dir;
    dir.write("f", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n");
    dir.write("g.grd", grid_file(4, 3, c.comment ? '*' + std::string(c.comment, 'c') + '\n' : "", c.pad));
    std::string depth = std::string(c.depth_pad, ' ');
    for (int j = 1; j <= 4; ++j) depth += " 300 300 300 300 300\n";
    dir.write("d.dep", depth);
    dir.write("p", std::string("V 0 0 1 1\nU g.grd\n") + (c.depth_pad ? "D d.dep\n" : ""));
    [[maybe_unused]] const auto [status, memory] = wait_for(start_program(dir, {"p", "f", "out", "ascii"}));
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, c.status) << dir.read(".console").substr(0, 1000);
#ifndef __SANITIZE_ADDRESS__  // the sanitizer's own memory would swamp the figures
    EXPECT_LT(memory, c.most_memory);
#endif
    if (plain.empty()) plain = dir.read("g.ini");
    if (c.status == 0) {
      EXPECT_TRUE(dir.read("g.ini") == plain);
    } else {
      EXPECT_NE(dir.read(".console").find("the x block cannot be read"), std::string::npos);
    }
  }
}

// The temporary beside a print file fits the directory's limit on names
// whatever the print file's own name: names of 240 to 255 bytes, and one of
// two-byte characters, are written (exit 0, every record there, no
// temporary left).
TEST(Safety, PrintFileNamesUpToTheLimit) {
  const std::string two_bytes = "\xC3\xA9";  // e acute in UTF-8
  std::string accented;
  for (int k = 0; k < 127; ++k) accented += two_bytes;  // 254 bytes
  for (const std::string& name : {std::string(240, 'a'), std::string(250, 'b'), std::string(255, 'c'),
                                  accented, "x" + accented}) {
    SCOPED_TRACE(name.size());
    TempDir dir;
    dir.write("f", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n");
    dir.write("p", "V 0 0 1 1\n 1 2\n 3 4\n 5 6\n");
    const int status = wait_for(start_program(dir, {"p", "f", name, "ascii"})).first;
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0) << dir.read(".console");
    ASSERT_TRUE(dir.exists(name));
    EXPECT_EQ(vadrel::test::records_of(dir.read(name)).size(), 3u);
    EXPECT_EQ(temporary(dir), "");
  }
}

// A print file that is the console's own file (standard output redirected
// to a file, the print file named /dev/stdout, /proc/self/fd/1 or that
// file) is written through the console: the console's lines and every
// record are in the file afterwards, nothing is renamed over it.
TEST(Safety, PrintFileThatIsTheConsole) {
  for (const std::string print : {"/dev/stdout", "/proc/self/fd/1", "log"}) {
    SCOPED_TRACE(print);
    TempDir dir;
    dir.write("f", " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n");
    dir.write("p", "V 0 0 1 1\n 1 2\n 3 4\n 5 6\n 7 8\n");
    const int log = ::open(dir.file("log").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(log, 0);
    const int status = wait_for(start_program(dir, {"p", "f", print, "ascii"}, -1, log)).first;
    ::close(log);
    EXPECT_EQ(WIFEXITED(status) ? WEXITSTATUS(status) : -1, 0);
    const std::string text = dir.read("log");
    EXPECT_NE(text.find("Number of ground points read in:        4\n"), std::string::npos) << text;
    EXPECT_NE(text.find(" Option: ascii"), std::string::npos) << text;
    // Each point's record once: x and y as F10.4 fields after a blank.
    for (const char* xy : {"     1.0000     2.0000 ", "     3.0000     4.0000 ", "     5.0000     6.0000 ",
                           "     7.0000     8.0000 "}) {
      const auto at = text.find(std::string("\n") + xy);
      EXPECT_NE(at, std::string::npos) << xy << '\n' << text;
      EXPECT_EQ(text.find(std::string("\n") + xy, at + 1), std::string::npos) << xy << '\n' << text;
    }
    EXPECT_EQ(temporary(dir), "");
  }
}
