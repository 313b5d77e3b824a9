#include "writers/range.hpp"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <ostream>
#include <string>

#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "core/syserr.hpp"
#include "model/okada_batch.hpp"

namespace vadrel {

SegmentFrame segment_frame(const Segment& s) {
  SegmentFrame f;
  f.A = std::sin((90.0 - s.strike) * PI / 180.0);
  f.B = std::cos((90.0 - s.strike) * PI / 180.0);
  f.sn = std::sin((s.strike - 90.0) * PI / 180.0);
  f.cs = std::cos((s.strike - 90.0) * PI / 180.0);
  f.patch = make_patch(s.L, s.W, s.depth, s.dip, s.lambda, s.mu, s.U1, s.U2, s.U3);
  return f;
}

PatchPoint to_patch_frame(const Segment& s, const SegmentFrame& f, double x, double y) {
  const double dx = x - s.X;
  const double dy = y - s.Y;
  return {dx * f.B + dy * f.A, dy * f.B - dx * f.A};
}

Vec9 finite_patch(const SegmentFrame& f, double xs, double ys, bool& shifted) {
  return at_finite_point(
      [&](double px, double py) {
        return okada_patch(f.patch, px, py);
      },
      xs, ys, shifted);
}

Vec3 segment_enu(const Segment& s, const SegmentFrame& f, double x, double y, bool& shifted) {
  const PatchPoint p = to_patch_frame(s, f, x, y);
  const Vec9 u = finite_patch(f, p.xs, p.ys, shifted);
  const double cs = f.cs;
  const double sn = f.sn;
  return {(cs * u[0] + sn * u[1]) + (cs * u[3] + sn * u[4]) + (cs * u[6] + sn * u[7]),
          (cs * u[1] - sn * u[0]) + (cs * u[4] - sn * u[3]) + (cs * u[7] - sn * u[6]),
          u[2] + u[5] + u[8]};
}

Vec3 derived_plook(const LookGeometry& look, double x, double y) {
  // pi/180 rounded to single precision, as the incidence model was fitted.
  constexpr double DEG = 0.01745329238474369;
  const double c = (look.x1 - x) * (look.y2 - y) - (look.y1 - y) * (look.x2 - x);
  const double len = std::sqrt((look.x2 - look.x1) * (look.x2 - look.x1) +
                               (look.y2 - look.y1) * (look.y2 - look.y1));
  const double dist = len != 0.0 ? std::fabs(c) / len : 0.0;
  // Tangent of the incidence angle: 17 degrees on the near-range edge,
  // interpolated linearly in the tangent towards 27 degrees.
  const double t17 = std::tan(17.0 * DEG);
  const double t = t17 + (std::tan(27.0 * DEG) - t17) * dist / 100000.0;
  Vec3 p{0.0, 0.0, 1.0 / t};
  if (len != 0.0) {
    const double lenf = static_cast<double>(static_cast<float>(len));
    const double ex = (look.x2 - look.x1) / lenf;
    const double ey = (look.y2 - look.y1) / lenf;
    p[0] = -ey;
    p[1] = ex;
  }
  const double m = std::sqrt(p[0] * p[0] + p[1] * p[1] + p[2] * p[2]);
  if (m == 0.0 || !std::isfinite(m)) return {0.0, 0.0, 0.0};
  return {p[0] / m, p[1] / m, p[2] / m};
}

double calc_range(LookGeometry& look, const Ramp& ramp, double x, double y, const Vec3& u) {
  if (!look.vcard_set) look.plook = derived_plook(look, x, y);
  double range = 0.0;
  range += look.plook[0] * u[0];
  range += look.plook[1] * u[1];
  range += look.plook[2] * u[2];
  return ramp.a * x + range + ramp.b * y + ramp.c;
}

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

void warn_nonfinite(RunContext& ctx, double x, double y) {
  ++ctx.counters.moved;
  bool on_trace = false;
  const FaultModel& m = ctx.faults;
  for (std::size_t k = 0; k < m.segments.size() && !on_trace; ++k) {
    const Segment& s = m.segments[k];
    const PatchPoint p = to_patch_frame(s, m.frames[k], x, y);
    on_trace = on_surface_trace(m.frames[k].patch, p.xs, p.ys);
  }
  bool& warned = on_trace ? ctx.nonfinite_warned : ctx.overflow_warned;
  if (warned) return;
  warned = true;
  if (on_trace) {
    ctx.console << " WARNING: point " << fmt_free(x) << ' ' << fmt_free(y)
                << " lies on a patch corner or surface trace where the displacement jumps;"
                   " values there are taken 1 mm away (reported once)\n";
  } else {
    ctx.console << " WARNING: point " << fmt_free(x) << ' ' << fmt_free(y)
                << " has no finite value in the model (numbers too large for it);"
                   " values there are taken 1 mm away, or 0 where none is finite (reported once)\n";
  }
}

void write_record(RunContext& ctx, std::string_view text, const char* routine) {
  if (ctx.print.write(text)) return;
  const int err = errno;
  ctx.console << ' ' << routine << ": Write problem, ios = " << err << '\n';
  errno = err;
  ferror(err, ctx.console);
  throw Stop(std::string(routine) + ": Write problem");
}

namespace {

// Largest number of points the batch kernel is handed at once: the points
// and their sums stay in the fast caches while every segment passes.
constexpr std::size_t kKernelBlock = 256;

}  // namespace

void sum_displacements(const FaultModel& model, std::span<const PointIn> pts, RecordChunk& out) {
  const std::size_t n = pts.size();
  out.shifted.assign(n, 0);
  out.E.assign(n, 0.0);
  out.N.assign(n, 0.0);
  out.Z.assign(n, 0.0);
  // The kernel's work space belongs to the thread, not to the chunk: it is
  // needed only here.
  thread_local std::vector<double> scratch;
  thread_local std::vector<std::size_t> missing;
  scratch.resize(2 * kKernelBlock);
  missing.resize(kKernelBlock);
  double* xs = scratch.data();
  double* ys = xs + kKernelBlock;

  for (std::size_t first = 0; first < n; first += kKernelBlock) {
    const std::size_t m = std::min(kKernelBlock, n - first);
    for (std::size_t i = 0; i < m; ++i) {
      xs[i] = pts[first + i].x;
      ys[i] = pts[first + i].y;
    }
    double* E = out.E.data() + first;
    double* N = out.N.data() + first;
    double* Z = out.Z.data() + first;
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
        if (moved) out.shifted[first + i] = 1;
        E[i] += d[0];
        N[i] += d[1];
        Z[i] += d[2];
      }
    }
  }
}

void form_range(const FaultModel& model, const LookGeometry& look, const Ramp& ramp, RecordKind kind,
                std::span<const PointIn> points, RecordChunk& out) {
  sum_displacements(model, points, out);
  LookGeometry lk = look;  // calc_range keeps a derived look vector here
  const std::size_t width = kind == RecordKind::Vector ? 77 : kind == RecordKind::Residual ? 55 : 33;
  out.text.reserve(points.size() * (width + 1));
  for (std::size_t i = 0; i < points.size(); ++i) {
    const PointIn& p = points[i];
    const double E = out.E[i], N = out.N[i], Z = out.Z[i];
    const double r = calc_range(lk, ramp, p.x, p.y, {E, N, Z});
    out.drcalc[i] = r;
    RecordText t(out, width);
    t.f<10, 4>(p.x).f<10, 4>(p.y);
    if (kind == RecordKind::Residual) {
      t.f<10, 1>(p.drobs).f<10, 1>(r).f<10, 1>(p.drobs - r);
    } else if (kind == RecordKind::Vector) {
      const double norm = std::sqrt(E * E + N * N + Z * Z);
      t.f<10, 1>(E).f<10, 1>(N).f<10, 1>(Z).f<10, 1>(norm).f<10, 1>(r);
    } else {
      t.f<10, 1>(r);
    }
    t.done();
  }
}

}  // namespace vadrel
