#pragma once
// The lines of the points file parsed into values: data lines (ground
// points) and the Z, E, V and F cards.  Nothing here changes the run's
// state or writes a message; the run (run/points.hpp) acts on the values.
// The grid cards G, M, U, S and D are parsed in readers/grid_cards.hpp.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "model/ground_point.hpp"

namespace vadrel {

inline constexpr std::size_t kPointsLineLength = 132;  // the card width; the rest of a line is not read

// Column 1 of a record; an empty record counts as blank.
inline char column1(std::string_view line) { return line.empty() ? ' ' : line[0]; }

// True for the column-1 letters of the cards (Z, E, V, F, G, M, U, S).
bool is_points_card(char c);

// Reads x, y, the observation (with "residual") and the label of a data
// line; false when a needed field is missing or unreadable.
bool parse_data_line(std::string_view line, bool residual, PointIn& p);

// Z card: UTM zone and the origin (longitude, latitude, degrees).  False for
// an unreadable card, a zone outside 1..60 or a latitude beyond the poles.
struct ZCard {
  std::int32_t zone = 0;
  double lon = 0.0;
  double lat = 0.0;
};
bool parse_z_card(std::string_view line, ZCard& card);

// E card: the near-range edge of the image, (lon1, lat1) to (lon2, lat2) in
// degrees (a fifth number is read and not used).  False for an unreadable
// card or a latitude beyond the poles.
struct ECard {
  double lon1 = 0.0, lat1 = 0.0, lon2 = 0.0, lat2 = 0.0;
};
bool parse_e_card(std::string_view line, ECard& card);

// V card: the look vector (east, north, up).  Each component replaces the
// one in `plook` as soon as it is read, even on a card that turns out bad;
// false when the card is bad.
bool parse_v_card(std::string_view line, std::array<double, 3>& plook);

// F card: the name of a binary file and a number; false when unreadable.
bool parse_f_card(std::string_view line);

// A stretch of the points file without cards (data and comment lines), its
// text kept whole until the batch is written.
class DataLines {
 public:
  // Takes whole records from the start of `block` (as LineReader::records
  // gives them), up to `most` and before the first card; returns the
  // characters taken.
  std::size_t take(std::string_view block, std::size_t most);
  // One record on its own (one that LineReader::records cannot give).
  void take_one(std::string_view line);
  std::size_t size() const { return end_.size(); }
  // Record i, cut to the card width and one column more (to tell a field
  // cut by the width).
  std::string_view operator[](std::size_t i) const {
    return std::string_view(text_).substr(first_[i],
                                          std::min<std::size_t>(end_[i] - first_[i], kPointsLineLength + 1));
  }

 private:
  void clear();
  std::string text_;
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> end_;
};

}  // namespace vadrel
