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
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

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

  // True when the record last returned was longer than `keep` characters.
  bool cut() const { return cut_; }

  // True when reading stopped on a failed read (or an endless record)
  // rather than at the end of the input; failure() says why, in words.
  bool failed() const { return failed_; }
  std::string failure() const;

 private:
  LineReader() = default;
  bool fill();  // reads more input after the unread part; false at the end
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

}  // namespace vadrel
