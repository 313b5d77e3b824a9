#pragma once
// The operating system's text for the most recent failed system call.
#include <iosfwd>
#include <string>
#include <string_view>

namespace vadrel {

// Writes the operating system's text for the most recent system error as
// one free-format console line.  `status` is the failed operation's status;
// it does not select the text.
void ferror(int status, std::ostream& console);

// After a failed system call (open, read, write, close): writes `message` as
// one console line, then the system's text for `err` (the errno the call
// left, taken by the caller before anything else could change it), and
// stops the run with `stop_text`.
[[noreturn]] void stop_on_system_error(std::ostream& console, int err, std::string_view message,
                                       std::string stop_text);

}  // namespace vadrel
