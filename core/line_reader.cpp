#include "core/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vadrel {

namespace {
constexpr std::size_t kBlock = std::size_t{1} << 17;
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

std::string LineReader::failure() const {
  if (overlong_) return "A line holds more than " + std::to_string(kMaxRecord) + " characters";
  return std::strerror(error_);
}

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

std::size_t LineReader::find_end(std::size_t from) const {
  const char* const b = buf_.get();
  const void* lf = std::memchr(b + from, '\n', end_ - from);
  const std::size_t stop = lf != nullptr ? static_cast<std::size_t>(static_cast<const char*>(lf) - b) : end_;
  const void* cr = std::memchr(b + from, '\r', stop - from);
  return cr != nullptr ? static_cast<std::size_t>(static_cast<const char*>(cr) - b) : stop;
}

void LineReader::skip_record() {
  // The record continues beyond the whole buffer: consume it to its end
  // without keeping it, up to kMaxRecord characters.
  std::size_t length = end_ - begin_;
  begin_ = end_ = 0;
  while (fill()) {
    const std::size_t at = find_end(0);
    if (at < end_) {
      length += at;
      begin_ = at + 1;
      pending_cr_ = buf_[at] == '\r';
      break;
    }
    length += end_;
    begin_ = end_ = 0;
    if (length > kMaxRecord) {
      overlong_ = true;
      failed_ = true;
      return;
    }
  }
}

bool LineReader::next(std::string_view& line) {
  if (pushed_) {
    pushed_ = false;
    line = last_;
    return true;
  }
  if (overlong_) return false;
  cut_ = false;
  if (!started_) {
    // A byte-order mark (UTF-8) opens some files written on Windows.
    while (end_ - begin_ < 3 && fill()) {
    }
    if (end_ - begin_ >= 3 && std::memcmp(buf_.get() + begin_, "\xEF\xBB\xBF", 3) == 0) begin_ += 3;
    started_ = true;
  }
  if (pending_cr_) {
    // The last record ended with a CR: a LF right after it belongs to it.
    if (begin_ == end_) fill();
    if (begin_ < end_ && buf_[begin_] == '\n') ++begin_;
    pending_cr_ = false;
  }
  std::size_t from = begin_;  // the line end is not before here
  for (;;) {
    const std::size_t at = from < end_ ? find_end(from) : end_;
    if (at < end_ || ((eof_ || failed_) && begin_ < end_)) {
      // A record ends at a LF, at a CR (alone or before a LF), or at the
      // end of the input.
      char* const first = buf_.get() + begin_;
      std::size_t len = at - begin_;
      if (at < end_) {
        pending_cr_ = buf_[at] == '\r';
        begin_ = at + 1;
      } else {
        begin_ = end_;
      }
      if (len > keep_) {
        len = keep_;
        cut_ = true;
      }
      last_ = std::string_view(first, len);
      line = last_;
      return true;
    }
    if (eof_ || failed_) return false;
    if (begin_ == 0 && end_ == cap_) {
      // A record longer than the whole buffer: keep its start.
      long_line_.assign(buf_.get(), keep_);
      cut_ = true;
      skip_record();
      if (overlong_) return false;
      last_ = long_line_;
      line = last_;
      return true;
    }
    const std::size_t scanned = end_ - begin_;
    fill();
    from = begin_ + scanned;
  }
}

void LineReader::push_back() { pushed_ = true; }

}  // namespace vadrel
