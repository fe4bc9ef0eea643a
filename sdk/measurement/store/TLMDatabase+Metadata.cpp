// App metadata row, daily counters, per-event aggregates and user properties.
#include <cmath>

#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMObject.h"
#include "measurement/store/TLMDatabase.h"

using platform::Error;
using platform::Value;

namespace {

std::int64_t integerOr(const Value& value, std::int64_t fallback) {
  return value.isNumber() ? value.int64Value().value_or(fallback) : fallback;
}

double doubleOr(const Value& value, double fallback) {
  return value.isNumber() ? value.doubleValue().value_or(fallback) : fallback;
}

// The key of the one metadata row.
const Value& rowOne() {
  static const Value& one = *new Value(1);
  return one;
}

}  // namespace

Value TLMObjectFromValue(const TLMValue& value) {
  if (value.isString()) return Value(value.stringValue().value_or(""));
  if (value.isDouble()) return Value(value.doubleValue());
  return Value(value.int64Value());
}

std::optional<TLMAppMetadata> TLMDatabase::queryAppMetadata(Error* error) {
  auto rows = dataTypesFromTableWithName<TLMAppMetadata>(
      kTLMAppMetadataTable, "rowid", rowOne(), error,
      [this](const TLMRecord& row) -> std::optional<TLMAppMetadata> {
        if (row.empty()) {
          log(4, 12007, "Received empty dictionary for getting app metadata");
          return std::nullopt;
        }
        return TLMAppMetadata::initWithLastBundleIndex(
            static_cast<std::int32_t>(integerOr(row.get("last_bundle_index"), 0)),
            doubleOr(row.get("last_bundle_start_timestamp"), 0.0),
            doubleOr(row.get("last_bundle_end_timestamp"), 0.0));
      });
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

bool TLMDatabase::updateAppMetadata(const TLMAppMetadata& metadata, Error* error) {
  return updateDataType<TLMAppMetadata>(
      metadata, kTLMAppMetadataTable, "rowid", rowOne(), error,
      [](const TLMAppMetadata& m) -> std::optional<TLMRecord> {
        return TLMRecord{{"last_bundle_index", Value(m.lastBundleIndex())},
                         {"last_bundle_start_timestamp", Value(m.lastBundleStartTimestamp())},
                         {"last_bundle_end_timestamp", Value(m.lastBundleEndTimestamp())}};
      });
}

namespace {

bool isReportMarkColumn(const std::string& column) {
  return column == kTLMSearchAdCampaignReportedColumn || column == kTLMAppUpdateVersionColumn ||
         column == kTLMOSUpdateVersionColumn;
}

}  // namespace

std::optional<bool> TLMDatabase::containsReportMark(const TLMReportMark& mark, Error* error) {
  if (!isReportMarkColumn(mark.column)) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Unknown report mark " + mark.column);
    return std::nullopt;
  }
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM " + std::string(kTLMAppMetadataTable) +
                             " WHERE rowid = 1 AND " + mark.column + " = ?)",
                         {mark.value}, error);
}

bool TLMDatabase::setReportMark(const TLMReportMark& mark, Error* error) {
  if (!isReportMarkColumn(mark.column)) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Unknown report mark " + mark.column);
  }
  return updateDataType<int>(0, kTLMAppMetadataTable, "rowid", rowOne(), error, [&mark](int) {
    return std::optional<TLMRecord>(TLMRecord{{mark.column, mark.value}});
  });
}

std::optional<TLMDailyCounts> TLMDatabase::dailyCounts(Error* error) {
  const double now = settings_->now();
  const auto today =
      static_cast<std::int32_t>(std::floor((now - settings_->midnightOffset()) / 86400.0));
  auto rows = dataTypesFromTableWithName<TLMDailyCounts>(
      kTLMAppMetadataTable, "rowid", rowOne(), error,
      [this, today](const TLMRecord& row) -> std::optional<TLMDailyCounts> {
        if (row.empty()) {
          log(4, 12009, "Received empty dictionary for getting daily counts");
          return std::nullopt;
        }
        auto count = [&row](const char* column) {
          return static_cast<std::int32_t>(integerOr(row.get(column), 0));
        };
        return TLMDailyCounts(static_cast<std::int32_t>(integerOr(row.get("day"), today)),
                              count("daily_conversions_count"), count("daily_events_count"),
                              count("daily_public_events_count"), count("daily_error_events_count"),
                              count("daily_real_time_conversion_events_count"));
      });
  if (!rows) return std::nullopt;
  if (rows->empty()) return TLMDailyCounts(today, 0, 0, 0, 0, 0);
  return rows->front();
}

bool TLMDatabase::updateDailyCounts(const TLMDailyCounts& counts, Error* error) {
  return updateDataType<TLMDailyCounts>(
      counts, kTLMAppMetadataTable, "rowid", rowOne(), error,
      [](const TLMDailyCounts& c) -> std::optional<TLMRecord> {
        return TLMRecord{{"day", Value(c.day())},
                         {"daily_conversions_count", Value(c.conversionsCount())},
                         {"daily_events_count", Value(c.allEventsCount())},
                         {"daily_public_events_count", Value(c.publicEventsCount())},
                         {"daily_error_events_count", Value(c.errorEventsCount())},
                         {"daily_real_time_conversion_events_count", Value(c.realtimeCount())}};
      });
}

std::optional<std::int64_t> TLMDatabase::publicEventCount(Error* error) {
  return integerForQuery("SELECT count(1) FROM events WHERE name NOT LIKE '!_%' ESCAPE '!'", {},
                         error);
}

namespace {

std::optional<TLMEventAggregates> aggregatesFromRow(const TLMRecord& row) {
  const std::string* name = row.get("name").stringPtr();
  if (name == nullptr) return std::nullopt;
  auto aggregates = TLMEventAggregates::initWithName(
      *name, static_cast<std::int32_t>(integerOr(row.get("lifetime_count"), 0)),
      static_cast<std::int32_t>(integerOr(row.get("current_bundle_count"), 0)),
      static_cast<std::int32_t>(integerOr(row.get("current_session_count"), 0)),
      doubleOr(row.get("last_fire_timestamp"), 0.0));
  if (!aggregates) return std::nullopt;
  aggregates->setLastBundledTimestamp(doubleOr(row.get("last_bundled_timestamp"), 0.0));
  const Value& complexID = row.get("last_sampled_complex_event_id");
  if (complexID.isNumber()) aggregates->setLastSampledComplexEventID(complexID.int64Value());
  aggregates->setLastSamplingRate(
      static_cast<std::int32_t>(integerOr(row.get("last_sampling_rate"), 1)));
  aggregates->setLastExemptFromSampling(integerOr(row.get("last_exempt_from_sampling"), 0) != 0);
  aggregates->setLastBundledDay(static_cast<std::int32_t>(integerOr(row.get("last_bundled_day"), 0)));
  return aggregates;
}

}  // namespace

std::optional<std::vector<TLMEventAggregates>> TLMDatabase::allEventAggregates(Error* error) {
  return allDataTypesFromTableWithName<TLMEventAggregates>(kTLMEventsTable,
                                                           kTLMDatabaseAllEventMaxCount, error,
                                                           aggregatesFromRow);
}

std::optional<TLMEventAggregates> TLMDatabase::eventAggregatesWithName(const std::string& name,
                                                                       Error* error) {
  auto rows = dataTypesFromTableWithName<TLMEventAggregates>(kTLMEventsTable, "name", Value(name),
                                                             error, aggregatesFromRow);
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

bool TLMDatabase::updateEventAggregates(const TLMEventAggregates& aggregates, Error* error) {
  return upsertDataType<TLMEventAggregates>(
      aggregates, kTLMEventsTable, "name", Value(aggregates.name()), kTLMDatabaseAllEventMaxCount,
      error, [this](const TLMEventAggregates& a) -> std::optional<TLMRecord> {
        if (a.name().empty()) {
          log(4, 12020,
              "Received event aggregates object with empty name for getting dictionary "
              "representation");
          return std::nullopt;
        }
        TLMRecord record{{"name", Value(a.name())},
                         {"lifetime_count", Value(a.lifetimeCount())},
                         {"current_bundle_count", Value(a.currentBundleCount())},
                         {"last_fire_timestamp", Value(a.lastFireTimestamp())},
                         {"last_bundled_timestamp", Value(a.lastBundledTimestamp())},
                         {"last_sampling_rate", Value(a.lastSamplingRate())},
                         {"last_exempt_from_sampling", Value(a.lastExemptFromSampling() ? 1 : 0)},
                         {"last_bundled_day", Value(a.lastBundledDay())},
                         {"current_session_count", Value(a.currentSessionCount())}};
        if (a.lastSampledComplexEventID()) {
          record.set("last_sampled_complex_event_id", Value(*a.lastSampledComplexEventID()));
        }
        return record;
      });
}

bool TLMDatabase::clearCurrentSessionCounts(Error* error) {
  return sqliteStore_->updateAllRecordsInTableWithName(kTLMEventsTable, "current_session_count",
                                                       Value(0), error);
}

std::optional<std::int64_t> TLMDatabase::publicUserAttributeCount(Error* error) {
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE name NOT LIKE '!_%' ESCAPE '!'",
                         {}, error);
}

std::optional<std::int64_t> TLMDatabase::userAttributeCountForOrigin(const std::string& origin,
                                                                     Error* error) {
  if (origin.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty user property origin for count query");
    return std::nullopt;
  }
  return integerForQuery("SELECT count(1) FROM user_attributes WHERE origin = ?", {Value(origin)},
                         error);
}

std::optional<bool> TLMDatabase::containsUserAttributeWithName(const std::string& name,
                                                               Error* error) {
  if (name.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty user property name for exists query");
    return std::nullopt;
  }
  return booleanForQuery("SELECT EXISTS (SELECT 1 FROM user_attributes WHERE name = ? LIMIT 1)",
                         {Value(name)}, error);
}

namespace {

std::optional<TLMUserAttribute> userAttributeFromRow(const TLMRecord& row) {
  auto value = TLMValue::valueFromObject(TLMObject(row.get("value")));
  if (!value) return std::nullopt;
  const std::string* name = row.get("name").stringPtr();
  if (name == nullptr) return std::nullopt;
  const std::string* origin = row.get("origin").stringPtr();
  return TLMUserAttribute::initWithOrigin(origin != nullptr ? *origin : std::string(), *name,
                                          *value, doubleOr(row.get("set_timestamp"), 0.0));
}

}  // namespace

std::optional<TLMUserAttribute> TLMDatabase::userAttributeWithName(const std::string& name,
                                                                   Error* error) {
  auto rows = dataTypesFromTableWithName<TLMUserAttribute>(kTLMUserAttributesTable, "name",
                                                           Value(name), error, userAttributeFromRow);
  if (!rows || rows->empty()) return std::nullopt;
  return rows->front();
}

std::optional<std::vector<TLMUserAttribute>> TLMDatabase::allLifetimeValueUserAttributes(
    Error* error) {
  // The prefix is compared as text, so its "_" never stands for another character.
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT * FROM user_attributes WHERE substr(name, 1, length(?1)) = ?1 "
      "ORDER BY set_timestamp DESC",
      {Value(kTLMMeasurementUserAttributeNamePrefixLifetimeValue)}, error);
  if (!rows) return std::nullopt;
  std::vector<TLMUserAttribute> attributes;
  for (const auto& row : *rows) {
    if (auto attribute = userAttributeFromRow(row)) attributes.push_back(std::move(*attribute));
  }
  return attributes;
}

std::optional<std::vector<TLMUserAttribute>> TLMDatabase::userAttributesIncludingInternal(
    bool includeInternal, Error* error) {
  auto all = allDataTypesFromTableWithName<TLMUserAttribute>(
      kTLMUserAttributesTable, kTLMDatabaseAllUserAttributeMaxCount, error, userAttributeFromRow);
  if (!all || includeInternal) return all;
  std::vector<TLMUserAttribute> visible;
  for (auto& attribute : *all) {
    const std::string& name = attribute.name();
    if (!name.empty() && name[0] == '_') continue;
    if (TLMDataTypeValidator::hasReservedPrefixes(name)) continue;
    if (TLMInternalUserPropertyNames().contains(name)) continue;
    visible.push_back(std::move(attribute));
  }
  return visible;
}

bool TLMDatabase::updateUserAttribute(const TLMUserAttribute& attribute, Error* error) {
  return upsertDataType<TLMUserAttribute>(
      attribute, kTLMUserAttributesTable, "name", Value(attribute.name()),
      kTLMDatabaseAllUserAttributeMaxCount, error,
      [this](const TLMUserAttribute& a) -> std::optional<TLMRecord> {
        if (a.origin().empty()) {
          log(1, 12022, "Received user property with empty origin for getting dictionary representation");
          return std::nullopt;
        }
        if (a.name().empty()) {
          log(4, 12023, "Received user property with empty name for getting dictionary representation");
          return std::nullopt;
        }
        const std::string* text = a.value().stringPtr();
        if (a.value().isString() && (text == nullptr || text->empty())) {
          log(1, 12024, "Received empty string value for user property");
          return std::nullopt;
        }
        return TLMRecord{{"name", Value(a.name())},
                         {"origin", Value(a.origin())},
                         {"value", TLMObjectFromValue(a.value())},
                         {"set_timestamp", Value(a.lastSetTimestamp())}};
      });
}

bool TLMDatabase::deleteUserAttributeWithName(const std::string& name, Error* error) {
  return sqliteStore_->deleteRecordFromTableWithName(kTLMUserAttributesTable, "name", Value(name),
                                                     error);
}

// MARK: - Query helpers

std::optional<bool> TLMDatabase::booleanForQuery(const std::string& query,
                                                 const platform::Array& parameters, Error* error) {
  auto number = sqliteStore_->numberForQuery(query, parameters, error);
  if (!number) return std::nullopt;
  return number->int64Value().value_or(0) != 0;
}

std::optional<std::int64_t> TLMDatabase::integerForQuery(const std::string& query,
                                                         const platform::Array& parameters,
                                                         Error* error) {
  auto number = sqliteStore_->numberForQuery(query, parameters, error);
  if (!number) return std::nullopt;
  return number->int64Value().value_or(0);
}
