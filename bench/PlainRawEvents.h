// Raw-event rows written through plain SQLite, as the benchmarks' baseline: the row the store
// writes for an event, and one insert committed on its own.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <vector>

#include "measurement/model/TLMEvent.h"
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

// One row in its own exclusive transaction.
inline void commitRawEventRow(sqlite3* db, sqlite3_stmt* insert, const TLMEvent& event,
                              const std::vector<std::uint8_t>& row) {
  sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
  sqlite3_bind_text(insert, 1, event.name().c_str(), -1, SQLITE_TRANSIENT);
  sqlite3_bind_double(insert, 2, event.timestamp());
  sqlite3_bind_int64(insert, 3, 42);
  sqlite3_bind_blob(insert, 4, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
  sqlite3_bind_int64(insert, 5, 0);
  sqlite3_step(insert);
  sqlite3_reset(insert);
  sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
}
