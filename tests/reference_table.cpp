#include "tests/reference_table.hpp"

#include <cmath>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace vadrel::test {

namespace {

std::string category_of(int id) {
  if (id <= 80) return "general";
  if (id <= 100) return "dip90";
  if (id <= 110) return "dip89.99";
  if (id <= 120) return "dip45";
  if (id <= 135) return "qzero_line";
  if (id <= 150) return "outcrop";
  if (id <= 165) return "outcrop_trace_ext";
  return "shallow";
}

double max_abs(const Vec9& a) {
  double m = 0.0;
  for (const double v : a) m = std::fmax(m, std::fabs(v));
  return m;
}

}  // namespace

double ReferenceRow::u_scale() const { return max_abs(u); }
double ReferenceRow::g_scale() const { return std::fmax(max_abs(dx), max_abs(dy)); }

std::vector<std::vector<double>> table_rows(const std::string& file, std::size_t columns, bool skip_others) {
  std::ifstream in(std::string(VADREL_TEST_DATA) + "/" + file);
  if (!in) throw std::runtime_error(file + " not found");
  std::vector<std::vector<double>> out;
  std::string line;
  std::getline(in, line);  // header
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::vector<double> v;
    double d = 0.0;
    while (ss >> d) v.push_back(d);
    if (v.size() == columns) out.push_back(std::move(v));
    else if (!skip_others) throw std::runtime_error(file + ": bad row: " + line);
  }
  return out;
}

const std::vector<ReferenceRow>& reference_rows() {
  static const std::vector<ReferenceRow> rows = [] {
    std::vector<ReferenceRow> out;
    for (const auto& v : table_rows("okada_surface.tsv", 36, true)) {
      ReferenceRow r;
      r.id = static_cast<int>(v[0]);
      r.x = v[1];
      r.y = v[2];
      r.L = v[3];
      r.W = v[4];
      r.depth = v[5];
      r.dip = v[6];
      r.lambda = v[7];
      r.mu = v[8];
      // Per slip: ux uy uz uxx uxy uyx uyy uzx uzy (uab = d u_a / d b).
      for (int k = 0; k < 3; ++k) {
        const double* c = &v[9 + 9 * k];
        for (int a = 0; a < 3; ++a) {
          r.u[3 * k + a] = c[a];
          r.dx[3 * k + a] = c[3 + 2 * a];
          r.dy[3 * k + a] = c[4 + 2 * a];
        }
      }
      r.category = category_of(r.id);
      out.push_back(r);
    }
    return out;
  }();
  return rows;
}

}  // namespace vadrel::test
