// The real program under faults: a full disk (a file-size limit), signals in
// the middle of a run, broken pipes, and very long lines in grid and
// depth/mask files (peak memory read from the kernel's accounting of the
// child).  Each run is a child process started here, so that its limits,
// signals and memory are its own.
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
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e.hpp"

using vadrel::test::TempDir;
namespace fs = std::filesystem;

namespace {

const char* kFault = " 0 0 0 0 10 45 1 1 0 1000 0 20 10 thrust\n";
constexpr std::size_t kMiB = std::size_t{1} << 20;

struct Options {
  long file_size_limit = -1;  // bytes; -1 for none
  int output = -1;            // standard output and error (-1: the file .console)
};

// Starts the program in `dir`; standard input is /dev/null.  The stop
// signals are at their default actions in the child whatever the test
// runner ignores; with a file-size limit SIGXFSZ is ignored, so that a
// write beyond it fails with EFBIG as a full disk fails with ENOSPC.
pid_t start(const TempDir& dir, const std::vector<std::string>& args, const Options& o = {}) {
  std::vector<std::string> words{VADREL_BINARY};
  words.insert(words.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (auto& w : words) argv.push_back(w.data());
  argv.push_back(nullptr);
  const std::string where = dir.path().string();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::chdir(where.c_str()) != 0) ::_exit(127);
  const int out = o.output >= 0 ? o.output : ::open(".console", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int in = ::open("/dev/null", O_RDONLY);
  if (out < 0 || in < 0 || ::dup2(out, 1) < 0 || ::dup2(out, 2) < 0 || ::dup2(in, 0) < 0) ::_exit(127);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE}) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (o.file_size_limit >= 0) {
    const rlimit limit{static_cast<rlim_t>(o.file_size_limit), static_cast<rlim_t>(o.file_size_limit)};
    ::setrlimit(RLIMIT_FSIZE, &limit);
    ::signal(SIGXFSZ, SIG_IGN);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

struct Ended {
  int status = 0;     // as waitpid gives it
  long max_rss = 0;   // bytes
};

Ended wait_for(pid_t pid) {
  Ended e;
  rusage usage{};
  if (::wait4(pid, &e.status, 0, &usage) != pid) ADD_FAILURE() << "wait4: " << std::strerror(errno);
  e.max_rss = usage.ru_maxrss * 1024L;  // kilobytes on Linux
  return e;
}

int exit_code(const Ended& e) { return WIFEXITED(e.status) ? WEXITSTATUS(e.status) : -1; }
int killed_by(const Ended& e) { return WIFSIGNALED(e.status) ? WTERMSIG(e.status) : 0; }

// The temporaries the program writes beside their targets.
std::vector<std::string> temporaries(const TempDir& dir) {
  std::vector<std::string> found;
  for (const auto& entry : fs::directory_iterator(dir.path())) {
    const std::string name = entry.path().filename().string();
    if (name.find(".vadrel-") != std::string::npos) found.push_back(name);
  }
  return found;
}

// Waits (up to 20 s) until a temporary whose name starts with `prefix`
// exists: the run is then past opening that file.
bool temporary_appears(const TempDir& dir, const std::string& prefix) {
  for (int k = 0; k < 20000; ++k) {
    for (const auto& name : temporaries(dir)) {
      if (name.rfind(prefix, 0) == 0) return true;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

// A curvilinear grid file of m x n nodes in metres (comment lines first),
// x = 1000 i, y = 1000 j; `pad` blanks go before the last value of the
// first x row.
std::string grid_file(int m, int n, const std::string& comment = "", std::size_t pad = 0) {
  std::string g = comment + "* a grid in metres\nCoordinate System = Cartesian\n " + std::to_string(m) + ' ' +
                  std::to_string(n) + "\n 0 0 0\n";
  for (const char axis : {'x', 'y'}) {
    for (int j = 1; j <= n; ++j) {
      g += " ETA= " + std::to_string(j);
      for (int i = 1; i <= m; ++i) {
        if (axis == 'x' && j == 1 && i == m) g += std::string(pad, ' ');
        g += ' ' + std::to_string(1000 * (axis == 'x' ? i : j)) + ".0";
      }
      g += '\n';
    }
  }
  return g;
}

}  // namespace

// A write that fails (here beyond a file-size limit, as on a full disk)
// stops the run, removes the temporary and leaves the file of that name as
// it was: the print file, a G/M card's disp.ini, a U card's .ini.
TEST(Safety, AFailedWriteLeavesTheOldFileInPlace) {
  std::string many_points = "V 0 0 1 1\n";
  for (int k = 0; k < 3000; ++k) many_points += ' ' + std::to_string(k % 50) + " 1.5\n";
  struct Case {
    const char* what;
    std::string points;
    const char* print;
    const char* kept;  // the file that existed before
    std::string report;  // the line that names the failed write
    const char* stop;
  };
  for (const auto& c : {Case{"print file", many_points, "out", "out", " FORM_RANGE: Write problem, ios = " + std::to_string(EFBIG),
                             "FORM_RANGE: Write problem"},
                        Case{"M card", "V 0 0 1 1\nM 0 0 1 1 100 100\n", "/dev/null", "disp.ini",
                             " Error writing file: disp.ini", "Could not write output file disp.ini."},
                        Case{"U card", "V 0 0 1 1\nU g.grd\n", "/dev/null", "g.ini", " Error writing file: g.ini",
                             "Could not write output file g.ini."}}) {
    TempDir dir;
    dir.write("f", kFault);
    dir.write("p", c.points);
    dir.write("g.grd", grid_file(60, 60));
    const std::string old = std::string("the file before the run\n");
    dir.write(c.kept, old);
    const Ended e = wait_for(start(dir, {"p", "f", c.print, "ascii"}, {.file_size_limit = 16384}));
    const std::string console = dir.read(".console");
    EXPECT_EQ(exit_code(e), 1) << c.what << '\n' << console;
    EXPECT_NE(console.find(c.report), std::string::npos) << c.what << '\n' << console;
    EXPECT_NE(console.find(std::strerror(EFBIG)), std::string::npos) << c.what << '\n' << console;
    EXPECT_NE(console.find(c.stop), std::string::npos) << c.what << '\n' << console;
    EXPECT_TRUE(dir.read(c.kept) == old) << c.what << ": " << c.kept << " was replaced";
    EXPECT_TRUE(temporaries(dir).empty()) << c.what << ": " << temporaries(dir).front();
  }
}

// SIGINT, SIGTERM and SIGHUP in the middle of a run: the temporaries go, the
// files of those names stay as they were, and the process ends by the
// signal.  The run waits on a FIFO that the test keeps open (the print
// file's temporary exists), or computes a large M grid (disp.ini's too).
TEST(Safety, StopSignalsRemoveTheTemporaries) {
  struct Case {
    int signal;
    bool grid;
  };
  for (const auto& c : {Case{SIGINT, false}, Case{SIGTERM, false}, Case{SIGHUP, false}, Case{SIGTERM, true},
                        Case{SIGINT, true}}) {
    TempDir dir;
    dir.write("f", kFault);
    dir.write("out", "print file before\n");
    dir.write("disp.ini", "disp.ini before\n");
    int fifo = -1;
    if (c.grid) {
      dir.write("p", "V 0 0 1 1\n 1 1\nM 0 0 0.01 0.01 2000 2000\n");
    } else {
      ASSERT_EQ(::mkfifo(dir.file("p").c_str(), 0600), 0);
      fifo = ::open(dir.file("p").c_str(), O_RDWR);  // a writer that stays: the reader waits
      ASSERT_GE(fifo, 0);
      const std::string some = "V 0 0 1 1\n 1 1\n 2 2\n";
      ASSERT_EQ(::write(fifo, some.data(), some.size()), static_cast<ssize_t>(some.size()));
    }
    const pid_t pid = start(dir, {"p", "f", "out", "ascii"});
    const bool running = temporary_appears(dir, c.grid ? ".disp.ini.vadrel-" : ".out.vadrel-");
    ::kill(pid, c.signal);
    const Ended e = wait_for(pid);
    if (fifo >= 0) ::close(fifo);
    ASSERT_TRUE(running) << dir.read(".console");
    EXPECT_EQ(killed_by(e), c.signal) << "status " << e.status << '\n' << dir.read(".console");
    EXPECT_TRUE(dir.read("out") == "print file before\n") << "out was replaced";
    EXPECT_TRUE(dir.read("disp.ini") == "disp.ini before\n") << "disp.ini was replaced";
    EXPECT_TRUE(temporaries(dir).empty()) << temporaries(dir).front();
  }
}

// A broken pipe ends the run quietly, by SIGPIPE as other stream tools end
// (status 141 in a shell), and no partial temporary replaces a file: the
// console and print file on a pipe nobody reads (during a grid, disp.ini's
// temporary in existence), and the console alone (the print file's).
TEST(Safety, ABrokenPipeEndsTheRunQuietly) {
  std::string bad_lines = "V 0 0 1 1\n";
  for (int k = 0; k < 3000; ++k) bad_lines += " x y\n";
  struct Case {
    const char* what;
    std::string points;
    const char* print;
  };
  for (const auto& c : {Case{"print file and console", "V 0 0 1 1\nM 0 0 1 1 200 200\n", "/dev/stdout"},
                        Case{"console", bad_lines, "out"}}) {
    TempDir dir;
    dir.write("f", kFault);
    dir.write("p", c.points);
    dir.write("out", "print file before\n");
    dir.write("disp.ini", "disp.ini before\n");
    int pipe_ends[2];
    ASSERT_EQ(::pipe(pipe_ends), 0);
    ::close(pipe_ends[0]);  // nobody reads
    const pid_t pid = start(dir, {"p", "f", c.print, "ascii"}, {.output = pipe_ends[1]});
    ::close(pipe_ends[1]);
    const Ended e = wait_for(pid);
    EXPECT_EQ(killed_by(e), SIGPIPE) << c.what << ": status " << e.status;
    EXPECT_TRUE(dir.read("out") == "print file before\n") << c.what << ": out was replaced";
    EXPECT_TRUE(dir.read("disp.ini") == "disp.ini before\n") << c.what << ": disp.ini was replaced";
    EXPECT_TRUE(temporaries(dir).empty()) << c.what << ": " << temporaries(dir).front();
  }
}

// Comment lines of a grid file cost no memory whatever their length; a data
// record (a row of the x block, a row of the depth/mask file) may run to
// 64 MiB at a peak memory below 1.2 times its length, and a longer one is
// unreadable.  Blanks in a row change no value: the .ini is that of the
// plain grid.
TEST(Safety, LongLinesInGridAndDepthFiles) {
  const std::string points = "V 0 0 1 1\nU g.grd\n";
  std::string plain_ini;
  {
    TempDir dir;
    dir.write("f", kFault);
    dir.write("p", points);
    dir.write("g.grd", grid_file(4, 3));
    ASSERT_EQ(exit_code(wait_for(start(dir, {"p", "f", "/dev/null", "ascii"}))), 0) << dir.read(".console");
    plain_ini = dir.read("g.ini");
  }
  const std::string depth_row = " 300 300 300 300 300\n";
  struct Case {
    const char* what;
    std::size_t comment;    // characters of a comment line before the header
    std::size_t pad;        // blanks within the first x row
    std::size_t depth_pad;  // blanks within the first depth row (0: no depth file)
    int status;
    double most_memory;  // bytes
  };
  for (const auto& c : {Case{"100 MB comment", 100'000'000, 0, 0, 0, 32.0 * kMiB},
                        Case{"40 MiB x row", 0, 40 * kMiB, 0, 0, 1.2 * 40 * kMiB},
                        Case{"40 MiB depth row", 0, 0, 40 * kMiB, 0, 1.2 * 40 * kMiB},
                        Case{"65 MiB x row", 0, 65 * kMiB, 0, 1, 1.2 * 65 * kMiB}}) {
    TempDir dir;
    dir.write("f", kFault);
    dir.write("g.grd", grid_file(4, 3, c.comment > 0 ? '*' + std::string(c.comment, 'c') + '\n' : "", c.pad));
    if (c.depth_pad > 0) {
      std::string depth = ' ' + std::string(c.depth_pad, ' ') + depth_row;
      for (int j = 2; j <= 4; ++j) depth += depth_row;
      dir.write("d.dep", depth);
      dir.write("p", points + "D d.dep\n");
    } else {
      dir.write("p", points);
    }
    const Ended e = wait_for(start(dir, {"p", "f", "/dev/null", "ascii"}));
    const std::string console = dir.read(".console");
    EXPECT_EQ(exit_code(e), c.status) << c.what << '\n' << console.substr(0, 2000);
    EXPECT_LT(e.max_rss, c.most_memory) << c.what;
    if (c.status == 0) {
      EXPECT_TRUE(dir.read("g.ini") == plain_ini) << c.what << ": another g.ini";
    } else {
      EXPECT_NE(console.find("the x block cannot be read"), std::string::npos) << c.what << '\n' << console;
      EXPECT_FALSE(dir.exists("g.ini")) << c.what;
    }
  }
}
