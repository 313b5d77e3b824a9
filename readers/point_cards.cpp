#include "readers/point_cards.hpp"

#include <algorithm>
#include <cmath>

#include "core/line_reader.hpp"
#include "readers/cardline.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kBinaryNameLength = 80;
constexpr std::size_t kLabelLength = 8;

}  // namespace

bool is_points_card(char c) {
  switch (c) {
    case 'Z': case 'E': case 'V': case 'F': case 'G': case 'M': case 'U': case 'S': return true;
    default: return false;
  }
}

bool parse_data_line(std::string_view line, bool residual, PointIn& p) {
  CardFields f(line, kPointsLineLength, 1);
  f.r8(p.x).r8(p.y);
  if (residual) f.r8(p.drobs);
  std::string_view label;
  if (f.optional(label)) {
    const std::size_t n = std::min(label.size(), kLabelLength);
    std::copy_n(label.data(), n, p.label.data());
  }
  return f.ok();
}

bool parse_z_card(std::string_view line, ZCard& card) {
  ZCard c;
  CardFields f(line, kPointsLineLength, 2);
  f.i4(c.zone).r8(c.lon).r8(c.lat);
  // A zone outside 1..60 or a latitude beyond the poles is no projection.
  if (!f.ok() || c.zone < 1 || c.zone > 60 || !(std::fabs(c.lat) <= 90.0)) return false;
  card = c;
  return true;
}

bool parse_e_card(std::string_view line, ECard& card) {
  double v[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  CardFields f(line, kPointsLineLength, 2);
  for (double& x : v) f.r8(x);
  if (!f.ok() || !(std::fabs(v[1]) <= 90.0) || !(std::fabs(v[3]) <= 90.0)) return false;
  card = {v[0], v[1], v[2], v[3]};
  return true;
}

bool parse_v_card(std::string_view line, std::array<double, 3>& plook) {
  CardFields f(line, kPointsLineLength, 2);
  for (double& c : plook) f.r8(c);
  double fourth = 0.0;
  f.r8(fourth);
  return f.ok();
}

bool parse_f_card(std::string_view line) {
  std::string name;
  double number = 0.0;
  CardFields f(line, kPointsLineLength, 3);
  f.ch(name, kBinaryNameLength).r8(number);
  return f.ok();
}

std::size_t DataLines::take(std::string_view block, std::size_t most) {
  clear();
  const std::size_t n = split_records(block, most, is_points_card, first_, end_);
  text_.assign(block.data(), n);
  return n;
}

void DataLines::take_one(std::string_view line) {
  clear();
  text_.assign(line);
  first_.push_back(0);
  end_.push_back(static_cast<std::uint32_t>(line.size()));
}

void DataLines::clear() {
  text_.clear();
  first_.clear();
  end_.clear();
}

}  // namespace vadrel
