// Cost of one call of each displacement derivative (a signed sum of its
// corner kernel over the patch corners), at a buried dipping patch, a
// vertical one (where the width, depth and dip derivatives take their
// vertical forms) and a patch that reaches the surface.
#include <benchmark/benchmark.h>

#include <utility>
#include <vector>

#include "derivatives/deru.hpp"
#include "model/okada.hpp"

namespace {

using namespace vadrel;

struct Geometry {
  const char* name;
  double L, W, depth, dip_deg;
};

const Geometry kGeometries[] = {
    {"dip30_buried", 40.0, 20.0, 15.0, 30.0},
    {"dip90_buried", 30.0, 12.0, 14.0, 90.0},
    {"dip60_outcrop", 25.0, 10.0, 8.660254037844386, 60.0},
};

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

void BM_DeruX(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double d) {
    return deru_x(x, y, d, g.depth, 1000.0, 500.0, 100.0, g.L, g.W, 3e10,
                  3e10);
  });
}

void BM_DeruL(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double d) {
    return deru_l(x, y, d, g.depth, 1000.0, 500.0, 100.0, g.L, g.W, 3e10,
                  3e10);
  });
}

void BM_DeruW(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double d) {
    return deru_w(x, y, d, g.depth, 1000.0, 500.0, 100.0, g.L, g.W, 3e10,
                  3e10);
  });
}

void BM_DeruD(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double d) {
    return deru_d(x, y, d, g.depth, 1000.0, 500.0, 100.0, g.L, g.W, 3e10,
                  3e10);
  });
}

void BM_DeruDelta(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double d) {
    return deru_delta(x, y, d, g.depth, 1000.0, 500.0, 100.0, g.L, g.W, 3e10,
                      3e10);
  });
}

void BM_DeruU(benchmark::State& state) {
  run(state, [](double x, double y, const Geometry& g, double) {
    return deru_u(x, y, g.dip_deg, g.depth, 1000.0, 500.0, 100.0, g.L, g.W,
                  3e10, 3e10);
  });
}

BENCHMARK(BM_DeruX)->DenseRange(0, 2);
BENCHMARK(BM_DeruL)->DenseRange(0, 2);
BENCHMARK(BM_DeruW)->DenseRange(0, 2);
BENCHMARK(BM_DeruD)->DenseRange(0, 2);
BENCHMARK(BM_DeruDelta)->DenseRange(0, 2);
BENCHMARK(BM_DeruU)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
