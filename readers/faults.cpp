#include "readers/faults.hpp"

#include <array>
#include <cmath>
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
  line = line.substr(0, kLineLength);
  console << " Error reading line: " << line.substr(0, nblen(line)) << '\n';
}

// Reads the 14 fields of a segment line; false when any field is missing,
// unreadable or cut by the card width.
bool parse_segment(std::string_view line, Segment& s) {
  CardFields f(line, kLineLength, 1);
  f.r8(s.X).r8(s.Y).r8(s.strike).i4(s.flag).r8(s.depth).r8(s.dip).r8(s.lambda).r8(s.mu);
  f.r8(s.U1).r8(s.U2).r8(s.U3).r8(s.L).r8(s.W).ch(s.name, kNameLength);
  return f.ok();
}

// Beyond this size (km for lengths, mm for slips) the powers of distances
// that the patch solution and its derivatives form overflow.
constexpr double kLargest = 1e50;

// Why the model cannot be evaluated for a segment that reads cleanly, or
// nothing when it can.
const char* unevaluable(const Segment& s) {
  if (!std::isfinite(s.mu / (s.lambda + s.mu))) return "mu/(lambda+mu) is not a finite number";
  for (const double v : {s.X, s.Y, s.depth, s.L, s.W, s.U1, s.U2, s.U3}) {
    if (!(std::fabs(v) <= kLargest)) return "a value is too large for the model (beyond 1e50)";
  }
  return nullptr;
}

bool parse_ramp(std::string_view line, Ramp& ramp) {
  Ramp r;
  CardFields f(line, kLineLength, 2);
  f.r8(r.a).r8(r.b).r8(r.c);
  if (f.ok()) ramp = r;
  return f.ok();
}

// A patch whose top edge lies above the surface is no physical source, but
// stored models may hold one: it is computed as given, with a warning.
void warn_above_surface(const Segment& s, std::int32_t number, std::ostream& console) {
  const double top = s.depth - s.W * std::sin(s.dip * PI / 180.0);
  const double rounding = 1e-12 * (std::fabs(s.depth) + std::fabs(s.W) + std::fabs(s.L));
  if (!(top < -rounding)) return;
  const std::string_view name(s.name);
  console << " WARNING: segment " << number << " (" << name.substr(0, trimlen(name)) << ") has its top edge "
          << fmt_free(-top) << " km above the surface; it is computed as given\n";
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

std::int32_t read_faults(FaultModel& model, LineReader& in, std::string_view option,
                         const std::string& file_name, std::ostream& console) {
  model = FaultModel{};
  auto has = [option](std::string_view word) { return option.find(word) != std::string_view::npos; };
  bool markers = false;
  for (const auto word : kMarkerWords) markers = markers || has(word);

  std::string_view record;
  while (in.next(record)) {
    // One column beyond the width is kept to tell a field cut by it.
    const std::string_view line = record.substr(0, kLineLength + 1);
    const char column1 = line.empty() ? ' ' : line[0];
    if (column1 == ' ') {
      Segment s;
      if (!parse_segment(line, s)) {
        report_bad_line(line, console);
        continue;
      }
      if (const char* why = unevaluable(s)) {
        report_bad_line(line, console);
        console << " The model cannot be evaluated for this segment: " << why << '\n';
        continue;
      }
      warn_above_surface(s, model.nseg() + 1, console);
      if (markers) {
        const auto number = model.nseg() + 1;
        if (s.name.find('+') != std::string::npos) model.plus_list.push_back(number);
        if (s.name.find('-') != std::string::npos) model.minus_list.push_back(number);
        if (s.name.find_first_of("[]") != std::string::npos) model.minus_list.push_back(number);
      }
      model.add(s);
    } else if (column1 == 'P') {
      if (!parse_ramp(line, model.ramp)) report_bad_line(line, console);
    }
  }

  if (in.failed()) stop_on_read_failure(console, file_name, in, "Could not read faults file.");
  if (model.nseg() == 0) {
    console << " READ_FAULTS: no faults read in!\n";
    throw Stop("READ_FAULTS: no faults read in!");
  }
  if (has("test")) {
    console << " INPUT FAULTS\n";
    for (std::size_t k = 1; k <= model.segments.size(); ++k) {
      console << fault_listing_row(model, k) << '\n';
    }
  }
  return model.nseg();
}

}  // namespace vadrel
