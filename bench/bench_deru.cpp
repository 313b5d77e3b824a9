// Cost of the displacement derivatives at one surface point: each corner-sum
// routine on its own, the per-point users (strain of one segment, the closed-
// form range partials of segment 1), the batch forms (ns per point, scalar
// loop and four-lane kernel), the strain and analytic records of a chunk of
// points (computation and formatting) and, for comparison, one displacement
// evaluation.  Geometries: a buried dipping thrust, a vertical patch, a
// near-vertical one (small cosine), a patch that reaches the surface and a
// steep buried one.
#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "derivatives/deru.hpp"
#include "derivatives/jacobian_batch.hpp"
#include "derivatives/partials.hpp"
#include "derivatives/strain.hpp"
#include "model/okada.hpp"
#include "writers/partials.hpp"
#include "writers/strain.hpp"

namespace {

using namespace vadrel;

struct Geometry {
  const char* name;
  double L, W, depth, dip_deg;
};

const Geometry kGeometries[] = {
    {"dip30_buried", 40.0, 20.0, 15.0, 30.0},
    {"dip90_buried", 30.0, 12.0, 14.0, 90.0},
    {"dip89.99_buried", 30.0, 12.0, 14.0, 89.99},
    {"dip60_outcrop", 25.0, 10.0, 8.660254037844386, 60.0},
    {"dip75_buried", 35.0, 15.0, 18.0, 75.0},
};
constexpr int kLastGeometry = 4;

// 32 x 32 surface points from -50 to 50 km, off every singular line.
std::vector<std::pair<double, double>> grid_points() {
  std::vector<std::pair<double, double>> pts;
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 32; ++j)
      pts.emplace_back(-50.0 + 100.0 * (i + 0.37) / 32.0,
                       -50.0 + 100.0 * (j + 0.61) / 32.0);
  return pts;
}

template <class F>
void run(benchmark::State& state, F f) {
  const Geometry& g = kGeometries[state.range(0)];
  const double delta = PI * g.dip_deg / 180.0;
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(f(p.first, p.second, g, delta));
  }
  state.SetLabel(g.name);
}

// One segment in map coordinates: strike 30 degrees, origin off the grid
// centre, so the point transformation is not trivial.
Segment segment_of(const Geometry& g) {
  Segment s;
  s.X = -7.0;
  s.Y = 3.0;
  s.strike = 30.0;
  s.depth = g.depth;
  s.dip = g.dip_deg;
  s.lambda = 3e10;
  s.mu = 3e10;
  s.U1 = 1000.0;
  s.U2 = 500.0;
  s.U3 = 100.0;
  s.L = g.L;
  s.W = g.W;
  return s;
}

void BM_OkadaPatch(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return okada_patch(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_ComputeStrain(benchmark::State& state) {
  const Geometry& g = kGeometries[state.range(0)];
  FaultModel model;
  model.add(segment_of(g));
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(compute_strain(model, p.first, p.second));
  }
  state.SetLabel(g.name);
}

void BM_ComputePartialsExact(benchmark::State& state) {
  const Geometry& g = kGeometries[state.range(0)];
  const Segment seg = segment_of(g);
  LookGeometry look;
  look.vcard_set = true;
  look.plook = {-0.6, -0.1, 0.7937};
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(compute_partials_exact(seg, look, p.first, p.second));
  }
  state.SetLabel(g.name);
}

void BM_DeruX(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_x(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_DeruL(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_l(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_DeruW(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_w(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_DeruD(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_d(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_DeruDelta(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_delta(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

void BM_DeruU(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_u(make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0), x, y);
  });
}

// The batch forms over the 1024 grid points, per point.
struct BatchData {
  std::vector<double> x, y, store;
  double* dx[9];
  double* dy[9];
  JacobianArrays J;
  explicit BatchData(std::size_t n) : store(72 * (n + 8)) {
    for (const auto& p : grid_points()) {
      x.push_back(p.first);
      y.push_back(p.second);
    }
    std::size_t k = 0;
    for (double** f : {J.u, J.unit, J.dx, J.dy, J.dL, J.dW, J.ddepth, J.ddip})
      for (std::size_t c = 0; c < 9; ++c) f[c] = store.data() + (n + 8) * k++;
    for (std::size_t c = 0; c < 9; ++c) {
      dx[c] = J.dx[c];
      dy[c] = J.dy[c];
    }
  }
};

template <class F>
void run_batch(benchmark::State& state, F f) {
  const Geometry& g = kGeometries[state.range(0)];
  BatchData d(1024);
  const Patch patch = make_patch(g.L, g.W, g.depth, g.dip_deg, 3e10, 3e10, 1000.0, 500.0, 100.0);
  for (auto _ : state) {
    f(d, patch);
    benchmark::ClobberMemory();
  }
  state.counters["per_point"] =
      benchmark::Counter(1024.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(g.name);
}

void BM_StrainBatchScalar(benchmark::State& state) {
  run_batch(state, [](BatchData& d, const Patch& p) {
    patch_strain_batch_scalar(p, d.x.data(), d.y.data(), 1024, d.dx, d.dy);
  });
}

void BM_StrainBatch(benchmark::State& state) {
  run_batch(state, [](BatchData& d, const Patch& p) {
    patch_strain_batch(p, d.x.data(), d.y.data(), 1024, d.dx, d.dy);
  });
}

void BM_JacobianBatchScalar(benchmark::State& state) {
  run_batch(state, [](BatchData& d, const Patch& p) {
    patch_jacobian_batch_scalar(p, d.x.data(), d.y.data(), 1024, d.J);
  });
}

void BM_JacobianBatch(benchmark::State& state) {
  run_batch(state, [](BatchData& d, const Patch& p) {
    patch_jacobian_batch(p, d.x.data(), d.y.data(), 1024, d.J);
  });
}

// The strain and analytic records of a chunk of 512 points (computation and
// formatting, no output), per point.
template <class Form>
void run_records(benchmark::State& state, Form form) {
  const Geometry& g = kGeometries[state.range(0)];
  FaultModel model;
  model.add(segment_of(g));
  std::vector<PointIn> pts;
  for (const auto& p : grid_points()) {
    if (pts.size() == 512) break;
    PointIn q;
    q.x = p.first;
    q.y = p.second;
    pts.push_back(q);
  }
  RecordChunk out;
  for (auto _ : state) {
    out.reset(pts.size());
    form(model, pts, out);
    benchmark::DoNotOptimize(out.text.data());
  }
  state.counters["per_point"] =
      benchmark::Counter(512.0 * static_cast<double>(state.iterations()),
                         benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.SetLabel(g.name);
}

void BM_FormStrain(benchmark::State& state) {
  run_records(state, [](const FaultModel& m, const std::vector<PointIn>& p, RecordChunk& out) {
    form_strain(m, p, out);
  });
}

void BM_FormAnalytic(benchmark::State& state) {
  LookGeometry look;
  look.vcard_set = true;
  look.plook = {-0.6, -0.1, 0.7937};
  run_records(state, [&](const FaultModel& m, const std::vector<PointIn>& p, RecordChunk& out) {
    form_all_part2(m, look, p, out);
  });
}

BENCHMARK(BM_OkadaPatch)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_FormStrain)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_FormAnalytic)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_StrainBatchScalar)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_StrainBatch)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_JacobianBatchScalar)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_JacobianBatch)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_ComputeStrain)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_ComputePartialsExact)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruX)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruL)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruW)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruD)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruDelta)->DenseRange(0, kLastGeometry);
BENCHMARK(BM_DeruU)->DenseRange(0, kLastGeometry);

}  // namespace

BENCHMARK_MAIN();
