// The faults reader on any bytes: segments, ramp lines, comments, the test
// listing; a stop is a normal outcome.
#include <cstddef>
#include <cstdint>
#include <sstream>
#include <string>

#include "run/context.hpp"
#include "core/stop.hpp"
#include "readers/faults.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::ostringstream console;
  vadrel::RunContext ctx(console, 1);
  ctx.settings.option = "asciitestSURF   ";
  vadrel::LineReader in = vadrel::LineReader::from_text(std::string(reinterpret_cast<const char*>(data), size));
  try {
    vadrel::read_faults(ctx.faults, in, ctx.settings.option, ctx.settings.faults_file, ctx.console);
  } catch (const vadrel::Stop&) {
  }
  return 0;
}
