#pragma once
// Helpers for end-to-end tests: run the real binary in a temporary
// directory on real files and collect its console, print file and status.
// Nothing here writes outside the temporary directory: a run's console goes
// to a file in it or to a pipe the test reads.
#include <sys/types.h>

#include <filesystem>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace vadrel::test {

struct RunResult {
  int status = -1;          // process exit status
  std::string console;      // standard output and standard error
};

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string file(const std::string& name) const { return (path_ / name).string(); }
  void write(const std::string& name, const std::string& text) const;
  std::string read(const std::string& name) const;
  bool exists(const std::string& name) const;

  // Runs the program in this directory with the given arguments, after the
  // shell words of `prefix` when given (for example "taskset -c 0").
  RunResult run(const std::vector<std::string>& args, const std::string& prefix = "") const;

  // Runs the program in this directory as a child of its own (a fresh
  // exec) with `bytes` as its file-size limit: a write to a regular file
  // beyond the limit fails with EFBIG ("File too large"), as a write to a
  // full disk fails, since the program ignores SIGXFSZ.  The console goes
  // to a pipe, outside the limit.  A run ended by a signal has status -1.
  RunResult run_with_file_limit(const std::vector<std::string>& args, long bytes) const;

 private:
  std::filesystem::path path_;
};

// Everything written on a pipe, read by a thread of its own until every
// writer has closed it.  Made without a name, the pipe is a fresh one whose
// write end is handed to a child; made on the name of a FIFO, it reads that
// FIFO and holds a write end of its own, so that the reading goes on until
// text() whatever the writers that open and close the FIFO meanwhile.
class Drain {
 public:
  Drain();
  explicit Drain(const std::string& fifo);
  ~Drain();
  Drain(const Drain&) = delete;
  Drain& operator=(const Drain&) = delete;

  int write_end() const { return ends_[1]; }
  // After the writers have started: closes this end and returns all that
  // came.
  const std::string& text();

 private:
  void start_reading();

  int ends_[2] = {-1, -1};
  std::thread reader_;
  std::string text_;
};

// Starts the program in `dir` (a fresh exec) with the stop signals and
// SIGXFSZ at their default actions, and `fsize` bytes as the file-size limit
// when not negative: the program itself must turn a write beyond the limit
// into a failed write (EFBIG), as on a full disk, rather than be killed by
// SIGXFSZ.  Its standard output and error go to `out`, or to the file
// .console of `dir` when `out` is negative.
pid_t start_program(const TempDir& dir, std::vector<std::string> args, long fsize = -1, int out = -1);

// The waitpid status and the peak memory (bytes) of a child.
std::pair<int, long> wait_for(pid_t pid);

// Splits text into lines (without their newlines).
std::vector<std::string> lines_of(const std::string& text);

// Lines of a print file after the set-up echo and headers (lines not
// starting with '*' or " *").
std::vector<std::string> records_of(const std::string& text);

// The blank-separated fields of a line.
std::vector<std::string> fields_of(const std::string& line);

}  // namespace vadrel::test
