#pragma once
// The lines the driver writes at the top of the print file.
#include <string>
#include <vector>

#include "run/context.hpp"

namespace vadrel {

// "* faults file =  <name>", "* points file =  <name>", "* print  file =  <name>"
std::vector<std::string> echo_lines(const Settings& settings);

// Column headers of every mode word in the option word, in the order
// residual, vector, strain, partial, analytic.
std::vector<std::string> header_lines(const Settings& settings);

}  // namespace vadrel
