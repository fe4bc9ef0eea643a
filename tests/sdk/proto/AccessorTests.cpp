// Field accessors: addressing by slot, kind checks, presence rules and their log lines.
#include "TestSupport.h"

namespace {

TEST(NanoAccessors, PresenceOfSingularAndRepeatedFields) {
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  EXPECT_TRUE(NANOHasField(*event, TLMPBEventSlot::params));
  EXPECT_FALSE(NANOHasField(*event, TLMPBEventSlot::name));
  EXPECT_EQ(NANOGetArray<TLMPBEventParam>(*event, TLMPBEventSlot::params)->size(), 0u);

  NANOSetInt64(*event, TLMPBEventSlot::timestamp_millis, 5);
  EXPECT_TRUE(NANOHasField(*event, TLMPBEventSlot::timestamp_millis));
  NANOClearField(*event, TLMPBEventSlot::timestamp_millis);
  EXPECT_FALSE(NANOHasField(*event, TLMPBEventSlot::timestamp_millis));
  EXPECT_EQ(NANOGetInt64(*event, TLMPBEventSlot::timestamp_millis), 0);
}

TEST(NanoAccessors, ScalarKindsAndTheirValues) {
  LogCapture log;
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  EXPECT_EQ(NANOGetInt32(*bundle, TLMPBMeasurementBundleSlot::bundle_index), 0);
  EXPECT_TRUE(log.lines.empty());  // unset reads as 0 without a log

  NANOSetInt32(*bundle, TLMPBMeasurementBundleSlot::time_zone_offset_minutes, -420);
  EXPECT_EQ(NANOGetInt32(*bundle, TLMPBMeasurementBundleSlot::time_zone_offset_minutes), -420);
  NANOSetBool(*bundle, TLMPBMeasurementBundleSlot::limited_ad_tracking, true);
  EXPECT_TRUE(NANOGetBool(*bundle, TLMPBMeasurementBundleSlot::limited_ad_tracking));
  NANOSetInt64(*bundle, TLMPBMeasurementBundleSlot::checksum, INT64_MIN);
  EXPECT_EQ(NANOGetInt64(*bundle, TLMPBMeasurementBundleSlot::checksum), INT64_MIN);

  auto filter = TLMPBStringFilter::initWithMessageInfo(nullptr);  // enum slot through Int32
  NANOSetInt32(*filter, TLMPBStringFilterSlot::match_type, 6);
  EXPECT_EQ(NANOGetInt32(*filter, TLMPBStringFilterSlot::match_type), 6);

  auto param = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetFloat(*param, TLMPBEventParamSlot::float_value, 2.5f);
  NANOSetDouble(*param, TLMPBEventParamSlot::double_value, -0.125);
  EXPECT_EQ(NANOGetFloat(*param, TLMPBEventParamSlot::float_value), 2.5f);
  EXPECT_EQ(NANOGetDouble(*param, TLMPBEventParamSlot::double_value), -0.125);
  auto decoded = TLMPBEventParam::initWithBuffer(encode(*param));
  EXPECT_EQ(NANOGetFloat(*decoded, TLMPBEventParamSlot::float_value), 2.5f);
  EXPECT_EQ(NANOGetDouble(*decoded, TLMPBEventParamSlot::double_value), -0.125);
  EXPECT_TRUE(log.lines.empty());
}

TEST(NanoAccessors, WrongKindAndOutOfRangeSlotsAreRefused) {
  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  {
    LogCapture log;  // the refusals' lines, no more of one kind than are written at once
    EXPECT_EQ(NANOGetInt32(*event, LMTPBLogEventSlot::test_code), 0);
    NANOSetInt32(*event, LMTPBLogEventSlot::test_code, 3);
    NANOSetString(*event, LMTPBLogEventSlot::event_time_ms, "x");
    NANOSetBool(*event, 18, true);
    NANOSetBool(*event, -1, true);
    const std::vector<std::string> expected{
        "<Nano/Failure> Field type isn't a scalar INT32. Message: LogEvent, field ID: 16",
        "<Nano/Failure> Field type isn't a scalar INT32. Message: LogEvent, field ID: 16",
        "<Nano/Failure> Field type isn't a scalar STRING. Message: LogEvent, field ID: 0",
        "<Nano/Failure> Field ID is out of range. Message: LogEvent, field ID: 18",
        "<Nano/Failure> Field ID is out of range. Message: LogEvent, field ID: -1",
    };
    EXPECT_EQ(log.lines, expected);
  }
  LogCapture log;
  NANOClearField(*event, 40);
  EXPECT_FALSE(NANOHasField(*event, 18));
  NANOSetBytes(*event, LMTPBLogEventSlot::event_time_ms, Bytes{1});
  EXPECT_EQ(NANOGetArray(*event, LMTPBLogEventSlot::payload), std::nullopt);
  const std::vector<std::string> expected{
      "<Nano/Failure> Field ID is out of range. Message: LogEvent, field ID: 40",
      "<Nano/Failure> Field ID is out of range. Message: LogEvent, field ID: 18",
      "<Nano/Failure> Field type isn't a scalar BYTES. Message: LogEvent, field ID: 0",
      "<Nano/Failure> Field type isn't REPEATED. Message: LogEvent, field ID: 8",
  };
  EXPECT_EQ(log.lines, expected);
  EXPECT_EQ(encode(*event), Bytes{});  // nothing changed
}

TEST(NanoAccessors, StringsAndBytes) {
  auto setting = TLMPBSetting::initWithMessageInfo(nullptr);
  NANOSetString(*setting, TLMPBSettingSlot::name, "");
  EXPECT_TRUE(NANOHasField(*setting, TLMPBSettingSlot::name));
  EXPECT_EQ(NANOGetString(*setting, TLMPBSettingSlot::name), "");
  EXPECT_EQ(encode(*setting), (Bytes{0x0A, 0x00}));
  NANOSetString(*setting, TLMPBSettingSlot::name, std::nullopt);
  EXPECT_FALSE(NANOHasField(*setting, TLMPBSettingSlot::name));
  EXPECT_EQ(NANOGetString(*setting, TLMPBSettingSlot::name), std::nullopt);

  NANOSetString(*setting, TLMPBSettingSlot::value, "h\xC3\xA9");
  EXPECT_EQ(NANOGetString(*setting, TLMPBSettingSlot::value), "h\xC3\xA9");
  // Bytes that are not UTF-8 are kept but read as no string; the bytes accessor still sees them.
  NANOSetBytes(*setting, TLMPBSettingSlot::value, Bytes{0xFF, 0x00});
  EXPECT_EQ(NANOGetString(*setting, TLMPBSettingSlot::value), std::nullopt);
  EXPECT_EQ(NANOGetBytes(*setting, TLMPBSettingSlot::value), (Bytes{0xFF, 0x00}));

  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  NANOSetBytes(*event, LMTPBLogEventSlot::payload, Bytes{});
  EXPECT_EQ(NANOGetBytes(*event, LMTPBLogEventSlot::payload), Bytes{});
  EXPECT_EQ(encode(*event), (Bytes{0x32, 0x00}));
}

// The conversions behind every string and bytes setter: all bytes of the value, NULs included,
// and nothing changed when the object is not of the field's kind.
TEST(NanoConversions, StringsAndDataKeepEveryByte) {
  const auto bytesOf = [](const NANOArrayInfo& array) {
    const auto* data = static_cast<const uint8_t*>(array.data);
    return Bytes(data, data + array.size);
  };
  NANOArrayInfo array{};
  ASSERT_TRUE(NANOConvertStringToArrayInfo(std::string_view("a\0b\0", 4), &array));
  EXPECT_EQ(bytesOf(array), (Bytes{'a', 0, 'b', 0}));
  // Replacing frees the old bytes; an empty string is present with a buffer of its own.
  ASSERT_TRUE(NANOConvertStringToArrayInfo(std::string_view(), &array));
  EXPECT_EQ(array.size, 0u);
  EXPECT_NE(array.data, nullptr);

  const platform::Value text(std::string("x\0y", 3));
  const platform::Value number(5);
  const platform::Value data(Bytes{0, 1, 2});
  ASSERT_TRUE(NANOConvertStringToArrayInfo(&text, &array));
  const void* stored = array.data;
  // A null object stores nothing and succeeds; an object of another kind fails; neither touches
  // the record.
  EXPECT_TRUE(NANOConvertStringToArrayInfo(nullptr, &array));
  EXPECT_FALSE(NANOConvertStringToArrayInfo(&number, &array));
  EXPECT_FALSE(NANOConvertStringToArrayInfo(&data, &array));
  EXPECT_TRUE(NANOConvertNSDataToArrayInfo(nullptr, &array));
  EXPECT_FALSE(NANOConvertNSDataToArrayInfo(&text, &array));
  EXPECT_EQ(array.data, stored);
  EXPECT_EQ(bytesOf(array), (Bytes{'x', 0, 'y'}));
  EXPECT_FALSE(NANOConvertStringToArrayInfo(&text, nullptr));
  EXPECT_FALSE(NANOConvertNSDataToArrayInfo(&data, nullptr));

  // Data larger than any decoded value (setting has no limit; decoding refuses over 1 MiB).
  Bytes large(3 * 1048576 + 7);
  for (size_t i = 0; i < large.size(); ++i) large[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
  const platform::Value largeData(large);
  ASSERT_TRUE(NANOConvertNSDataToArrayInfo(&largeData, &array));
  EXPECT_EQ(bytesOf(array), large);
  std::free(array.data);

  // Through the setters: every byte reaches the wire and comes back.
  auto setting = TLMPBSetting::initWithMessageInfo(nullptr);
  NANOSetString(*setting, TLMPBSettingSlot::name, std::string_view("k\0", 2));
  EXPECT_EQ(encode(*setting), (Bytes{0x0A, 0x02, 'k', 0}));
  auto filter = TLMPBStringFilter::initWithMessageInfo(nullptr);
  NANOSetArray(*filter, TLMPBStringFilterSlot::expression_list,
               platform::Array{std::string("\0a", 2), std::string()});
  auto decoded = TLMPBStringFilter::initWithBuffer(encode(*filter));
  ASSERT_NE(decoded, nullptr);
  EXPECT_EQ(NANOGetArray(*decoded, TLMPBStringFilterSlot::expression_list),
            (platform::Array{std::string("\0a", 2), std::string()}));
  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  NANOSetBytes(*event, LMTPBLogEventSlot::payload, large);
  EXPECT_EQ(NANOGetBytes(*event, LMTPBLogEventSlot::payload), large);
}

TEST(NanoAccessors, SubMessagesAreCopies) {
  LogCapture log;
  auto result = TLMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
  EXPECT_EQ(NANOGetMessage<TLMPBResultData>(*result, TLMPBAudienceLeafFilterResultSlot::current_data), nullptr);
  auto data = TLMPBResultData::initWithMessageInfo(nullptr);
  NANOSetArray(*data, TLMPBResultDataSlot::status, platform::Array{uint64_t{0x5}});
  NANOSetMessage(*result, TLMPBAudienceLeafFilterResultSlot::current_data, data);
  NANOSetArray(*data, TLMPBResultDataSlot::status, std::nullopt);  // the stored copy keeps its word

  auto read = NANOGetMessage<TLMPBResultData>(*result, TLMPBAudienceLeafFilterResultSlot::current_data);
  ASSERT_NE(read, nullptr);
  NANOSetArray(*read, TLMPBResultDataSlot::results, platform::Array{uint64_t{0x4}});
  auto again = NANOGetMessage<TLMPBResultData>(*result, TLMPBAudienceLeafFilterResultSlot::current_data);
  EXPECT_EQ(NANOGetArray(*again, TLMPBResultDataSlot::status), platform::Array{uint64_t{5}});
  EXPECT_EQ(NANOGetArray(*again, TLMPBResultDataSlot::results), platform::Array{});
  EXPECT_TRUE(log.lines.empty());

  // A sub-message of another type, or none, is refused and the field stays as it was.
  auto wrong = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetMessage(*result, TLMPBAudienceLeafFilterResultSlot::current_data, wrong);
  NANOSetMessage(*result, TLMPBAudienceLeafFilterResultSlot::previous_data, nullptr);
  EXPECT_EQ(NANOGetMessage<TLMPBEvent>(*result, TLMPBAudienceLeafFilterResultSlot::current_data), nullptr);
  ASSERT_EQ(log.lines.size(), 3u);
  EXPECT_EQ(log.lines[0],
            "<Nano/Failure> Message type mismatch. Expected: ResultData, got: Event. Message: "
            "AudienceLeafFilterResult, field ID: 1");
  EXPECT_FALSE(NANOHasField(*result, TLMPBAudienceLeafFilterResultSlot::previous_data));
  EXPECT_NE(NANOGetMessage<TLMPBResultData>(*result, TLMPBAudienceLeafFilterResultSlot::current_data), nullptr);
}

TEST(NanoAccessors, ScalarArraysKeepSignedness) {
  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  NANOSetArray(*event, LMTPBLogEventSlot::test_code, platform::Array{-1, 7});
  EXPECT_EQ(NANOGetArray(*event, LMTPBLogEventSlot::test_code), (platform::Array{-1, 7}));
  // A negative int32 element is sign-extended on the wire, as a singular one is.
  EXPECT_EQ(encode(*event), (Bytes{0xA0, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
                                   0x01, 0xA0, 0x01, 0x07}));
  auto decoded = LMTPBLogEvent::initWithBuffer(encode(*event));
  EXPECT_EQ(NANOGetArray(*decoded, LMTPBLogEventSlot::test_code), (platform::Array{-1, 7}));

  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::experiment_ids, platform::Array{uint32_t{4294967295u}});
  auto ids = NANOGetArray(*bundle, TLMPBMeasurementBundleSlot::experiment_ids);
  ASSERT_TRUE(ids && ids->size() == 1);
  EXPECT_EQ((*ids)[0].uint64Value(), 4294967295u);

  auto request = LMTPBLogRequest::initWithMessageInfo(nullptr);
  NANOSetArray(*request, LMTPBLogRequestSlot::serialized_log_events,
               platform::Array{platform::Value(Bytes{1, 2}), platform::Value(Bytes{})});
  auto files = NANOGetArray(*request, LMTPBLogRequestSlot::serialized_log_events);
  EXPECT_EQ(files, (platform::Array{platform::Value(Bytes{1, 2}), platform::Value(Bytes{})}));
}

TEST(NanoAccessors, BadArrayElementsLeaveTheFieldEmpty) {
  LogCapture log;
  auto filter = TLMPBStringFilter::initWithMessageInfo(nullptr);
  NANOSetArray(*filter, TLMPBStringFilterSlot::expression_list, platform::Array{"a", "b"});
  NANOSetArray(*filter, TLMPBStringFilterSlot::expression_list, platform::Array{"a", "b", 3});
  EXPECT_EQ(NANOGetArray(*filter, TLMPBStringFilterSlot::expression_list), platform::Array{});
  ASSERT_EQ(log.lines.size(), 1u);
  EXPECT_EQ(log.lines[0], "<ERROR> Invalid object type. String fields expect NSString. Type: NSNumber");

  auto data = TLMPBResultData::initWithMessageInfo(nullptr);
  NANOSetArray(*data, TLMPBResultDataSlot::status, platform::Array{1, "two"});
  EXPECT_EQ(log.lines.back(), "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: NSString");
  auto param = TLMPBEventParam::initWithMessageInfo(nullptr);
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetArray(*event, TLMPBEventSlot::params, std::vector<std::shared_ptr<NANOMessageBase>>{param, event});
  EXPECT_EQ(log.lines.back(), "<ERROR> Invalid object type. Message fields expect TLMPBEventParam. Type: TLMPBEvent");
  EXPECT_EQ(NANOGetArray<TLMPBEventParam>(*event, TLMPBEventSlot::params)->size(), 0u);
  NANOSetArray(*data, TLMPBResultDataSlot::status, std::vector{param});
  EXPECT_EQ(log.lines.back(), "<ERROR> Invalid object type. Int64 fields expect NSNumber. Type: TLMPBEventParam");
  EXPECT_EQ(NANOGetArray<TLMPBEventParam>(*event, TLMPBEventSlot::name), std::nullopt);
  EXPECT_EQ(encode(*event), Bytes{});
}

}  // namespace
