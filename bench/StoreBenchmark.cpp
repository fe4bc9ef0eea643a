// Raw-event writes through the measurement store against the same rows through plain SQLite on
// a connection opened the same way. Each benchmark reports store time / plain time as the
// counter "ratio" where it compares the two.
//
// - BM_RawEventWrites: one transaction per event, as the event pipeline commits: mostly the
//   cost of the commit itself.
// - BM_RawEventWritesBatched: 1000 events per transaction. The plain side encodes each row in
//   its loop too, so the ratio shows what the store adds to one insert.
// - BM_RawEventInsertWithStoredRows: the store work of the pipeline for one event (metadata
//   row, raw-event cap, insert; one transaction) with 0, 10k or 100k events already stored. Its
//   cost must not grow with the table.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "QuickRun.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kFingerprint = 42;

// A new folder in the temporary folder; empty, with `why` set, when none could be made.
std::string makeTempDirectory(std::string& why) {
  std::string pattern = (std::filesystem::temp_directory_path() / "store-bench-XXXXXX").string();
  if (::mkdtemp(pattern.data()) != nullptr) return pattern;
  why = "cannot make a folder in the temporary folder: " + std::string(std::strerror(errno));
  return {};
}

TLMEventPtr makeEvent(int i) {
  return TLMEvent::initWithOrigin("app", false, "level_up", 1700000000.0 + i, 0,
                                  {{"level", TLMObject(TLMValue(std::int64_t{i}))},
                                   {"character", TLMObject(TLMValue("wizard"))},
                                   {"score", TLMObject(TLMValue(1234.5))}});
}

std::vector<TLMEventPtr> makeEvents(int count) {
  std::vector<TLMEventPtr> events;
  for (int i = 0; i < count; ++i) events.push_back(makeEvent(i));
  return events;
}

// The row the store writes for `event`: the message without its name.
std::vector<std::uint8_t> rowData(const TLMEvent& event) {
  auto proto = event.protoEvent();
  NANOClearField(*proto, TLMPBEventSlot::name);
  return *proto->protoBuffer();
}

double seconds(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Stores `events`, `perTransaction` to a transaction. Negative on failure.
double storeSeconds(const std::string& path, const std::vector<TLMEventPtr>& events,
                    std::size_t perTransaction) {
  auto database = TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
  if (!database) return -1;
  auto start = Clock::now();
  for (std::size_t first = 0; first < events.size(); first += perTransaction) {
    bool ok = database->performTransaction([&] {
      for (std::size_t i = first; i < std::min(events.size(), first + perTransaction); ++i) {
        if (!database->insertRawEvent(events[i], kFingerprint, false, nullptr)) return false;
      }
      return true;
    });
    if (!ok) return -1;
  }
  return seconds(start);
}

// The same rows through plain SQLite: same schema (made by the store), a connection opened the
// same way, one prepared statement. With `encodeInLoop` the rows are encoded inside the timed
// loop, as the store must.
double plainSeconds(const std::string& path, const std::vector<TLMEventPtr>& events,
                    std::size_t perTransaction, bool encodeInLoop) {
  TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
  std::vector<std::vector<std::uint8_t>> rows;
  if (!encodeInLoop) {
    for (const auto& event : events) rows.push_back(rowData(*event));
  }
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_stmt* insert = nullptr;
  sqlite3_prepare_v2(db,
                     "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data, "
                     "is_realtime) VALUES (?, ?, ?, ?, ?)",
                     -1, &insert, nullptr);
  bool ok = true;
  auto start = Clock::now();
  for (std::size_t first = 0; first < events.size(); first += perTransaction) {
    sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
    for (std::size_t i = first; i < std::min(events.size(), first + perTransaction); ++i) {
      std::vector<std::uint8_t> encoded;
      const std::vector<std::uint8_t>& row = encodeInLoop ? (encoded = rowData(*events[i])) : rows[i];
      sqlite3_bind_text(insert, 1, events[i]->name().c_str(), -1, SQLITE_TRANSIENT);
      sqlite3_bind_double(insert, 2, events[i]->timestamp());
      sqlite3_bind_int64(insert, 3, kFingerprint);
      sqlite3_bind_blob(insert, 4, row.data(), static_cast<int>(row.size()), SQLITE_STATIC);
      sqlite3_bind_int64(insert, 5, 0);
      ok = sqlite3_step(insert) == SQLITE_DONE && ok;
      sqlite3_reset(insert);
    }
    ok = sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr) == SQLITE_OK && ok;
  }
  double elapsed = seconds(start);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return ok ? elapsed : -1;
}

void compare(benchmark::State& state, std::size_t perTransaction, bool encodeInLoop) {
  const int count = static_cast<int>(state.range(0));
  auto events = makeEvents(count);
  double storeTotal = 0;
  double plainTotal = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string why;
    std::string directory = makeTempDirectory(why);
    state.ResumeTiming();
    if (directory.empty()) {
      state.SkipWithError(why.c_str());
      return;
    }
    double store = storeSeconds(directory + "/store.sql", events, perTransaction);
    double plain = plainSeconds(directory + "/plain.sql", events, perTransaction, encodeInLoop);
    state.PauseTiming();
    std::error_code ignored;  // a folder left in the temporary folder is no reason to stop
    std::filesystem::remove_all(directory, ignored);
    state.ResumeTiming();
    if (store < 0 || plain < 0) {
      state.SkipWithError("write failed");
      return;
    }
    storeTotal += store;
    plainTotal += plain;
  }
  state.counters["store_us_per_event"] = 1e6 * storeTotal / (count * state.iterations());
  state.counters["plain_us_per_event"] = 1e6 * plainTotal / (count * state.iterations());
  state.counters["ratio"] = plainTotal > 0 ? storeTotal / plainTotal : 0;
}

void BM_RawEventWrites(benchmark::State& state) { compare(state, 1, false); }
void BM_RawEventWritesBatched(benchmark::State& state) { compare(state, 1000, true); }

// The metadata every event of the benchmark refers to.
std::shared_ptr<TLMPBMeasurementBundle> metadata() {
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  NANOSetString(*bundle, TLMPBMeasurementBundleSlot::app_id, "1:1:ios:1");
  NANOSetString(*bundle, TLMPBMeasurementBundleSlot::platform, "ios");
  return bundle;
}

void BM_RawEventInsertWithStoredRows(benchmark::State& state) {
  const int stored = static_cast<int>(state.range(0));
  std::string why;
  std::string directory = makeTempDirectory(why);
  if (directory.empty()) {
    state.SkipWithError(why.c_str());
    return;
  }
  auto database = TLMDatabase::initWithDatabasePath(directory + "/store.sql", nullptr, nullptr);
  auto bundle = metadata();
  const auto bytes = *bundle->protoBuffer();
  const std::int64_t fingerprint = tlm_64LSBMD5(platform::Bytes(bytes.begin(), bytes.end()));
  bool ok = database && database->performTransaction([&] {
    if (!database->insertIfNotExistsRawEventMetadata(*bundle, nullptr)) return false;
    for (int i = 0; i < stored; ++i) {
      if (!database->insertRawEvent(makeEvent(i), fingerprint, false, nullptr)) return false;
    }
    return true;
  });
  if (!ok) {
    database.reset();
    std::error_code ignored;
    std::filesystem::remove_all(directory, ignored);
    state.SkipWithError("fill failed");
    return;
  }
  int next = stored;
  for (auto _ : state) {
    state.PauseTiming();
    TLMEventPtr event = makeEvent(next++);
    state.ResumeTiming();
    ok = database->performTransaction([&] {
      return database->insertIfNotExistsRawEventMetadata(*bundle, nullptr) &&
             database->deleteRawEventsOverAbsoluteLimit(nullptr).has_value() &&
             database->insertRawEvent(event, fingerprint, false, nullptr);
    });
    if (!ok) {
      state.SkipWithError("insert failed");
      break;
    }
  }
  database.reset();
  std::error_code ignored;
  std::filesystem::remove_all(directory, ignored);
}

BENCHMARK(BM_RawEventWrites)
    ->Apply([](benchmark::internal::Benchmark* b) { benchSizes(b, {500}, 5, 2.0); })
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawEventWritesBatched)
    ->Apply([](benchmark::internal::Benchmark* b) { benchSizes(b, {20000}, 20, 2.0); })
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RawEventInsertWithStoredRows)
    ->Apply([](benchmark::internal::Benchmark* b) { benchSizes(b, {0, 10000, 100000}, 20, 2.0); })
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
