#include "readers/kov.hpp"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <istream>
#include <ostream>
#include <stdexcept>
#include <string_view>
#include <vector>

#include "core/stop.hpp"
#include "readers/cardline.hpp"

namespace vadrel {

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool ends_token(char c) { return is_blank(c) || c == ',' || c == '/'; }

int failed_read_status(const std::istream& in) { return in.bad() ? KOV_STATUS_IO_ERROR : KOV_STATUS_END; }

// One list-directed read over as many lines as it needs, straight from the
// stream: items come out one at a time and a line end counts as a blank.
// Only the item at hand is held, so a long row costs no memory beyond one
// item; a record (line) still ends within kMaxGridRecord characters.  The
// read starts on a new line, and when it is done the rest of the line
// holding its last item is dropped.
class ListInput {
 public:
  explicit ListInput(std::istream& in) : in_(in), sb_(in.rdbuf()) {}
  ListInput(const ListInput&) = delete;
  ListInput& operator=(const ListInput&) = delete;
  ~ListInput() {
    // The rest of the line of the last item.
    if (status_ != STATUS_OK || at_line_start_) return;
    int c = 0;
    do {
      c = take();
    } while (c >= 0);
  }

  int start() {
    if (!in_.good() || sb_ == nullptr) return failed_read_status(in_);
    if (peek() == kEnd) return end_of_input();
    return STATUS_OK;
  }

  // True once a slash has ended the read.
  bool ended() const { return ended_; }

  // The next raw item: `null` for an empty item between commas, otherwise
  // `text` holds the token (valid until the next call).  After a slash the
  // item is null and ended() is true.
  int next_token(std::string_view& text, bool& null) {
    for (;;) {
      const int c = peek();
      if (c == kEnd || c == kFail) return end_of_input();
      if (c == kLineEnd || is_blank(static_cast<char>(c))) {
        take(c);
        continue;
      }
      if (c == ',') {
        take(c);
        if (after_separator_) {
          null = true;
          return STATUS_OK;
        }
        after_separator_ = true;
        continue;
      }
      if (c == '/') {
        ended_ = true;
        null = true;
        return STATUS_OK;
      }
      token_.clear();
      long_token_ = false;
      for (int t = c; t >= 0 && !ends_token(static_cast<char>(t)); t = peek()) {
        if (take(t) == kFail) break;
        if (token_.size() < kLongestItem) token_.push_back(static_cast<char>(t));
        else long_token_ = true;
      }
      if (status_ != STATUS_OK) return status_;
      text = token_;
      null = false;
      after_separator_ = false;
      return STATUS_OK;
    }
  }

  // The next value item, with repeat counts (r*c, r*) expanded.
  int next_value(std::string_view& text, bool& null) {
    if (repeat_left_ > 0) {
      --repeat_left_;
      null = repeat_null_;
      text = repeat_text_;
      return STATUS_OK;
    }
    const int st = next_token(text, null);
    if (st != STATUS_OK || null) return st;
    if (long_token_) return STATUS_BAD_NUMBER;  // no number is that long
    const std::size_t star = text.find('*');
    if (star == std::string_view::npos) return STATUS_OK;
    std::int64_t count = 0;
    if (star == 0 || parse_int(text.substr(0, star), 1, INT32_MAX, count) != STATUS_OK ||
        text[0] == '+' || text[0] == '-') {
      return STATUS_BAD_NUMBER;
    }
    repeat_text_.assign(text.substr(star + 1));
    repeat_null_ = repeat_text_.empty();
    repeat_left_ = count - 1;
    null = repeat_null_;
    text = repeat_text_;
    return STATUS_OK;
  }

 private:
  // peek() and take() give a character, or one of these.
  static constexpr int kLineEnd = -2;  // LF, CR LF or a lone CR
  static constexpr int kEnd = -3;      // the end of the input
  static constexpr int kFail = -4;     // a failed read or an endless record
  static constexpr std::size_t kLongestItem = std::size_t{1} << 16;

  int end_of_input() {
    if (status_ == STATUS_OK) status_ = KOV_STATUS_END;
    return status_;
  }

  // The next character, not consumed.  (A stream buffer that throws is not
  // among those read here: files and strings report through eof.)
  int peek() {
    if (status_ != STATUS_OK && status_ != KOV_STATUS_END) return kFail;
    const int c = sb_->sgetc();
    if (c == std::char_traits<char>::eof()) return kEnd;
    return c == '\n' || c == '\r' ? kLineEnd : c;
  }

  // Consumes `c`, the character peek() gave, and returns it.
  int take(int c) {
    if (c == kLineEnd) {
      if (sb_->sbumpc() == '\r' && sb_->sgetc() == '\n') sb_->sbumpc();
      at_line_start_ = true;
      record_length_ = 0;
      return c;
    }
    if (c < 0) return c;
    sb_->sbumpc();
    at_line_start_ = false;
    // A line without end (a device, say): a failed read, not memory or
    // time without bound.
    if (++record_length_ > kMaxGridRecord) return fail(EOVERFLOW);
    return c;
  }
  int take() { return take(peek()); }

  int fail(int err) {
    errno = err;
    in_.setstate(std::ios::badbit);
    status_ = KOV_STATUS_IO_ERROR;
    return kFail;
  }

  std::istream& in_;
  std::streambuf* sb_;
  int status_ = STATUS_OK;
  bool at_line_start_ = true;
  std::size_t record_length_ = 0;
  std::string token_;
  bool long_token_ = false;
  bool after_separator_ = true;  // a comma opening the read is a null item
  bool ended_ = false;
  std::int64_t repeat_left_ = 0;
  std::string repeat_text_;
  bool repeat_null_ = false;
};

int read_free_ints(std::istream& in, std::span<int> values) {
  ListInput list(in);
  int st = list.start();
  if (st != STATUS_OK) return st;
  for (int& v : values) {
    std::string_view text;
    bool null = false;
    st = list.next_value(text, null);
    if (st != STATUS_OK) return st;
    if (list.ended()) return STATUS_OK;
    if (null) continue;
    std::int64_t n = 0;
    if (parse_int(text, INT32_MIN, INT32_MAX, n) != STATUS_OK) return STATUS_BAD_NUMBER;
    v = static_cast<int>(n);
  }
  return STATUS_OK;
}

// A fixed-layout field: blanks are ignored (an all-blank field is 0), a field
// without a decimal point is a whole number, and an exponent may come without
// its letter ("1.5-103", as exponential fields with three exponent digits are
// written).
bool parse_fixed_field(std::string_view field, double& value) {
  std::string text;
  text.reserve(field.size() + 1);
  for (const char c : field) {
    if (c != ' ') text += c;
  }
  if (text.empty()) {
    value = 0.0;
    return true;
  }
  for (std::size_t k = 1; k < text.size(); ++k) {
    const char prev = text[k - 1];
    if ((text[k] == '+' || text[k] == '-') && ((prev >= '0' && prev <= '9') || prev == '.')) {
      text.insert(k, 1, 'E');
      break;
    }
  }
  return parse_real(text, value) == STATUS_OK;
}

// Where a block read failed, for the messages.
struct BlockPlace {
  std::string_view file;
  std::string_view block;
  int rows;
};

void say_where(std::ostream& console, const BlockPlace& at, int row, const char* what) {
  console << " *** ERROR Grid file " << (at.file.empty() ? std::string_view("(unnamed)") : at.file) << ": the "
          << at.block << " block " << what << " at row " << row << " of " << at.rows << '\n';
}

[[noreturn]] void premature_eof(std::ostream& console, const BlockPlace& at, int row) {
  say_where(console, at, row, "ends");
  console << " *** ERROR *** premature EOF kov encountered\n";
  throw Stop("");
}

[[noreturn]] void unreadable_record(std::ostream& console, const BlockPlace& at, int row) {
  say_where(console, at, row, "cannot be read, free or fixed layout,");
  console << " *** ERROR *** while reading record kov\n";
  throw Stop("");
}

constexpr std::size_t FIXED_SKIP = 10;   // columns 1..10: the row label
constexpr std::size_t FIXED_WIDTH = 12;  // one number
constexpr int FIXED_PER_LINE = 5;

// Rereads a block in the fixed layout from `start`, the line the block
// begins on.
void read_fixed_block(Grid2D& a, std::istream& in, std::istream::pos_type start, int m, int n,
                      std::ostream& console, const BlockPlace& at) {
  in.clear();
  if (start == std::istream::pos_type(-1) || !in.seekg(start)) unreadable_record(console, at, 1);
  const int lines_per_row = std::max(1, (m + FIXED_PER_LINE - 1) / FIXED_PER_LINE);
  std::string line;
  for (int j = 1; j <= n; ++j) {
    int i = 1;
    for (int l = 0; l < lines_per_row; ++l) {
      if (!read_record(in, line, FIXED_SKIP + FIXED_PER_LINE * FIXED_WIDTH)) {
        if (in.bad()) unreadable_record(console, at, j);
        premature_eof(console, at, j);
      }
      for (int k = 0; k < FIXED_PER_LINE && i <= m; ++k, ++i) {
        const std::size_t col = FIXED_SKIP + static_cast<std::size_t>(k) * FIXED_WIDTH;
        const std::string_view field =
            col < line.size() ? std::string_view(line).substr(col, FIXED_WIDTH) : std::string_view();
        double v = 0.0;
        if (!parse_fixed_field(field, v)) unreadable_record(console, at, j);
        a(i, j) = v;
      }
    }
  }
}

}  // namespace

int read_free_row(std::istream& in, int words, std::span<double> values) {
  ListInput list(in);
  int st = list.start();
  if (st != STATUS_OK) return st;
  std::string_view text;
  bool null = false;
  for (int w = 0; w < words; ++w) {
    st = list.next_token(text, null);
    if (st != STATUS_OK) return st;
    if (list.ended()) return STATUS_OK;
  }
  for (double& v : values) {
    st = list.next_value(text, null);
    if (st != STATUS_OK) return st;
    if (list.ended()) return STATUS_OK;
    if (null) continue;
    if (parse_real(text, v) != STATUS_OK) return STATUS_BAD_NUMBER;
  }
  return STATUS_OK;
}

int reakovhdr(std::istream& in, int& mmax, int& nmax) {
  constexpr std::size_t HEADER_WIDTH = 132;
  // Comment lines, however long, are passed over without being kept.
  while (in.good() && in.rdbuf()->sgetc() == '*') skip_record(in);
  std::string line;
  if (!read_record(in, line, HEADER_WIDTH)) return failed_read_status(in);
  if (line.find("Coordinate System") == std::string::npos) return KOV_STATUS_NO_COORDINATE_SYSTEM;

  int dims[2] = {mmax, nmax};
  const int st = read_free_ints(in, dims);
  mmax = dims[0];
  nmax = dims[1];
  if (st != STATUS_OK) return st;

  if (!skip_record(in)) return failed_read_status(in);
  return STATUS_OK;
}

std::string kov_dimension_problem(std::int64_t mmax, std::int64_t nmax, std::int64_t limit) {
  const std::string dims = std::to_string(mmax) + " x " + std::to_string(nmax);
  if (mmax < 1 || nmax < 1) return "grid dimensions " + dims + " are not positive";
  if (mmax >= limit || nmax >= limit || (mmax + 1) * (nmax + 1) > limit) {
    return "grid of " + dims + " nodes is too large (at most " + std::to_string(limit) +
           " array entries)";
  }
  return {};
}

void ecrrea(Grid2D& a, std::istream& in, int mp, int np, std::ostream& console, std::string_view file,
            std::string_view block) {
  const int m = mp - 1;
  const int n = np - 1;
  if (m > a.m() || n > a.n()) throw std::invalid_argument("ecrrea: block larger than its array");

  const BlockPlace at{file, block, n};
  const std::istream::pos_type start = in.tellg();
  std::vector<double> row(static_cast<std::size_t>(std::max(m, 0)));
  for (int j = 1; j <= n; ++j) {
    for (int i = 1; i <= m; ++i) row[static_cast<std::size_t>(i - 1)] = a(i, j);
    const int st = read_free_row(in, 2, row);
    if (st == KOV_STATUS_END) premature_eof(console, at, j);
    if (st != STATUS_OK) {
      // Not free format: the block is in the fixed layout.
      read_fixed_block(a, in, start, m, n, console, at);
      return;
    }
    for (int i = 1; i <= m; ++i) a(i, j) = row[static_cast<std::size_t>(i - 1)];
  }
}

void reakov(std::istream& in, Grid2D& x, Grid2D& y, int mp, int np, std::ostream& console,
            std::string_view file) {
  ecrrea(x, in, mp, np, console, file, "x");
  ecrrea(y, in, mp, np, console, file, "y");
}

}  // namespace vadrel
