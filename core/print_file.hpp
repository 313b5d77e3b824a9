#pragma once
// An output text file (the print file, the initial-condition files):
// buffered, every write and the close checked.
//
// A regular file (or a name that does not exist yet) is written beside its
// target under a temporary name (".<name>.vadrel-<process>-<serial>", the
// name shortened to fit the directory's limit on names) and moved into place
// by close(), so the target keeps its old contents while the run reads its
// inputs: an input named later in the run can never have been emptied by
// it.  Anything else (a terminal, /dev/null, a pipe) is written directly, and
// so is the console's own file (/dev/stdout, or the file standard output or
// standard error is redirected to), through the console's descriptor.
//
// A file is replaced only by a complete new one: after a failed write (a
// full disk, a quota, an input/output error) close() removes the temporary
// and the target keeps its old contents.  The names of the temporaries are
// kept in a fixed table that a signal handler can read: a run stopped by a
// signal removes them before it ends (install_stop_signals).
#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct iovec;

namespace vadrel {

class PrintFile {
 public:
  PrintFile();
  PrintFile(const PrintFile&) = delete;
  PrintFile& operator=(const PrintFile&) = delete;
  ~PrintFile();

  // Opens for writing from the start (created, or old contents replaced
  // when closed).  Returns false with errno set on failure.
  bool open(const std::string& path);
  bool is_open() const { return fd_ >= 0; }

  // True when `name` is the file this one will replace (however spelled,
  // through links too), whether it exists yet or not.
  bool targets(const std::string& name) const;

  // Appends one line and its newline.  Returns false once any write has
  // failed (errno describes the failure); the first failure is sticky.
  bool write_line(std::string_view line);
  // Appends text as it stands (any number of whole lines).
  bool write(std::string_view text);

  // Flushes, closes and moves the file into place; false (errno set) when a
  // write, the close or the move failed.  After a failed write or close the
  // temporary is removed and the target stays as it was.
  bool close();

  // Closes and deletes what was written: the target stays as it was.
  void discard();

 private:
  bool flush();
  // Writes the parts in order, however many calls it takes; false when a
  // write fails.
  bool write_all(iovec* part, int count);
  bool fail(int err);

  void forget_temp();  // removes the temporary's name from the signal table

  int fd_ = -1;
  int slot_ = -1;       // the temporary's entry in the signal table (-1: none)
  std::string target_;  // the file moved into place by close()
  std::string temp_;    // the name written to until then (empty: written directly)
  int mode_ = 0;        // permissions the target gets
  std::unique_ptr<char[]> buf_;
  std::size_t used_ = 0;
  bool failed_ = false;
  int error_ = 0;
};

// From now on SIGINT, SIGTERM, SIGHUP and SIGPIPE remove the temporaries of
// the open print and initial-condition files, then end the process as the
// signal does by default (its usual status; a broken pipe ends the run
// quietly).  A signal that was ignored when the program started stays
// ignored.  SIGXFSZ is ignored: a write beyond a file-size limit fails
// (EFBIG) and is reported like a full disk.
void install_stop_signals();

}  // namespace vadrel
