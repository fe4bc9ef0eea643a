#include <gtest/gtest.h>

#include "foundation/Error.h"
#include "foundation/Exception.h"
#include "foundation/Value.h"

using platform::Array;
using platform::Bytes;
using platform::Dictionary;
using platform::Value;

TEST(ValueTest, KeepsTheStoredNumberKind) {
  EXPECT_EQ(Value(true).numberKind(), Value::NumberKind::Bool);
  EXPECT_EQ(Value(42).numberKind(), Value::NumberKind::Int);
  EXPECT_EQ(Value(int64_t{-5}).numberKind(), Value::NumberKind::Int);
  EXPECT_EQ(Value(42u).numberKind(), Value::NumberKind::UInt);
  EXPECT_EQ(Value(uint64_t{1} << 63).numberKind(), Value::NumberKind::UInt);
  EXPECT_EQ(Value(1.5f).numberKind(), Value::NumberKind::Float);
  EXPECT_EQ(Value(1.5).numberKind(), Value::NumberKind::Double);

  EXPECT_TRUE(Value(true).isNumber());
  EXPECT_TRUE(Value(true).isBool());
  EXPECT_FALSE(Value(true).isInteger());
  EXPECT_TRUE(Value(7).isInteger());
  EXPECT_FALSE(Value(7).isFloatingPoint());
  EXPECT_TRUE(Value(7.0).isFloatingPoint());
  EXPECT_TRUE(Value(7.0f).isFloatingPoint());
  EXPECT_FALSE(Value("7").isNumber());
  EXPECT_TRUE(Value("text").isString());
  EXPECT_TRUE(Value(static_cast<const char*>(nullptr)).isNull());
}

TEST(ValueTest, AccessorsConvertNumbersAndRefuseOtherKinds) {
  Value big(std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(*big.uint64Value(), std::numeric_limits<uint64_t>::max());
  EXPECT_EQ(*Value(2.9).int64Value(), 2);
  EXPECT_EQ(*Value(1e300).int64Value(), std::numeric_limits<int64_t>::max());
  EXPECT_EQ(*Value(true).int64Value(), 1);
  EXPECT_EQ(*Value(0.0).boolValue(), false);
  EXPECT_EQ(*Value(3).doubleValue(), 3.0);
  EXPECT_FALSE(Value("1").int64Value().has_value());
  EXPECT_FALSE(Value(1).stringValue().has_value());
  EXPECT_FALSE(Value().boolValue().has_value());
  EXPECT_EQ(*Value::date(12.5).dateValue(), 12.5);
  EXPECT_FALSE(Value(12.5).dateValue().has_value());
  EXPECT_EQ(*Value(Bytes{1, 2}).dataValue(), (Bytes{1, 2}));
}

TEST(ValueTest, EqualityFollowsObjectEquality) {
  EXPECT_EQ(Value(1), Value(1.0));
  EXPECT_EQ(Value(true), Value(1));
  EXPECT_EQ(Value(2u), Value(int64_t{2}));
  EXPECT_NE(Value(-1), Value(std::numeric_limits<uint64_t>::max()));
  EXPECT_NE(Value(0.1f), Value(0.1));  // a float is not widened into another number
  EXPECT_EQ(Value(0.5f), Value(0.5));
  EXPECT_NE(Value(1), Value("1"));
  EXPECT_NE(Value(), Value(0));
  EXPECT_EQ(Value(), Value(nullptr));
  EXPECT_NE(Value::date(1), Value(1.0));
  EXPECT_EQ(Value::array({1, "a"}), Value::array({1.0, "a"}));
  EXPECT_NE(Value::array({1, "a"}), Value::array({"a", 1}));
  // Dictionaries compare as sets of entries.
  EXPECT_EQ(Value::dictionary({{"a", 1}, {"b", "x"}}), Value::dictionary({{"b", "x"}, {"a", 1}}));
  EXPECT_NE(Value::dictionary({{"a", 1}}), Value::dictionary({{"a", 1}, {"b", 2}}));
  EXPECT_NE(Value::dictionary({{"a", 1}}), Value::dictionary({{"a", 2}}));
}

TEST(ValueTest, DictionaryKeepsInsertionOrderAndReplacesInPlace) {
  Value v;
  v.set("zeta", 1);
  v.set("alpha", 2);
  v.set("mid", 3);
  v.set("zeta", "again");
  ASSERT_TRUE(v.isDictionary());
  EXPECT_EQ(v.dictionaryPtr()->keys(), (std::vector<std::string>{"zeta", "alpha", "mid"}));
  EXPECT_EQ(v["zeta"], Value("again"));
  EXPECT_TRUE(v["missing"].isNull());
  EXPECT_TRUE(v.remove("alpha"));
  EXPECT_FALSE(v.remove("alpha"));
  EXPECT_EQ(v.dictionaryPtr()->keys(), (std::vector<std::string>{"zeta", "mid"}));
}

TEST(ValueTest, CopiesNeverSeeEachOthersChanges) {
  Value original = Value::dictionary({{"list", Value::array({1, 2})}});
  Value copy = original;
  copy.set("extra", true);
  Value list = copy["list"];
  list.append(3);
  copy.set("list", list);
  EXPECT_EQ(original.size(), 1u);
  EXPECT_EQ(original["list"].size(), 2u);
  EXPECT_EQ(copy["list"].size(), 3u);

  Value text("abc");
  EXPECT_THROW(text.set("k", 1), platform::Exception);
  EXPECT_THROW(text.append(1), platform::Exception);
}

TEST(ValueTest, DescriptionUsesThePlatformLayout) {
  EXPECT_EQ(Value("plain text").description(), "plain text");
  EXPECT_EQ(Value(0.1).description(), "0.1");
  EXPECT_EQ(Value(3.0).description(), "3");
  EXPECT_EQ(Value(true).description(), "1");
  EXPECT_EQ(Value(-12).description(), "-12");
  EXPECT_EQ(Value().description(), "<null>");
  EXPECT_EQ(Value(Bytes{0xde, 0xad, 0xbe, 0xef, 0x01}).description(), "<deadbeef 01>");
  EXPECT_EQ(Value::date(0).description(), "1970-01-01 00:00:00 +0000");
  Value nested = Value::dictionary({{"name", "a b"}, {"items", Value::array({1, "x"})}});
  EXPECT_EQ(nested.description(), "{\n    name = \"a b\";\n    items = (\n        1,\n        x\n    );\n}");
  // An underlying error shows as an error, so a logged error names its cause, not an address.
  Value cause = Value::object(std::make_shared<platform::Error>("NSPOSIXErrorDomain", 28, "No space left on device"));
  EXPECT_EQ(cause.description(), "Error Domain=NSPOSIXErrorDomain Code=28 \"No space left on device\"");
}

TEST(ErrorTest, SetErrorFillsOnlyAGivenOutParameter) {
  EXPECT_FALSE(platform::setError(nullptr, "d", 1, "nothing happens"));
  platform::Error error;
  EXPECT_FALSE(platform::setError(&error, "com.example", -100, "Broken", Value::dictionary({{"k", "v"}})));
  EXPECT_EQ(error.domain, "com.example");
  EXPECT_EQ(error.code, -100);
  EXPECT_EQ(error.description, "Broken");
  EXPECT_EQ(error.userInfo["k"], Value("v"));
  EXPECT_EQ(platform::Error("d", 2, "x").fullDescription(), "Error Domain=d Code=2 \"x\"");
}

TEST(ExceptionTest, CarriesNameAndReason) {
  try {
    throw platform::Exception(platform::kInvalidArgumentException, "bad input");
  } catch (const std::exception& e) {
    auto* ex = dynamic_cast<const platform::Exception*>(&e);
    ASSERT_NE(ex, nullptr);
    EXPECT_EQ(ex->name(), "NSInvalidArgumentException");
    EXPECT_EQ(ex->reason(), "bad input");
    EXPECT_STREQ(e.what(), "bad input");
  }
}
