#include "util/text.h"

#include <gtest/gtest.h>

#include <cmath>

namespace tsl {
namespace {

TEST(Format, TemplatesOfTheSystem) {
  struct Case {
    std::string got, want;
  };
  const Case cases[] = {
      {format("{}", 1.0), "1"},
      {format("{}", 0.1 + 0.2), "0.30000000000000004"},
      {format("{}", 1e21), "1000000000000000000000"},
      {format("{}", std::nan("")), "NaN"},
      {format("{}", -HUGE_VAL), "-inf"},
      {format("{:.3}", 2.0 / 3.0), "0.667"},
      {format("{:.0}", 2.5), "2"},
      {format("{:.1}", 2.0), "2.0"},
      {format("{:+.2}", 0.5), "+0.50"},
      {format("{:>5.1}", 3.14159), "  3.1"},
      {format("  {:<6} {}", "--ev", "help"), "  --ev   help"},
      {format("{:<3}|", "abcdef"), "abcdef|"},
      {format("{:.1}|", "\xC3\xA9x"), "\xC3\xA9|"},  // a cut never splits a character
      {format("{:<3}|", "\xC3\xA9"), "\xC3\xA9  |"},  // width counts characters
      {format("{}/{}", size_t{3}, -4), "3/-4"},
      {format("{{}} {}", true), "{} true"},
      {format("{:?}", 1.0), "1.0"},
      {format("{:?}", 1e16), "1e16"},
      {format("{:?}", 1e-5), "1e-5"},
      {format("{:?}", 0.5), "0.5"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.got, c.want);
}

TEST(ParseDecimal, GrammarAndRounding) {
  EXPECT_EQ(parse_decimal(".5"), 0.5);
  EXPECT_EQ(parse_decimal("5."), 5.0);
  EXPECT_EQ(parse_decimal("+007"), 7.0);
  EXPECT_EQ(parse_decimal("1e999"), HUGE_VAL);
  EXPECT_EQ(parse_decimal("-1e-999"), 0.0);
  EXPECT_TRUE(std::signbit(*parse_decimal("-1e-999")));
  EXPECT_EQ(parse_decimal("InFiNiTy"), HUGE_VAL);
  EXPECT_TRUE(std::isnan(*parse_decimal("nan")));
  EXPECT_EQ(parse_decimal("4.9e-324"), 4.9e-324);
  for (const char* bad : {"", ".", "1e", "1.2.3", "1-2", " 1", "1 ", "0x10", "+", "e5", "infx"})
    EXPECT_FALSE(parse_decimal(bad).has_value()) << bad;
}

TEST(TrimUnicode, StripsWhiteSpaceProperty) {
  EXPECT_EQ(trim_unicode("\xC2\xA0 x y\t\xE3\x80\x80"), "x y");
  EXPECT_EQ(trim_unicode("   "), "");
  EXPECT_EQ(trim_unicode("\xE2\x80\x8B" "a"), "\xE2\x80\x8B" "a");  // zero-width space is not White_Space
}

TEST(Utf8, ErrorsAndReplacement) {
  struct Case {
    std::string bytes;
    std::string error;      // "" when valid
    std::string sanitized;  // each broken piece becomes one U+FFFD
  };
  const std::string R = "\xEF\xBF\xBD";
  const Case cases[] = {
      {"plain \xC3\xA9 \xF0\x9F\x98\x80", "", "plain \xC3\xA9 \xF0\x9F\x98\x80"},
      {"a\xFF" "b", "invalid utf-8 sequence of 1 bytes from index 1", "a" + R + "b"},
      {"\xC0\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R},       // overlong
      {"\xED\xA0\x80", "invalid utf-8 sequence of 1 bytes from index 0", R + R + R},  // surrogate
      {"\xE2\x82x", "invalid utf-8 sequence of 2 bytes from index 0", R + "x"},
      {"\xF0\x9F\x98x", "invalid utf-8 sequence of 3 bytes from index 0", R + "x"},
      {"ab\xF0\x9F\x98", "incomplete utf-8 byte sequence from index 2", "ab" + R},
      {"\xC3", "incomplete utf-8 byte sequence from index 0", R},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.error);
    EXPECT_EQ(utf8_error(c.bytes).value_or(""), c.error);
    EXPECT_EQ(sanitize_utf8(c.bytes), c.sanitized);
  }
}

}  // namespace
}  // namespace tsl
