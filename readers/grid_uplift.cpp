#include "readers/grid_uplift.hpp"

namespace vadrel {

void grid_card(RunContext& /*ctx*/, const std::string& /*line*/, std::istream& /*points*/) {}

}  // namespace vadrel
