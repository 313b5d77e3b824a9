// Number conversion of the card readers: any bytes, no crash; a value read
// is finite, and an integer is within its range.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "readers/cardline.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view token(reinterpret_cast<const char*>(data), size);
  double v = 0.0;
  if (vadrel::parse_real(token, v) == vadrel::STATUS_OK && !std::isfinite(v)) std::abort();
  std::int64_t i = 0;
  if (vadrel::parse_int(token, INT32_MIN, INT32_MAX, i) == vadrel::STATUS_OK && (i < INT32_MIN || i > INT32_MAX))
    std::abort();
  int pos = 1;
  while (vadrel::read_r8(token, pos, v) != vadrel::STATUS_END_OF_LINE) {
    if (pos < 1 || pos > static_cast<int>(size) + 1) std::abort();
  }
  return 0;
}
