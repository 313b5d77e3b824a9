// Cost of one rectangular-patch evaluation (all three dislocation types at
// once), for both call forms, at a few representative geometries; and the
// cost per point of the batch forms against the scalar one over the same
// points.
#include <benchmark/benchmark.h>

#include <cmath>
#include <vector>

#include "model/okada.hpp"
#include "model/okada_batch.hpp"

namespace {

using vadrel::make_patch;
using vadrel::okada_patch;
using vadrel::Patch;

struct Geometry {
  const char* name;
  double L, W, depth, dip;
};

// A buried dipping thrust, a vertical strike-slip segment, a near-vertical
// patch (general-dip terms with a small cosine), a steep patch and a patch
// that reaches the surface.
const Geometry kGeometries[] = {
    {"dip30_buried", 40.0, 20.0, 15.0, 30.0},
    {"dip90_buried", 30.0, 12.0, 14.0, 90.0},
    {"dip89.99_buried", 30.0, 12.0, 14.0, 89.99},
    {"dip60_outcrop", 25.0, 10.0, 8.660254037844386, 60.0},
    {"dip75_buried", 35.0, 15.0, 18.0, 75.0},
};

// A 32 x 32 grid of surface points from -50 to 50 km, so every corner
// configuration (in front of, beside, above the patch) is sampled.
std::vector<std::pair<double, double>> grid_points() {
  std::vector<std::pair<double, double>> pts;
  for (int i = 0; i < 32; ++i)
    for (int j = 0; j < 32; ++j)
      pts.emplace_back(-50.0 + 100.0 * (i + 0.37) / 32.0, -50.0 + 100.0 * (j + 0.61) / 32.0);
  return pts;
}

void BM_OkadaPatchFull(benchmark::State& state) {
  const Geometry& g = kGeometries[state.range(0)];
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(
        okada_patch(make_patch(g.L, g.W, g.depth, g.dip, 3e10, 3e10, 1000.0, 500.0, 100.0), p.first,
                    p.second));
  }
  state.SetLabel(g.name);
}

void BM_OkadaPatchTrig(benchmark::State& state) {
  const Geometry& g = kGeometries[state.range(0)];
  const Patch patch = make_patch(g.L, g.W, g.depth, g.dip, 3e10, 3e10, 1000.0, 500.0, 100.0);
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(okada_patch(patch, p.first, p.second));
  }
  state.SetLabel(g.name);
}

BENCHMARK(BM_OkadaPatchFull)->DenseRange(0, 4);
BENCHMARK(BM_OkadaPatchTrig)->DenseRange(0, 4);

// ---------------------------------------------------------------------------
// Per point, over 1024 points of a 32 x 32 grid from -100 to 100 km: the
// geometries above and a 40 x 20 km buried thrust dipping 20 degrees.
// "per_point" (seconds per point) is the figure to compare.

const Geometry kBatchGeometries[] = {
    {"dip20_thrust", 40.0, 20.0, 10.0, 20.0},
    {"dip30_buried", 40.0, 20.0, 15.0, 30.0},
    {"dip90_buried", 30.0, 12.0, 14.0, 90.0},
    {"dip89.99_buried", 30.0, 12.0, 14.0, 89.99},
    {"dip60_outcrop", 25.0, 10.0, 8.660254037844386, 60.0},
    {"dip75_buried", 35.0, 15.0, 18.0, 75.0},
};
constexpr int kNumBatchGeometries = sizeof(kBatchGeometries) / sizeof(kBatchGeometries[0]);

struct BatchPoints {
  std::vector<double> x, y;
  std::vector<double> store[9];
  double* out[9];
  BatchPoints() {
    for (int i = 0; i < 32; ++i)
      for (int j = 0; j < 32; ++j) {
        x.push_back(-100.0 + 200.0 * (i + 0.37) / 32.0);
        y.push_back(-100.0 + 200.0 * (j + 0.61) / 32.0);
      }
    for (int k = 0; k < 9; ++k) {
      store[k].assign(x.size(), 0.0);
      out[k] = store[k].data();
    }
  }
};

void per_point(benchmark::State& state, std::size_t n, const char* label) {
  state.counters["per_point"] = benchmark::Counter(
      static_cast<double>(n),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
  state.SetLabel(label);
}

// okada_patch point by point.
void BM_PointsScalarCalls(benchmark::State& state) {
  const Geometry& g = kBatchGeometries[state.range(0)];
  const Patch patch = make_patch(g.L, g.W, g.depth, g.dip, 3e10, 3e10, 1000.0, 500.0, 100.0);
  BatchPoints b;
  for (auto _ : state) {
    for (std::size_t i = 0; i < b.x.size(); ++i) {
      const vadrel::Vec9 u = okada_patch(patch, b.x[i], b.y[i]);
      for (int k = 0; k < 9; ++k) b.out[k][i] = u[k];
    }
    benchmark::DoNotOptimize(b.out[0][0]);
    benchmark::ClobberMemory();
  }
  per_point(state, b.x.size(), g.name);
}

template <void (*Batch)(const Patch&, const double*, const double*, std::size_t, double* const[9])>
void BM_PointsBatch(benchmark::State& state) {
  const Geometry& g = kBatchGeometries[state.range(0)];
  const Patch patch = make_patch(g.L, g.W, g.depth, g.dip, 3e10, 3e10, 1000.0, 500.0, 100.0);
  BatchPoints b;
  for (auto _ : state) {
    Batch(patch, b.x.data(), b.y.data(), b.x.size(), b.out);
    benchmark::DoNotOptimize(b.out[0][0]);
    benchmark::ClobberMemory();
  }
  per_point(state, b.x.size(), g.name);
}

void BM_PointsBatchScalar(benchmark::State& state) {
  BM_PointsBatch<vadrel::okada_patch_batch_scalar>(state);
}

void BM_PointsBatchAVX2(benchmark::State& state) {
  if (!vadrel::batch_has_avx2()) {
    state.SkipWithError("no AVX2/FMA on this processor");
    return;
  }
  BM_PointsBatch<vadrel::okada_patch_batch_avx2>(state);
}

void BM_PointsBatchAVX512(benchmark::State& state) {
  if (!vadrel::batch_has_avx512()) {
    state.SkipWithError("no AVX-512 F/DQ on this processor");
    return;
  }
  BM_PointsBatch<vadrel::okada_patch_batch_avx512>(state);
}

void BM_PointsBatchDispatch(benchmark::State& state) {
  BM_PointsBatch<vadrel::okada_patch_batch>(state);
}

// The form a range run uses: map points moved to the patch frame, the
// components turned to east, north and up and added to running sums (strike
// 33 degrees), as the path of process_kernel().
void BM_PointsBatchEnu(benchmark::State& state) {
  const Geometry& g = kBatchGeometries[state.range(0)];
  const Patch patch = make_patch(g.L, g.W, g.depth, g.dip, 3e10, 3e10, 1000.0, 500.0, 100.0);
  const double rad = vadrel::PI / 180.0;
  const vadrel::PatchPlacement at{3.0, -4.0, std::sin(57.0 * rad), std::cos(57.0 * rad),
                                  std::cos(-57.0 * rad), std::sin(-57.0 * rad)};
  BatchPoints b;
  std::vector<std::size_t> missing(b.x.size());
  for (auto _ : state) {
    vadrel::okada_patch_batch_enu(patch, at, b.x.data(), b.y.data(), b.x.size(), b.out[0],
                                  b.out[1], b.out[2], missing.data());
    benchmark::DoNotOptimize(b.out[0][0]);
    benchmark::ClobberMemory();
  }
  per_point(state, b.x.size(), g.name);
}

BENCHMARK(BM_PointsScalarCalls)->DenseRange(0, kNumBatchGeometries - 1);
BENCHMARK(BM_PointsBatchScalar)->DenseRange(0, kNumBatchGeometries - 1);
BENCHMARK(BM_PointsBatchAVX2)->DenseRange(0, kNumBatchGeometries - 1);
BENCHMARK(BM_PointsBatchAVX512)->DenseRange(0, kNumBatchGeometries - 1);
BENCHMARK(BM_PointsBatchDispatch)->DenseRange(0, kNumBatchGeometries - 1);
BENCHMARK(BM_PointsBatchEnu)->DenseRange(0, kNumBatchGeometries - 1);

}  // namespace

BENCHMARK_MAIN();
