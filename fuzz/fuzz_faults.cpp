// The faults reader on any bytes: segments, ramp lines, comments, the test
// listing; a stop is a normal outcome.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "core/stop.hpp"
#include "model/fault.hpp"
#include "readers/faults.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::ostringstream console;
  vadrel::FaultModel model;
  vadrel::LineReader in = vadrel::LineReader::from_text(std::string(reinterpret_cast<const char*>(data), size));
  try {
    vadrel::read_faults(model, in, "asciitestSURF   ", "faults", console);
  } catch (const vadrel::Stop&) {
  }
  return 0;
}
