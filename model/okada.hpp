#pragma once
// Surface displacement of a uniform dislocation on one buried rectangular
// patch in a homogeneous elastic half-space (Okada 1985 closed form, with
// Chinnery's corner notation).
#include "model/vec9.hpp"

namespace vadrel {

// Per-patch quantities that depend only on the dip and the elastic
// constants; computing them once per segment keeps trigonometry out of the
// per-point loop.  Results are identical to those of okada_patch().
struct PatchTrig {
  double sin_dip = 0.0;  // sin(pi*dip/180)
  double cos_dip = 0.0;  // exactly 0 within 1e-8 degrees of +-90
  double alpha = 0.0;    // mu/(lambda+mu)
};

PatchTrig patch_trig(double dip_deg, double lambda, double mu);

// Displacement at the surface point (x, y) of the patch frame.  Slips in any
// unit (mm here), lengths in any unit (km here), dip in degrees.
Vec9 okada_patch(double U1, double U2, double U3, double x, double y, double L,
                 double W, double depth, double dip_deg, double lambda,
                 double mu);

// Same, with the dip/elastic quantities precomputed by patch_trig().
Vec9 okada_patch(double U1, double U2, double U3, double x, double y, double L,
                 double W, double depth, const PatchTrig& trig);

// The corner term f(xi, eta) of Chinnery's sum.
Vec9 chin(double y, double depth, double sin_dip, double cos_dip, double alpha,
          double xi, double eta, double U1, double U2, double U3);

}  // namespace vadrel
