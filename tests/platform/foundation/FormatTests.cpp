#include <gtest/gtest.h>

#include "foundation/Format.h"

using platform::format;
using platform::Value;

TEST(FormatTest, ObjectConversionPrintsDescriptions) {
  EXPECT_EQ(format("Class %@ failed", "CDVThing"), "Class CDVThing failed");
  EXPECT_EQ(format("%@/%@", std::string("lib"), Value("1.0")), "lib/1.0");
  EXPECT_EQ(format("value %@", Value(2.5)), "value 2.5");
  EXPECT_EQ(format("value %@", Value()), "value (null)");
  EXPECT_EQ(format("value %@", static_cast<const char*>(nullptr)), "value (null)");
  EXPECT_EQ(format("list %@", Value::array({1, "two"})), "list (\n    1,\n    two\n)");
  EXPECT_EQ(format("[%8@]", "ab"), "[      ab]");
  EXPECT_EQ(format("Ünïcödé %@ ✓", "ß"), "Ünïcödé ß ✓");
}

TEST(FormatTest, IntegerConversionsIgnoreLengthModifiers) {
  EXPECT_EQ(format("%d %i %ld %lld %zd", -1, 2, 3L, -4LL, ptrdiff_t{5}), "-1 2 3 -4 5");
  EXPECT_EQ(format("%u %lu %llu %zu", 1u, 2UL, 18446744073709551615ULL, size_t{7}),
            "1 2 18446744073709551615 7");
  EXPECT_EQ(format("%lld", int64_t{-9223372036854775807LL - 1}), "-9223372036854775808");
  // A 64-bit value given to %d is not truncated.
  EXPECT_EQ(format("%d", int64_t{1} << 40), "1099511627776");
  EXPECT_EQ(format("%x %X %04x", 255u, 255u, 10u), "ff FF 000a");
  EXPECT_EQ(format("%5d|%-5d|%05d|%+d", 42, 42, 42, 42), "   42|42   |00042|+42");
  EXPECT_EQ(format("%*d", 4, 7), "   7");
  EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(format("%d", true), "1");
}

TEST(FormatTest, FloatStringAndPercentConversions) {
  EXPECT_EQ(format("%f", 1.5), "1.500000");
  EXPECT_EQ(format("%.2f", 3.14159), "3.14");
  EXPECT_EQ(format("%g %e", 0.0001, 12345.0), "0.0001 1.234500e+04");
  EXPECT_EQ(format("%.1f", 2), "2.0");  // an integer given to %f is converted, not misread
  EXPECT_EQ(format("%s and %.3s", "full", "truncated"), "full and tru");
  EXPECT_EQ(format("100%%"), "100%");
  EXPECT_EQ(format("%.1f%%", 99.95), "100.0%");
}

TEST(FormatTest, MismatchesAndMissingArgumentsDoNotCrash) {
  EXPECT_EQ(format("%@ and %@", "one"), "one and ");
  EXPECT_EQ(format("%d", "text"), "0");
  EXPECT_EQ(format("%@", 12), "12");
  EXPECT_EQ(format("unused", 1, 2), "unused");
  EXPECT_EQ(format("odd %k here"), "odd %k here");
  EXPECT_EQ(format("trailing %"), "trailing %");
  std::string longText(500, 'x');
  EXPECT_EQ(format("<%@>", longText), "<" + longText + ">");
}
