#include "readers/cardline.hpp"

#include "core/files.hpp"
#include "core/stop.hpp"

#include <charconv>
#include <cerrno>
#include <cstdint>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <istream>
#include <ostream>

namespace vadrel {

namespace {

constexpr int kEof = std::char_traits<char>::eof();

// Consumes one record through `take`, called with each character; false
// when the record is longer than `limit`.  `any` tells whether anything
// (a character or a line end) was there, `eof` whether the input ended.
template <class Take>
bool consume_record(std::streambuf& sb, std::size_t limit, bool& any, bool& eof, Take take) {
  any = false;
  eof = false;
  for (std::size_t length = 0;; ++length) {
    const int c = sb.sbumpc();
    if (c == kEof) {
      eof = true;
      return true;
    }
    any = true;
    if (c == '\n') return true;
    if (c == '\r') {  // CR LF, or a lone CR
      if (sb.sgetc() == '\n') sb.sbumpc();
      return true;
    }
    if (length >= limit) return false;
    take(static_cast<char>(c));
  }
}

}  // namespace

bool read_record(std::istream& in, std::string& record, std::size_t keep) {
  record.clear();
  std::streambuf* sb = in.rdbuf();
  if (!in.good() || sb == nullptr) {
    in.setstate(std::ios::failbit);
    return false;
  }
  try {
    bool any = false;
    bool eof = false;
    const bool whole = consume_record(*sb, kMaxGridRecord, any, eof, [&](char c) {
      if (record.size() < keep) record.push_back(c);
    });
    if (!whole) {
      // A line without end (a device, say): a failed read, not memory or
      // time without bound.
      errno = EOVERFLOW;
      in.setstate(std::ios::badbit);
      return false;
    }
    if (eof) in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
    return any;
  } catch (...) {
    // The stream's buffer reports a failed read by throwing.
    in.setstate(std::ios::badbit);
    return false;
  }
}

bool skip_record(std::istream& in) {
  std::streambuf* sb = in.rdbuf();
  if (!in.good() || sb == nullptr) {
    in.setstate(std::ios::failbit);
    return false;
  }
  try {
    bool any = false;
    bool eof = false;
    consume_record(*sb, static_cast<std::size_t>(-1), any, eof, [](char) {});
    if (eof) in.setstate(any ? std::ios::eofbit : std::ios::eofbit | std::ios::failbit);
    return any;
  } catch (...) {
    in.setstate(std::ios::badbit);
    return false;
  }
}

void skip_byte_order_mark(std::istream& in) {
  std::streambuf* sb = in.rdbuf();
  if (sb == nullptr || sb->sgetc() != 0xEF) return;
  char mark[3] = {};
  const auto got = sb->sgetn(mark, 3);
  if (got == 3 && mark[1] == '\xBB' && mark[2] == '\xBF') return;
  // Not a mark: put back what was taken.
  for (auto k = got; k > 0; --k) sb->sungetc();
}

std::string make_card(std::string_view record, std::size_t length) {
  std::string card(record.substr(0, length));
  card.resize(length, ' ');
  return card;
}

namespace {

bool is_digit(char c) { return c >= '0' && c <= '9'; }

constexpr double kExactPow10[23] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                    1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                    1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

// A number out of the range of the fast conversion: too large for a double
// (malformed here) or so small that it reads as 0 or a subnormal, as strtod
// gives it.
int convert_long(std::string_view num, double& value) {
  std::string buf(num);
  for (char& c : buf) {
    if (c == 'D' || c == 'd') c = 'E';
  }
  const int saved = errno;
  const double v = std::strtod(buf.c_str(), nullptr);
  errno = saved;
  if (!std::isfinite(v)) return STATUS_BAD_NUMBER;  // overflow
  value = v;
  return STATUS_OK;
}

// The part of a token that holds the number: a comma ends it.
std::string_view number_text(std::string_view token) {
  const auto comma = token.find(',');
  return comma == std::string_view::npos ? token : token.substr(0, comma);
}

}  // namespace

int parse_real(std::string_view token, double& value) {
  const std::string_view text = number_text(token);
  // Check the spelling: [sign] digits [. digits] [E|e|D|d [sign] digits],
  // with at least one digit in the mantissa.  The mantissa's digits are
  // gathered on the way for the fast conversion below.
  std::size_t i = 0;
  const bool plus = i < text.size() && text[i] == '+';
  const bool minus = i < text.size() && text[i] == '-';
  if (plus || minus) ++i;
  std::size_t mantissa_digits = 0;
  std::uint64_t m = 0;
  int decimals = 0;
  while (i < text.size() && is_digit(text[i])) {
    m = m * 10 + static_cast<unsigned>(text[i] - '0');
    ++i;
    ++mantissa_digits;
  }
  if (i < text.size() && text[i] == '.') {
    ++i;
    while (i < text.size() && is_digit(text[i])) {
      m = m * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
      ++mantissa_digits;
      ++decimals;
    }
  }
  if (mantissa_digits == 0) return STATUS_BAD_NUMBER;
  // Without an exponent, and with at most 15 digits (so m < 2^53) and 22
  // decimals (10^22 is the largest exact power of ten), m / 10^decimals of
  // two exact doubles is one correctly rounded division: the value itself.
  if (i == text.size() && mantissa_digits <= 15 && decimals <= 22) {
    const double v = static_cast<double>(m) / kExactPow10[decimals];
    value = minus ? -v : v;
    return STATUS_OK;
  }
  std::size_t letter = std::string_view::npos;
  if (i < text.size()) {
    const char e = text[i];
    if (e != 'E' && e != 'e' && e != 'D' && e != 'd') return STATUS_BAD_NUMBER;
    letter = i++;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t exponent_digits = 0;
    while (i < text.size() && is_digit(text[i])) { ++i; ++exponent_digits; }
    if (exponent_digits == 0 || i != text.size()) return STATUS_BAD_NUMBER;
  }

  // The conversion proper (correctly rounded), in place unless the spelling
  // needs mending first: a leading '+', or the exponent letter D.
  std::string_view num = text.substr(plus ? 1 : 0);
  char buf[160];
  const bool d_letter = letter != std::string_view::npos && (text[letter] == 'D' || text[letter] == 'd');
  if (d_letter) {
    if (num.size() > sizeof buf) return convert_long(num, value);
    std::memcpy(buf, num.data(), num.size());
    buf[letter - (plus ? 1 : 0)] = 'e';
    num = std::string_view(buf, num.size());
  }
  double v = 0.0;
  const auto r = std::from_chars(num.data(), num.data() + num.size(), v);
  if (r.ec == std::errc::result_out_of_range) return convert_long(num, value);
  if (r.ec != std::errc() || r.ptr != num.data() + num.size()) return STATUS_BAD_NUMBER;
  value = v;
  return STATUS_OK;
}

int parse_int(std::string_view token, std::int64_t lo, std::int64_t hi, std::int64_t& value) {
  const std::string_view text = number_text(token);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  if (i == text.size()) return STATUS_BAD_NUMBER;
  std::int64_t v = 0;
  for (; i < text.size(); ++i) {
    if (!is_digit(text[i])) return STATUS_BAD_NUMBER;
    v = v * 10 + (text[i] - '0');
    if (v > hi + 1) return STATUS_BAD_NUMBER;  // also keeps v far from overflow
  }
  if (negative) v = -v;
  if (v < lo || v > hi) return STATUS_BAD_NUMBER;
  value = v;
  return STATUS_OK;
}

namespace {

// Locates the next token.  Returns STATUS_END_OF_LINE when the line holds no
// further token; otherwise sets [first, last) to the token's characters
// (0-based) and `end` to the 1-based column where the scan stopped.
int next_token(std::string_view line, int& pos, std::size_t& first, std::size_t& last) {
  if (pos < 1) pos = 1;
  const auto len = static_cast<int>(line.size());
  if (len == 0 || pos > len) return STATUS_END_OF_LINE;
  while (pos < len && line[pos - 1] == ' ') ++pos;
  if (line[pos - 1] == ' ') return STATUS_END_OF_LINE;
  int end = pos;
  while (end < len && line[end - 1] != ' ') ++end;
  first = static_cast<std::size_t>(pos - 1);
  if (line[end - 1] == ' ') {
    last = static_cast<std::size_t>(end - 1);
    pos = end;
  } else {
    // The token reaches the last column: the line is used up.
    last = static_cast<std::size_t>(end);
    pos = len + 1;
  }
  return STATUS_OK;
}

void copy_word(std::string_view line, std::size_t first, std::size_t last, std::string& word,
               std::size_t word_length) {
  // The copy runs to the separating blank, which pads like any other blank.
  word.assign(line.substr(first, last - first));
  word.resize(word_length, ' ');
}

}  // namespace

int read_line(std::string_view line, int& pos, std::string_view code, FieldValue& value,
              std::string& word, std::size_t word_length, std::ostream& console) {
  std::size_t first = 0;
  std::size_t last = 0;
  std::string folded(code);
  casefold(folded);
  const bool known = folded == "CH" || folded == "I2" || folded == "I4" || folded == "R4" ||
                     folded == "R6" || folded == "R8";
  const int found = next_token(line, pos, first, last);
  if (found != STATUS_OK) return found;
  if (!known) {
    bad_option(code, "READ_LINE", console);
    return STATUS_BAD_CODE;
  }
  const std::string_view token = line.substr(first, last - first);
  if (folded == "CH") {
    copy_word(line, first, last, word, word_length);
    return STATUS_OK;
  }
  if (folded == "I2" || folded == "I4") {
    std::int64_t v = 0;
    const bool i2 = folded == "I2";
    const int st = parse_int(token, i2 ? INT16_MIN : INT32_MIN, i2 ? INT16_MAX : INT32_MAX, v);
    if (st != STATUS_OK) return st;
    if (i2) value.i2 = static_cast<std::int16_t>(v);
    else value.i4 = static_cast<std::int32_t>(v);
    return STATUS_OK;
  }
  double v = 0.0;
  const int st = parse_real(token, v);
  if (st != STATUS_OK) return st;
  if (folded == "R4") {
    const auto f = static_cast<float>(v);
    if (!std::isfinite(f)) return STATUS_BAD_NUMBER;
    value.r4 = f;
  } else {
    value.r8 = v;  // "R6" converts like "R8"
  }
  return STATUS_OK;
}

bool next_field(std::string_view line, int& pos, std::string_view& token) {
  std::size_t first = 0;
  std::size_t last = 0;
  if (next_token(line, pos, first, last) != STATUS_OK) return false;
  token = line.substr(first, last - first);
  return true;
}

int read_r8(std::string_view line, int& pos, double& value) {
  std::size_t first = 0;
  std::size_t last = 0;
  const int found = next_token(line, pos, first, last);
  if (found != STATUS_OK) return found;
  return parse_real(line.substr(first, last - first), value);
}

int read_i4(std::string_view line, int& pos, std::int32_t& value) {
  std::size_t first = 0;
  std::size_t last = 0;
  const int found = next_token(line, pos, first, last);
  if (found != STATUS_OK) return found;
  std::int64_t v = 0;
  const int st = parse_int(line.substr(first, last - first), INT32_MIN, INT32_MAX, v);
  if (st == STATUS_OK) value = static_cast<std::int32_t>(v);
  return st;
}

int read_ch(std::string_view line, int& pos, std::string& word, std::size_t word_length) {
  std::size_t first = 0;
  std::size_t last = 0;
  const int found = next_token(line, pos, first, last);
  if (found != STATUS_OK) return found;
  copy_word(line, first, last, word, word_length);
  return STATUS_OK;
}

std::size_t nblen(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0')) --n;
  return n;
}

std::size_t trimlen(std::string_view text) {
  std::size_t n = text.size();
  while (n > 0 && text[n - 1] == ' ') --n;
  return n;
}

void casefold(std::string& text) {
  const std::size_t n = trimlen(text);
  for (std::size_t i = 0; i < n; ++i) {
    if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 32);
  }
}

void stop_on_read_failure(std::ostream& console, const std::string& name, const LineReader& in,
                          const char* stop_text) {
  console << " Error reading file: " << name_field(name) << '\n';
  console << ' ' << in.failure() << '\n';
  throw Stop(stop_text);
}

void bad_option(std::string_view option, std::string_view routine, std::ostream& console) {
  console << " *** Bad option " << option << " passed to routine " << routine << '\n';
}


}  // namespace vadrel
