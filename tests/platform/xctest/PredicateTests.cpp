#include <gtest/gtest.h>

#include <map>
#include <stdexcept>

#include "foundation/Exception.h"
#include "xctest/NSPredicate.h"

#define EXPECT_THROW_PLATFORM(statement)                                  \
  try {                                                                   \
    statement;                                                            \
    ADD_FAILURE() << "no exception";                                      \
  } catch (const platform::Exception& e) {                                \
    EXPECT_EQ(e.name(), "NSInvalidArgumentException");                    \
    EXPECT_NE(e.reason().find("Unable to parse the format string"), std::string::npos) << e.reason(); \
  }

namespace {

// A subject answering from a fixed map; unknown keys are programming errors.
class MapSubject : public NSPredicateSubject {
 public:
  explicit MapSubject(std::map<std::string, NSPredicateValue> values) : values_(std::move(values)) {}
  NSPredicateValue valueForKey(const std::string& key) const override {
    auto it = values_.find(key);
    if (it == values_.end()) throw std::out_of_range(key);
    return it->second;
  }
  std::string debugDescription() const override { return "map"; }

 private:
  std::map<std::string, NSPredicateValue> values_;
};

MapSubject element(const std::string& label, bool exists = true) {
  return MapSubject({{"label", label}, {"exists", exists}, {"value", std::monostate{}}, {"identifier", "id1"}});
}

TEST(Predicate, BooleanKeysCompareWithTrueAndFalse) {
  EXPECT_TRUE(NSPredicate("exists == TRUE").evaluate(element("x", true)));
  EXPECT_FALSE(NSPredicate("exists == TRUE").evaluate(element("x", false)));
  EXPECT_TRUE(NSPredicate("exists == FALSE").evaluate(element("x", false)));
  EXPECT_TRUE(NSPredicate("exists == 1").evaluate(element("x", true)));
  EXPECT_TRUE(NSPredicate("exists = YES").evaluate(element("x", true)));
}

TEST(Predicate, TextOperatorsAndCaseFolding) {
  auto e = element("Available balance $1,234.56");
  EXPECT_TRUE(NSPredicate("label CONTAINS '$'").evaluate(e));
  EXPECT_FALSE(NSPredicate("label CONTAINS 'available'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label CONTAINS[c] 'available'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label BEGINSWITH 'Avail'").evaluate(e));
  EXPECT_FALSE(NSPredicate("label BEGINSWITH 'balance'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label ENDSWITH '.56'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label LIKE 'Avail*$?,*'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label MATCHES '.*\\\\$[0-9,]+\\\\.[0-9]{2}'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label ==[c] 'AVAILABLE BALANCE $1,234.56'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label ==[cd] 'available balance $1,234.56'").evaluate(element("Àvailable balance $1,234.56")));
  EXPECT_TRUE(NSPredicate("label != 'x'").evaluate(e));
  // A long label is matched without a stack frame per character.
  auto longLabel = element(std::string(200000, 'a') + "$9.99");
  EXPECT_TRUE(NSPredicate("label MATCHES '[ab]*\\\\$[0-9,]+\\\\.[0-9]{2}'").evaluate(longLabel));
  EXPECT_FALSE(NSPredicate("label MATCHES '[ab]*'").evaluate(longLabel));
}

TEST(Predicate, AndOrNotAndParenthesesFollowPrecedence) {
  auto e = element("OK", true);
  EXPECT_TRUE(NSPredicate("exists == TRUE AND label == 'OK'").evaluate(e));
  EXPECT_FALSE(NSPredicate("exists == FALSE AND label == 'OK'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label == 'x' OR label == 'OK'").evaluate(e));
  // AND binds tighter than OR.
  EXPECT_TRUE(NSPredicate("label == 'OK' OR label == 'x' AND exists == FALSE").evaluate(e));
  EXPECT_FALSE(NSPredicate("(label == 'OK' OR label == 'x') AND exists == FALSE").evaluate(e));
  EXPECT_TRUE(NSPredicate("NOT label == 'x' && !(exists == FALSE)").evaluate(e));
}

TEST(Predicate, ArgumentsAreValuesNotFormatText) {
  // An argument full of quotes and operators stays one value.
  std::string tricky = "it's \"quoted\" ' OR label == '";
  auto e = element(tricky);
  EXPECT_TRUE(NSPredicate("label == %@", tricky).evaluate(e));
  EXPECT_FALSE(NSPredicate("label == %@", std::string("it's")).evaluate(e));
  EXPECT_TRUE(NSPredicate("label CONTAINS[c] %@ AND exists == %@", "QUOTED", true).evaluate(e));
  EXPECT_EQ(NSPredicate("label CONTAINS[c] %@", "a\"b").predicateFormat(), "label CONTAINS[c] \"a\\\"b\"");
}

TEST(Predicate, EscapedApostropheInsideQuotedText) {
  auto e = element("they'll see your registered legal name.");
  EXPECT_TRUE(NSPredicate("label CONTAINS 'they\\'ll see'").evaluate(e));
  EXPECT_TRUE(NSPredicate("label == \"they'll see your registered legal name.\"").evaluate(e));
}

TEST(Predicate, NilAndMismatchedTypes) {
  auto e = element("5");
  EXPECT_TRUE(NSPredicate("value == nil").evaluate(e));
  EXPECT_FALSE(NSPredicate("value == ''").evaluate(e));
  EXPECT_FALSE(NSPredicate("value CONTAINS 'x'").evaluate(e));
  EXPECT_FALSE(NSPredicate("label == 5").evaluate(e));
  EXPECT_TRUE(NSPredicate("exists > 0").evaluate(e));
}

TEST(Predicate, BadFormatsAndArgumentCountsThrow) {
  EXPECT_THROW_PLATFORM(NSPredicate("label == "));
  EXPECT_THROW_PLATFORM(NSPredicate("label == 'unterminated"));
  EXPECT_THROW_PLATFORM(NSPredicate("label SOUNDSLIKE 'x'"));
  EXPECT_THROW_PLATFORM(NSPredicate("label == %@"));
  EXPECT_THROW_PLATFORM(NSPredicate("label == %@", "a", "b"));
  EXPECT_THROW_PLATFORM(NSPredicate("label ==[q] 'x'"));
  EXPECT_THROW_PLATFORM(NSPredicate("(label == 'x'"));
}

}  // namespace
