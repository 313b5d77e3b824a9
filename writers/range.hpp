#pragma once
// Range change: the displacement of all fault segments at a ground point,
// projected on the radar line of sight, plus the range ramp.
#include <array>

#include "core/run_context.hpp"
#include "writers/records.hpp"

namespace vadrel {

// Patch-frame position of map point (x, y) relative to a segment.
struct PatchPoint {
  double xs = 0.0;  // along strike
  double ys = 0.0;  // 90 degrees counter-clockwise from strike
};
PatchPoint to_patch_frame(const Segment& s, const SegmentFrame& f, double x, double y);

// Shift, in km, used to take the displacement from a neighbouring point
// where the closed form has no finite value (1 mm).
inline constexpr double kNeighbourShift = 1.0e-6;

// Evaluates f(xs, ys) at a patch-frame point.  Where the result is not
// finite (the point sits exactly where the displacement jumps: a corner or
// the surface trace of an edge that reaches the surface) the value is taken
// at a point 1 mm away, trying the directions in a fixed order so the result
// is reproducible, and `shifted` is set.
template <class F>
auto at_finite_point(F f, double xs, double ys, bool& shifted) {
  constexpr double h = kNeighbourShift;
  constexpr double shifts[][2] = {{0.0, h}, {0.0, -h}, {h, 0.0}, {-h, 0.0}, {h, h}, {-h, -h}};
  auto v = f(xs, ys);
  if (all_finite(v)) return v;
  shifted = true;
  for (const auto& o : shifts) {
    v = f(xs + o[0], ys + o[1]);
    if (all_finite(v)) return v;
  }
  return decltype(v){};  // nothing finite nearby: no contribution
}

// Patch displacement of one segment at a patch-frame point.  Where the
// closed form has no finite value (a point exactly on a corner or on the
// surface trace of an edge that reaches the surface) the value is taken at a
// point 1 mm away and `shifted` is set.
Vec9 finite_patch(const SegmentFrame& f, double xs, double ys, bool& shifted);

// East, north, up displacement (mm) of one segment at map point (x, y).
Vec3 segment_enu(const Segment& s, const SegmentFrame& f, double x, double y, bool& shifted);

// The look vector for a point derived from the near-range edge of the image.
Vec3 derived_plook(const LookGeometry& look, double x, double y);

// Projects u (east, north, up) on the look vector and adds the ramp.  While
// no look vector was given directly, the vector is derived for this point
// and stored in look.plook.
double calc_range(LookGeometry& look, const Ramp& ramp, double x, double y, const Vec3& u);

struct RangeResult {
  double E = 0.0;
  double N = 0.0;
  double Z = 0.0;
  double drcalc = 0.0;
  bool shifted = false;  // some segment needed the neighbouring point
};

// Sums the displacement of every segment at (x, y) and forms the range change.
RangeResult compute_range(const FaultModel& model, LookGeometry& look, double x, double y);

// The east, north and up displacement (mm) of all segments at each point,
// summed segment by segment as compute_range() does, into out.E, out.N and
// out.Z (the batch kernel does the patch solution); out.shifted marks points
// whose value was taken 1 mm away.
void sum_displacements(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out);

// The range-type records (range, residual or vector, as `kind` says) of a
// run of points, with each point's range change in out.drcalc.  The
// displacement comes from the batch kernel, segment by segment.
void form_range(const FaultModel& model, const LookGeometry& look, const Ramp& ramp, RecordKind kind,
                std::span<const PointIn> points, RecordChunk& out);

// Writes the one-time console warning for a point where the closed form had
// no finite value.
void warn_nonfinite(RunContext& ctx, double x, double y);

// Writes record text (whole lines, each with its newline) to the print file;
// on failure reports and stops with "<routine>: Write problem".
void write_record(RunContext& ctx, std::string_view text, const char* routine);

}  // namespace vadrel
