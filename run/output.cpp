#include "run/output.hpp"

#include <cerrno>
#include <ostream>
#include <string>

#include "core/fixed_format.hpp"
#include "core/syserr.hpp"

namespace vadrel {

RecordKind data_line_kind(const Settings& s) {
  if (s.has("partial")) return RecordKind::Partial;
  if (s.has("analytic")) return RecordKind::Analytic;
  if (s.has("strain")) return RecordKind::Strain;
  return grid_point_kind(s);
}

RecordKind grid_point_kind(const Settings& s) {
  if (s.has("residual")) return RecordKind::Residual;
  if (s.has("vector")) return RecordKind::Vector;
  return RecordKind::Range;
}

void warn_nonfinite(RunContext& ctx, double x, double y) {
  ++ctx.counters.moved;
  const bool on_trace = on_some_surface_trace(ctx.faults, x, y);
  bool& warned = on_trace ? ctx.nonfinite_warned : ctx.overflow_warned;
  if (warned) return;
  warned = true;
  if (on_trace) {
    ctx.console << " WARNING: point " << fmt_free(x) << ' ' << fmt_free(y)
                << " lies on a patch corner or surface trace where the displacement jumps;"
                   " values there are taken 1 mm away (reported once)\n";
  } else {
    ctx.console << " WARNING: point " << fmt_free(x) << ' ' << fmt_free(y)
                << " has no finite value in the model (numbers too large for it);"
                   " values there are taken 1 mm away, or 0 where none is finite (reported once)\n";
  }
}

void write_record(RunContext& ctx, std::string_view text, const char* routine) {
  if (ctx.print.write(text)) return;
  const int err = errno;
  stop_on_system_error(ctx.console, err, ' ' + std::string(routine) + ": Write problem, ios = " + std::to_string(err),
                       std::string(routine) + ": Write problem");
}

void write_point_record(RunContext& ctx, const RecordChunk& chunk, std::size_t i, RecordKind kind,
                        const PointIn& point) {
  if (chunk.shifted[i] != 0) warn_nonfinite(ctx, point.x, point.y);
  write_record(ctx, chunk.record(i), record_routine(kind));
}

void write_records(RunContext& ctx, const RecordChunk& chunk, std::size_t from, std::size_t to,
                   RecordKind kind) {
  const std::size_t first = from == 0 ? 0 : chunk.end[from - 1];
  write_record(ctx, chunk.text.view().substr(first, chunk.end[to - 1] - first), record_routine(kind));
}

void keep_last_look(RunContext& ctx, RecordKind kind, const PointIn& last) {
  if (!ctx.look.vcard_set && derives_look(kind)) ctx.look.plook = derived_plook(ctx.look, last.x, last.y);
}

}  // namespace vadrel
