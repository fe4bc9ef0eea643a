#include <gtest/gtest.h>

#include <string>

#include "Texts.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

using testsupport::repeat;

std::int64_t intParam(const TLMEventPtr& e, const char* key) {
  const TLMValue* v = e->parameters().find(key);
  return v != nullptr && v->isInt64() ? v->int64Value() : -1;
}

std::string stringParam(const TLMEventPtr& e, const char* key) {
  const TLMValue* v = e->parameters().find(key);
  return v != nullptr && v->isString() ? *v->stringPtr() : "<none>";
}

TLMEventPtr publicEvent(const TLMObjectDictionary& params, double previous = 0) {
  return TLMEvent::initWithOrigin("app", true, "purchase_done", 10, previous, params);
}

TEST(EventConstruction, ValidatesOriginAndName) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_TRUE(TLMEvent::initWithOrigin("app", true, "shop", 1, 0, {}));
  EXPECT_TRUE(TLMEvent::initWithOrigin("xq+zep", true, "shop", 1, 0, {}));
  monitor->clear();
  EXPECT_FALSE(TLMEvent::initWithOrigin("", true, "shop", 1, 0, {}));
  EXPECT_TRUE(monitor->entries().empty());  // an empty origin is refused silently
  EXPECT_FALSE(TLMEvent::initWithOrigin("a-b", true, "shop", 1, 0, {}));
  EXPECT_FALSE(TLMEvent::initWithOrigin("app", true, "_vs", 1, 0, {}));
  EXPECT_TRUE(TLMEvent::initWithOrigin("auto", false, "_vs", 1, 0, {}));
  EXPECT_FALSE(TLMEvent::initWithOrigin("auto", false, repeat("e", 41), 1, 0, {}));
  // The forwarded origin is stored whole, suffix included.
  EXPECT_EQ(TLMEvent::initWithOrigin("xq+zep", true, "shop", 1, 0, {})->origin(), "xq+zep");
}

TEST(EventConstruction, PreviousTimestampAfterTimestampIsLoggedButAccepted) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({}, 20);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->previousTimestamp(), 20);
  EXPECT_TRUE(monitor->has(16002));
}

TEST(EventConstruction, OriginParameterIsReplacedAndHostObjectsConverted) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"_o", "fake"}, {"count", 3}, {"ratio", 0.5}, {"flag", true}, {"name", "x"}});
  ASSERT_TRUE(e);
  // "_o" fails the public key rules, so it is dropped, and then set from the origin.
  EXPECT_EQ(stringParam(e, "_o"), "app");
  EXPECT_EQ(*e->parameters().find("count"), TLMValue(3));
  EXPECT_EQ(*e->parameters().find("ratio"), TLMValue(0.5));
  EXPECT_EQ(*e->parameters().find("flag"), TLMValue(1));
  EXPECT_EQ(stringParam(e, "name"), "x");
  auto internal = TLMEvent::initWithOrigin("auto", false, "_e", 1, 0, {{"_o", "other"}});
  EXPECT_EQ(stringParam(internal, "_o"), "auto");
}

TEST(EventNormalisation, ReservedPrefixKeepsOtherParameters) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"cindervale_x", 1}, {"kept", 2}});
  EXPECT_FALSE(e->parameters().contains("cindervale_x"));
  EXPECT_EQ(intParam(e, "kept"), 2);
  EXPECT_EQ(intParam(e, "_err"), 14);
  EXPECT_EQ(stringParam(e, "_ev"), "cindervale_x");
  EXPECT_FALSE(e->parameters().contains("_el"));
}

TEST(EventNormalisation, TooLongValueRecordsNameAndLengthInCodePoints) {
  TLMScopedRecordingMonitor monitor;
  const std::string value = repeat("\xF0\x9F\x98\x80", 101);
  auto e = publicEvent({{"note", value}});
  EXPECT_FALSE(e->parameters().contains("note"));
  EXPECT_EQ(intParam(e, "_err"), 4);
  EXPECT_EQ(stringParam(e, "_ev"), "note");
  EXPECT_EQ(intParam(e, "_el"), 101);
  // The same value fits an internal event.
  auto internal = TLMEvent::initWithOrigin("auto", false, "_e", 1, 0, {{"note", value}});
  EXPECT_EQ(stringParam(internal, "note"), value);
}

TEST(EventNormalisation, LongParameterNameIsTrimmedWithItsLength) {
  TLMScopedRecordingMonitor monitor;
  const std::string name = repeat("n", 45);
  auto e = publicEvent({{name, 1}});
  EXPECT_EQ(intParam(e, "_err"), 3);
  EXPECT_EQ(stringParam(e, "_ev"), repeat("n", 40) + "...");
  EXPECT_EQ(intParam(e, "_el"), 45);
}

TEST(EventNormalisation, FirstProblemWins) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"bad-name", 1}, {"note", repeat("x", 150)}, {"jq_y", 1}});
  EXPECT_EQ(intParam(e, "_err"), 3);
  EXPECT_EQ(stringParam(e, "_ev"), "bad-name");
  EXPECT_FALSE(e->parameters().contains("_el"));
}

TEST(EventNormalisation, AllParametersFailingLeaveOriginAndErrors) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"1x", 1}, {"arr", platform::Value::array({1})}});
  EXPECT_EQ(e->parameters().size(), 3u);  // "_err", "_ev" and "_o"
  EXPECT_EQ(intParam(e, "_err"), 3);
  EXPECT_TRUE(monitor->has(16000));
}

TEST(EventNormalisation, KeepsTheTwentyFivePublicParametersThatSortFirst) {
  TLMScopedRecordingMonitor monitor;
  TLMObjectDictionary params;
  for (int i = 29; i >= 0; --i) params.set("p" + std::string(i < 10 ? "0" : "") + std::to_string(i), i);
  params.set("_r", 1);
  auto e = TLMEvent::initWithOrigin("app", false, "lots", 1, 0, params);
  EXPECT_EQ(TLMEventPublicParameterCount(e->parameters()), 25);
  EXPECT_TRUE(e->parameters().contains("p24"));
  EXPECT_FALSE(e->parameters().contains("p25"));
  EXPECT_TRUE(e->parameters().contains("_r"));
  EXPECT_EQ(intParam(e, "_err"), 5);
  EXPECT_EQ(monitor->first(16001).message, "Event cannot contain more than 25 parameters");
}

TEST(EventNormalisation, ParameterCapSortsNamesByUTF16Units) {
  // A fullwidth letter (U+FF21) sorts after a letter outside the Basic Multilingual Plane
  // (U+1D400, written with surrogates below U+E000), although its code point is smaller.
  TLMScopedRecordingMonitor monitor;
  const std::string fullwidth = "\xEF\xBC\xA1x";
  const std::string outsideBMP = "\xF0\x9D\x90\x80x";
  TLMObjectDictionary params;
  for (int i = 0; i < 24; ++i) params.set("p" + std::string(i < 10 ? "0" : "") + std::to_string(i), i);
  params.set(fullwidth, 1);
  params.set(outsideBMP, 2);
  auto e = TLMEvent::initWithOrigin("app", false, "lots", 1, 0, params);
  ASSERT_NE(e, nullptr);
  EXPECT_EQ(TLMEventPublicParameterCount(e->parameters()), 25);
  EXPECT_TRUE(e->parameters().contains(outsideBMP));
  EXPECT_FALSE(e->parameters().contains(fullwidth));
  EXPECT_EQ(intParam(e, "_err"), 5);
}

TEST(EventNormalisation, LongErrorValueIsTrimmedOnce) {
  TLMScopedRecordingMonitor monitor;
  const std::string longValue = repeat("v", 300);
  auto e = TLMEvent::initWithOrigin("auto", false, "_err", 1, 0, {{"_ev", longValue}});
  EXPECT_EQ(stringParam(e, "_ev"), repeat("v", 256) + "...");
  EXPECT_EQ(intParam(e, "_el"), 300);
  // An already trimmed value passes unchanged through a copy.
  auto copy = e->copy();
  EXPECT_EQ(stringParam(copy, "_ev"), repeat("v", 256) + "...");
  EXPECT_EQ(intParam(copy, "_el"), 300);
}

TEST(EventFlags, ConversionNeedsValidValueAndCurrency) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"value", 9.5}});
  e->setConversion(true);
  EXPECT_FALSE(e->isConversion());
  EXPECT_FALSE(e->parameters().contains("value"));
  EXPECT_EQ(intParam(e, "_err"), 19);
  EXPECT_EQ(stringParam(e, "_ev"), "currency");
  EXPECT_TRUE(monitor->has(18014));

  auto ok = publicEvent({{"value", 9.5}, {"currency", "usd"}});
  ok->setConversion(false);  // no "_c": nothing changes
  EXPECT_FALSE(ok->parameters().contains("_err"));
  ok->setConversion(true);
  EXPECT_TRUE(ok->isConversion());
  ok->setConversion(false);
  EXPECT_FALSE(ok->isConversion());
  EXPECT_EQ(intParam(ok, "_err"), 10);
  ok->setConversion(true);
  EXPECT_TRUE(ok->isConversion());
  EXPECT_FALSE(ok->parameters().contains("_err"));
}

TEST(EventFlags, ConstructionDropsConversionFlagWithBadValue) {
  TLMScopedRecordingMonitor monitor;
  auto e = TLMEvent::initWithOrigin("app", false, "buy", 1, 0, {{"_c", 1}, {"value", "ten"}});
  EXPECT_FALSE(e->isConversion());
  EXPECT_FALSE(e->parameters().contains("value"));
  EXPECT_EQ(intParam(e, "_err"), 18);
}

TEST(EventFlags, RealtimeAndDebug) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({});
  e->setRealtime(true);
  e->setDebug(true);
  EXPECT_TRUE(e->isRealtime());
  EXPECT_TRUE(e->isDebug());
  e->setRealtime(false);
  e->setDebug(false);
  EXPECT_FALSE(e->isRealtime());
  EXPECT_FALSE(e->isDebug());
  auto odd = TLMEvent::initWithOrigin("auto", false, "_e", 1, 0, {{"_r", "yes"}});
  EXPECT_FALSE(odd->isRealtime());
  EXPECT_TRUE(monitor->has(16006));
}

TEST(EventScreenParameters, AddsOnlyCompleteValidSets) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({});
  EXPECT_FALSE(e->addScreenParameters({}));
  EXPECT_FALSE(e->addScreenParameters({{"_sc", "Home"}}));
  EXPECT_FALSE(e->addScreenParameters({{"_sc", "Home"}, {"_si", "7"}}));
  EXPECT_FALSE(e->addScreenParameters({{"_sc", repeat("c", 101)}, {"_si", 7}}));
  EXPECT_TRUE(monitor->has(16003));
  EXPECT_FALSE(e->addScreenParameters({{"_sc", "Home"}, {"_si", 7}, {"_sn", ""}}));
  EXPECT_TRUE(monitor->has(16004));
  EXPECT_FALSE(TLMHasScreenParameters(e->parameters()));
  EXPECT_TRUE(e->addScreenParameters({{"_sc", TLMValue("Home")}, {"_si", 7.5}, {"_sn", "Main"}}));
  EXPECT_EQ(stringParam(e, "_sc"), "Home");
  EXPECT_EQ(*e->parameters().find("_si"), TLMValue(7.5));
  EXPECT_EQ(stringParam(e, "_sn"), "Main");
  // A second set is refused, even one without a class.
  EXPECT_FALSE(e->addScreenParameters({{"_sc", "Other"}, {"_si", 1}}));
  EXPECT_EQ(stringParam(e, "_sc"), "Home");
}

TEST(EventCopies, AreRevalidatedAsInternalAndIndependent) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({{"a", 1}}, 5);
  auto later = e->copyWithPreviousTimestamp(7);
  EXPECT_EQ(later->previousTimestamp(), 7);
  EXPECT_EQ(later->parameters(), e->parameters());
  auto replaced = e->copyWithParameters({{"b", 2}});
  EXPECT_FALSE(replaced->parameters().contains("a"));
  EXPECT_EQ(stringParam(replaced, "_o"), "app");
  auto copy = e->copy();
  copy->setRealtime(true);
  EXPECT_FALSE(e->isRealtime());
}

TEST(RawEventData, RefusesNullEventAndNegativeRowID) {
  TLMScopedRecordingMonitor monitor;
  auto e = publicEvent({});
  auto ok = TLMRawEventData::initWithRawEvent(e, 0, 99);
  ASSERT_TRUE(ok);
  EXPECT_EQ(ok->rawEvent(), e);  // the same event, not a copy
  EXPECT_EQ(ok->metadataFingerprint(), 99);
  EXPECT_FALSE(TLMRawEventData::initWithRawEvent(e, -1, 0));
  EXPECT_TRUE(monitor->has(28001));
  EXPECT_FALSE(TLMRawEventData::initWithRawEvent(nullptr, 1, 0));
  EXPECT_TRUE(monitor->has(28000));
}

}  // namespace
