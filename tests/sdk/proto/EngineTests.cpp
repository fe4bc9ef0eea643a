// The generic engine: slot tables against nanopb's tables, record life cycle, decoding limits
// and robustness against bad input.
#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "TestSupport.h"

// This thread's calls to realloc and the bytes they asked for (the program is linked with
// --wrap=realloc, so every call of its own code to realloc comes here first).
struct ReallocTally {
  std::size_t calls = 0;
  std::size_t bytes = 0;
};
thread_local ReallocTally reallocTally;

extern "C" void* __real_realloc(void* block, std::size_t size);
extern "C" void* __wrap_realloc(void* block, std::size_t size) {
  ++reallocTally.calls;
  reallocTally.bytes += size;
  return __real_realloc(block, size);
}

namespace {

TEST(NanoSlotTables, EveryMessageMatchesTheGeneratedFieldTable) {
  const auto all = nanoAllMessageDescriptors();
  ASSERT_EQ(all.size(), 24u);
  std::set<std::string> names;
  for (const NANOMessageDescriptor* descriptor : all) {
    std::string problem;
    EXPECT_TRUE(nanoCheckDescriptor(*descriptor, &problem)) << problem;
    names.insert(descriptor->name);
  }
  EXPECT_EQ(names.size(), 24u);
  EXPECT_EQ(kTLMPBMeasurementBundleDescriptor.slotCount, 40);
  EXPECT_EQ(kCDVPBICoreConfigurationDescriptor.slotCount, 34);
  EXPECT_EQ(kLMTPBLogEventDescriptor.slotCount, 18);
}

TEST(NanoSlotTables, TranscriptionErrorsAreCaught) {
  const NANOMessageDescriptor& good = kTLMPBEventDescriptor;
  std::vector<NANOSlot> slots(good.slots, good.slots + good.slotCount);
  std::vector<int32_t> types(good.types, good.types + good.slotCount);
  NANOMessageDescriptor bad = good;
  bad.slots = slots.data();
  bad.types = types.data();
  std::string problem;

  std::swap(slots[2].tag, slots[3].tag);  // int64 <-> int64: same kind, still consistent
  EXPECT_TRUE(nanoCheckDescriptor(bad, &problem)) << problem;
  std::swap(slots[1].tag, slots[2].tag);  // string and int64 swapped
  EXPECT_FALSE(nanoCheckDescriptor(bad, &problem));
  std::swap(slots[1].tag, slots[2].tag);
  slots[4].tag = 3;  // a tag twice
  EXPECT_FALSE(nanoCheckDescriptor(bad, &problem));
  slots[4].tag = 5;
  bad.slotCount = 4;  // a field missing
  EXPECT_FALSE(nanoCheckDescriptor(bad, &problem));
  bad.slotCount = 5;
  slots[4].type = types[4] = NANO_REP(INT32);  // cardinality
  EXPECT_FALSE(nanoCheckDescriptor(bad, &problem));
  slots[4].type = types[4] = NANO_OPT(INT32);
  slots[0].submessage = &kTLMPBUserAttributeDescriptor;  // wrong sub-message
  EXPECT_FALSE(nanoCheckDescriptor(bad, &problem));
}

TEST(NanoRecord, NewRecordHasEmptyListsAndNoFields) {
  NANOMessageInfo* record = nanoNewMessage(kTLMPBResultDataDescriptor);
  ASSERT_NE(record, nullptr);
  EXPECT_EQ(record->name, kTLMPBResultDataDescriptor.name);
  EXPECT_STREQ(record->name, "ResultData");
  EXPECT_EQ(record->types, kTLMPBResultDataDescriptor.types);
  for (int i = 0; i < 4; ++i) {
    auto* list = static_cast<NANOArrayInfo*>(record->fields[i]);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->size, 0u);
    EXPECT_EQ(list->data, nullptr);
  }
  EXPECT_TRUE(tlmpb_free_result_data(record));

  NANOMessageInfo* filter = nanoNewMessage(kTLMPBFilterDescriptor);
  for (int i = 0; i < 4; ++i) EXPECT_EQ(filter->fields[i], nullptr);
  nanoFreeMessage(kTLMPBFilterDescriptor, filter);
}

TEST(NanoRecord, FreeingAnUnknownSlotIsReportedForEveryMessage) {
  for (const NANOMessageDescriptor* descriptor : nanoAllMessageDescriptors()) {
    NANOMessageInfo* record = nanoNewMessage(*descriptor);
    testing::internal::CaptureStdout();
    EXPECT_FALSE(nanoFreeField(*descriptor, record, 99));
    EXPECT_FALSE(nanoFreeField(*descriptor, record, -1));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              std::string("<ERROR> ") + descriptor->name + ": Cannot deallocate field 99: Unknown field\n" +
                  "<ERROR> " + descriptor->name + ": Cannot deallocate field -1: Unknown field\n");
    nanoFreeMessage(*descriptor, record);
  }
}

TEST(NanoRecord, CopyIsDeepAndIndependent) {
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  auto param = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(*param, TLMPBEventParamSlot::name, "value");
  NANOSetArray(*event, TLMPBEventSlot::params, std::vector{param});
  NANOSetString(*event, TLMPBEventSlot::name, "_s");

  NANOMessageInfo* copy = nullptr;
  ASSERT_TRUE(tlmpb_copy_event(&copy, event->messageInfo()));
  // Copying over an existing record replaces it without leaking.
  ASSERT_TRUE(tlmpb_copy_event(&copy, event->messageInfo()));
  auto fromCopy = TLMPBEvent::initWithMessageInfo(copy);
  tlmpb_free_event(copy);
  ASSERT_NE(fromCopy, nullptr);
  NANOSetString(*event, TLMPBEventSlot::name, "changed");
  NANOSetArray(*event, TLMPBEventSlot::params, std::nullopt);
  EXPECT_EQ(NANOGetString(*fromCopy, TLMPBEventSlot::name), "_s");
  auto params = NANOGetArray<TLMPBEventParam>(*fromCopy, TLMPBEventSlot::params);
  ASSERT_TRUE(params && params->size() == 1);
  EXPECT_EQ(NANOGetString(*(*params)[0], TLMPBEventParamSlot::name), "value");
}

TEST(NanoWrapper, ForeignRecordsAreRefused) {
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  EXPECT_EQ(TLMPBEventParam::initWithMessageInfo(event->messageInfo()), nullptr);
  auto request = LMTPBLogRequest::initWithMessageInfo(nullptr);
  EXPECT_EQ(LMTPBLogEvent::initWithMessageInfo(request->messageInfo()), nullptr);
  // A record that merely carries an equal name text is not of this message either.
  static const char kSameText[] = "Event";
  NANOMessageInfo fake{event->messageInfo()->fields, event->messageInfo()->types, kSameText};
  EXPECT_EQ(TLMPBEvent::initWithMessageInfo(&fake), nullptr);
}

TEST(NanoWrapper, EmptyAndInvalidBuffers) {
  auto empty = TLMPBMeasurementBundle::initWithBuffer(nullptr, 0);
  ASSERT_NE(empty, nullptr);
  for (int slot = 0; slot < TLMPBMeasurementBundleSlot::kCount; ++slot) {
    const bool repeated = kTLMPBMeasurementBundleDescriptor.types[slot] & NANO_FIELD_REPEATED;
    EXPECT_EQ(NANOHasField(*empty, slot), repeated) << slot;
  }
  EXPECT_EQ(encode(*empty), Bytes{});

  uint8_t* buffer = nullptr;
  EXPECT_EQ(tlmpb_encode_measurement_bundle(empty->messageInfo(), &buffer), 0);
  std::free(buffer);

  testing::internal::CaptureStdout();
  const Bytes invalid{0x12, 0x05, 0x01};  // length 5, only one byte follows
  EXPECT_EQ(TLMPBEvent::initWithBuffer(invalid), nullptr);
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "<ERROR> Event decoder failed: parent stream too short\n");
}

TEST(NanoDecode, RepeatedFieldsCountTheirElements) {
  const Bytes bytes{0x08, 0x01, 0x08, 0x02, 0x08, 0x03};  // status 1, 2, 3
  NANOMessageInfo* record = nanoNewMessage(kTLMPBResultDataDescriptor);
  ASSERT_TRUE(tlmpb_decode_result_data(bytes.data(), bytes.size(), record));
  auto* status = static_cast<NANOArrayInfo*>(record->fields[0]);
  EXPECT_EQ(status->size, 3u);
  EXPECT_EQ(status->used, 3u);
  auto* results = static_cast<NANOArrayInfo*>(record->fields[1]);
  ASSERT_NE(results, nullptr);
  EXPECT_EQ(results->size, 0u);
  nanoFreeMessage(kTLMPBResultDataDescriptor, record);

  // Packed input is accepted, and re-encoded unpacked.
  const Bytes packed{0x0A, 0x03, 0x05, 0xAC, 0x02, 0x0A, 0x00};
  auto data = TLMPBResultData::initWithBuffer(packed);
  ASSERT_NE(data, nullptr);
  EXPECT_EQ(NANOGetArray(*data, TLMPBResultDataSlot::status), (platform::Array{uint64_t{5}, uint64_t{300}}));
  EXPECT_EQ(encode(*data), (Bytes{0x08, 0x05, 0x08, 0xAC, 0x02}));
}

TEST(NanoDecode, DuplicateSingularFields) {
  // name "a" then name "b": the last occurrence wins.
  const Bytes strings{0x12, 0x01, 'a', 0x12, 0x01, 'b', 0x18, 0x01, 0x18, 0x02};
  auto event = TLMPBEvent::initWithBuffer(strings);
  ASSERT_NE(event, nullptr);
  EXPECT_EQ(NANOGetString(*event, TLMPBEventSlot::name), "b");
  EXPECT_EQ(NANOGetInt64(*event, TLMPBEventSlot::timestamp_millis), 2);

  // current_data twice: the occurrences merge (status words of both, in order).
  const Bytes merged{0x12, 0x02, 0x08, 0x01, 0x12, 0x02, 0x08, 0x02, 0x08, 0x07};
  auto result = TLMPBAudienceLeafFilterResult::initWithBuffer(merged);
  ASSERT_NE(result, nullptr);
  auto current = NANOGetMessage<TLMPBResultData>(*result, TLMPBAudienceLeafFilterResultSlot::current_data);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(NANOGetArray(*current, TLMPBResultDataSlot::status),
            (platform::Array{uint64_t{1}, uint64_t{2}}));
  EXPECT_EQ(NANOGetInt32(*result, TLMPBAudienceLeafFilterResultSlot::audience_id), 7);
  EXPECT_FALSE(NANOHasField(*result, TLMPBAudienceLeafFilterResultSlot::previous_data));
}

TEST(NanoDecode, AStringPresentWithoutBytesIsNotDecodedInto) {
  // A record whose name is present but holds no bytes (written by hand: no setter or decode
  // leaves one) is refused when the input carries that field, not silently patched.
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOMessageInfo* record = event->messageInfo();
  record->fields[TLMPBEventSlot::name] = std::calloc(1, sizeof(NANOArrayInfo));
  const Bytes named{0x12, 0x01, 'a'};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(nanoDecode(TLMPBEvent::messageDescriptor(), named.data(), named.size(), record));
  EXPECT_EQ(testing::internal::GetCapturedStdout(),
            "<ERROR> String decoder failed: string data is NULL\n"
            "<ERROR> Event decoder failed: callback failed\n");
  // Input without the field decodes; the name stays as it was.
  const Bytes timed{0x18, 0x05};
  EXPECT_TRUE(nanoDecode(TLMPBEvent::messageDescriptor(), timed.data(), timed.size(), record));
  EXPECT_EQ(NANOGetInt64(*event, TLMPBEventSlot::timestamp_millis), 5);
  EXPECT_EQ(NANOGetString(*event, TLMPBEventSlot::name), std::nullopt);
}

Bytes stringField(uint8_t tag, size_t length) {
  Bytes bytes{static_cast<uint8_t>(tag << 3 | 2)};
  size_t value = length;
  while (value >= 0x80) {
    bytes.push_back(static_cast<uint8_t>(value | 0x80));
    value >>= 7;
  }
  bytes.push_back(static_cast<uint8_t>(value));
  bytes.resize(bytes.size() + length, 'x');
  return bytes;
}

TEST(NanoDecode, StringsUpToOneMebibyte) {
  auto largest = TLMPBEventParam::initWithBuffer(stringField(1, 1048576));
  ASSERT_NE(largest, nullptr);
  EXPECT_EQ(NANOGetString(*largest, TLMPBEventParamSlot::name)->size(), 1048576u);

  testing::internal::CaptureStdout();
  EXPECT_EQ(TLMPBEventParam::initWithBuffer(stringField(1, 1048577)), nullptr);
  // The same limit holds for the elements of repeated strings and bytes.
  EXPECT_EQ(TLMPBStringFilter::initWithBuffer(stringField(4, 1048577)), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("Unable to process proto stream. Buffer is too big. 1048577 > 1048576\n"
                     "<ERROR> EventParam decoder failed: "),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<ERROR> StringFilter decoder failed: "), std::string::npos) << out;
}

TEST(NanoDecode, NestedFailuresNameTheElementAndFailTheWhole) {
  // One event whose parameter holds a truncated string.
  const Bytes bytes{0x0A, 0x03, 0x0A, 0x05, 0x61};
  testing::internal::CaptureStdout();
  EXPECT_EQ(TLMPBEvent::initWithBuffer(bytes), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("<ERROR> EventParam decoder failed: "), std::string::npos) << out;
  EXPECT_NE(out.find("<ERROR> EventParam decoder failed: Unable to decode repeated EventParam\n"),
            std::string::npos)
      << out;
  EXPECT_NE(out.find("<ERROR> Event decoder failed: "), std::string::npos) << out;
}

Bytes sampleBundleBytes() {
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetInt32(*bundle, TLMPBMeasurementBundleSlot::protocol_version, 1);
  NANOSetString(*bundle, TLMPBMeasurementBundleSlot::platform, "ios");
  auto event = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetString(*event, TLMPBEventSlot::name, "_vs");
  auto param = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(*param, TLMPBEventParamSlot::name, "_sn");
  NANOSetDouble(*param, TLMPBEventParamSlot::double_value, 1.5);
  NANOSetArray(*event, TLMPBEventSlot::params, std::vector{param, param});
  NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::events, std::vector{event, event});
  NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::experiment_ids, platform::Array{1, 2});
  auto result = TLMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
  auto data = TLMPBResultData::initWithMessageInfo(nullptr);
  NANOSetArray(*data, TLMPBResultDataSlot::status, platform::Array{uint64_t{5}});
  NANOSetMessage(*result, TLMPBAudienceLeafFilterResultSlot::current_data, data);
  NANOSetArray(*bundle, TLMPBMeasurementBundleSlot::audience_evaluation_results, std::vector{result});
  return encode(*bundle);
}

TEST(NanoDecode, TruncatedInputFailsCleanly) {
  const Bytes full = sampleBundleBytes();
  ASSERT_NE(TLMPBMeasurementBundle::initWithBuffer(full), nullptr);
  testing::internal::CaptureStdout();
  int failures = 0;
  for (size_t length = 1; length < full.size(); ++length) {
    auto partial = TLMPBMeasurementBundle::initWithBuffer(full.data(), length);
    if (partial == nullptr) ++failures;
  }
  testing::internal::GetCapturedStdout();
  EXPECT_GT(failures, 0);
}

TEST(NanoDecode, RandomAndCorruptedInputNeverCrashes) {
  std::mt19937 random(20240611);
  const Bytes sample = sampleBundleBytes();
  testing::internal::CaptureStdout();
  for (const NANOMessageDescriptor* descriptor : nanoAllMessageDescriptors()) {
    for (int round = 0; round < 300; ++round) {
      Bytes input;
      if (round % 2 == 0) {
        input.resize(random() % 64);
        for (auto& byte : input) byte = static_cast<uint8_t>(random());
      } else {
        input = sample;
        for (int flips = 0; flips < 3; ++flips) input[random() % input.size()] ^= static_cast<uint8_t>(1u << (random() % 8));
      }
      NANOMessageInfo* record = nanoNewMessage(*descriptor);
      if (nanoDecode(*descriptor, input.data(), input.size(), record)) {
        Bytes again;
        EXPECT_TRUE(nanoEncodeToBytes(*descriptor, record, again)) << descriptor->name;
      }
      nanoFreeMessage(*descriptor, record);
    }
  }
  testing::internal::GetCapturedStdout();
}

TEST(NanoDecode, OversizedLengthsAndVarints) {
  testing::internal::CaptureStdout();
  // A length prefix far beyond the input, and an eleven-byte varint.
  const Bytes hugeLength{0x0A, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F};
  EXPECT_EQ(TLMPBMeasurementBatch::initWithBuffer(hugeLength), nullptr);
  const Bytes longVarint{0x08, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01};
  EXPECT_EQ(TLMPBMeasurementBundle::initWithBuffer(longVarint), nullptr);
  // A uint32 field holding a value above 32 bits.
  const Bytes tooLarge{0x08, 0x80, 0x80, 0x80, 0x80, 0x10};
  EXPECT_EQ(LMTPBClientInfo::initWithBuffer(tooLarge), nullptr);
  const std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(out.find("<ERROR> ClientInfo decoder failed: integer too large"), std::string::npos) << out;
}

}  // namespace

namespace {

TEST(NanoDecode, WrongWireTypesAreSkippedAsUnknownFields) {
  // name (a string) as a varint and as a fixed32, params (repeated messages) as a fixed64, then a
  // valid timestamp: the mismatched fields leave no value behind.
  const Bytes event{0x10, 0x05,                                      // name: varint 5
                    0x15, 'a', 'b', 'c', 'd',                        // name: fixed32
                    0x09, 1, 2, 3, 4, 5, 6, 7, 8,                    // params: fixed64
                    0x18, 0x07};                                     // timestamp 7
  auto decoded = TLMPBEvent::initWithBuffer(event);
  ASSERT_NE(decoded, nullptr);
  EXPECT_FALSE(NANOHasField(*decoded, TLMPBEventSlot::name));
  EXPECT_EQ(NANOGetArray(*decoded, TLMPBEventSlot::params, TLMPBEventParam::messageDescriptor())->size(), 0u);
  EXPECT_EQ(NANOGetInt64(*decoded, TLMPBEventSlot::timestamp_millis), 7);

  // A sub-message as a varint, a repeated uint64 as a fixed32, a repeated message as a varint,
  // and a varint where a singular scalar of fixed width is declared.
  const Bytes result{0x10, 0x2A,                    // current_data: varint
                     0x1A, 0x07,                    // previous_data (7 bytes):
                     0x0D, 1, 0, 0, 0,              //   status as fixed32
                     0x18, 0x01,                    //   dynamic_filter_timestamps as varint
                     0x08, 0x03};                   // audience_id 3
  auto leaf = TLMPBAudienceLeafFilterResult::initWithBuffer(result);
  ASSERT_NE(leaf, nullptr);
  EXPECT_FALSE(NANOHasField(*leaf, TLMPBAudienceLeafFilterResultSlot::current_data));
  auto previous = NANOGetMessage<TLMPBResultData>(*leaf, TLMPBAudienceLeafFilterResultSlot::previous_data);
  ASSERT_NE(previous, nullptr);
  EXPECT_EQ(NANOGetArray(*previous, TLMPBResultDataSlot::status)->size(), 0u);
  EXPECT_EQ(NANOGetArray(*previous, TLMPBResultDataSlot::dynamic_filter_timestamps, TLMPBDynamicFilterResultTimestamp::messageDescriptor())->size(), 0u);
  EXPECT_EQ(NANOGetInt32(*leaf, TLMPBAudienceLeafFilterResultSlot::audience_id), 3);

  const Bytes param{0x25, 0x00, 0x00, 0xC0, 0x3F,   // float_value 1.5 (fixed32, right)
                    0x29, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x3F,  // double 1.5
                    0x20, 0x01};                    // float_value as a varint: skipped
  auto decodedParam = TLMPBEventParam::initWithBuffer(param);
  ASSERT_NE(decodedParam, nullptr);
  EXPECT_EQ(NANOGetFloat(*decodedParam, TLMPBEventParamSlot::float_value), 1.5f);
  EXPECT_EQ(NANOGetDouble(*decodedParam, TLMPBEventParamSlot::double_value), 1.5);
}

// Duplicates of a singular sub-message merge; their lists must grow geometrically, not by one
// copy per occurrence. The work is counted, not timed: every list the decoder grows goes through
// realloc (wrapped for this program, see CMakeLists.txt), and geometric growth asks it for fewer
// bytes in all than four times the final list (4 + 8 + ... + c < 2c, c < 2n); one copy per
// occurrence asks for about n * n pointers.
TEST(NanoDecode, MergingManyDuplicateSubMessagesIsLinear) {
  constexpr std::size_t kCount = 4000;
  Bytes bytes;
  for (std::size_t i = 0; i < kCount; ++i) {
    bytes.insert(bytes.end(), {0x12, 0x02, 0x08, 0x01});  // current_data { status: 1 }
  }
  const ReallocTally before = reallocTally;
  auto leaf = TLMPBAudienceLeafFilterResult::initWithBuffer(bytes);
  const ReallocTally after = reallocTally;
  ASSERT_NE(leaf, nullptr);
  auto current = NANOGetMessage<TLMPBResultData>(*leaf, TLMPBAudienceLeafFilterResultSlot::current_data);
  ASSERT_NE(current, nullptr);
  EXPECT_EQ(NANOGetArray(*current, TLMPBResultDataSlot::status)->size(), kCount);
  const std::size_t calls = after.calls - before.calls;
  const std::size_t requested = after.bytes - before.bytes;
  EXPECT_GT(calls, 0u) << "the list did not grow through realloc: nothing was counted";
  EXPECT_LT(requested, 4 * kCount * sizeof(void*)) << calls << " reallocations asked for " << requested << " bytes";
}

}  // namespace
