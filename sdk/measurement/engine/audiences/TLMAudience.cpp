#include "measurement/engine/audiences/TLMAudience.h"

#include <algorithm>
#include <functional>
#include <set>

#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/audiences/TLMAudienceFilterEvaluation.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using platform::Value;

void log(int level, std::int64_t code, const std::string& message) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message);
}
void log(int level, std::int64_t code, const std::string& message, const Value& c1) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message, c1);
}
void log(int level, std::int64_t code, const std::string& message, const Value& c1,
         const Value& c2) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message, c1, c2);
}
void log(int level, std::int64_t code, const std::string& message, const Value& c1, const Value& c2,
         const Value& c3) {
  TLMMeasurement::monitor()->logWithLevel(level, code, message, c1, c2, c3);
}

Value errorValue(const platform::Error& error) { return Value(error.description); }
bool failed(const platform::Error& error) { return !error.domain.empty() || error.code != 0; }

platform::Bytes encode(const NANOMessageBase& message) {
  return message.protoBuffer().value_or(platform::Bytes{});
}

// The current "ResultData" of a record; null when it has none or it does not decode.
std::shared_ptr<TLMPBResultData> currentData(const TLMFilterResult& result) {
  if (!result.currentResults() || result.currentResults()->empty()) return nullptr;
  return TLMPBResultData::initWithBuffer(*result.currentResults());
}

std::vector<std::uint64_t> words(const TLMPBResultData& data, std::int32_t slot) {
  std::vector<std::uint64_t> out;
  for (const Value& word : NANOGetArray(data, slot).value_or(platform::Array{})) {
    out.push_back(word.uint64Value().value_or(0));
  }
  return out;
}

platform::Array wordArray(const std::vector<std::uint64_t>& words) {
  platform::Array out;
  for (std::uint64_t word : words) out.emplace_back(word);
  return out;
}

template <class T>
std::vector<std::shared_ptr<T>> messages(const NANOMessageBase& message, std::int32_t slot) {
  return NANOGetArray<T>(message, slot).value_or(std::vector<std::shared_ptr<T>>{});
}

std::string internalName(const TLMNameTable& table, const std::string& name) {
  const std::string* internal = table.find(name);
  return internal ? *internal : name;
}

// A copy of a message, so the caller's definitions are never changed.
template <class T>
std::shared_ptr<T> copyOf(const T& message) {
  auto bytes = message.protoBuffer();
  return bytes ? T::initWithBuffer(*bytes) : nullptr;
}

// A stored filter decoded and prepared for evaluation; null when it has no data or does not
// decode.
std::shared_ptr<const TLMAudiencePreparedEventFilter> prepareStored(const TLMEventFilter& stored) {
  if (stored.data().empty()) return nullptr;
  auto message = TLMPBEventFilter::initWithBuffer(stored.data());
  if (!message) return nullptr;
  return std::make_shared<const TLMAudiencePreparedEventFilter>(
      TLMAudiencePrepareEventFilter(std::move(message)));
}

std::shared_ptr<const TLMAudiencePreparedPropertyFilter> prepareStored(
    const TLMPropertyFilter& stored) {
  if (stored.data().empty()) return nullptr;
  auto message = TLMPBPropertyFilter::initWithBuffer(stored.data());
  if (!message) return nullptr;
  return std::make_shared<const TLMAudiencePreparedPropertyFilter>(
      TLMAudiencePreparePropertyFilter(std::move(message)));
}

}  // namespace

// An audience's record as stored (none: no row), its current "ResultData" decoded once.
struct TLMAudienceKnownResult {
  std::optional<TLMFilterResult> record;
  std::shared_ptr<TLMPBResultData> data;  // null when there is none or it does not decode
  std::vector<std::uint64_t> status;
  std::vector<std::uint64_t> results;
  TLMDynamicFilterTimestamps dynamicTimes;
  bool hasSequenceEntries = false;
};

// What one bundling pass keeps of the store: the filters of each name it met (each decoded and
// prepared on first use) and each audience's record, replaced by what the pass writes.
struct TLMAudiencePass {
  template <class Stored, class Prepared>
  struct Filters {
    std::vector<Stored> stored;
    std::vector<std::shared_ptr<const Prepared>> decoded;
    std::vector<bool> tried;
    // The distinct audiences of the filters in ascending order, and each filter's index in it.
    std::vector<std::int32_t> audienceIDs;
    std::vector<std::size_t> audienceIndex;
  };
  std::map<std::string, Filters<TLMEventFilter, TLMAudiencePreparedEventFilter>> eventFilters;
  std::map<std::string, Filters<TLMPropertyFilter, TLMAudiencePreparedPropertyFilter>>
      propertyFilters;
  std::map<std::int32_t, std::shared_ptr<const TLMAudienceKnownResult>> results;
};

namespace {

using KnownResult = std::shared_ptr<const TLMAudienceKnownResult>;

KnownResult knownResult(std::optional<TLMFilterResult> record) {
  auto known = std::make_shared<TLMAudienceKnownResult>();
  if (record) {
    known->data = currentData(*record);
    if (known->data) {
      known->status = words(*known->data, TLMPBResultDataSlot::status);
      known->results = words(*known->data, TLMPBResultDataSlot::results);
      known->dynamicTimes = TLMConvertDynamicFilterResultTimestampsToDictionary(known->data.get());
      known->hasSequenceEntries =
          !messages<TLMPBSequenceFilterResultTimestamp>(
               *known->data, TLMPBResultDataSlot::sequence_filter_timestamps)
               .empty();
    }
  }
  known->record = std::move(record);
  return known;
}

// The per-call bookkeeping of one evaluation for one audience: its record as this call has it
// (null before its first filter), whether that record changed, and its dynamic times (seeded at
// its first filter).
struct AudienceState {
  KnownResult current;
  bool changed = false;
  bool seeded = false;
  TLMDynamicFilterTimestamps dynamicTimes;
};

}  // namespace

// MARK: - Settings

TLMAudienceRemoteConfigSettings::TLMAudienceRemoteConfigSettings(
    std::shared_ptr<TLMRemoteConfig> config)
    : config_(config ? std::move(config) : TLMRemoteConfig::defaultInstance()) {}

std::int64_t TLMAudienceRemoteConfigSettings::maxAudienceCount() const {
  return config_->maxAudienceCount();
}
std::int64_t TLMAudienceRemoteConfigSettings::maxFiltersPerAudience() const {
  return config_->maxFiltersPerAudience();
}
std::int64_t TLMAudienceRemoteConfigSettings::maxParametersPerFilter() const {
  return config_->maxParametersPerFilter();
}
std::int64_t TLMAudienceRemoteConfigSettings::maxFilterResultCount() const {
  return config_->maxFilterResultCount();
}
bool TLMAudienceRemoteConfigSettings::isAudienceDynamicFiltersEnabled() const {
  return config_->isAudienceDynamicFiltersEnabled();
}
bool TLMAudienceRemoteConfigSettings::isAudienceSequenceFiltersEnabled() const {
  return config_->isAudienceSequenceFiltersEnabled();
}
bool TLMAudienceRemoteConfigSettings::isAudienceScopedFiltersEnabled() const {
  return config_->isAudienceScopedFiltersEnabled();
}
bool TLMAudienceRemoteConfigSettings::isSessionScopedEventAggregatesEnabled() const {
  return config_->isSessionScopedEventAggregatesEnabled();
}
bool TLMAudienceRemoteConfigSettings::isAudienceFilterTypeValidationEnabled() const {
  return config_->isAudienceFilterTypeValidationEnabled();
}

// MARK: - Result records

bool TLMIsAudienceEvaluated(const platform::Array& statusWords) {
  return std::any_of(statusWords.begin(), statusWords.end(),
                     [](const Value& word) { return word.uint64Value().value_or(0) != 0; });
}

TLMDynamicFilterTimestamps TLMConvertDynamicFilterResultTimestampsToDictionary(
    const TLMPBResultData* data) {
  TLMDynamicFilterTimestamps out;
  if (data == nullptr) return out;
  for (const auto& entry : messages<TLMPBDynamicFilterResultTimestamp>(
           *data, TLMPBResultDataSlot::dynamic_filter_timestamps)) {
    out[NANOGetInt32(*entry, TLMPBDynamicFilterResultTimestampSlot::filter_id)] =
        static_cast<double>(NANOGetInt64(*entry, TLMPBDynamicFilterResultTimestampSlot::timestamp));
  }
  return out;
}

std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>>
TLMConvertDictionaryToDynamicFilterResultTimestamps(const TLMDynamicFilterTimestamps& timestamps) {
  std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>> out;
  for (const auto& [filterID, time] : timestamps) {
    auto entry = TLMPBDynamicFilterResultTimestamp::initWithMessageInfo(nullptr);
    NANOSetInt32(*entry, TLMPBDynamicFilterResultTimestampSlot::filter_id, filterID);
    NANOSetInt64(*entry, TLMPBDynamicFilterResultTimestampSlot::timestamp, TLMWholeSecondsSaturated(time));
    out.push_back(std::move(entry));
  }
  return out;
}

void TLMKeepLatestDynamicFilterEvaluationTimestamp(TLMDynamicFilterTimestamps& timestamps,
                                                   std::int32_t filterID, double timestamp) {
  auto found = timestamps.find(filterID);
  const double stored = found == timestamps.end() ? 0 : found->second;
  if (timestamp > stored) {
    timestamps[filterID] = timestamp;
  } else {
    log(5, 6037, "Candidate evaluation timestamp is earlier than cached evaluation timestamp",
        Value(stored), Value(timestamp));
  }
}

std::shared_ptr<TLMSequenceTimestampsCache> TLMConvertSequenceFilterResultTimestampsToDictionary(
    const TLMPBResultData* data, std::int32_t audienceID) {
  auto cache = std::make_shared<TLMSequenceTimestampsCache>(audienceID);
  if (data == nullptr) return cache;
  for (const auto& entry : messages<TLMPBSequenceFilterResultTimestamp>(
           *data, TLMPBResultDataSlot::sequence_filter_timestamps)) {
    auto times = NANOGetArray(*entry, TLMPBSequenceFilterResultTimestampSlot::eval_timestamps);
    if (!times || times->empty()) continue;
    cache->addEventFilterTimestamp(
        static_cast<double>(times->back().int64Value().value_or(0)),
        NANOGetInt32(*entry, TLMPBSequenceFilterResultTimestampSlot::filter_id));
  }
  return cache;
}

namespace {

bool isTrueInWords(const TLMFilterResult& result, const std::vector<std::uint64_t>& status,
                   const std::vector<std::uint64_t>& results, std::int32_t filterID) {
  if (status.empty() || results.empty()) {
    log(2, 6023,
        "Audience filter result is non-nil and is missing status or results array. Audience result will not be bundled. Audience ID, result data",
        Value(result.audienceID()),
        Value::data(result.currentResults()->data(), result.currentResults()->size()));
    return false;
  }
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
  if (word >= status.size() || (status[word] & bit) == 0) return false;
  return word < results.size() && (results[word] & bit) != 0;
}

bool isTrueIn(const TLMAudienceKnownResult& known, std::int32_t filterID) {
  const auto& record = known.record;
  if (!record || !record->currentResults() || record->currentResults()->empty() || filterID < 0) {
    return false;
  }
  return isTrueInWords(*record, known.status, known.results, filterID);
}

}  // namespace

bool TLMAudience::isFilterResult(const TLMFilterResult& result, std::int32_t filterID) {
  if (!result.currentResults() || result.currentResults()->empty() || filterID < 0) return false;
  auto data = TLMPBResultData::initWithBuffer(*result.currentResults());
  return isTrueInWords(result,
                       data ? words(*data, TLMPBResultDataSlot::status) : std::vector<std::uint64_t>{},
                       data ? words(*data, TLMPBResultDataSlot::results) : std::vector<std::uint64_t>{},
                       filterID);
}

TLMFilterResult TLMAudience::updatedFilterResultWithFilterID(
    std::int32_t filterID, std::int32_t audienceID, const std::optional<TLMFilterResult>& current,
    std::optional<bool> newEvaluationResult,
    const std::optional<std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>>>&
        dynamicFilterTimestamps,
    const std::optional<std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>>>&
        sequenceFilterTimestamps) {
  std::vector<std::uint64_t> status;
  std::vector<std::uint64_t> results;
  if (current) {
    if (auto data = currentData(*current)) {
      status = words(*data, TLMPBResultDataSlot::status);
      results = words(*data, TLMPBResultDataSlot::results);
    }
  }
  if (filterID >= 0) {
    const std::size_t word = static_cast<std::size_t>(filterID) / 64;
    const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
    if (status.size() <= word) status.resize(word + 1, 0);
    if (results.size() <= word) results.resize(word + 1, 0);
    status[word] = newEvaluationResult ? (status[word] | bit) : (status[word] & ~bit);
    results[word] = newEvaluationResult == true ? (results[word] | bit) : (results[word] & ~bit);
  }
  auto data = TLMPBResultData::initWithMessageInfo(nullptr);
  NANOSetArray(*data, TLMPBResultDataSlot::status, wordArray(status));
  NANOSetArray(*data, TLMPBResultDataSlot::results, wordArray(results));
  if (dynamicFilterTimestamps) {
    NANOSetArray(*data, TLMPBResultDataSlot::dynamic_filter_timestamps, *dynamicFilterTimestamps);
  }
  if (sequenceFilterTimestamps) {
    NANOSetArray(*data, TLMPBResultDataSlot::sequence_filter_timestamps, *sequenceFilterTimestamps);
  }
  return TLMFilterResult(audienceID, encode(*data),
                         current ? current->previousResults() : std::optional<platform::Bytes>{});
}

// MARK: - Definitions

TLMAudience::TLMAudience(TLMDatabase& database, std::shared_ptr<const TLMAudienceSettings> settings)
    : database_(database),
      settings_(settings ? std::move(settings) : std::make_shared<TLMAudienceFixedSettings>()) {}

bool TLMAudience::isValidAudienceProto(const TLMPBAudience& audience,
                                       const std::set<std::int32_t>& usedAudienceIDs,
                                       const TLMAudienceSettings& settings,
                                       platform::Error* error) {
  auto fail = [error](std::int64_t code, const char* text) {
    TLMSetError(error, code, text);
    return false;
  };
  if (!NANOHasField(audience, TLMPBAudienceSlot::audience_id))
    return fail(9, "Missing audience ID");
  const std::int32_t audienceID = NANOGetInt32(audience, TLMPBAudienceSlot::audience_id);
  if (audienceID < 0) return fail(9, "Audience ID is negative");
  if (usedAudienceIDs.count(audienceID) != 0) return fail(9, "Duplicate audience ID");
  const auto eventFilters = messages<TLMPBEventFilter>(audience, TLMPBAudienceSlot::event_filters);
  const auto propertyFilters =
      messages<TLMPBPropertyFilter>(audience, TLMPBAudienceSlot::property_filters);
  if (eventFilters.empty() && propertyFilters.empty())
    return fail(9, "Audience missing filters arrays");
  const std::int64_t maxFilters = settings.maxFiltersPerAudience();
  const auto total = static_cast<std::int64_t>(eventFilters.size() + propertyFilters.size());
  if (total < 1 || total > maxFilters) return fail(9, "Audience filter count out of range");
  const bool typeValidation = settings.isAudienceFilterTypeValidationEnabled();

  std::set<std::int32_t> usedFilterIDs;
  for (const auto& filter : eventFilters) {
    const auto name = NANOGetString(*filter, TLMPBEventFilterSlot::event_name);
    if (!name || name->empty()) return fail(10, "Event filter missing event name");
    if (!NANOHasField(*filter, TLMPBEventFilterSlot::filter_id))
      return fail(10, "Missing event filter ID");
    const std::int32_t filterID = NANOGetInt32(*filter, TLMPBEventFilterSlot::filter_id);
    if (filterID < 0 || filterID >= maxFilters) return fail(10, "Event filter ID is out of range");
    if (!usedFilterIDs.insert(filterID).second) return fail(10, "Duplicate event filter ID");
    if (NANOHasField(*filter, TLMPBEventFilterSlot::event_count_filter)) {
      auto count =
          NANOGetMessage<TLMPBNumberFilter>(*filter, TLMPBEventFilterSlot::event_count_filter);
      if (count && NANOIsTrue(*count, TLMPBNumberFilterSlot::match_as_float)) {
        return fail(10, "Event filter has float event count filter");
      }
      if (!count || !TLMAudienceIsValidNumberFilter(*count)) {
        return fail(10, "Event filter has invalid event count filter");
      }
    }
    if (typeValidation) {
      const bool dynamic = NANOIsTrue(*filter, TLMPBEventFilterSlot::dynamic);
      const bool sequence = NANOIsTrue(*filter, TLMPBEventFilterSlot::sequence);
      const bool scoped = NANOIsTrue(*filter, TLMPBEventFilterSlot::session_scoped);
      if (dynamic && scoped) return false;
      if (sequence && !dynamic && !scoped) return false;
    }
    const auto parameterFilters = messages<TLMPBFilter>(*filter, TLMPBEventFilterSlot::filters);
    if (static_cast<std::int64_t>(parameterFilters.size()) > settings.maxParametersPerFilter()) {
      return fail(10, "Event filter parameters filters count out of range");
    }
    for (const auto& parameterFilter : parameterFilters) {
      const auto parameterName = NANOGetString(*parameterFilter, TLMPBFilterSlot::param_name);
      if (!parameterName || parameterName->empty())
        return fail(10, "Event filter missing parameter name");
      const bool hasNumber = NANOHasField(*parameterFilter, TLMPBFilterSlot::number_filter);
      const bool hasString = NANOHasField(*parameterFilter, TLMPBFilterSlot::string_filter);
      if (hasNumber == hasString)
        return fail(10, "Event filter must have exactly one of number or string filter");
      if (hasNumber) {
        auto number =
            NANOGetMessage<TLMPBNumberFilter>(*parameterFilter, TLMPBFilterSlot::number_filter);
        if (!number || !TLMAudienceIsValidNumberFilter(*number)) {
          return fail(10, "Event filter has invalid number filter");
        }
      } else {
        auto string =
            NANOGetMessage<TLMPBStringFilter>(*parameterFilter, TLMPBFilterSlot::string_filter);
        if (!string || !TLMAudienceIsValidStringFilter(*string)) {
          return fail(10, "Event filter has invalid string filter");
        }
      }
    }
  }
  for (const auto& filter : propertyFilters) {
    const auto name = NANOGetString(*filter, TLMPBPropertyFilterSlot::property_name);
    if (!name || name->empty()) return fail(11, "Property filter missing property name");
    if (!NANOHasField(*filter, TLMPBPropertyFilterSlot::filter_id))
      return fail(11, "Missing property filter ID");
    const std::int32_t filterID = NANOGetInt32(*filter, TLMPBPropertyFilterSlot::filter_id);
    if (filterID < 0 || filterID >= maxFilters)
      return fail(11, "Property filter ID is out of range");
    if (!usedFilterIDs.insert(filterID).second) return fail(11, "Duplicate property filter ID");
    auto valueFilter = NANOHasField(*filter, TLMPBPropertyFilterSlot::filter)
                           ? NANOGetMessage<TLMPBFilter>(*filter, TLMPBPropertyFilterSlot::filter)
                           : nullptr;
    if (!valueFilter) return fail(11, "Property filter has no filter");
    const bool hasNumber = NANOHasField(*valueFilter, TLMPBFilterSlot::number_filter);
    const bool hasString = NANOHasField(*valueFilter, TLMPBFilterSlot::string_filter);
    if (hasNumber == hasString)
      return fail(11, "Property filter must have exactly one of number or string filter");
    if (hasNumber) {
      auto number = NANOGetMessage<TLMPBNumberFilter>(*valueFilter, TLMPBFilterSlot::number_filter);
      if (!number || !TLMAudienceIsValidNumberFilter(*number)) {
        return fail(11, "Property filter must have exactly one of number or string filter");
      }
    } else {
      auto string = NANOGetMessage<TLMPBStringFilter>(*valueFilter, TLMPBFilterSlot::string_filter);
      if (!string || !TLMAudienceIsValidStringFilter(*string)) {
        return fail(11, "Property filter has invalid string filter");
      }
    }
    if (typeValidation && NANOIsTrue(*filter, TLMPBPropertyFilterSlot::dynamic) &&
        (NANOIsTrue(*filter, TLMPBPropertyFilterSlot::sequence) ||
         NANOIsTrue(*filter, TLMPBPropertyFilterSlot::session_scoped))) {
      return false;
    }
  }
  return true;
}

TLMAudience::~TLMAudience() = default;

void TLMAudience::beginBundlingPass() { pass_ = std::make_unique<TLMAudiencePass>(); }

void TLMAudience::endBundlingPass() { pass_.reset(); }

bool TLMAudience::updateAudiences(const std::vector<std::shared_ptr<TLMPBAudience>>& audiences) {
  // The filters and results a bundling pass kept are read again after this.
  if (pass_) *pass_ = TLMAudiencePass{};
  if (static_cast<std::int64_t>(audiences.size()) > settings_->maxAudienceCount()) {
    log(1, 6008,
        "Configuration contains too many audiences. Audiences will not be saved. Audience count",
        Value(static_cast<std::int64_t>(audiences.size())));
    return true;
  }
  std::set<std::int32_t> accepted;
  std::vector<TLMEventFilter> eventFilters;
  std::vector<TLMPropertyFilter> propertyFilters;
  for (const auto& audience : audiences) {
    if (!audience) continue;
    platform::Error error;
    if (!isValidAudienceProto(*audience, accepted, *settings_, &error)) {
      const platform::Bytes definition = encode(*audience);
      log(1, 6009, "Audience definition is invalid. Audience will not be saved. Audience, error",
          Value::data(definition.data(), definition.size()), errorValue(error));
      continue;
    }
    const std::int32_t audienceID = NANOGetInt32(*audience, TLMPBAudienceSlot::audience_id);
    accepted.insert(audienceID);
    for (const auto& original :
         messages<TLMPBEventFilter>(*audience, TLMPBAudienceSlot::event_filters)) {
      auto filter = copyOf(*original);
      if (!filter) continue;
      const std::string name =
          internalName(TLMInternalEventNames(),
                       NANOGetString(*filter, TLMPBEventFilterSlot::event_name).value_or(""));
      NANOSetString(*filter, TLMPBEventFilterSlot::event_name, name);
      auto parameterFilters = messages<TLMPBFilter>(*filter, TLMPBEventFilterSlot::filters);
      for (auto& parameterFilter : parameterFilters) {
        NANOSetString(
            *parameterFilter, TLMPBFilterSlot::param_name,
            internalName(
                TLMInternalParameterNames(),
                NANOGetString(*parameterFilter, TLMPBFilterSlot::param_name).value_or("")));
      }
      if (!parameterFilters.empty())
        NANOSetArray(*filter, TLMPBEventFilterSlot::filters, parameterFilters);
      eventFilters.emplace_back(audienceID, NANOGetInt32(*filter, TLMPBEventFilterSlot::filter_id),
                                name, encode(*filter),
                                NANOGetBool(*filter, TLMPBEventFilterSlot::session_scoped));
    }
    for (const auto& original :
         messages<TLMPBPropertyFilter>(*audience, TLMPBAudienceSlot::property_filters)) {
      auto filter = copyOf(*original);
      if (!filter) continue;
      const std::string name =
          internalName(TLMInternalUserPropertyNames(),
                       NANOGetString(*filter, TLMPBPropertyFilterSlot::property_name).value_or(""));
      NANOSetString(*filter, TLMPBPropertyFilterSlot::property_name, name);
      propertyFilters.emplace_back(
          audienceID, NANOGetInt32(*filter, TLMPBPropertyFilterSlot::filter_id), name,
          encode(*filter), NANOGetBool(*filter, TLMPBPropertyFilterSlot::session_scoped));
    }
  }
  if (!maybeDeleteStaleFilterResults(accepted)) return false;
  platform::Error error;
  if (!database_.deleteAllEventFilters(&error)) {
    log(1, 6010,
        "Unable to delete existing Audience event filters. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  if (!database_.deleteAllPropertyFilters(&error)) {
    log(1, 6011,
        "Unable to delete existing Audience user property filters. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  if (!eventFilters.empty() && !database_.updateEventFilters(eventFilters, &error)) {
    log(1, 6012, "Unable to save Audience event filters. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  if (!propertyFilters.empty() && !database_.updatePropertyFilters(propertyFilters, &error)) {
    log(1, 6013,
        "Unable to save Audience user property filters. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  return true;
}

bool TLMAudience::maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs) {
  if (pass_) pass_->results.clear();
  platform::Error error;
  auto results = database_.allFilterResults(&error);
  if (!results) {
    log(1, 6015, "Unable to query Audience filter results. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  const std::int64_t maximum = settings_->maxFilterResultCount();
  if (static_cast<std::int64_t>(results->size()) <= maximum) return true;
  log(3, 6016,
      "Too many Audience filter results. Deleting filter results for deleted Audiences. Filter result count, max filter result count",
      Value(static_cast<std::int64_t>(results->size())), Value(maximum));
  auto stored = database_.allAudienceIDs(&error);
  if (!stored) {
    log(1, 6017, "Unable to query current Audience IDs. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  const std::set<std::int32_t> storedIDs(stored->begin(), stored->end());
  std::vector<TLMFilterResult> stale;
  for (const auto& [audienceID, result] : *results) {
    if (storedIDs.count(audienceID) == 0 && acceptedAudienceIDs.count(audienceID) == 0) {
      stale.push_back(result);
    }
  }
  if (!stale.empty() && !database_.deleteFilterResults(stale, &error)) {
    log(1, 6018,
        "Unable to delete stale Audience filter results. Audiences will not be saved. Error",
        errorValue(error));
    return false;
  }
  return true;
}

// MARK: - Evaluation

bool TLMAudience::evaluateFiltersForEvent(const TLMEventPtr& event,
                                          const TLMEventAggregates& eventAggregates,
                                          TLMSequenceTimestampsCaches& caches) {
  if (!event) return true;
  const TLMValue* eventID = event->parameters().find("_eid");
  if (eventID == nullptr) {
    return evaluateFiltersForEventName(event->name(), event->parameters(), &eventAggregates,
                                       event->timestamp(), caches);
  }
  const std::int64_t id = eventID->int64Value();
  platform::Error error;
  auto pair = database_.mainEventAndChildCountPairWithEventID(id, &error);
  // A stored pair that cannot be read must not hold up every later bundle: a main event
  // replaces it, a child skips it and removes it. A store that cannot be used at all fails
  // below at the write or the delete.
  const bool unreadable = !pair && failed(error);
  if (unreadable) {
    log(1, 6026,
        "Cannot query for the main event for complex event's audience evaluation. Event name, error",
        Value(event->name()), errorValue(error));
    error = {};
  }
  if (event->name() != "_ep") {
    if (pair) {
      log(4, 6033, "Found complex events that share the same event ID. Event name, event ID",
          Value(event->name()), Value(id));
    }
    const TLMValue* childCount = event->parameters().find("_epc");
    if (!database_.updateComplexEventForAudienceEvaluationWithEventID(
            id, childCount ? childCount->int64Value() : 0, event, &error)) {
      log(1, 6024,
          "Cannot insert main event data for complex event's audience evaluation. Event name, error",
          Value(event->name()), errorValue(error));
      return false;
    }
    return evaluateFiltersForEventName(event->name(), event->parameters(), &eventAggregates,
                                       event->timestamp(), caches);
  }
  const TLMValue* mainNameValue = event->parameters().find("_en");
  const std::string mainName =
      mainNameValue && mainNameValue->stringPtr() ? *mainNameValue->stringPtr() : std::string();
  if (mainName.empty()) {
    log(1, 6025, "Extra parameter event doesn't have the main event name.");
    return false;
  }
  if (!pair) {
    if (!unreadable) {
      log(4, 6031,
          "Cannot evaluate the audience for an extra parameter event. Complex event's main event pair doesn't exist in the database.");
    }
    if (!database_.deleteComplexEventForAudienceEvaluationWithEventID(id, &error)) {
      log(1, 6032, "Cannot delete complex event's main event from the database. Event name, error",
          Value(mainName), errorValue(error));
      return false;
    }
    return true;
  }
  const TLMEventPtr& mainEvent = pair->first;
  if (!mainEvent) {
    log(1, 6027, "Complex event's main event is nil for audience evaluation. Event name",
        Value(mainName));
    return false;
  }
  TLMParameters parameters = mainEvent->parameters();
  for (const auto& [name, value] : event->parameters()) parameters.set(name, value);
  const std::int64_t remaining = pair->second;
  if (remaining < 2) {
    if (!database_.deleteComplexEventForAudienceEvaluationWithEventID(id, &error)) {
      log(1, 6029, "Cannot delete complex event's main event from the database. Event name, error",
          Value(mainName), errorValue(error));
      return false;
    }
  } else if (!database_.updateComplexEventForAudienceEvaluationWithEventID(id, remaining - 1,
                                                                           mainEvent, &error)) {
    log(1, 6030,
        "Cannot update the remaining children to process of a complex event. Event name, error",
        Value(mainName), errorValue(error));
    return false;
  }
  auto aggregates = database_.eventAggregatesWithName(mainName, &error);
  if (!aggregates && failed(error)) {
    log(1, 6034, "Failed to query event aggregates. Name, error", Value(mainName),
        errorValue(error));
    return false;
  }
  return evaluateFiltersForEventName(mainName, parameters, aggregates ? &*aggregates : nullptr,
                                     event->timestamp(), caches);
}

namespace {

// The audience's current record for one filter: as this call has it, as the bundling pass has
// it, or read now. False on a store failure.
bool currentResult(TLMDatabase& database, TLMAudiencePass* pass, AudienceState& state,
                   std::int32_t audienceID, KnownResult& out, platform::Error& error) {
  if (state.current) {
    out = state.current;
    return true;
  }
  if (pass != nullptr) {
    if (auto found = pass->results.find(audienceID); found != pass->results.end()) {
      out = state.current = found->second;
      return true;
    }
  }
  platform::Error readError;
  auto record = database.filterResultForAudienceID(audienceID, &readError);
  if (!record && failed(readError)) {
    error = readError;
    return false;
  }
  out = state.current = knownResult(std::move(record));
  if (pass != nullptr) pass->results[audienceID] = out;
  return true;
}

// The new record of one filter with the dynamic and sequence lists of its audience.
TLMFilterResult recordWithTimestamps(AudienceState& state, TLMSequenceTimestampsCaches& caches,
                                     std::int32_t filterID, std::int32_t audienceID,
                                     const std::optional<TLMFilterResult>& current, bool outcome) {
  std::optional<std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>>> sequence;
  if (auto cache = caches.find(audienceID); cache != caches.end() && cache->second) {
    sequence = cache->second->sequenceFilterResultTimestamps();
  }
  return TLMAudience::updatedFilterResultWithFilterID(
      filterID, audienceID, current, outcome,
      TLMConvertDictionaryToDynamicFilterResultTimestamps(state.dynamicTimes),
      sequence);
}

TLMSequenceTimestampsCache& cacheFor(TLMSequenceTimestampsCaches& caches, std::int32_t audienceID) {
  auto& cache = caches[audienceID];
  if (!cache) cache = std::make_shared<TLMSequenceTimestampsCache>(audienceID);
  return *cache;
}

// On first use of an audience: its dynamic times, and its sequence cache when the bundle has none.
void seedAudience(AudienceState& state, TLMSequenceTimestampsCaches& caches,
                  std::int32_t audienceID, const TLMAudienceKnownResult& current,
                  bool sequenceEnabled) {
  if (state.seeded) return;
  state.seeded = true;
  state.dynamicTimes = current.dynamicTimes;
  if (sequenceEnabled && caches.count(audienceID) == 0) {
    caches[audienceID] =
        TLMConvertSequenceFilterResultTimestampsToDictionary(current.data.get(), audienceID);
  }
}

// Whether the filter's new record would be its audience's current one byte for byte, known
// without building it: the filter's bits already say `outcome`, and the record carries no time
// lists that rebuilding would rewrite.
bool recordUnchanged(const AudienceState& state, const TLMSequenceTimestampsCaches& caches,
                     std::int32_t filterID, std::int32_t audienceID,
                     const TLMAudienceKnownResult& current, bool outcome, bool dynamicEnabled) {
  if (!current.data || filterID < 0 || !current.dynamicTimes.empty() || current.hasSequenceEntries) {
    return false;
  }
  const std::size_t word = static_cast<std::size_t>(filterID) / 64;
  const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
  if (word >= current.status.size() || word >= current.results.size() ||
      (current.status[word] & bit) == 0 || ((current.results[word] & bit) != 0) != outcome) {
    return false;
  }
  if (!dynamicEnabled) return true;
  if (state.seeded && !state.dynamicTimes.empty()) return false;
  auto cache = caches.find(audienceID);
  return cache == caches.end() || !cache->second ||
         cache->second->allSequenceTimestampsByFilterID().empty();
}

// The changed records, in ascending audience order.
std::vector<TLMFilterResult> updatedList(const std::vector<AudienceState>& audiences) {
  std::vector<TLMFilterResult> out;
  for (const AudienceState& state : audiences) {
    if (state.changed && state.current->record) out.push_back(*state.current->record);
  }
  return out;
}

// What differs between event filters and property filters in one evaluation pass.
template <class Message>
struct FilterRules {
  std::int64_t readErrorCode;
  const char* readErrorText;
  std::int64_t noDataCode;  // dynamic filters off
  const char* noDataText;
  std::int64_t corruptDataCode;  // dynamic filters on
  const char* corruptDataText;
  std::int64_t saveErrorCode;
  const char* saveErrorText;
  std::function<std::optional<bool>(const Message&)> evaluate;
  // A sequence filter that is true records `time` in its audience's cache.
  std::function<void(TLMSequenceTimestampsCache&, std::int32_t filterID)> recordSequence;
  // What a filter that evaluates false keeps, given whether it was true before.
  std::function<bool(bool wasTrue, bool dynamic, bool scoped)> falseOutcome;
};

// Runs the stored filters of one name, updating each audience's record; every changed record
// is written with one store call at the end. Each filter is prepared on first use and kept with
// `filters` for later calls.
template <class Message, class Stored>
bool evaluateStoredFilters(TLMDatabase& database, TLMAudiencePass* pass,
                           const TLMAudienceSettings& settings,
                           TLMAudiencePass::Filters<Stored, Message>& filters,
                           const std::string& name, double time,
                           TLMSequenceTimestampsCaches& caches, const FilterRules<Message>& rules) {
  const bool dynamicEnabled = settings.isAudienceDynamicFiltersEnabled();
  const bool sequenceEnabled = settings.isAudienceSequenceFiltersEnabled();
  const bool scopedEnabled = settings.isAudienceScopedFiltersEnabled();
  std::vector<AudienceState> audiences(filters.audienceIDs.size());
  platform::Error error;
  for (std::size_t index = 0; index < filters.stored.size(); ++index) {
    const Stored& stored = filters.stored[index];
    const std::int32_t audienceID = stored.audienceID();
    const std::int32_t filterID = stored.filterID();
    AudienceState& state = audiences[filters.audienceIndex[index]];
    KnownResult current;
    if (!currentResult(database, pass, state, audienceID, current, error)) {
      log(1, rules.readErrorCode, rules.readErrorText, Value(name), errorValue(error));
      return false;
    }
    if (dynamicEnabled) seedAudience(state, caches, audienceID, *current, sequenceEnabled);
    const bool wasTrue = isTrueIn(*current, filterID);
    if (!dynamicEnabled && wasTrue) continue;
    if (!filters.tried[index]) {
      filters.decoded[index] = prepareStored(stored);
      filters.tried[index] = true;
    }
    const std::shared_ptr<const Message>& filter = filters.decoded[index];
    if (!filter) {
      if (dynamicEnabled) {
        log(1, rules.corruptDataCode, rules.corruptDataText, Value(name), Value(filterID),
            Value(audienceID));
      } else {
        log(1, rules.noDataCode, rules.noDataText, Value(name), Value(filterID), Value(audienceID));
      }
      continue;
    }
    std::optional<TLMFilterResult> updated;
    if (!dynamicEnabled) {
      auto outcome = rules.evaluate(*filter);
      if (!outcome) continue;
      if (recordUnchanged(state, caches, filterID, audienceID, *current, *outcome, false)) continue;
      updated = TLMAudience::updatedFilterResultWithFilterID(filterID, audienceID, current->record,
                                                             outcome, std::nullopt, std::nullopt);
    } else {
      const bool dynamic = filter->dynamic;
      const bool sequence = filter->sequence;
      const bool scoped = scopedEnabled && stored.isSessionScoped();
      if (wasTrue && !dynamic && !sequence && !scoped) continue;
      auto outcome = rules.evaluate(*filter);
      if (!outcome) continue;
      bool result = *outcome;
      bool timesChanged = false;
      if (result) {
        if (sequence) {
          rules.recordSequence(cacheFor(caches, audienceID), filterID);
          timesChanged = true;
        } else if (dynamic || scoped) {
          TLMKeepLatestDynamicFilterEvaluationTimestamp(state.dynamicTimes, filterID, time);
          timesChanged = true;
        }
      } else {
        result = rules.falseOutcome(wasTrue, dynamic, scoped);
      }
      if (!timesChanged && recordUnchanged(state, caches, filterID, audienceID, *current, result, true)) {
        continue;
      }
      updated = recordWithTimestamps(state, caches, filterID, audienceID, current->record, result);
    }
    // A record that comes out as it was needs no write.
    if (current->record && updated->currentResults() == current->record->currentResults()) continue;
    state.current = knownResult(std::move(updated));
    state.changed = true;
  }
  std::vector<TLMFilterResult> updatedRecords = updatedList(audiences);
  if (updatedRecords.empty()) return true;
  if (!database.updateFilterResults(updatedRecords, &error)) {
    log(1, rules.saveErrorCode, rules.saveErrorText, Value(name), errorValue(error));
    if (pass != nullptr) pass->results.clear();
    return false;
  }
  if (pass != nullptr) {
    for (std::size_t i = 0; i < audiences.size(); ++i) {
      if (audiences[i].changed) pass->results[filters.audienceIDs[i]] = audiences[i].current;
    }
  }
  return true;
}

// The stored filters of one name: from the bundling pass when there is one (read once per
// pass), else from the store. Null on a store failure.
template <class Stored, class Message>
TLMAudiencePass::Filters<Stored, Message>* filtersOfName(
    std::map<std::string, TLMAudiencePass::Filters<Stored, Message>>* passFilters,
    TLMAudiencePass::Filters<Stored, Message>& ownFilters, const std::string& name,
    const std::function<std::optional<std::vector<Stored>>(platform::Error*)>& read,
    platform::Error& error) {
  if (passFilters != nullptr) {
    if (auto found = passFilters->find(name); found != passFilters->end()) return &found->second;
  }
  auto stored = read(&error);
  if (!stored) return nullptr;
  TLMAudiencePass::Filters<Stored, Message>& filters =
      passFilters != nullptr ? (*passFilters)[name] : ownFilters;
  filters.stored = std::move(*stored);
  filters.decoded.assign(filters.stored.size(), nullptr);
  filters.tried.assign(filters.stored.size(), false);
  filters.audienceIDs.clear();
  for (const Stored& filter : filters.stored) filters.audienceIDs.push_back(filter.audienceID());
  std::sort(filters.audienceIDs.begin(), filters.audienceIDs.end());
  filters.audienceIDs.erase(std::unique(filters.audienceIDs.begin(), filters.audienceIDs.end()),
                            filters.audienceIDs.end());
  filters.audienceIndex.clear();
  for (const Stored& filter : filters.stored) {
    filters.audienceIndex.push_back(static_cast<std::size_t>(
        std::lower_bound(filters.audienceIDs.begin(), filters.audienceIDs.end(),
                         filter.audienceID()) -
        filters.audienceIDs.begin()));
  }
  return &filters;
}

}  // namespace

bool TLMAudience::evaluateFiltersForEventName(const std::string& name,
                                              const TLMParameters& parameters,
                                              const TLMEventAggregates* eventAggregates,
                                              double eventTimestamp,
                                              TLMSequenceTimestampsCaches& caches) {
  platform::Error error;
  TLMAudiencePass::Filters<TLMEventFilter, TLMAudiencePreparedEventFilter> own;
  auto* filters = filtersOfName<TLMEventFilter, TLMAudiencePreparedEventFilter>(
      pass_ ? &pass_->eventFilters : nullptr, own, name,
      [&](platform::Error* e) { return database_.eventFiltersForEventName(name, e); }, error);
  if (filters == nullptr) {
    log(1, 6000,
        "Unable to query event filters for event. Event will not be evaluated. Event name, error",
        Value(name), errorValue(error));
    return false;
  }
  const bool sessionAggregates = settings_->isSessionScopedEventAggregatesEnabled();
  FilterRules<TLMAudiencePreparedEventFilter> rules{
      6001,
      "Unable to query filter result for audience. Event will not be evaluated. Event name, error",
      6002,
      "Event filter contains no data. Event will not be evaluated. Event name, filter ID, audience ID",
      6035,
      "Event filter contains no data or corrupt data. Event will not be evaluated. Event name, filter ID, audience ID, dynamic",
      6003,
      "Unable to save updated Audience filter results. Event will not be evaluated. Event name, error",
      [&](const TLMAudiencePreparedEventFilter& filter) {
        return TLMAudienceEvaluatePreparedEventFilter(filter, name, parameters, eventAggregates,
                                                      sessionAggregates);
      },
      [&](TLMSequenceTimestampsCache& cache, std::int32_t filterID) {
        cache.addEventFilterTimestamp(eventTimestamp, filterID);
      },
      // An event filter that was true stays true.
      [](bool wasTrue, bool, bool) { return wasTrue; }};
  return evaluateStoredFilters(database_, pass_.get(), *settings_, *filters, name, eventTimestamp,
                               caches, rules);
}

bool TLMAudience::evaluateFiltersForNanoUserProperty(const TLMPBUserAttribute& property,
                                                     TLMSequenceTimestampsCaches& caches,
                                                     std::optional<double> evaluationTime) {
  const std::string name = NANOGetString(property, TLMPBUserAttributeSlot::name).value_or("");
  std::optional<TLMValue> value;
  if (NANOHasField(property, TLMPBUserAttributeSlot::string_value)) {
    if (auto text = NANOGetString(property, TLMPBUserAttributeSlot::string_value))
      value = TLMValue(*text);
  } else if (NANOHasField(property, TLMPBUserAttributeSlot::double_value)) {
    value = TLMValue(NANOGetDouble(property, TLMPBUserAttributeSlot::double_value));
  } else if (NANOHasField(property, TLMPBUserAttributeSlot::int_value)) {
    value = TLMValue(NANOGetInt64(property, TLMPBUserAttributeSlot::int_value));
  }
  const double lastSet =
      static_cast<double>(NANOGetInt64(property, TLMPBUserAttributeSlot::set_timestamp_millis)) /
      1000.0;
  std::optional<TLMUserAttribute> attribute;
  if (value) attribute = TLMUserAttribute::initWithOrigin("", name, *value, lastSet);
  if (!attribute) {
    log(1, 6039, "Could not convert user property from nano format.");
    return false;
  }
  return evaluateFiltersForUserProperty(*attribute, &caches, evaluationTime.value_or(lastSet));
}

bool TLMAudience::evaluateFiltersForUserProperty(const TLMUserAttribute& property) {
  return evaluateFiltersForUserProperty(property, nullptr, property.lastSetTimestamp());
}

bool TLMAudience::evaluateFiltersForUserProperty(const TLMUserAttribute& property,
                                                 TLMSequenceTimestampsCaches* givenCaches,
                                                 double evaluationTimestamp) {
  TLMSequenceTimestampsCaches ownCaches;
  TLMSequenceTimestampsCaches& caches = givenCaches ? *givenCaches : ownCaches;
  const std::string& name = property.name();
  platform::Error error;
  TLMAudiencePass::Filters<TLMPropertyFilter, TLMAudiencePreparedPropertyFilter> own;
  auto* filters = filtersOfName<TLMPropertyFilter, TLMAudiencePreparedPropertyFilter>(
      pass_ ? &pass_->propertyFilters : nullptr, own, name,
      [&](platform::Error* e) { return database_.propertyFiltersForPropertyName(name, e); }, error);
  if (filters == nullptr) {
    log(1, 6004,
        "Unable to query property filters for property. Property will not be evaluated. Property name, error",
        Value(name), errorValue(error));
    return false;
  }
  FilterRules<TLMAudiencePreparedPropertyFilter> rules{
      6005,
      "Unable to query filter result for audience. Property will not be evaluated. Property name, error",
      6006,
      "User property filter contains no data. User property will not be evaluated. User property name, filter ID, audience ID",
      6036,
      "User property filter contains no data or corrupt data. User property will not be evaluated. User property name, filter ID, audience ID, dynamic",
      6007,
      "Unable to save updated Audience filter results. User property will not be evaluated. User property name, error",
      [&](const TLMAudiencePreparedPropertyFilter& filter) {
        return TLMAudienceEvaluatePreparedPropertyFilter(filter, &property);
      },
      [&](TLMSequenceTimestampsCache& cache, std::int32_t filterID) {
        cache.setUserPropertyTimestamp(evaluationTimestamp, filterID);
      },
      // A dynamic property filter follows the property's value; others stay true once true.
      [](bool wasTrue, bool dynamic, bool scoped) { return wasTrue && !(dynamic && !scoped); }};
  return evaluateStoredFilters(database_, pass_.get(), *settings_, *filters, name,
                               evaluationTimestamp, caches, rules);
}

// MARK: - Bundling and sessions

std::optional<std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>>
TLMAudience::resultsForBundling() {
  // Every record is rewritten here; a later evaluation of the pass reads them again.
  if (pass_) pass_->results.clear();
  platform::Error error;
  auto results = database_.allFilterResults(&error);
  if (!results) {
    log(1, 6019,
        "Unable to query Audience filter results. Audience results will not be bundled. Error",
        errorValue(error));
    return std::nullopt;
  }
  const bool sequenceEnabled = settings_->isAudienceSequenceFiltersEnabled();
  std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>> entries;
  std::vector<TLMFilterResult> records;
  for (const auto& [audienceID, result] : *results) {
    auto current = currentData(result);
    if (!current) {
      log(1, 6020, "Current result data is nil. Audience result will not be bundled. Audience ID",
          Value(audienceID));
      continue;
    }
    if (!TLMIsAudienceEvaluated(
            NANOGetArray(*current, TLMPBResultDataSlot::status).value_or(platform::Array{}))) {
      log(1, 6021, "Current result status is 0. Audience result will not be bundled. Audience ID",
          Value(audienceID));
      continue;
    }
    auto entry = TLMPBAudienceLeafFilterResult::initWithMessageInfo(nullptr);
    NANOSetInt32(*entry, TLMPBAudienceLeafFilterResultSlot::audience_id, audienceID);
    const auto& previousBytes = result.previousResults();
    if (previousBytes && !previousBytes->empty()) {
      NANOSetBool(*entry, TLMPBAudienceLeafFilterResultSlot::new_audience, false);
      auto previous = TLMPBResultData::initWithBuffer(*previousBytes);
      if (previous && encode(*previous) == encode(*current)) {
        auto sequences = messages<TLMPBSequenceFilterResultTimestamp>(
            *current, TLMPBResultDataSlot::sequence_filter_timestamps);
        if (sequenceEnabled && !sequences.empty()) {
          auto times = NANOGetArray(*sequences.front(),
                                    TLMPBSequenceFilterResultTimestampSlot::eval_timestamps)
                           .value_or(platform::Array{});
          if (times.size() >= 2) {
            NANOSetArray(*sequences.front(),
                         TLMPBSequenceFilterResultTimestampSlot::eval_timestamps,
                         platform::Array{times.back()});
            NANOSetArray(*current, TLMPBResultDataSlot::sequence_filter_timestamps, sequences);
          }
        }
      } else if (previous) {
        NANOSetMessage(*entry, TLMPBAudienceLeafFilterResultSlot::previous_data, previous);
      }
    } else {
      NANOSetBool(*entry, TLMPBAudienceLeafFilterResultSlot::new_audience, true);
    }
    NANOSetMessage(*entry, TLMPBAudienceLeafFilterResultSlot::current_data, current);
    entries.push_back(std::move(entry));
    records.emplace_back(audienceID, encode(*current), result.currentResults());
  }
  if (!records.empty() && !database_.updateFilterResults(records, &error)) {
    log(1, 6022,
        "Unable to save updated Audience filter results. Audience results will not be bundled. Error",
        errorValue(error));
    return std::nullopt;
  }
  return entries;
}

bool TLMAudience::clearEvaluationResultsForSessionScopedFilters() {
  if (pass_) pass_->results.clear();
  platform::Error error;
  auto scoped = database_.allSessionScopedFilters(&error);
  if (!scoped) {
    log(1, 6040,
        "Unable to query all session scoped filters. Session scoped results will not be cleared. Error",
        errorValue(error));
    return false;
  }
  auto results = database_.allFilterResults(&error);
  if (!results) {
    log(1, 6041,
        "Unable to query all filter results. Session scoped results will not be cleared. Error",
        errorValue(error));
    return false;
  }
  std::vector<TLMFilterResult> deleted;
  std::vector<TLMFilterResult> updated;
  for (const auto& [audienceID, filterIDs] : *scoped) {
    auto found = results->find(audienceID);
    if (found == results->end()) continue;
    const TLMFilterResult& result = found->second;
    auto data = currentData(result);
    if (!data) continue;
    auto status = words(*data, TLMPBResultDataSlot::status);
    auto resultWords = words(*data, TLMPBResultDataSlot::results);
    const std::set<std::int32_t> cleared(filterIDs.begin(), filterIDs.end());
    for (std::int32_t filterID : cleared) {
      if (filterID < 0) continue;
      const std::size_t word = static_cast<std::size_t>(filterID) / 64;
      const std::uint64_t bit = std::uint64_t{1} << (filterID % 64);
      if (word < status.size()) status[word] &= ~bit;
      if (word < resultWords.size()) resultWords[word] &= ~bit;
    }
    if (std::none_of(status.begin(), status.end(), [](std::uint64_t w) { return w != 0; })) {
      deleted.push_back(result);
      continue;
    }
    NANOSetArray(*data, TLMPBResultDataSlot::status, wordArray(status));
    NANOSetArray(*data, TLMPBResultDataSlot::results, wordArray(resultWords));
    auto dynamic = messages<TLMPBDynamicFilterResultTimestamp>(
        *data, TLMPBResultDataSlot::dynamic_filter_timestamps);
    std::erase_if(dynamic, [&](const auto& entry) {
      return cleared.count(
                 NANOGetInt32(*entry, TLMPBDynamicFilterResultTimestampSlot::filter_id)) != 0;
    });
    NANOSetArray(*data, TLMPBResultDataSlot::dynamic_filter_timestamps, dynamic);
    auto sequence = messages<TLMPBSequenceFilterResultTimestamp>(
        *data, TLMPBResultDataSlot::sequence_filter_timestamps);
    std::erase_if(sequence, [&](const auto& entry) {
      return cleared.count(
                 NANOGetInt32(*entry, TLMPBSequenceFilterResultTimestampSlot::filter_id)) != 0;
    });
    NANOSetArray(*data, TLMPBResultDataSlot::sequence_filter_timestamps, sequence);
    updated.emplace_back(audienceID, encode(*data), result.currentResults());
  }
  if (!deleted.empty() && !database_.deleteFilterResults(deleted, &error)) {
    log(1, 6042,
        "Unable to delete filter results. Session scoped results will not be cleared. Error",
        errorValue(error));
    return false;
  }
  if (!updated.empty() && !database_.updateFilterResults(updated, &error)) {
    log(1, 6043,
        "Unable to update filter results. Session scoped results will not be cleared. Error",
        errorValue(error));
    return false;
  }
  return true;
}
