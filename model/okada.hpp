#pragma once
// Surface displacement of a uniform dislocation on one buried rectangular
// patch in a homogeneous elastic half-space (Okada 1985 closed form, with
// Chinnery's corner notation).
#include <span>

#include "model/patch.hpp"
#include "model/vec9.hpp"

namespace vadrel {

// Displacement at the surface point (x, y) of the patch frame (frame and
// units in patch.hpp).  Output layout as in vec9.hpp; components below 1e-8
// in magnitude are returned as exact zeros.
//
// The value is accurate to about 1e-12 of the largest component at all dips,
// near-vertical ones included, and as accurate next to the lines where the
// printed closed form degenerates (the surface trace of a patch edge extended
// beyond the patch, the line where the patch plane meets the surface, the
// planes x = 0 and x = L) as elsewhere; on those lines it is the limit of the
// field.  Far from a small patch the corner sum cancels and digits are lost
// in proportion (a few 1e-10 at 50 to 100 patch lengths).
//
// The displacement is not defined on the surface trace of a patch that
// reaches the surface (shallow edge at or above the surface), between its
// ends and at its corners: it jumps by the slip across the trace and is
// singular at the corners.  For such points (within 1e-12 of the problem's
// size, |x| + |y| + L + W + |depth|) all nine components are quiet NaN, and
// the caller decides what to show there, e.g. the value at a point 1 mm away.
// Elsewhere the result is finite.  (A patch with a corner above the surface
// is not a physical source; directly below such a corner the field is
// unbounded and the result meaningless.)
Vec9 okada_patch(const Patch& patch, double x, double y);

// True when (x, y) lies on the surface trace of a patch that reaches the
// surface (its shallow edge at or above the surface), ends and corners
// included, within 1e-12 of the problem's size: where okada_patch has no
// value.
bool on_surface_trace(const Patch& patch, double x, double y);

// okada_patch() for several slips (U1, U2, U3) of the same patch at the same
// point, out[j] for slips[j] (the patch's own slips are not used): the
// corners' geometry is evaluated once, and each result is the one
// okada_patch() gives for that slip.
void okada_patch_slips(const Patch& patch, std::span<const Vec3> slips, double x, double y, Vec9* out);

// The corner term f(xi, eta) of Chinnery's sum for the patch's depth, dip,
// alpha and slips, with q = y sin - depth cos (L and W are not used).
// It may differ from the printed corner term by parts that depend on xi alone
// or on eta alone, which cancel in the sum f(x, p) - f(x, p - W)
// - f(x - L, p) + f(x - L, p - W) (for dips between 60 and 120 degrees the
// parts of I1 and I5 that grow like 1/cos(dip) are left out this way).
// Where R + eta vanishes (xi = q = 0, eta < 0) the 1/(R + eta) terms are
// dropped and ln(R + eta) is replaced by -ln(R - eta); where R + xi vanishes
// the 1/(R (R + xi)) terms are dropped.  Expects sin_dip >= 0 for dips with
// small cos_dip; okada_patch arranges that.
Vec9 chin(const Patch& patch, double y, double xi, double eta);

}  // namespace vadrel
