#include "writers/range.hpp"

#include <cmath>
#include <vector>

#include "model/range.hpp"

namespace vadrel {

void form_range(const FaultModel& model, const LookGeometry& look, const Ramp& ramp, RecordKind kind,
                std::span<const PointIn> points, RecordChunk& out) {
  const std::size_t n = points.size();
  thread_local std::vector<double> xy;
  xy.resize(2 * n);
  for (std::size_t i = 0; i < n; ++i) {
    xy[i] = points[i].x;
    xy[n + i] = points[i].y;
  }
  out.shifted.resize(n);
  out.E.resize(n);
  out.N.resize(n);
  out.Z.resize(n);
  sum_displacements(model, xy.data(), xy.data() + n, n, out.E.data(), out.N.data(), out.Z.data(),
                    out.shifted.data());
  LookGeometry lk = look;  // calc_range keeps a derived look vector here
  const std::size_t width = kind == RecordKind::Vector ? 77 : kind == RecordKind::Residual ? 55 : 33;
  out.text.reserve(n * (width + 1));
  for (std::size_t i = 0; i < n; ++i) {
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
