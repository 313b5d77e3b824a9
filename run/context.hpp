#pragma once
// Everything one run reads and writes, passed by reference through the run:
// the settings from the command line, the fault model (segment table and
// range ramp), the look geometry, the projection state, the current ground
// point, the counters, the print file, the console and the threads.
#include <array>
#include <cstdint>
#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

#include "core/limits.hpp"
#include "core/print_file.hpp"
#include "core/workers.hpp"
#include "model/fault.hpp"
#include "model/look.hpp"

namespace vadrel {

inline constexpr std::size_t NAME_FIELD = 80;    // file-name fields
inline constexpr std::size_t OPTION_FIELD = 16;  // option word field

struct Settings {
  std::int64_t max_grid_nodes = kMaxGridNodes;  // lowered only by test harnesses
  std::string points_file;
  std::string faults_file;
  std::string print_file;
  std::string option;  // blank padded to 16 characters

  // Case-sensitive substring test on the option word.
  bool has(std::string_view word) const { return option.find(word) != std::string::npos; }
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
