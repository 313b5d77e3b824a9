#pragma once
// The print (result) file: buffered, every write and the close checked.
#include <cstdio>
#include <string>
#include <string_view>

namespace vadrel {

class PrintFile {
 public:
  PrintFile() = default;
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;
  ~PrintFile();

  // Opens for writing from the start (created, or old contents replaced).
  // Returns false with errno set on failure.
  bool open(const std::string& path);
  bool is_open() const { return file_ != nullptr; }

  // Appends one line and its newline.  Returns false once any write has
  // failed (errno describes the failure); the first failure is sticky.
  bool write_line(std::string_view line);

  // Flushes and closes; false (errno set) when the flush or close failed.
  bool close();

 private:
  std::FILE* file_ = nullptr;
  bool failed_ = false;
  int error_ = 0;
};

}  // namespace vadrel
