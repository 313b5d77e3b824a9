#pragma once
// Grid cards of the points file: G (regular longitude/latitude grid), M
// (regular grid in the local km frame), U and S (cells of a curvilinear grid
// file in metres or degrees, with an optional D line naming a depth/mask
// file).  Every grid point is computed and written like a data line, and the
// uplift grid is written as an initial-condition file.
#include <string_view>

#include "core/line_reader.hpp"
#include "readers/grid2d.hpp"
#include "run/context.hpp"

namespace vadrel {


// The point of cell (i, j) of a curvilinear grid (2 <= i, j; corners
// (i-1, j-1), (i-1, j), (i, j-1), (i, j)): the mean of its present corners,
// in the grid's own units.  False, and no point, when corner (i, j) is
// missing (x = 0, or the whole part of x is -999).
bool cell_point(const Grid2D& x, const Grid2D& y, int i, int j, double& xc, double& yc);

// The share of its uplift a cell of this water depth keeps: 0 on land
// (depth 0 or less), depth/250 (held in single precision) in shallower water,
// the whole from 250 on.
double depth_factor(double depth);

// Acts on one G, M, U or S card.  `points` is the points file, positioned
// after the card: a U/S card consumes a following D line, or leaves the line
// to be read again.  The points of the grid are computed in batches over the
// run's threads and written in order.
void grid_card(RunContext& ctx, std::string_view line, LineReader& points);

}  // namespace vadrel
