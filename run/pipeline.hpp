#pragma once
// Points computed in batches over the run's threads and written in order.
//
// A batch of items (data lines, grid nodes, grid cells) is cut into chunks;
// the threads compute whole chunks: make each item's point, compute its
// record.  Up to two batches are computed at a time while the calling thread
// writes the one before them (every point of every chunk in the original
// order, with the console lines that go with it) and prepares the next, so
// reading, writing and computing overlap and no thread waits at the end of a
// batch.  Nothing a thread computes depends on which thread computes it, so
// the output does not depend on the number of threads.  Memory is three
// batches, whatever the number of points; the batches of the long derivative
// records (about 250 characters a point) hold half as many points.
#include <algorithm>
#include <cstddef>
#include <functional>
#include <span>
#include <vector>

#include "model/ground_point.hpp"
#include "run/context.hpp"
#include "writers/records.hpp"

namespace vadrel {

inline constexpr std::size_t kChunkPoints = 512;
inline constexpr std::size_t kBatchChunks = 4;
// Batches in the pipeline: being written (or read), and two being computed;
// a caller that keeps the items of a batch keeps this many.
inline constexpr int kPipelineBatches = 3;
inline constexpr std::size_t kBatchPoints = kChunkPoints * kBatchChunks;

// make(i, point) -> bool says whether item i of the batch is a point (and
// fills it); it runs on any thread and may only read what stays unchanged
// until the batch is written.
using MakePoint = std::function<bool(std::size_t, PointIn&)>;
// emit(i, made, records, k, point) runs on the calling thread, item by item
// in order; when `made`, record k of `records` is the item's.
using EmitPoint = std::function<void(std::size_t, bool, const RecordChunk&, std::size_t, const PointIn&)>;
// emit_chunk(first, made, points, records) runs on the calling thread, chunk
// by chunk in order, for items first, first + 1, ...: made[j] says whether
// item first + j made a point; `points` are the points made, in order, and
// `records` their records.
using EmitChunk = std::function<void(std::size_t, std::span<const std::uint8_t>, std::span<const PointIn>,
                                     const RecordChunk&)>;
// side(i, records, k, text) runs on the computing thread after the records
// of a chunk are computed, for every item i that made point k: it appends
// text of its own (read back with records.side_text(k)).
using SideText = std::function<void(std::size_t, const RecordChunk&, std::size_t, TextBuffer&)>;

class PointPipeline {
 public:
  PointPipeline(RunContext& ctx, RecordKind kind);
  // Waits for a batch still being computed (after a stop), writing nothing.
  ~PointPipeline();
  PointPipeline(const PointPipeline&) = delete;
  PointPipeline& operator=(const PointPipeline&) = delete;

  // Items per batch: at most kBatchPoints.
  std::size_t batch_points() const { return chunk_points_ * kBatchChunks; }

  // Hands over a batch of n items (at most batch_points()) and writes the
  // oldest batch still computing when two already are.  What `make` and
  // `emit` read for this batch must stay as it is until the batch is
  // written: until kPipelineBatches - 1 more submit() calls, or drain(),
  // have returned.
  void submit(std::size_t n, MakePoint make, EmitPoint emit, SideText side = nullptr);
  // The same with the items written a chunk at a time.
  void submit_chunks(std::size_t n, MakePoint make, EmitChunk emit);

  // Computes and writes everything handed over.  Call before the state the
  // points are computed with changes (a card), and at the end.
  void drain();

 private:
  struct ChunkWork {
    std::vector<PointIn> points;     // the points made
    std::vector<std::uint8_t> made;  // per item: 1 when it made a point
    RecordChunk records;
  };
  struct Batch {
    std::size_t n = 0;
    MakePoint make;
    EmitPoint emit;
    EmitChunk emit_chunk;
    SideText side;
    LookGeometry look;  // as it was when the batch was handed over
    std::vector<ChunkWork> chunks{kBatchChunks};
    std::function<void(std::size_t)> task;
  };

  void compute_chunk(Batch& b, std::size_t c);
  void write(Batch& b);
  void start(std::size_t n, MakePoint make, EmitPoint emit, EmitChunk emit_chunk, SideText side);

  RunContext& ctx_;
  RecordKind kind_;
  std::size_t chunk_points_;
  Batch batches_[kPipelineBatches];
  int oldest_ = 0;   // the oldest batch computing
  int pending_ = 0;  // batches computing
  int free_ = 0;     // the batch the next submit() fills
};

// Computes and writes items 0..n-1 in batches.
void for_points(RunContext& ctx, RecordKind kind, std::size_t n, const MakePoint& make, const EmitPoint& emit,
                const SideText& side = nullptr);

}  // namespace vadrel
