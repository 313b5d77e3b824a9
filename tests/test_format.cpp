// Fixed-layout number formatting: layouts worked out by hand from the field
// notation (Fw.d, Ew.d with scale factor 1, Gw.d, Iw, Aw).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

#include "core/fixed_format.hpp"

using namespace vadrel;

TEST(FixedFormat, FixedPointRoundsToNearestOnTheBinaryValue) {
  EXPECT_EQ(fmt_f(12.5, 10, 4), "   12.5000");
  EXPECT_EQ(fmt_f(-3.25, 10, 4), "   -3.2500");
  EXPECT_EQ(fmt_f(4.56, 10, 1), "       4.6");
  // 0.35 is stored as 0.34999999999999997...: rounds down.
  EXPECT_EQ(fmt_f(0.35, 5, 1), "  0.3");
  // Exact binary ties go to the even digit.
  EXPECT_EQ(fmt_f(0.25, 5, 1), "  0.2");
  EXPECT_EQ(fmt_f(0.125, 6, 2), "  0.12");
  EXPECT_EQ(fmt_f(3.0, 5, 0), "   3.");
}

TEST(FixedFormat, NegativeValuesRoundingToZeroKeepTheirSign) {
  EXPECT_EQ(fmt_f(-0.04, 6, 1), "  -0.0");
  EXPECT_EQ(fmt_f(-0.0, 6, 1), "  -0.0");
  EXPECT_EQ(fmt_e(-0.0, 13, 3), "   -0.000E+00");
}

TEST(FixedFormat, OverflowAndNonFiniteGiveAsterisks) {
  EXPECT_EQ(fmt_f(1.0e9, 10, 1), "**********");
  EXPECT_EQ(fmt_f(99999999.94, 10, 1), "99999999.9");
  EXPECT_EQ(fmt_f(-99999999.96, 10, 1), "**********");
  EXPECT_EQ(fmt_f(std::nan(""), 10, 1), "**********");
  EXPECT_EQ(fmt_e(std::numeric_limits<double>::infinity(), 13, 3), "*************");
  EXPECT_EQ(fmt_i(123456, 5), "*****");
  EXPECT_EQ(fmt_i(10, 1), "*");
  // The optional leading zero goes before the field overflows.
  EXPECT_EQ(fmt_f(0.5, 4, 3), ".500");
  EXPECT_EQ(fmt_f(-0.5, 5, 3), "-.500");
  EXPECT_EQ(fmt_f(-0.5, 4, 3), "****");
}

TEST(FixedFormat, ExponentialWithOneDigitBeforeThePoint) {
  EXPECT_EQ(fmt_e(-1.2345678901e-3, 20, 10), "   -1.2345678901E-03");
  EXPECT_EQ(fmt_e(0.0, 20, 10), "    0.0000000000E+00");
  EXPECT_EQ(fmt_e(0.0, 13, 3), "    0.000E+00");
  EXPECT_EQ(fmt_e(9.9996, 13, 3), "    1.000E+01");
  EXPECT_EQ(fmt_e(0.25, 13, 3), "    2.500E-01");
  EXPECT_EQ(fmt_e(123456.0, 13, 3), "    1.235E+05");
}

TEST(FixedFormat, ThreeDigitExponentsDropTheLetter) {
  EXPECT_EQ(fmt_e(-1.23456789012e-103, 20, 10), "   -1.2345678901-103");
  EXPECT_EQ(fmt_e(2.5e150, 13, 3), "    2.500+150");
  EXPECT_EQ(fmt_e(1.0e100, 13, 3), "    1.000+100");
  EXPECT_EQ(fmt_e(9.9999e99, 13, 3), "    1.000+100");
  EXPECT_EQ(fmt_e(1.0e99, 13, 3), "    1.000E+99");
}

TEST(FixedFormat, GeneralFormSwitchesBetweenFixedAndExponential) {
  EXPECT_EQ(fmt_g(123.456, 11, 4), "  123.5    ");
  EXPECT_EQ(fmt_g(-0.5, 11, 4), "-0.5000    ");
  EXPECT_EQ(fmt_g(1234.0, 11, 4), "  1234.    ");
  EXPECT_EQ(fmt_g(1.0e5, 11, 4), " 1.0000E+05");
  EXPECT_EQ(fmt_g(0.05, 11, 4), " 5.0000E-02");
  EXPECT_EQ(fmt_g(0.0, 11, 4), " 0.0000E+00");
}

TEST(FixedFormat, IntegersAndTextAreRightAligned) {
  EXPECT_EQ(fmt_i(2, 5), "    2");
  EXPECT_EQ(fmt_i(-42, 4), " -42");
  EXPECT_EQ(fmt_a("X(km)", 10), "     X(km)");
  EXPECT_EQ(fmt_a("abcdefghijkl", 10), "abcdefghij");
}

TEST(FixedFormat, FreeFormReadsBackExactly) {
  for (const double v : {0.1, -1.0e10, 1.0 / 3.0, 6.02214076e23, 5e-324}) {
    EXPECT_EQ(std::strtod(fmt_free(v).c_str(), nullptr), v);
  }
}
