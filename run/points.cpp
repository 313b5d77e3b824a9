#include "run/points.hpp"

#include <cmath>
#include <cstdint>
#include <ostream>
#include <span>
#include <string>

#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "readers/cardline.hpp"
#include "readers/point_cards.hpp"
#include "readers/utm.hpp"
#include "run/grids.hpp"
#include "run/output.hpp"
#include "run/pipeline.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kLineLength = kPointsLineLength;

double length3(const Vec3& v) { return std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]); }

std::string vector_fields(const Vec3& v) {
  std::string s;
  for (const double c : v) s += fmt_f(c, 14, 6) + ' ';
  return s + fmt_f(length3(v), 14, 6) + ' ';
}

// A card or data line that cannot be read: reported, then ignored.
void report_bad_line(RunContext& ctx, std::string_view line) {
  line = line.substr(0, kLineLength);
  ctx.console << " Error reading line : " << line.substr(0, nblen(line)) << '\n';
}

void z_card(RunContext& ctx, std::string_view line) {
  ZCard card;
  if (!parse_z_card(line, card)) {
    report_bad_line(ctx, line);
    return;
  }
  Projection& pr = ctx.proj;
  pr.zone = card.zone;
  pr.lon = card.lon;
  pr.lat = card.lat;
  ctx.console << "Setting UTM zone and origin (lon,lat): " << ' ' << fmt_i(card.zone, 5) << ' '
              << fmt_f(card.lon, 14, 8) << ' ' << fmt_f(card.lat, 14, 8) << ' ' << '\n';
  pr.cmer = static_cast<double>(static_cast<std::int64_t>(card.zone) * 6 + 180 - 3);
  if (pr.cmer >= 360.0) pr.cmer -= 360.0;
  utm(card.lat, card.lon, pr.x0, pr.y0, pr.cmer);
  ctx.console << "UTM origin (x0,y0)(m): " << ' ' << fmt_f(pr.x0, 14, 1) << ' '
              << fmt_f(pr.y0, 14, 1) << ' ' << '\n';
}

void e_card(RunContext& ctx, std::string_view line) {
  if (ctx.look.vcard_set) {
    ctx.console << " READ_CALC_POINTS: conflicting E and V cards.\n";
    throw Stop("READ_CALC_POINTS: conflicting E and V cards.");
  }
  ECard card;
  if (!parse_e_card(line, card)) {
    report_bad_line(ctx, line);
    return;
  }
  ctx.console << "Setting near-range edge of image (lon1,lat1),(lon2,lat2): " << ' ';
  for (const double v : {card.lon1, card.lat1, card.lon2, card.lat2}) ctx.console << fmt_f(v, 14, 8) << ' ';
  ctx.console << '\n';
  double e = 0.0;
  double n = 0.0;
  LookGeometry& look = ctx.look;
  utm(card.lat1, card.lon1, e, n, ctx.proj.cmer);
  look.x1 = (e - ctx.proj.x0) / 1000.0;
  look.y1 = (n - ctx.proj.y0) / 1000.0;
  utm(card.lat2, card.lon2, e, n, ctx.proj.cmer);
  look.x2 = (e - ctx.proj.x0) / 1000.0;
  look.y2 = (n - ctx.proj.y0) / 1000.0;
  look.edge_set = true;
  ctx.console << "Setting near-range edge of image (x1,y1),(x2,y2): " << ' ';
  for (const double c : {look.x1, look.y1, look.x2, look.y2}) ctx.console << fmt_f(c, 14, 1) << ' ';
  ctx.console << '\n';
}

void v_card(RunContext& ctx, std::string_view line) {
  const bool ok = parse_v_card(line, ctx.look.plook);
  if (!ok) report_bad_line(ctx, line);
  if (std::fabs(length3(ctx.look.plook) - 1.0) > 0.001) {
    ctx.console << "WARNING: V-CARD not a unit vector! " << vector_fields(ctx.look.plook) << '\n';
  }
  if (ok) ctx.look.vcard_set = true;
}

void f_card(RunContext& ctx, std::string_view line) {
  if (!parse_f_card(line)) return;
  if (ctx.settings.has("residual")) {
    ctx.console << " Cannot read binary file with with option: " << ctx.settings.option << '\n';
    throw Stop("Binary file problem");
  }
  ctx.console << " Do not need input binary file with option: " << ctx.settings.option << '\n';
}

// Hands a batch of data and comment lines to the pipeline: the threads parse
// and compute them; the records are written here in order (a bad data line
// is reported in its place, a comment is passed over).
void data_lines(RunContext& ctx, PointPipeline& pipeline, const DataLines& lines) {
  const RecordKind kind = data_line_kind(ctx.settings);
  const bool residual = ctx.settings.has("residual");
  pipeline.submit_chunks(
      lines.size(),
      [&lines, residual](std::size_t i, PointIn& p) {
        const std::string_view line = lines[i];
        return column1(line) == ' ' && parse_data_line(line, residual, p);
      },
      [&ctx, &lines, kind](std::size_t first, std::span<const std::uint8_t> made, std::span<const PointIn> points,
                           const RecordChunk& records) {
        Counters& count = ctx.counters;
        std::size_t k = 0;        // the next point made
        std::size_t written = 0;  // records written so far
        auto write_to = [&](std::size_t upto) {
          if (upto > written) write_records(ctx, records, written, upto, kind);
          written = upto;
        };
        for (std::size_t j = 0; j < made.size(); ++j) {
          if (made[j] == 0) {
            const std::string_view line = lines[first + j];
            if (column1(line) == ' ') report_bad_line(ctx, line);
            continue;
          }
          const PointIn& p = points[k];
          // (An E card's edge gives every point its own look vector.)
          if (++count.npts == 1 && std::fabs(length3(ctx.look.plook) - 1.0) > 0.001 &&
              (ctx.look.vcard_set || !ctx.look.edge_set)) {
            ctx.console << "WARNING: V-CARD missing or not a unit vector! " << vector_fields(ctx.look.plook)
                        << '\n';
          }
          if (records.shifted[k] != 0) {
            // Written on its own, after the warning that goes with it.
            write_to(k);
            write_point_record(ctx, records, k, kind, p);
            written = k + 1;
          }
          count.extend(p.x, p.y);
          ++k;
        }
        write_to(k);
        if (k > 0) {
          const PointIn& last = points[k - 1];
          ctx.point.xpt = last.x;
          ctx.point.ypt = last.y;
          ctx.point.drobs = last.drobs;
          ctx.point.ptname.assign(last.label.data(), last.label.size());
        }
      });
}

}  // namespace

std::int32_t read_calc_points(RunContext& ctx, LineReader& in) {
  ctx.counters = Counters{};
  // Batches of data lines: one is read while the threads compute others
  // (see PointPipeline).
  DataLines batches[kPipelineBatches];
  int fill = 0;
  PointPipeline pipeline(ctx, data_line_kind(ctx.settings));
  std::string_view block;
  std::string_view line;
  while (in.records(block)) {
    // Whole records from the reader's buffer: a stretch of data and comment
    // lines goes to the threads as it stands (nothing in it changes the
    // state the points are computed with); a card is read on its own.
    DataLines& batch = batches[fill];
    if (!block.empty()) {
      const std::size_t taken = batch.take(block, pipeline.batch_points());
      if (taken > 0) {
        in.consume(taken);
        data_lines(ctx, pipeline, batch);
        fill = (fill + 1) % kPipelineBatches;
        continue;
      }
    }
    if (!in.next(line)) break;
    line = line.substr(0, kLineLength + 1);
    const char c = column1(line);
    if (!is_points_card(c)) {
      batch.take_one(line);
      data_lines(ctx, pipeline, batch);
      fill = (fill + 1) % kPipelineBatches;
      continue;
    }
    // A card changes what later points are computed with: every point
    // before it is written first.
    pipeline.drain();
    switch (c) {
      case 'Z': z_card(ctx, line); break;
      case 'E': e_card(ctx, line); break;
      case 'V': v_card(ctx, line); break;
      case 'F': f_card(ctx, line); break;
      default: grid_card(ctx, line, in); break;  // G, M, U, S
    }
  }
  pipeline.drain();
  if (in.failed()) stop_on_read_failure(ctx.console, ctx.settings.points_file, in, "Could not read points file.");
  const Counters& c = ctx.counters;
  ctx.console << " sxmin = " << fmt_free(c.sxmin) << '\n'
              << " sxmax = " << fmt_free(c.sxmax) << '\n'
              << " symin = " << fmt_free(c.symin) << '\n'
              << " symax = " << fmt_free(c.symax) << '\n';
  return c.npts;
}

}  // namespace vadrel
