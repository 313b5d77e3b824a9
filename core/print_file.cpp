#include "core/print_file.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace vadrel {

namespace {
constexpr std::size_t kBufferSize = std::size_t{1} << 16;
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
  const auto slash = target_.rfind('/');
  std::string temp = target_.substr(0, slash + 1) + '.' + target_.substr(slash + 1) + ".vadrel-XXXXXX";
  fd_ = ::mkostemp(temp.data(), O_CLOEXEC);
  if (fd_ < 0) return false;
  temp_ = temp;
  return true;
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
}

bool PrintFile::fail(int err) {
  failed_ = true;
  error_ = errno = err;
  return false;
}

bool PrintFile::flush() {
  std::size_t done = 0;
  while (done < used_) {
    const ssize_t n = ::write(fd_, buf_.get() + done, used_ - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail(errno);
    }
    done += static_cast<std::size_t>(n);
  }
  used_ = 0;
  return true;
}

bool PrintFile::write(std::string_view text) {
  if (failed_) {
    errno = error_;
    return false;
  }
  if (fd_ < 0) return fail(EBADF);
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
    if (::rename(temp_.c_str(), target_.c_str()) != 0) {
      closed = false;
      close_errno = errno;
      ::unlink(temp_.c_str());
    }
    temp_.clear();
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
