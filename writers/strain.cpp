#include "writers/strain.hpp"

#include <vector>

#include "derivatives/strain.hpp"

namespace vadrel {

void form_strain(const FaultModel& model, std::span<const PointIn> points, RecordChunk& out) {
  const std::size_t n = points.size();
  thread_local std::vector<double> xy;
  thread_local std::vector<StrainResult> values;
  xy.resize(2 * n);
  values.resize(n);
  for (std::size_t i = 0; i < n; ++i) {
    xy[i] = points[i].x;
    xy[n + i] = points[i].y;
  }
  compute_strain_batch(model, xy.data(), xy.data() + n, n, values.data());
  out.shifted.assign(n, 0);
  out.text.reserve(n * 113);
  for (std::size_t i = 0; i < n; ++i) {
    const StrainResult& r = values[i];
    out.shifted[i] = r.shifted ? 1 : 0;
    RecordText t(out, 112);
    t.e<13, 3>(points[i].x).e<13, 3>(points[i].y);
    for (const double v : r.g) t.e<13, 3>(v);
    t.done();
  }
}

}  // namespace vadrel
