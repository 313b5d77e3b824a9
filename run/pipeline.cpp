#include "run/pipeline.hpp"

#include "run/output.hpp"

namespace vadrel {

namespace {

// Points per chunk for records of this kind: kChunkPoints, or half of it for
// the derivative records; a batch is kBatchChunks chunks.
std::size_t chunk_points(RecordKind kind) {
  return kind == RecordKind::Partial || kind == RecordKind::Analytic ? kChunkPoints / 2 : kChunkPoints;
}

}  // namespace

PointPipeline::PointPipeline(RunContext& ctx, RecordKind kind)
    : ctx_(ctx), kind_(kind), chunk_points_(chunk_points(kind)) {
  for (Batch& b : batches_) b.task = [this, &b](std::size_t c) { compute_chunk(b, c); };
}

PointPipeline::~PointPipeline() {
  for (; pending_ > 0; --pending_) {
    try {
      ctx_.workers.finish();
    } catch (...) {
      // The run is already ending with the error that got us here.
    }
  }
}

void PointPipeline::compute_chunk(Batch& b, std::size_t c) {
  ChunkWork& w = b.chunks[c];
  const std::size_t begin = c * chunk_points_;
  const std::size_t end = std::min(begin + chunk_points_, b.n);
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
  RecordChunk& r = w.records;
  r.side.clear();
  r.side_end.clear();
  if (b.side) {
    std::size_t k = 0;
    for (std::size_t i = begin; i < end; ++i) {
      if (w.made[i - begin] == 0) continue;
      b.side(i, r, k++, r.side);
      r.side_end.push_back(static_cast<std::uint32_t>(r.side.size()));
    }
  }
}

void PointPipeline::write(Batch& b) {
  const PointIn none{};
  const PointIn* last = nullptr;
  const std::size_t chunks = (b.n + chunk_points_ - 1) / chunk_points_;
  for (std::size_t c = 0; c < chunks; ++c) {
    const ChunkWork& w = b.chunks[c];
    const std::size_t begin = c * chunk_points_;
    if (!w.points.empty()) last = &w.points.back();
    if (b.emit_chunk) {
      b.emit_chunk(begin, w.made, w.points, w.records);
      continue;
    }
    std::size_t k = 0;
    for (std::size_t j = 0; j < w.made.size(); ++j) {
      if (w.made[j] != 0) {
        b.emit(begin + j, true, w.records, k, w.points[k]);
        ++k;
      } else {
        b.emit(begin + j, false, w.records, 0, none);
      }
    }
  }
  if (last != nullptr) keep_last_look(ctx_, kind_, *last);
}

void PointPipeline::submit(std::size_t n, MakePoint make, EmitPoint emit, SideText side) {
  start(n, std::move(make), std::move(emit), nullptr, std::move(side));
}

void PointPipeline::submit_chunks(std::size_t n, MakePoint make, EmitChunk emit) {
  start(n, std::move(make), nullptr, std::move(emit), nullptr);
}

void PointPipeline::start(std::size_t n, MakePoint make, EmitPoint emit, EmitChunk emit_chunk, SideText side) {
  Batch* done = nullptr;
  if (pending_ == kPipelineBatches - 1) {
    // The oldest batch is written once it is computed, while the others
    // (this one too) compute.
    ctx_.workers.finish();
    done = &batches_[oldest_];
    oldest_ = (oldest_ + 1) % kPipelineBatches;
    --pending_;
  }
  Batch& b = batches_[free_];
  b.n = n;
  b.make = std::move(make);
  b.emit = std::move(emit);
  b.emit_chunk = std::move(emit_chunk);
  b.side = std::move(side);
  b.look = ctx_.look;
  ctx_.workers.start((n + chunk_points_ - 1) / chunk_points_, b.task);
  free_ = (free_ + 1) % kPipelineBatches;
  ++pending_;
  if (done != nullptr) write(*done);
}

void PointPipeline::drain() {
  while (pending_ > 0) {
    ctx_.workers.finish();
    Batch& done = batches_[oldest_];
    oldest_ = (oldest_ + 1) % kPipelineBatches;
    --pending_;
    write(done);
  }
}

void for_points(RunContext& ctx, RecordKind kind, std::size_t n, const MakePoint& make, const EmitPoint& emit,
                const SideText& side) {
  PointPipeline pipeline(ctx, kind);
  const std::size_t per_batch = pipeline.batch_points();
  for (std::size_t first = 0; first < n; first += per_batch) {
    pipeline.submit(
        std::min(per_batch, n - first), [&make, first](std::size_t i, PointIn& p) { return make(first + i, p); },
        [&emit, first](std::size_t i, bool made, const RecordChunk& r, std::size_t k, const PointIn& p) {
          emit(first + i, made, r, k, p);
        },
        side ? SideText([&side, first](std::size_t i, const RecordChunk& r, std::size_t k, TextBuffer& t) {
          side(first + i, r, k, t);
        })
             : SideText());
  }
  pipeline.drain();
}

}  // namespace vadrel
