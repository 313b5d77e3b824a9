#pragma once
// Helpers for end-to-end tests: run the real binary in a temporary
// directory on real files and collect its console, print file and status.
#include <filesystem>
#include <string>
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

 private:
  std::filesystem::path path_;
};

// Splits text into lines (without their newlines).
std::vector<std::string> lines_of(const std::string& text);

// Lines of a print file after the set-up echo and headers (lines not
// starting with '*' or " *").
std::vector<std::string> records_of(const std::string& text);

// The blank-separated fields of a line.
std::vector<std::string> fields_of(const std::string& line);

}  // namespace vadrel::test
