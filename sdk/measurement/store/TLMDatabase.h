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

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/store/TLMDatabaseSchema.h"
#include "measurement/store/TLMSqliteStore.h"
#include "measurement/store/TLMStoreServices.h"

class TLMDatabase {
 public:
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
  TLMStoreSettings& settings() const { return *settings_; }
  const std::string& databasePath() const { return databasePath_; }

  // Deletes the file and starts again with an empty schema.
  bool reset();
  bool performTransaction(const std::function<bool()>& block);
  bool ensureAllTables();
  bool initializeAppMetadata();

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
  std::optional<TLMRows> rowsForSelect(const std::string& table, const std::string& columnName,
                                       const platform::Value& columnValue, platform::Error* error);

  std::unique_ptr<TLMSqliteStore> sqliteStore_;
  std::shared_ptr<TLMStoreSettings> settings_;
  TLMStoreMonitor* monitor_;
  std::string databasePath_;
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
