// The grid cards' own rules for Python: the cell points of a curvilinear
// grid and the depth/mask taper.
#include <algorithm>
#include <vector>

#include "python/src/module.hpp"
#include "readers/grid2d.hpp"
#include "run/grids.hpp"

namespace vadrel::python {

// The cell points of a curvilinear grid, by the grid cards' own rule:
// (nmax+1, mmax+1) arrays in the grid's units, cell (i, j) at [j-1, i-1],
// and whether the cell has a point.
py::tuple cell_points(const Array& xn, const Array& yn) {
  if (xn.ndim() != 2 || yn.ndim() != 2 || xn.shape(0) != yn.shape(0) || xn.shape(1) != yn.shape(1))
    bad("xn and yn must be 2-D arrays of one shape");
  const auto nmax = static_cast<int>(xn.shape(0));
  const auto mmax = static_cast<int>(xn.shape(1));
  Grid2D x(mmax + 1, nmax + 1), y(mmax + 1, nmax + 1);
  for (int j = 1; j <= nmax; ++j) {
    for (int i = 1; i <= mmax; ++i) {
      x(i, j) = xn.data()[(j - 1) * mmax + (i - 1)];
      y(i, j) = yn.data()[(j - 1) * mmax + (i - 1)];
    }
  }
  const std::vector<py::ssize_t> shape{nmax + 1, mmax + 1};
  Array ax(shape), ay(shape);
  py::array_t<bool> valid(shape);
  std::fill(ax.mutable_data(), ax.mutable_data() + ax.size(), 0.0);
  std::fill(ay.mutable_data(), ay.mutable_data() + ay.size(), 0.0);
  std::fill(valid.mutable_data(), valid.mutable_data() + valid.size(), false);
  for (int j = 2; j <= nmax; ++j) {
    for (int i = 2; i <= mmax; ++i) {
      double xc = 0.0, yc = 0.0;
      if (!cell_point(x, y, i, j, xc, yc)) continue;
      const auto k = static_cast<std::size_t>((j - 1) * (mmax + 1) + (i - 1));
      ax.mutable_data()[k] = xc;
      ay.mutable_data()[k] = yc;
      valid.mutable_data()[k] = true;
    }
  }
  return py::make_tuple(ax, ay, valid);
}

// The depth/mask taper of each depth, as the grid cards apply it.
Array depth_factors(const Array& depth) {
  std::vector<py::ssize_t> shape(depth.shape(), depth.shape() + depth.ndim());
  Array f(shape);
  for (py::ssize_t k = 0; k < depth.size(); ++k) f.mutable_data()[k] = depth_factor(depth.data()[k]);
  return f;
}

}  // namespace vadrel::python
