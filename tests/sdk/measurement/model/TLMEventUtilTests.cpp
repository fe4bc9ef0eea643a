#include <gtest/gtest.h>

#include <string>

#include "Texts.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

using testsupport::repeat;

const TLMValue* param(const TLMObjectDictionary& d, const char* key) {
  const TLMObject* o = d.find(key);
  return o != nullptr ? o->tlmValue() : nullptr;
}

TEST(ErrorEvents, LogInternalErrorEventsWithTrimmedValue) {
  TLMScopedRecordingMonitor monitor;
  TLMLogErrorEventWithCode(0);
  TLMLogErrorEventWithCode(8);
  const std::string longName = repeat("\xC3\xA9", 45);
  TLMLogErrorEventWithParameters(2, longName, 40, longName);
  const std::string shortName = repeat("n", 30);
  TLMLogErrorEventWithParameters(2, shortName, 40, shortName);
  TLMLogErrorEventWithParameters(7, shortName, 40, shortName);
  TLMLogErrorEventWithParameters(0, shortName, 40, shortName);

  auto events = monitor.internalEvents();
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(events[0].origin, "auto");
  EXPECT_EQ(events[0].name, "_err");
  EXPECT_EQ(events[0].parameters.find("_err")->contextValue(), platform::Value(8));
  EXPECT_EQ(*param(events[1].parameters, "_ev"), TLMValue(repeat("\xC3\xA9", 40) + "..."));
  EXPECT_EQ(*param(events[1].parameters, "_el"), TLMValue(45));
  EXPECT_EQ(*param(events[2].parameters, "_ev"), TLMValue(shortName));
  EXPECT_FALSE(events[2].parameters.contains("_el"));
  EXPECT_EQ(*param(events[3].parameters, "_el"), TLMValue(30));
}

TEST(ErrorParameters, FirstProblemWinsAndValuesAreDescribed) {
  TLMScopedRecordingMonitor monitor;
  TLMParameters p;
  TLMAddErrorParameters(p, 3, TLMObject(), 40, TLMObject());
  EXPECT_EQ(*p.find("_ev"), TLMValue("(nil)"));
  TLMAddErrorParameters(p, 4, "other", 40, "other");
  EXPECT_EQ(*p.find("_err"), TLMValue(3));
  EXPECT_FALSE(p.contains("_el"));

  TLMParameters numbers;
  TLMAddErrorParameters(numbers, 4, 12, 40, TLMObject());
  EXPECT_EQ(*numbers.find("_ev"), TLMValue("NSNumber"));

  TLMParameters onlyCode{{"_err", TLMValue(1)}};
  TLMAddErrorParameters(onlyCode, 4, "x", 40, "x");
  EXPECT_EQ(onlyCode.size(), 1u);
  TLMAddErrorParameter(onlyCode, 9);
  EXPECT_EQ(*onlyCode.find("_err"), TLMValue(1));
}

TEST(PublicNames, TellPublicFromInternal) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_TRUE(TLMEventUtilIsPublicName("shop"));
  EXPECT_FALSE(TLMEventUtilIsPublicName("_s"));
  EXPECT_FALSE(TLMEventUtilIsPublicName(""));
  EXPECT_TRUE(monitor->has(18003));
  EXPECT_FALSE(TLMEventUtilIsPublicName(5));
  EXPECT_TRUE(monitor->has(18002));
}

TEST(ScreenParameters, ExtractLeavesSourceUnchanged) {
  TLMObjectDictionary source{{"_sn", "Home"}, {"x", 1}, {"_si", 4}};
  EXPECT_TRUE(TLMHasScreenParameters(source));
  auto extracted = TLMExtractScreenParameters(source);
  EXPECT_EQ(extracted.size(), 2u);
  EXPECT_EQ(source.size(), 3u);
  EXPECT_TRUE(TLMExtractScreenParameters(TLMObjectDictionary()).empty());
  EXPECT_FALSE(TLMHasScreenParameters(TLMObjectDictionary{{"x", 1}}));
}

TEST(ConversionCheck, RecordsTheFirstFailingParameter) {
  TLMScopedRecordingMonitor monitor;
  TLMParameters none{{"a", TLMValue(1)}};
  EXPECT_TRUE(TLMValidateConversionEventParameters(none));
  TLMParameters text{{"value", TLMValue("12")}, {"currency", TLMValue("USD")}};
  EXPECT_FALSE(TLMValidateConversionEventParameters(text));
  EXPECT_EQ(*text.find("_err"), TLMValue(18));
  EXPECT_EQ(*text.find("_ev"), TLMValue("value"));
  TLMParameters fourLetters{{"value", TLMValue(3)}, {"currency", TLMValue("USDX")}};
  EXPECT_FALSE(TLMValidateConversionEventParameters(fourLetters));
  EXPECT_FALSE(fourLetters.contains("value"));
  EXPECT_EQ(*fourLetters.find("_err"), TLMValue(19));
  TLMParameters good{{"value", TLMValue(3)}, {"currency", TLMValue("usd")}};
  EXPECT_TRUE(TLMValidateConversionEventParameters(good));
}

platform::Value dicts(std::initializer_list<platform::Value> items) { return platform::Value::array(items); }

TEST(Decomposition, SplitsArraysIntoLinkedChildEvents) {
  TLMScopedRecordingMonitor monitor;
  TLMObjectDictionary params{
      {"b", dicts({platform::Value::dictionary({{"item", "x"}}), platform::Value::dictionary({}),
                   platform::Value::dictionary({{"item", "y"}})})},
      {"a", "plain"}};
  EXPECT_TRUE(TLMHasArrayParameters(params));
  auto events = TLMDecomposeEvent(77, "checkout", "app", params, true, 5);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 3u);
  const TLMEventPtr& main = (*events)[0];
  EXPECT_EQ(main->name(), "checkout");
  EXPECT_EQ(*main->parameters().find("a"), TLMValue("plain"));
  EXPECT_EQ(*main->parameters().find("b"), TLMValue(2));
  EXPECT_EQ(*main->parameters().find("_epc"), TLMValue(2));
  EXPECT_EQ(*main->parameters().find("_eid"), TLMValue(77));
  for (int i = 1; i <= 2; ++i) {
    const TLMEventPtr& child = (*events)[i];
    EXPECT_EQ(child->name(), "_ep");
    EXPECT_EQ(child->origin(), "app");
    EXPECT_EQ(*child->parameters().find("_gn"), TLMValue("b"));
    EXPECT_EQ(*child->parameters().find("_en"), TLMValue("checkout"));
    EXPECT_EQ(*child->parameters().find("_i"), TLMValue(i - 1));
    EXPECT_EQ(*child->parameters().find("_ll"), TLMValue(2));
    EXPECT_EQ(*child->parameters().find("_eid"), TLMValue(77));
  }
  EXPECT_EQ(*(*events)[2]->parameters().find("item"), TLMValue("y"));
}

TEST(Decomposition, MoreThanAThousandChildrenAreAllDropped) {
  TLMScopedRecordingMonitor monitor;
  platform::Array many(1001, platform::Value::dictionary({{"k", 1}}));
  auto events = TLMDecomposeEvent(1, "bulk", "app", {{"list", platform::Value(many)}}, true, 5);
  ASSERT_TRUE(events);
  ASSERT_EQ(events->size(), 1u);
  EXPECT_EQ(*(*events)[0]->parameters().find("_err"), TLMValue(17));
  EXPECT_FALSE((*events)[0]->parameters().contains("list"));
  EXPECT_TRUE(monitor->has(18008));

  platform::Array thousand(1000, platform::Value::dictionary({{"k", 1}}));
  auto full = TLMDecomposeEvent(1, "bulk", "app", {{"list", platform::Value(thousand)}}, true, 5);
  EXPECT_EQ(full->size(), 1001u);
}

TEST(Decomposition, NonDictionaryElementStopsTheGroup) {
  TLMScopedRecordingMonitor monitor;
  TLMObjectDictionary params{
      {"b", dicts({platform::Value::dictionary({{"item", "x"}}), platform::Value("oops"),
                   platform::Value::dictionary({{"item", "y"}})})}};
  auto events = TLMDecomposeEvent(3, "checkout", "app", params, true, 5);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(*(*events)[0]->parameters().find("_err"), TLMValue(4));
  EXPECT_EQ(*(*events)[0]->parameters().find("_ev"), TLMValue("b"));
  EXPECT_TRUE(monitor->has(18009));
}

TEST(Decomposition, EmptyDictionariesAndBadValues) {
  TLMScopedRecordingMonitor monitor;
  TLMObjectDictionary params{{"b", dicts({platform::Value::dictionary({}), platform::Value::dictionary({})})},
                             {"c", platform::Value::dictionary({{"x", 1}})}};
  auto events = TLMDecomposeEvent(3, "checkout", "app", params, true, 5);
  ASSERT_EQ(events->size(), 1u);
  const TLMEventPtr& main = (*events)[0];
  EXPECT_FALSE(main->parameters().contains("b"));
  EXPECT_FALSE(main->parameters().contains("c"));
  EXPECT_FALSE(main->parameters().contains("_epc"));
  EXPECT_EQ(*main->parameters().find("_err"), TLMValue(4));
  EXPECT_TRUE(monitor->has(18005));

  // A child whose parameters all vanish cannot be made: the group gives nothing.
  TLMObjectDictionary failing{
      {"b", dicts({platform::Value::dictionary({{"ok", 1}}),
                   platform::Value::dictionary({{"nested", platform::Value::array({1})}})})}};
  auto none = TLMDecomposeEvent(3, "checkout", "app", failing, true, 5);
  ASSERT_EQ(none->size(), 1u);
  EXPECT_EQ(*(*none)[0]->parameters().find("_err"), TLMValue(4));
  EXPECT_TRUE(monitor->has(18010));
  // A child keeps the error parameters of its own bad keys.
  TLMObjectDictionary badKey{{"b", dicts({platform::Value::dictionary({{"1bad", 1}})})}};
  auto withError = TLMDecomposeEvent(3, "checkout", "app", badKey, true, 5);
  ASSERT_EQ(withError->size(), 2u);
  EXPECT_EQ(*(*withError)[1]->parameters().find("_err"), TLMValue(3));
}

TEST(Decomposition, InvalidMainEventGivesNothing) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_FALSE(TLMDecomposeEvent(3, "bad name", "app", {{"a", 1}}, true, 5));
  EXPECT_TRUE(monitor->has(18013));
}

TEST(ErrorEventTest, ByName) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_TRUE(TLMEventUtilIsErrorEvent(*TLMEvent::initWithOrigin("auto", false, "_err", 1, 0, {})));
  EXPECT_FALSE(TLMEventUtilIsErrorEvent(*TLMEvent::initWithOrigin("auto", false, "_e", 1, 0, {})));
  EXPECT_EQ(TLMErrorEventCodeNames().at(19), "CurrencyCodeIsMissingOrInvalid");
}

}  // namespace
