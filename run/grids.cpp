#include "run/grids.hpp"

#include <cerrno>
#include <cmath>
#include <fstream>
#include <istream>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "core/files.hpp"
#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "core/syserr.hpp"
#include "readers/cardline.hpp"
#include "readers/grid_cards.hpp"
#include "readers/kov.hpp"
#include "readers/utm.hpp"
#include "run/output.hpp"
#include "run/pipeline.hpp"
#include "writers/ini_file.hpp"

namespace vadrel {

namespace {

constexpr const char* kRegularGridOutput = "disp.ini";
constexpr std::size_t kCardWidth = kGridCardWidth;
constexpr double kFullTaperDepth = 250.0;  // shallower water gets depth/250 of the uplift

// A grid or depth/mask file that is the print file's target: reading it is
// fine (the print file is written under another name until the end), but
// the run's end would replace it.  The run stops and the print file is not
// delivered, so the file stays as it was.
void refuse_print_target(RunContext& ctx, const std::string& name, const char* role, const char* stop_text) {
  if (!ctx.print.targets(name)) return;
  ctx.console << " *** ERROR The " << role << " file " << name << " is the print file "
              << ctx.settings.print_file << "; the print file is not written, so " << name
              << " stays as it was\n";
  ctx.print.discard();
  throw Stop(stop_text);
}

// An output never replaces an input: stop before anything is written when
// `output` is the same file as one of the named inputs.
void refuse_to_replace_inputs(RunContext& ctx, const std::string& output,
                              const std::vector<std::pair<const char*, std::string>>& inputs) {
  for (const auto& [role, name] : inputs) {
    if (name.empty() || !same_file(output, name)) continue;
    ctx.console << " *** ERROR The output file " << output << " is the same file as the " << role
                << " file " << name << "; nothing written\n";
    throw Stop("Could not open output file.");
  }
}

void refuse_to_replace_run_files(RunContext& ctx, const std::string& output,
                                 std::vector<std::pair<const char*, std::string>> more = {}) {
  const Settings& s = ctx.settings;
  more.emplace_back("points", s.points_file);
  more.emplace_back("faults", s.faults_file);
  refuse_to_replace_inputs(ctx, output, more);
  // The print file moves into place at the end of the run, over whatever
  // holds its name then.
  if (ctx.print.targets(output)) {
    ctx.console << " *** ERROR The output file " << output << " is the same file as the print file "
                << s.print_file << "; nothing written\n";
    throw Stop("Could not open output file.");
  }
}

void write_ini(RunContext& ctx, IniFile& out, int n) {
  const long nonfinite = out.close(n);
  if (nonfinite > 0) {
    ctx.console << " WARNING: " << nonfinite
                << " grid values had no finite uplift; 0.0 was written in their place\n";
  }
}

// Counts a computed grid point, writes its record and returns its range
// change in mm.  The extents are left to the caller, which updates them
// after storing the value.  `kind` is the card's record kind, decided once
// per card rather than read from the option word at every node.
double emit_grid_point(RunContext& ctx, const RecordChunk& records, std::size_t k, const PointIn& p,
                       RecordKind kind) {
  ctx.point.xpt = p.x;
  ctx.point.ypt = p.y;
  ctx.point.drobs = 0.0;
  ctx.point.ptname.assign(8, ' ');
  ++ctx.counters.npts;
  write_point_record(ctx, records, k, kind, p);
  return records.drcalc[k];
}

// G (geographic) and M (local km) grids.
void regular_grid(RunContext& ctx, std::string_view line, bool geographic) {
  RegularCard c;
  // An M card's start coordinates go straight into the projection origin,
  // each as soon as it is read: an E card after an M card measures from them.
  const bool ok = geographic ? parse_regular_card(line, c.x0, c.y0, c)
                             : parse_regular_card(line, ctx.proj.x0, ctx.proj.y0, c);
  if (!ok) {
    ctx.console << " Error reading line : " << line.substr(0, nblen(line.substr(0, kCardWidth))) << '\n';
    return;
  }

  const std::int64_t nodes = static_cast<std::int64_t>(c.nx) * c.ny;
  const bool has_points = c.nx > 0 && c.ny > 0;
  // A regular grid is one array of doubles; the same ceiling as for the
  // curvilinear grid files keeps a mistyped card from asking for gigabytes.
  const std::int64_t most = ctx.settings.max_grid_nodes;
  if (has_points && nodes > most) {
    ctx.console << " *** ERROR " << (geographic ? 'G' : 'M') << " card: a grid of " << c.nx << " x "
                << c.ny << " points is too large (at most " << most << " points)\n";
    throw Stop("Grid too large");
  }

  refuse_to_replace_run_files(ctx, kRegularGridOutput);
  IniFile out(ctx.console, kRegularGridOutput, c.nx);

  const int w = geographic ? 8 : 1;
  ctx.console << "Making a grid: ";
  for (const double v : {c.x0, c.y0, c.dx, c.dy}) ctx.console << fmt_f(v, 14, w) << ' ';
  ctx.console << fmt_i(c.nx, 5) << ' ' << fmt_i(c.ny, 5) << ' ' << '\n';

  const double limits[4] = {c.x0, c.x0 + c.nx * c.dx, c.y0, c.y0 + c.ny * c.dy};
  ctx.console << "Grid limits:   ";
  for (const double v : limits) ctx.console << (geographic ? fmt_g(v, 11, 4) : fmt_f(v, 14, 8)) << '/';
  ctx.console << '\n';
  ctx.console << "N points:      " << fmt_i(nodes, 6) << '\n';

  if (has_points) {
    const std::size_t nx = static_cast<std::size_t>(c.nx);
    const double cmer = ctx.proj.cmer;
    const RecordKind kind = grid_point_kind(ctx.settings);
    for_points(
        ctx, kind, static_cast<std::size_t>(nodes),
        [&](std::size_t node, PointIn& p) {
          const auto i = static_cast<int>(node % nx);
          const auto j = static_cast<int>(node / nx);
          p.x = c.x0 + i * c.dx;
          p.y = c.y0 + j * c.dy;
          if (geographic) {
            double e = 0.0;
            double n = 0.0;
            utm(p.y, p.x, e, n, cmer);  // x is the longitude, y the latitude
            p.x = e / 1000.0;
            p.y = n / 1000.0;
          }
          return true;
        },
        [&](std::size_t, bool, const RecordChunk& records, std::size_t k, const PointIn& p) {
          if (!std::isfinite(emit_grid_point(ctx, records, k, p, kind) / 1000.0)) out.count_nonfinite();
          out.value(records.side_text(k));
          ctx.counters.extend(p.x, p.y);
        },
        [](std::size_t, const RecordChunk& records, std::size_t k, TextBuffer& text) {
          uplift_text(records.drcalc[k], 1.0, text);
        });
  }
  write_ini(ctx, out, c.ny);
}

// 0 for a missing grid node (0.0, or a value whose whole part is -999).
int weight(double v) { return (v == 0.0 || std::trunc(v) == -999.0) ? 0 : 1; }

}  // namespace

bool cell_point(const Grid2D& x, const Grid2D& y, int i, int j, double& xc, double& yc) {
  const int w1 = weight(x(i - 1, j - 1));
  const int w2 = weight(x(i - 1, j));
  const int w3 = weight(x(i, j - 1));
  const int w4 = weight(x(i, j));
  if (w4 == 0) return false;
  const double sum = w1 + w2 + w3 + w4;
  xc = (w2 * x(i - 1, j) + w1 * x(i - 1, j - 1) + w3 * x(i, j - 1) + w4 * x(i, j)) / sum;
  yc = (w2 * y(i - 1, j) + w1 * y(i - 1, j - 1) + w3 * y(i, j - 1) + w4 * y(i, j)) / sum;
  return true;
}

double depth_factor(double d) {
  // Shallow water takes a share of the uplift growing with its depth; the
  // factor is held in single precision.
  if (!(d > 0.0)) return 0.0;
  return d >= kFullTaperDepth ? 1.0 : static_cast<double>(static_cast<float>(d / kFullTaperDepth));
}

namespace {

// U (metres) and S (degrees) cards: one point per cell of a curvilinear grid.
void curvilinear_grid(RunContext& ctx, std::string_view line, LineReader& points) {
  const bool degrees = line[0] == 'S';
  const std::string grid_name = card_name(line);
  if (grid_name.empty()) {
    ctx.console << " *** ERROR Grid file not specified; Abnormal end of program\n";
    throw Stop("");
  }

  refuse_print_target(ctx, grid_name, "grid", "*** ERROR readig grid file");
  std::ifstream grid;
  int mmax = 0;
  int nmax = 0;
  // Why the grid file cannot be read, on its own line before the stop.
  const char* why = nullptr;
  bool system = false;
  if (is_directory(grid_name)) {
    why = "it is a directory";
  } else {
    grid.open(grid_name, std::ios::in | std::ios::binary);
    if (!grid.is_open()) {
      why = "it cannot be opened";
      system = true;
    }
  }
  if (why == nullptr) {
    skip_byte_order_mark(grid);
    switch (reakovhdr(grid, mmax, nmax)) {
      case STATUS_OK: break;
      case KOV_STATUS_END: why = "it ends before its header does (\"Coordinate System\", the dimensions, one more line)"; break;
      case KOV_STATUS_NO_COORDINATE_SYSTEM: why = "its first line that is not a comment lacks \"Coordinate System\""; break;
      case KOV_STATUS_IO_ERROR: why = "it cannot be read"; system = true; break;
      default: why = "its dimensions are not two whole numbers"; break;
    }
  }
  if (why != nullptr) {
    const int err = errno;
    const std::string message = " *** ERROR Grid file " + grid_name + ": " + why;
    if (system) stop_on_system_error(ctx.console, err, message, "*** ERROR readig grid file");
    ctx.console << message << '\n';
    throw Stop("*** ERROR readig grid file");
  }
  const std::string problem = kov_dimension_problem(mmax, nmax, ctx.settings.max_grid_nodes);
  if (!problem.empty()) {
    ctx.console << " *** ERROR Grid file " << grid_name << ": " << problem << '\n';
    throw Stop("*** ERROR readig grid file");
  }
  const int mp = mmax + 1;
  const int np = nmax + 1;
  Grid2D x(mp, np);
  Grid2D y(mp, np);

  // The line after the card may name the depth/mask file; any other line is
  // left for the points reader.
  std::string depth_name;
  bool have_depth = false;
  std::string_view next;
  if (points.next(next)) {
    if (!next.empty() && next[0] == 'D') {
      depth_name = card_name(next);
      if (depth_name.empty()) {
        ctx.console << " *** ERROR Empty grid file specified; Abnormal end of program\n";
        throw Stop("");
      }
      have_depth = true;
    } else {
      points.push_back();  // the points reader reads it again
    }
  }
  const std::string ini_name = ini_name_for(grid_name);
  std::vector<std::pair<const char*, std::string>> grid_inputs{{"grid", grid_name}};
  if (have_depth) grid_inputs.emplace_back("depth/mask", depth_name);
  refuse_to_replace_run_files(ctx, ini_name, grid_inputs);

  // Without a depth/mask file every cell is water deep enough for its full
  // uplift.
  Grid2D depth;
  if (have_depth) {
    refuse_print_target(ctx, depth_name, "depth/mask", "*** ERROR reading depth/mask file");
    depth = Grid2D(mp, np);
    read_depth_file(depth_name, depth, mp, np, ctx.console);
  } else {
    ctx.console << " *** Depth/mask file for the grid file:" << grid_name << " not specified\n";
    ctx.console << " All points assumed to be water\n";
  }

  ctx.console << "Generating uplift for the grid: " << grid_name << " Grid dim: " << fmt_i(mp, 6)
              << fmt_i(np, 6) << '\n';
  reakov(grid, x, y, mp, np, ctx.console, grid_name);
  grid.close();

  IniFile out(ctx.console, ini_name, mp);
  ctx.console << "N points:      " << fmt_i(static_cast<std::int64_t>(mp) * np, 6) << '\n';

  // Cell (i, j), i = 2..mmax along a row, j = 2..nmax, has the corners
  // c1 = (i-1, j-1), c2 = (i-1, j), c3 = (i, j-1), c4 = (i, j); the x array
  // alone marks missing nodes.  Its point is the mean of its present corners.
  const std::size_t row = static_cast<std::size_t>(mmax - 1);
  const std::size_t cells = nmax > 1 && mmax > 1 ? row * static_cast<std::size_t>(nmax - 1) : 0;
  const double cmer = ctx.proj.cmer;
  auto cell_of = [row](std::size_t c) {
    return std::pair<int, int>(static_cast<int>(c % row) + 2, static_cast<int>(c / row) + 2);
  };
  const RecordKind kind = grid_point_kind(ctx.settings);
  for_points(
      ctx, kind, cells,
      [&](std::size_t cell, PointIn& p) {
        const auto [i, j] = cell_of(cell);
        double xc = 0.0;
        double yc = 0.0;
        if (!cell_point(x, y, i, j, xc, yc)) return false;
        p.x = xc / 1000.0;
        p.y = yc / 1000.0;
        if (degrees) {
          double e = 0.0;
          double n = 0.0;
          utm(yc, xc, e, n, cmer);
          p.x = e / 1000.0;
          p.y = n / 1000.0;
        }
        return true;
      },
      [&](std::size_t cell, bool made, const RecordChunk& records, std::size_t k, const PointIn& p) {
        const auto [i, j] = cell_of(cell);
        // The uplift grid row by row: row 1 and the first and last entry of
        // every row have no cell and stay 0, as does a cell without a point.
        if (i == 2) out.zeros(j == 2 ? mp + 1 : 1);
        if (made) {
          const double drcalc = emit_grid_point(ctx, records, k, p, kind);
          const double factor = have_depth ? depth_factor(depth(i, j)) : 1.0;
          if (factor > 0.0 && !std::isfinite(drcalc * factor / 1000.0)) out.count_nonfinite();
          out.value(records.side_text(k));
          ctx.counters.extend(p.x, p.y);
        } else {
          out.value("0.0");
        }
        if (i == mmax) out.zeros(1);
      },
      [&](std::size_t cell, const RecordChunk& records, std::size_t k, TextBuffer& text) {
        const auto [i, j] = cell_of(cell);
        uplift_text(records.drcalc[k], have_depth ? depth_factor(depth(i, j)) : 1.0, text);
      });
  // The last row (all of them when there is no cell) has no cell either.
  out.zeros(cells == 0 ? static_cast<long>(mp) * np : mp);
  write_ini(ctx, out, np);
}

}  // namespace

void grid_card(RunContext& ctx, std::string_view line, LineReader& points) {
  if (line.empty()) return;
  switch (line[0]) {
    case 'G': regular_grid(ctx, line, true); break;
    case 'M': regular_grid(ctx, line, false); break;
    case 'U':
    case 'S': curvilinear_grid(ctx, line, points); break;
    default: break;
  }
}

}  // namespace vadrel
