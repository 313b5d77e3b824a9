// Cost of one rectangular-patch evaluation (all three dislocation types at
// once), for both call forms, at a few representative geometries.
#include <benchmark/benchmark.h>

#include <vector>

#include "model/okada.hpp"

namespace {

using vadrel::okada_patch;
using vadrel::patch_trig;
using vadrel::PatchTrig;

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
        okada_patch(1000.0, 500.0, 100.0, p.first, p.second, g.L, g.W, g.depth, g.dip, 3e10, 3e10));
  }
  state.SetLabel(g.name);
}

void BM_OkadaPatchTrig(benchmark::State& state) {
  const Geometry& g = kGeometries[state.range(0)];
  const PatchTrig trig = patch_trig(g.dip, 3e10, 3e10);
  const auto pts = grid_points();
  std::size_t k = 0;
  for (auto _ : state) {
    const auto& p = pts[k++ & 1023];
    benchmark::DoNotOptimize(
        okada_patch(1000.0, 500.0, 100.0, p.first, p.second, g.L, g.W, g.depth, trig));
  }
  state.SetLabel(g.name);
}

BENCHMARK(BM_OkadaPatchFull)->DenseRange(0, 4);
BENCHMARK(BM_OkadaPatchTrig)->DenseRange(0, 4);

}  // namespace

BENCHMARK_MAIN();
