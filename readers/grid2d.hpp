#pragma once
// A two-index array of doubles with 1-based indices (i along a row, j the
// row), as the grid files and the uplift grids use them.
#include <cstddef>
#include <vector>

namespace vadrel {

class Grid2D {
 public:
  Grid2D() = default;
  Grid2D(int m, int n) : m_(m), n_(n), v_(static_cast<std::size_t>(m) * static_cast<std::size_t>(n), 0.0) {}
  int m() const { return m_; }
  int n() const { return n_; }
  double& operator()(int i, int j) { return v_[index(i, j)]; }
  double operator()(int i, int j) const { return v_[index(i, j)]; }

 private:
  std::size_t index(int i, int j) const {
    return static_cast<std::size_t>(i - 1) + static_cast<std::size_t>(j - 1) * static_cast<std::size_t>(m_);
  }
  int m_ = 0;
  int n_ = 0;
  std::vector<double> v_;
};

}  // namespace vadrel
