#include "core/print_file.hpp"

#include <cerrno>

namespace vadrel {

namespace {
constexpr std::size_t kBufferSize = std::size_t{1} << 16;
}

PrintFile::~PrintFile() {
  if (file_ != nullptr) std::fclose(file_);
}

bool PrintFile::open(const std::string& path) {
  file_ = std::fopen(path.c_str(), "w");
  if (file_ == nullptr) return false;
  std::setvbuf(file_, nullptr, _IOFBF, kBufferSize);
  failed_ = false;
  return true;
}

bool PrintFile::write_line(std::string_view line) {
  if (failed_) {
    errno = error_;
    return false;
  }
  if (file_ == nullptr) {
    failed_ = true;
    error_ = errno = EBADF;
    return false;
  }
  if (std::fwrite(line.data(), 1, line.size(), file_) != line.size() || std::fputc('\n', file_) == EOF) {
    failed_ = true;
    error_ = errno;
    return false;
  }
  return true;
}

bool PrintFile::close() {
  if (file_ == nullptr) return !failed_;
  const bool flushed = std::fflush(file_) == 0;
  const int flush_errno = errno;
  const bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
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
