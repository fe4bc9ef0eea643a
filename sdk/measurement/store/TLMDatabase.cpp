#include "measurement/store/TLMDatabase.h"

#include "foundation/Format.h"
#include "measurement/model/TLMUtil.h"

using platform::Error;
using platform::Value;

const std::vector<TLMTableSchema>& TLMDatabaseTables() {
  static const std::vector<TLMTableSchema>& tables = *new std::vector<TLMTableSchema>{
      {kTLMAppMetadataTable,
       {{"last_bundle_index", "INTEGER NOT NULL"}, {"last_bundle_end_timestamp", "REAL NOT NULL"}},
       {{"last_bundle_start_timestamp", "REAL"},
        {"day", "INTEGER"},
        {"daily_conversions_count", "INTEGER"},
        {"daily_events_count", "INTEGER"},
        {"daily_public_events_count", "INTEGER"},
        {"daily_error_events_count", "INTEGER"},
        {"remote_config_data", "BLOB"},
        {"remote_config_timestamp", "REAL"},
        {"daily_real_time_conversion_events_count", "INTEGER"},
        {kTLMSearchAdCampaignReportedColumn, "INTEGER"},
        {kTLMAppUpdateVersionColumn, "TEXT"},
        {kTLMOSUpdateVersionColumn, "TEXT"}},
       {}},
      {kTLMRawEventsMetadataTable,
       {{"metadata_fingerprint", "INTEGER NOT NULL PRIMARY KEY"}, {"metadata", "BLOB NOT NULL"}},
       {},
       {}},
      {kTLMRawEventsTable,
       {{"name", "TEXT NOT NULL"},
        {"timestamp", "INTEGER NOT NULL"},
        {"metadata_fingerprint", "INTEGER NOT NULL"},
        {"data", "BLOB NOT NULL"}},
       {{"is_realtime", "INTEGER"}},
       {{"timestamp", "REAL NOT NULL"}}},
      {kTLMEventsTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"lifetime_count", "INTEGER NOT NULL"},
        {"current_bundle_count", "INTEGER NOT NULL"},
        {"last_fire_timestamp", "REAL NOT NULL"}},
       {{"last_bundled_timestamp", "REAL"},
        {"last_sampled_complex_event_id", "INTEGER"},
        {"last_sampling_rate", "INTEGER"},
        {"last_exempt_from_sampling", "INTEGER"},
        {"last_bundled_day", "INTEGER"},
        {"current_session_count", "INTEGER"}},
       {}},
      {kTLMUserAttributesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"set_timestamp", "REAL NOT NULL"},
        {"value", "BLOB NOT NULL"}},
       {{"origin", "TEXT"}},
       {}},
      {kTLMQueueTable,
       {{"data", "BLOB NOT NULL"}, {"bundle_end_timestamp", "REAL NOT NULL"}},
       {{"is_realtime", "INTEGER"},
        {"retry_count", "INTEGER"},
        {kTLMQueueClaimedByColumn, "INTEGER"},
        {kTLMQueueClaimedUntilColumn, "REAL"},
        {kTLMQueueClaimedInColumn, "INTEGER"}},
       {}},
      {kTLMEventFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"event_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kTLMPrimaryKeyColumnName, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kTLMPropertyFiltersTable,
       {{"audience_id", "INTEGER NOT NULL"},
        {"filter_id", "INTEGER NOT NULL"},
        {"property_name", "TEXT NOT NULL"},
        {"data", "BLOB NOT NULL"},
        {kTLMPrimaryKeyColumnName, "(audience_id, filter_id)"}},
       {{"session_scoped", "INTEGER"}},
       {}},
      {kTLMAudienceFilterValuesTable,
       {{"audience_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"current_results", "BLOB"},
        {"previous_results", "BLOB"}},
       {},
       {}},
      {kTLMPurchaseTransactionsTable, {{"fingerprint", "TEXT NOT NULL PRIMARY KEY"}}, {}, {}},
      {kTLMConditionalPropertiesTable,
       {{"name", "TEXT NOT NULL PRIMARY KEY"},
        {"origin", "TEXT NOT NULL"},
        {"value", "BLOB NOT NULL"},
        {"creation_timestamp", "REAL NOT NULL"},
        {"active", "INTEGER NOT NULL"},
        {"trigger_timeout", "REAL NOT NULL"},
        {"triggered_timestamp", "REAL NOT NULL"},
        {"time_to_live", "REAL NOT NULL"},
        {"trigger_event_name", "TEXT"},
        {"timed_out_event", "BLOB"},
        {"triggered_event", "BLOB"},
        {"expired_event", "BLOB"}},
       {},
       {}},
      {kTLMMainEventParamsTable,
       {{"event_id", "INTEGER NOT NULL PRIMARY KEY"},
        {"children_to_process", "INTEGER NOT NULL"},
        {"main_event", "BLOB NOT NULL"}},
       {},
       {}},
  };
  return tables;
}

TLMDatabase::TLMDatabase(std::shared_ptr<TLMStoreSettings> settings, TLMStoreMonitor* monitor)
    : settings_(std::move(settings)),
      monitor_(monitor != nullptr ? monitor : TLMStoreDefaultMonitor()) {
  if (!settings_) settings_ = std::make_shared<TLMStoreDefaultSettings>();
}

void TLMDatabase::log(int level, int code, const std::string& message,
                      const std::vector<Value>& context) {
  if (monitor_ != nullptr) monitor_->log(level, code, message, context);
}

std::unique_ptr<TLMDatabase> TLMDatabase::initWithDatabaseName(
    const std::string& name, std::shared_ptr<TLMStoreSettings> settings, TLMStoreMonitor* monitor) {
  if (name.empty()) {
    (monitor != nullptr ? monitor : TLMStoreDefaultMonitor())
        ->log(1, 12000, "Received empty database name in init", {});
    return nullptr;
  }
  if (!TLMMakeDatabaseFolders()) return nullptr;
  return initWithDatabasePath(TLMFilePathForDatabaseName(name), std::move(settings), monitor);
}

std::unique_ptr<TLMDatabase> TLMDatabase::initWithDatabasePath(
    const std::string& path, std::shared_ptr<TLMStoreSettings> settings, TLMStoreMonitor* monitor) {
  std::unique_ptr<TLMDatabase> database(new TLMDatabase(std::move(settings), monitor));
  if (!database->initializeDatabaseResourcesWithContext("Init", path)) return nullptr;
  return database;
}

bool TLMDatabase::initializeDatabaseResourcesWithContext(const std::string& context,
                                                         const std::string& databasePath) {
  databasePath_ = databasePath;
  kept_ = {};
  versionCheckedIn_ = 0;
  sqliteStore_ = TLMSqliteStore::initWithDatabasePath(databasePath, monitor_);
  if (!sqliteStore_) {
    log(1, 12001, platform::format("Failed to open database (%@)", context));
    // After a failed reset the database stays usable as an object: every operation reports
    // that the database is not open.
    sqliteStore_ = TLMSqliteStore::closedStoreWithPath(databasePath, monitor_);
    return false;
  }
  sqliteStore_->keepPreparedStatement(kTLMRealtimeRawEventsQuery);
  sqliteStore_->keepPreparedStatement(kTLMRealtimeBundlesQuery);
  Error tableError;
  if (!ensureAllTables(&tableError)) {
    log(1, 12002, platform::format("Failed to create or validate required database tables (%@)",
                                   context));
    // Only a file that is damaged or holds tables this library cannot use is thrown away. A
    // failing SQLite step that is not damage (busy, unwritable, full, a failed migration step)
    // says nothing about the file: keep it for the next start.
    const bool damaged = sqliteStore_->lastErrorIsDamage();
    const bool unusable = tableError.code != TLMStoreErrorSQLite && !sqliteStore_->lastErrorIsTransient();
    Error error;
    if (!damaged && !unusable) {
      sqliteStore_->closeDatabase();
    } else if (!sqliteStore_->closeAndDeleteDatabase(&error)) {
      log(4, 12003,
          platform::format("Failed to delete old database file after failed validation. Error (%@)",
                           context),
          {Value(error.fullDescription())});
    }
    sqliteStore_ = TLMSqliteStore::closedStoreWithPath(databasePath, monitor_);
    return false;
  }
  if (!initializeAppMetadata()) {
    log(1, 12004, platform::format("Failed to initialize App Metadata table (%@)", context));
    sqliteStore_->closeDatabase();
    return false;
  }
  return true;
}

bool TLMDatabase::reset() {
  if (sqliteStore_) {
    Error error;
    if (!sqliteStore_->closeAndDeleteDatabase(&error)) {
      log(4, 12055, "Failed to delete database data", {Value(error.fullDescription())});
    }
  }
  return initializeDatabaseResourcesWithContext("Reset", databasePath_);
}

Error TLMDatabase::lastStoreError(const std::string& operation) const {
  Error error;
  auto description = sqliteStore_->errorDescriptionForDatabaseOperation(operation);
  TLMStoreSetError(&error, TLMStoreErrorSQLite,
                   description.value_or(operation + " failed. Database not open."));
  return error;
}

bool TLMDatabase::performTransaction(const std::function<bool()>& block) {
  const KeptState before = keptState();
  bool committed = false;
  try {
    committed = sqliteStore_->performTransaction(block);
  } catch (...) {
    kept_ = {};
    throw;
  }
  if (committed) return true;
  // A rollback returns the file to the transaction's start, and the kept facts with it. When
  // SQLite undid a whole group instead (a failing step), they are read again.
  if (sqliteStore_->isTransactionGroupOpen() && !sqliteStore_->isTransactionGroupIntact()) {
    kept_ = {};
  } else {
    restoreKeptState(before);
  }
  return false;
}

void TLMDatabase::restoreKeptState(const KeptState& state) {
  kept_ = state.facts;
  keptVersion_ = state.version;
  versionCheckedIn_ = state.checkedIn;
  pendingMetadataFingerprint_ = state.pending;
}

bool TLMDatabase::beginTransactionGroup() {
  afterGroupCommit_.clear();
  groupStartState_ = keptState();
  return sqliteStore_->beginTransactionGroup();
}

bool TLMDatabase::endTransactionGroup() {
  std::vector<std::function<void()>> blocks;
  blocks.swap(afterGroupCommit_);
  const bool intact = sqliteStore_->isTransactionGroupIntact();
  if (!sqliteStore_->commitTransactionGroup()) {
    // None of the group's changes stayed: the file is as the group found it. (When SQLite undid
    // the group earlier, writes made since may have committed on their own: read again.)
    if (intact) {
      restoreKeptState(groupStartState_);
    } else {
      kept_ = {};
    }
    return false;
  }
  for (const auto& block : blocks) block();
  return true;
}

void TLMDatabase::abandonTransactionGroup() {
  afterGroupCommit_.clear();
  sqliteStore_->rollbackTransactionGroup();
  kept_ = {};
}

bool TLMDatabase::isTransactionGroupIntact() const { return sqliteStore_->isTransactionGroupIntact(); }

void TLMDatabase::afterCommit(std::function<void()> block) {
  if (!block) return;
  if (sqliteStore_->isTransactionGroupIntact()) {
    afterGroupCommit_.push_back(std::move(block));
  } else if (!sqliteStore_->isTransactionGroupOpen()) {
    block();
  }
}

bool TLMDatabase::performReadTransaction(const std::function<bool()>& block) {
  return sqliteStore_->performReadTransaction(block);
}

bool TLMDatabase::ensureAllTables(Error* failure) {
  // The tables and indexes are made, or found made, in one write transaction (a migration's
  // own transaction is a savepoint of it): a new file costs one commit, not one for every table,
  // column and index, and processes of the app that open a new file at once take turns, where
  // each found a column missing and the second one's addition failed ("duplicate column name").
  if (!sqliteStore_->beginTransactionGroup()) {
    TLMStoreSetError(failure, TLMStoreErrorSQLite, "Failed to begin the transaction that ensures the tables");
    return false;
  }
  if (!ensureAllTablesInTransaction(failure)) {
    sqliteStore_->rollbackTransactionGroup();
    return false;
  }
  if (!sqliteStore_->commitTransactionGroup()) {
    TLMStoreSetError(failure, TLMStoreErrorSQLite, "Failed to commit the transaction that ensures the tables");
    return false;
  }
  return true;
}

bool TLMDatabase::ensureAllTablesInTransaction(Error* failure) {
  for (const auto& table : TLMDatabaseTables()) {
    Error error;
    if (!sqliteStore_->ensureTableWithName(table.name, table.elementary, table.addOn, table.modify,
                                           &error)) {
      log(1, 12047, "Failed to ensure table. Table, error",
          {Value(table.name), Value(error.fullDescription())});
      if (failure != nullptr) *failure = error;
      return false;
    }
  }
  // Indexes the queries of every stored event and every upload rely on, so that their cost does
  // not grow with the tables: raw events are read, counted and checked for use by their metadata
  // fingerprint; the schedule asks for the newest raw event and bundle and whether any of them is
  // real-time; the upload reads the queue oldest bundle end first. Files made before an index
  // existed gain it here, and so does a table that a migration rebuilt (the old table's indexes
  // go with it). The real-time indexes hold only the real-time rows.
  struct Index {
    const char* table;
    const char* name;
    const char* definition;
  };
  static const Index indexes[] = {
      {kTLMRawEventsTable, kTLMRawEventsFingerprintIndex, "(metadata_fingerprint)"},
      {kTLMRawEventsTable, kTLMRawEventsTimestampIndex, "(timestamp)"},
      {kTLMRawEventsTable, kTLMRawEventsRealtimeIndex, "(is_realtime) WHERE is_realtime = 1"},
      {kTLMQueueTable, kTLMQueueEndTimestampIndex, "(bundle_end_timestamp)"},
      {kTLMQueueTable, kTLMQueueRealtimeIndex, "(is_realtime) WHERE is_realtime = 1"},
  };
  for (const Index& index : indexes) {
    Error error;
    if (!sqliteStore_->executeSQL(std::string("CREATE INDEX IF NOT EXISTS ") + index.name + " ON " +
                                      index.table + " " + index.definition,
                                  &error)) {
      log(1, 12047, "Failed to ensure table. Table, error",
          {Value(index.table), Value(error.fullDescription())});
      if (failure != nullptr) *failure = error;
      return false;
    }
  }
  return true;
}

bool TLMDatabase::initializeAppMetadata() {
  return performTransaction([this] {
    Error error;
    auto rows = rowsForSelect(kTLMAppMetadataTable, "rowid", Value(1), &error);
    if (!rows) {
      log(1, 12005, "Failed to query app metadata", {Value(error.fullDescription())});
      return false;
    }
    if (!rows->empty()) return true;
    TLMRecord record{{"rowid", Value(1)},
                     {"last_bundle_index", Value(0)},
                     {"last_bundle_start_timestamp", Value(0.0)},
                     {"last_bundle_end_timestamp", Value(0.0)}};
    if (!upsertDataType<TLMRecord>(record, kTLMAppMetadataTable, "rowid", Value(1),
                                   kTLMDatabaseAppMetadataMaxCount, &error,
                                   [](const TLMRecord& r) { return std::optional<TLMRecord>(r); })) {
      log(1, 12006, "Unable to update the app metadata. Error", {Value(error.fullDescription())});
      return false;
    }
    return true;
  });
}

bool TLMDatabase::checkSelect(const std::string& table, const std::string& columnName,
                              const Value& columnValue, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name to create data type from table");
  }
  if (columnName.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty column name to create data type from table");
  }
  if (columnValue.isNull()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received nil column value to create data type from table");
  }
  return true;
}

std::optional<TLMRows> TLMDatabase::rowsForSelect(const std::string& table,
                                                  const std::string& columnName,
                                                  const Value& columnValue, Error* error) {
  if (!checkSelect(table, columnName, columnValue, error)) return std::nullopt;
  return sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM " + table + " WHERE " + columnName + " = ?", {columnValue}, error);
}

bool TLMDatabase::checkUpsert(const std::string& table, const std::string& columnName,
                              const Value& columnValue, std::int64_t tableLimit, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty table name for checking upsert");
  }
  auto matching = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
  if (!matching) return false;
  if (*matching == 0) {
    auto all = sqliteStore_->rowCountForTableWithName(table, error);
    if (!all) return false;
    if (*all >= tableLimit) {
      return TLMStoreSetError(error, TLMStoreErrorBadState,
                              "Failed to insert data type. Table is full");
    }
  }
  return true;
}

bool TLMDatabase::checkUpdate(const std::string& table, const std::string& columnName,
                              const Value& columnValue, Error* error) {
  if (table.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty table name for updating");
  }
  auto matching = sqliteStore_->rowCountForTableWithName(table, columnName, columnValue, error);
  if (!matching) return false;
  if (*matching == 0) {
    return TLMStoreSetError(error, TLMStoreErrorBadState,
                            "Failed to update record. Item doesn't exist");
  }
  return true;
}
