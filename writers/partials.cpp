#include "writers/partials.hpp"

#include <vector>

#include "derivatives/partials.hpp"

namespace vadrel {

namespace {

// The twelve-column record of each point, from its partials r(i).
template <class Partials>
void partials_records(std::span<const PointIn> points, RecordChunk& out, Partials r) {
  out.text.reserve(points.size() * 253);
  for (std::size_t i = 0; i < points.size(); ++i) {
    const PointIn& p = points[i];
    const PartialsResult& v = r(i);
    out.shifted[i] = v.shifted ? 1 : 0;
    const auto& D = v.D;
    RecordText t(out, 252);
    for (const double x : {p.x, p.y, D[3], D[4], D[9], D[7], D[8], D[0], D[1], D[2], D[5], D[6]}) {
      t.e<20, 10>(x);
    }
    t.done();
  }
}

}  // namespace

void form_all_part(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                   std::span<const PointIn> points, RecordChunk& out) {
  LookGeometry lk = look;  // calc_range keeps a derived look vector here
  PartialsResult r;
  partials_records(points, out, [&](std::size_t i) -> const PartialsResult& {
    r = compute_partials_numeric(model.segments.front(), lk, ramp, points[i].x, points[i].y);
    return r;
  });
}

void form_all_part2(const FaultModel& model, const LookGeometry& look, std::span<const PointIn> points,
                    RecordChunk& out) {
  const std::size_t n = points.size();
  thread_local std::vector<double> xy;
  thread_local std::vector<Vec3> plook;
  thread_local std::vector<PartialsResult> values;
  xy.resize(2 * n);
  plook.resize(n);
  values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    xy[i] = points[i].x;
    xy[n + i] = points[i].y;
    // A look vector derived per point while no V card gave one.
    plook[i] = look.vcard_set ? look.plook : derived_plook(look, points[i].x, points[i].y);
  }
  compute_partials_exact_batch(model.segments.front(), xy.data(), xy.data() + n, plook.data(), n,
                               values.data());
  out.shifted.assign(n, 0);
  partials_records(points, out, [&](std::size_t i) -> const PartialsResult& { return values[i]; });
}

}  // namespace vadrel
