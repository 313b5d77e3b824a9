// The Python face of the vadrel library: numpy arrays in and out, the
// computation done by the same functions the program uses, with the GIL
// released and the points spread over the process's processors.  This file
// defines the module; the parts it binds are declared in module.hpp.
#include <array>
#include <string>
#include <vector>

#include "core/workers.hpp"
#include "python/src/module.hpp"

using namespace vadrel::python;
using vadrel::Segment;

PYBIND11_MODULE(_vadrel, m) {
  m.doc() = "Compiled core of the vadrel package (see the package's documentation).";
  m.attr("version") = VADREL_VERSION;

  py::class_<Segment>(m, "Segment", R"doc(
One rectangular fault segment, the fields of a faults-file line.

Segment(X=, Y=, strike=, flag=0, depth=, dip=, lam=, mu=, U1=, U2=, U3=, L=, W=, name="")

X, Y    surface point above the start of the deep edge, km east and north
strike  degrees clockwise from north; the patch dips to the right of the
        strike direction for dips below 90 degrees
flag    an integer, listed only
depth   depth of the deep edge, km
dip     degrees
lam, mu elastic constants in any one unit (only mu/(lam+mu) is used)
U1, U2, U3  strike slip (positive left-lateral), dip slip (positive
        reverse), opening, mm
L, W    length along strike and width up dip from the deep edge, km (> 0)
name    label (first 16 characters kept)

Keywords are the safe way.  Positionally the faults file's order is taken
when 13 numbers (14 with the name) are given; 12 numbers, optionally
followed by name and flag, are read in the earlier order X, Y, strike,
depth, dip, lam, mu, U1, U2, U3, L, W, name, flag.  Other positional counts
above three are ambiguous and raise TypeError.

ValueError, naming the argument: a value that is not finite; X, Y, depth,
L, W or a slip beyond 1e50 (as the faults reader refuses them); L or W not
positive; mu/(lam+mu) not finite.  The repr is the keyword call, and
replace(**changes) returns a copy with some fields changed.
)doc")
      .def(py::init(&make_segment))
      .def_readonly("X", &Segment::X)
      .def_readonly("Y", &Segment::Y)
      .def_readonly("strike", &Segment::strike)
      .def_readonly("flag", &Segment::flag)
      .def_readonly("depth", &Segment::depth)
      .def_readonly("dip", &Segment::dip)
      .def_readonly("lam", &Segment::lambda)
      .def_readonly("mu", &Segment::mu)
      .def_readonly("U1", &Segment::U1)
      .def_readonly("U2", &Segment::U2)
      .def_readonly("U3", &Segment::U3)
      .def_readonly("L", &Segment::L)
      .def_readonly("W", &Segment::W)
      .def_property_readonly("name", [](const Segment& s) { return name_text(s.name); })
      .def("replace", &replace_segment, "A copy with the fields given by keyword changed (checked as Segment() checks them).")
      .def("__repr__", &segment_repr)
      .def("__eq__", [](const Segment& a, const py::object& b) {
        return py::isinstance<Segment>(b) && same_segment(a, b.cast<Segment>());
      })
      .def("__hash__", [](const Segment& s) { return py::hash(pickled_segment(s)); })
      .def(py::pickle(
          &pickled_segment, [](const py::tuple& t) { return restored_segment(t); }));

  py::class_<Faults>(m, "Faults", R"doc(
A fault model: one or more segments and the range ramp.

Faults(segments, ramp=(0, 0, 0))

segments  Segment objects from any iterable (list, tuple, generator, numpy
          array of objects), at least one; or a single Segment
ramp      (a, b, c): a*x + b*y + c (mm, x and y in km) is added to every
          range change
)doc")
      .def(py::init(&faults_from), py::arg("segments"), py::arg("ramp") = py::make_tuple(0.0, 0.0, 0.0))
      .def_property_readonly("segments", [](const Faults& f) { return f.model.segments; })
      .def_property_readonly("ramp",
                             [](const Faults& f) {
                               return py::make_tuple(f.model.ramp.a, f.model.ramp.b, f.model.ramp.c);
                             })
      .def("__len__", [](const Faults& f) { return f.model.segments.size(); })
      .def("__repr__",
           [](const Faults& f) {
             return "Faults(<" + std::to_string(f.model.segments.size()) + " segment(s)>, ramp=(" +
                    number_text(f.model.ramp.a) + ", " + number_text(f.model.ramp.b) + ", " +
                    number_text(f.model.ramp.c) + "))";
           })
      .def(py::pickle(
          [](const Faults& f) {
            return py::make_tuple(f.model.segments,
                                  py::make_tuple(f.model.ramp.a, f.model.ramp.b, f.model.ramp.c));
          },
          [](const py::tuple& t) {
            return make_faults(t[0].cast<std::vector<Segment>>(), t[1].cast<std::array<double, 3>>());
          }));

  m.def("read_faults", &read_faults_file, py::arg("path"));
  m.def("patch_displacement", &patch_displacement, py::arg("x"), py::arg("y"), py::kw_only(), py::arg("L"),
        py::arg("W"), py::arg("depth"), py::arg("dip"), py::arg("lam") = 3.0e10, py::arg("mu") = 3.0e10,
        py::arg("U1") = 0.0, py::arg("U2") = 0.0, py::arg("U3") = 0.0, py::arg("threads") = 0);
  m.def("displacement", &displacement, py::arg("faults"), py::arg("x"), py::arg("y"), py::kw_only(),
        py::arg("threads") = 0);
  m.def("range_change", &range_change, py::arg("faults"), py::arg("x"), py::arg("y"), py::arg("look"),
        py::kw_only(), py::arg("threads") = 0);
  m.def("strain", &strain, py::arg("faults"), py::arg("x"), py::arg("y"), py::kw_only(), py::arg("threads") = 0);
  m.def("partials", &partials, py::arg("faults"), py::arg("x"), py::arg("y"), py::arg("look"),
        py::arg("method") = "analytic", py::kw_only(), py::arg("threads") = 0);
  m.def("utm", &utm_xy, py::arg("lon"), py::arg("lat"), py::arg("zone"));
  m.def("read_grid", &read_grid, py::arg("path"));
  m.def("cell_points", &cell_points, py::arg("xn"), py::arg("yn"));
  m.def("depth_factors", &depth_factors, py::arg("depth"));
  m.def("read_depth", &read_depth, py::arg("path"), py::arg("rows"), py::arg("cols"));
  m.def("run", &run, py::arg("args"));
  m.def("available_threads", &vadrel::Workers::available);
}
