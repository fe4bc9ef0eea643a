// Writes N raw events through the measurement store (one transaction per event, as the event
// pipeline does), then the same rows through plain SQLite with the same connection settings and
// one transaction per event, and reports store time / plain time as the counter "ratio".
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "PlainRawEvents.h"
#include "measurement/model/TLMObject.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string makeTempDirectory() {
  std::string pattern = (std::filesystem::temp_directory_path() / "store-bench-XXXXXX").string();
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  return ::mkdtemp(buffer.data());
}

std::vector<TLMEventPtr> makeEvents(int count) {
  std::vector<TLMEventPtr> events;
  for (int i = 0; i < count; ++i) {
    events.push_back(TLMEvent::initWithOrigin(
        "app", false, "level_up", 1700000000.0 + i, 0,
        {{"level", TLMObject(TLMValue(std::int64_t{i}))},
         {"character", TLMObject(TLMValue("wizard"))},
         {"score", TLMObject(TLMValue(1234.5))}}));
  }
  return events;
}

double storeSeconds(const std::string& path, const std::vector<TLMEventPtr>& events) {
  auto database = TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
  if (!database) return -1;
  auto start = Clock::now();
  for (const auto& event : events) {
    bool ok = database->performTransaction(
        [&] { return database->insertRawEvent(event, 42, false, nullptr); });
    if (!ok) return -1;
  }
  return std::chrono::duration<double>(Clock::now() - start).count();
}

double plainSeconds(const std::string& path, const std::vector<TLMEventPtr>& events) {
  // Same schema, made by the store, then plain SQLite on a connection opened the same way.
  TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
  std::vector<std::vector<std::uint8_t>> rows;
  for (const auto& event : events) rows.push_back(plainRawEventRowData(*event));
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db,
                  SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr);
  sqlite3_stmt* insert = prepareRawEventInsert(db);
  auto start = Clock::now();
  for (std::size_t i = 0; i < events.size(); ++i) {
    commitRawEventRow(db, insert, *events[i], rows[i]);
  }
  double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return seconds;
}

void BM_RawEventWrites(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  auto events = makeEvents(count);
  double storeTotal = 0;
  double plainTotal = 0;
  for (auto _ : state) {
    state.PauseTiming();
    std::string directory = makeTempDirectory();
    state.ResumeTiming();
    double store = storeSeconds(directory + "/store.sql", events);
    double plain = plainSeconds(directory + "/plain.sql", events);
    state.PauseTiming();
    std::filesystem::remove_all(directory);
    state.ResumeTiming();
    if (store < 0 || plain < 0) {
      state.SkipWithError("write failed");
      return;
    }
    storeTotal += store;
    plainTotal += plain;
  }
  state.counters["store_ms_per_event"] = 1000.0 * storeTotal / (count * state.iterations());
  state.counters["plain_ms_per_event"] = 1000.0 * plainTotal / (count * state.iterations());
  state.counters["ratio"] = plainTotal > 0 ? storeTotal / plainTotal : 0;
}

BENCHMARK(BM_RawEventWrites)->Arg(500)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
