#pragma once
// An output text file (the print file, the initial-condition files):
// buffered, every write and the close checked.
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

namespace vadrel {

class PrintFile {
 public:
  PrintFile();
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;
  ~PrintFile();

  // Opens for writing from the start (created, or old contents replaced).
  // Returns false with errno set on failure.
  bool open(const std::string& path);
  bool is_open() const { return fd_ >= 0; }

  // Appends one line and its newline.  Returns false once any write has
  // failed (errno describes the failure); the first failure is sticky.
  bool write_line(std::string_view line);
  // Appends text as it stands (any number of whole lines).
  bool write(std::string_view text);

  // Flushes and closes; false (errno set) when a write or the close failed.
  bool close();

 private:
  bool flush();
  bool fail(int err);

  int fd_ = -1;
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

}  // namespace vadrel
