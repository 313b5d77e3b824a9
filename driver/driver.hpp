#pragma once
// The whole run of the program (run_program): the command line, the files,
// the echo and headers, then the faults and points readers.
#include <iosfwd>

namespace vadrel {

// The whole run: command line, files, echo and headers, faults and points
// readers, counts, close.  Returns the process exit status.
int run_program(int argc, char** argv, std::ostream& console);

}  // namespace vadrel
