#pragma once
// Per-point records, computed apart from writing them.
//
// Points are computed in chunks: the values of a chunk of points and the text
// of their records are formed together (the displacement by the batch
// kernel), without touching the run's state, so chunks can be spread over
// threads.  The caller then writes the chunks in their order, with the
// console messages that belong to each point.
#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/fixed_format.hpp"
#include "core/run_context.hpp"

namespace vadrel {

enum class RecordKind { Range, Residual, Vector, Strain, Partial, Analytic };

// The record of a data line: partial, then analytic, then strain, else the
// range-type record of grid_point_kind.
RecordKind data_line_kind(const Settings& settings);
// The record of a generated grid point: residual, then vector, else range.
RecordKind grid_point_kind(const Settings& settings);

// The routine named in a write-failure report.
const char* record_routine(RecordKind kind);

// True when the writer derives the look vector of each point from the
// near-range edge (while no V card gave it).
bool derives_look(RecordKind kind);

struct PointIn {
  double x = 0.0;      // km east
  double y = 0.0;      // km north
  double drobs = 0.0;  // observed range change, mm
  std::array<char, 8> label{' ', ' ', ' ', ' ', ' ', ' ', ' ', ' '};
};

// Text appended in pieces of known length, without the zero fill of a
// string's resize.
class TextBuffer {
 public:
  void clear() { size_ = 0; }
  void reserve(std::size_t n) {
    if (n > cap_) grow(n);
  }
  // Room for n more characters at the end; the caller writes all of them.
  char* extend(std::size_t n) {
    if (size_ + n > cap_) grow(std::max(size_ + n, 2 * cap_));
    char* p = data_.get() + size_;
    size_ += n;
    return p;
  }
  std::size_t size() const { return size_; }
  const char* data() const { return data_.get(); }
  std::string_view view() const { return {data_.get(), size_}; }

 private:
  void grow(std::size_t n) {
    std::unique_ptr<char[]> bigger(new char[n]);
    if (size_ > 0) std::memcpy(bigger.get(), data_.get(), size_);
    data_ = std::move(bigger);
    cap_ = n;
  }
  std::unique_ptr<char[]> data_;
  std::size_t size_ = 0;
  std::size_t cap_ = 0;
};

// The records of a run of points and what the caller needs besides the
// text.  Reused from chunk to chunk: clearing keeps the storage.
struct RecordChunk {
  TextBuffer text;                    // the records, each ending in a newline
  std::vector<std::uint32_t> end;     // end of point i's record in text
  std::vector<double> drcalc;         // range change, mm (range-type records)
  std::vector<std::uint8_t> shifted;  // 1 when a value was taken 1 mm away
  std::vector<double> E, N, Z;        // displacement sums (range-type records)
  // Text a caller forms from each point's results on the computing thread
  // (a grid's initial-condition value), point k's at side_text(k).
  TextBuffer side;
  std::vector<std::uint32_t> side_end;

  // Empties the chunk for n points; the storage is kept.
  void reset(std::size_t n);

  std::size_t size() const { return end.size(); }
  std::string_view record(std::size_t i) const {
    const std::size_t first = i == 0 ? 0 : end[i - 1];
    return text.view().substr(first, end[i] - first);
  }
  std::string_view side_text(std::size_t i) const {
    const std::size_t first = i == 0 ? 0 : side_end[i - 1];
    return side.view().substr(first, side_end[i] - first);
  }
};

// Appends one record line: fields of one blank and a fixed-layout value,
// then the newline.  `width` is the record's length without the newline.
class RecordText {
 public:
  RecordText(RecordChunk& chunk, std::size_t width);
  // Fw.d and Ew.d fields.
  template <int W, int D>
  RecordText& f(double v) {
    *p_++ = ' ';
    p_ = put_f<W, D>(p_, v);
    return *this;
  }
  template <int W, int D>
  RecordText& e(double v) {
    *p_++ = ' ';
    p_ = put_e<W, D>(p_, v);
    return *this;
  }
  // Ends the record of the chunk's next point.
  void done();

 private:
  RecordChunk& chunk_;
  char* p_;
};

// Computes the records of `points`, in order, into `out` (reset first).
// `look` is the look geometry in force for these points; it is not changed.
void compute_records(const FaultModel& model, const LookGeometry& look, const Ramp& ramp,
                     RecordKind kind, std::span<const PointIn> points, RecordChunk& out);

// Writes record i of a computed chunk to the print file, after the one-time
// warning when its value was taken 1 mm away; stops the run when the write
// fails.
void write_point_record(RunContext& ctx, const RecordChunk& chunk, std::size_t i, RecordKind kind,
                        const PointIn& point);

// Writes records [from, to) of a computed chunk to the print file in one
// piece (no warnings); stops the run when the write fails.
void write_records(RunContext& ctx, const RecordChunk& chunk, std::size_t from, std::size_t to, RecordKind kind);

// After a run of points: the look vector a writer that derives it per point
// leaves in the run's state is that of the last point.
void keep_last_look(RunContext& ctx, RecordKind kind, const PointIn& last);

// A thread's work space for the batch writers, handed out array by array:
// `count` arrays of `length` doubles, each one cache line (8 doubles) further
// on than the last, so that with power-of-two lengths the arrays of a group
// of points fall into different sets of the level-1 cache.  The space belongs
// to the thread (a thread_local vector of the caller's), not to a chunk, so
// that the chunks waiting to be written hold none.
class WorkArrays {
 public:
  WorkArrays(std::vector<double>& space, std::size_t count, std::size_t length)
      : stride_(length + 8) {
    space.resize(count * stride_);
    next_ = space.data();
  }
  double* take() {
    double* a = next_;
    next_ += stride_;
    return a;
  }

 private:
  std::size_t stride_;
  double* next_;
};

}  // namespace vadrel
