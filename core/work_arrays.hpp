#pragma once
// A thread's work space for the batch computations, handed out array by
// array.
#include <cstddef>
#include <vector>

namespace vadrel {

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
