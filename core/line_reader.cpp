#include "core/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vadrel {

namespace {
constexpr std::size_t kBlock = std::size_t{1} << 20;
}

LineReader::LineReader(int fd, std::size_t keep)
    : fd_(fd), keep_(std::min(keep, kBlock / 2)), buf_(new char[kBlock]), cap_(kBlock) {}

LineReader LineReader::from_text(std::string text, std::size_t keep) {
  LineReader r;
  r.keep_ = keep;
  r.cap_ = std::max<std::size_t>(text.size(), 1);
  r.buf_.reset(new char[r.cap_]);
  std::memcpy(r.buf_.get(), text.data(), text.size());
  r.end_ = text.size();
  r.eof_ = true;
  return r;
}

LineReader::LineReader(LineReader&&) noexcept = default;
LineReader& LineReader::operator=(LineReader&&) noexcept = default;
LineReader::~LineReader() = default;

bool LineReader::fill() {
  if (eof_ || failed_) return false;
  if (begin_ > 0) {
    std::memmove(buf_.get(), buf_.get() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  while (end_ < cap_) {
    const ssize_t got = ::read(fd_, buf_.get() + end_, cap_ - end_);
    if (got > 0) {
      end_ += static_cast<std::size_t>(got);
      return true;
    }
    if (got == 0) {
      eof_ = true;
      return false;
    }
    if (errno == EINTR) continue;
    failed_ = true;
    error_ = errno;
    return false;
  }
  return false;
}

bool LineReader::next(std::string_view& line) {
  if (pushed_) {
    pushed_ = false;
    line = last_;
    return true;
  }
  cut_ = false;
  for (;;) {
    char* const first = buf_.get() + begin_;
    const std::size_t avail = end_ - begin_;
    const void* nl = avail > 0 ? std::memchr(first, '\n', avail) : nullptr;
    std::size_t len = 0;
    if (nl != nullptr) {
      len = static_cast<std::size_t>(static_cast<const char*>(nl) - first);
      begin_ += len + 1;
    } else if (eof_ || failed_ || (begin_ == 0 && end_ == cap_)) {
      if (avail == 0) return false;
      if (end_ == cap_ && !(eof_ || failed_)) {
        // A record longer than the whole buffer: keep its start, skip the rest.
        long_line_.assign(first, std::min(keep_, avail));
        cut_ = true;
        begin_ = end_ = 0;
        while (fill()) {
          const void* p = std::memchr(buf_.get(), '\n', end_);
          if (p != nullptr) {
            begin_ = static_cast<std::size_t>(static_cast<const char*>(p) - buf_.get()) + 1;
            break;
          }
          begin_ = end_ = 0;
        }
        last_ = long_line_;
        line = last_;
        return true;
      }
      len = avail;  // the last record, without its line end
      begin_ = end_;
    } else {
      fill();
      continue;
    }
    if (len > 0 && first[len - 1] == '\r') --len;
    if (len > keep_) {
      len = keep_;
      cut_ = true;
    }
    last_ = std::string_view(first, len);
    line = last_;
    return true;
  }
}

void LineReader::push_back() { pushed_ = true; }

}  // namespace vadrel
