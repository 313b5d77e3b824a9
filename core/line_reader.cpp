#include "core/line_reader.hpp"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <utility>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

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

void LineReader::start_record() {
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
}

bool LineReader::next(std::string_view& line) {
  if (pushed_) {
    pushed_ = false;
    line = last_;
    return true;
  }
  if (overlong_) return false;
  cut_ = false;
  start_record();
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

bool LineReader::records(std::string_view& block) {
  block = {};
  if (pushed_) return true;
  if (overlong_) return false;
  start_record();
  // Blocks of at least half the buffer while the input lasts, so that the
  // caller's batches stay large.
  if (end_ - begin_ < cap_ / 2) fill();
  if (begin_ == end_) return false;
  const char* const b = buf_.get();
  if (eof_ || failed_) {
    block = std::string_view(b + begin_, end_ - begin_);
    return true;
  }
  std::size_t last = end_;
  while (last > begin_ && b[last - 1] != '\n' && b[last - 1] != '\r') --last;
  // (No line end at all: the record is longer than the buffer; next() takes it.)
  block = std::string_view(b + begin_, last - begin_);
  return true;
}

void LineReader::consume(std::size_t n) {
  begin_ += n;
  if (n > 0 && buf_[begin_ - 1] == '\r') pending_cr_ = true;
}

std::size_t record_end(std::string_view text, std::size_t from) {
  const char* const b = text.data();
  const std::size_t n = text.size();
  std::size_t i = from;
#if defined(__SSE2__)
  // Sixteen characters at a time: data lines are a few dozen long.
  const __m128i lf = _mm_set1_epi8('\n');
  const __m128i cr = _mm_set1_epi8('\r');
  for (; i + 16 <= n; i += 16) {
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    const int mask = _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(v, lf), _mm_cmpeq_epi8(v, cr)));
    if (mask != 0) return i + static_cast<std::size_t>(__builtin_ctz(static_cast<unsigned>(mask)));
  }
#endif
  for (; i < n; ++i) {
    if (b[i] == '\n' || b[i] == '\r') return i;
  }
  return n;
}

}  // namespace vadrel
