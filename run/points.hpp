#pragma once
// The points file as the run's script (read_calc_points).
#include <cstdint>

#include "core/line_reader.hpp"
#include "run/context.hpp"

namespace vadrel {

// Reads the points file as a script from top to bottom: cards set the
// projection and look geometry or generate grids, data lines are ground
// points computed and written at once.  Returns the number of points.
// Data lines between two cards are computed in batches over the run's
// threads and written in their order.
std::int32_t read_calc_points(RunContext& ctx, LineReader& in);

}  // namespace vadrel
