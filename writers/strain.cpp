#include "writers/strain.hpp"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "derivatives/deru.hpp"
#include "derivatives/jacobian_batch.hpp"
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

namespace {

// Points handed to the batch kernel at once: its outputs, the patch-frame
// coordinates and the six sums stay in the fast caches.
constexpr std::size_t kStrainBlock = 128;

// Adds one segment's gradients, turned to the map axes, to the six sums of
// each point, with the arithmetic of compute_strain (the loop runs over the
// points, so it vectorises).
void accumulate_strain(const SegmentFrame& f, const double* const dx[9], const double* const dy[9],
                       std::size_t m, double* const g[6]) {
  const double s = f.A, c = f.B, s2 = f.sn, c2 = f.cs;
  double* __restrict duede = g[0];
  double* __restrict duedn = g[1];
  double* __restrict dunde = g[2];
  double* __restrict dundn = g[3];
  double* __restrict duzde = g[4];
  double* __restrict duzdn = g[5];
  for (int j = 0; j < 3; ++j) {
    const int b = 3 * j;
    const double* __restrict px0 = dx[b];
    const double* __restrict px1 = dx[b + 1];
    const double* __restrict px2 = dx[b + 2];
    const double* __restrict py0 = dy[b];
    const double* __restrict py1 = dy[b + 1];
    const double* __restrict py2 = dy[b + 2];
#pragma GCC ivdep
    for (std::size_t i = 0; i < m; ++i) {
      const double ge0 = c * px0[i] - s * py0[i], gn0 = s * px0[i] + c * py0[i];
      const double ge1 = c * px1[i] - s * py1[i], gn1 = s * px1[i] + c * py1[i];
      const double ge2 = c * px2[i] - s * py2[i], gn2 = s * px2[i] + c * py2[i];
      duede[i] += c2 * ge0 + s2 * ge1;
      dunde[i] += c2 * ge1 - s2 * ge0;
      duzde[i] += ge2;
      duedn[i] += c2 * gn0 + s2 * gn1;
      dundn[i] += c2 * gn1 - s2 * gn0;
      duzdn[i] += gn2;
    }
  }
}

}  // namespace

void form_strain(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out) {
  const std::size_t n = points.size();
  out.shifted.assign(n, 0);
  out.text.reserve(n * 113);
  // 26 arrays of kStrainBlock points, each one cache line (8 doubles)
  // further on than a power of two, so that the arrays of a group of points
  // fall into different sets of the level-1 cache.  The work space belongs
  // to the thread, not to the chunk, so that the chunks waiting to be
  // written hold none.
  constexpr std::size_t stride = kStrainBlock + 8;
  thread_local std::vector<double> scratch;
  scratch.resize(26 * stride);
  double* xs = scratch.data();
  double* ys = xs + stride;
  double* dx[9];
  double* dy[9];
  double* g[6];
  for (std::size_t k = 0; k < 9; ++k) {
    dx[k] = ys + stride * (1 + k);
    dy[k] = ys + stride * (10 + k);
  }
  for (std::size_t k = 0; k < 6; ++k) g[k] = ys + stride * (19 + k);

  for (std::size_t first = 0; first < n; first += kStrainBlock) {
    const std::size_t m = std::min(kStrainBlock, n - first);
    for (double* v : g) std::fill(v, v + m, 0.0);
    for (std::size_t k = 0; k < model.segments.size(); ++k) {
      const Segment& seg = model.segments[k];
      const SegmentFrame& f = model.frames[k];
      for (std::size_t i = 0; i < m; ++i) {
        const PatchPoint p = to_patch_frame(seg, f, points[first + i].x, points[first + i].y);
        xs[i] = p.xs;
        ys[i] = p.ys;
      }
      std::uint8_t by_point[kStrainBlock];
      const std::size_t n_by_point =
          patch_strain_batch(xs, ys, m, seg.L, seg.W, seg.depth, seg.dip, f.trig, seg.U1, seg.U2,
                             seg.U3, dx, dy, by_point);
      // Only points the one-point form evaluated can be non-finite; such a
      // point takes the gradient 1 mm away, as compute_strain does.
      for (std::size_t i = 0; n_by_point != 0 && i < m; ++i) {
        if (by_point[i] == 0) continue;
        double probe = 0.0;
        for (std::size_t c = 0; c < 9; ++c) probe += (dx[c][i] - dx[c][i]) + (dy[c][i] - dy[c][i]);
        if (probe == 0.0) continue;
        bool moved = false;
        const DeruXY d = at_finite_point(
            [&](double px, double py) {
              return patch_strain(px, py, seg.L, seg.W, seg.depth, seg.dip, f.trig, seg.U1,
                                  seg.U2, seg.U3);
            },
            xs[i], ys[i], moved);
        if (moved) out.shifted[first + i] = 1;
        for (std::size_t c = 0; c < 9; ++c) {
          dx[c][i] = d.dx[c];
          dy[c][i] = d.dy[c];
        }
      }
      accumulate_strain(f, dx, dy, m, g);
    }
    for (std::size_t i = 0; i < m; ++i) {
      const PointIn& p = points[first + i];
      RecordText t(out, 112);
      t.e<13, 3>(p.x).e<13, 3>(p.y);
      for (const double* v : g) t.e<13, 3>(v[i]);
      t.done();
    }
  }
}

}  // namespace vadrel
