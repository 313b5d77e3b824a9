// The per-point computations: numpy arrays of points in, arrays of results
// out, computed by the functions the program uses, with the GIL released
// and the points spread over the process's processors.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "core/workers.hpp"
#include "derivatives/partials.hpp"
#include "derivatives/strain.hpp"
#include "model/look.hpp"
#include "model/okada.hpp"
#include "model/okada_batch.hpp"
#include "model/okada_terms.hpp"
#include "model/patch.hpp"
#include "model/range.hpp"
#include "python/src/module.hpp"
#include "readers/utm.hpp"

using vadrel::okada_terms::ON_TRACE_REL;

namespace vadrel::python {

namespace {

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

double central_meridian(int zone) {
  if (zone < 1 || zone > 60) bad("zone must be a UTM zone from 1 to 60, got " + std::to_string(zone));
  double cmer = static_cast<double>(zone * 6 + 180 - 3);
  if (cmer >= 360.0) cmer -= 360.0;
  return cmer;
}

}  // namespace

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

}  // namespace vadrel::python
