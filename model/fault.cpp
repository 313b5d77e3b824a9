#include "model/fault.hpp"

#include <cmath>

namespace vadrel {

SegmentFrame segment_frame(const Segment& s) {
  SegmentFrame f;
  f.A = std::sin((90.0 - s.strike) * PI / 180.0);
  f.B = std::cos((90.0 - s.strike) * PI / 180.0);
  f.sn = std::sin((s.strike - 90.0) * PI / 180.0);
  f.cs = std::cos((s.strike - 90.0) * PI / 180.0);
  f.patch = make_patch(s.L, s.W, s.depth, s.dip, s.lambda, s.mu, s.U1, s.U2, s.U3);
  return f;
}

PatchPoint to_patch_frame(const Segment& s, const SegmentFrame& f, double x, double y) {
  const double dx = x - s.X;
  const double dy = y - s.Y;
  return {dx * f.B + dy * f.A, dy * f.B - dx * f.A};
}

Vec9 finite_patch(const SegmentFrame& f, double xs, double ys, bool& shifted) {
  return at_finite_point([&](double px, double py) { return okada_patch(f.patch, px, py); }, xs, ys,
                         shifted);
}

Vec3 segment_enu(const Segment& s, const SegmentFrame& f, double x, double y, bool& shifted) {
  const PatchPoint p = to_patch_frame(s, f, x, y);
  const Vec9 u = finite_patch(f, p.xs, p.ys, shifted);
  const double cs = f.cs;
  const double sn = f.sn;
  return {(cs * u[0] + sn * u[1]) + (cs * u[3] + sn * u[4]) + (cs * u[6] + sn * u[7]),
          (cs * u[1] - sn * u[0]) + (cs * u[4] - sn * u[3]) + (cs * u[7] - sn * u[6]),
          u[2] + u[5] + u[8]};
}

bool on_some_surface_trace(const FaultModel& model, double x, double y) {
  for (std::size_t k = 0; k < model.segments.size(); ++k) {
    const PatchPoint p = to_patch_frame(model.segments[k], model.frames[k], x, y);
    if (on_surface_trace(model.frames[k].patch, p.xs, p.ys)) return true;
  }
  return false;
}

}  // namespace vadrel
