// Tests of the batch forms of the patch derivatives (the records that use
// them: test_records_chain_rule.cpp).
//
// Expected values come from the one-point forms patch_strain() and
// patch_jacobian() (an independent code path: one corner at a time, in the
// baseline instruction set), from the quad-precision gradients of
// tests/data/okada_surface.tsv and from the high-precision derivatives of
// tests/data/deru_near_vertical.tsv.  The lane forms sum the corner
// quantities in another order, so where Chinnery's corner sum cancels (far
// from the patch) the two forms differ by rounding of the corner terms, not
// of the result: agreement is required to 1e-13 of the point's derivative
// scale, or to 5e-14 of the largest corner term where that is larger.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "derivatives/deru.hpp"
#include "derivatives/jacobian_batch.hpp"
#include "model/okada.hpp"
#include "model/okada_batch.hpp"
#include "tests/reference_table.hpp"

namespace vadrel {
namespace {

constexpr double DEG = PI / 180.0;
constexpr double SENTINEL = -7.25;

struct Shape {
  double L, W, depth, dip, lambda = 1.0, mu = 1.0;
};
struct Slip {
  double U1 = 1.0, U2 = 1.0, U3 = 1.0;
};
struct Points {
  std::vector<double> x, y;
  void add(double a, double b) {
    x.push_back(a);
    y.push_back(b);
  }
};

double max_abs(const Vec9& u) {
  double m = 0.0;
  for (double v : u) m = std::max(m, std::fabs(v));
  return m;
}

// The eight fields of a PatchJacobian, and their names.
std::vector<const Vec9*> fields(const PatchJacobian& j) {
  return {&j.u, &j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip};
}
std::vector<Vec9*> fields(PatchJacobian& j) {
  return {&j.u, &j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip};
}
const char* const kFieldNames[8] = {"u", "unit", "dx", "dy", "dL", "dW", "ddepth", "ddip"};

// Output arrays of n points with one sentinel slot past the end of each.
struct Outputs {
  std::size_t n;
  std::vector<double> store;
  explicit Outputs(std::size_t points) : n(points), store(72 * (points + 1), SENTINEL) {}
  double* array(std::size_t k) { return store.data() + k * (n + 1); }
  JacobianArrays jacobian() {
    JacobianArrays a;
    std::size_t k = 0;
    for (double** f : {a.u, a.unit, a.dx, a.dy, a.dL, a.dW, a.ddepth, a.ddip})
      for (std::size_t c = 0; c < 9; ++c) f[c] = array(k++);
    return a;
  }
  // Nothing was written past the last point.
  bool tails_intact() const {
    for (std::size_t k = 0; k < 72; ++k)
      if (store[k * (n + 1) + n] != SENTINEL) return false;
    return true;
  }
};

using StrainFn = std::size_t (*)(const Patch&, const double*, const double*, std::size_t,
                                 double* const[9], double* const[9], std::uint8_t*);
using JacobianFn = std::size_t (*)(const Patch&, const double*, const double*, std::size_t,
                                   const JacobianArrays&, std::uint8_t*);

// The lane forms; the agreement and reference tests run for each, and skip
// a form the processor lacks (its dispatch would fall back to a narrower
// one).
struct DerivForm {
  const char* name;
  StrainFn strain;
  JacobianFn jacobian;
  bool (*available)();
};

// The eight-lane forms (four-lane without AVX-512).
const StrainFn kStrain512 = [](auto... a) { return patch_strain_batch_on(KernelPath::avx512, a...); };
const JacobianFn kJacobian512 = [](auto... a) {
  return patch_jacobian_batch_on(KernelPath::avx512, a...);
};

class JacobianBatchForms : public testing::TestWithParam<DerivForm> {
 protected:
  void SetUp() override {
    if (!GetParam().available()) GTEST_SKIP() << "processor without the " << GetParam().name << " kernels";
  }
};

INSTANTIATE_TEST_SUITE_P(Lanes, JacobianBatchForms,
                         testing::Values(DerivForm{"avx2", patch_strain_batch_avx2,
                                                   patch_jacobian_batch_avx2, batch_has_avx2},
                                         DerivForm{"avx512", kStrain512, kJacobian512,
                                                   batch_has_avx512}),
                         [](const testing::TestParamInfo<DerivForm>& i) { return std::string(i.param.name); });

// The marks of the points the one-point form evaluated: one per point, as
// many as the returned count, and every non-finite result among them.
template <class R>
void expect_marks(const std::vector<std::uint8_t>& marks, std::size_t count,
                  const std::vector<R>& results) {
  std::size_t marked = 0;
  for (std::size_t i = 0; i < results.size(); ++i) {
    ASSERT_LE(marks[i], 1) << i;
    marked += marks[i];
    if (!all_finite(results[i])) {
      EXPECT_EQ(marks[i], 1) << i;
    }
  }
  EXPECT_EQ(marked, count);
}

std::vector<DeruXY> run_strain(StrainFn fn, const Shape& g, const Slip& s, const Points& p,
                               std::size_t* by_point = nullptr) {
  const std::size_t n = p.x.size();
  Outputs o(n);
  double* dx[9];
  double* dy[9];
  for (std::size_t c = 0; c < 9; ++c) {
    dx[c] = o.array(c);
    dy[c] = o.array(9 + c);
  }
  std::vector<std::uint8_t> marks(n, 7);
  const std::size_t r = fn(make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, s.U1, s.U2, s.U3),
                           p.x.data(), p.y.data(), n, dx, dy, marks.data());
  if (by_point != nullptr) *by_point = r;
  EXPECT_TRUE(o.tails_intact());
  std::vector<DeruXY> out(n);
  for (std::size_t i = 0; i < n; ++i)
    for (std::size_t c = 0; c < 9; ++c) {
      out[i].dx[c] = dx[c][i];
      out[i].dy[c] = dy[c][i];
    }
  expect_marks(marks, r, out);
  return out;
}

std::vector<PatchJacobian> run_jacobian(JacobianFn fn, const Shape& g, const Slip& s,
                                        const Points& p, std::size_t* by_point = nullptr) {
  const std::size_t n = p.x.size();
  Outputs o(n);
  const JacobianArrays a = o.jacobian();
  std::vector<std::uint8_t> marks(n, 7);
  const std::size_t r = fn(make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, s.U1, s.U2, s.U3),
                           p.x.data(), p.y.data(), n, a, marks.data());
  if (by_point != nullptr) *by_point = r;
  EXPECT_TRUE(o.tails_intact());
  std::vector<PatchJacobian> out(n);
  const double* const* src[8] = {a.u, a.unit, a.dx, a.dy, a.dL, a.dW, a.ddepth, a.ddip};
  for (std::size_t i = 0; i < n; ++i) {
    const std::vector<Vec9*> f = fields(out[i]);
    for (int k = 0; k < 8; ++k)
      for (std::size_t c = 0; c < 9; ++c) (*f[k])[c] = src[k][c][i];
  }
  expect_marks(marks, r, out);
  return out;
}

// Largest finite corner terms of the displacement and of its x/y gradient
// at (x, y), from the one-corner functions (a patch with sin < 0 described
// from its other long edge): the scale of the rounding of the corner sums.
struct CornerScale {
  double u = 0.0, g = 0.0;
};
CornerScale corner_scale(const Shape& g, const Slip& s, double x, double y) {
  const Patch t = make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, 0, 0, 0);
  double sd = t.sin_dip, cd = t.cos_dip, depth = g.depth, U1 = s.U1;
  if (sd < 0.0) {
    y -= g.W * cd;
    depth -= g.W * sd;
    sd = -sd;
    cd = -cd;
    U1 = -U1;
  }
  const double p = y * cd + depth * sd, q = y * sd - depth * cd, delta = std::atan2(sd, cd);
  CornerScale m;
  auto grow = [](double& a, const Vec9& v) {
    for (double e : v)
      if (std::isfinite(e)) a = std::max(a, std::fabs(e));
  };
  for (const double xi : {x, x - g.L})
    for (const double eta : {p, p - g.W}) {
      const Patch corner{.depth = depth, .sin_dip = sd, .cos_dip = cd, .alpha = t.alpha, .U1 = U1,
                         .U2 = s.U2, .U3 = s.U3};
      grow(m.u, chin(corner, y, xi, eta));
      const Patch kernel{.sin_dip = std::sin(delta), .cos_dip = std::cos(delta), .alpha = t.alpha, .U1 = U1,
                         .U2 = s.U2, .U3 = s.U3};
      const DeruXY k = deru1_x(kernel, xi, eta, q);
      grow(m.g, k.dx);
      grow(m.g, k.dy);
    }
  return m;
}

// Rounding noise of the one-point forms at (x, y): the largest change of
// each component when the point moves by a few units in its last place,
// which reshuffles the roundings of the corner terms while the field itself
// changes by far less.  Where the corner terms cancel within a corner this
// exceeds the corner-term scale above.
struct Noise {
  DeruXY s;
  PatchJacobian j;
};
Noise noise(const Shape& g, const Slip& sl, double x, double y) {
  const Patch t = make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, 0, 0, 0);
  const DeruXY s0 = patch_strain(with_slips(t, sl.U1, sl.U2, sl.U3), x, y);
  const PatchJacobian j0 =
      patch_jacobian(with_slips(t, sl.U1, sl.U2, sl.U3), x, y);
  Noise n;
  for (const double f : {-3.0, -2.0, -1.0, 1.0, 2.0, 3.0}) {
    const double px = x + f * 0x1p-52 * std::max(std::fabs(x), 1e-3);
    const double py = y - f * 0x1p-52 * std::max(std::fabs(y), 1e-3);
    const DeruXY s = patch_strain(with_slips(t, sl.U1, sl.U2, sl.U3), px, py);
    const PatchJacobian j =
        patch_jacobian(with_slips(t, sl.U1, sl.U2, sl.U3), px, py);
    const std::vector<const Vec9*> a = fields(j), b = fields(j0);
    const std::vector<Vec9*> m = fields(n.j);
    for (int c = 0; c < 9; ++c) {
      n.s.dx[c] = std::max(n.s.dx[c], std::fabs(s.dx[c] - s0.dx[c]));
      n.s.dy[c] = std::max(n.s.dy[c], std::fabs(s.dy[c] - s0.dy[c]));
      for (int k = 0; k < 8; ++k)
        (*m[k])[c] = std::max((*m[k])[c], std::fabs((*a[k])[c] - (*b[k])[c]));
    }
  }
  return n;
}

// How far one field of the batch is outside the tolerance of 1e-13 of the
// field's scale or 5e-14 of the corner terms, widened by three times the
// noise of the one-point form where that is given (negative: inside).
double excess(const Vec9& got, const Vec9& ref, double corner, const Vec9* jitter) {
  const double tol = std::max(1e-13 * max_abs(ref), 5e-14 * corner);
  double e = -1.0;
  for (int c = 0; c < 9; ++c) {
    if (std::isnan(got[c]) || std::isnan(ref[c])) {
      if (std::isnan(got[c]) != std::isnan(ref[c])) return 1.0;
      continue;
    }
    const double t = jitter == nullptr ? tol : std::max(tol, 3.0 * (*jitter)[c]);
    e = std::max(e, std::fabs(got[c] - ref[c]) / t - 1.0);
  }
  return e;
}

// For displacements: the same exact zeros, unless within the tolerance of
// the clearing threshold.
void expect_same_zeros(const Vec9& got, const Vec9& ref, const std::string& where) {
  const double tol = 1e-13 * max_abs(ref);
  for (int c = 0; c < 9; ++c) {
    const double near_threshold = std::fabs(std::max(std::fabs(got[c]), std::fabs(ref[c])) - 1e-8);
    if (std::isnan(ref[c]) || near_threshold <= tol) continue;
    EXPECT_EQ(got[c] == 0.0, ref[c] == 0.0) << where << " component " << c;
  }
}

std::string place(const std::string& what, const Shape& g, double x, double y) {
  std::ostringstream s;
  s.precision(17);
  s << what << ": dip " << g.dip << " L " << g.L << " W " << g.W << " depth " << g.depth
    << " at (" << x << ", " << y << ")";
  return s.str();
}

// Both batch forms of a lane width against the one-point forms at every
// point: the same NaNs and agreement to rounding.
void expect_agreement(const DerivForm& form, const Shape& g, const Slip& s, const Points& p,
                      const std::string& what) {
  const std::vector<DeruXY> st = run_strain(form.strain, g, s, p);
  const std::vector<PatchJacobian> jb = run_jacobian(form.jacobian, g, s, p);
  const Patch t = make_patch(g.L, g.W, g.depth, g.dip, g.lambda, g.mu, 0, 0, 0);
  for (std::size_t i = 0; i < p.x.size(); ++i) {
    const double x = p.x[i], y = p.y[i];
    const CornerScale cs = corner_scale(g, s, x, y);
    const double lever = std::fabs(x) + std::fabs(y) + g.L + g.W + std::fabs(g.depth);
    const DeruXY d = patch_strain(with_slips(t, s.U1, s.U2, s.U3), x, y);
    const PatchJacobian j = patch_jacobian(with_slips(t, s.U1, s.U2, s.U3), x, y);
    const std::vector<const Vec9*> got = fields(jb[i]), ref = fields(j);
    auto worst = [&](const Noise* n) {
      double e = std::max(excess(st[i].dx, d.dx, cs.g, n ? &n->s.dx : nullptr),
                          excess(st[i].dy, d.dy, cs.g, n ? &n->s.dy : nullptr));
      const std::vector<const Vec9*> nj = n ? fields(n->j) : std::vector<const Vec9*>(8, nullptr);
      std::string field = e > 0.0 ? "strain" : "";
      for (int k = 0; k < 8; ++k) {
        const double corner = k < 2 ? cs.u : k == 7 ? cs.g * lever : cs.g;
        const double ek = excess(*got[k], *ref[k], corner, nj[k]);
        if (ek > e) field = kFieldNames[k];
        e = std::max(e, ek);
      }
      return std::pair{e, field};
    };
    auto [e, field] = worst(nullptr);
    if (e > 0.0) {
      const Noise n = noise(g, s, x, y);
      std::tie(e, field) = worst(&n);
    }
    EXPECT_LE(e, 0.0) << place(what, g, x, y) << ": " << field << " outside the tolerance";
    expect_same_zeros(jb[i].u, j.u, place(what, g, x, y) + " u");
    expect_same_zeros(jb[i].unit, j.unit, place(what, g, x, y) + " unit");
  }
}

double sin_deg(double d) { return std::sin(d * DEG); }
double cos_deg(double d) {
  return std::fabs(std::fabs(d) - 90.0) <= 1e-8 ? 0.0 : std::cos(d * DEG);
}

// Portable generator, so the drawn geometries are the same everywhere.
struct SplitMix {
  std::uint64_t s;
  double uniform(double a, double b) {
    std::uint64_t z = (s += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    z ^= z >> 31;
    return a + (b - a) * static_cast<double>(z >> 11) * 0x1.0p-53;
  }
};

const double kDips[] = {30.0, 60.0, 89.99, 90.0, 90.01, 120.0, -90.0};
const double kOffsets[] = {0.0, 1e-2, -1e-2, 1e-4, -1e-4, 1e-6, -1e-6, 1e-9, -1e-9};

// ---------------------------------------------------------------------------
// Agreement with the one-point forms.

// Beside and on the lines where the corner formulas degenerate (the line
// q = 0 of a buried patch, the planes level with the patch ends, the trace
// of an outcropping patch and its continuation beyond the ends) the
// one-point forms interpolate, or have no value: the batch must give the
// same, NaN included.
TEST_P(JacobianBatchForms, AgreementDegenerateLinesAtSteepAndOrdinaryDips) {
  for (const double dip : kDips) {
    const double s = sin_deg(dip), c = cos_deg(dip), L = 10.0, W = 5.0;
    const Shape buried{L, W, 2.0 + W * std::max(s, 0.0), dip, 1.0, 1.0};
    Points p;
    const double y_line = buried.depth * c / s;
    for (double x : {-3.0, 0.0, 4.3, L, 12.5})
      for (double o : kOffsets) p.add(x, y_line + o);
    for (double y : {-4.0, 2.2})
      for (double o : kOffsets) {
        p.add(o, y);
        p.add(L + o, y);
      }
    expect_agreement(GetParam(), buried, Slip{1.0, -2.0, 0.5}, p, "buried patch");

    // Shallow edge at the surface, above y = W cos (reference edge for sin < 0).
    const Shape outcrop{L, W, s > 0.0 ? W * s : 0.0, dip, 1.0, 1.0};
    Points t;
    const double y_trace = s > 0.0 ? W * c : 0.0;
    for (double x : {-2.5, -1e-6, 0.0, 3.0, L, L + 1e-6, L + 2.5})
      for (double o : kOffsets) t.add(x, y_trace + o);
    expect_agreement(GetParam(), outcrop, Slip{}, t, "outcropping patch");
  }
}

TEST_P(JacobianBatchForms, AgreementReferenceTablePoints) {
  const auto& rows = test::reference_rows();
  ASSERT_EQ(rows.size(), 170u);
  Points all;
  for (const test::ReferenceRow& r : rows) all.add(r.x, r.y);
  for (const test::ReferenceRow& r : rows) {
    // The row's point among the points of all rows, under the row's patch.
    Points p;
    p.add(r.x, r.y);
    p.x.insert(p.x.end(), all.x.begin(), all.x.end());
    p.y.insert(p.y.end(), all.y.begin(), all.y.end());
    expect_agreement(GetParam(), {r.L, r.W, r.depth, r.dip, r.lambda, r.mu}, Slip{2.0, -1.0, 0.5}, p,
                     "table row " + std::to_string(r.id));
  }
}

TEST_P(JacobianBatchForms, AgreementRandomGeometries) {
  SplitMix rng{20260611};
  for (int n = 0; n < 60; ++n) {
    Shape g{rng.uniform(1.0, 40.0), rng.uniform(1.0, 20.0), 0.0, rng.uniform(-180.0, 180.0),
            rng.uniform(0.5, 2.0), 1.0};
    if (n % 4 == 0) g.dip = (n % 8 == 0 ? 90.0 : -90.0) + rng.uniform(-0.02, 0.02);
    g.depth = rng.uniform(0.5, 15.0) + g.W * std::max(sin_deg(g.dip), 0.0);
    Points p;
    for (int k = 0; k < 37; ++k) p.add(rng.uniform(-60.0, 60.0), rng.uniform(-60.0, 60.0));
    expect_agreement(GetParam(), g, Slip{rng.uniform(-2, 2), rng.uniform(-2, 2), rng.uniform(-2, 2)}, p,
                     "random geometry " + std::to_string(n));
  }
}

// A point's result does not depend on the batch it is in: every batch size,
// full groups of lanes and tails, gives each point exactly
// its result when alone, and nothing is written past the last point.
TEST_P(JacobianBatchForms, AgreementEveryBatchSizeGivesEachPointItsOwnResult) {
  const Shape g{12.0, 6.0, 9.0, 89.99};
  SplitMix rng{7};
  for (const std::size_t n : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 9u, 1000u}) {
    Points p;
    for (std::size_t k = 0; k < n; ++k) {
      // every seventh point on a degenerate line (one-point form inside a group)
      if (k % 7 == 3) {
        p.add(k % 2 == 0 ? 0.0 : g.L, rng.uniform(-20.0, 20.0));
      } else {
        p.add(rng.uniform(-30.0, 30.0), rng.uniform(-30.0, 30.0));
      }
    }
    const std::vector<DeruXY> st = run_strain(GetParam().strain, g, Slip{}, p);
    const std::vector<PatchJacobian> jb = run_jacobian(GetParam().jacobian, g, Slip{}, p);
    ASSERT_EQ(st.size(), n);
    for (std::size_t i = 0; i < n; ++i) {
      Points one;
      one.add(p.x[i], p.y[i]);
      const DeruXY s1 = run_strain(GetParam().strain, g, Slip{}, one)[0];
      const PatchJacobian j1 = run_jacobian(GetParam().jacobian, g, Slip{}, one)[0];
      EXPECT_EQ(st[i].dx, s1.dx) << n << " " << i;
      EXPECT_EQ(st[i].dy, s1.dy) << n << " " << i;
      const std::vector<const Vec9*> a = fields(jb[i]), b = fields(j1);
      for (int k = 0; k < 8; ++k) EXPECT_EQ(*a[k], *b[k]) << n << " " << i << " " << kFieldNames[k];
    }
    if (n == 5) expect_agreement(GetParam(), g, Slip{}, p, "batch of five");
  }
}

// The one-point form evaluates the points that need it (and in the scalar
// form every point), and only those can be non-finite (the marks are
// checked by every run).
TEST(JacobianBatchAgreement, OnePointFormOnlyWhereNeeded) {
  const Shape g{10.0, 5.0, 5.0 * sin_deg(60.0), 60.0};  // reaches the surface
  Points regular, special;
  // 15 km from the patch centre, 10 degrees or more off the trace's line
  for (int k = 0; k < 9; ++k)
    regular.add(5.0 + 15.0 * std::cos((30.0 + 40.0 * k) * DEG),
                2.5 + 15.0 * std::sin((30.0 + 40.0 * k) * DEG));
  for (double x : {0.0, 2.0, 10.0}) special.add(x, 5.0 * cos_deg(60.0));  // on the trace
  special.add(1e-7, 9.0);                                                 // level with an end
  const DerivForm forms[] = {
      {"scalar", patch_strain_batch_scalar, patch_jacobian_batch_scalar, [] { return true; }},
      {"avx2", patch_strain_batch_avx2, patch_jacobian_batch_avx2, batch_has_avx2},
      {"avx512", kStrain512, kJacobian512, batch_has_avx512}};
  for (const DerivForm& form : forms) {
    const StrainFn sf = form.strain;
    const JacobianFn jf = form.jacobian;
    // (a lane form the processor lacks falls back to a narrower one)
    const bool lanes = form.strain != patch_strain_batch_scalar && batch_has_avx2();
    std::size_t a = 0, b = 0, c = 0, d = 0;
    run_strain(sf, g, Slip{}, regular, &a);
    run_jacobian(jf, g, Slip{}, regular, &b);
    const std::vector<DeruXY> st = run_strain(sf, g, Slip{}, special, &c);
    const std::vector<PatchJacobian> jb = run_jacobian(jf, g, Slip{}, special, &d);
    EXPECT_EQ(a, lanes ? 0u : regular.x.size());
    EXPECT_EQ(b, lanes ? 0u : regular.x.size());
    EXPECT_EQ(c, special.x.size());
    EXPECT_EQ(d, special.x.size());
    for (int k = 0; k < 3; ++k) {
      EXPECT_FALSE(all_finite(st[k])) << k;
      EXPECT_FALSE(all_finite(jb[k])) << k;
    }
    EXPECT_TRUE(all_finite(st[3]) && all_finite(jb[3]));
  }
}

// ---------------------------------------------------------------------------
// Against the high-precision tables.

struct NearVerticalRow {
  double x, y, L, W, depth, dip, lambda, mu;
  Vec9 v[7];  // u, dx, dy, dL, dW, ddepth, ddip (unit slips)
};

std::vector<NearVerticalRow> near_vertical_rows() {
  std::vector<NearVerticalRow> out;
  std::ifstream in(std::string(VADREL_TEST_DATA) + "/deru_near_vertical.tsv");
  if (!in) throw std::runtime_error("deru_near_vertical.tsv not found");
  std::string line;
  std::getline(in, line);
  while (std::getline(in, line)) {
    std::istringstream ss(line);
    std::vector<double> f;
    for (double d = 0.0; ss >> d;) f.push_back(d);
    if (f.size() != 72) throw std::runtime_error("bad row: " + line);
    NearVerticalRow r{f[1], f[2], f[3], f[4], f[5], f[6], f[7], f[8], {}};
    for (int k = 0; k < 7; ++k)
      for (int i = 0; i < 9; ++i) r.v[k][i] = f[9 + 9 * k + i];
    out.push_back(r);
  }
  return out;
}

// Every row with its point in a batch of five next to points of other rows,
// at a position that varies with the row; unit slips.
TEST_P(JacobianBatchForms, ReferenceNearVerticalTableEveryDerivative) {
  const std::vector<NearVerticalRow> rows = near_vertical_rows();
  ASSERT_EQ(rows.size(), 260u);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const NearVerticalRow& row = rows[r];
    const std::size_t pos = r % 5;
    Points p;
    for (std::size_t j = 0; j < 5; ++j) {
      const NearVerticalRow& o = j == pos ? row : rows[(r + 11 * j + 3) % rows.size()];
      p.add(o.x, o.y);
    }
    const Shape g{row.L, row.W, row.depth, row.dip, row.lambda, row.mu};
    const PatchJacobian j = run_jacobian(GetParam().jacobian, g, Slip{}, p)[pos];
    const DeruXY s = run_strain(GetParam().strain, g, Slip{}, p)[pos];
    const Vec9* got[7] = {&j.unit, &j.dx, &j.dy, &j.dL, &j.dW, &j.ddepth, &j.ddip};
    for (int k = 0; k < 7; ++k) {
      for (int c = 0; c < 9; ++c) {
        if ((*got[k])[c] == 0.0 && k == 0 && std::fabs(row.v[0][c]) < 1e-8) continue;  // cleared
        EXPECT_LE(std::fabs((*got[k])[c] - row.v[k][c]), 1e-12 * max_abs(row.v[k]))
            << "row " << r + 1 << " " << kFieldNames[k + 1] << " component " << c;
      }
    }
    for (int c = 0; c < 9; ++c) {
      EXPECT_LE(std::fabs(s.dx[c] - row.v[1][c]), 1e-12 * max_abs(row.v[1])) << r + 1;
      EXPECT_LE(std::fabs(s.dy[c] - row.v[2][c]), 1e-12 * max_abs(row.v[2])) << r + 1;
    }
  }
}

TEST_P(JacobianBatchForms, ReferenceSurfaceTableGradientsAndDisplacement) {
  const auto& rows = test::reference_rows();
  for (std::size_t r = 0; r < rows.size(); ++r) {
    const test::ReferenceRow& row = rows[r];
    const std::size_t pos = r % 6;
    Points p;
    for (std::size_t j = 0; j < 6; ++j) {
      const test::ReferenceRow& o = j == pos ? row : rows[(r + 7 * j + 1) % rows.size()];
      p.add(o.x, o.y);
    }
    const Shape g{row.L, row.W, row.depth, row.dip, row.lambda, row.mu};
    const PatchJacobian j = run_jacobian(GetParam().jacobian, g, Slip{}, p)[pos];
    const DeruXY s = run_strain(GetParam().strain, g, Slip{}, p)[pos];
    const double gs = row.g_scale(), us = row.u_scale();
    for (int c = 0; c < 9; ++c) {
      const std::string where = "id " + std::to_string(row.id) + " component " + std::to_string(c);
      EXPECT_LE(std::fabs(j.dx[c] - row.dx[c]), 1e-10 * gs) << where;
      EXPECT_LE(std::fabs(j.dy[c] - row.dy[c]), 1e-10 * gs) << where;
      EXPECT_LE(std::fabs(s.dx[c] - row.dx[c]), 1e-10 * gs) << where;
      EXPECT_LE(std::fabs(s.dy[c] - row.dy[c]), 1e-10 * gs) << where;
      if (!(j.unit[c] == 0.0 && std::fabs(row.u[c]) < 1e-8)) {  // cleared
        EXPECT_LE(std::fabs(j.unit[c] - row.u[c]), 1e-11 * us) << where;
      }
    }
  }
}

}  // namespace
}  // namespace vadrel
