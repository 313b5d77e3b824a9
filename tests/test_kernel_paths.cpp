// The kernel paths (scalar, four lanes, eight lanes): how VADREL_KERNEL
// chooses one, and whole runs under each writing the same print files up to
// the rounding of the printed digits.
//
// The lane forms agree with the scalar one to about 1e-13 of the point's
// largest component, so a printed value can differ between paths only where
// the value lies within that of a rounding boundary of its last digit, and
// then by one unit of that digit.  The runs below count such fields (and
// the values of the initial-condition files, printed in full, that differ
// within the kernels' tolerance).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <iostream>
#include <string>
#include <vector>

#include "model/kernel_path.hpp"
#include "model/okada_batch.hpp"
#include "tests/e2e.hpp"

namespace vadrel {

namespace test {
void write_every_kind_inputs(const TempDir& d);  // test_threads.cpp
}

namespace {

using test::TempDir;

bool supported(KernelPath p) { return supported_path(p) == p; }

#define REQUIRE_PATH(p) \
  if (!supported(p))    \
  GTEST_SKIP() << "this processor (or build) has no " << kernel_path_name(p) << " kernels"

// ---------------------------------------------------------------------------
// Choosing a path.

TEST(KernelPaths, ChoiceFromRequestAndProcessor) {
  using P = KernelPath;
  struct Case {
    const char* request;
    bool avx2, avx512;
    P path;
    bool warns;
  } cases[] = {
      {nullptr, true, true, P::avx512, false}, {nullptr, true, false, P::avx2, false},
      {nullptr, false, false, P::scalar, false}, {"", true, true, P::avx512, false},
      {"scalar", true, true, P::scalar, false},  {"avx2", true, true, P::avx2, false},
      {"avx512", true, true, P::avx512, false},  {"avx512", true, false, P::avx2, true},
      {"avx2", false, false, P::scalar, true},   {"AVX2", true, true, P::avx512, true},
      {"sse", true, false, P::avx2, true},
  };
  for (const Case& c : cases) {
    const std::string what = std::string(c.request ? c.request : "(unset)") + " avx2 " +
                             std::to_string(c.avx2) + " avx512 " + std::to_string(c.avx512);
    const KernelChoice k = choose_kernel(c.request, KernelSupport{c.avx2, c.avx512});
    EXPECT_EQ(k.path, c.path) << what;
    EXPECT_EQ(!k.warning.empty(), c.warns) << what;
    if (c.warns) {
      EXPECT_NE(k.warning.find(c.request), std::string::npos) << k.warning;
      EXPECT_NE(k.warning.find("using " + std::string(kernel_path_name(c.path))), std::string::npos)
          << k.warning;
    }
  }
}

// A request the run cannot follow: one warning, then the widest path, whose
// print file is the one a run without the request writes.
TEST(KernelPaths, UnknownRequestWarnsOnceAndRunsTheDefault) {
  TempDir d;
  d.write("f", " 5 -3 30 0 12 35 3e10 3e10 200 900 50 25 15 thrust\n");
  d.write("p", "V 0.1 -0.2 0.97 1\n 1 2\n 3 4\nM -5 -5 1 1 9 9\n 5 6\n");
  const test::RunResult plain = d.run({"p", "f", "o1", "ascii"});
  const test::RunResult asked = d.run({"p", "f", "o2", "ascii"}, "env VADREL_KERNEL=avx9");
  ASSERT_EQ(plain.status, 0) << plain.console;
  ASSERT_EQ(asked.status, 0) << asked.console;
  const std::string warning = "WARNING: VADREL_KERNEL=avx9 is not one of scalar, avx2, avx512; using " +
                              std::string(kernel_path_name(supported_path(KernelPath::avx512)));
  const std::size_t at = asked.console.find(warning);
  EXPECT_NE(at, std::string::npos) << asked.console;
  EXPECT_EQ(asked.console.find("VADREL_KERNEL", at + warning.size()), std::string::npos) << "said once";
  EXPECT_EQ(plain.console.find("VADREL_KERNEL"), std::string::npos);
  const std::vector<std::string> a = test::records_of(d.read("o1")), b = test::records_of(d.read("o2"));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.size(), 84u);  // three data lines and the 9 x 9 grid
}

// Each lane form against the reference table and the scalar forms, at the
// kernels' tolerance: the batch tests, which run for both lane forms
// (test_okada_batch.cpp, test_jacobian_batch.cpp).

// ---------------------------------------------------------------------------
// Whole runs under each path.

// One unit of the last printed digit of a number field (F or E layout).
double last_digit_unit(const std::string& f) {
  const std::size_t dot = f.find('.');
  const std::size_t e = f.find_first_of("Ee");
  if (dot == std::string::npos) return 1.0;
  const int decimals = static_cast<int>((e == std::string::npos ? f.size() : e) - dot - 1);
  const int exponent = e == std::string::npos ? 0 : std::atoi(f.c_str() + e + 1);
  return std::pow(10.0, exponent - decimals);
}

// The largest magnitude among the number fields of a line.
double largest_in(const std::vector<std::string>& fields) {
  double m = 0.0;
  for (const std::string& f : fields) m = std::max(m, std::fabs(std::atof(f.c_str())));
  return m;
}

struct Differences {
  int last_digit = 0;  // fields one unit of their last digit apart
  int tolerance = 0;   // fields further apart, within the kernels' tolerance
};

// Compares two files written by runs on different paths: the same lines,
// except number fields one unit of their last digit apart, or within
// `rel` of the largest value on their line (the kernels agree to a fraction
// of a point's largest value, which the 11 digits of an analytic record's
// small terms, or the initial-condition files' full values, can show).
Differences differing_fields(const std::string& a, const std::string& b, const std::string& what,
                             double rel) {
  const std::vector<std::string> la = test::lines_of(a), lb = test::lines_of(b);
  EXPECT_EQ(la.size(), lb.size()) << what;
  Differences d;
  for (std::size_t i = 0; i < std::min(la.size(), lb.size()); ++i) {
    if (la[i] == lb[i]) continue;
    const std::vector<std::string> fa = test::fields_of(la[i]), fb = test::fields_of(lb[i]);
    if (fa.size() != fb.size()) {
      ADD_FAILURE() << what << " line " << i + 1 << ":\n" << la[i] << '\n' << lb[i];
      continue;
    }
    const double scale = largest_in(fa);
    for (std::size_t k = 0; k < fa.size(); ++k) {
      if (fa[k] == fb[k]) continue;
      char* end_a = nullptr;
      char* end_b = nullptr;
      const double va = std::strtod(fa[k].c_str(), &end_a), vb = std::strtod(fb[k].c_str(), &end_b);
      if (*end_a != '\0' || *end_b != '\0') {
        ADD_FAILURE() << what << " line " << i + 1 << ": " << fa[k] << " / " << fb[k];
        continue;
      }
      // (1.001: the difference of two parsed numbers carries their rounding)
      if (std::fabs(va - vb) <= 1.001 * std::max(last_digit_unit(fa[k]), last_digit_unit(fb[k]))) {
        ++d.last_digit;
      } else {
        EXPECT_LE(std::fabs(va - vb), rel * scale)
            << what << " line " << i + 1 << " field " << k + 1 << ": " << fa[k] << " / " << fb[k];
        ++d.tolerance;
      }
    }
  }
  return d;
}

// The lane paths, each against the scalar one.
class KernelPathLanes : public testing::TestWithParam<KernelPath> {};

INSTANTIATE_TEST_SUITE_P(Paths, KernelPathLanes, testing::Values(KernelPath::avx2, KernelPath::avx512),
                         [](const testing::TestParamInfo<KernelPath>& i) {
                           return std::string(kernel_path_name(i.param));
                         });

TEST_P(KernelPathLanes, RunsWriteTheScalarFilesUpToTheLastDigit) {
  const KernelPath path = GetParam();
  REQUIRE_PATH(path);
  // The inputs of the threads test: 22,000 data lines (bad ones, comments
  // and a point on the trace of an outcropping fault among them) and every
  // grid card.
  TempDir scalar, lanes;
  for (const TempDir* d : {&scalar, &lanes}) test::write_every_kind_inputs(*d);
  const std::string env = "env VADREL_KERNEL=" + std::string(kernel_path_name(path));
  Differences print, grids;
  int analytic_last_digit = 0, analytic_fields = 0;
  for (const std::string option :
       {"ascii", "residual", "vector", "strain", "partial", "analytic", "residualvector"}) {
    const test::RunResult rs = scalar.run({"p", "f", "o", option}, "env VADREL_KERNEL=scalar");
    const test::RunResult rl = lanes.run({"p", "f", "o", option}, env);
    ASSERT_EQ(rs.status, 0) << option << rs.console;
    ASSERT_EQ(rl.status, 0) << option << rl.console;
    EXPECT_EQ(rs.console, rl.console) << option;
    EXPECT_NE(rs.console.find("lies on a patch corner or surface trace"), std::string::npos);
    const Differences p = differing_fields(scalar.read("o"), lanes.read("o"), option + " o", 1e-12);
    print.last_digit += p.last_digit;
    if (option == "analytic") {
      analytic_last_digit = p.last_digit;
      for (const std::string& line : test::records_of(scalar.read("o")))
        analytic_fields += static_cast<int>(test::fields_of(line).size());
    }
    print.tolerance += p.tolerance;
    // Only the analytic records print enough digits to show the tolerance.
    if (option != "analytic") {
      EXPECT_EQ(p.tolerance, 0) << option;
    }
    for (const char* file : {"disp.ini", "g.ini", "g2.ini"}) {
      const Differences g = differing_fields(scalar.read(file), lanes.read(file), option + ' ' + file, 1e-12);
      grids.last_digit += g.last_digit;
      grids.tolerance += g.tolerance;
    }
  }
  // A field one unit of its last digit apart lies within 1e-13 or so of a
  // rounding boundary: a handful at most among the fixed-point fields (4 to
  // 6 digits); an analytic field's last digit is 1e-10 to 1e-11 of its value,
  // so a 1e-13 difference straddles a boundary for a few in a thousand.
  RecordProperty("last_digit", print.last_digit);
  RecordProperty("tolerance", print.tolerance);
  std::cout << "  " << kernel_path_name(path) << " against scalar: print files " << print.last_digit
            << " fields one unit of their last digit apart (" << analytic_last_digit
            << " of them among " << analytic_fields << " analytic), " << print.tolerance
            << " analytic fields within the tolerance; grid files " << grids.last_digit + grids.tolerance
            << " values within the tolerance\n";
  EXPECT_LE(print.last_digit - analytic_last_digit, 5);
  EXPECT_LE(analytic_last_digit, analytic_fields / 200);
}

}  // namespace
}  // namespace vadrel
