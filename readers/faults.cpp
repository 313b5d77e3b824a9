#include "readers/faults.hpp"

#include <array>
#include <ostream>
#include <string_view>

#include "core/fixed_format.hpp"
#include "core/stop.hpp"
#include "readers/cardline.hpp"

namespace vadrel {

namespace {

constexpr std::size_t kLineLength = 128;
constexpr std::size_t kNameLength = 16;

// Option keywords that switch on the marker bookkeeping of segment names.
constexpr std::array<std::string_view, 16> kMarkerWords = {
    "BOTT", "bott", "smbt", "SIMP", "SMOO", "SMBT", "st+b", "ST+B",
    "ct+b", "CT+B", "surf", "SURF", "smrf", "SMRF", "test", "TEST"};

void report_bad_line(std::string_view line, std::ostream& console) {
  console << " Error reading line: " << line.substr(0, nblen(line)) << '\n';
  ferror(0, console);
}

// Reads the 14 fields of a segment line; false when any field is missing or
// unreadable.
bool parse_segment(std::string_view line, Segment& s) {
  int pos = 1;
  bool ok = true;
  auto r8 = [&](double& v) { ok = (read_r8(line, pos, v) == STATUS_OK) && ok; };
  r8(s.X);
  r8(s.Y);
  r8(s.strike);
  ok = (read_i4(line, pos, s.flag) == STATUS_OK) && ok;
  r8(s.depth);
  r8(s.dip);
  r8(s.lambda);
  r8(s.mu);
  r8(s.U1);
  r8(s.U2);
  r8(s.U3);
  r8(s.L);
  r8(s.W);
  ok = (read_ch(line, pos, s.name, kNameLength) == STATUS_OK) && ok;
  return ok;
}

bool parse_ramp(std::string_view line, Ramp& ramp) {
  int pos = 2;
  Ramp r;
  bool ok = read_r8(line, pos, r.a) == STATUS_OK;
  ok = (read_r8(line, pos, r.b) == STATUS_OK) && ok;
  ok = (read_r8(line, pos, r.c) == STATUS_OK) && ok;
  if (ok) ramp = r;
  return ok;
}

}  // namespace

std::string fault_listing_row(const FaultModel& model, std::size_t k) {
  const Segment& s = model.segments[k - 1];
  auto entry = [k](const std::vector<std::int32_t>& list) -> std::int64_t {
    return k <= list.size() ? list[k - 1] : 0;
  };
  std::string row;
  row += fmt_f(s.X, 10, 4) + ' ' + fmt_f(s.Y, 10, 4) + ' ' + fmt_f(s.strike, 10, 4) + ' ';
  row += fmt_i(s.flag, 1) + ' ';
  for (const double v : {s.depth, s.dip, s.lambda, s.mu}) row += fmt_f(v, 6, 1) + ' ';
  for (const double v : {s.U1, s.U2, s.U3, s.L}) row += fmt_f(v, 8, 1) + ' ';
  row += fmt_f(s.W, 6, 1);
  row += "  ";
  row += fmt_a(std::string_view(s.name).substr(0, 10), 10);
  row += fmt_i(entry(model.plus_list), 4) + fmt_i(entry(model.minus_list), 4) + fmt_i(0, 4) +
         fmt_i(static_cast<std::int64_t>(k), 4);
  return row;
}

std::int32_t read_faults(RunContext& ctx, LineReader& in) {
  FaultModel& model = ctx.faults;
  model = FaultModel{};
  bool markers = false;
  for (const auto word : kMarkerWords) markers = markers || ctx.settings.has(word);

  std::string_view record;
  while (in.next(record)) {
    const std::string_view line = record.substr(0, kLineLength);
    const char column1 = line.empty() ? ' ' : line[0];
    if (column1 == ' ') {
      Segment s;
      if (!parse_segment(line, s)) {
        report_bad_line(line, ctx.console);
        continue;
      }
      if (markers) {
        const auto number = model.nseg() + 1;
        if (s.name.find('+') != std::string::npos) model.plus_list.push_back(number);
        if (s.name.find('-') != std::string::npos) model.minus_list.push_back(number);
        if (s.name.find_first_of("[]") != std::string::npos) model.minus_list.push_back(number);
      }
      model.add(s);
    } else if (column1 == 'P') {
      if (!parse_ramp(line, model.ramp)) report_bad_line(line, ctx.console);
    }
  }

  if (model.nseg() == 0) {
    ctx.console << " READ_FAULTS: no faults read in!\n";
    throw Stop("READ_FAULTS: no faults read in!");
  }
  if (ctx.settings.has("test")) {
    ctx.console << " INPUT FAULTS\n";
    for (std::size_t k = 1; k <= model.segments.size(); ++k) {
      ctx.console << fault_listing_row(model, k) << '\n';
    }
  }
  return model.nseg();
}

}  // namespace vadrel
