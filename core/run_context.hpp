#pragma once
// Everything one run reads and writes, passed by reference to every reader
// and writer: the settings from the command line, the fault segment table
// and range ramp, the look geometry, the projection state, the current
// ground point, the counters and the output streams.
#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "core/print_file.hpp"
#include "core/workers.hpp"
#include "model/okada.hpp"

namespace vadrel {

inline constexpr std::size_t NAME_FIELD = 80;    // file-name fields
inline constexpr std::size_t OPTION_FIELD = 16;  // option word field

// Largest grid a card may ask for: one array of that many doubles is
// 800 MB, and a curvilinear grid run holds four.
inline constexpr std::int64_t kMaxGridNodes = 100'000'000;

struct Settings {
  std::int64_t max_grid_nodes = kMaxGridNodes;  // lowered only by test harnesses
  std::string points_file;
  std::string faults_file;
  std::string print_file;
  std::string option;  // blank padded to 16 characters

  // Case-sensitive substring test on the option word.
  bool has(std::string_view word) const { return option.find(word) != std::string::npos; }
};

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

// Planar correction added to every computed range change: a x + b y + c.
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

struct LookGeometry {
  std::array<double, 3> plook{0.0, 0.0, 0.0};  // east, north, up
  bool vcard_set = false;
  double x1 = 0.0, y1 = 0.0, x2 = 0.0, y2 = 0.0;  // near-range edge, km
  bool edge_set = false;                          // an E card gave the edge
};

struct Projection {
  std::int32_t zone = 0;
  double lon = 0.0;
  double lat = 0.0;
  double cmer = 0.0;  // central meridian, degrees (0..360)
  double x0 = 0.0;    // projected origin, m
  double y0 = 0.0;
};

struct GroundPoint {
  double xpt = 0.0;  // km east
  double ypt = 0.0;  // km north
  double drobs = 0.0;  // observed range change, mm
  std::string ptname = std::string(8, ' ');  // label, blank padded
};

struct Counters {
  std::int32_t npts = 0;
  std::int64_t moved = 0;  // points whose value was taken 1 mm away
  double sxmin = 1.0e10;
  double sxmax = -1.0e10;
  double symin = 1.0e10;
  double symax = -1.0e10;

  void extend(double x, double y) {
    if (x > sxmax) sxmax = x;
    if (y > symax) symax = y;
    if (x < sxmin) sxmin = x;
    if (y < symin) symin = y;
  }
};

struct RunContext {
  // `threads`: the threads that compute points (the caller included).
  explicit RunContext(std::ostream& console_stream, unsigned threads = 1)
      : console(console_stream), workers(threads) {}

  Settings settings;
  FaultModel faults;
  LookGeometry look;
  Projection proj;
  GroundPoint point;
  Counters counters;
  double drcalc = 0.0;  // range change of the current point, mm
  PrintFile print;
  std::ostream& console;
  // Points where the closed form had no finite value: warned once per run
  // (on a corner or trace, and elsewhere), and counted.
  bool nonfinite_warned = false;
  bool overflow_warned = false;
  Workers workers;
};

}  // namespace vadrel
