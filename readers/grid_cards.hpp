#pragma once
// The grid cards of the points file parsed into values: G (regular
// longitude/latitude grid), M (regular grid in the local km frame), U and S
// (a curvilinear grid file in metres or degrees) and the D line naming a
// depth/mask file; and the depth/mask file read into a grid.  The run
// (run/grids.hpp) generates the points and writes the grids.
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>

#include "readers/grid2d.hpp"

namespace vadrel {

inline constexpr std::size_t kGridCardWidth = 132;

// The file name of a U, S or D card: columns 3..132, trailing blanks removed.
std::string card_name(std::string_view line);

// A G or M card: start, step and number of points in x and y.
struct RegularCard {
  double x0 = 0.0, y0 = 0.0, dx = 0.0, dy = 0.0;
  std::int32_t nx = 0, ny = 0;
};

// Reads a G or M card into `card`, its start coordinates into x0 and y0
// (each as soon as it is read, also on a card that turns out bad: an M card
// reads them into the projection origin); false when the card is bad.
bool parse_regular_card(std::string_view line, double& x0, double& y0, RegularCard& card);

// Reads the depth/mask rows j = 1..np, np values each, from file `name` into
// `depth` (mp by np).  Stops the run, after a console line saying why, when
// the file cannot be opened or ends early or a row is unreadable.
void read_depth_file(const std::string& name, Grid2D& depth, int mp, int np, std::ostream& console);

}  // namespace vadrel
