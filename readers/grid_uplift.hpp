#pragma once
// Grid cards of the points file: G (regular longitude/latitude grid), M
// (regular grid in the local km frame), U and S (cells of a curvilinear grid
// file in metres or degrees, with an optional D line naming a depth/mask
// file).  Every grid point is computed and written like a data line, and the
// uplift grid is written as an initial-condition file.
#include <string_view>

#include "core/line_reader.hpp"
#include "core/run_context.hpp"

namespace vadrel {

// Acts on one G, M, U or S card.  `points` is the points file, positioned
// after the card: a U/S card consumes a following D line, or leaves the line
// to be read again.  The points of the grid are computed in batches over the
// run's threads and written in order.
void grid_card(RunContext& ctx, std::string_view line, LineReader& points);

}  // namespace vadrel
