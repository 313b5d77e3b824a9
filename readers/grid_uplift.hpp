#pragma once
// Grid cards of the points file: G (regular longitude/latitude grid), M
// (regular grid in the local km frame), U and S (cells of a curvilinear grid
// file in metres or degrees, with an optional D line naming a depth/mask
// file).  Every grid point is computed and written like a data line, and the
// uplift grid is written as an initial-condition file.
#include <iosfwd>
#include <string>

#include "core/run_context.hpp"

namespace vadrel {

// Acts on one G, M, U or S card.  `points` is the points file, positioned
// after the card: a U/S card consumes a following D line, or steps back.
void grid_card(RunContext& ctx, const std::string& line, std::istream& points);

}  // namespace vadrel
