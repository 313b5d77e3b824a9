#include "writers/batch.hpp"

namespace vadrel {

PointPipeline::PointPipeline(RunContext& ctx, RecordKind kind) : ctx_(ctx), kind_(kind) {
  for (Batch& b : batches_) b.task = [this, &b](std::size_t c) { compute_chunk(b, c); };
}

PointPipeline::~PointPipeline() {
  if (!ctx_.workers.running()) return;
  try {
    ctx_.workers.finish();
  } catch (...) {
    // The run is already ending with the error that got us here.
  }
}

void PointPipeline::compute_chunk(Batch& b, std::size_t c) {
  ChunkWork& w = b.chunks[c];
  const std::size_t begin = c * kChunkPoints;
  const std::size_t end = std::min(begin + kChunkPoints, b.n);
  w.points.clear();
  w.made.assign(end - begin, 0);
  PointIn p;
  for (std::size_t i = begin; i < end; ++i) {
    p = PointIn{};
    if (b.make(i, p)) {
      w.made[i - begin] = 1;
      w.points.push_back(p);
    }
  }
  compute_records(ctx_.faults, b.look, ctx_.faults.ramp, kind_, w.points, w.records);
}

void PointPipeline::write(Batch& b) {
  const PointIn none{};
  const PointIn* last = nullptr;
  const std::size_t chunks = (b.n + kChunkPoints - 1) / kChunkPoints;
  for (std::size_t c = 0; c < chunks; ++c) {
    const ChunkWork& w = b.chunks[c];
    const std::size_t begin = c * kChunkPoints;
    std::size_t k = 0;
    for (std::size_t j = 0; j < w.made.size(); ++j) {
      if (w.made[j] != 0) {
        b.emit(begin + j, true, w.records, k, w.points[k]);
        ++k;
      } else {
        b.emit(begin + j, false, w.records, 0, none);
      }
    }
    if (!w.points.empty()) last = &w.points.back();
  }
  if (last != nullptr) keep_last_look(ctx_, kind_, *last);
}

void PointPipeline::submit(std::size_t n, MakePoint make, EmitPoint emit) {
  Batch& b = batches_[free_];
  b.n = n;
  b.make = std::move(make);
  b.emit = std::move(emit);
  b.look = ctx_.look;
  const int previous = computing_;
  if (previous >= 0) ctx_.workers.finish();
  ctx_.workers.start((n + kChunkPoints - 1) / kChunkPoints, b.task);
  computing_ = free_;
  free_ = 1 - free_;
  if (previous >= 0) write(batches_[previous]);
}

void PointPipeline::drain() {
  if (computing_ < 0) return;
  ctx_.workers.finish();
  const int done = computing_;
  computing_ = -1;
  write(batches_[done]);
}

void for_points(RunContext& ctx, RecordKind kind, std::size_t n, const MakePoint& make, const EmitPoint& emit) {
  PointPipeline pipeline(ctx, kind);
  for (std::size_t first = 0; first < n; first += kBatchPoints) {
    pipeline.submit(
        std::min(kBatchPoints, n - first), [&make, first](std::size_t i, PointIn& p) { return make(first + i, p); },
        [&emit, first](std::size_t i, bool made, const RecordChunk& r, std::size_t k, const PointIn& p) {
          emit(first + i, made, r, k, p);
        });
  }
  pipeline.drain();
}

}  // namespace vadrel
