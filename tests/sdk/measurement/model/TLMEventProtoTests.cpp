#include <gtest/gtest.h>

#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/model/TLMUserAttribute.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

std::shared_ptr<TLMPBEventParam> param(const std::string& name) {
  auto p = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(*p, TLMPBEventParamSlot::name, name);
  return p;
}

TEST(EventProto, WritesMillisecondsAndValuesByKind) {
  TLMScopedRecordingMonitor monitor;
  auto e = TLMEvent::initWithOrigin("app", true, "shop", 1.2345, 0,
                                    {{"d", 2.5}, {"i", 7}, {"s", "x"}});
  auto proto = e->protoEvent();
  EXPECT_EQ(*NANOGetString(*proto, TLMPBEventSlot::name), "shop");
  EXPECT_EQ(NANOGetInt64(*proto, TLMPBEventSlot::timestamp_millis), 1234);
  EXPECT_FALSE(NANOHasField(*proto, TLMPBEventSlot::previous_timestamp_millis));
  EXPECT_FALSE(NANOHasField(*proto, TLMPBEventSlot::reserved_5));
  auto params = *NANOGetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params);
  ASSERT_EQ(params.size(), 4u);  // "_o" travels as a parameter
  for (const auto& p : params) {
    const std::string name = *NANOGetString(*p, TLMPBEventParamSlot::name);
    EXPECT_FALSE(NANOHasField(*p, TLMPBEventParamSlot::float_value));
    if (name == "d") {
      EXPECT_EQ(NANOGetDouble(*p, TLMPBEventParamSlot::double_value), 2.5);
      EXPECT_FALSE(NANOHasField(*p, TLMPBEventParamSlot::int_value));
    } else if (name == "i") {
      EXPECT_EQ(NANOGetInt64(*p, TLMPBEventParamSlot::int_value), 7);
    } else if (name == "s") {
      EXPECT_EQ(*NANOGetString(*p, TLMPBEventParamSlot::string_value), "x");
    } else {
      EXPECT_EQ(name, "_o");
    }
  }
}

TEST(EventProto, TimesOutOfRangeAreClampedNotOverflowed) {
  TLMScopedRecordingMonitor monitor;
  auto e = TLMEvent::initWithOrigin("app", true, "shop", 1e300, 0, {});
  EXPECT_EQ(NANOGetInt64(*e->protoEvent(), TLMPBEventSlot::timestamp_millis), INT64_MAX);
}

TEST(EventProto, RoundTripKeepsOriginNameParametersAndKinds) {
  TLMScopedRecordingMonitor monitor;
  auto e = TLMEvent::initWithOrigin("xq+zep", false, "_vs", 1700000000.1239, 1699999999.5,
                                    {{"d", 3.0}, {"i", -4}, {"s", ""}, {"_r", 1}});
  auto bytes = e->protoEvent()->protoBuffer();
  ASSERT_TRUE(bytes);
  auto decoded = TLMPBEvent::initWithBuffer(*bytes);
  ASSERT_TRUE(decoded);
  auto back = TLMEvent::initWithEventProto(*decoded);
  ASSERT_TRUE(back);
  EXPECT_EQ(back->origin(), "xq+zep");
  EXPECT_EQ(back->name(), "_vs");
  EXPECT_EQ(back->parameters(), e->parameters());
  EXPECT_TRUE(back->parameters().find("d")->isDouble());
  EXPECT_DOUBLE_EQ(back->timestamp(), 1700000000.123);
  EXPECT_DOUBLE_EQ(back->previousTimestamp(), 1699999999.5);
  EXPECT_TRUE(back->isRealtime());
}

TEST(EventProto, ReadingPrefersStringsAndSkipsUnknownParameters) {
  TLMScopedRecordingMonitor monitor;
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*proto, TLMPBEventSlot::name, "_e");
  auto origin = param("_o");
  NANOSetString(*origin, TLMPBEventParamSlot::string_value, "auto");
  auto both = param("both");
  NANOSetInt64(*both, TLMPBEventParamSlot::int_value, 5);
  NANOSetString(*both, TLMPBEventParamSlot::string_value, "five");
  auto floatOnly = param("f");
  NANOSetFloat(*floatOnly, TLMPBEventParamSlot::float_value, 1.5f);
  auto unnamed = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetInt64(*unnamed, TLMPBEventParamSlot::int_value, 1);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {origin, both, floatOnly, unnamed});
  auto e = TLMEvent::initWithEventProto(*proto);
  ASSERT_TRUE(e);
  EXPECT_EQ(*e->parameters().find("both"), TLMValue("five"));
  EXPECT_FALSE(e->parameters().contains("f"));
  EXPECT_EQ(e->previousTimestamp(), 0);
  EXPECT_TRUE(monitor->has(15002));
  EXPECT_TRUE(monitor->has(15000));
}

TEST(EventProto, WithoutStringOriginThereIsNoEvent) {
  TLMScopedRecordingMonitor monitor;
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*proto, TLMPBEventSlot::name, "_e");
  EXPECT_FALSE(TLMEvent::initWithEventProto(*proto));
  auto origin = param("_o");
  NANOSetInt64(*origin, TLMPBEventParamSlot::int_value, 3);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {origin});
  EXPECT_FALSE(TLMEvent::initWithEventProto(*proto));
  EXPECT_TRUE(monitor->has(15001));
}

TEST(EventProto, FieldsLeaveLoggingOfSkippedParametersToTheCaller) {
  TLMScopedRecordingMonitor monitor;
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*proto, TLMPBEventSlot::name, "_e");
  NANOSetInt64(*proto, TLMPBEventSlot::timestamp_millis, 1500);
  auto origin = param("_o");
  NANOSetString(*origin, TLMPBEventParamSlot::string_value, "auto");
  auto unnamed = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetInt64(*unnamed, TLMPBEventParamSlot::int_value, 1);
  auto floatOnly = param("f");
  NANOSetFloat(*floatOnly, TLMPBEventParamSlot::float_value, 1.5f);
  auto number = param("n");
  NANOSetInt64(*number, TLMPBEventParamSlot::int_value, 2);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {unnamed, origin, floatOnly, number});

  std::vector<std::optional<std::string>> skipped;
  auto fields = TLMEvent::fieldsFromEventProto(
      *proto, [&skipped](const std::optional<std::string>& name) { skipped.push_back(name); });
  ASSERT_TRUE(fields);
  EXPECT_EQ(fields->name, "_e");
  EXPECT_EQ(fields->timestamp, 1.5);
  EXPECT_EQ(fields->previousTimestamp, 0);
  EXPECT_EQ(fields->origin, "auto");
  EXPECT_EQ(fields->parameters, TLMObjectDictionary({{"n", TLMObject(TLMValue(2))}}));
  EXPECT_EQ(skipped, (std::vector<std::optional<std::string>>{std::nullopt, "f"}));
  EXPECT_FALSE(monitor->has(15000));
  EXPECT_FALSE(monitor->has(15002));

  // Without "_o" the fields still come back, without an origin; an "_o" without a string gives
  // none.
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {number});
  fields = TLMEvent::fieldsFromEventProto(*proto);
  ASSERT_TRUE(fields);
  EXPECT_FALSE(fields->origin);
  auto intOrigin = param("_o");
  NANOSetInt64(*intOrigin, TLMPBEventParamSlot::int_value, 3);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {intOrigin, number});
  EXPECT_FALSE(TLMEvent::fieldsFromEventProto(*proto));
  EXPECT_FALSE(monitor->has(15001));
}

TEST(UserAttributeProto, WritesValueByKindWithoutOrigin) {
  TLMScopedRecordingMonitor monitor;
  auto a = TLMUserAttribute::initWithOrigin("app", "_fot", TLMValue(12), 2.0009);
  auto proto = a->protoUserAttribute();
  EXPECT_EQ(*NANOGetString(*proto, TLMPBUserAttributeSlot::name), "_fot");
  EXPECT_EQ(NANOGetInt64(*proto, TLMPBUserAttributeSlot::int_value), 12);
  EXPECT_EQ(NANOGetInt64(*proto, TLMPBUserAttributeSlot::set_timestamp_millis), 2000);
  EXPECT_FALSE(NANOHasField(*proto, TLMPBUserAttributeSlot::string_value));
  auto s = TLMUserAttribute::initWithOrigin("app", "color", TLMValue("red"), 1)->protoUserAttribute();
  EXPECT_EQ(*NANOGetString(*s, TLMPBUserAttributeSlot::string_value), "red");
  auto d = TLMUserAttribute::initWithOrigin("app", "score", TLMValue(0.5), 1)->protoUserAttribute();
  EXPECT_EQ(NANOGetDouble(*d, TLMPBUserAttributeSlot::double_value), 0.5);
}

}  // namespace
