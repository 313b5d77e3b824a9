// Okada (1985), Table 2: x = 2, y = 3, depth 4, dip 70 degrees, L = 3, W = 2,
// lambda = mu, unit slips; ux, uy, uz for strike slip, dip slip, opening, to
// the four digits published.  The batch kernel (libmvec) gives the same.
#include <cmath>
#include <cstdio>
#include <vadrel/model/okada.hpp>
#include <vadrel/model/okada_batch.hpp>

int main() {
  const double table[9] = {-8.689e-3, -4.298e-3, -2.747e-3, -4.682e-3, -3.527e-2,
                           -3.564e-2, -2.660e-4, 1.056e-2,  3.214e-3};
  const vadrel::Patch patch = vadrel::make_patch(3, 2, 4, 70, 1, 1, 1, 1, 1);
  const vadrel::Vec9 u = vadrel::okada_patch(patch, 2, 3);
  const double x = 2, y = 3;
  double batch[9];
  double* out[9];
  for (int k = 0; k < 9; ++k) out[k] = &batch[k];
  vadrel::okada_patch_batch(patch, &x, &y, 1, out);
  int bad = 0;
  for (int k = 0; k < 9; ++k) {
    const double half_digit = 0.5 * std::pow(10.0, std::floor(std::log10(std::fabs(table[k]))) - 3);
    if (!(std::fabs(u[k] - table[k]) <= half_digit) || !(std::fabs(batch[k] - u[k]) <= 1e-14)) {
      std::printf("component %d: %.6e (batch %.6e), table %.3e\n", k, u[k], batch[k], table[k]);
      ++bad;
    }
  }
  std::printf("%s\n", bad == 0 ? "Okada (1985) table 2 reproduced" : "mismatch");
  return bad == 0 ? 0 : 1;
}
