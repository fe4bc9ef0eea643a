// File name, tables, columns and limits of the measurement database.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "measurement/store/TLMSqliteStore.h"

inline constexpr const char* kTLMDatabaseFileName = "ombrix-tally-mark.sql";

// Tables.
inline constexpr const char* kTLMAppMetadataTable = "app_metadata";
inline constexpr const char* kTLMRawEventsMetadataTable = "raw_events_metadata";
inline constexpr const char* kTLMRawEventsTable = "raw_events";
inline constexpr const char* kTLMRawEventsFingerprintIndex = "raw_events_metadata_fingerprint";
// The newest raw event and the real-time ones, found without reading the table.
inline constexpr const char* kTLMRawEventsTimestampIndex = "raw_events_timestamp";
inline constexpr const char* kTLMRawEventsRealtimeIndex = "raw_events_realtime";
inline constexpr const char* kTLMEventsTable = "events";
inline constexpr const char* kTLMUserAttributesTable = "user_attributes";
inline constexpr const char* kTLMQueueTable = "queue";
// An upload's hold on a queued bundle: the process that sends it (its process id; 0: none), until
// when (seconds since 1970) and the PID namespace its process id belongs to (the inode of its
// /proc/self/ns/pid; null or 0: unknown).
inline constexpr const char* kTLMQueueClaimedByColumn = "claimed_by";
inline constexpr const char* kTLMQueueClaimedUntilColumn = "claimed_until";
inline constexpr const char* kTLMQueueClaimedInColumn = "claimed_in";
// Queued bundles oldest end first, the newest end and the real-time ones, from an index.
inline constexpr const char* kTLMQueueEndTimestampIndex = "queue_bundle_end_timestamp";
inline constexpr const char* kTLMQueueRealtimeIndex = "queue_realtime";
// Asked at every reschedule; the literal 1 lets them read the partial real-time indexes.
inline constexpr const char* kTLMRealtimeRawEventsQuery =
    "SELECT EXISTS (SELECT 1 FROM raw_events WHERE is_realtime = 1 LIMIT 1)";
inline constexpr const char* kTLMRealtimeBundlesQuery =
    "SELECT EXISTS (SELECT 1 FROM queue WHERE is_realtime = 1 LIMIT 1)";
inline constexpr const char* kTLMEventFiltersTable = "event_filters";
inline constexpr const char* kTLMPropertyFiltersTable = "property_filters";
inline constexpr const char* kTLMAudienceFilterValuesTable = "audience_filter_values";
inline constexpr const char* kTLMPurchaseTransactionsTable = "purchase_transactions";
inline constexpr const char* kTLMConditionalPropertiesTable = "conditional_properties";
inline constexpr const char* kTLMMainEventParamsTable = "main_event_params";
// Columns of the app metadata row that mark a report made once per app's data (1 once made).
inline constexpr const char* kTLMSearchAdCampaignReportedColumn = "search_ad_campaign_reported";
// ... and once per update: the app's version, or the system's, that the last update was
// reported for, with the number of version changes recorded before it (TLMUpdateMarkValue).
inline constexpr const char* kTLMAppUpdateVersionColumn = "app_update_version";
inline constexpr const char* kTLMOSUpdateVersionColumn = "os_update_version";

// "<version> #<changes>": the processes started at once after one update read the same count,
// and every update that this build records raises it, so a second update to one version (after
// an older build, which records no count, went back) has a mark of its own.
inline platform::Value TLMUpdateMarkValue(const std::string& version, std::int64_t changes) {
  return platform::Value(version + " #" + std::to_string(changes));
}

// The mark of a report made once per app's data: a column of the metadata row (such as
// kTLMSearchAdCampaignReportedColumn) and the value it holds once the report is made (1, or the
// version an update was reported for).
struct TLMReportMark {
  TLMReportMark(std::string markColumn = {}, platform::Value markValue = platform::Value(1))
      : column(std::move(markColumn)), value(std::move(markValue)) {}
  TLMReportMark(const char* markColumn) : TLMReportMark(std::string(markColumn)) {}
  std::string column;  // empty: no mark
  platform::Value value;
};

// Limits.
inline constexpr std::int64_t kTLMDatabaseAllEventMaxCount = 1000;
inline constexpr std::int64_t kTLMDatabasePublicEventMaxCount = 500;
inline constexpr std::int64_t kTLMDatabaseAllUserAttributeMaxCount = 1000;
inline constexpr std::int64_t kTLMDatabasePublicUserAttributeMaxCount = 25;
inline constexpr std::int64_t kTLMDatabaseUserAttributePerOriginMaxCount = 25;
inline constexpr std::int64_t kTLMDatabaseConditionalUserPropertyMaxCount = 1000;
inline constexpr std::int64_t kTLMDatabasePurchaseTransactionsMaxCount = 1000;
inline constexpr std::int64_t kTLMDatabaseRawEventsMetadataMaxCount = 100000;
inline constexpr std::int64_t kTLMDatabaseRawEventsSelectLimit = 1000;
inline constexpr std::int64_t kTLMDatabaseAppMetadataMaxCount = 1;

struct TLMTableSchema {
  std::string name;
  TLMColumnInfo elementary;
  TLMColumnInfo addOn;
  TLMColumnModifications modify;
};

// Every table of the database, in the order they are ensured.
const std::vector<TLMTableSchema>& TLMDatabaseTables();
