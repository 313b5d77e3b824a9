// Segments and fault models from Python values: the faults file's fields by
// keyword or position, every value checked as the faults reader checks it,
// repr, equality and pickles.
#include <array>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "python/src/module.hpp"

namespace vadrel::python {

namespace {

// The faults file's field order, which is the keyword order of Segment().
constexpr std::array<const char*, 14> kFileOrder{"X", "Y",  "strike", "flag", "depth", "dip", "lam",
                                                  "mu", "U1", "U2",     "U3",   "L",     "W",   "name"};
// The order of the module's first versions (flag last), kept for positional calls.
constexpr std::array<const char*, 14> kEarlierOrder{"X",  "Y",  "strike", "depth", "dip", "lam",  "mu",
                                                     "U1", "U2", "U3",     "L",     "W",   "name", "flag"};

std::size_t field_index(const std::string& name) {
  for (std::size_t k = 0; k < kFileOrder.size(); ++k) {
    if (name == kFileOrder[k]) return k;
  }
  return kFileOrder.size();
}

std::string name_bytes(const py::handle& h) {
  if (!py::isinstance<py::str>(h)) throw py::type_error("name must be a str, got " + py::repr(h).cast<std::string>());
  PyObject* b = PyUnicode_AsEncodedString(h.ptr(), "utf-8", "surrogateescape");
  if (b == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::bytes>(b).cast<std::string>();
}

double number_arg(const py::handle& h, const char* name) {
  if (py::isinstance<py::str>(h) || py::isinstance<py::bytes>(h)) {
    throw py::type_error(std::string(name) + " must be a number, got " + py::repr(h).cast<std::string>());
  }
  try {
    return py::float_(py::reinterpret_borrow<py::object>(h)).cast<double>();
  } catch (const py::error_already_set&) {
    throw py::type_error(std::string(name) + " must be a number, got " + py::repr(h).cast<std::string>());
  }
}

std::int32_t flag_arg(const py::handle& h) {
  const double v = number_arg(h, "flag");
  if (!(v == std::trunc(v) && std::fabs(v) <= 2147483647.0)) {
    bad("flag must be a whole number that fits 32 bits (it is listed only), got " + number_text(v));
  }
  return static_cast<std::int32_t>(v);
}

// A segment from its fields by name (kFileOrder), every value checked:
// coordinates, lengths and slips finite and within 1e50 (the faults
// reader's rule), angles and elastic constants finite, L and W positive.
Segment segment_from_fields(const std::array<py::object, 14>& v) {
  std::string missing;
  for (std::size_t k = 0; k < v.size(); ++k) {
    const bool optional = k == 3 || k == 13;  // flag, name
    if (!v[k] && !optional) missing += std::string(missing.empty() ? "" : ", ") + kFileOrder[k];
  }
  if (!missing.empty()) throw py::type_error("Segment() is missing " + missing);
  auto num = [&](std::size_t k) { return number_arg(v[k], kFileOrder[k]); };
  Segment s;
  s.X = sized_param(num(0), "X");
  s.Y = sized_param(num(1), "Y");
  s.strike = finite_param(num(2), "strike");
  s.flag = v[3] ? flag_arg(v[3]) : 0;
  s.depth = sized_param(num(4), "depth");
  s.dip = finite_param(num(5), "dip");
  s.lambda = num(6);
  s.mu = num(7);
  check_elastic(s.lambda, s.mu);
  s.U1 = sized_param(num(8), "U1");
  s.U2 = sized_param(num(9), "U2");
  s.U3 = sized_param(num(10), "U3");
  s.L = positive_param(num(11), "L", "the length along strike, km");
  s.W = positive_param(num(12), "W", "the width up dip, km");
  s.name = v[13] ? name_bytes(v[13]) : std::string();
  s.name = s.name.substr(0, 16);
  s.name.resize(16, ' ');
  return s;
}

std::array<py::object, 14> segment_fields(const Segment& s) {
  return {py::float_(s.X), py::float_(s.Y),  py::float_(s.strike), py::int_(s.flag), py::float_(s.depth),
          py::float_(s.dip), py::float_(s.lambda), py::float_(s.mu), py::float_(s.U1), py::float_(s.U2),
          py::float_(s.U3), py::float_(s.L),  py::float_(s.W),   name_text(s.name)};
}

// The numbers of a segment in the earlier order, which its pickles keep.
constexpr std::array<double Segment::*, 12> kPickled{&Segment::X,  &Segment::Y,  &Segment::strike, &Segment::depth,
                                                     &Segment::dip, &Segment::lambda, &Segment::mu,  &Segment::U1,
                                                     &Segment::U2, &Segment::U3, &Segment::L,      &Segment::W};

}  // namespace

// Name bytes as Python text: bytes that are not UTF-8 (a faults file may
// hold any) survive a round trip through the constructor.
py::str name_text(const std::string& name) {
  const std::string t = name.substr(0, name.find_last_not_of(' ') + 1);
  PyObject* o = PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "surrogateescape");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
}

// Segment(*args, **kwargs).  Keywords name the fields of the faults file.
// Positional values are read in the faults file's order when there are 13 or
// 14 of them with a number 13th (flag 4th), and in the earlier order (flag
// after the name) when there are 12, or 13 or 14 with a text 13th (the
// name); the first three are the same in both orders.  Any other count
// would be ambiguous (is the 4th the flag or the depth?) and is refused.
Segment make_segment(const py::args& args, const py::kwargs& kwargs) {
  const std::size_t n = args.size();
  const std::array<const char*, 14>* order = &kFileOrder;
  if (n > 14) throw py::type_error("Segment() takes at most 14 positional arguments, got " + std::to_string(n));
  if (n >= 4 && n <= 11) {
    throw py::type_error("Segment() with " + std::to_string(n) +
                         " positional arguments is ambiguous (the 4th is the flag in the faults file's order, "
                         "the depth in the earlier one): give X, Y, strike and the rest by keyword, "
                         "Segment(X=, Y=, strike=, flag=0, depth=, dip=, lam=, mu=, U1=, U2=, U3=, L=, W=, name=)");
  }
  if (n == 12 || (n >= 13 && py::isinstance<py::str>(args[12]))) order = &kEarlierOrder;
  std::array<py::object, 14> v;
  for (std::size_t k = 0; k < n; ++k) v[field_index((*order)[k])] = py::reinterpret_borrow<py::object>(args[k]);
  for (const auto& [key, value] : kwargs) {
    const std::string name = py::str(key).cast<std::string>();
    const std::size_t k = field_index(name);
    if (k == kFileOrder.size()) throw py::type_error("Segment() got an unexpected keyword argument '" + name + "'");
    if (v[k]) throw py::type_error("Segment() got multiple values for argument '" + name + "'");
    v[k] = py::reinterpret_borrow<py::object>(value);
  }
  return segment_from_fields(v);
}

Segment replace_segment(const Segment& s, const py::kwargs& changes) {
  std::array<py::object, 14> v = segment_fields(s);
  for (const auto& [key, value] : changes) {
    const std::string name = py::str(key).cast<std::string>();
    const std::size_t k = field_index(name);
    if (k == kFileOrder.size()) throw py::type_error("replace() got an unexpected keyword argument '" + name + "'");
    v[k] = py::reinterpret_borrow<py::object>(value);
  }
  return segment_from_fields(v);
}

std::string segment_repr(const Segment& s) {
  const std::array<py::object, 14> v = segment_fields(s);
  std::string r = "Segment(";
  for (std::size_t k = 0; k < v.size(); ++k) {
    r += std::string(k ? ", " : "") + kFileOrder[k] + "=" + py::repr(v[k]).cast<std::string>();
  }
  return r + ")";
}

bool same_segment(const Segment& a, const Segment& b) {
  for (const auto field : kPickled) {
    if (!(a.*field == b.*field)) return false;
  }
  return a.flag == b.flag && a.name == b.name;
}

py::tuple pickled_segment(const Segment& s) {
  py::tuple t(14);
  for (std::size_t k = 0; k < kPickled.size(); ++k) t[k] = py::float_(s.*kPickled[k]);
  t[12] = py::bytes(s.name);
  t[13] = py::int_(s.flag);
  return t;
}

// A segment restored from a pickle: any segment the faults reader accepts
// (a length of 0, say) comes back as it was.
Segment restored_segment(const py::tuple& t) {
  if (t.size() != 14) bad("a pickled segment holds 14 values");
  Segment s;
  for (std::size_t k = 0; k < kPickled.size(); ++k) {
    s.*kPickled[k] = t[k].cast<double>();
    if (!std::isfinite(s.*kPickled[k])) bad("a pickled segment holds a value that is not finite");
  }
  s.name = t[12].cast<std::string>();
  s.flag = t[13].cast<std::int32_t>();
  check_elastic(s.lambda, s.mu);
  s.name.resize(16, ' ');
  return s;
}

Faults make_faults(const std::vector<Segment>& segments, const std::array<double, 3>& ramp) {
  if (segments.empty()) bad("a fault model needs at least one segment");
  Faults f;
  for (const Segment& s : segments) f.model.add(s);
  f.model.ramp = {finite_param(ramp[0], "ramp a"), finite_param(ramp[1], "ramp b"),
                  finite_param(ramp[2], "ramp c")};
  return f;
}

// Faults(segments, ramp): segments from any iterable (list, tuple,
// generator, numpy array of objects) or one Segment.
Faults faults_from(const py::object& segments, const py::object& ramp) {
  std::vector<Segment> list;
  if (py::isinstance<Segment>(segments)) {
    list.push_back(segments.cast<Segment>());
  } else {
    if (py::isinstance<py::str>(segments) || !py::hasattr(segments, "__iter__")) {
      throw py::type_error("segments must be a sequence of Segment, got " + py::repr(segments).cast<std::string>());
    }
    const py::object items = py::isinstance<py::array>(segments) ? segments.attr("ravel")() : segments;
    for (const py::handle item : items) {
      if (!py::isinstance<Segment>(item)) {
        throw py::type_error("segments[" + std::to_string(list.size()) + "] is not a Segment: " +
                             py::repr(item).cast<std::string>());
      }
      list.push_back(item.cast<Segment>());
    }
  }
  std::array<double, 3> r{};
  const py::list values(ramp);
  if (values.size() != 3) bad("ramp must be (a, b, c), got " + py::repr(ramp).cast<std::string>());
  for (std::size_t k = 0; k < 3; ++k) r[k] = number_arg(values[k], "ramp");
  return make_faults(list, r);
}

}  // namespace vadrel::python
