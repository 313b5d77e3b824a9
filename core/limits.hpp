#pragma once
// Sizes the run refuses to go beyond, so that a mistyped card or header
// cannot ask for gigabytes.
#include <cstdint>

namespace vadrel {

// Largest grid, in nodes, that a grid card or a curvilinear grid file may
// ask for: one array of that many doubles is 800 MB, and a curvilinear grid
// run holds four.
inline constexpr std::int64_t kMaxGridNodes = 100'000'000;

}  // namespace vadrel
