#include "model/range.hpp"

#include <algorithm>
#include <vector>

#include "model/okada_batch.hpp"

namespace vadrel {

RangeResult compute_range(const FaultModel& model, LookGeometry& look, double x, double y) {
  RangeResult r;
  const std::size_t n = model.segments.size();
  for (std::size_t k = 0; k < n; ++k) {
    const Vec3 d = segment_enu(model.segments[k], model.frames[k], x, y, r.shifted);
    r.E += d[0];
    r.N += d[1];
    r.Z += d[2];
  }
  r.drcalc = calc_range(look, model.ramp, x, y, {r.E, r.N, r.Z});
  return r;
}

namespace {

// Largest number of points the batch kernel is handed at once: the points
// and their sums stay in the fast caches while every segment passes.
constexpr std::size_t kKernelBlock = 256;

}  // namespace

void sum_displacements(const FaultModel& model, const double* x, const double* y, std::size_t n,
                       double* E_all, double* N_all, double* Z_all, std::uint8_t* shifted) {
  std::fill(shifted, shifted + n, std::uint8_t{0});
  std::fill(E_all, E_all + n, 0.0);
  std::fill(N_all, N_all + n, 0.0);
  std::fill(Z_all, Z_all + n, 0.0);
  // The kernel's work space belongs to the thread: it is needed only here.
  thread_local std::vector<double> scratch;
  thread_local std::vector<std::size_t> missing;
  scratch.resize(2 * kKernelBlock);
  missing.resize(kKernelBlock);
  double* xs = scratch.data();
  double* ys = xs + kKernelBlock;

  for (std::size_t first = 0; first < n; first += kKernelBlock) {
    const std::size_t m = std::min(kKernelBlock, n - first);
    for (std::size_t i = 0; i < m; ++i) {
      xs[i] = x[first + i];
      ys[i] = y[first + i];
    }
    double* E = E_all + first;
    double* N = N_all + first;
    double* Z = Z_all + first;
    for (std::size_t s = 0; s < model.segments.size(); ++s) {
      const Segment& seg = model.segments[s];
      const SegmentFrame& f = model.frames[s];
      // The kernel moves each point to the patch frame as to_patch_frame()
      // does and adds the east, north and up parts as segment_enu() forms
      // them.
      const PatchPlacement at{seg.X, seg.Y, f.A, f.B, f.cs, f.sn};
      const std::size_t bad = okada_patch_batch_enu(f.patch, at, xs, ys, m, E, N, Z, missing.data());
      // On a corner or the trace of an outcropping patch the kernel has no
      // value: the point takes the value of a point 1 mm away, as a single
      // point would.
      for (std::size_t j = 0; j < bad; ++j) {
        const std::size_t i = missing[j];
        bool moved = false;
        const Vec3 d = segment_enu(seg, f, xs[i], ys[i], moved);
        if (moved) shifted[first + i] = 1;
        E[i] += d[0];
        N[i] += d[1];
        Z[i] += d[2];
      }
    }
  }
}

}  // namespace vadrel
