#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <thread>
#include <vector>

#include "foundation/Decimal.h"
#include "foundation/RegularExpression.h"

using platform::Decimal;
using platform::RegularExpression;

namespace {
Decimal dec(const char* text) { return *Decimal::parse(text); }
}  // namespace

TEST(DecimalTest, ParsesExactlyAndPrintsPlainText) {
  EXPECT_EQ(dec("1234.5600").toString(), "1234.56");
  EXPECT_EQ(dec("-0.05").toString(), "-0.05");
  EXPECT_EQ(dec("+.5").toString(), "0.5");
  EXPECT_EQ(dec("12.").toString(), "12");
  EXPECT_EQ(dec("1.5e3").toString(), "1500");
  EXPECT_EQ(dec("-0").toString(), "0");
  EXPECT_EQ(dec("123456789012345678901234567890.12345678").toString(), "123456789012345678901234567890.12345678");
  EXPECT_EQ(dec("9223372036854775807").toInt64(), std::numeric_limits<int64_t>::max());
  EXPECT_FALSE(dec("9223372036854775808").toInt64().has_value());
  EXPECT_EQ(dec("-9223372036854775808").toInt64(), std::numeric_limits<int64_t>::min());
  EXPECT_EQ(dec("-7.9").toInt64(), -7);
  for (const char* bad : {"", ".", "1.2.3", "1e", "abc", "1,000", "--1", "1 2"}) {
    EXPECT_FALSE(Decimal::parse(bad).has_value()) << bad;
  }
  EXPECT_EQ(Decimal::fromDouble(0.1)->toString(), "0.1");
  EXPECT_EQ(Decimal::fromDouble(static_cast<float>(1.7f))->toString(), "1.7000000476837158");
  EXPECT_FALSE(Decimal::fromDouble(NAN).has_value());
}

TEST(DecimalTest, ArithmeticAndComparisonAreExact) {
  EXPECT_EQ(dec("0.1") + dec("0.2"), dec("0.3"));
  EXPECT_EQ((dec("1234.56") - dec("1300")).toString(), "-65.44");
  EXPECT_EQ((dec("-2.5") * dec("4")).toString(), "-10");
  EXPECT_EQ((dec("19.99") * Decimal(1000000)).toInt64(), 19990000);
  EXPECT_EQ(dec("5") - dec("5"), Decimal());
  EXPECT_LT(dec("-3"), dec("2"));
  EXPECT_LT(dec("0.0999"), dec("0.1"));
  EXPECT_GT(dec("-0.1"), dec("-0.2"));
  EXPECT_EQ(dec("2.50"), dec("2.5"));
  EXPECT_EQ(Decimal(42), dec("42"));
  EXPECT_EQ((dec("1000.00") - dec("0.01")).toString(), "999.99");
  EXPECT_EQ((Decimal(std::numeric_limits<int64_t>::max()) + Decimal(1)).toString(), "9223372036854775808");
  // More than 38 significant digits are rounded.
  EXPECT_EQ(dec("1234567890123456789012345678901234567891").toString(), "1234567890123456789012345678901234567900");
}

TEST(DecimalTest, RoundingModes) {
  EXPECT_EQ(dec("2.345").rounded(2).toString(), "2.35");
  EXPECT_EQ(dec("-2.345").rounded(2).toString(), "-2.35");
  EXPECT_EQ(dec("2.345").rounded(2, Decimal::Rounding::Down).toString(), "2.34");
  EXPECT_EQ(dec("-2.341").rounded(2, Decimal::Rounding::Down).toString(), "-2.35");
  EXPECT_EQ(dec("2.341").rounded(2, Decimal::Rounding::Up).toString(), "2.35");
  EXPECT_EQ(dec("2.345").rounded(2, Decimal::Rounding::Bankers).toString(), "2.34");
  EXPECT_EQ(dec("9.999").rounded(2).toString(), "10");
  EXPECT_EQ(dec("0.004").rounded(2).toString(), "0");
  EXPECT_EQ(dec("1.5").rounded(3).toString(), "1.5");
  EXPECT_EQ(dec("1250").rounded(-2).toString(), "1300");
}

TEST(DecimalTest, BankersRoundingBreaksExactTiesTowardTheEvenDigit) {
  const auto bankers = Decimal::Rounding::Bankers;
  EXPECT_EQ(dec("1.005").rounded(2, bankers).toString(), "1");
  EXPECT_EQ(dec("1.015").rounded(2, bankers).toString(), "1.02");
  EXPECT_EQ(dec("1.0051").rounded(2, bankers).toString(), "1.01");  // not a tie
  EXPECT_EQ(dec("-2.675").rounded(2, bankers).toString(), "-2.68");
  EXPECT_EQ(dec("0.5").rounded(0, bankers).toString(), "0");
  EXPECT_EQ(dec("1.5").rounded(0, bankers).toString(), "2");
  EXPECT_EQ(dec("-0.005").rounded(2, bankers), Decimal());
  EXPECT_FALSE(dec("-0.005").rounded(2, bankers).isNegative()) << "a rounded zero has no sign";
}

TEST(DecimalTest, CurrencyTextInTheLocale) {
  EXPECT_EQ(platform::formatCurrency(dec("1.5")), "$1.50");
  EXPECT_EQ(platform::formatCurrency(dec("1234.56")), "$1,234.56");
  EXPECT_EQ(platform::formatCurrency(dec("1234567")), "$1,234,567.00");
  EXPECT_EQ(platform::formatCurrency(dec("-65.44")), "-$65.44");
  EXPECT_EQ(platform::formatCurrency(dec("2.345")), "$2.34");  // half-even, like the platform
  EXPECT_EQ(platform::formatCurrency(dec("3"), "en_US", "EUR"), "€3.00");
}

// Formatters are kept per thread and per settings: switching currencies back and forth, and
// formatting on several threads at once, must give each call the text of its own settings.
TEST(DecimalTest, CurrencyTextFollowsTheSettingsOfEachCallOnEveryThread) {
  auto formatAll = [] {
    std::string out;
    for (int i = 0; i < 20; ++i) {
      out += platform::formatCurrency(dec("1234.5"), "en_US", "EUR") + " ";
      out += platform::formatCurrency(dec("1234.5")) + " ";
      out += platform::formatCurrency(dec("1234.5"), "de_DE") + " ";
      out += platform::formatCurrency(dec("7"), "en_US", "JPY") + "|";
    }
    return out;
  };
  std::string expected;
  for (int i = 0; i < 20; ++i) expected += "\u20ac1,234.50 $1,234.50 1.234,50\u00a0\u20ac \u00a57|";
  EXPECT_EQ(formatAll(), expected);
  std::vector<std::string> results(4);
  std::vector<std::thread> threads;
  for (auto& result : results) threads.emplace_back([&result, &formatAll] { result = formatAll(); });
  for (auto& t : threads) t.join();
  for (const auto& result : results) EXPECT_EQ(result, expected);
}

TEST(RegularExpressionTest, SearchesMatchesAndReportsBadPatterns) {
  auto numeric = RegularExpression::make("^[+-]?(([0-9]+\\.?)|([0-9]*\\.[0-9]+))$", RegularExpression::CaseInsensitive);
  ASSERT_NE(numeric, nullptr);
  EXPECT_TRUE(numeric->search("-12.5"));
  EXPECT_TRUE(numeric->search("7."));
  EXPECT_FALSE(numeric->search("1e5"));
  EXPECT_FALSE(numeric->search(""));

  auto word = RegularExpression::make("caf[eé]", RegularExpression::CaseInsensitive);
  EXPECT_TRUE(word->search("Un CAFÉ noir"));
  auto match = word->firstMatch("Un CAFÉ noir");
  ASSERT_TRUE(match.has_value());
  EXPECT_EQ(match->location, 3u);
  EXPECT_EQ(match->length, 5u);  // bytes: "CAF" + the two-byte É
  EXPECT_FALSE(word->matchesEntirely("Un café"));
  EXPECT_TRUE(word->matchesEntirely("café"));
  EXPECT_EQ(RegularExpression::make("a")->numberOfMatches("banana"), 3u);
  EXPECT_FALSE(RegularExpression::make("A")->search("a"));

  platform::Error error;
  EXPECT_EQ(RegularExpression::make("(unclosed", 0, &error), nullptr);
  EXPECT_EQ(error.domain, "NSCocoaErrorDomain");
  EXPECT_EQ(error.code, 2048);
}
