// Wire form of the measurement, log-upload and diagnostics messages: exact bytes, field order
// and round trips of every message.
#include "TestSupport.h"

namespace {

// Sets every slot of a message (sub-messages filled the same way, `depth` levels down), with
// values derived from the slot so that every field differs.
void fillAll(NANOMessageBase& message, int depth) {
  const NANOMessageDescriptor& d = message.descriptor();
  for (int32_t slot = 0; slot < d.slotCount; ++slot) {
    const int32_t type = d.slots[slot].type;
    const int32_t kind = type & NANO_FIELD_KIND_MASK;
    const bool repeated = type & NANO_FIELD_REPEATED;
    const int64_t n = slot + 1;
    if (kind == NANO_FIELD_MESSAGE) {
      if (depth == 0) continue;
      auto sub = d.slots[slot].submessage->makeWrapper(nullptr);
      fillAll(*sub, depth - 1);
      if (repeated) {
        NANOSetArray(message, slot, std::vector{sub, sub});
      } else {
        NANOSetMessage(message, slot, sub);
      }
      continue;
    }
    if (repeated) {
      platform::Array values;
      if (kind == NANO_FIELD_STRING) values = {"s" + std::to_string(n), ""};
      else if (kind == NANO_FIELD_BYTES) values = {platform::Value(Bytes{uint8_t(n), 0}), platform::Value(Bytes{})};
      else values = {n, n * 1000};
      NANOSetArray(message, slot, values);
      continue;
    }
    switch (kind) {
      case NANO_FIELD_BOOL: NANOSetBool(message, slot, slot % 2 == 0); break;
      case NANO_FIELD_ENUM:
      case NANO_FIELD_INT32:
      case NANO_FIELD_UINT32: NANOSetInt32(message, slot, static_cast<int32_t>(n * 3)); break;
      case NANO_FIELD_INT64:
      case NANO_FIELD_UINT64: NANOSetInt64(message, slot, n * 1000000007LL); break;
      case NANO_FIELD_FLOAT: NANOSetFloat(message, slot, static_cast<float>(n) / 4); break;
      case NANO_FIELD_DOUBLE: NANOSetDouble(message, slot, static_cast<double>(n) / 8); break;
      case NANO_FIELD_STRING: NANOSetString(message, slot, "v" + std::to_string(n)); break;
      case NANO_FIELD_BYTES: NANOSetBytes(message, slot, Bytes{uint8_t(n), 0xFF}); break;
    }
  }
}

// Every tag of a top-level encoding, in order.
std::vector<uint32_t> topLevelTags(const Bytes& bytes) {
  std::vector<uint32_t> tags;
  size_t i = 0;
  auto varint = [&]() {
    uint64_t value = 0;
    for (int shift = 0; i < bytes.size(); shift += 7) {
      const uint8_t byte = bytes[i++];
      value |= uint64_t(byte & 0x7F) << shift;
      if (!(byte & 0x80)) break;
    }
    return value;
  };
  while (i < bytes.size()) {
    const uint64_t key = varint();
    tags.push_back(static_cast<uint32_t>(key >> 3));
    switch (key & 7) {
      case 0: varint(); break;
      case 1: i += 8; break;
      case 5: i += 4; break;
      case 2: i += varint(); break;
    }
  }
  return tags;
}

TEST(NanoMessages, EveryMessageRoundTripsWithAllFieldsIncludingReserved) {
  for (const NANOMessageDescriptor* descriptor : nanoAllMessageDescriptors()) {
    auto message = descriptor->makeWrapper(nullptr);
    fillAll(*message, 2);
    const Bytes bytes = encode(*message);
    std::vector<uint32_t> tags = topLevelTags(bytes);
    EXPECT_TRUE(std::is_sorted(tags.begin(), tags.end())) << descriptor->name;

    NANOMessageInfo* record = nanoNewMessage(*descriptor);
    ASSERT_TRUE(nanoDecode(*descriptor, bytes.data(), bytes.size(), record)) << descriptor->name;
    auto decoded = descriptor->makeWrapper(record);
    nanoFreeMessage(*descriptor, record);
    ASSERT_NE(decoded, nullptr);
    EXPECT_EQ(encode(*decoded), bytes) << descriptor->name;
    for (int32_t slot = 0; slot < descriptor->slotCount; ++slot) {
      EXPECT_TRUE(NANOHasField(*decoded, slot)) << descriptor->name << " slot " << slot;
    }
  }
}

TEST(NanoMessages, BundleByteExamples) {
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetInt32(*bundle, TLMPBMeasurementBundleSlot::protocol_version, 1);
  EXPECT_EQ(encode(*bundle), (Bytes{0x08, 0x01}));

  auto ordered = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetString(*ordered, TLMPBMeasurementBundleSlot::vendor_device_id, "v");         // tag 27
  NANOSetInt64(*ordered, TLMPBMeasurementBundleSlot::previous_bundle_start_timestamp_millis, 2);  // 26
  NANOSetString(*ordered, TLMPBMeasurementBundleSlot::measurement_app_id, "m");       // tag 25
  EXPECT_EQ(encode(*ordered), (Bytes{0xCA, 0x01, 0x01, 'm', 0xD0, 0x01, 0x02, 0xDA, 0x01, 0x01, 'v'}));

  auto experiments = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetArray(*experiments, TLMPBMeasurementBundleSlot::experiment_ids, platform::Array{5, 300});
  EXPECT_EQ(encode(*experiments), (Bytes{0xE8, 0x02, 0x05, 0xE8, 0x02, 0xAC, 0x02}));
}

TEST(NanoMessages, BatchOfBundlesWithEventsReadsBack) {
  auto param = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(*param, TLMPBEventParamSlot::name, "value");
  NANOSetInt64(*param, TLMPBEventParamSlot::int_value, -3);
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*event, TLMPBEventSlot::name, "_e");
  NANOSetInt64(*event, TLMPBEventSlot::timestamp_millis, 1700000000123);
  NANOSetArray(*event, TLMPBEventSlot::params, std::vector{param});
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::events, std::vector{event, event});
  auto batch = TLMPBMeasurementBatch::initWithMessageInfo(nullptr);
  NANOSetArray(*batch, TLMPBMeasurementBatchSlot::bundles, std::vector{bundle});

  auto decoded = TLMPBMeasurementBatch::initWithBuffer(encode(*batch));
  ASSERT_NE(decoded, nullptr);
  auto bundles = NANOGetArray<TLMPBMeasurementBundle>(*decoded, TLMPBMeasurementBatchSlot::bundles);
  ASSERT_EQ(bundles->size(), 1u);
  auto events = NANOGetArray<TLMPBEvent>(*(*bundles)[0], TLMPBMeasurementBundleSlot::events);
  ASSERT_EQ(events->size(), 2u);
  EXPECT_EQ(NANOGetInt64(*(*events)[1], TLMPBEventSlot::timestamp_millis), 1700000000123);
  auto params = NANOGetArray<TLMPBEventParam>(*(*events)[1], TLMPBEventSlot::params);
  ASSERT_EQ(params->size(), 1u);
  EXPECT_EQ(NANOGetInt64(*(*params)[0], TLMPBEventParamSlot::int_value), -3);
  EXPECT_FALSE(NANOHasField(*(*params)[0], TLMPBEventParamSlot::string_value));
}

TEST(NanoMessages, FloatOnlyParameterDecodes) {
  const Bytes bytes{0x25, 0x00, 0x00, 0x80, 0x3F};  // tag 4, fixed32 1.0f
  auto param = TLMPBEventParam::initWithBuffer(bytes);
  ASSERT_NE(param, nullptr);
  EXPECT_EQ(NANOGetFloat(*param, TLMPBEventParamSlot::float_value), 1.0f);
}

TEST(NanoMessages, ClearedAudiencesLeaveTheConfigurationWithout) {
  auto audience = TLMPBAudience::initWithMessageInfo(nullptr);
  NANOSetInt32(*audience, TLMPBAudienceSlot::audience_id, 4);
  auto config = TLMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetInt64(*config, TLMPBMeasurementConfigSlot::version, 12);
  NANOSetArray(*config, TLMPBMeasurementConfigSlot::audiences, std::vector{audience});
  EXPECT_EQ(encode(*config), (Bytes{0x08, 0x0C, 0x32, 0x02, 0x08, 0x04}));
  NANOClearField(*config, TLMPBMeasurementConfigSlot::audiences);
  const Bytes stored = encode(*config);
  EXPECT_EQ(stored, (Bytes{0x08, 0x0C}));
  auto decoded = TLMPBMeasurementConfig::initWithBuffer(stored);
  EXPECT_EQ(NANOGetArray<TLMPBAudience>(*decoded, TLMPBMeasurementConfigSlot::audiences)->size(), 0u);
  EXPECT_EQ(NANOGetArray<TLMPBSetting>(*decoded, TLMPBMeasurementConfigSlot::settings)->size(), 0u);
}

TEST(NanoMessages, LogRequestTagsInOrderWhateverTheSettingOrder) {
  auto ios = LMTPBIosClientInfo::initWithMessageInfo(nullptr);
  NANOSetString(*ios, LMTPBIosClientInfoSlot::os_version, "17.0");
  auto client = LMTPBClientInfo::initWithMessageInfo(nullptr);
  NANOSetMessage(*client, LMTPBClientInfoSlot::ios_client_info, ios);
  NANOSetInt32(*client, LMTPBClientInfoSlot::client_type, 3);

  auto request = LMTPBLogRequest::initWithMessageInfo(nullptr);
  NANOSetArray(*request, LMTPBLogRequestSlot::serialized_log_events,
               platform::Array{platform::Value(Bytes(10, 0xAB))});
  NANOSetInt64(*request, LMTPBLogRequestSlot::request_uptime_ms, 99);
  NANOSetInt32(*request, LMTPBLogRequestSlot::log_source, 137);
  NANOSetInt64(*request, LMTPBLogRequestSlot::request_time_ms, 1000);
  NANOSetMessage(*request, LMTPBLogRequestSlot::client_info, client);
  EXPECT_EQ(topLevelTags(encode(*request)), (std::vector<uint32_t>{1, 2, 4, 5, 8}));
  NANOSetString(*request, LMTPBLogRequestSlot::crellan_cookie, "cookie");
  const Bytes bytes = encode(*request);
  EXPECT_EQ(topLevelTags(bytes), (std::vector<uint32_t>{1, 2, 4, 5, 7, 8}));
  // Client info: tag 1 holding {tag 1 = 3, tag 4 = {tag 4 = "17.0"}}; then log source 137.
  const Bytes head{0x0A, 0x0A, 0x08, 0x03, 0x22, 0x06, 0x22, 0x04, '1', '7', '.', '0', 0x10, 0x89, 0x01};
  EXPECT_TRUE(std::equal(head.begin(), head.end(), bytes.begin()));

  // A negative log source is a signed varint: ten bytes.
  auto negative = LMTPBLogRequest::initWithMessageInfo(nullptr);
  NANOSetInt32(*negative, LMTPBLogRequestSlot::log_source, -1);
  EXPECT_EQ(encode(*negative).size(), 11u);

  // Decoding input without tag 2 leaves the log source unset.
  auto decoded = LMTPBLogRequest::initWithBuffer(Bytes{0x20, 0x05});
  ASSERT_NE(decoded, nullptr);
  EXPECT_FALSE(NANOHasField(*decoded, LMTPBLogRequestSlot::log_source));
  EXPECT_FALSE(NANOHasField(*decoded, LMTPBLogRequestSlot::client_info));
  EXPECT_EQ(NANOGetInt64(*decoded, LMTPBLogRequestSlot::request_time_ms), 5);
  EXPECT_EQ(LMTPBLogEvent::initWithMessageInfo(decoded->messageInfo()), nullptr);
}

TEST(NanoMessages, DiagnosticsSignedAndZigzagFields) {
  auto configuration = CDVPBICoreConfiguration::initWithMessageInfo(nullptr);
  NANOSetInt32(*configuration, CDVPBICoreConfigurationSlot::dynamic_framework_count, -1);
  EXPECT_EQ(encode(*configuration),
            (Bytes{0xD8, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}));

  NANOSetInt32(*configuration, CDVPBICoreConfigurationSlot::dynamic_framework_count, 2);
  NANOSetArray(*configuration, CDVPBICoreConfigurationSlot::sdk_service_installed, platform::Array{5, 9});
  auto error = CDVPBErrorInfo::initWithMessageInfo(nullptr);
  NANOSetBool(*error, CDVPBErrorInfoSlot::error_reported, true);
  NANOSetInt32(*error, CDVPBErrorInfoSlot::error_code, 7);
  NANOSetMessage(*configuration, CDVPBICoreConfigurationSlot::error_info, error);
  EXPECT_EQ(encode(*configuration),
            (Bytes{0x38, 0x05, 0x38, 0x09, 0x7A, 0x04, 0x08, 0x01, 0x10, 0x07, 0xD8, 0x01, 0x02}));

  auto event = LMTPBLogEvent::initWithMessageInfo(nullptr);
  NANOSetInt64(*event, LMTPBLogEventSlot::timezone_offset_seconds, -1);
  NANOSetInt64(*event, LMTPBLogEventSlot::event_uptime_ms, 1);
  NANOSetBytes(*event, LMTPBLogEventSlot::payload, encode(*error));
  EXPECT_EQ(encode(*event), (Bytes{0x32, 0x04, 0x08, 0x01, 0x10, 0x07, 0x78, 0x01, 0x88, 0x01, 0x01}));
  auto decoded = LMTPBLogEvent::initWithBuffer(encode(*event));
  EXPECT_EQ(NANOGetInt64(*decoded, LMTPBLogEventSlot::timezone_offset_seconds), -1);
}

}  // namespace
