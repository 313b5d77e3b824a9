#pragma once
// The quad-precision reference table of surface displacements and
// gradients (tests/data/okada_surface.tsv; see its README for the frame and
// the categories of rows).
#include <string>
#include <vector>

#include "model/vec9.hpp"

namespace vadrel::test {

struct ReferenceRow {
  int id = 0;
  double x = 0, y = 0, L = 0, W = 0, depth = 0, dip = 0, lambda = 0, mu = 0;
  Vec9 u{};   // per slip U1, U2, U3: ux, uy, uz
  Vec9 dx{};  // per slip: d(ux, uy, uz)/dx
  Vec9 dy{};  // per slip: d(ux, uy, uz)/dy
  std::string category;

  double u_scale() const;   // largest |displacement| of the row
  double g_scale() const;   // largest |gradient| of the row
  bool near_vertical_general() const { return dip != 90.0 && dip > 89.0 && dip < 91.0; }
};

const std::vector<ReferenceRow>& reference_rows();

// The numbers of a table file of tests/data: one header line, then rows of
// `columns` numbers each (a row of another length is an error, or skipped
// when `skip_others`).
std::vector<std::vector<double>> table_rows(const std::string& file, std::size_t columns,
                                            bool skip_others = false);

}  // namespace vadrel::test
