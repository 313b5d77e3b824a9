#pragma once
// Reads a text file record by record, in large blocks, without a heap
// allocation per line.
//
// A record ends at LF, at CR LF (Windows) or at a lone CR (old Macintosh
// files); the last record may lack its line end.  A UTF-8 byte-order mark at
// the start of the file is skipped.  Only the first `keep` characters of a
// record are kept (the readers look at a fixed card width); the rest is
// consumed without being stored, so a record of any length costs bounded
// memory.  A record longer than kMaxRecord characters (an endless line, such
// as a device that never sends a line end) ends the reading as a failure.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace vadrel {

class LineReader {
 public:
  static constexpr std::size_t kDefaultKeep = 4096;
  static constexpr std::size_t kMaxRecord = std::size_t{1} << 30;

  // Reads from an open file descriptor (not closed here).
  explicit LineReader(int fd, std::size_t keep = kDefaultKeep);
  // Reads the given text (tests, and callers that hold the text already).
  static LineReader from_text(std::string text, std::size_t keep = kDefaultKeep);

  LineReader(LineReader&&) noexcept;
  LineReader& operator=(LineReader&&) noexcept;
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;
  ~LineReader();

  // The next record, cut to `keep` characters.  The view stays valid until
  // the next call of next().  Returns false at the end of the input, and when
  // a read fails (failed() then tells, with errno set as the read left it).
  bool next(std::string_view& line);

  // The next call of next() returns the same record again (one record of
  // look-ahead).
  void push_back();

  // Whole records straight from the buffer, for a caller that splits them
  // itself (split_records) and hands them to other threads: false at the end
  // of the input (or on a failed read); else `block` holds one or more whole
  // records, each with its line end (the input's last record may lack one),
  // or is empty when the next record must be taken with next() (a record
  // pushed back, or one longer than the buffer).  Records are cut to `keep`
  // by the caller, not here.  The view stays valid until the next call of
  // any member.
  bool records(std::string_view& block);
  // Marks the first n characters of the block last given by records() (a
  // run of whole records) as read.
  void consume(std::size_t n);

  // True when the record last returned was longer than `keep` characters.
  bool cut() const { return cut_; }

  // True when reading stopped on a failed read (or an endless record)
  // rather than at the end of the input; failure() says why, in words.
  bool failed() const { return failed_; }
  std::string failure() const;

 private:
  LineReader() = default;
  bool fill();  // reads more input after the unread part; false at the end
  void start_record();  // skips the byte-order mark, and the LF of a CR LF
  std::size_t find_end(std::size_t from) const;  // first LF or CR at or after `from`
  void skip_record();  // consumes the rest of a record longer than the buffer

  int fd_ = -1;
  std::size_t keep_ = kDefaultKeep;
  std::unique_ptr<char[]> buf_;
  std::size_t cap_ = 0;
  std::size_t begin_ = 0;  // first unread byte
  std::size_t end_ = 0;    // one past the last byte read
  bool eof_ = false;
  bool failed_ = false;
  int error_ = 0;
  bool overlong_ = false;
  bool started_ = false;     // the byte-order mark was looked for
  bool pending_cr_ = false;  // the last record ended at a CR
  bool cut_ = false;
  bool pushed_ = false;
  std::string long_line_;  // the kept part of a record longer than the buffer
  std::string_view last_;
};

// The end of the record that starts at `from` in a run of whole records:
// the position of its LF or CR (or text.size() for a last record without a
// line end).
std::size_t record_end(std::string_view text, std::size_t from);

// Splits whole records off the start of `text` (as records() gives them):
// at most `limit`, and none from the first record whose column 1 (a blank
// for an empty record) satisfies `stop_before`.  Appends each record's first
// position and end (its line end's position) to `first` and `end`; returns
// the characters taken (through the last record's line end).
template <class StopBefore>
std::size_t split_records(std::string_view text, std::size_t limit, StopBefore stop_before,
                          std::vector<std::uint32_t>& first, std::vector<std::uint32_t>& end) {
  const std::size_t n = text.size();
  std::size_t at = 0;
  for (std::size_t count = 0; at < n && count < limit; ++count) {
    const char c = text[at];
    if (stop_before(c == '\n' || c == '\r' ? ' ' : c)) break;
    const std::size_t e = record_end(text, at);
    first.push_back(static_cast<std::uint32_t>(at));
    end.push_back(static_cast<std::uint32_t>(e));
    at = e < n && text[e] == '\r' && e + 1 < n && text[e + 1] == '\n' ? e + 2 : e + 1;
  }
  return std::min(at, n);
}

}  // namespace vadrel
