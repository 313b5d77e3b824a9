#include "core/print_file.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace vadrel {

namespace {
constexpr std::size_t kBufferSize = std::size_t{1} << 16;
}

PrintFile::PrintFile() : buf_(new char[kBufferSize]) {}

PrintFile::~PrintFile() {
  if (fd_ >= 0) ::close(fd_);
}

bool PrintFile::open(const std::string& path) {
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
  if (fd_ < 0) return false;
  used_ = 0;
  failed_ = false;
  return true;
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
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (failed_) {
    errno = error_;
    return false;
  }
  if (!flushed) {
    errno = flush_errno;
    return false;
  }
  return closed;
}

}  // namespace vadrel
