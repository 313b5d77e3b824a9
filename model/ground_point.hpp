#pragma once
// A ground point as a points file or a grid gives it.
#include <array>

namespace vadrel {

struct PointIn {
  double x = 0.0;      // km east
  double y = 0.0;      // km north
  double drobs = 0.0;  // observed range change, mm
  std::array<char, 8> label{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};  // blank padded
};

}  // namespace vadrel
