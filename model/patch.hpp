#pragma once
// One rectangular dislocation patch: its size, depth, dip, slips and the
// elastic ratio, the value every kernel of model/ and derivatives/ takes.
//
// Units, stated once for every kernel: lengths (L, W, depth and the point
// coordinates) in any one unit, km in this program; slips in any one unit,
// mm here, which is the unit of the displacement returned; the dip in
// degrees, with its sine and cosine kept beside it; alpha = mu/(lambda + mu)
// is dimensionless.
//
// Patch frame: x along strike, y 90 degrees counter-clockwise from it seen
// from above, z up; origin above the start (x = 0) of the deep edge, which
// lies at `depth` below the surface; the patch spans 0 <= x <= L and rises
// by W up-dip, its shallow edge at depth depth - W sin(dip) above
// y = W cos(dip).
#include "model/vec9.hpp"

namespace vadrel {

struct Patch {
  double L = 0.0;        // length along strike
  double W = 0.0;        // width, down-dip extent
  double depth = 0.0;    // depth of the deep edge (positive down)
  double dip = 0.0;      // degrees
  double sin_dip = 0.0;  // sin(pi dip/180)
  double cos_dip = 0.0;  // cos(pi dip/180), exactly 0 within 1e-8 degrees of +-90
  double alpha = 0.0;    // mu/(lambda + mu)
  double U1 = 0.0;       // strike slip
  double U2 = 0.0;       // dip slip
  double U3 = 0.0;       // tensile opening
};

// The patch of the given size, dip (degrees), Lame constants and slips, its
// sine, cosine and alpha computed here once.
Patch make_patch(double L, double W, double depth, double dip_deg, double lambda, double mu,
                 double U1, double U2, double U3);

// The same patch with other slips.
inline Patch with_slips(Patch p, double U1, double U2, double U3) {
  p.U1 = U1;
  p.U2 = U2;
  p.U3 = U3;
  return p;
}

}  // namespace vadrel
