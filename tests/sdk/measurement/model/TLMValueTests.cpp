#include <gtest/gtest.h>

#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMRecordingMonitor.h"

namespace {

TEST(Value, FromHostObjectsKeepsTheirKind) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_EQ(TLMValue::valueFromObject(true)->valueType(), TLMValueTypeInt64);
  EXPECT_EQ(TLMValue::valueFromObject(false)->int64Value(), 0);
  EXPECT_EQ(TLMValue::valueFromObject(3.0)->valueType(), TLMValueTypeDouble);
  EXPECT_EQ(TLMValue::valueFromObject(3.0f)->doubleValue(), 3.0);
  EXPECT_EQ(TLMValue::valueFromObject(std::uint8_t{7})->int64Value(), 7);
  EXPECT_EQ(*TLMValue::valueFromObject("s")->stringValue(), "s");
  TLMValue existing(5);
  EXPECT_EQ(*TLMValue::valueFromObject(existing), existing);
  EXPECT_TRUE(monitor->entries().empty());
}

TEST(Value, RefusesNilAndOtherObjectsWithCodes) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_FALSE(TLMValue::valueFromObject(TLMObject()));
  EXPECT_FALSE(TLMValue::valueFromObject(platform::Value::array({1})));
  EXPECT_FALSE(TLMValue::initWithString(TLMObject()));
  EXPECT_FALSE(TLMValue::initWithString(4));
  EXPECT_EQ(monitor->codes(), (std::vector<std::int64_t>{35000, 35001, 35002, 35003}));
  for (const auto& e : monitor->entries()) EXPECT_EQ(e.level, 0);
}

TEST(Value, AccessorsDoNotConvertBetweenKinds) {
  TLMValue i(2);
  TLMValue d(2.5);
  TLMValue s("2");
  EXPECT_EQ(i.doubleValue(), 0.0);
  EXPECT_EQ(d.int64Value(), 0);
  EXPECT_FALSE(i.stringValue());
  EXPECT_EQ(s.int64Value(), 0);
  EXPECT_EQ(d.description(), "2.5");
}

TEST(Value, EqualityNeedsTheSameKind) {
  EXPECT_NE(TLMValue(1), TLMValue(1.0));
  EXPECT_NE(TLMValue("1"), TLMValue(1));
  EXPECT_EQ(TLMValue("abc"), TLMValue(std::string("abc")));
  TLMValue copy = TLMValue(7.25);
  EXPECT_EQ(copy, TLMValue(7.25));
  EXPECT_EQ(copy.hash(), TLMValue(7.25).hash());
  // Unchecked construction: held objects that compare equal hash alike.
  TLMValue a(TLMValueTypeDouble, platform::Value(3));
  TLMValue b(TLMValueTypeDouble, platform::Value(3.0));
  EXPECT_EQ(a, b);
  EXPECT_EQ(a.hash(), b.hash());
}

TEST(Value, StringValueIsAnIndependentCopy) {
  std::string text = "before";
  TLMValue v = *TLMValue::initWithString(text);
  text[0] = 'X';
  EXPECT_EQ(*v.stringPtr(), "before");
}

TEST(ObjectDictionary, ConvertsBothWays) {
  TLMParameters p{{"a", TLMValue(1)}, {"b", TLMValue("x")}};
  TLMObjectDictionary objects(p);
  EXPECT_TRUE(objects.find("a")->isTLMValue());
  platform::Dictionary host = objects.toDictionary();
  EXPECT_EQ(host.get("b"), platform::Value("x"));
  platform::Dictionary withNull;
  withNull.set("n", platform::Value());
  TLMObjectDictionary fromHost(withNull);
  EXPECT_FALSE(fromHost.find("n")->isNil());  // the platform's null object, not nil
  EXPECT_EQ(fromHost.find("n")->className(), "NSNull");
}

// Class names are what the validation logs report for values of the wrong kind.
TEST(Object, ClassNamesFollowThePlatformClasses) {
  EXPECT_EQ(TLMObject().className(), "nil");
  EXPECT_EQ(TLMObject(TLMValue(1)).className(), "TLMValue");
  EXPECT_EQ(TLMObject("text").className(), "NSString");
  EXPECT_EQ(TLMObject(2.5).className(), "NSNumber");
  EXPECT_EQ(TLMObject(platform::Value(true)).className(), "NSNumber");
  EXPECT_EQ(TLMObject(platform::Value(platform::Bytes{1})).className(), "NSData");
  EXPECT_EQ(TLMObject(platform::Value(platform::Array{})).className(), "NSArray");
  EXPECT_EQ(TLMObject(platform::Value(platform::Dictionary{})).className(), "NSDictionary");
}

}  // namespace
