#include <cmath>
#include <limits>

#include "AudienceTestSupport.h"

using namespace audiences;

namespace {

double up(double value, int steps) {
  while (steps-- > 0) value = std::nextafter(value, std::numeric_limits<double>::infinity());
  return value;
}
double down(double value, int steps) {
  while (steps-- > 0) value = std::nextafter(value, -std::numeric_limits<double>::infinity());
  return value;
}

// The start of a message's encoding, for failure output.
std::string describeFilter(const NANOMessageBase& message) {
  auto bytes = message.protoBuffer().value_or(platform::Bytes{});
  std::string out;
  for (std::size_t i = 0; i < bytes.size() && i < 40; ++i) {
    const char c = static_cast<char>(bytes[i]);
    out += (c >= 32 && c < 127) ? c : '.';
  }
  return out;
}

std::optional<bool> onValue(const std::shared_ptr<TLMPBFilter>& f, TLMValue value) {
  return TLMAudienceEvaluateFilterWithValue(*f, value);
}

class FilterEvaluationTest : public ::testing::Test {
 protected:
  TLMScopedRecordingMonitor monitor{true};
};

}  // namespace

TEST_F(FilterEvaluationTest, DoubleEqualityHoldsWithinTwoUnitsInTheLastPlaceOpenAtBothEnds) {
  auto equalOne = number(3, "1");
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*equalOne, 1.0), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*equalOne, up(1.0, 1)), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*equalOne, down(1.0, 1)), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*equalOne, up(1.0, 2)), false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*equalOne, down(1.0, 2)), false);
  // "0.1" is read as the double nearest to it, so 0.1 + 0.2 is not "0.3" but within the window.
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(3, "0.3"), 0.1 + 0.2), true);
  // Strict less / greater, inclusive between.
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(1, "2.5"), 2.5), false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(1, "2.5"), down(2.5, 1)), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(2, "-2.5"), -2.5), false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(4, std::nullopt, "1", "1"), 1.0),
            true);
  EXPECT_EQ(
      TLMAudienceEvaluateNumberFilterWithDouble(*number(4, std::nullopt, "1", "1"), up(1.0, 1)),
      false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(2, "+3"), 3.5), true);
}

TEST_F(FilterEvaluationTest, IntegersAboveTwoToTheFiftyThirdCompareExactlyAsDecimals) {
  const std::int64_t big = (std::int64_t{1} << 53) + 1;  // 9007199254740993, no double holds it
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(3, "9007199254740993"), big), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(3, "9007199254740992"), big), false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(2, "9007199254740992"), big), true);
  // The double path cannot tell the neighbours apart.
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(3, "9007199254740992"),
                                                      static_cast<double>(big)),
            true);
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(3, "9223372036854775807"), max), true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(1, "9223372036854775807"), max),
            false);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(4, std::nullopt, "-5", "-5"), -5),
            true);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(4, std::nullopt, "-5", "-4.5"), -4),
            false);
  // Numeric strings go the decimal way too.
  EXPECT_EQ(onValue(filter(number(3, "0.3")), TLMValue("0.30")), true);
  EXPECT_EQ(onValue(filter(number(3, "12")), TLMValue(std::string("+12."))), true);
}

TEST_F(FilterEvaluationTest, UnusableValuesAndFiltersGiveNoResultWithTheirMessage) {
  EXPECT_EQ(onValue(filter(number(3, "1")), TLMValue(std::nan(""))), std::nullopt);
  EXPECT_EQ(onValue(filter(number(3, "1")), TLMValue(std::numeric_limits<double>::infinity())),
            std::nullopt);
  EXPECT_EQ(monitor->count(7002), 2u);
  EXPECT_EQ(onValue(filter(number(3, "1")), TLMValue("1e3")), std::nullopt);
  EXPECT_TRUE(monitor->has(7001));
  EXPECT_EQ(onValue(filter(string(5, "1")), TLMValue(std::int64_t{1})), std::nullopt);
  EXPECT_TRUE(monitor->has(7003));
  EXPECT_EQ(onValue(TLMPBFilter::initWithMessageInfo(nullptr), TLMValue("x")), std::nullopt);
  EXPECT_TRUE(monitor->has(7000));

  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*TLMPBNumberFilter::initWithMessageInfo(nullptr)));
  EXPECT_TRUE(monitor->has(8006));
  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*number(0, "1")));
  EXPECT_TRUE(monitor->has(8007));
  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*number(3, "one")));
  EXPECT_TRUE(monitor->has(8008));
  monitor->clear();
  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*number(4, std::nullopt, "x", std::nullopt)));
  EXPECT_TRUE(monitor->has(8009) && monitor->has(8010));  // both bounds are examined
  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*number(5, "1")));
  EXPECT_TRUE(monitor->has(8011));
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(5, "1"), 1), std::nullopt);
  // A comparison value that the decimal type cannot hold is valid text but cannot be compared.
  monitor->clear();
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(3, "1." + std::string(60, '9')), 1),
            std::nullopt);
  EXPECT_TRUE(monitor->has(8002) && monitor->has(8015));
}

TEST_F(FilterEvaluationTest, StringMatchesFollowCaseRulesWithUnicodeFolding) {
  const std::string text = "xxAB";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(3, "ab"), &text), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(3, "ab", true), &text), false);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(2, "XX", false), &text), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(2, "XX", true), &text), false);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(4, "xa"), &text), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, "XXab"), &text), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, "XXa"), &text), false);

  const std::string accented = "ÉCOLE Œuvre";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, "école œuvre"), &accented), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(4, "LE œU"), &accented), true);
  const std::string sigma = "ΣΟΦΙΑ";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(3, "φια"), &sigma), true);

  const std::string blue = "BLUE";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(
                *string(6, std::nullopt, false, {"Red", "blue"}), &blue),
            true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(
                *string(6, std::nullopt, true, {"Red", "blue"}), &blue),
            false);

  // An empty expression matches nothing, except equality with case sensitivity on.
  const std::string empty;
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(4, ""), &blue), false);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, ""), &empty), false);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, "", true), &empty), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(7, "x"), &blue),
            false);  // unknown type above 6
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(5, "x"), nullptr), std::nullopt);
  EXPECT_TRUE(monitor->has(9005));
}

TEST_F(FilterEvaluationTest, RegularExpressionsAreIcuAndCaseInsensitiveUnlessAsked) {
  const std::string value = "Order #A-1234 shipped";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "#a-\\d{4}"), &value), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "#a-\\d{4}", true), &value),
            false);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "^shipped"), &value), false);
  const std::string greek = "καλημέρα";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "\\p{Greek}+"), &greek), true);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "(unclosed"), &value),
            std::nullopt);
  EXPECT_TRUE(monitor->has(9004) && monitor->has(9006));
  EXPECT_FALSE(TLMAudienceIsValidStringFilter(*string(6, "x")));
  EXPECT_TRUE(monitor->has(9003));
  EXPECT_FALSE(TLMAudienceIsValidStringFilter(*string(2, std::nullopt)));
  EXPECT_TRUE(monitor->has(9002));
  EXPECT_FALSE(TLMAudienceIsValidStringFilter(*string(0, "x")));
  EXPECT_TRUE(monitor->has(9001));
}

TEST_F(FilterEvaluationTest, ServerExpressionsThatBacktrackWithoutEndGiveNoResult) {
  // Without a limit this match takes longer than the age of the universe. The limit counts the
  // matcher's steps, not the time taken: both give up, each with its error.
  const std::string value = std::string(64, 'a') + "!";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "(a+)+$"), &value), std::nullopt);
  EXPECT_EQ(onValue(filter(string(1, "^(a|aa)+$"), "", true), TLMValue(value)), std::nullopt);
  EXPECT_EQ(monitor->count(9009), 2u);
  // An expression that ran out is not run again, not even where it would finish at once; the
  // same text with the other case option is another expression.
  const std::string shortValue = "aaaa";
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "(a+)+$"), &shortValue), std::nullopt);
  EXPECT_EQ(monitor->count(9009), 3u);
  EXPECT_EQ(TLMAudienceEvaluateStringFilterWithString(*string(1, "(a+)+$", true), &shortValue), true);
  EXPECT_EQ(monitor->count(9009), 3u);
}

TEST_F(FilterEvaluationTest, HugeComparisonValuesAreNotNumbers) {
  // A 200,000-digit comparison value once overflowed the stack of the thread checking it.
  const std::string digits(200000, '9');
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithInt64(*number(3, digits), 9), std::nullopt);
  EXPECT_EQ(TLMAudienceEvaluateNumberFilterWithDouble(*number(4, std::nullopt, "-" + digits, digits), 1.0),
            std::nullopt);
  EXPECT_FALSE(TLMAudienceIsValidNumberFilter(*number(2, digits + "x")));
}

TEST_F(FilterEvaluationTest, ComplementInvertsAnOutcomeButNotNoResult) {
  EXPECT_EQ(onValue(filter(string(5, "a"), "", true), TLMValue("b")), true);
  EXPECT_EQ(onValue(filter(string(5, "a"), "", true), TLMValue("A")), false);
  EXPECT_EQ(onValue(filter(string(5, "a"), "", false), TLMValue("A")), true);
  EXPECT_EQ(onValue(filter(number(3, "1"), "", true), TLMValue(std::nan(""))), std::nullopt);
}

TEST_F(FilterEvaluationTest, EventFiltersCountLifetimeOrSessionAndNeedEveryParameter) {
  auto third = eventFilter(1, "level_up", {}, number(2, "2"));
  const auto second = aggregates("level_up", 2);
  const auto thirdTime = aggregates("level_up", 3);
  EXPECT_EQ(TLMAudienceEvaluateEventFilter(third.get(), "level_up", {}, &second, false), false);
  EXPECT_EQ(TLMAudienceEvaluateEventFilter(third.get(), "level_up", {}, &thirdTime, false), true);

  auto scoped = eventFilter(1, "level_up", {}, number(2, "2"), Flags{false, false, true});
  const auto manyLifetimeOneSession = aggregates("level_up", 10, 1);
  EXPECT_EQ(
      TLMAudienceEvaluateEventFilter(scoped.get(), "level_up", {}, &manyLifetimeOneSession, true),
      false);
  EXPECT_EQ(
      TLMAudienceEvaluateEventFilter(scoped.get(), "level_up", {}, &manyLifetimeOneSession, false),
      true);

  const auto other = aggregates("other", 3);
  EXPECT_EQ(TLMAudienceEvaluateEventFilter(third.get(), "level_up", {}, &other, false),
            std::nullopt);
  EXPECT_TRUE(monitor->has(7007));
  EXPECT_EQ(TLMAudienceEvaluateEventFilter(third.get(), "other", {}, &other, false), std::nullopt);
  EXPECT_TRUE(monitor->has(7006));

  auto withParameters = eventFilter(
      2, "purchase", {filter(number(2, "10"), "value"), filter(string(5, "usd"), "currency")});
  TLMParameters parameters;
  parameters.set("value", TLMValue(std::int64_t{11}));
  parameters.set("currency", TLMValue("USD"));
  EXPECT_EQ(
      TLMAudienceEvaluateEventFilter(withParameters.get(), "purchase", parameters, nullptr, false),
      true);
  parameters.set("value", TLMValue(10.0));
  EXPECT_EQ(
      TLMAudienceEvaluateEventFilter(withParameters.get(), "purchase", parameters, nullptr, false),
      false);
  parameters.set("value", TLMValue(std::int64_t{11}));
  parameters.remove("currency");
  EXPECT_EQ(
      TLMAudienceEvaluateEventFilter(withParameters.get(), "purchase", parameters, nullptr, false),
      std::nullopt);  // a missing parameter is no result, not false
  EXPECT_EQ(monitor->first(7009).level, 7);
  // A numeric string parameter meets only a string filter; on a property it is compared as a
  // number.
  TLMParameters text;
  text.set("value", TLMValue("12"));
  EXPECT_EQ(TLMAudienceEvaluateEventFilter(
                eventFilter(3, "purchase", {filter(number(2, "10"), "value")}).get(), "purchase",
                text, nullptr, false),
            std::nullopt);
  EXPECT_TRUE(monitor->has(7010));
  const auto age = property("age", TLMValue("12"));
  EXPECT_EQ(TLMAudienceEvaluatePropertyFilter(
                propertyFilter(1, "age", filter(number(2, "10"))).get(), &age),
            true);
  EXPECT_EQ(TLMAudienceEvaluatePropertyFilter(
                propertyFilter(1, "other", filter(number(2, "10"))).get(), &age),
            std::nullopt);
  EXPECT_TRUE(monitor->has(7013));
}

// A filter prepared once and evaluated for many values answers each value as the message does,
// with the same monitor messages, however often it is asked: the reference is the message's own
// number or string evaluation, which checks the message every time.
TEST_F(FilterEvaluationTest, APreparedFilterAnswersEveryValueAsItsMessageDoes) {
  const std::int64_t min = std::numeric_limits<std::int64_t>::min();
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  const std::vector<std::shared_ptr<TLMPBNumberFilter>> numbers = {
      number(1, "10"), number(2, "-3"), number(3, "10.0"), number(3, "10.5"),
      number(4, std::nullopt, "-5", "5"), number(4, std::nullopt, "0.5", "7"),
      number(3, "9223372036854775807"), number(2, "9223372036854775808"),
      number(1, "-9223372036854775808"), number(4, std::nullopt, "-9223372036854775809", "0"),
      // Not usable: each evaluation says why again.
      number(3, "ten"), number(3, std::string(100000, '7')), number(3, "1." + std::string(60, '9')),
      number(4, std::nullopt, "1", std::nullopt), number(0, "1"), number(5, "1"),
      TLMPBNumberFilter::initWithMessageInfo(nullptr)};
  const std::vector<std::int64_t> integers = {min, min + 1, -6, -5, -4, -3, 0, 9, 10, 11, max - 1, max};
  const std::vector<double> doubles = {-5.0, 0.5, 10.0, 10.5, up(10.0, 1), 9.2e18};
  for (const auto& inner : numbers) {
    const TLMAudiencePreparedFilter prepared = TLMAudiencePrepareFilter(filter(inner));
    auto check = [&](auto value, auto reference) {
      monitor->clear();
      const auto expected = reference(*inner, value);
      const auto expectedCodes = monitor->codes();
      monitor->clear();
      EXPECT_EQ(TLMAudienceEvaluatePreparedFilterWithValue(prepared, TLMValue(value)), expected)
          << describeFilter(*inner) << " on " << value;
      EXPECT_EQ(monitor->codes(), expectedCodes) << describeFilter(*inner) << " on " << value;
    };
    for (int round = 0; round < 2; ++round) {
      for (std::int64_t value : integers) {
        check(value, [](const TLMPBNumberFilter& f, std::int64_t v) {
          return TLMAudienceEvaluateNumberFilterWithDecimalNumber(f, v);
        });
      }
      for (double value : doubles) check(value, TLMAudienceEvaluateNumberFilterWithDouble);
    }
  }

  const std::vector<std::shared_ptr<TLMPBStringFilter>> strings = {
      string(5, "École"), string(5, "École", true), string(2, "éC"), string(3, "LE"),
      string(4, "co"), string(6, std::nullopt, false, {"Red", "ÉCOLE"}),
      string(6, std::nullopt, true, {"Red", "ÉCOLE"}), string(1, "^é\\w+$"), string(5, ""),
      string(5, "", true), string(1, "(b+)+$"),
      // Not usable.
      string(1, "(unclosed"), string(2, std::nullopt), string(6, "x"), string(0, "x")};
  const std::vector<std::string> texts = {"école", "ÉCOLE", "ecole", "", "xécolex", "red", "10",
                                          std::string(64, 'b') + "!", "bb"};
  for (const auto& inner : strings) {
    for (bool complement : {false, true}) {
      const auto message = filter(inner, "", complement);
      const TLMAudiencePreparedFilter prepared = TLMAudiencePrepareFilter(message);
      for (int round = 0; round < 2; ++round) {
        for (const std::string& text : texts) {
          monitor->clear();
          auto expected = TLMAudienceEvaluateStringFilterWithString(*inner, &text);
          if (expected && complement) expected = !*expected;
          const auto expectedCodes = monitor->codes();
          monitor->clear();
          EXPECT_EQ(TLMAudienceEvaluatePreparedFilterWithValue(prepared, TLMValue(text)), expected)
              << describeFilter(*inner) << " on " << text;
          EXPECT_EQ(monitor->codes(), expectedCodes) << describeFilter(*inner) << " on " << text;
        }
      }
    }
  }
  // The expression that ran out is remembered for the prepared form too.
  const std::string shortText = "bb";
  EXPECT_EQ(TLMAudienceEvaluatePreparedFilterWithValue(TLMAudiencePrepareFilter(filter(string(1, "(b+)+$"))),
                                                       TLMValue(shortText)),
            std::nullopt);
  EXPECT_TRUE(monitor->has(9009));
}

TEST_F(FilterEvaluationTest, WholeComparisonValuesCompareIntegersExactlyAtTheirBounds) {
  const std::int64_t max = std::numeric_limits<std::int64_t>::max();
  auto on = [](const std::shared_ptr<TLMPBNumberFilter>& inner, std::int64_t value) {
    return TLMAudienceEvaluatePreparedFilterWithValue(TLMAudiencePrepareFilter(filter(inner)),
                                                      TLMValue(value));
  };
  EXPECT_EQ(on(number(1, "10"), 9), true);
  EXPECT_EQ(on(number(1, "10"), 10), false);
  EXPECT_EQ(on(number(2, "10"), 10), false);
  EXPECT_EQ(on(number(2, "10"), 11), true);
  EXPECT_EQ(on(number(3, "+10."), 10), true);
  EXPECT_EQ(on(number(4, std::nullopt, "10", "10"), 10), true);
  EXPECT_EQ(on(number(4, std::nullopt, "10", "10"), 11), false);
  EXPECT_EQ(on(number(4, std::nullopt, "-9223372036854775808", "9223372036854775807"), max), true);
  // Beyond the integer range or with a fraction, the decimal comparison decides.
  EXPECT_EQ(on(number(1, "9223372036854775808"), max), true);
  EXPECT_EQ(on(number(2, "9.5"), 10), true);
  EXPECT_EQ(on(number(3, "10.000000000000000000001"), 10), false);
}
