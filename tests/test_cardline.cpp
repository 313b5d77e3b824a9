// The card-line toolkit: tokens, number spellings, statuses, text helpers.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <sstream>

#include "readers/cardline.hpp"

using namespace vadrel;

namespace {

struct Reader {
  explicit Reader(std::string text) : line(std::move(text)) {}
  int r8(double& v) { return read_r8(line, pos, v); }
  std::string line;
  int pos = 1;
};

}  // namespace

TEST(CardLine, TokensAreSeparatedByBlanksOnly) {
  Reader r(make_card("  12.5   -3e2", 40));
  double v = 0.0;
  EXPECT_EQ(r.r8(v), STATUS_OK);
  EXPECT_EQ(v, 12.5);
  EXPECT_EQ(r.r8(v), STATUS_OK);
  EXPECT_EQ(v, -300.0);
  EXPECT_EQ(r.r8(v), STATUS_END_OF_LINE);
  EXPECT_EQ(v, -300.0);

  // A tab is part of the token, which then is no number.
  Reader t(make_card("1.5\t2.5 7", 20));
  v = 9.0;
  EXPECT_GT(t.r8(v), 0);
  EXPECT_EQ(v, 9.0);
  EXPECT_EQ(t.r8(v), STATUS_OK);  // position moved past the bad token
  EXPECT_EQ(v, 7.0);
}

TEST(CardLine, CommaEndsANumber) {
  Reader r(make_card("1,2 5", 10));
  double v = 0.0;
  EXPECT_EQ(r.r8(v), STATUS_OK);
  EXPECT_EQ(v, 1.0);
  EXPECT_EQ(r.r8(v), STATUS_OK);
  EXPECT_EQ(v, 5.0);
  std::int32_t i = 0;
  int pos = 1;
  EXPECT_EQ(read_i4("17,x", pos, i), STATUS_OK);
  EXPECT_EQ(i, 17);
}

TEST(CardLine, NumberSpellings) {
  struct Case {
    const char* token;
    double value;
  };
  for (const Case c : {Case{"1.0D3", 1000.0}, Case{"1.0d3", 1000.0}, Case{"2e-1", 0.2},
                       Case{"+4", 4.0}, Case{".5", 0.5}, Case{"5.", 5.0}, Case{"-0.25E+01", -2.5},
                       Case{"1e-400", 0.0}}) {
    double v = -1.0;
    EXPECT_EQ(parse_real(c.token, v), STATUS_OK) << c.token;
    EXPECT_EQ(v, c.value) << c.token;
  }
  for (const char* bad : {"nan", "inf", "Infinity", "1e400", "-1e309", "abc", "1.2.3", "e5", "1e",
                          ".", "+", "1.0+3", "1/", "3*1.0", ",5", "0x10", ""}) {
    double v = 42.0;
    EXPECT_GT(parse_real(bad, v), 0) << bad;
    EXPECT_EQ(v, 42.0) << bad;
  }
}

// Every spelling converts to the correctly rounded double, whichever way
// the reader takes (short decimals, long mantissas, exponents, the D
// letter): the C library's strtod is the reference.
TEST(CardLine, RealsAreCorrectlyRounded) {
  std::mt19937_64 rng(7);
  std::uniform_int_distribution<int> ndig(1, 19), npoint(0, 19), nexp(-30, 30), form(0, 3);
  for (int k = 0; k < 200000; ++k) {
    std::string t = (k % 3 == 0) ? "-" : "";
    const int digits = ndig(rng);
    const int point = npoint(rng);
    for (int d = 0; d < digits; ++d) {
      if (d == point) t += '.';
      t += static_cast<char>('0' + rng() % 10);
    }
    std::string c_form = t;
    switch (form(rng)) {
      case 1:
        t += 'E';
        t += std::to_string(nexp(rng));
        c_form = t;
        break;
      case 2: {
        const std::string e = std::to_string(nexp(rng));
        t += 'd';
        t += e;
        c_form += 'e';
        c_form += e;
        break;
      }
      default: break;
    }
    double v = -1.0;
    ASSERT_EQ(parse_real(t, v), STATUS_OK) << t;
    const double ref = std::strtod(c_form.c_str(), nullptr);
    ASSERT_EQ(std::memcmp(&v, &ref, sizeof v), 0) << t << ' ' << v << ' ' << ref;
  }
}

TEST(CardLine, IntegerRangeAndSpelling) {
  std::int32_t v = 7;
  int pos = 1;
  EXPECT_EQ(read_i4("2147483647", pos, v), STATUS_OK);
  EXPECT_EQ(v, 2147483647);
  for (const char* bad : {"2147483648", "-2147483649", "99999999999999999999", "12.0", "1e3", "-"}) {
    pos = 1;
    v = 7;
    EXPECT_GT(read_i4(bad, pos, v), 0) << bad;
    EXPECT_EQ(v, 7);
  }
  pos = 1;
  EXPECT_EQ(read_i4("-2147483648", pos, v), STATUS_OK);
  EXPECT_EQ(v, INT32_MIN);
}

TEST(CardLine, GenericReaderTypeCodes) {
  std::ostringstream console;
  FieldValue value;
  std::string word;
  int pos = 1;
  const std::string line = make_card("12 3.5 70000 name", 20);
  EXPECT_EQ(read_line(line, pos, "i2", value, word, 0, console), STATUS_OK);
  EXPECT_EQ(value.i2, 12);
  EXPECT_EQ(read_line(line, pos, "R6", value, word, 0, console), STATUS_OK);
  EXPECT_EQ(value.r8, 3.5);
  EXPECT_GT(read_line(line, pos, "I2", value, word, 0, console), 0);  // 70000 > 32767
  EXPECT_EQ(value.i2, 12);
  EXPECT_EQ(read_line(line, pos, "ch", value, word, 3, console), STATUS_OK);
  EXPECT_EQ(word, "nam");  // cut to the word field
  EXPECT_TRUE(console.str().empty());

  pos = 1;
  EXPECT_EQ(read_line(line, pos, "X9", value, word, 0, console), STATUS_BAD_CODE);
  EXPECT_EQ(console.str(), " *** Bad option X9 passed to routine READ_LINE\n");

  pos = 1;
  EXPECT_EQ(read_line(make_card("2.5", 5), pos, "r4", value, word, 0, console), STATUS_OK);
  EXPECT_EQ(value.r4, 2.5F);
  pos = 1;
  EXPECT_GT(read_line(make_card("1e39", 5), pos, "R4", value, word, 0, console), 0);
}

TEST(CardLine, WordsArePaddedAndIncludeTheSeparatingBlank) {
  std::string word;
  int pos = 1;
  const std::string line = make_card("ab cd", 10);
  EXPECT_EQ(read_ch(line, pos, word, 8), STATUS_OK);
  EXPECT_EQ(word, "ab      ");
  EXPECT_EQ(read_ch(line, pos, word, 8), STATUS_OK);
  EXPECT_EQ(word, "cd      ");
}

TEST(CardLine, TokenInTheLastColumnIsReadWholeAndUsesUpTheLine) {
  const std::string line = make_card("1 23", 4);  // "23" ends in column 4
  int pos = 1;
  double v = 0.0;
  EXPECT_EQ(read_r8(line, pos, v), STATUS_OK);
  EXPECT_EQ(read_r8(line, pos, v), STATUS_OK);
  EXPECT_EQ(v, 23.0);
  EXPECT_EQ(read_r8(line, pos, v), STATUS_END_OF_LINE);
  EXPECT_EQ(read_r8(line, pos, v), STATUS_END_OF_LINE);
  // Positions below 1 count as 1.
  pos = -5;
  EXPECT_EQ(read_r8(line, pos, v), STATUS_OK);
  EXPECT_EQ(v, 1.0);
}

TEST(CardLine, RecordsDropTheCarriageReturnOfCrLfFiles) {
  std::istringstream in("1 2\r\n3 4\n\r\nlast");
  std::string rec;
  ASSERT_TRUE(read_record(in, rec));
  EXPECT_EQ(rec, "1 2");
  ASSERT_TRUE(read_record(in, rec));
  EXPECT_EQ(rec, "3 4");
  ASSERT_TRUE(read_record(in, rec));
  EXPECT_EQ(rec, "");
  ASSERT_TRUE(read_record(in, rec));
  EXPECT_EQ(rec, "last");
  EXPECT_FALSE(read_record(in, rec));
  // The last token of a CR LF line converts.
  const std::string card = make_card("x 2.5\r", 10);
  EXPECT_EQ(card, make_card("x 2.5\r", 10));
  int pos = 2;
  double v = 0.0;
  std::istringstream crlf("  2.5\r\n");
  ASSERT_TRUE(read_record(crlf, rec));
  EXPECT_EQ(read_r8(make_card(rec, 20), pos, v), STATUS_OK);
  EXPECT_EQ(v, 2.5);
}

TEST(CardLine, TextLengthsAndCaseFolding) {
  std::string field(80, '\0');
  field.replace(0, 3, "abc");
  EXPECT_EQ(nblen(field), 3U);
  EXPECT_EQ(trimlen(field), 80U);
  EXPECT_EQ(nblen("   "), 0U);
  EXPECT_EQ(trimlen(""), 0U);
  std::string s = "r8 ch-z{ ";
  casefold(s);
  EXPECT_EQ(s, "R8 CH-Z{ ");
}

TEST(CardLine, SystemErrorTextIsOneFreeFormLine) {
  std::ostringstream console;
  errno = ENOENT;
  ferror(0, console);
  EXPECT_EQ(console.str(), " No such file or directory\n");
}
