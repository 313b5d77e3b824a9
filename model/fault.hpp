#pragma once
// The fault model: rectangular segments placed on the map, the range ramp,
// and the rotations between the map and a segment's patch frame.
//
// Map frame: x east, y north, in km, in the local frame the points file
// uses; strike clockwise from north in degrees.  A map point enters a
// segment's patch frame (model/patch.hpp) through alpha = (90 - strike) pi/180
// about the segment's origin (X, Y); patch-frame vectors return to east and
// north through beta = (strike - 90) pi/180.  Displacements are in the slip
// unit (mm).
#include <cstdint>
#include <string>
#include <vector>

#include "model/okada.hpp"
#include "model/patch.hpp"
#include "model/vec9.hpp"

namespace vadrel {

// One rectangular fault segment (lengths km, angles degrees, slips mm).
struct Segment {
  double X = 0.0;
  double Y = 0.0;
  double strike = 0.0;
  std::int32_t flag = 0;
  double depth = 0.0;
  double dip = 0.0;
  double lambda = 0.0;
  double mu = 0.0;
  double U1 = 0.0;
  double U2 = 0.0;
  double U3 = 0.0;
  double L = 0.0;
  double W = 0.0;
  std::string name;  // 16 characters, blank padded
};

// Quantities of a segment that do not depend on the point, computed once.
struct SegmentFrame {
  double A = 0.0;   // sin((90 - strike) pi/180)
  double B = 0.0;   // cos((90 - strike) pi/180)
  double sn = 0.0;  // sin((strike - 90) pi/180)
  double cs = 0.0;  // cos((strike - 90) pi/180)
  Patch patch;      // the segment's size, dip, elastic ratio and slips
};

SegmentFrame segment_frame(const Segment& s);

// Planar correction added to every computed range change: a x + b y + c
// (a, b in mm/km, c in mm).
struct Ramp {
  double a = 0.0;
  double b = 0.0;
  double c = 0.0;
};

struct FaultModel {
  std::vector<Segment> segments;
  std::vector<SegmentFrame> frames;  // one per segment
  Ramp ramp;
  std::vector<std::int32_t> plus_list;   // markers, for the test listing
  std::vector<std::int32_t> minus_list;

  std::int32_t nseg() const { return static_cast<std::int32_t>(segments.size()); }
  void add(const Segment& s) {
    segments.push_back(s);
    frames.push_back(segment_frame(s));
  }
};

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

// True when map point (x, y) lies on the surface trace of some segment that
// reaches the surface, its ends and corners included (on_surface_trace).
bool on_some_surface_trace(const FaultModel& model, double x, double y);

}  // namespace vadrel
