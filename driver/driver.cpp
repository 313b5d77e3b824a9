#include "driver/driver.hpp"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <iostream>
#include <new>
#include <ostream>
#include <string>
#include <string_view>

#include "core/files.hpp"
#include "core/fixed_format.hpp"
#include "core/line_reader.hpp"
#include "core/stop.hpp"
#include "core/syserr.hpp"
#include "driver/headers.hpp"
#include "model/kernel_path.hpp"
#include "readers/cardline.hpp"
#include "readers/faults.hpp"
#include "run/context.hpp"
#include "run/points.hpp"

namespace vadrel {

namespace {

constexpr std::string_view kModeWords[] = {"ascii", "residual", "partial",
                                           "analytic", "vector", "strain"};

// The README: installed beside the program (<prefix>/bin/vadrel and
// <prefix>/share/doc/vadrel/README.md, whatever prefix it was installed
// under), else where the build would install it, else in the source tree
// (a program run from its build directory).
std::string readme_path() {
  namespace fs = std::filesystem;
  std::error_code ec;
  const fs::path self = fs::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const fs::path beside = self.parent_path().parent_path() / VADREL_DOCDIR / "README.md";
    if (fs::is_regular_file(beside, ec)) return beside.string();
  }
  if (fs::is_regular_file(VADREL_INSTALLED_README, ec)) return VADREL_INSTALLED_README;
  return VADREL_README;
}

// After the message of an argument error: how to call the program.
void usage_hint(std::ostream& out) {
  out << " Usage: vadrel points-file faults-file print-file option-word   (vadrel --help: more)\n"
         " Mode words: ascii residual vector strain partial analytic (several run together)\n";
}

void usage(std::ostream& out) {
  out << "Usage: vadrel points-file faults-file print-file option-word\n"
         "       vadrel -h | --help | --version\n"
         "\n"
         "  points-file  ground points and cards (Z, E, V, F, G, M, U, S, D):\n"
         "                 point x, y in km (a local frame shared with the faults),\n"
         "                 observed range change in mm; longitudes and latitudes in\n"
         "                 degrees; look vector east, north, up (unit length)\n"
         "  faults-file  fault segment lines and an optional ramp line (P):\n"
         "                 X, Y, depth, L, W in km; strike and dip in degrees;\n"
         "                 slips U1, U2, U3 in mm; lambda and mu in any one unit;\n"
         "                 ramp a, b in mm/km and c in mm\n"
         "  print-file   result file (mm and km; strain in mm/km; partial\n"
         "                 derivatives per km, per degree or per mm); grid cards\n"
         "                 also write initial-condition files (.ini) in metres\n"
         "  option-word  one or more of the mode words, run together:\n"
         "                 ascii     range change of every point\n"
         "                 residual  observed, computed and residual range change\n"
         "                 vector    east, north, up displacement and range change\n"
         "                 strain    horizontal displacement gradients\n"
         "                 partial   derivatives of range by forward differences\n"
         "                 analytic  derivatives of range in closed form\n"
         "\n"
         "Exit status: 0 normal end, 1 a stop (its message on the console),\n"
         "2 a missing argument or an unknown option word.\n"
         "\n"
         "File formats and output layouts: "
      << readme_path() << '\n';
}

// The argument as the run uses it: trailing blanks and NULs dropped.
std::string argument(int argc, char** argv, int k) {
  if (k >= argc || argv[k] == nullptr) return {};
  const std::string_view a(argv[k]);
  return std::string(a.substr(0, nblen(a)));
}

void write_checked(RunContext& ctx, const std::string& line) {
  if (!ctx.print.write_line(line)) {
    const int err = errno;
    stop_on_system_error(ctx.console, err, " Error writing file: " + name_field(ctx.settings.print_file),
                         "Could not write output file.");
  }
}

// An input file, open for reading, closed when the run ends.
class InputFile {
 public:
  InputFile() = default;
  InputFile(const InputFile&) = delete;
  InputFile& operator=(const InputFile&) = delete;
  ~InputFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool open(const std::string& name) {
    fd_ = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    return fd_ >= 0;
  }
  int fd() const { return fd_; }

 private:
  int fd_ = -1;
};

void open_input(InputFile& in, const std::string& name, RunContext& ctx, const char* stop_text) {
  bool opened = false;
  if (is_directory(name)) {
    errno = EISDIR;
  } else {
    opened = in.open(name);
  }
  if (!opened) {
    const int err = errno;
    stop_on_system_error(ctx.console, err, " Error opening file: " + name_field(name), stop_text);
  }
}

void open_print(RunContext& ctx) {
  const Settings& s = ctx.settings;
  const char* replaced = nullptr;
  if (same_file(s.print_file, s.points_file)) replaced = "points";
  else if (same_file(s.print_file, s.faults_file)) replaced = "faults";
  if (replaced != nullptr) {
    ctx.console << " Error opening file: " << name_field(s.print_file) << s.option << '\n';
    ctx.console << " The print file would replace the " << replaced << " file; nothing written.\n";
    throw Stop("Could not open output file.");
  }
  if (!ctx.print.open(s.print_file)) {
    const int err = errno;
    stop_on_system_error(ctx.console, err, " Error opening file: " + name_field(s.print_file) + s.option,
                         "Could not open output file.");
  }
}

int run(int argc, char** argv, RunContext& ctx) {
  std::ostream& console = ctx.console;
  Settings& s = ctx.settings;

  s.points_file = argument(argc, argv, 1);
  if (s.points_file.empty()) {
    console << " Need name of points file\n";
    usage_hint(console);
    return EXIT_ARGUMENT;
  }
  s.faults_file = argument(argc, argv, 2);
  if (s.faults_file.empty()) {
    console << " Need name of faults file\n";
    usage_hint(console);
    return EXIT_ARGUMENT;
  }
  s.print_file = argument(argc, argv, 3);
  if (s.print_file.empty()) {
    console << " Need name of output file\n";
    usage_hint(console);
    return EXIT_ARGUMENT;
  }
  const std::string option = argument(argc, argv, 4);
  if (option.empty()) {
    console << " Need option.\n";
    usage_hint(console);
    return EXIT_ARGUMENT;
  }
  // Only the first 16 characters of the option word count.
  s.option = option.substr(0, OPTION_FIELD);
  s.option.resize(OPTION_FIELD, ' ');

  std::size_t found = 0;
  for (const auto word : kModeWords) {
    const auto at = s.option.find(word);
    if (at != std::string::npos) found += at + 1;
  }
  if (found == 0) {
    console << " Unknown option: " << s.option << '\n';
    usage_hint(console);
    return EXIT_ARGUMENT;
  }
  console << " Option: " << s.option << '\n';
  if (argc > 5) {
    console << " Arguments after the option word are ignored:";
    for (int k = 5; k < argc; ++k) console << ' ' << (argv[k] != nullptr ? argv[k] : "");
    console << '\n';
  }
  // A VADREL_KERNEL the run cannot follow is said on standard error (the
  // console transcript on standard output stays as it is), before anything
  // is computed.
  if (const std::string& w = process_kernel().warning; !w.empty()) std::cerr << w << std::endl;

  InputFile points_file;
  open_input(points_file, s.points_file, ctx, "Could not open points file.");
  InputFile faults_file;
  open_input(faults_file, s.faults_file, ctx, "Could not open faults file.");
  open_print(ctx);
  // Later messages report the system's text for the last error; failed
  // look-ups made while opening are no part of them.
  errno = 0;

  const auto echo = echo_lines(s);
  for (const auto& line : echo) write_checked(ctx, line);
  for (const auto& line : echo) console << line << '\n';
  for (const auto& line : header_lines(s)) write_checked(ctx, line);

  LineReader faults(faults_file.fd());
  const std::int32_t nseg = read_faults(ctx.faults, faults, s.option, s.faults_file, console);
  console << "Number of fault segments read in: " << ' ' << fmt_i(nseg, 5) << '\n';

  LineReader points(points_file.fd());
  const std::int32_t npts = read_calc_points(ctx, points);
  console << "Number of ground points read in: " << ' ' << fmt_i(npts, 7) << '\n';
  if (ctx.counters.moved > 0) {
    console << ' ' << ctx.counters.moved
            << (ctx.counters.moved == 1 ? " point took its value" : " points took their values")
            << " 1 mm away (where the model has none)\n";
  }

  if (!ctx.print.close()) {
    const int err = errno;
    stop_on_system_error(console, err, " Error closing file: " + name_field(s.print_file),
                         "Could not close output file.");
  }
  return 0;
}

}  // namespace

int run_program(int argc, char** argv, std::ostream& console) {
  if (argc == 2 && argv[1] != nullptr) {
    const std::string_view only(argv[1]);
    if (only == "--help" || only == "-h") {
      usage(console);
      return 0;
    }
    if (only == "--version") {
      console << "vadrel " << VADREL_VERSION << '\n' << "README: " << readme_path() << '\n';
      return 0;
    }
  }
  RunContext ctx(console, Workers::available());
  int status = 0;
  try {
    status = run(argc, argv, ctx);
  } catch (const Stop& stop) {
    if (!stop.stop_text.empty()) console << stop.stop_text << '\n';
    status = stop.exit_status;
  } catch (const std::bad_alloc&) {
    console << " Not enough memory for this run.\n";
    status = EXIT_STOP;
  }
  console.flush();
  return status;
}

}  // namespace vadrel
