#pragma once
#include <iosfwd>

namespace vadrel {

// The whole run: command line, files, echo and headers, faults and points
// readers, counts, close.  Returns the process exit status.
int run_program(int argc, char** argv, std::ostream& console);

}  // namespace vadrel
