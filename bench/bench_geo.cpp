// Cost of projecting grid nodes and of reading curvilinear grid blocks in
// both layouts.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <sstream>
#include <string>

#include "readers/grid2d.hpp"
#include "readers/kov.hpp"
#include "readers/utm.hpp"

namespace {

void BM_Utm(benchmark::State& state) {
  double lat = 38.0;
  double e = 0.0;
  double n = 0.0;
  for (auto _ : state) {
    vadrel::utm(lat, 142.3, e, n, 141.0);
    benchmark::DoNotOptimize(e);
    benchmark::DoNotOptimize(n);
    lat += 1e-9;
  }
}
BENCHMARK(BM_Utm);

// One block of m values per row and n rows, free format or fixed layout.
std::string make_block(int m, int n, bool fixed) {
  std::string text;
  char buf[40];
  for (int j = 1; j <= n; ++j) {
    std::snprintf(buf, sizeof buf, " ETA=%5d", j);
    text += buf;
    for (int i = 1; i <= m; ++i) {
      std::snprintf(buf, sizeof buf, fixed ? "%12.5E" : " %.6f", -(1000.0 * j + i) / 7.0);
      text += buf;
      if (i % 5 == 0 && i < m) text += fixed ? "\n          " : "\n";
    }
    text += '\n';
  }
  return text;
}

void read_block(benchmark::State& state, bool fixed) {
  const int m = static_cast<int>(state.range(0));
  const std::string text = make_block(m, m, fixed);
  vadrel::Grid2D a(m + 1, m + 1);
  std::ostringstream console;
  for (auto _ : state) {
    std::istringstream in(text);
    vadrel::ecrrea(a, in, m + 1, m + 1, console);
    benchmark::DoNotOptimize(a(m, m));
  }
  state.SetItemsProcessed(state.iterations() * m * m);
}

void BM_ReadBlockFree(benchmark::State& state) { read_block(state, false); }
void BM_ReadBlockFixed(benchmark::State& state) { read_block(state, true); }
BENCHMARK(BM_ReadBlockFree)->Arg(100)->Arg(500);
BENCHMARK(BM_ReadBlockFixed)->Arg(100)->Arg(500);

}  // namespace

BENCHMARK_MAIN();
