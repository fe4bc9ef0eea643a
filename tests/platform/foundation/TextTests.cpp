#include <gtest/gtest.h>

#include "foundation/Text.h"

namespace text = platform::text;
using text::Ordering;

TEST(TextTest, Utf8ValidityAndLengths) {
  EXPECT_TRUE(text::isValidUTF8("plain"));
  EXPECT_TRUE(text::isValidUTF8("héllo 😀"));
  EXPECT_FALSE(text::isValidUTF8("\xC3"));              // truncated sequence
  EXPECT_FALSE(text::isValidUTF8("\xC0\xAF"));          // overlong
  EXPECT_FALSE(text::isValidUTF8("\xED\xA0\x80"));      // surrogate
  EXPECT_FALSE(text::isValidUTF8("\xF4\x90\x80\x80"));  // beyond U+10FFFF

  EXPECT_EQ(text::codePointLength(""), 0u);
  EXPECT_EQ(text::codePointLength("héllo 😀"), 7u);
  EXPECT_EQ(text::utf16Length("héllo 😀"), 8u);  // the emoji is a surrogate pair
  EXPECT_EQ(text::codePointLength("a\xFF" "b"), 3u);

  EXPECT_EQ(text::codePointPrefix("😀😀😀", 2), "😀😀");
  EXPECT_EQ(text::codePointPrefix("ab", 5), "ab");
  EXPECT_TRUE(text::hasPrefix("_event", "_"));
  EXPECT_TRUE(text::hasSuffix("file.plist", ".plist"));
  EXPECT_FALSE(text::hasSuffix("a", "abc"));
}

TEST(TextTest, CaseMappingAndComparisons) {
  EXPECT_EQ(text::uppercase("integer straße"), "INTEGER STRASSE");
  EXPECT_EQ(text::lowercase("ÀBC"), "àbc");
  EXPECT_EQ(text::caseInsensitiveCompare("Hello", "hELLO"), Ordering::Same);
  EXPECT_EQ(text::caseInsensitiveCompare("a", "B"), Ordering::Ascending);
  EXPECT_EQ(text::caseInsensitiveCompare("b", "A"), Ordering::Descending);
  // Collation puts accented letters beside their base letter, unlike byte order.
  EXPECT_EQ(text::localizedCompare("é", "f"), Ordering::Ascending);
  EXPECT_EQ(text::localizedCaseInsensitiveCompare("A/2", "b/1"), Ordering::Ascending);
  EXPECT_EQ(text::localizedCaseInsensitiveCompare("abc", "ABC"), Ordering::Same);
  EXPECT_NE(text::localizedCompare("abc", "ABC"), Ordering::Same);
}

TEST(TextTest, StrictAndLenientNumberParsing) {
  EXPECT_EQ(text::parseInt64(" -42 "), -42);
  EXPECT_EQ(text::parseInt64("+7"), 7);
  EXPECT_FALSE(text::parseInt64("12abc").has_value());
  EXPECT_FALSE(text::parseInt64("").has_value());
  EXPECT_FALSE(text::parseInt64("9223372036854775808").has_value());
  EXPECT_EQ(text::parseUInt64("18446744073709551615"), 18446744073709551615ULL);
  EXPECT_FALSE(text::parseUInt64("-1").has_value());
  EXPECT_EQ(text::parseDouble("2.5e3"), 2500.0);
  EXPECT_FALSE(text::parseDouble("2.5x").has_value());

  EXPECT_EQ(text::leadingInt64("  123abc"), 123);
  EXPECT_EQ(text::leadingInt64("abc"), 0);
  EXPECT_EQ(text::leadingInt64("-99999999999999999999"), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(text::leadingDouble(" 1.25 apples"), 1.25);
  EXPECT_EQ(text::leadingDouble("x1"), 0.0);
  EXPECT_TRUE(text::leadingBool("YES"));
  EXPECT_TRUE(text::leadingBool(" 007"));
  EXPECT_FALSE(text::leadingBool("no"));
  EXPECT_FALSE(text::leadingBool("0"));
}
