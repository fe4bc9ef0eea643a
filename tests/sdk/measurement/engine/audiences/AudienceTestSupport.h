// Builders for audience definitions and a fixture with a real measurement database, fixed
// audience settings and the recording monitor.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "../../store/StoreTestSupport.h"
#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "measurement/engine/audiences/TLMAudience.h"
#include "measurement/engine/audiences/TLMAudienceFilterEvaluation.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace audiences {

inline std::shared_ptr<TLMPBNumberFilter> number(
    std::int32_t type, std::optional<std::string> value,
    std::optional<std::string> minimum = std::nullopt,
    std::optional<std::string> maximum = std::nullopt) {
  auto f = TLMPBNumberFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*f, TLMPBNumberFilterSlot::comparison_type, type);
  if (value) NANOSetString(*f, TLMPBNumberFilterSlot::comparison_value, *value);
  if (minimum) NANOSetString(*f, TLMPBNumberFilterSlot::min_comparison_value, *minimum);
  if (maximum) NANOSetString(*f, TLMPBNumberFilterSlot::max_comparison_value, *maximum);
  return f;
}

inline std::shared_ptr<TLMPBStringFilter> string(std::int32_t type,
                                                 std::optional<std::string> expression,
                                                 std::optional<bool> caseSensitive = std::nullopt,
                                                 std::vector<std::string> list = {}) {
  auto f = TLMPBStringFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*f, TLMPBStringFilterSlot::match_type, type);
  if (expression) NANOSetString(*f, TLMPBStringFilterSlot::expression, *expression);
  if (caseSensitive) NANOSetBool(*f, TLMPBStringFilterSlot::case_sensitive, *caseSensitive);
  if (!list.empty()) {
    platform::Array values;
    for (auto& entry : list) values.emplace_back(entry);
    NANOSetArray(*f, TLMPBStringFilterSlot::expression_list, values);
  }
  return f;
}

// A "Filter" around a number or a string filter.
template <class Inner>
std::shared_ptr<TLMPBFilter> filter(const std::shared_ptr<Inner>& inner,
                                    const std::string& parameter = "",
                                    std::optional<bool> complement = std::nullopt) {
  auto f = TLMPBFilter::initWithMessageInfo(nullptr);
  NANOSetMessage(*f,
                 std::is_same_v<Inner, TLMPBNumberFilter> ? TLMPBFilterSlot::number_filter
                                                           : TLMPBFilterSlot::string_filter,
                 inner);
  if (!parameter.empty()) NANOSetString(*f, TLMPBFilterSlot::param_name, parameter);
  if (complement) NANOSetBool(*f, TLMPBFilterSlot::complement, *complement);
  return f;
}

struct Flags {
  bool dynamic = false;
  bool sequence = false;
  bool sessionScoped = false;
};

inline std::shared_ptr<TLMPBEventFilter> eventFilter(
    std::int32_t id, const std::string& name,
    std::vector<std::shared_ptr<TLMPBFilter>> parameters = {},
    std::shared_ptr<TLMPBNumberFilter> count = nullptr, Flags flags = {}) {
  auto f = TLMPBEventFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*f, TLMPBEventFilterSlot::filter_id, id);
  NANOSetString(*f, TLMPBEventFilterSlot::event_name, name);
  if (!parameters.empty()) NANOSetArray(*f, TLMPBEventFilterSlot::filters, parameters);
  if (count) NANOSetMessage(*f, TLMPBEventFilterSlot::event_count_filter, count);
  if (flags.dynamic) NANOSetBool(*f, TLMPBEventFilterSlot::dynamic, true);
  if (flags.sequence) NANOSetBool(*f, TLMPBEventFilterSlot::sequence, true);
  if (flags.sessionScoped) NANOSetBool(*f, TLMPBEventFilterSlot::session_scoped, true);
  return f;
}

inline std::shared_ptr<TLMPBPropertyFilter> propertyFilter(std::int32_t id, const std::string& name,
                                                           std::shared_ptr<TLMPBFilter> value,
                                                           Flags flags = {}) {
  auto f = TLMPBPropertyFilter::initWithMessageInfo(nullptr);
  NANOSetInt32(*f, TLMPBPropertyFilterSlot::filter_id, id);
  NANOSetString(*f, TLMPBPropertyFilterSlot::property_name, name);
  if (value) NANOSetMessage(*f, TLMPBPropertyFilterSlot::filter, value);
  if (flags.dynamic) NANOSetBool(*f, TLMPBPropertyFilterSlot::dynamic, true);
  if (flags.sequence) NANOSetBool(*f, TLMPBPropertyFilterSlot::sequence, true);
  if (flags.sessionScoped) NANOSetBool(*f, TLMPBPropertyFilterSlot::session_scoped, true);
  return f;
}

inline std::shared_ptr<TLMPBAudience> audience(
    std::optional<std::int32_t> id, std::vector<std::shared_ptr<TLMPBEventFilter>> events,
    std::vector<std::shared_ptr<TLMPBPropertyFilter>> properties = {}) {
  auto a = TLMPBAudience::initWithMessageInfo(nullptr);
  if (id) NANOSetInt32(*a, TLMPBAudienceSlot::audience_id, *id);
  if (!events.empty()) NANOSetArray(*a, TLMPBAudienceSlot::event_filters, events);
  if (!properties.empty()) NANOSetArray(*a, TLMPBAudienceSlot::property_filters, properties);
  return a;
}

inline TLMEventAggregates aggregates(const std::string& name, std::int32_t lifetime,
                                     std::int32_t session = 1) {
  return *TLMEventAggregates::initWithName(name, lifetime, 1, session, 0);
}

inline TLMEventPtr event(const std::string& name, double timestamp,
                         TLMObjectDictionary parameters = {}) {
  TLMEventPtr e = TLMEvent::initWithOrigin("app", false, name, timestamp, 0, parameters);
  EXPECT_TRUE(e) << name;
  return e;
}

inline TLMUserAttribute property(const std::string& name, TLMValue value, double timestamp = 1000) {
  return *TLMUserAttribute::initWithOrigin("app", name, value, timestamp);
}

// The decoded status and result words and timestamp entries of one stored record.
struct Bits {
  std::vector<std::uint64_t> status;
  std::vector<std::uint64_t> results;
  std::map<std::int32_t, std::int64_t> dynamic;
  std::map<std::int32_t, std::vector<std::int64_t>> sequence;
};

inline Bits bitsOf(const platform::Bytes& bytes) {
  Bits out;
  auto data = TLMPBResultData::initWithBuffer(bytes);
  if (!data) return out;
  for (auto& v : NANOGetArray(*data, TLMPBResultDataSlot::status).value_or(platform::Array{}))
    out.status.push_back(*v.uint64Value());
  for (auto& v : NANOGetArray(*data, TLMPBResultDataSlot::results).value_or(platform::Array{}))
    out.results.push_back(*v.uint64Value());
  for (auto& e : NANOGetArray<TLMPBDynamicFilterResultTimestamp>(
                     *data, TLMPBResultDataSlot::dynamic_filter_timestamps)
                     .value_or(std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>>{}))
    out.dynamic[NANOGetInt32(*e, TLMPBDynamicFilterResultTimestampSlot::filter_id)] =
        NANOGetInt64(*e, TLMPBDynamicFilterResultTimestampSlot::timestamp);
  for (auto& e :
       NANOGetArray<TLMPBSequenceFilterResultTimestamp>(
           *data, TLMPBResultDataSlot::sequence_filter_timestamps)
           .value_or(std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>>{})) {
    auto& times = out.sequence[NANOGetInt32(*e, TLMPBSequenceFilterResultTimestampSlot::filter_id)];
    for (auto& v : NANOGetArray(*e, TLMPBSequenceFilterResultTimestampSlot::eval_timestamps)
                       .value_or(platform::Array{}))
      times.push_back(*v.int64Value());
  }
  return out;
}

class AudienceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), storeSettings,
                                                 &storeMonitor);
    ASSERT_TRUE(database);
    audienceObject = std::make_unique<TLMAudience>(*database, settings);
  }
  TLMAudience& subject() { return *audienceObject; }
  bool define(std::vector<std::shared_ptr<TLMPBAudience>> list) {
    return subject().updateAudiences(list);
  }
  std::optional<TLMFilterResult> stored(std::int32_t audienceID) {
    return database->filterResultForAudienceID(audienceID, nullptr);
  }
  Bits current(std::int32_t audienceID) {
    auto result = stored(audienceID);
    if (!result || !result->currentResults()) return {};
    return bitsOf(*result->currentResults());
  }
  bool logEvent(const std::string& name, double timestamp, TLMObjectDictionary parameters = {},
                std::int32_t lifetime = 1, std::int32_t session = 1) {
    return subject().evaluateFiltersForEvent(event(name, timestamp, parameters),
                                             aggregates(name, lifetime, session), caches);
  }

  std::shared_ptr<platform::ManualClock> clock =
      std::make_shared<platform::ManualClock>(1700000000.0);
  platform::ScopedClock scopedClock{clock};
  TLMScopedRecordingMonitor monitor{true};
  TempDirectory dir;
  std::shared_ptr<TLMStoreDefaultSettings> storeSettings =
      std::make_shared<TLMStoreDefaultSettings>();
  TLMStoreRecordingMonitor storeMonitor;
  std::shared_ptr<TLMAudienceFixedSettings> settings = std::make_shared<TLMAudienceFixedSettings>();
  std::unique_ptr<TLMDatabase> database;
  std::unique_ptr<TLMAudience> audienceObject;
  TLMSequenceTimestampsCaches caches;
};

}  // namespace audiences
