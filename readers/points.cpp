#include "readers/points.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <istream>
#include <ostream>
#include <span>
#include <string>
#include <vector>

#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "writers/batch.hpp"
#include "readers/cardline.hpp"
#include "readers/grid_uplift.hpp"
#include "readers/utm.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kLineLength = 132;  // the card width; the rest of a line is not read
constexpr std::size_t kBinaryNameLength = 80;
constexpr std::size_t kLabelLength = 8;

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
  std::int32_t zone = 0;
  double lon = 0.0;
  double lat = 0.0;
  CardFields f(line, kLineLength, 2);
  f.i4(zone).r8(lon).r8(lat);
  // A zone outside 1..60 or a latitude beyond the poles is no projection.
  if (!f.ok() || zone < 1 || zone > 60 || !(std::fabs(lat) <= 90.0)) {
    report_bad_line(ctx, line);
    return;
  }
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

void e_card(RunContext& ctx, std::string_view line) {
  if (ctx.look.vcard_set) {
    ctx.console << " READ_CALC_POINTS: conflicting E and V cards.\n";
    throw Stop("READ_CALC_POINTS: conflicting E and V cards.");
  }
  double v[5] = {0.0, 0.0, 0.0, 0.0, 0.0};
  CardFields f(line, kLineLength, 2);
  for (double& x : v) f.r8(x);
  if (!f.ok() || !(std::fabs(v[1]) <= 90.0) || !(std::fabs(v[3]) <= 90.0)) {
    report_bad_line(ctx, line);
    return;
  }
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
  look.edge_set = true;
  ctx.console << "Setting near-range edge of image (x1,y1),(x2,y2): " << ' ';
  for (const double c : {look.x1, look.y1, look.x2, look.y2}) ctx.console << fmt_f(c, 14, 1) << ' ';
  ctx.console << '\n';
}

void v_card(RunContext& ctx, std::string_view line) {
  // Each component replaces the stored one as soon as it is read, even on a
  // card that turns out bad.
  CardFields f(line, kLineLength, 2);
  for (double& c : ctx.look.plook) f.r8(c);
  double fourth = 0.0;
  f.r8(fourth);
  if (!f.ok()) report_bad_line(ctx, line);
  if (std::fabs(length3(ctx.look.plook) - 1.0) > 0.001) {
    ctx.console << "WARNING: V-CARD not a unit vector! " << vector_fields(ctx.look.plook) << '\n';
  }
  if (f.ok()) ctx.look.vcard_set = true;
}

void f_card(RunContext& ctx, std::string_view line) {
  std::string name;
  double number = 0.0;
  CardFields f(line, kLineLength, 3);
  f.ch(name, kBinaryNameLength).r8(number);
  if (!f.ok()) return;
  if (ctx.settings.has("residual")) {
    ctx.console << " Cannot read binary file with with option: " << ctx.settings.option << '\n';
    throw Stop("Binary file problem");
  }
  ctx.console << " Do not need input binary file with option: " << ctx.settings.option << '\n';
}

// Column 1 of a record; an empty record counts as blank.
char column1(std::string_view line) { return line.empty() ? ' ' : line[0]; }

bool is_card(char c) {
  switch (c) {
    case 'Z': case 'E': case 'V': case 'F': case 'G': case 'M': case 'U': case 'S': return true;
    default: return false;
  }
}

// Reads x, y, the observation (with "residual") and the label of a data
// line; false when a needed field is missing or unreadable.
bool parse_data_line(std::string_view line, bool residual, PointIn& p) {
  CardFields f(line, kLineLength, 1);
  f.r8(p.x).r8(p.y);
  if (residual) f.r8(p.drobs);
  std::string_view label;
  if (f.optional(label)) {
    const std::size_t n = std::min(label.size(), kLabelLength);
    std::copy_n(label.data(), n, p.label.data());
  }
  return f.ok();
}

// A stretch of the points file without cards (data and comment lines), its
// text kept whole until the batch is written.
class DataLines {
 public:
  // Takes whole records from the start of `block` (as LineReader::records
  // gives them), up to `most` and before the first card; returns the
  // characters taken.
  std::size_t take(std::string_view block, std::size_t most) {
    clear();
    const std::size_t n = split_records(block, most, is_card, first_, end_);
    text_.assign(block.data(), n);
    return n;
  }
  // One record on its own (one that LineReader::records cannot give).
  void take_one(std::string_view line) {
    clear();
    text_.assign(line);
    first_.push_back(0);
    end_.push_back(static_cast<std::uint32_t>(line.size()));
  }
  std::size_t size() const { return end_.size(); }
  // Record i, cut to the card width and one column more (to tell a field
  // cut by the width).
  std::string_view operator[](std::size_t i) const {
    return std::string_view(text_).substr(first_[i], std::min<std::size_t>(end_[i] - first_[i], kLineLength + 1));
  }

 private:
  void clear() {
    text_.clear();
    first_.clear();
    end_.clear();
  }
  std::string text_;
  std::vector<std::uint32_t> first_;
  std::vector<std::uint32_t> end_;
};

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
    if (!is_card(c)) {
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
