#include "model/look.hpp"

#include <cmath>

namespace vadrel {

Vec3 derived_plook(const LookGeometry& look, double x, double y) {
  // pi/180 rounded to single precision, as the incidence model was fitted.
  constexpr double DEG = 0.01745329238474369;
  const double c = (look.x1 - x) * (look.y2 - y) - (look.y1 - y) * (look.x2 - x);
  const double len = std::sqrt((look.x2 - look.x1) * (look.x2 - look.x1) +
                               (look.y2 - look.y1) * (look.y2 - look.y1));
  const double dist = len != 0.0 ? std::fabs(c) / len : 0.0;
  // Tangent of the incidence angle: 17 degrees on the near-range edge,
  // interpolated linearly in the tangent towards 27 degrees.
  const double t17 = std::tan(17.0 * DEG);
  const double t = t17 + (std::tan(27.0 * DEG) - t17) * dist / 100000.0;
  Vec3 p{0.0, 0.0, 1.0 / t};
  if (len != 0.0) {
    const double lenf = static_cast<double>(static_cast<float>(len));
    const double ex = (look.x2 - look.x1) / lenf;
    const double ey = (look.y2 - look.y1) / lenf;
    p[0] = -ey;
    p[1] = ex;
  }
  const double m = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  if (m == 0.0 || !std::isfinite(m)) return {0.0, 0.0, 0.0};
  return {p[0] / m, p[1] / m, p[2] / m};
}

}  // namespace vadrel
