#pragma once
// The parts of the Python module (module.cpp binds them): the numpy array
// type, the checks and conversions of arguments every part shares, the
// fault model object, and the functions each part gives the module.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "model/fault.hpp"

namespace py = pybind11;

namespace vadrel::python {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---------------------------------------------------------------------------
// Arguments.

[[noreturn]] inline void bad(const std::string& what) { throw py::value_error(what); }

inline std::string shape_text(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t k = 0; k < a.ndim(); ++k) {
    if (k > 0) s += ", ";
    s += std::to_string(a.shape(k));
  }
  return s + (a.ndim() == 1 ? ",)" : ")");
}

inline void require_finite(const double* v, std::size_t n, const char* name) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) {
      std::ostringstream msg;
      msg << name << '[' << i << "] is not finite (" << v[i] << "); coordinates must be finite numbers";
      bad(msg.str());
    }
  }
}

inline double finite_param(double v, const char* name) {
  if (!std::isfinite(v)) bad(std::string(name) + " must be a finite number, got " + std::to_string(v));
  return v;
}

// Beyond this size (km for lengths, mm for slips) the powers of distances the
// patch solution forms overflow: the faults reader refuses such segments too.
constexpr double kLargest = 1e50;

inline std::string number_text(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

// A coordinate, length or slip: finite and within kLargest.
inline double sized_param(double v, const char* name) {
  finite_param(v, name);
  if (!(std::fabs(v) <= kLargest)) {
    bad(std::string(name) + " is beyond 1e50 (" + number_text(v) + "); the model cannot be evaluated with it");
  }
  return v;
}

inline double positive_param(double v, const char* name, const char* what) {
  sized_param(v, name);
  if (!(v > 0.0)) bad(std::string(name) + " must be positive (" + what + "), got " + number_text(v));
  return v;
}

inline void check_elastic(double lam, double mu) {
  finite_param(lam, "lam");
  finite_param(mu, "mu");
  if (!std::isfinite(mu / (lam + mu))) bad("lam and mu: mu/(lam+mu) must be a finite number (lam + mu = 0?)");
}

// A fault model: its segments and its ramp.
struct Faults {
  FaultModel model;
};

// ---------------------------------------------------------------------------
// Segments and fault models (faults.cpp).

// Name bytes as Python text: bytes that are not UTF-8 (a faults file may
// hold any) survive a round trip through the constructor.
py::str name_text(const std::string& name);
// Segment(*args, **kwargs), every value checked.
Segment make_segment(const py::args& args, const py::kwargs& kwargs);
// A copy with the fields given by keyword changed.
Segment replace_segment(const Segment& s, const py::kwargs& changes);
std::string segment_repr(const Segment& s);
bool same_segment(const Segment& a, const Segment& b);
py::tuple pickled_segment(const Segment& s);
Segment restored_segment(const py::tuple& t);
Faults make_faults(const std::vector<Segment>& segments, const std::array<double, 3>& ramp);
// Faults(segments, ramp): segments from any iterable or one Segment.
Faults faults_from(const py::object& segments, const py::object& ramp);

// ---------------------------------------------------------------------------
// Per-point computations (points.cpp), spread over `threads` threads (0: all
// available processors) with the GIL released.

py::array patch_displacement(const Array& x, const Array& y, double L, double W, double depth, double dip,
                             double lam, double mu, double U1, double U2, double U3, int threads);
py::array displacement(const Faults& f, const Array& x, const Array& y, int threads);
py::array range_change(const Faults& f, const Array& x, const Array& y, const Array& look, int threads);
py::array strain(const Faults& f, const Array& x, const Array& y, int threads);
py::array partials(const Faults& f, const Array& x, const Array& y, const Array& look,
                   const std::string& method, int threads);
py::object utm_xy(const Array& lon, const Array& lat, int zone);

// ---------------------------------------------------------------------------
// Files and the program (files.cpp).

Faults read_faults_file(const std::string& path);
py::tuple read_grid(const std::string& path);
Array read_depth(const std::string& path, int rows, int cols);
int run(const std::vector<std::string>& args);

// ---------------------------------------------------------------------------
// The grid cards' rules (grids.cpp).

py::tuple cell_points(const Array& xn, const Array& yn);
Array depth_factors(const Array& depth);

}  // namespace vadrel::python
