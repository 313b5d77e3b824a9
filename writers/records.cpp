#include "writers/records.hpp"

#include "writers/partials.hpp"
#include "writers/range.hpp"
#include "writers/strain.hpp"

namespace vadrel {

const char* record_routine(RecordKind kind) {
  switch (kind) {
    case RecordKind::Strain: return "FORM_STRAIN";
    case RecordKind::Partial: return "FORM_ALL_PART";
    case RecordKind::Analytic: return "FORM_ALL_PART2";
    default: return "FORM_RANGE";
  }
}

bool derives_look(RecordKind kind) { return kind != RecordKind::Strain; }

void RecordChunk::reset(std::size_t n) {
  text.clear();
  end.clear();
  end.reserve(n);
  drcalc.assign(n, 0.0);
  shifted.assign(n, 0);
}

RecordText::RecordText(RecordChunk& chunk, std::size_t width) : chunk_(chunk) {
  p_ = chunk.text.extend(width + 1);
}

void RecordText::done() {
  *p_++ = '\n';
  chunk_.end.push_back(static_cast<std::uint32_t>(p_ - chunk_.text.data()));
}

void compute_records(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                     RecordKind kind, std::span<const PointIn> points, RecordChunk& out) {
  out.reset(points.size());
  switch (kind) {
    case RecordKind::Range:
    case RecordKind::Residual:
    case RecordKind::Vector: form_range(model, look, ramp, kind, points, out); break;
    case RecordKind::Strain: form_strain(model, points, out); break;
    case RecordKind::Partial: form_all_part(model, look, ramp, points, out); break;
    case RecordKind::Analytic: form_all_part2(model, look, points, out); break;
  }
}

}  // namespace vadrel
