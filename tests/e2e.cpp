#include "tests/e2e.hpp"

#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

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
  cmd += " > .console 2>&1 < /dev/null";  // reads only
  const int raw = std::system(cmd.c_str());
  RunResult r;
  r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  r.console = read(".console");
  return r;
}

RunResult TempDir::run_with_file_limit(const std::vector<std::string>& args, long bytes) const {
  Drain console;
  const int status = wait_for(start_program(*this, args, bytes, console.write_end())).first;
  RunResult r;
  r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  r.console = console.text();
  return r;
}

Drain::Drain() {
  if (::pipe2(ends_, O_CLOEXEC) != 0) ends_[0] = ends_[1] = -1;
  start_reading();
}

Drain::Drain(const std::string& fifo) {
  // The read end first (without waiting for a writer), then a write end of
  // this object's own; the read end then waits for data as a pipe's does.
  ends_[0] = ::open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (ends_[0] >= 0) {
    ends_[1] = ::open(fifo.c_str(), O_WRONLY | O_CLOEXEC);
    ::fcntl(ends_[0], F_SETFL, ::fcntl(ends_[0], F_GETFL) & ~O_NONBLOCK);
  }
  if (ends_[1] < 0) throw std::runtime_error("cannot open the FIFO " + fifo + " at both ends");
  start_reading();
}

void Drain::start_reading() {
  reader_ = std::thread([this] {
    char buf[1 << 16];
    ssize_t n = 0;
    while ((n = ::read(ends_[0], buf, sizeof buf)) > 0 || (n < 0 && errno == EINTR)) {
      if (n > 0) text_.append(buf, static_cast<std::size_t>(n));
    }
  });
}

Drain::~Drain() { text(); }

const std::string& Drain::text() {
  if (ends_[1] >= 0) ::close(ends_[1]);
  ends_[1] = -1;
  if (reader_.joinable()) reader_.join();
  if (ends_[0] >= 0) ::close(ends_[0]);
  ends_[0] = -1;
  return text_;
}

pid_t start_program(const TempDir& dir, std::vector<std::string> args, long fsize, int out) {
  args.insert(args.begin(), VADREL_BINARY);
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const std::string where = dir.path().string();
  const pid_t pid = ::fork();
  if (pid != 0) return pid;
  if (::chdir(where.c_str()) != 0) ::_exit(127);
  if (out < 0) out = ::open(".console", O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ::dup2(out, 1);
  ::dup2(out, 2);
  for (const int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGXFSZ}) ::signal(sig, SIG_DFL);
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  if (fsize >= 0) {
    const rlimit limit{static_cast<rlim_t>(fsize), static_cast<rlim_t>(fsize)};
    if (::setrlimit(RLIMIT_FSIZE, &limit) != 0) ::_exit(126);
  }
  ::execv(argv[0], argv.data());
  ::_exit(127);
}

std::pair<int, long> wait_for(pid_t pid) {
  if (pid <= 0) return {-1, 0L};  // no child: never any other one's status
  int status = 0;
  rusage usage{};
  while (::wait4(pid, &status, 0, &usage) < 0 && errno == EINTR) {
  }
  return {status, usage.ru_maxrss * 1024L};
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
