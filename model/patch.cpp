#include "model/patch.hpp"

#include <cmath>

#include "model/okada_terms.hpp"

namespace vadrel {

Patch make_patch(double L, double W, double depth, double dip_deg, double lambda, double mu,
                 double U1, double U2, double U3) {
  Patch p;
  p.L = L;
  p.W = W;
  p.depth = depth;
  p.dip = dip_deg;
  const double delta = PI * dip_deg / 180.0;
  p.sin_dip = std::sin(delta);
  // Within 1e-8 degrees of vertical the patch is treated as exactly
  // vertical, so the vertical form of the I terms is used.
  p.cos_dip = (std::fabs(std::fabs(dip_deg) - 90.0) <= okada_terms::TOL) ? 0.0 : std::cos(delta);
  p.alpha = mu / (lambda + mu);
  p.U1 = U1;
  p.U2 = U2;
  p.U3 = U3;
  return p;
}

}  // namespace vadrel
