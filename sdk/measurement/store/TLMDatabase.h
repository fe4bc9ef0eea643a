// The measurement library's data store: one SQLite file ("ombrix-tally-mark.sql") with twelve
// tables, opened and migrated at start-up, and the typed operations the engine, the audiences
// and the conditional user properties call. Every operation returns its result (false or an
// empty optional on failure) and fills an optional error of the measurement domain: code 1 bad
// argument, 2 bad state, 3 SQLite failure.
//
// Used only on the measurement worker queue; no locks.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <map>
#include <utility>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/model/TLMAppMetadata.h"
#include "measurement/model/TLMAudienceFilters.h"
#include "measurement/model/TLMDailyCounts.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMUserAttribute.h"
#include "measurement/model/TLMValue.h"
#include "measurement/store/TLMConditionalUserProperty.h"
#include "measurement/store/TLMDatabaseSchema.h"
#include "measurement/store/TLMSqliteStore.h"
#include "measurement/store/TLMStoreServices.h"

class TLMPBMeasurementBundle;
class TLMPBMeasurementConfig;

// The plain value of a measurement value, as the value columns hold it: its string, double or
// 64-bit integer.
platform::Value TLMObjectFromValue(const TLMValue& value);

// The length of the encoded "Event" message of a raw-event row (its stored bytes and its name),
// known without decoding or encoding the row.
std::int64_t TLMRawEventEncodedSize(const TLMRecord& row);

// The PID namespace of the calling process (the inode of /proc/self/ns/pid), read anew at each
// call; 0 when it cannot be read (no /proc): a claim made there can be judged by no one.
std::int64_t TLMProcessPidNamespace();

// A queued bundle (decoded, with its retry count) and the row id of its queue row.
using TLMBundleRowIDPair = std::pair<std::shared_ptr<TLMPBMeasurementBundle>, std::int64_t>;

class TLMDatabase {
 public:
  // `settings` null means the compiled defaults; `monitor` null the library-wide monitor (a
  // given monitor must outlive the database).
  // Opens the named database under the measurement directory of Application Support. Null
  // for an empty name (monitor 12000) or when the file cannot be opened and set up.
  static std::unique_ptr<TLMDatabase> initWithDatabaseName(const std::string& name,
                                                           std::shared_ptr<TLMStoreSettings> settings,
                                                           TLMStoreMonitor* monitor);
  // The same at an explicit path.
  static std::unique_ptr<TLMDatabase> initWithDatabasePath(const std::string& path,
                                                           std::shared_ptr<TLMStoreSettings> settings,
                                                           TLMStoreMonitor* monitor);

  TLMSqliteStore* sqliteStore() const { return sqliteStore_.get(); }
  // The store's last failure as the error of `operation` (SQLite's code and reason), for a caller
  // whose transaction failed before any of its statements could say why.
  platform::Error lastStoreError(const std::string& operation) const;
  TLMStoreSettings& settings() const { return *settings_; }
  const std::string& databasePath() const { return databasePath_; }

  // Deletes the file and starts again with an empty schema.
  bool reset();
  bool performTransaction(const std::function<bool()>& block);
  // Transaction groups (TLMSqliteStore::beginTransactionGroup): the transactions between
  // beginTransactionGroup and endTransactionGroup are committed together.
  bool beginTransactionGroup();
  // Commits the group, then runs the blocks handed to afterCommit meanwhile, in order. When the
  // group did not commit (false) none of its changes stayed: the blocks are dropped.
  bool endTransactionGroup();
  // Ends the group keeping none of its changes; the blocks handed to afterCommit are dropped.
  void abandonTransactionGroup();
  bool isTransactionGroupIntact() const;
  // Runs `block` once what the transactions made so far wrote is committed: at once outside a
  // group, else when the group commits (never, when it does not).
  void afterCommit(std::function<void()> block);
  // Reads only: one snapshot for the block's queries (TLMSqliteStore::performReadTransaction).
  bool performReadTransaction(const std::function<bool()>& block);
  // Creates, validates and migrates every table; `failure` gets the first failing table's error.
  bool ensureAllTables(platform::Error* failure = nullptr);
  bool initializeAppMetadata();

  // MARK: Raw events and upload queue

  // Stores the bundle metadata shared by raw events under its fingerprint (nothing when present);
  // the fingerprint (64 low bits of the MD5 of its encoded bytes) goes to `fingerprint` when given.
  // A new row in a full table first makes room, keeping the newest: metadata that no raw event
  // uses goes, then, one row at a time, the row whose newest raw event is the oldest, with its
  // raw events and no other ("Table is full" only when nothing can go). `deletedEvents` gets the
  // number of raw events deleted for it.
  bool insertIfNotExistsRawEventMetadata(const TLMPBMeasurementBundle& metadata,
                                         platform::Error* error, std::int64_t* fingerprint = nullptr,
                                         std::int64_t* deletedEvents = nullptr);
  std::shared_ptr<TLMPBMeasurementBundle> queryRawEventsMetadataWithFingerprint(
      std::int64_t fingerprint, platform::Error* error);
  bool deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                     platform::Error* error);
  bool deleteUnusedRawEventsMetadata(platform::Error* error);
  std::optional<bool> isRawEventsTableEmpty(platform::Error* error);
  bool insertRawEvent(const TLMEventPtr& event, std::int64_t metadataFingerprint, bool isRealtime,
                      platform::Error* error);
  // Empty when there is no raw event (no error) or on failure (error set).
  std::optional<double> queryLatestRawEventTime(platform::Error* error);
  // The oldest raw events of one fingerprint, at most 1000, through the caller's row filter.
  std::optional<std::vector<TLMRawEventData>> rawEventsWithMetadataFingerprint(
      std::int64_t fingerprint, platform::Error* error, const TLMRowFilter& eventFilter);
  // The same rows as they are stored, for a caller that converts each row once as it reads it
  // (rawEventDataFromDictionary).
  std::optional<TLMRows> rawEventRowsWithMetadataFingerprint(std::int64_t fingerprint,
                                                             platform::Error* error,
                                                             const TLMRowFilter& eventFilter);
  std::optional<bool> containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                              platform::Error* error);
  bool deleteRawEventsWithMaxRowID(std::int64_t maxRowID, platform::Error* error);
  // Keeps the newest maxEventsStored - 1 raw events (room for the next one; none for a limit of
  // 0) and removes the metadata rows that only the deleted events used, except the one last
  // stored through insertIfNotExistsRawEventMetadata (the next event's). The number of deleted
  // events.
  std::optional<std::int64_t> deleteRawEventsOverAbsoluteLimit(platform::Error* error);
  bool deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, platform::Error* error);
  // The fingerprint of the oldest raw event; empty for an empty table (no error) or on failure.
  std::optional<std::int64_t> nextMetadataFingerprintToProcess(platform::Error* error);
  std::optional<TLMRawEventData> rawEventDataFromDictionary(const TLMRecord& row,
                                                            platform::Error* error);
  std::optional<bool> containsRealtimeRawEventsWithError(platform::Error* error);
  std::optional<bool> isQueuedBundleTableEmpty(platform::Error* error);
  bool insertBundle(const TLMPBMeasurementBundle& bundle, bool isRealtime, platform::Error* error);
  bool incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                              platform::Error* error);
  // Oldest bundle end first, at most `countLimit`, while the uncompressed sizes fit `sizeLimit`
  // (the first bundle always travels). Rows that cannot be read back are deleted.
  std::optional<std::vector<TLMBundleRowIDPair>> queryBundlesWithCountLimit(
      std::int64_t countLimit, std::int64_t sizeLimit, platform::Error* error);
  // The same among the bundles no other process's upload holds (kTLMQueueClaimedByColumn): rows
  // held by none, rows whose hold ran out (at the store's now or earlier, or ending more than
  // `bound` seconds after it: a clock set back), and, among rows held in `pidNamespace` (the
  // claimant's, see TLMProcessPidNamespace), those of `claimant` and of a process that no longer
  // runs. A hold made in another namespace, or where one of the two is unknown, is judged by its
  // end only: its process id means nothing here. Read in the write transaction that claims those
  // it sends (claimBundlesWithRowIDs), so that processes of the app uploading at once send each
  // once.
  std::optional<std::vector<TLMBundleRowIDPair>> queryUnclaimedBundlesWithCountLimit(
      std::int64_t countLimit, std::int64_t sizeLimit, std::int64_t claimant, double bound,
      platform::Error* error, std::int64_t pidNamespace = TLMProcessPidNamespace());
  // Holds the rows for `claimant`'s upload (a process id of `pidNamespace`) until `until`;
  // releaseBundlesWithRowIDs lets go of them (an upload that failed).
  bool claimBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, std::int64_t claimant, double until,
                              platform::Error* error, std::int64_t pidNamespace = TLMProcessPidNamespace());
  bool releaseBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, platform::Error* error);
  std::optional<std::vector<TLMBundleRowIDPair>> queryBundlesWithRowIDs(
      const std::vector<std::int64_t>& rowIDs, platform::Error* error);
  bool deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, platform::Error* error);
  // Deletes stale raw events and bundles once per stale-data interval: true when it ran, false
  // when it was not due, empty on failure.
  std::optional<bool> maybeDeleteStaleData(platform::Error* error);
  bool deleteStaleBundlesOlderThanMaxAge(double maxAge, platform::Error* error);
  std::optional<double> queryLatestBundleTime(platform::Error* error);
  std::optional<bool> containsRealtimeBundlesWithError(platform::Error* error);

  // MARK: Metadata, counters, aggregates and user attributes

  std::optional<TLMAppMetadata> queryAppMetadata(platform::Error* error);
  bool updateAppMetadata(const TLMAppMetadata& metadata, platform::Error* error);
  // The mark of a report made once per app's data (TLMReportMark): whether its column holds its
  // value (empty when the row cannot be read), and setting it. Set it in the transaction that
  // stores the report, so that processes of the app that take their turns find it there. Builds
  // that do not know the column leave it alone.
  std::optional<bool> containsReportMark(const TLMReportMark& mark, platform::Error* error);
  bool setReportMark(const TLMReportMark& mark, platform::Error* error);
  std::optional<TLMDailyCounts> dailyCounts(platform::Error* error);
  bool updateDailyCounts(const TLMDailyCounts& counts, platform::Error* error);
  std::optional<std::int64_t> publicEventCount(platform::Error* error);
  std::optional<std::vector<TLMEventAggregates>> allEventAggregates(platform::Error* error);
  // Empty when there is no such row (no error) or on failure (error set).
  std::optional<TLMEventAggregates> eventAggregatesWithName(const std::string& name,
                                                            platform::Error* error);
  bool updateEventAggregates(const TLMEventAggregates& aggregates, platform::Error* error);
  bool clearCurrentSessionCounts(platform::Error* error);
  std::optional<std::int64_t> publicUserAttributeCount(platform::Error* error);
  std::optional<std::int64_t> userAttributeCountForOrigin(const std::string& origin,
                                                          platform::Error* error);
  std::optional<bool> containsUserAttributeWithName(const std::string& name,
                                                    platform::Error* error);
  std::optional<TLMUserAttribute> userAttributeWithName(const std::string& name,
                                                        platform::Error* error);
  // Lifetime-value properties (names starting exactly with "_ltv_"), most recently set first.
  std::optional<std::vector<TLMUserAttribute>> allLifetimeValueUserAttributes(platform::Error* error);
  std::optional<std::vector<TLMUserAttribute>> userAttributesIncludingInternal(
      bool includeInternal, platform::Error* error);
  bool updateUserAttribute(const TLMUserAttribute& attribute, platform::Error* error);
  bool deleteUserAttributeWithName(const std::string& name, platform::Error* error);

  // MARK: Audiences, conditional properties, purchases, complex events, remote configuration

  std::optional<std::map<std::int32_t, TLMFilterResult>> allFilterResults(platform::Error* error);
  std::optional<std::vector<std::int32_t>> allAudienceIDs(platform::Error* error);
  std::optional<std::vector<TLMEventFilter>> eventFiltersForEventName(const std::string& eventName,
                                                                      platform::Error* error);
  std::optional<std::vector<TLMPropertyFilter>> propertyFiltersForPropertyName(
      const std::string& propertyName, platform::Error* error);
  std::optional<TLMFilterResult> filterResultForAudienceID(std::int32_t audienceID,
                                                           platform::Error* error);
  bool deleteFilterResults(const std::vector<TLMFilterResult>& results, platform::Error* error);
  std::optional<std::map<std::int32_t, std::vector<std::int32_t>>> allSessionScopedFilters(
      platform::Error* error);
  bool updateEventFilters(const std::vector<TLMEventFilter>& filters, platform::Error* error);
  bool updatePropertyFilters(const std::vector<TLMPropertyFilter>& filters, platform::Error* error);
  bool updateFilterResults(const std::vector<TLMFilterResult>& results, platform::Error* error);
  bool deleteEventFilters(const std::vector<TLMEventFilter>& filters, platform::Error* error);
  bool deletePropertyFilters(const std::vector<TLMPropertyFilter>& filters, platform::Error* error);
  bool deleteAllEventFilters(platform::Error* error);
  bool deleteAllPropertyFilters(platform::Error* error);
  bool updateRemoteConfig(const TLMPBMeasurementConfig& config, platform::Error* error);
  bool updateRemoteConfigSuccessfulTimestamp(double timestamp, platform::Error* error);
  // Null without error when no configuration is stored.
  std::shared_ptr<TLMPBMeasurementConfig> queryMeasurementConfigWithError(platform::Error* error);
  std::optional<double> lastRemoteConfigUpdateTimestamp(platform::Error* error);
  // True for a new purchase (now recorded), false for one already reported; empty on failure.
  std::optional<bool> insertIfNotDuplicatePurchaseFingerprint(const std::string& fingerprint,
                                                              platform::Error* error);
  std::optional<TLMConditionalUserProperty> conditionalUserPropertyWithName(
      const std::string& name, platform::Error* error);
  bool updateConditionalUserProperty(const TLMConditionalUserProperty& property,
                                     platform::Error* error);
  bool deleteConditionalUserPropertyWithName(const std::string& name, platform::Error* error);
  std::optional<std::vector<TLMConditionalUserProperty>> timedOutConditionalUserPropertiesWithError(
      platform::Error* error);
  std::optional<std::vector<TLMConditionalUserProperty>> expiredConditionalUserPropertiesWithError(
      platform::Error* error);
  std::optional<std::vector<TLMConditionalUserProperty>>
  triggeredConditionalUserPropertiesWithEventName(const std::string& eventName,
                                                  platform::Error* error);
  // Names starting exactly with `prefix` and, when given, of exactly that origin.
  std::optional<std::vector<TLMConditionalUserProperty>> conditionalUserPropertiesWithPrefix(
      const std::string& prefix, const std::string& filterByOrigin, platform::Error* error);
  std::optional<std::vector<TLMConditionalUserProperty>> conditionalUserPropertiesWithCondition(
      const std::string& condition, const platform::Array& parameterValues, platform::Error* error);
  // The main event and its number of children to process; empty without error when no row.
  std::optional<std::pair<TLMEventPtr, std::int64_t>> mainEventAndChildCountPairWithEventID(
      std::int64_t eventID, platform::Error* error);
  bool updateComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                          std::int64_t childEventCount,
                                                          const TLMEventPtr& mainEvent,
                                                          platform::Error* error);
  bool deleteComplexEventForAudienceEvaluationWithEventID(std::int64_t eventID,
                                                          platform::Error* error);
  // Experiment ids handed to the remote configuration: always empty.
  static platform::Dictionary TLMExperimentIDs();

  // Generic row operations. A conversion returns nullopt to skip a row.
  template <typename T>
  using CreateDataType = std::function<std::optional<T>(const TLMRecord&)>;
  template <typename T>
  using CreateDictionary = std::function<std::optional<TLMRecord>(const T&)>;

  template <typename T>
  std::optional<std::vector<T>> allDataTypesFromTableWithName(const std::string& table,
                                                              std::int64_t tableLimit,
                                                              platform::Error* error,
                                                              const CreateDataType<T>& create);
  template <typename T>
  std::optional<std::vector<T>> dataTypesFromTableWithName(const std::string& table,
                                                           const std::string& columnName,
                                                           const platform::Value& columnValue,
                                                           platform::Error* error,
                                                           const CreateDataType<T>& create);
  template <typename T>
  bool insertDataType(const T& dataType, const std::string& table, platform::Error* error,
                      const CreateDictionary<T>& create);
  template <typename T>
  bool upsertDataType(const T& dataType, const std::string& table, const std::string& columnName,
                      const platform::Value& columnValue, std::int64_t tableLimit,
                      platform::Error* error, const CreateDictionary<T>& create);
  template <typename T>
  bool updateDataType(const T& dataType, const std::string& table, const std::string& columnName,
                      const platform::Value& columnValue, platform::Error* error,
                      const CreateDictionary<T>& create);

 private:
  bool ensureAllTablesInTransaction(platform::Error* failure);
  TLMDatabase(std::shared_ptr<TLMStoreSettings> settings, TLMStoreMonitor* monitor);
  bool initializeDatabaseResourcesWithContext(const std::string& context,
                                              const std::string& databasePath);
  void log(int level, int code, const std::string& message,
           const std::vector<platform::Value>& context = {});
  // Checks shared by the row operations.
  bool checkUpsert(const std::string& table, const std::string& columnName,
                   const platform::Value& columnValue, std::int64_t tableLimit,
                   platform::Error* error);
  bool checkUpdate(const std::string& table, const std::string& columnName,
                   const platform::Value& columnValue, platform::Error* error);
  std::optional<std::shared_ptr<TLMPBMeasurementBundle>> bundleFromQueueRow(
      const TLMRecord& row);
  // Queued bundles oldest end first, of the rows `free` passes (all when null), within the count
  // and size limits of queryBundlesWithCountLimit.
  std::optional<std::vector<TLMBundleRowIDPair>> bundlesInQueueOrder(
      std::int64_t countLimit, std::int64_t sizeLimit, const std::function<bool(const TLMRecord&)>& free,
      platform::Error* error);
  std::optional<TLMConditionalUserProperty> conditionalUserPropertyFromRow(const TLMRecord& row);
  std::optional<TLMRecord> rowFromConditionalUserProperty(const TLMConditionalUserProperty& p);
  std::optional<bool> booleanForQuery(const std::string& query, const platform::Array& parameters,
                                      platform::Error* error);
  std::optional<std::int64_t> integerForQuery(const std::string& query,
                                              const platform::Array& parameters,
                                              platform::Error* error);
  // The argument checks of rowsForSelect.
  bool checkSelect(const std::string& table, const std::string& columnName,
                   const platform::Value& columnValue, platform::Error* error);
  std::optional<TLMRows> rowsForSelect(const std::string& table, const std::string& columnName,
                                       const platform::Value& columnValue, platform::Error* error);

  std::unique_ptr<TLMSqliteStore> sqliteStore_;
  std::shared_ptr<TLMStoreSettings> settings_;
  TLMStoreMonitor* monitor_;
  std::string databasePath_;
  // The metadata fingerprint last stored or confirmed by insertIfNotExistsRawEventMetadata.
  std::optional<std::int64_t> pendingMetadataFingerprint_;
  // What this object knows of the tables every stored event adds to, kept by its own inserts and
  // deletes so that the caps before every event need not read whole tables: the number of raw
  // events and of metadata rows (empty until counted), whether every metadata row but the
  // pending one is known to be used by a raw event, and a raw event (its rowid, 0 for none) up
  // to which every event's row has a newer event after it, so that a full metadata table's
  // search for its oldest row in use starts past it (new events come after it while it is
  // there; dropped by any delete that may take it).
  struct KeptFacts {
    std::optional<std::int64_t> rawEvents;
    std::optional<std::int64_t> metadata;
    bool metadataAllUsed = false;
    std::int64_t metadataSearchStart = 0;
  };
  // The kept facts with the file's data version they hold for, the transaction in which that
  // version was last confirmed and the pending fingerprint: what a transaction that rolls back
  // gives back (the file is as it was when it began).
  struct KeptState {
    KeptFacts facts;
    std::int64_t version = 0;
    std::uint64_t checkedIn = 0;
    std::optional<std::int64_t> pending;
  };
  KeptFacts kept_;
  std::int64_t keptVersion_ = 0;
  // The write transaction (TLMSqliteStore::writeTransactionID) in which the data version
  // was last read: no other connection can write before it ends, so it is read once in it.
  std::uint64_t versionCheckedIn_ = 0;
  KeptState keptState() const {
    return {kept_, keptVersion_, versionCheckedIn_, pendingMetadataFingerprint_};
  }
  void restoreKeptState(const KeptState& state);
  // The kept state when the open transaction group began.
  KeptState groupStartState_;
  // The blocks waiting for the open transaction group to commit.
  std::vector<std::function<void()>> afterGroupCommit_;
  // Brings the kept facts up to date with the file before an operation that changes them: when
  // another connection wrote to the file since they were kept, they are forgotten (read again
  // when needed). Nothing in the file shows which rows it touched: it may have emptied the raw
  // events and stored others under the same rowids, leaving the same count and newest event.
  // Once per write transaction.
  bool checkKeptFacts(platform::Error* error);
  // `rows` (one of kept_'s counts, of `table`), counted when not known.
  std::optional<std::int64_t> keptRowCount(std::optional<std::int64_t>& rows, const char* table,
                                           platform::Error* error);
  static void keptRowsChanged(std::optional<std::int64_t>& rows, std::int64_t delta);
  bool makeRoomForRawEventMetadata(std::int64_t* deletedEvents, platform::Error* error);
  // The stored metadata row whose newest raw event is the oldest, in `fingerprint`; none when no
  // raw event uses a stored row. `passed` gets the rowid below which, once that row's events are
  // gone, every event's row has a newer event (0 when none was found).
  bool metadataWithOldestNewestRawEvent(std::optional<std::int64_t>& fingerprint,
                                        std::int64_t& passed, platform::Error* error);
  // Deletes the metadata row and every raw event that uses it; the number of deleted events.
  std::optional<std::int64_t> deleteRawEventMetadataWithItsRawEvents(std::int64_t fingerprint,
                                                                     platform::Error* error);
  // Deletes the raw events up to `maxRowID` and the metadata rows only they used, except `keep`.
  // The number of deleted events.
  std::optional<std::int64_t> deleteRawEventsAndTheirMetadata(
      std::int64_t maxRowID, std::optional<std::int64_t> keep, platform::Error* error);
};

// MARK: - Row operation templates

template <typename T>
std::optional<std::vector<T>> TLMDatabase::allDataTypesFromTableWithName(
    const std::string& table, std::int64_t tableLimit, platform::Error* error,
    const CreateDataType<T>& create) {
  if (!create) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received nil block to get all data types");
    return std::nullopt;
  }
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM " + table + " ORDER BY rowid LIMIT " + std::to_string(tableLimit), {},
      error);
  if (!rows) return std::nullopt;
  std::vector<T> result;
  result.reserve(rows->size());
  for (const auto& row : *rows) {
    if (auto item = create(row)) result.push_back(std::move(*item));
  }
  return result;
}

template <typename T>
std::optional<std::vector<T>> TLMDatabase::dataTypesFromTableWithName(
    const std::string& table, const std::string& columnName, const platform::Value& columnValue,
    platform::Error* error, const CreateDataType<T>& create) {
  if (!checkSelect(table, columnName, columnValue, error)) return std::nullopt;
  if (!create) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Received nil block to create data type from table");
    return std::nullopt;
  }
  auto rows = rowsForSelect(table, columnName, columnValue, error);
  if (!rows) return std::nullopt;
  std::vector<T> result;
  for (const auto& row : *rows) {
    if (auto item = create(row)) result.push_back(std::move(*item));
  }
  if (!rows->empty() && result.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Failed to initialize data types from dictionaries");
    return std::nullopt;
  }
  return result;
}

template <typename T>
bool TLMDatabase::insertDataType(const T& dataType, const std::string& table,
                                 platform::Error* error, const CreateDictionary<T>& create) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for inserting");
  }
  if (!create) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received nil block to create dictionary for inserting");
  }
  auto record = create(dataType);
  if (!record) {
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to insert unknown data type");
  }
  return sqliteStore_->upsertRecord(*record, table, error);
}

template <typename T>
bool TLMDatabase::upsertDataType(const T& dataType, const std::string& table,
                                 const std::string& columnName, const platform::Value& columnValue,
                                 std::int64_t tableLimit, platform::Error* error,
                                 const CreateDictionary<T>& create) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for checking upsert");
  }
  if (!create) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received nil block to create dictionary for upserting");
  }
  if (!checkUpsert(table, columnName, columnValue, tableLimit, error)) return false;
  auto record = create(dataType);
  if (!record) {
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to insert/update unknown data type");
  }
  return sqliteStore_->upsertRecord(*record, table, error);
}

template <typename T>
bool TLMDatabase::updateDataType(const T& dataType, const std::string& table,
                                 const std::string& columnName, const platform::Value& columnValue,
                                 platform::Error* error, const CreateDictionary<T>& create) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for updating");
  }
  if (!create) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received nil block to create dictionary for updating");
  }
  if (!checkUpdate(table, columnName, columnValue, error)) return false;
  auto record = create(dataType);
  if (!record) {
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to update unknown data type");
  }
  return sqliteStore_->updateRecord(*record, table, columnName, columnValue, error);
}
