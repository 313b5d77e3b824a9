#pragma once
// Card-line toolkit shared by every reader.
//
// Input files are card files: fixed-length text records (blank padded) whose
// first column says what the line is, with fields separated by blanks.  Only
// the blank separates fields: a tab or a comma is part of a token.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "core/line_reader.hpp"
#include "core/syserr.hpp"

namespace vadrel {

// read_line statuses.
inline constexpr int STATUS_OK = 0;
inline constexpr int STATUS_END_OF_LINE = -1;  // nothing left on the line
inline constexpr int STATUS_BAD_CODE = 1;      // unknown type code
inline constexpr int STATUS_BAD_NUMBER = 5010; // malformed or out-of-range number

// Longest record of a grid or depth/mask file: a row of values may run
// long, but not without end.
inline constexpr std::size_t kMaxGridRecord = std::size_t{1} << 26;

// Reads the next record of a text stream into `record`, without its line
// end: LF, CR LF or a lone CR.  Only its first `keep` characters are stored;
// the rest is consumed, so a record costs no memory beyond them.  Returns
// false at end of file or on a read error, and on a record longer than
// kMaxGridRecord (the stream is then bad(), errno EOVERFLOW).
bool read_record(std::istream& in, std::string& record, std::size_t keep = kMaxGridRecord);

// Consumes the rest of the current record (a comment, an ignored line),
// whatever its length, storing none of it.  False when the stream was at
// its end.
bool skip_record(std::istream& in);

// Skips a UTF-8 byte-order mark at the current position (the start of a
// file) when there is one.
void skip_byte_order_mark(std::istream& in);

// Blank-pads or cuts a record to a fixed-length card of `length` columns.
std::string make_card(std::string_view record, std::size_t length);

// The value slot of read_line: only the member of the requested type is
// written, and only on success.
struct FieldValue {
  std::int16_t i2 = 0;
  std::int32_t i4 = 0;
  float r4 = 0.0F;
  double r8 = 0.0;
};

// Takes the next blank-delimited token of `line`, starting at the 1-based
// column `pos` (values below 1 count as 1), and converts it according to the
// type code ("CH", "I2", "I4", "R4", "R6", "R8", any case).  On return `pos`
// rests on the blank that ended the token.  "CH" copies the token (and the
// separating blank) into `word`, blank padded or cut to `word_length`.
// An unknown code is reported on `console` with bad_option().
int read_line(std::string_view line, int& pos, std::string_view code,
              FieldValue& value, std::string& word, std::size_t word_length,
              std::ostream& console);

// Typed shorthands used by the readers.
int read_r8(std::string_view line, int& pos, double& value);
int read_i4(std::string_view line, int& pos, std::int32_t& value);
int read_ch(std::string_view line, int& pos, std::string& word, std::size_t word_length);

// The next blank-delimited token as it stands; false when the line holds
// no further token.
bool next_field(std::string_view line, int& pos, std::string_view& token);

// The fields of one card, read left to right from a first column.  ok()
// turns false once a needed field is missing, malformed, or a number cut by
// the card width: `line` may hold characters beyond the width; they are never read,
// but they tell whether a field that reaches the last column goes on past
// it (a number read from its first part would be wrong).  A value is
// written only when its field reads cleanly.
class CardFields {
 public:
  CardFields(std::string_view line, std::size_t width, int first_column)
      : line_(line.substr(0, width)), beyond_(line.size() > width && line[width] != ' '),
        pos_(first_column) {}
  CardFields& r8(double& v) { return check(read_r8(line_, pos_, v)); }
  CardFields& i4(std::int32_t& v) { return check(read_i4(line_, pos_, v)); }
  // A text field (a name) is text, not a number: one cut by the width keeps
  // its part within the card (and only `length` characters of it count).
  CardFields& ch(std::string& word, std::size_t length) {
    if (read_ch(line_, pos_, word, length) != STATUS_OK) ok_ = false;
    return *this;
  }
  // An optional token (a label): never makes the card bad.
  bool optional(std::string_view& token) { return next_field(line_, pos_, token); }
  bool ok() const { return ok_; }

 private:
  CardFields& check(int status) {
    if (status != STATUS_OK) ok_ = false;
    else if (beyond_ && pos_ > static_cast<int>(line_.size())) ok_ = false;  // cut at the width
    return *this;
  }
  std::string_view line_;
  bool beyond_;
  int pos_;
  bool ok_ = true;
};

// Converts one whole token (no blanks) as a free-format number.  The number
// may be followed by a comma, which ends it.  Returns STATUS_OK or
// STATUS_BAD_NUMBER; `value` is written only on success.
int parse_real(std::string_view token, double& value);
int parse_int(std::string_view token, std::int64_t lo, std::int64_t hi, std::int64_t& value);

// Position of the last character that is neither blank nor NUL (0 if none).
std::size_t nblen(std::string_view text);
// Position of the last non-blank character (NUL counts as non-blank).
std::size_t trimlen(std::string_view text);
// Folds 'a'..'z' to upper case within the first trimlen() characters.
void casefold(std::string& text);
// After reading `in` (the file `name`) stopped on a failure rather than at
// its end: " Error reading file: <name>", the reason, and a stop with
// `stop_text`.
[[noreturn]] void stop_on_read_failure(std::ostream& console, const std::string& name, const LineReader& in,
                                       const char* stop_text);

// " *** Bad option <option> passed to routine <routine>"
void bad_option(std::string_view option, std::string_view routine, std::ostream& console);

}  // namespace vadrel
