#include "core/print_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdlib>
#include <cstring>

namespace vadrel {

namespace {
constexpr std::size_t kBufferSize = std::size_t{1} << 16;

// The temporaries in existence, for the signal handler: a fixed table, so
// that the handler neither allocates nor locks.  A slot is free (0), being
// filled (1) or names a temporary (2).
constexpr int kSlots = 16;
constexpr std::size_t kSlotName = 4096;
struct TempSlot {
  std::atomic<int> state{0};
  char name[kSlotName];
};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler reads the slots");
TempSlot g_temps[kSlots];

int claim_slot(const std::string& name) {
  if (name.size() >= kSlotName) return -1;
  for (int k = 0; k < kSlots; ++k) {
    int expected = 0;
    if (g_temps[k].state.compare_exchange_strong(expected, 1)) {
      std::memcpy(g_temps[k].name, name.c_str(), name.size() + 1);
      g_temps[k].state.store(2);
      return k;
    }
  }
  return -1;  // a full table: this temporary may outlive a signal
}

void release_slot(int k) {
  if (k >= 0) g_temps[k].state.store(0);
}

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Only async-signal-safe calls: unlink, signal, raise.  With the default
// action restored, the signal raised again (blocked until the handler
// returns) ends the process with the signal's usual status.
extern "C" void remove_temporaries_and_stop(int sig) {
  for (auto& slot : g_temps) {
    if (slot.state.load() == 2) ::unlink(slot.name);
  }
  ::signal(sig, SIG_DFL);
  ::raise(sig);
}

}  // namespace

void install_stop_signals() {
  // A write beyond a file-size limit (ulimit -f) fails with EFBIG, as one
  // beyond a full disk does, instead of killing the run without a word: the
  // run reports it, removes its temporaries and keeps the files it found.
  ::signal(SIGXFSZ, SIG_IGN);
  struct sigaction action {};
  action.sa_handler = remove_temporaries_and_stop;
  sigemptyset(&action.sa_mask);
  for (const int sig : kStopSignals) sigaddset(&action.sa_mask, sig);
  for (const int sig : kStopSignals) {
    struct sigaction old {};
    if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) continue;
    ::sigaction(sig, &action, nullptr);
  }
}

PrintFile::PrintFile() : buf_(new char[kBufferSize]) {}

PrintFile::~PrintFile() {
  if (fd_ >= 0) close();
}

namespace {

// The absolute name of a file that may not exist yet: its directory
// resolved (links included), then its own name; a link to a file is
// followed to the file.  Empty when the directory cannot be resolved.
std::string resolved(const std::string& path) {
  if (char* real = ::realpath(path.c_str(), nullptr)) {
    std::string r(real);
    std::free(real);
    return r;
  }
  const auto slash = path.rfind('/');
  const std::string dir = slash == std::string::npos ? "." : (slash == 0 ? "/" : path.substr(0, slash));
  const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
  char* real = ::realpath(dir.c_str(), nullptr);
  if (real == nullptr) return {};
  std::string r(real);
  std::free(real);
  return (r == "/" ? r : r + '/') + base;
}

// The standard output or standard error descriptor open on the file `st`
// describes (the console's own file, however it is named: /dev/stdout,
// /proc/self/fd/1, or the file the console is redirected to), or -1.
int console_descriptor(const struct stat& st) {
  for (const int fd : {STDOUT_FILENO, STDERR_FILENO}) {
    struct stat c {};
    if (::fstat(fd, &c) == 0 && c.st_dev == st.st_dev && c.st_ino == st.st_ino) return fd;
  }
  return -1;
}

// The longest file name the directory of `target` takes.
std::size_t name_limit(const std::string& target) {
  const auto slash = target.rfind('/');
  const std::string dir = slash == 0 ? "/" : target.substr(0, slash);
  errno = 0;
  const long n = ::pathconf(dir.c_str(), _PC_NAME_MAX);
  return n > 0 ? static_cast<std::size_t>(n) : std::size_t{NAME_MAX};
}

// The name of a temporary beside `target` (an absolute name):
// ".<name>" + `suffix`, the name shortened at a character boundary when the
// whole would not fit the directory's limit on names.
std::string temporary_name(const std::string& target, const std::string& suffix) {
  const auto slash = target.rfind('/');
  std::string name = target.substr(slash + 1);
  const std::size_t limit = name_limit(target);
  const std::size_t room = limit > suffix.size() + 1 ? limit - suffix.size() - 1 : 0;
  if (name.size() > room) {
    std::size_t cut = room;
    // Not inside a UTF-8 sequence: back up over continuation bytes.
    while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80) --cut;
    name.resize(cut);
  }
  return target.substr(0, slash + 1) + '.' + name + suffix;
}

}  // namespace

bool PrintFile::open(const std::string& path) {
  used_ = 0;
  failed_ = false;
  temp_.clear();
  target_ = resolved(path);
  struct stat st {};
  const bool exists = ::stat(path.c_str(), &st) == 0;
  struct stat lst {};
  const bool dangling = !exists && ::lstat(path.c_str(), &lst) == 0;
  if (exists) {
    // The console's own file is written through the console's descriptor:
    // never renamed over (the console lines would go with the old file) nor
    // truncated, and its lines and the records share one position.
    if (const int console = console_descriptor(st); console >= 0) {
      fd_ = ::fcntl(console, F_DUPFD_CLOEXEC, 0);
      return fd_ >= 0;
    }
  }
  if ((exists && !S_ISREG(st.st_mode)) || dangling || target_.empty()) {
    // A device, a pipe or a dangling link: written directly.
    fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
    return fd_ >= 0;
  }
  if (exists) {
    mode_ = static_cast<int>(st.st_mode & 07777);
  } else {
    const mode_t mask = ::umask(0);
    ::umask(mask);
    mode_ = static_cast<int>(0666 & ~mask);
  }
  // The temporary's name is in the signal table before the file exists, so
  // that no signal can leave it behind.
  static std::atomic<unsigned> serial{0};
  const std::string stem = ".vadrel-" + std::to_string(::getpid()) + '-';
  for (int attempt = 0; attempt < 100; ++attempt) {
    const std::string temp = temporary_name(target_, stem + std::to_string(serial++));
    slot_ = claim_slot(temp);
    fd_ = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd_ >= 0) {
      temp_ = temp;
      return true;
    }
    const int err = errno;
    forget_temp();
    errno = err;
    if (err != EEXIST) return false;
  }
  return false;
}

void PrintFile::forget_temp() {
  release_slot(slot_);
  slot_ = -1;
}

bool PrintFile::targets(const std::string& name) const {
  if (target_.empty()) return false;
  struct stat a {};
  struct stat b {};
  if (::stat(name.c_str(), &a) == 0 && ::stat(target_.c_str(), &b) == 0)
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
  return resolved(name) == target_;
}

void PrintFile::discard() {
  if (fd_ < 0) return;
  ::close(fd_);
  fd_ = -1;
  if (!temp_.empty()) ::unlink(temp_.c_str());
  temp_.clear();
  forget_temp();
}

bool PrintFile::fail(int err) {
  failed_ = true;
  error_ = errno = err;
  return false;
}

bool PrintFile::write_all(iovec* part, int count) {
  int at = 0;
  while (at < count && part[at].iov_len == 0) ++at;
  while (at < count) {
    const ssize_t n = ::writev(fd_, part + at, count - at);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    auto done = static_cast<std::size_t>(n);
    while (at < count && done >= part[at].iov_len) done -= part[at++].iov_len;
    if (at < count) {
      part[at].iov_base = static_cast<char*>(part[at].iov_base) + done;
      part[at].iov_len -= done;
    }
  }
  return true;
}

bool PrintFile::flush() {
  iovec part{buf_.get(), used_};
  if (!write_all(&part, 1)) return false;
  used_ = 0;
  return true;
}

bool PrintFile::write(std::string_view text) {
  if (failed_) {
    errno = error_;
    return false;
  }
  if (fd_ < 0) return fail(EBADF);
  if (used_ + text.size() > kBufferSize && text.size() >= kBufferSize / 2) {
    // A large piece (a chunk of long records) goes out in one call with
    // what is buffered, without being copied first.
    iovec part[2] = {{buf_.get(), used_}, {const_cast<char*>(text.data()), text.size()}};
    if (!write_all(part, 2)) return false;
    used_ = 0;
    return true;
  }
  while (!text.empty()) {
    if (used_ == kBufferSize && !flush()) return false;
    const std::size_t n = std::min(text.size(), kBufferSize - used_);
    std::memcpy(buf_.get() + used_, text.data(), n);
    used_ += n;
    text.remove_prefix(n);
  }
  return true;
}

bool PrintFile::write_line(std::string_view line) { return write(line) && write("\n"); }

bool PrintFile::close() {
  if (fd_ < 0) {
    if (failed_) errno = error_;
    return !failed_;
  }
  const bool flushed = failed_ || flush();
  const int flush_errno = errno;
  bool closed = true;
  if (!temp_.empty()) closed = ::fchmod(fd_, static_cast<mode_t>(mode_)) == 0;
  closed = ::close(fd_) == 0 && closed;
  int close_errno = errno;
  fd_ = -1;
  if (!temp_.empty()) {
    // Only a complete file replaces the target.
    if (failed_ || !flushed || !closed) {
      ::unlink(temp_.c_str());
    } else if (::rename(temp_.c_str(), target_.c_str()) != 0) {
      closed = false;
      close_errno = errno;
      ::unlink(temp_.c_str());
    }
    temp_.clear();
    forget_temp();
  }
  if (failed_) {
    errno = error_;
    return false;
  }
  if (!flushed) {
    errno = flush_errno;
    return false;
  }
  errno = close_errno;
  return closed;
}

}  // namespace vadrel
