// The Python face of the vadrel library: numpy arrays in and out, the
// computation done by the same functions the program uses, with the GIL
// released and the points spread over the process's processors.
#include <fcntl.h>
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>
#include <span>
#include <sstream>
#include <string>
#include <vector>

#include "core/line_reader.hpp"
#include "core/stop.hpp"
#include "core/workers.hpp"
#include "derivatives/partials.hpp"
#include "derivatives/strain.hpp"
#include "driver/driver.hpp"
#include "model/fault.hpp"
#include "model/look.hpp"
#include "model/okada.hpp"
#include "model/okada_batch.hpp"
#include "model/okada_terms.hpp"
#include "model/range.hpp"
#include "readers/cardline.hpp"
#include "readers/faults.hpp"
#include "readers/grid2d.hpp"
#include "readers/kov.hpp"
#include "readers/utm.hpp"
#include "run/grids.hpp"

namespace py = pybind11;
using vadrel::okada_terms::ON_TRACE_REL;

namespace vadrel::python {

using Array = py::array_t<double, py::array::c_style | py::array::forcecast>;

// ---------------------------------------------------------------------------
// Console text to Python's sys.stdout.  The program writes its messages from
// the calling thread while the GIL is released; each complete line is handed
// to sys.stdout with the GIL taken back, so the text appears as it is made
// and in order with what Python itself prints.
class PythonStdout : public std::streambuf {
 public:
  ~PythonStdout() override { pass_on(); }

 protected:
  int_type overflow(int_type ch) override {
    if (ch != traits_type::eof()) {
      buffer_.push_back(static_cast<char>(ch));
      if (ch == '\n') pass_on();
    }
    return traits_type::not_eof(ch);
  }
  std::streamsize xsputn(const char* s, std::streamsize n) override {
    buffer_.append(s, static_cast<std::size_t>(n));
    if (std::memchr(s, '\n', static_cast<std::size_t>(n)) != nullptr) pass_on();
    return n;
  }
  int sync() override {
    pass_on();
    return 0;
  }

 private:
  void pass_on() {
    if (buffer_.empty()) return;
    const int saved_errno = errno;  // the program's messages report errno later on
    struct Restore {
      int e;
      ~Restore() { errno = e; }
    } restore{saved_errno};
    py::gil_scoped_acquire gil;
    PyObject* text = PyUnicode_DecodeUTF8(buffer_.data(), static_cast<Py_ssize_t>(buffer_.size()), "replace");
    buffer_.clear();
    if (text == nullptr) {
      PyErr_Clear();
      return;
    }
    PyObject* out = PySys_GetObject("stdout");  // borrowed
    if (out != nullptr && out != Py_None) {
      PyObject* r = PyObject_CallMethod(out, "write", "O", text);
      if (r == nullptr) PyErr_Clear();
      Py_XDECREF(r);
    }
    Py_DECREF(text);
  }

  std::string buffer_;
};

// ---------------------------------------------------------------------------
// Arguments.

[[noreturn]] void bad(const std::string& what) { throw py::value_error(what); }

std::string shape_text(const py::array& a) {
  std::string s = "(";
  for (py::ssize_t k = 0; k < a.ndim(); ++k) {
    if (k > 0) s += ", ";
    s += std::to_string(a.shape(k));
  }
  return s + (a.ndim() == 1 ? ",)" : ")");
}

void require_finite(const double* v, std::size_t n, const char* name) {
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isfinite(v[i])) {
      std::ostringstream msg;
      msg << name << '[' << i << "] is not finite (" << v[i] << "); coordinates must be finite numbers";
      bad(msg.str());
    }
  }
}

double finite_param(double v, const char* name) {
  if (!std::isfinite(v)) bad(std::string(name) + " must be a finite number, got " + std::to_string(v));
  return v;
}

// Two 1-D arrays of the same length holding finite coordinates.
struct Points {
  Array x, y;
  std::size_t n = 0;
  const double* px = nullptr;
  const double* py = nullptr;
};

Points points(const Array& x, const Array& y, const char* xname = "x", const char* yname = "y") {
  if (x.ndim() != 1) bad(std::string(xname) + " must be a 1-D array, got shape " + shape_text(x));
  if (y.ndim() != 1) bad(std::string(yname) + " must be a 1-D array, got shape " + shape_text(y));
  if (x.shape(0) != y.shape(0)) {
    bad(std::string(xname) + " and " + yname + " must have the same length, got " +
        std::to_string(x.shape(0)) + " and " + std::to_string(y.shape(0)));
  }
  Points p{x, y, static_cast<std::size_t>(x.shape(0)), x.data(), y.data()};
  require_finite(p.px, p.n, xname);
  require_finite(p.py, p.n, yname);
  return p;
}

unsigned thread_count(int threads) {
  if (threads < 0) bad("threads must be 0 (all available processors) or a positive number");
  return threads == 0 ? Workers::available() : static_cast<unsigned>(threads);
}

// Runs f(begin, end) over consecutive chunks of [0, n) on up to `threads`
// threads (the caller included).
template <class F>
void over_chunks(std::size_t n, std::size_t chunk, unsigned threads, F f) {
  const std::size_t chunks = (n + chunk - 1) / chunk;
  if (chunks == 0) return;
  const auto t = static_cast<unsigned>(std::min<std::size_t>(threads, chunks));
  if (t <= 1) {
    for (std::size_t c = 0; c < chunks; ++c) f(c * chunk, std::min(n, (c + 1) * chunk));
    return;
  }
  Workers workers(t);
  workers.run(chunks, [&](std::size_t c) { f(c * chunk, std::min(n, (c + 1) * chunk)); });
}

constexpr std::size_t kChunk = 4096;

void warn_shifted(std::size_t count) {
  if (count == 0) return;
  const std::string msg = std::to_string(count) +
                          " point(s) lie on a patch corner or on the surface trace of a patch that "
                          "reaches the surface, where the displacement jumps; their values were "
                          "taken 1 mm away";
  if (PyErr_WarnEx(PyExc_RuntimeWarning, msg.c_str(), 2) != 0) throw py::error_already_set();
}

Array new_array(std::size_t n, std::size_t cols) {
  if (cols == 0) return Array(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n)});
  return Array(std::vector<py::ssize_t>{static_cast<py::ssize_t>(n), static_cast<py::ssize_t>(cols)});
}

// ---------------------------------------------------------------------------
// Fault models.

// Beyond this size (km for lengths, mm for slips) the powers of distances the
// patch solution forms overflow: the faults reader refuses such segments too.
constexpr double kLargest = 1e50;

std::string number_text(double v) { return py::repr(py::float_(v)).cast<std::string>(); }

// A coordinate, length or slip: finite and within kLargest.
double sized_param(double v, const char* name) {
  finite_param(v, name);
  if (!(std::fabs(v) <= kLargest)) {
    bad(std::string(name) + " is beyond 1e50 (" + number_text(v) + "); the model cannot be evaluated with it");
  }
  return v;
}

double positive_param(double v, const char* name, const char* what) {
  sized_param(v, name);
  if (!(v > 0.0)) bad(std::string(name) + " must be positive (" + what + "), got " + number_text(v));
  return v;
}

void check_elastic(double lam, double mu) {
  finite_param(lam, "lam");
  finite_param(mu, "mu");
  if (!std::isfinite(mu / (lam + mu))) bad("lam and mu: mu/(lam+mu) must be a finite number (lam + mu = 0?)");
}

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

// Name bytes as Python text: bytes that are not UTF-8 (a faults file may
// hold any) survive a round trip through the constructor.
py::str name_text(const std::string& name) {
  const std::string t = name.substr(0, name.find_last_not_of(' ') + 1);
  PyObject* o = PyUnicode_DecodeUTF8(t.data(), static_cast<Py_ssize_t>(t.size()), "surrogateescape");
  if (o == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(o);
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

std::array<py::object, 14> segment_fields(const Segment& s) {
  return {py::float_(s.X), py::float_(s.Y),  py::float_(s.strike), py::int_(s.flag), py::float_(s.depth),
          py::float_(s.dip), py::float_(s.lambda), py::float_(s.mu), py::float_(s.U1), py::float_(s.U2),
          py::float_(s.U3), py::float_(s.L),  py::float_(s.W),   name_text(s.name)};
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

// The numbers of a segment in the earlier order, which its pickles keep.
constexpr std::array<double Segment::*, 12> kPickled{&Segment::X,  &Segment::Y,  &Segment::strike, &Segment::depth,
                                                     &Segment::dip, &Segment::lambda, &Segment::mu,  &Segment::U1,
                                                     &Segment::U2, &Segment::U3, &Segment::L,      &Segment::W};

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

struct Faults {
  FaultModel model;
};

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

Faults read_faults_file(const std::string& path) {
  PythonStdout out;
  std::ostream console(&out);
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  struct Closer {
    int fd;
    ~Closer() { ::close(fd); }
  } closer{fd};
  struct stat st {};
  if (::fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
    errno = EISDIR;
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  LineReader in(fd);
  Faults f;
  try {
    py::gil_scoped_release release;
    read_faults(f.model, in, std::string(16, ' '), path, console);
  } catch (const Stop& stop) {
    console.flush();
    if (in.failed()) {  // a failed read, reported on the console as by the program
      PyErr_SetString(PyExc_OSError, (path + ": " + in.failure()).c_str());
      throw py::error_already_set();
    }
    bad(stop.stop_text + " (" + path + ")");  // no segment in the file
  }
  console.flush();
  return f;
}

// ---------------------------------------------------------------------------
// Computations.

py::array patch_displacement(const Array& x, const Array& y, double L, double W, double depth, double dip,
                             double lam, double mu, double U1, double U2, double U3, int threads) {
  const Points p = points(x, y);
  positive_param(L, "L", "the length along strike, km");
  positive_param(W, "W", "the width up dip, km");
  sized_param(depth, "depth");
  finite_param(dip, "dip");
  check_elastic(lam, mu);
  sized_param(U1, "U1");
  sized_param(U2, "U2");
  sized_param(U3, "U3");
  // A patch with a part above the surface is no physical source: under its
  // corners the field is unbounded.  One lying in the surface (horizontal at
  // depth 0) has no trace to speak of.  Both are refused, so that NaN marks
  // exactly the surface trace of a patch that reaches the surface.
  const Patch patch = make_patch(L, W, depth, dip, lam, mu, U1, U2, U3);
  const double rounding = ON_TRACE_REL * (L + W + std::fabs(depth));
  const double rise = W * patch.sin_dip;
  const double shallowest = std::min(depth, depth - rise);
  if (shallowest < -rounding) {
    bad("depth " + number_text(depth) + " puts part of the patch above the surface (its shallowest point at " +
        number_text(-shallowest) + " km above it, with W " + number_text(W) + " and dip " + number_text(dip) + ")");
  }
  if (std::fabs(rise) <= rounding && depth <= rounding) {
    bad("dip " + number_text(dip) + " and depth " + number_text(depth) +
        " lay the patch in the surface, where its displacement is not defined");
  }
  const unsigned t = thread_count(threads);
  Array out = new_array(p.n, 9);
  double* o = out.mutable_data();
  {
    py::gil_scoped_release release;
    over_chunks(p.n, kChunk, t, [&](std::size_t begin, std::size_t end) {
      constexpr std::size_t block = 256;
      std::vector<double> scratch(9 * block);
      double* u[9];
      for (std::size_t k = 0; k < 9; ++k) u[k] = scratch.data() + k * block;
      for (std::size_t first = begin; first < end; first += block) {
        const std::size_t m = std::min(block, end - first);
        okada_patch_batch(patch, p.px + first, p.py + first, m, u);
        for (std::size_t i = 0; i < m; ++i) {
          for (std::size_t k = 0; k < 9; ++k) o[(first + i) * 9 + k] = u[k][i];
        }
      }
    });
  }
  return out;
}

// East, north, up (mm) summed over the segments, as the program's range-type
// records have it, handed chunk by chunk to store(begin, chunk) on the
// computing thread (point begin + k's sums at chunk.E[k], ...), so that the
// results go straight into the output array.  Each thread keeps its points
// and sums between chunks.  Returns the number of points whose value was
// taken 1 mm away.
// The sums of a chunk of points.
struct Sums {
  std::vector<double> E, N, Z;
  std::vector<std::uint8_t> shifted;
  void resize(std::size_t n) {
    E.resize(n);
    N.resize(n);
    Z.resize(n);
    shifted.resize(n);
  }
};

template <class Store>
std::size_t enu(const FaultModel& model, const Points& p, unsigned t, Store store) {
  std::vector<std::size_t> shifted((p.n + kChunk - 1) / kChunk, 0);
  over_chunks(p.n, kChunk, t, [&](std::size_t begin, std::size_t end) {
    thread_local Sums chunk;
    const std::size_t n = end - begin;
    chunk.resize(n);
    sum_displacements(model, p.px + begin, p.py + begin, n, chunk.E.data(), chunk.N.data(), chunk.Z.data(),
                      chunk.shifted.data());
    store(begin, chunk);
    std::size_t count = 0;
    for (std::size_t k = 0; k < end - begin; ++k) count += chunk.shifted[k];
    shifted[begin / kChunk] = count;
  });
  std::size_t total = 0;
  for (const std::size_t c : shifted) total += c;
  return total;
}

py::array displacement(const Faults& f, const Array& x, const Array& y, int threads) {
  const Points p = points(x, y);
  const unsigned t = thread_count(threads);
  Array out = new_array(p.n, 3);
  double* o = out.mutable_data();
  std::size_t shifted = 0;
  {
    py::gil_scoped_release release;
    shifted = enu(f.model, p, t, [o](std::size_t begin, const Sums& c) {
      double* row = o + 3 * begin;
      for (std::size_t k = 0; k < c.E.size(); ++k) {
        row[3 * k] = c.E[k];
        row[3 * k + 1] = c.N[k];
        row[3 * k + 2] = c.Z[k];
      }
    });
  }
  warn_shifted(shifted);
  return out;
}

// The look vectors of n points: one (3,) vector for all, or an (n, 3) array.
struct Looks {
  Array a;
  bool each = false;
  Vec3 at(std::size_t i) const {
    const double* d = a.data() + (each ? 3 * i : 0);
    return {d[0], d[1], d[2]};
  }
};

Looks looks(const Array& look, std::size_t n) {
  Looks l{look, false};
  if (look.ndim() == 1 && look.shape(0) == 3) {
    l.each = false;
  } else if (look.ndim() == 2 && look.shape(1) == 3 && static_cast<std::size_t>(look.shape(0)) == n) {
    l.each = true;
  } else {
    bad("look must be (east, north, up) or an array of shape (" + std::to_string(n) +
        ", 3) with one vector per point, got shape " + shape_text(look));
  }
  const double* d = look.data();
  for (py::ssize_t i = 0; i < look.size(); ++i) {
    if (!std::isfinite(d[i])) bad("look holds a value that is not finite");
  }
  return l;
}

py::array range_change(const Faults& f, const Array& x, const Array& y, const Array& look, int threads) {
  const Points p = points(x, y);
  const Looks lk = looks(look, p.n);
  const unsigned t = thread_count(threads);
  Array out = new_array(p.n, 0);
  double* o = out.mutable_data();
  std::size_t shifted = 0;
  {
    py::gil_scoped_release release;
    shifted = enu(f.model, p, t, [&](std::size_t begin, const Sums& c) {
      LookGeometry g;
      g.vcard_set = true;
      for (std::size_t k = 0; k < c.E.size(); ++k) {
        const std::size_t i = begin + k;
        g.plook = lk.at(i);
        o[i] = calc_range(g, f.model.ramp, p.px[i], p.py[i], {c.E[k], c.N[k], c.Z[k]});
      }
    });
  }
  warn_shifted(shifted);
  return out;
}

py::array strain(const Faults& f, const Array& x, const Array& y, int threads) {
  const Points p = points(x, y);
  const unsigned t = thread_count(threads);
  Array out = new_array(p.n, 6);
  double* o = out.mutable_data();
  std::vector<std::uint8_t> shifted(p.n, 0);
  {
    py::gil_scoped_release release;
    over_chunks(p.n, 512, t, [&](std::size_t begin, std::size_t end) {
      std::vector<StrainResult> r(end - begin);
      compute_strain_batch(f.model, p.px + begin, p.py + begin, end - begin, r.data());
      for (std::size_t i = begin; i < end; ++i) {
        std::copy(r[i - begin].g.begin(), r[i - begin].g.end(), o + 6 * i);
        shifted[i] = r[i - begin].shifted ? 1 : 0;
      }
    });
  }
  warn_shifted(static_cast<std::size_t>(std::count(shifted.begin(), shifted.end(), 1)));
  return out;
}

py::array partials(const Faults& f, const Array& x, const Array& y, const Array& look,
                   const std::string& method, int threads) {
  const bool forward = method == "forward";
  if (!forward && method != "analytic") {
    bad("method must be \"analytic\" (closed form) or \"forward\" (forward differences of step 1), got \"" +
        method + "\"");
  }
  const Points p = points(x, y);
  const Looks lk = looks(look, p.n);
  const unsigned t = thread_count(threads);
  Array out = new_array(p.n, 10);
  double* o = out.mutable_data();
  std::vector<std::uint8_t> shifted(p.n, 0);
  {
    py::gil_scoped_release release;
    const Segment& seg = f.model.segments.front();
    over_chunks(p.n, forward ? 256 : 128, t, [&](std::size_t begin, std::size_t end) {
      std::vector<PartialsResult> exact;
      if (!forward) {
        std::vector<Vec3> plook(end - begin);
        for (std::size_t i = begin; i < end; ++i) plook[i - begin] = lk.at(i);
        exact.resize(end - begin);
        compute_partials_exact_batch(seg, p.px + begin, p.py + begin, plook.data(), end - begin, exact.data());
      }
      LookGeometry g;
      g.vcard_set = true;
      for (std::size_t i = begin; i < end; ++i) {
        g.plook = lk.at(i);
        const PartialsResult r =
            forward ? compute_partials_numeric(seg, g, f.model.ramp, p.px[i], p.py[i]) : exact[i - begin];
        const auto& D = r.D;
        // The record's column order.
        const double row[10] = {D[3], D[4], D[9], D[7], D[8], D[0], D[1], D[2], D[5], D[6]};
        std::copy(row, row + 10, o + 10 * i);
        shifted[i] = r.shifted ? 1 : 0;
      }
    });
  }
  warn_shifted(static_cast<std::size_t>(std::count(shifted.begin(), shifted.end(), 1)));
  return out;
}

double central_meridian(int zone) {
  if (zone < 1 || zone > 60) bad("zone must be a UTM zone from 1 to 60, got " + std::to_string(zone));
  double cmer = static_cast<double>(zone * 6 + 180 - 3);
  if (cmer >= 360.0) cmer -= 360.0;
  return cmer;
}

py::object utm_xy(const Array& lon, const Array& lat, int zone) {
  const double cmer = central_meridian(zone);
  if (lon.ndim() != lat.ndim() || !std::equal(lon.shape(), lon.shape() + lon.ndim(), lat.shape())) {
    bad("lon and lat must have the same shape, got " + shape_text(lon) + " and " + shape_text(lat));
  }
  const auto n = static_cast<std::size_t>(lon.size());
  require_finite(lon.data(), n, "lon");
  require_finite(lat.data(), n, "lat");
  for (std::size_t i = 0; i < n; ++i) {
    if (std::fabs(lat.data()[i]) > 90.0) bad("lat[" + std::to_string(i) + "] is outside -90..90 degrees");
  }
  std::vector<py::ssize_t> shape(lon.shape(), lon.shape() + lon.ndim());
  Array e(shape), nn(shape);
  double* pe = e.mutable_data();
  double* pn = nn.mutable_data();
  const double* plon = lon.data();
  const double* plat = lat.data();
  {
    py::gil_scoped_release release;
    for (std::size_t i = 0; i < n; ++i) utm(plat[i], plon[i], pe[i], pn[i], cmer);
  }
  if (lon.ndim() == 0) return py::make_tuple(pe[0], pn[0]);
  return py::make_tuple(e, nn);
}

py::tuple read_grid(const std::string& path) {
  std::ifstream in(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  int mmax = 0, nmax = 0;
  if (reakovhdr(in, mmax, nmax) != 0) bad("not a grid file (no \"Coordinate System\" header or bad dimensions): " + path);
  const std::string problem = kov_dimension_problem(mmax, nmax);
  if (!problem.empty()) bad("grid file " + path + ": " + problem);
  Grid2D x(mmax + 1, nmax + 1), y(mmax + 1, nmax + 1);
  std::ostringstream console;
  try {
    reakov(in, x, y, mmax + 1, nmax + 1, console);
  } catch (const Stop& stop) {
    std::string text = console.str();
    while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
    bad("grid file " + path + ": " + (text.empty() ? stop.stop_text : text));
  }
  Array ax(std::vector<py::ssize_t>{nmax, mmax}), ay(std::vector<py::ssize_t>{nmax, mmax});
  double* px = ax.mutable_data();
  double* py_ = ay.mutable_data();
  for (int j = 1; j <= nmax; ++j) {
    for (int i = 1; i <= mmax; ++i) {
      px[(j - 1) * mmax + (i - 1)] = x(i, j);
      py_[(j - 1) * mmax + (i - 1)] = y(i, j);
    }
  }
  return py::make_tuple(ax, ay);
}

// A depth/mask file of `rows` rows of `cols` values, read as the grid cards
// read it (free format, each row starting on a new line).
Array read_depth(const std::string& path, int rows, int cols) {
  if (rows < 1 || cols < 1) bad("the shape of a depth/mask file must be positive, got " + std::to_string(rows) +
                                " x " + std::to_string(cols));
  struct stat st {};
  std::ifstream in;
  if (::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) errno = EISDIR;
  else in.open(path, std::ios::in | std::ios::binary);
  if (!in.is_open()) {
    PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
    throw py::error_already_set();
  }
  skip_byte_order_mark(in);
  Array out(std::vector<py::ssize_t>{rows, cols});
  for (int j = 0; j < rows; ++j) {
    std::span<double> row(out.mutable_data() + static_cast<std::size_t>(j) * static_cast<std::size_t>(cols),
                          static_cast<std::size_t>(cols));
    std::fill(row.begin(), row.end(), 0.0);
    const int status = read_free_row(in, 0, row);
    if (status == KOV_STATUS_IO_ERROR) {
      PyErr_SetFromErrnoWithFilename(PyExc_OSError, path.c_str());
      throw py::error_already_set();
    }
    if (status != STATUS_OK) {
      bad("depth/mask file " + path + (status == KOV_STATUS_END ? " ends early: row " : ": row ") +
          std::to_string(j + 1) + " of " + std::to_string(rows) + (status == KOV_STATUS_END ? "" : " is unreadable") +
          " (" + std::to_string(cols) + " values expected in each row)");
    }
  }
  return out;
}

// The cell points of a curvilinear grid, by the grid cards' own rule:
// (nmax+1, mmax+1) arrays in the grid's units, cell (i, j) at [j-1, i-1],
// and whether the cell has a point.
py::tuple cell_points(const Array& xn, const Array& yn) {
  if (xn.ndim() != 2 || yn.ndim() != 2 || xn.shape(0) != yn.shape(0) || xn.shape(1) != yn.shape(1))
    bad("xn and yn must be 2-D arrays of one shape");
  const auto nmax = static_cast<int>(xn.shape(0));
  const auto mmax = static_cast<int>(xn.shape(1));
  Grid2D x(mmax + 1, nmax + 1), y(mmax + 1, nmax + 1);
  for (int j = 1; j <= nmax; ++j) {
    for (int i = 1; i <= mmax; ++i) {
      x(i, j) = xn.data()[(j - 1) * mmax + (i - 1)];
      y(i, j) = yn.data()[(j - 1) * mmax + (i - 1)];
    }
  }
  const std::vector<py::ssize_t> shape{nmax + 1, mmax + 1};
  Array ax(shape), ay(shape);
  py::array_t<bool> valid(shape);
  std::fill(ax.mutable_data(), ax.mutable_data() + ax.size(), 0.0);
  std::fill(ay.mutable_data(), ay.mutable_data() + ay.size(), 0.0);
  std::fill(valid.mutable_data(), valid.mutable_data() + valid.size(), false);
  for (int j = 2; j <= nmax; ++j) {
    for (int i = 2; i <= mmax; ++i) {
      double xc = 0.0, yc = 0.0;
      if (!cell_point(x, y, i, j, xc, yc)) continue;
      const auto k = static_cast<std::size_t>((j - 1) * (mmax + 1) + (i - 1));
      ax.mutable_data()[k] = xc;
      ay.mutable_data()[k] = yc;
      valid.mutable_data()[k] = true;
    }
  }
  return py::make_tuple(ax, ay, valid);
}

// The depth/mask taper of each depth, as the grid cards apply it.
Array depth_factors(const Array& depth) {
  std::vector<py::ssize_t> shape(depth.shape(), depth.shape() + depth.ndim());
  Array f(shape);
  for (py::ssize_t k = 0; k < depth.size(); ++k) f.mutable_data()[k] = depth_factor(depth.data()[k]);
  return f;
}

int run(const std::vector<std::string>& args) {
  PythonStdout out;
  std::ostream console(&out);
  std::vector<std::string> argv_text{"vadrel"};
  argv_text.insert(argv_text.end(), args.begin(), args.end());
  std::vector<char*> argv;
  for (std::string& a : argv_text) argv.push_back(a.data());
  argv.push_back(nullptr);
  int status = 0;
  {
    py::gil_scoped_release release;
    status = run_program(static_cast<int>(argv_text.size()), argv.data(), console);
    console.flush();
  }
  return status;
}

}  // namespace vadrel::python

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
