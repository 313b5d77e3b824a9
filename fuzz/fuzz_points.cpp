// The points file as a script, every card and every per-point writer: the
// first byte chooses the option word, the rest is the points file.  The
// fault model holds a buried thrust, a vertical patch reaching the surface
// and a steep one.  Runs in a temporary directory of its own, made once per
// process and removed at its exit, that holds a grid file (g.grd) and a
// depth/mask file (d.dep) for the U, S and D cards and receives the print
// file and the initial-condition files; grids are kept small through the
// run's grid ceiling.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>

#include "core/stop.hpp"
#include "readers/faults.hpp"
#include "run/context.hpp"
#include "run/points.hpp"

namespace {

const char* const kOptions[] = {"ascii", "residual", "vector", "strain", "partial", "analytic", "residualvector",
                                "asciitest"};

const char* kFaults =
    " 5 -3 30 0 12 35 3e10 3e10 200 900 50 25 15 thrust\n"
    " 0 0 0 0 10 90 3e10 3e10 400 0 0 20 10 outcrop\n"
    " -4 6 200 0 8 89.99 1 2 10 20 30 5 4 steep\n"
    "P 0.01 -0.02 0.5\n";

void write(const char* name, const char* text) {
  if (std::FILE* f = std::fopen(name, "w")) {
    std::fputs(text, f);
    std::fclose(f);
  }
}

// The process's working directory, removed with all it holds at exit.
std::filesystem::path work_dir;

void remove_work_dir() {
  std::error_code ec;
  std::filesystem::remove_all(work_dir, ec);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  std::string dir = (std::filesystem::temp_directory_path() / "vadrel-fuzz-points-XXXXXX").string();
  if (::mkdtemp(dir.data()) == nullptr || ::chdir(dir.c_str()) != 0) std::abort();
  work_dir = dir;
  std::atexit(remove_work_dir);
  write("g.grd",
        "Coordinate System = Cartesian\n 3 3\n 0 0 0\n ETA= 1 1000 2000 3000\n ETA= 2 1000 -999 3000\n"
        " ETA= 3 1000 2000 3000\n ETA= 1 5000 5000 5000\n ETA= 2 6000 6000 6000\n ETA= 3 7000 7000 7000\n");
  write("d.dep", "100 0 300 -5\n 600 1 2 3\n 7 8 9 10\n 12 13 14 15\n");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  std::ostringstream console;
  vadrel::RunContext ctx(console, 1);
  ctx.settings.option = kOptions[data[0] % (sizeof kOptions / sizeof kOptions[0])];
  ctx.settings.option.resize(16, ' ');
  ctx.settings.points_file = "points";
  ctx.settings.faults_file = "faults";
  ctx.settings.print_file = "print";
  ctx.settings.max_grid_nodes = 20000;
  if (!ctx.print.open(ctx.settings.print_file)) std::abort();
  try {
    vadrel::LineReader faults = vadrel::LineReader::from_text(kFaults);
    vadrel::read_faults(ctx.faults, faults, ctx.settings.option, ctx.settings.faults_file, ctx.console);
    vadrel::LineReader points =
        vadrel::LineReader::from_text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    vadrel::read_calc_points(ctx, points);
  } catch (const vadrel::Stop&) {
  }
  ctx.print.close();
  return 0;
}
