#include "readers/grid_cards.hpp"

#include <algorithm>
#include <cerrno>
#include <fstream>
#include <ostream>
#include <vector>

#include "core/files.hpp"
#include "core/stop.hpp"
#include "core/syserr.hpp"
#include "readers/cardline.hpp"
#include "readers/kov.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kNameFirstColumn = 3;  // U, S and D cards: columns 3..132

}  // namespace

std::string card_name(std::string_view line) {
  line = line.substr(0, kGridCardWidth);
  if (line.size() < kNameFirstColumn) return {};
  const std::string_view rest = line.substr(kNameFirstColumn - 1);
  return std::string(rest.substr(0, nblen(rest)));
}

bool parse_regular_card(std::string_view line, double& x0, double& y0, RegularCard& card) {
  CardFields f(line, kGridCardWidth, 2);
  f.r8(x0).r8(y0);
  card.x0 = x0;
  card.y0 = y0;
  f.r8(card.dx).r8(card.dy).i4(card.nx).i4(card.ny);
  return f.ok();
}

void read_depth_file(const std::string& name, Grid2D& depth, int mp, int np, std::ostream& console) {
  std::ifstream in;
  if (is_directory(name)) errno = EISDIR;
  else in.open(name, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    const int err = errno;
    stop_on_system_error(console, err, " *** ERROR Cannot open the depth/mask file " + name,
                         "*** ERROR reading depth/mask file");
  }
  skip_byte_order_mark(in);
  std::vector<double> row(static_cast<std::size_t>(mp));
  for (int j = 1; j <= np; ++j) {
    std::fill(row.begin(), row.end(), 0.0);
    const int st = read_free_row(in, 0, row);
    if (st != STATUS_OK) {
      console << " *** ERROR Depth/mask file " << name;
      if (st == KOV_STATUS_END) console << " ends early: row " << j << " of " << np;
      else console << ": row " << j << " of " << np << " is unreadable";
      console << " (" << mp << " values expected in each row)\n";
      if (st == KOV_STATUS_IO_ERROR) ferror(st, console);
      throw Stop("*** ERROR reading depth/mask file");
    }
    for (int i = 1; i <= mp; ++i) depth(i, j) = row[static_cast<std::size_t>(i - 1)];
  }
}

}  // namespace vadrel
