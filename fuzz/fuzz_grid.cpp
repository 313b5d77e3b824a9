// The curvilinear grid reader (header, x and y blocks in both layouts) and
// the free-format rows of depth/mask files, on any bytes.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "core/stop.hpp"
#include "readers/cardline.hpp"
#include "readers/kov.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  std::ostringstream console;
  {
    std::istringstream in(text);
    vadrel::skip_byte_order_mark(in);
    int mmax = 0;
    int nmax = 0;
    // Small grids only: the reader's own ceiling is far above a fuzzer's memory.
    if (vadrel::reakovhdr(in, mmax, nmax) == vadrel::STATUS_OK &&
        vadrel::kov_dimension_problem(mmax, nmax, 4096).empty()) {
      vadrel::Grid2D x(mmax + 1, nmax + 1);
      vadrel::Grid2D y(mmax + 1, nmax + 1);
      try {
        vadrel::reakov(in, x, y, mmax + 1, nmax + 1, console, "fuzz.grd");
      } catch (const vadrel::Stop&) {
      }
    }
  }
  std::istringstream depth(text);
  std::vector<double> row(7);
  for (int j = 0; j < 50; ++j) {
    if (vadrel::read_free_row(depth, j % 3, row) != vadrel::STATUS_OK) break;
  }
  return 0;
}
