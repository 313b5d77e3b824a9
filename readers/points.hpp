#pragma once
#include <cstdint>
#include <iosfwd>

#include "core/run_context.hpp"

namespace vadrel {

// Reads the points file as a script from top to bottom: cards set the
// projection and look geometry or generate grids, data lines are ground
// points computed and written at once.  Returns the number of points.
std::int32_t read_calc_points(RunContext& ctx, std::istream& in);

// Computes and writes the current point (ctx.point) with the writer the
// option word selects, then counts it in the extents.
void process_point(RunContext& ctx);

}  // namespace vadrel
