#pragma once
// The radar line of sight: a look vector given directly (V card) or derived
// for each point from the near-range edge of the image (E card), and the
// range change it makes of a displacement.
//
// Map frame as in model/fault.hpp (km east and north); the look vector is a
// unit vector (east, north, up) from the ground towards the radar; the range
// change and the displacement are in mm, the ramp as model/fault.hpp says.
#include <array>

#include "model/fault.hpp"
#include "model/vec9.hpp"

namespace vadrel {

struct LookGeometry {
  std::array<double, 3> plook{0.0, 0.0, 0.0};  // east, north, up
  bool vcard_set = false;
  double x1 = 0.0, y1 = 0.0, x2 = 0.0, y2 = 0.0;  // near-range edge, km
  bool edge_set = false;                          // an E card gave the edge
};

// The look vector for a point derived from the near-range edge of the image:
// horizontal part perpendicular to the edge, incidence 17 degrees on the
// edge, its tangent growing linearly with the distance from the edge towards
// that of 27 degrees (pi/180 held in single precision, as the incidence
// model was fitted).
Vec3 derived_plook(const LookGeometry& look, double x, double y);

// Projects u (east, north, up) on the look vector and adds the ramp.  While
// no look vector was given directly, the vector is derived for this point
// and stored in look.plook.  Inline: it runs once per point of every range
// record, beside the formatting of that record.
inline double calc_range(LookGeometry& look, const Ramp& ramp, double x, double y, const Vec3& u) {
  if (!look.vcard_set) look.plook = derived_plook(look, x, y);
  double range = 0.0;
  range += look.plook[0] * u[0];
  range += look.plook[1] * u[1];
  range += look.plook[2] * u[2];
  return ramp.a * x + range + ramp.b * y + ramp.c;
}

}  // namespace vadrel
