#include "writers/strain.hpp"

#include <string>

#include "derivatives/deru.hpp"
#include "writers/range.hpp"

namespace vadrel {

StrainResult compute_strain(const FaultModel& model, double x, double y) {
  StrainResult r;
  double duede = 0.0, duedn = 0.0, dunde = 0.0, dundn = 0.0, duzde = 0.0, duzdn = 0.0;
  for (std::size_t k = 0; k < model.segments.size(); ++k) {
    const Segment& seg = model.segments[k];
    const SegmentFrame& f = model.frames[k];
    const double s = f.A;
    const double c = f.B;
    const double s2 = f.sn;
    const double c2 = f.cs;
    const PatchPoint p = to_patch_frame(seg, f, x, y);
    const DeruXY d = at_finite_point(
        [&](double px, double py) {
          return patch_strain(px, py, seg.L, seg.W, seg.depth, seg.dip, f.trig, seg.U1,
                              seg.U2, seg.U3);
        },
        p.xs, p.ys, r.shifted);
    // Chain rule: derivatives with respect to the map east and north
    // coordinates of the point.
    Vec9 ge{};
    Vec9 gn{};
    for (int i = 0; i < 9; ++i) {
      ge[i] = c * d.dx[i] - s * d.dy[i];
      gn[i] = s * d.dx[i] + c * d.dy[i];
    }
    for (int j = 0; j < 3; ++j) {
      const int b = 3 * j;
      duede += c2 * ge[b] + s2 * ge[b + 1];
      dunde += c2 * ge[b + 1] - s2 * ge[b];
      duzde += ge[b + 2];
      duedn += c2 * gn[b] + s2 * gn[b + 1];
      dundn += c2 * gn[b + 1] - s2 * gn[b];
      duzdn += gn[b + 2];
    }
  }
  r.g = {duede, duedn, dunde, dundn, duzde, duzdn};
  return r;
}

void form_strain(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out) {
  out.text.reserve(points.size() * 113);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const PointIn& p = points[i];
    const StrainResult r = compute_strain(model, p.x, p.y);
    out.shifted[i] = r.shifted ? 1 : 0;
    RecordText t(out, 112);
    t.e<13, 3>(p.x).e<13, 3>(p.y);
    for (const double v : r.g) t.e<13, 3>(v);
    t.done();
  }
}

}  // namespace vadrel
