#pragma once
// Points computed in batches over the run's threads and written in order.
//
// A batch of up to kBatchPoints points is cut into chunks; the threads
// compute whole chunks (make the point, compute its record), then the calling
// thread hands every point of every chunk, in the original order, to `emit`,
// which writes the record and the console lines that go with it.  Memory is
// one batch, whatever the number of points.
#include <algorithm>
#include <cstddef>
#include <vector>

#include "core/run_context.hpp"
#include "writers/records.hpp"

namespace vadrel {

inline constexpr std::size_t kChunkPoints = 512;
inline constexpr std::size_t kBatchChunks = 16;

struct ChunkWork {
  std::vector<PointIn> points;       // the points made
  std::vector<std::uint8_t> made;    // per item: 1 when it made a point
  RecordChunk records;
};

// The storage of one batch, kept from batch to batch.
using BatchWork = std::vector<ChunkWork>;

// For items 0..n-1: make(i, point) -> bool says whether item i is a point
// (and fills it); it runs on any thread and may only read shared state.
// emit(i, made, records, k, point) runs on the calling thread, item by item
// in order; when `made`, record k of `records` is the item's.
template <class Make, class Emit>
void for_points(RunContext& ctx, BatchWork& work, RecordKind kind, std::size_t n, Make make, Emit emit) {
  work.resize(kBatchChunks);
  const PointIn none{};
  bool any = false;
  PointIn last;
  for (std::size_t first = 0; first < n; first += kChunkPoints * kBatchChunks) {
    const std::size_t count = std::min(n - first, kChunkPoints * kBatchChunks);
    const std::size_t chunks = (count + kChunkPoints - 1) / kChunkPoints;
    ctx.workers.run(chunks, [&](std::size_t c) {
      ChunkWork& w = work[c];
      const std::size_t begin = first + c * kChunkPoints;
      const std::size_t end = std::min(begin + kChunkPoints, first + count);
      w.points.clear();
      w.made.assign(end - begin, 0);
      PointIn p;
      for (std::size_t i = begin; i < end; ++i) {
        p = PointIn{};
        if (make(i, p)) {
          w.made[i - begin] = 1;
          w.points.push_back(p);
        }
      }
      compute_records(ctx.faults, ctx.look, ctx.faults.ramp, kind, w.points, w.records);
    });
    for (std::size_t c = 0; c < chunks; ++c) {
      const ChunkWork& w = work[c];
      const std::size_t begin = first + c * kChunkPoints;
      std::size_t k = 0;
      for (std::size_t j = 0; j < w.made.size(); ++j) {
        if (w.made[j] != 0) {
          emit(begin + j, true, w.records, k, w.points[k]);
          ++k;
        } else {
          emit(begin + j, false, w.records, 0, none);
        }
      }
      if (!w.points.empty()) {
        last = w.points.back();
        any = true;
      }
    }
  }
  if (any) keep_last_look(ctx, kind, last);
}

}  // namespace vadrel
