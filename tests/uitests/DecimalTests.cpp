#include <gtest/gtest.h>

#include <stdexcept>

#include "Utility/Decimal.h"

TEST(Decimal, ParsesPlainTextKeepingEveryDigit) {
  EXPECT_EQ(Decimal::fromString("1234.50")->toString(), "1234.50");
  EXPECT_EQ(Decimal::fromString("-0.05")->toString(), "-0.05");
  EXPECT_EQ(Decimal::fromString(".5")->toString(), "0.5");
  EXPECT_EQ(Decimal::fromString("+7")->toString(), "7");
  for (const char* bad : {"", "-", ".", "1,234.56", "$1", "1.2.3", " 1", "1e3", "99999999999999999999"}) {
    EXPECT_FALSE(Decimal::fromString(bad).has_value()) << bad;
  }
}

TEST(Decimal, ArithmeticAndComparisonAreExact) {
  Decimal a = *Decimal::fromString("0.1");
  Decimal b = *Decimal::fromString("0.2");
  EXPECT_EQ(a + b, *Decimal::fromString("0.3"));
  EXPECT_EQ((*Decimal::fromString("1000.00") - *Decimal::fromString("0.01")).toString(), "999.99");
  EXPECT_EQ(*Decimal::fromString("1.50"), *Decimal::fromString("1.5"));
  EXPECT_LT(*Decimal::fromString("-2"), *Decimal::fromString("1.99"));
  EXPECT_THROW(Decimal(INT64_MAX) + Decimal(1), std::overflow_error);
}

TEST(Decimal, RoundsHalfToEven) {
  EXPECT_EQ(Decimal::fromString("1.005")->roundedHalfEven(2).toString(), "1.00");
  EXPECT_EQ(Decimal::fromString("1.015")->roundedHalfEven(2).toString(), "1.02");
  EXPECT_EQ(Decimal::fromString("1.0051")->roundedHalfEven(2).toString(), "1.01");
  EXPECT_EQ(Decimal::fromString("-2.675")->roundedHalfEven(2).toString(), "-2.68");
  EXPECT_EQ(Decimal::fromString("0.5")->roundedHalfEven(0).toString(), "0");
  EXPECT_EQ(Decimal::fromString("1.5")->roundedHalfEven(0).toString(), "2");
}
