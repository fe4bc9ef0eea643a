// Raw-event rows written through plain SQLite, as the benchmarks' baseline: the row the store
// writes for an event, and one insert committed on its own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <string>
#include <vector>

#include "measurement/model/TLMEvent.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

// The row data the store writes for `event`: the message without its name.
inline std::vector<std::uint8_t> plainRawEventRowData(const TLMEvent& event) {
  auto proto = event.protoEvent();
  NANOClearField(*proto, TLMPBEventSlot::name);
  return *proto->protoBuffer();
}

inline sqlite3_stmt* prepareRawEventInsert(sqlite3* db) {
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  return insert;
}

// One row, in the transaction in force.
inline void insertRawEventRow(sqlite3_stmt* insert, const TLMEvent& event,
                              const std::vector<std::uint8_t>& row, std::int64_t fingerprint) {
  sqlite3_bind_text(insert, 1, event.name().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_double(insert, 2, event.timestamp());
  sqlite3_bind_int64(insert, 3, fingerprint);
  sqlite3_bind_blob(insert, 4, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
  sqlite3_bind_int64(insert, 5, 0);
  sqlite3_step(insert);
  sqlite3_reset(insert);
}

// One row in its own exclusive transaction.
inline void commitRawEventRow(sqlite3* db, sqlite3_stmt* insert, const TLMEvent& event,
                              const std::vector<std::uint8_t>& row) {
  sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
  insertRawEventRow(insert, event, row, 42);
  sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
}

// Plain SQLite on a file whose schema the store made, opened the way the store opens it (with
// `storeSettings`, also with the store's connection settings; else with SQLite's defaults). With
// `countsCommit` every row is preceded by a commit that updates the daily counts row, as the
// engine's first transaction does.
class PlainWriter {
 public:
  PlainWriter(const std::string& path, bool countsCommit, bool storeSettings = true) : countsCommit_(countsCommit) {
    TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
    sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                    nullptr);
    if (storeSettings) TLMSqliteStore::applyConnectionSettings(db_);
    insert_ = prepareRawEventInsert(db_);
    sqlite3_prepare_v2(db_, "UPDATE app_metadata SET daily_events_count = IFNULL(daily_events_count, 0) + 1",
                       -1, &update_, nullptr);
  }
  ~PlainWriter() {
    sqlite3_finalize(update_);
    sqlite3_finalize(insert_);
    sqlite3_close(db_);
  }
  void write(const TLMEvent& event, const std::vector<std::uint8_t>& row) {
    if (countsCommit_) {
      sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      sqlite3_step(update_);
      sqlite3_reset(update_);
      sqlite3_exec(db_, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
    commitRawEventRow(db_, insert_, event, row);
  }
  // Rows [first, end) in one exclusive transaction.
  void writeInOneCommit(const std::vector<TLMEventPtr>& events, const std::vector<std::vector<std::uint8_t>>& rows,
                        int first, int end) {
    sqlite3_exec(db_, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    for (int i = first; i < end; ++i) insertRawEventRow(insert_, *events[i], rows[i], 42);
    sqlite3_exec(db_, "END TRANSACTION", nullptr, nullptr, nullptr);
  }

 private:
  const bool countsCommit_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* update_ = nullptr;
};
