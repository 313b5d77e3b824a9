#pragma once
// Closed-form derivatives of the patch displacement (the 9-value output of
// okada_patch) with respect to the point position, the patch length, width,
// depth, dip and the three slips, for a patch as model/patch.hpp describes
// it (dip in degrees; derivatives with respect to the dip per radian).  The
// batch forms of patch_strain and patch_jacobian, for many points of one
// patch, are in derivatives/jacobian_batch.hpp.
#include <array>

#include "model/okada.hpp"
#include "model/vec9.hpp"

namespace vadrel {

struct DeruXY {
  Vec9 dx{};  // du/dx (along strike)
  Vec9 dy{};  // du/dy (across strike)
};

inline bool all_finite(const DeruXY& d) { return all_finite(d.dx) && all_finite(d.dy); }

// Corner kernel of the x/y gradient for the patch's dip, alpha and slips
// (q = y sin - depth cos): the signed sum of it over the four corners is the
// pair du/dx, du/dy.
DeruXY deru1_x(const Patch& patch, double xi, double eta, double q);

// Everything the partials of a range change need at one surface point of
// one patch, from one pass over the four corners: the displacement, the
// unit-slip displacement (the derivatives with respect to U1, U2, U3, each
// on its own triple) and the derivatives with respect to the point's x and
// y, the patch length, width, depth and dip (per radian), for the given
// slips.  Units and frame as okada_patch; u and unit are cleared below 1e-8
// as okada_patch clears them, the derivatives are not.
//
// Accurate to about 1e-12 of each derivative's largest component at all
// dips, within a few thousandths of a degree of +-90 included.  Near the
// lines where the corner formulas degenerate (q = 0, level with a patch
// end) the derivatives are interpolated across the line from points off it;
// on the surface trace of a patch that reaches the surface, where the
// displacement jumps, everything is NaN and the caller picks a point nearby.
struct PatchJacobian {
  Vec9 u{};     // displacement for (U1, U2, U3), as okada_patch
  Vec9 unit{};  // displacement for U1 = U2 = U3 = 1
  Vec9 dx{}, dy{};          // d/dx, d/dy of the point (patch frame)
  Vec9 dL{}, dW{};          // d/dL, d/dW
  Vec9 ddepth{}, ddip{};    // d/d(depth), d/d(dip) per radian
};

bool all_finite(const PatchJacobian& j);

PatchJacobian patch_jacobian(const Patch& patch, double x, double y);

// Only du/dx and du/dy (for strain): no logarithm or arctangent, about the
// cost of one displacement evaluation.  Same accuracy and repairs as
// patch_jacobian.
DeruXY patch_strain(const Patch& patch, double x, double y);

// The same derivatives one at a time (each call makes the whole corner
// pass; use patch_jacobian or patch_strain where more than one is needed):
// with respect to the point (x and y), the length, the width, the dip (per
// radian) and the depth.
DeruXY deru_x(const Patch& patch, double x, double y);    // du/dx and du/dy of the point
Vec9 deru_l(const Patch& patch, double x, double y);      // du/dL
Vec9 deru_w(const Patch& patch, double x, double y);      // du/dW
Vec9 deru_delta(const Patch& patch, double x, double y);  // du/d(dip), per radian
Vec9 deru_d(const Patch& patch, double x, double y);      // du/d(depth)

// Derivatives with respect to U1, U2, U3: each array holds its own triple of
// the unit-slip displacement and zeros elsewhere (the patch's slips are not
// used).
std::array<Vec9, 3> deru_u(const Patch& patch, double x, double y);

}  // namespace vadrel
