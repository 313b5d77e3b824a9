#pragma once
// The operating system's text for the most recent failed system call.
#include <iosfwd>

namespace vadrel {

// Writes the operating system's text for the most recent system error as
// one free-format console line.  `status` is the failed operation's status;
// it does not select the text.
void ferror(int status, std::ostream& console);

}  // namespace vadrel
