#include "tests/e2e.hpp"

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>

namespace vadrel::test {

namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device rd;
  for (int attempt = 0; attempt < 100; ++attempt) {
    const fs::path p = fs::temp_directory_path() / ("vadrel-test-" + std::to_string(rd()));
    if (fs::create_directory(p)) {
      path_ = p;
      return;
    }
  }
  throw std::runtime_error("cannot create a temporary directory");
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

void TempDir::write(const std::string& name, const std::string& text) const {
  std::ofstream out(path_ / name, std::ios::binary);
  out << text;
}

std::string TempDir::read(const std::string& name) const {
  std::ifstream in(path_ / name, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TempDir::exists(const std::string& name) const { return fs::exists(path_ / name); }

namespace {

std::string quote(const std::string& s) {
  std::string q = "'";
  for (const char c : s) {
    if (c == '\'') q += "'\\''";
    else q += c;
  }
  return q + "'";
}

}  // namespace

RunResult TempDir::run(const std::vector<std::string>& args, const std::string& prefix) const {
  std::string cmd = "cd " + quote(path_.string()) + " && " + prefix + (prefix.empty() ? "" : " ") +
                    quote(VADREL_BINARY);
  for (const auto& a : args) cmd += ' ' + quote(a);
  cmd += " > .console 2>&1 < /dev/null";
  const int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.console = read(".console");
  return r;
}

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::vector<std::string> records_of(const std::string& text) {
  std::vector<std::string> out;
  for (const auto& l : lines_of(text)) {
    if (l.rfind("*", 0) == 0 || l.rfind(" *", 0) == 0) continue;
    out.push_back(l);
  }
  return out;
}

std::vector<std::string> fields_of(const std::string& line) {
  std::vector<std::string> out;
  std::istringstream in(line);
  std::string f;
  while (in >> f) out.push_back(f);
  return out;
}

}  // namespace vadrel::test
