#pragma once
// Per-point records, computed apart from writing them.
//
// Points are computed in chunks: the values of a chunk of points (by
// model/ and derivatives/) and the text of their records are formed
// together, without touching the run's state, so chunks can be spread over
// threads.  The run then writes the chunks in their order, with the console
// messages that belong to each point.
#include <algorithm>
#include <array>
#include <cstring>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/fixed_format.hpp"
#include "model/fault.hpp"
#include "model/ground_point.hpp"
#include "model/look.hpp"

namespace vadrel {

enum class RecordKind { Range, Residual, Vector, Strain, Partial, Analytic };

// The routine named in a write-failure report.
const char* record_routine(RecordKind kind);

// True when the writer derives the look vector of each point from the
// near-range edge (while no V card gave it).
bool derives_look(RecordKind kind);

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

}  // namespace vadrel
