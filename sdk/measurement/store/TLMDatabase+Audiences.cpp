// Audience filters and results, conditional user properties, purchase fingerprints, complex
// events under audience evaluation, and the stored remote configuration.
#include <algorithm>
#include <set>

#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using platform::Error;
using platform::Value;

namespace {

std::optional<platform::Bytes> bytesOf(const Value& value) {
  const platform::Bytes* bytes = value.dataPtr();
  if (bytes == nullptr) return std::nullopt;
  return *bytes;
}

bool sessionScopedOf(const TLMRecord& row) {
  const Value& flag = row.get("session_scoped");
  return flag.isNumber() && flag.int64Value().value_or(0) != 0;
}

// The encoded "Event" message of an event, as the event columns hold it; empty when it cannot be
// encoded.
std::optional<platform::Bytes> TLMNSDataFromEvent(const TLMEvent& event) {
  auto proto = event.protoEvent();
  if (!proto) return std::nullopt;
  auto bytes = proto->protoBuffer();
  if (!bytes) return std::nullopt;
  return platform::Bytes(bytes->begin(), bytes->end());
}

// The event stored in an event column; null with a code-2 error when the value is not bytes,
// does not decode, or gives no event.
TLMEventPtr TLMEventFromNSData(const Value& data, Error* error) {
  const platform::Bytes* bytes = data.dataPtr();
  if (bytes == nullptr) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Failed to convert data to an event. Data must be a NSData instance");
    return nullptr;
  }
  auto proto = TLMPBEvent::initWithBuffer(bytes->data(), bytes->size());
  if (!proto) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to parse event from data");
    return nullptr;
  }
  TLMEventPtr event = TLMEvent::initWithEventProto(*proto);
  if (!event) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to initialize event from proto data");
  }
  return event;
}

}  // namespace

// MARK: - Filter results

std::optional<std::map<std::int32_t, TLMFilterResult>> TLMDatabase::allFilterResults(Error* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT rowid, * FROM audience_filter_values", {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, TLMFilterResult> results;
  for (const auto& row : *rows) {
    if (row.empty()) {
      log(4, 12033, "Received empty dictionary for getting filter result");
      continue;
    }
    auto audienceID = static_cast<std::int32_t>(row.get("audience_id").int64Value().value_or(0));
    results.insert_or_assign(audienceID,
                             TLMFilterResult(audienceID, bytesOf(row.get("current_results")),
                                             bytesOf(row.get("previous_results"))));
  }
  return results;
}

std::optional<std::vector<std::int32_t>> TLMDatabase::allAudienceIDs(Error* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT audience_id FROM event_filters UNION SELECT audience_id FROM property_filters", {},
      error);
  if (!rows) return std::nullopt;
  std::vector<std::int32_t> ids;
  for (const auto& row : *rows) {
    const Value& id = row.get("audience_id");
    if (!id.isNumber()) {
      TLMStoreSetError(error, TLMStoreErrorBadArgument,
                       "Received nil audience ID for querying all audience IDs");
      return std::nullopt;
    }
    ids.push_back(static_cast<std::int32_t>(*id.int64Value()));
  }
  return ids;
}

std::optional<std::vector<TLMEventFilter>> TLMDatabase::eventFiltersForEventName(
    const std::string& eventName, Error* error) {
  if (eventName.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty event name for getting event filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<TLMEventFilter>(
      kTLMEventFiltersTable, "event_name", Value(eventName), error,
      [this](const TLMRecord& row) -> std::optional<TLMEventFilter> {
        if (row.empty()) {
          log(4, 12025, "Received empty dictionary for getting event filter");
          return std::nullopt;
        }
        const std::string* name = row.get("event_name").stringPtr();
        return TLMEventFilter(static_cast<std::int32_t>(row.get("audience_id").int64Value().value_or(0)),
                              static_cast<std::int32_t>(row.get("filter_id").int64Value().value_or(0)),
                              name != nullptr ? *name : std::string(),
                              bytesOf(row.get("data")).value_or(platform::Bytes()),
                              sessionScopedOf(row));
      });
}

std::optional<std::vector<TLMPropertyFilter>> TLMDatabase::propertyFiltersForPropertyName(
    const std::string& propertyName, Error* error) {
  if (propertyName.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty property name for getting property filters");
    return std::nullopt;
  }
  return dataTypesFromTableWithName<TLMPropertyFilter>(
      kTLMPropertyFiltersTable, "property_name", Value(propertyName), error,
      [this](const TLMRecord& row) -> std::optional<TLMPropertyFilter> {
        if (row.empty()) {
          log(4, 12029, "Received empty dictionary for getting property filter");
          return std::nullopt;
        }
        const std::string* name = row.get("property_name").stringPtr();
        return TLMPropertyFilter(
            static_cast<std::int32_t>(row.get("audience_id").int64Value().value_or(0)),
            static_cast<std::int32_t>(row.get("filter_id").int64Value().value_or(0)),
            name != nullptr ? *name : std::string(),
            bytesOf(row.get("data")).value_or(platform::Bytes()), sessionScopedOf(row));
      });
}

std::optional<TLMFilterResult> TLMDatabase::filterResultForAudienceID(std::int32_t audienceID,
                                                                      Error* error) {
  auto results = dataTypesFromTableWithName<TLMFilterResult>(
      kTLMAudienceFilterValuesTable, "audience_id", Value(audienceID), error,
      [this](const TLMRecord& row) -> std::optional<TLMFilterResult> {
        if (row.empty()) {
          log(4, 12033, "Received empty dictionary for getting filter result");
          return std::nullopt;
        }
        return TLMFilterResult(
            static_cast<std::int32_t>(row.get("audience_id").int64Value().value_or(0)),
            bytesOf(row.get("current_results")), bytesOf(row.get("previous_results")));
      });
  if (!results || results->empty()) return std::nullopt;
  return results->front();
}

namespace {

// Terms per delete statement: SQLite refuses an expression tree deeper than 1000, and an "OR"
// chain grows one level per term.
constexpr std::size_t kDeleteTermsPerStatement = 200;

// Deletes the rows matching any of `terms` ("term OR term ..."), a bounded number per statement.
// Inside the caller's transaction the chunks stand or fall together.
bool deleteMatchingAny(TLMSqliteStore& store, const std::string& table,
                       const std::vector<std::string>& terms, const std::string& separator,
                       const std::string& prefix, const std::string& suffix, Error* error) {
  for (std::size_t start = 0; start < terms.size(); start += kDeleteTermsPerStatement) {
    const std::size_t end = std::min(terms.size(), start + kDeleteTermsPerStatement);
    std::string condition = prefix;
    for (std::size_t i = start; i < end; ++i) {
      if (i > start) condition += separator;
      condition += terms[i];
    }
    condition += suffix;
    if (!store.deleteRecordsFromTableWithName(table, condition, {}, error)) return false;
  }
  return true;
}

template <typename Filter>
std::vector<std::string> filterKeyTerms(const std::vector<Filter>& filters) {
  std::vector<std::string> terms;
  terms.reserve(filters.size());
  for (const auto& f : filters) {
    terms.push_back("(audience_id=" + std::to_string(f.audienceID()) +
                    " AND filter_id=" + std::to_string(f.filterID()) + ")");
  }
  return terms;
}

}  // namespace

bool TLMDatabase::deleteFilterResults(const std::vector<TLMFilterResult>& results, Error* error) {
  if (results.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty filter results to delete");
  }
  std::set<std::int32_t> ids;
  for (const auto& result : results) ids.insert(result.audienceID());
  std::vector<std::string> terms;
  for (std::int32_t id : ids) terms.push_back(std::to_string(id));
  return deleteMatchingAny(*sqliteStore_, kTLMAudienceFilterValuesTable, terms, ",",
                           "audience_id IN (", ")", error);
}

std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> TLMDatabase::allSessionScopedFilters(
    Error* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT audience_id, filter_id FROM event_filters WHERE session_scoped = 1 UNION "
      "SELECT audience_id, filter_id FROM property_filters WHERE session_scoped = 1",
      {}, error);
  if (!rows) return std::nullopt;
  std::map<std::int32_t, std::vector<std::int32_t>> filters;
  for (const auto& row : *rows) {
    auto audience = static_cast<std::int32_t>(row.get("audience_id").int64Value().value_or(0));
    filters[audience].push_back(
        static_cast<std::int32_t>(row.get("filter_id").int64Value().value_or(0)));
  }
  return filters;
}

bool TLMDatabase::updateEventFilters(const std::vector<TLMEventFilter>& filters, Error* error) {
  if (filters.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty event filters to update");
  }
  for (const auto& filter : filters) {
    bool ok = insertDataType<TLMEventFilter>(
        filter, kTLMEventFiltersTable, error, [this](const TLMEventFilter& f) -> std::optional<TLMRecord> {
          if (f.eventName().empty()) {
            log(4, 12027,
                "Received event filter with empty event name for getting dictionary representation");
            return std::nullopt;
          }
          if (f.data().empty()) {
            log(4, 12028,
                "Received event filter with empty data for getting dictionary representation");
            return std::nullopt;
          }
          return TLMRecord{{"audience_id", Value(f.audienceID())},
                           {"filter_id", Value(f.filterID())},
                           {"event_name", Value(f.eventName())},
                           {"data", Value(f.data())},
                           {"session_scoped", Value(f.isSessionScoped() ? 1 : 0)}};
        });
    if (!ok) return false;
  }
  return true;
}

bool TLMDatabase::updatePropertyFilters(const std::vector<TLMPropertyFilter>& filters,
                                        Error* error) {
  if (filters.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty property filters to update");
  }
  for (const auto& filter : filters) {
    bool ok = insertDataType<TLMPropertyFilter>(
        filter, kTLMPropertyFiltersTable, error,
        [this](const TLMPropertyFilter& f) -> std::optional<TLMRecord> {
          if (f.propertyName().empty()) {
            log(4, 12031,
                "Received property filter with empty property name for getting dictionary "
                "representation");
            return std::nullopt;
          }
          if (f.data().empty()) {
            log(4, 12032,
                "Received property filter with empty data for getting dictionary representation");
            return std::nullopt;
          }
          return TLMRecord{{"audience_id", Value(f.audienceID())},
                           {"filter_id", Value(f.filterID())},
                           {"property_name", Value(f.propertyName())},
                           {"data", Value(f.data())},
                           {"session_scoped", Value(f.isSessionScoped() ? 1 : 0)}};
        });
    if (!ok) return false;
  }
  return true;
}

bool TLMDatabase::updateFilterResults(const std::vector<TLMFilterResult>& results, Error* error) {
  if (results.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty filter results to update");
  }
  for (const auto& result : results) {
    bool ok = insertDataType<TLMFilterResult>(
        result, kTLMAudienceFilterValuesTable, error,
        [this](const TLMFilterResult& r) -> std::optional<TLMRecord> {
          if (!r.currentResults() || r.currentResults()->empty()) {
            log(4, 12035,
                "Received filter result with empty data for getting dictionary representation");
            return std::nullopt;
          }
          TLMRecord record{{"audience_id", Value(r.audienceID())},
                           {"current_results", Value(*r.currentResults())}};
          if (r.previousResults() && !r.previousResults()->empty()) {
            record.set("previous_results", Value(*r.previousResults()));
          } else {
            record.set("previous_results", Value());
          }
          return record;
        });
    if (!ok) return false;
  }
  return true;
}

bool TLMDatabase::deleteEventFilters(const std::vector<TLMEventFilter>& filters, Error* error) {
  if (filters.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty event filters to delete");
  }
  return deleteMatchingAny(*sqliteStore_, kTLMEventFiltersTable, filterKeyTerms(filters), " OR ", "", "",
                           error);
}

bool TLMDatabase::deletePropertyFilters(const std::vector<TLMPropertyFilter>& filters,
                                        Error* error) {
  if (filters.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty property filters to delete");
  }
  return deleteMatchingAny(*sqliteStore_, kTLMPropertyFiltersTable, filterKeyTerms(filters), " OR ", "", "",
                           error);
}

bool TLMDatabase::deleteAllEventFilters(Error* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kTLMEventFiltersTable, error);
}

bool TLMDatabase::deleteAllPropertyFilters(Error* error) {
  return sqliteStore_->deleteAllRecordsFromTableWithName(kTLMPropertyFiltersTable, error);
}

// MARK: - Remote configuration

bool TLMDatabase::updateRemoteConfig(const TLMPBMeasurementConfig& config, Error* error) {
  auto bytes = config.protoBuffer();
  if (!bytes || bytes->empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Invalid measurement config data");
  }
  if (NANOGetString(config, TLMPBMeasurementConfigSlot::measurement_app_id).value_or("").empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Missing Ombrix app ID in measurement configuration");
  }
  TLMRecord record{{"remote_config_data", Value(platform::Bytes(bytes->begin(), bytes->end()))},
                   {"remote_config_timestamp", Value(settings_->now())}};
  return updateDataType<TLMRecord>(record, kTLMAppMetadataTable, "rowid", Value(1), error,
                                   [](const TLMRecord& r) { return std::optional<TLMRecord>(r); });
}

bool TLMDatabase::updateRemoteConfigSuccessfulTimestamp(double timestamp, Error* error) {
  TLMRecord record{{"remote_config_timestamp", Value(timestamp)}};
  return updateDataType<TLMRecord>(record, kTLMAppMetadataTable, "rowid", Value(1), error,
                                   [](const TLMRecord& r) { return std::optional<TLMRecord>(r); });
}

std::shared_ptr<TLMPBMeasurementConfig> TLMDatabase::queryMeasurementConfigWithError(Error* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT remote_config_data FROM app_metadata LIMIT 1",
                                            {}, error);
  if (!rows || rows->empty()) return nullptr;
  const platform::Bytes* data = rows->front().get("remote_config_data").dataPtr();
  if (data == nullptr || data->empty()) return nullptr;
  auto config = TLMPBMeasurementConfig::initWithBuffer(data->data(), data->size());
  if (!config) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Remote config data is corrupted");
  }
  return config;
}

std::optional<double> TLMDatabase::lastRemoteConfigUpdateTimestamp(Error* error) {
  auto number = sqliteStore_->numberForQuery(
      "SELECT remote_config_timestamp FROM app_metadata LIMIT 1", {}, error);
  if (!number || number->isNull()) return std::nullopt;
  return number->doubleValue();
}

// MARK: - Purchases

std::optional<bool> TLMDatabase::insertIfNotDuplicatePurchaseFingerprint(
    const std::string& fingerprint, Error* error) {
  if (fingerprint.empty()) return false;
  auto exists = booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM purchase_transactions WHERE fingerprint = ? LIMIT 1)",
      {Value(fingerprint)}, error);
  if (!exists) return std::nullopt;
  if (*exists) return false;
  if (!sqliteStore_->upsertRecord({{"fingerprint", Value(fingerprint)}},
                                  kTLMPurchaseTransactionsTable, error)) {
    return std::nullopt;
  }
  auto trimmed = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMPurchaseTransactionsTable,
      "rowid IN (SELECT rowid FROM purchase_transactions ORDER BY rowid DESC LIMIT -1 OFFSET ?)",
      {Value(kTLMDatabasePurchaseTransactionsMaxCount)}, error);
  if (!trimmed) return std::nullopt;
  return true;
}

// MARK: - Conditional user properties

std::optional<TLMRecord> TLMDatabase::rowFromConditionalUserProperty(
    const TLMConditionalUserProperty& p) {
  if (p.name.empty()) {
    log(1, 12040,
        "Received conditional user property with empty name for getting dictionary representation");
    return std::nullopt;
  }
  if (p.origin.empty()) {
    log(1, 12041,
        "Received conditional user property with empty origin for getting dictionary "
        "representation");
    return std::nullopt;
  }
  if (!p.value) {
    log(1, 12042,
        "Received conditional user property with nil value for getting dictionary representation");
    return std::nullopt;
  }
  TLMRecord record{{"name", Value(p.name)},
                   {"origin", Value(p.origin)},
                   {"value", TLMObjectFromValue(*p.value)},
                   {"creation_timestamp", Value(p.creationTimestamp)},
                   {"active", Value(p.active ? 1 : 0)},
                   {"trigger_timeout", Value(p.triggerTimeout)},
                   {"triggered_timestamp", Value(p.triggeredTimestamp)},
                   {"time_to_live", Value(p.timeToLive)}};
  if (!p.triggerEventName.empty()) record.set("trigger_event_name", Value(p.triggerEventName));
  const std::pair<const char*, const TLMEventPtr*> events[] = {
      {"triggered_event", &p.triggeredEvent},
      {"timed_out_event", &p.timedOutEvent},
      {"expired_event", &p.expiredEvent}};
  for (const auto& [column, event] : events) {
    if (!*event) continue;
    auto data = TLMNSDataFromEvent(**event);
    if (!data) return std::nullopt;
    record.set(column, Value(std::move(*data)));
  }
  return record;
}

std::optional<TLMConditionalUserProperty> TLMDatabase::conditionalUserPropertyFromRow(
    const TLMRecord& row) {
  TLMConditionalUserProperty p;
  const std::string* name = row.get("name").stringPtr();
  const std::string* origin = row.get("origin").stringPtr();
  if (name == nullptr || origin == nullptr) return std::nullopt;
  p.name = *name;
  p.origin = *origin;
  p.value = TLMValue::valueFromObject(TLMObject(row.get("value")));
  p.triggerTimeout = row.get("trigger_timeout").doubleValue().value_or(0);
  p.timeToLive = row.get("time_to_live").doubleValue().value_or(0);
  if (const std::string* trigger = row.get("trigger_event_name").stringPtr()) {
    p.triggerEventName = *trigger;
  }
  struct EventColumn {
    const char* column;
    TLMEventPtr* target;
    int code;
    const char* message;
  };
  const EventColumn columns[] = {
      {"triggered_event", &p.triggeredEvent, 12036,
       "Cannot create conditional user property from database. Triggered event data is invalid. "
       "Name, error"},
      {"timed_out_event", &p.timedOutEvent, 12037,
       "Cannot create conditional user property from database. Timed out event data is invalid. "
       "Name, error"},
      {"expired_event", &p.expiredEvent, 12038,
       "Cannot create conditional user property from database. Expired event data is invalid. "
       "Name, error"}};
  for (const auto& column : columns) {
    const Value& data = row.get(column.column);
    if (data.isNull()) continue;
    Error error;
    *column.target = TLMEventFromNSData(data, &error);
    if (!*column.target) {
      log(1, column.code, column.message, {Value(p.name), Value(error.fullDescription())});
      return std::nullopt;
    }
  }
  p.active = row.get("active").int64Value().value_or(0) != 0;
  p.creationTimestamp = row.get("creation_timestamp").doubleValue().value_or(0);
  p.triggeredTimestamp = row.get("triggered_timestamp").doubleValue().value_or(0);
  return p;
}

std::optional<TLMConditionalUserProperty> TLMDatabase::conditionalUserPropertyWithName(
    const std::string& name, Error* error) {
  auto properties = dataTypesFromTableWithName<TLMConditionalUserProperty>(
      kTLMConditionalPropertiesTable, "name", Value(name), error,
      [this](const TLMRecord& row) { return conditionalUserPropertyFromRow(row); });
  if (!properties || properties->empty()) return std::nullopt;
  return properties->front();
}

bool TLMDatabase::updateConditionalUserProperty(const TLMConditionalUserProperty& property,
                                                Error* error) {
  return upsertDataType<TLMConditionalUserProperty>(
      property, kTLMConditionalPropertiesTable, "name", Value(property.name),
      kTLMDatabaseConditionalUserPropertyMaxCount, error,
      [this](const TLMConditionalUserProperty& p) { return rowFromConditionalUserProperty(p); });
}

bool TLMDatabase::deleteConditionalUserPropertyWithName(const std::string& name, Error* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kTLMConditionalPropertiesTable, "name",
                                                     Value(name), error);
}

std::optional<std::vector<TLMConditionalUserProperty>>
TLMDatabase::timedOutConditionalUserPropertiesWithError(Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=0 and abs(? - creation_timestamp) > trigger_timeout", {Value(settings_->now())},
      error);
}

std::optional<std::vector<TLMConditionalUserProperty>>
TLMDatabase::expiredConditionalUserPropertiesWithError(Error* error) {
  return conditionalUserPropertiesWithCondition(
      "active=1 and abs(? - triggered_timestamp) > time_to_live", {Value(settings_->now())}, error);
}

std::optional<std::vector<TLMConditionalUserProperty>>
TLMDatabase::triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                             Error* error) {
  if (eventName.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received nil/empty event name for querying triggered conditional user "
                     "properties");
    return std::nullopt;
  }
  return conditionalUserPropertiesWithCondition(
      "active=0 and trigger_event_name=? and abs(? - creation_timestamp) <= trigger_timeout",
      {Value(eventName), Value(settings_->now())}, error);
}

std::optional<std::vector<TLMConditionalUserProperty>>
TLMDatabase::conditionalUserPropertiesWithPrefix(const std::string& prefix,
                                                 const std::string& filterByOrigin, Error* error) {
  std::string condition;
  platform::Array parameters;
  if (!filterByOrigin.empty()) {
    condition = "origin = ?";
    parameters.push_back(Value(filterByOrigin));
  }
  if (!prefix.empty()) {
    // Compared as text: "_" and "%" in the prefix are ordinary characters.
    if (!condition.empty()) condition += " AND ";
    condition += "substr(name, 1, length(?)) = ?";
    parameters.push_back(Value(prefix));
    parameters.push_back(Value(prefix));
  }
  if (condition.empty()) condition = "1 == 1";
  return conditionalUserPropertiesWithCondition(condition, parameters, error);
}

std::optional<std::vector<TLMConditionalUserProperty>>
TLMDatabase::conditionalUserPropertiesWithCondition(const std::string& condition,
                                                    const platform::Array& parameterValues,
                                                    Error* error) {
  if (condition.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty condition for querying a conditional user property");
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM conditional_properties WHERE " + condition, parameterValues, error);
  if (!rows) return std::nullopt;
  std::vector<TLMConditionalUserProperty> properties;
  for (const auto& row : *rows) {
    if (auto property = conditionalUserPropertyFromRow(row)) properties.push_back(std::move(*property));
  }
  return properties;
}

// MARK: - Complex events

std::optional<std::pair<TLMEventPtr, std::int64_t>> TLMDatabase::mainEventAndChildCountPairWithEventID(
    std::int64_t eventID, Error* error) {
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT * FROM main_event_params WHERE event_id=? LIMIT 1", {Value(eventID)}, error);
  if (!rows || rows->empty()) return std::nullopt;
  const TLMRecord& row = rows->front();
  TLMEventPtr event = TLMEventFromNSData(row.get("main_event"), nullptr);
  if (!event) {
    TLMStoreSetError(error, TLMStoreErrorSQLite, "Main event blob is nil in database");
    return std::nullopt;
  }
  const Value& children = row.get("children_to_process");
  if (!children.isNumber()) {
    TLMStoreSetError(error, TLMStoreErrorSQLite,
                     "Complex event does not have children count in database");
    return std::nullopt;
  }
  return std::make_pair(std::move(event), *children.int64Value());
}

bool TLMDatabase::updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     std::int64_t childEventCount,
                                                                     const TLMEventPtr& mainEvent,
                                                                     Error* error) {
  if (!mainEvent) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received nil main event");
  }
  auto data = TLMNSDataFromEvent(*mainEvent);
  if (!data || data->empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Cannot create the main event blob");
  }
  return sqliteStore_->upsertRecord({{"event_id", Value(eventID)},
                                     {"main_event", Value(std::move(*data))},
                                     {"children_to_process", Value(childEventCount)}},
                                    kTLMMainEventParamsTable, error);
}

bool TLMDatabase::deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                                     Error* error) {
  return sqliteStore_
      ->deleteRecordsFromTableWithName(kTLMMainEventParamsTable, "event_id=?", {Value(eventID)},
                                       error)
      .has_value();
}

platform::Dictionary TLMDatabase::TLMExperimentIDs() { return platform::Dictionary(); }
