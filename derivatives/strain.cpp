#include "derivatives/strain.hpp"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "core/work_arrays.hpp"
#include "derivatives/deru.hpp"
#include "derivatives/jacobian_batch.hpp"

namespace vadrel {

namespace {

// Points handed to the batch kernel at once: its outputs, the patch-frame
// coordinates and the six sums stay in the level-1 cache.
constexpr std::size_t kStrainBlock = 128;

// Adds one segment's gradients, turned to the map axes by the chain rule
// (derivatives with respect to the map east and north coordinates of the
// point), to the six sums of each point (the loop runs over the points, so
// it vectorises).
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
#if !defined(__clang__)  // a gcc hint; clang vectorises these loops on its own
#pragma GCC ivdep
#endif
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

// Work space of one block: 26 arrays of kStrainBlock points (WorkArrays).
struct StrainWork {
  double* xs;
  double* ys;
  double* dx[9];
  double* dy[9];
  double* g[6];  // duede, duedn, dunde, dundn, duzde, duzdn
};

StrainWork strain_work() {
  thread_local std::vector<double> space;
  WorkArrays arrays(space, 26, kStrainBlock);
  StrainWork w;
  w.xs = arrays.take();
  w.ys = arrays.take();
  for (double*& a : w.dx) a = arrays.take();
  for (double*& a : w.dy) a = arrays.take();
  for (double*& a : w.g) a = arrays.take();
  return w;
}

// The six gradients at m <= kStrainBlock map points into w.g, summed over
// the segments; shifted[i] set where some segment needed the neighbouring
// point.
void strain_block(const FaultModel& model, const double* x, const double* y, std::size_t m,
                  const StrainWork& w, std::uint8_t* shifted) {
  for (double* v : w.g) std::fill(v, v + m, 0.0);
  std::fill(shifted, shifted + m, std::uint8_t{0});
  for (std::size_t k = 0; k < model.segments.size(); ++k) {
    const Segment& seg = model.segments[k];
    const SegmentFrame& f = model.frames[k];
    for (std::size_t i = 0; i < m; ++i) {
      const PatchPoint p = to_patch_frame(seg, f, x[i], y[i]);
      w.xs[i] = p.xs;
      w.ys[i] = p.ys;
    }
    std::uint8_t by_point[kStrainBlock];
    const std::size_t n_by_point =
        patch_strain_batch(f.patch, w.xs, w.ys, m, w.dx, w.dy, by_point);
    // Only points the one-point form evaluated can be non-finite; such a
    // point takes the gradient 1 mm away (see at_finite_point).
    for (std::size_t i = 0; n_by_point != 0 && i < m; ++i) {
      if (by_point[i] == 0) continue;
      double probe = 0.0;
      for (std::size_t c = 0; c < 9; ++c)
        probe += (w.dx[c][i] - w.dx[c][i]) + (w.dy[c][i] - w.dy[c][i]);
      if (probe == 0.0) continue;
      bool moved = false;
      const DeruXY d = at_finite_point(
          [&](double px, double py) { return patch_strain(f.patch, px, py); },
          w.xs[i], w.ys[i], moved);
      if (moved) shifted[i] = 1;
      for (std::size_t c = 0; c < 9; ++c) {
        w.dx[c][i] = d.dx[c];
        w.dy[c][i] = d.dy[c];
      }
    }
    accumulate_strain(f, w.dx, w.dy, m, w.g);
  }
}

}  // namespace

void compute_strain_batch(const FaultModel& model, const double* x, const double* y, std::size_t n,
                          StrainResult* out) {
  const StrainWork w = strain_work();
  std::uint8_t shifted[kStrainBlock];
  for (std::size_t first = 0; first < n; first += kStrainBlock) {
    const std::size_t m = std::min(kStrainBlock, n - first);
    strain_block(model, x + first, y + first, m, w, shifted);
    for (std::size_t i = 0; i < m; ++i) {
      StrainResult& r = out[first + i];
      for (std::size_t k = 0; k < 6; ++k) r.g[k] = w.g[k][i];
      r.shifted = shifted[i] != 0;
    }
  }
}

StrainResult compute_strain(const FaultModel& model, double x, double y) {
  StrainResult r;
  compute_strain_batch(model, &x, &y, 1, &r);
  return r;
}

}  // namespace vadrel
