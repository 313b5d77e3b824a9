#include "readers/points.hpp"

#include <cmath>
#include <istream>
#include <ostream>
#include <string>

#include "writers/partials.hpp"
#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "writers/range.hpp"
#include "writers/strain.hpp"
#include "readers/cardline.hpp"
#include "readers/grid_uplift.hpp"
#include "readers/utm.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kLineLength = 132;
constexpr std::size_t kLabelLength = 8;
constexpr std::size_t kBinaryNameLength = 80;

double length3(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

std::string vector_fields(const Vec3& v) {
  std::string s;
  for (const double c : v) s += fmt_f(c, 14, 6) + ' ';
  return s + fmt_f(length3(v), 14, 6) + ' ';
}

void data_line(RunContext& ctx, const std::string& line) {
  GroundPoint p;
  int pos = 1;
  bool ok = read_r8(line, pos, p.xpt) == STATUS_OK;
  ok = (read_r8(line, pos, p.ypt) == STATUS_OK) && ok;
  if (ctx.settings.has("residual")) ok = (read_r8(line, pos, p.drobs) == STATUS_OK) && ok;
  std::string label;
  if (read_ch(line, pos, label, kLabelLength) == STATUS_OK) p.ptname = label;
  if (!ok) {
    ctx.console << " Error reading line : " << line.substr(0, nblen(line)) << '\n';
    ferror(0, ctx.console);
    return;
  }
  ctx.point = p;
  ++ctx.counters.npts;
  if (ctx.counters.npts == 1 && std::fabs(length3(ctx.look.plook) - 1.0) > 0.001) {
    ctx.console << "WARNING: V-CARD missing or not a unit vector! " << vector_fields(ctx.look.plook)
                << '\n';
  }
  process_point(ctx);
}

void z_card(RunContext& ctx, const std::string& line) {
  int pos = 2;
  std::int32_t zone = 0;
  double lon = 0.0;
  double lat = 0.0;
  bool ok = read_i4(line, pos, zone) == STATUS_OK;
  ok = (read_r8(line, pos, lon) == STATUS_OK) && ok;
  ok = (read_r8(line, pos, lat) == STATUS_OK) && ok;
  if (!ok) return;
  Projection& pr = ctx.proj;
  pr.zone = zone;
  pr.lon = lon;
  pr.lat = lat;
  ctx.console << "Setting UTM zone and origin (lon,lat): " << ' ' << fmt_i(zone, 5) << ' '
              << fmt_f(lon, 14, 8) << ' ' << fmt_f(lat, 14, 8) << ' ' << '\n';
  pr.cmer = static_cast<double>(static_cast<std::int64_t>(zone) * 6 + 180 - 3);
  if (pr.cmer >= 360.0) pr.cmer -= 360.0;
  utm(lat, lon, pr.x0, pr.y0, pr.cmer);
  ctx.console << "UTM origin (x0,y0)(m): " << ' ' << fmt_f(pr.x0, 14, 1) << ' '
              << fmt_f(pr.y0, 14, 1) << ' ' << '\n';
}

void e_card(RunContext& ctx, const std::string& line) {
  if (ctx.look.vcard_set) {
    ctx.console << " READ_CALC_POINTS: conflicting E and V cards.\n";
    throw Stop("READ_CALC_POINTS: conflicting E and V cards.");
  }
  int pos = 2;
  double v[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  bool ok = true;
  for (double& x : v) ok = (read_r8(line, pos, x) == STATUS_OK) && ok;
  if (!ok) return;
  ctx.console << "Setting near-range edge of image (lon1,lat1),(lon2,lat2): " << ' ';
  for (int k = 0; k < 4; ++k) ctx.console << fmt_f(v[k], 14, 8) << ' ';
  ctx.console << '\n';
  double e = 0.0;
  double n = 0.0;
  LookGeometry& look = ctx.look;
  utm(v[1], v[0], e, n, ctx.proj.cmer);
  look.x1 = (e - ctx.proj.x0) / 1000.0;
  look.y1 = (n - ctx.proj.y0) / 1000.0;
  utm(v[3], v[2], e, n, ctx.proj.cmer);
  look.x2 = (e - ctx.proj.x0) / 1000.0;
  look.y2 = (n - ctx.proj.y0) / 1000.0;
  ctx.console << "Setting near-range edge of image (x1,y1),(x2,y2): " << ' ';
  for (const double c : {look.x1, look.y1, look.x2, look.y2}) ctx.console << fmt_f(c, 14, 1) << ' ';
  ctx.console << '\n';
}

void v_card(RunContext& ctx, const std::string& line) {
  int pos = 2;
  bool ok = true;
  // Each component replaces the stored one as soon as it is read.
  for (double& c : ctx.look.plook) ok = (read_r8(line, pos, c) == STATUS_OK) && ok;
  double fourth = 0.0;
  ok = (read_r8(line, pos, fourth) == STATUS_OK) && ok;
  if (std::fabs(length3(ctx.look.plook) - 1.0) > 0.001) {
    ctx.console << "WARNING: V-CARD not a unit vector! " << vector_fields(ctx.look.plook) << '\n';
  }
  if (ok) ctx.look.vcard_set = true;
}

void f_card(RunContext& ctx, const std::string& line) {
  int pos = 3;
  std::string name;
  double number = 0.0;
  bool ok = read_ch(line, pos, name, kBinaryNameLength) == STATUS_OK;
  ok = (read_r8(line, pos, number) == STATUS_OK) && ok;
  if (!ok) return;
  if (ctx.settings.has("residual")) {
    ctx.console << " Cannot read binary file with with option: " << ctx.settings.option << '\n';
    throw Stop("Binary file problem");
  }
  ctx.console << " Do not need input binary file with option: " << ctx.settings.option << '\n';
}

}  // namespace

void process_point(RunContext& ctx) {
  const Settings& s = ctx.settings;
  if (s.has("partial")) form_all_part(ctx);
  else if (s.has("analytic")) form_all_part2(ctx);
  else if (s.has("strain")) form_strain(ctx);
  else form_range(ctx, ctx.point.drobs);
  ctx.counters.extend(ctx.point.xpt, ctx.point.ypt);
}

std::int32_t read_calc_points(RunContext& ctx, std::istream& in) {
  ctx.counters = Counters{};
  std::string record;
  while (read_record(in, record)) {
    const std::string line = make_card(record, kLineLength);
    switch (line[0]) {
      case ' ': data_line(ctx, line); break;
      case 'Z': z_card(ctx, line); break;
      case 'E': e_card(ctx, line); break;
      case 'V': v_card(ctx, line); break;
      case 'F': f_card(ctx, line); break;
      case 'G':
      case 'M':
      case 'U':
      case 'S': grid_card(ctx, line, in); break;
      default: break;  // comments, and D lines not right after a U/S card
    }
  }
  const Counters& c = ctx.counters;
  ctx.console << " sxmin = " << fmt_free(c.sxmin) << '\n'
              << " sxmax = " << fmt_free(c.sxmax) << '\n'
              << " symin = " << fmt_free(c.symin) << '\n'
              << " symax = " << fmt_free(c.symax) << '\n';
  return c.npts;
}

}  // namespace vadrel
