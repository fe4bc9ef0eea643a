// Logs N events through the measurement engine until they are stored as raw events (the whole
// worker-queue pipeline: daily counts, aggregates, metadata, raw-event insert), then writes N rows
// through plain SQLite with one commit each, in the same run, and reports engine time / plain time
// as the counter "ratio". An ordinary event costs two commits in the engine (the daily counts and
// the stored event), so the commit floor of the ratio is about 2. "plain2_ratio" compares with
// plain SQLite doing those same two commits per event (a counts row update and the insert), which
// isolates what the engine adds beyond its commits.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "foundation/AdSupport.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "PlainRawEvents.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

class BenchAdManager : public platform::ASIdentifierManager {
 public:
  bool isAdvertisingTrackingEnabled() const override { return true; }
  std::string advertisingIdentifier() const override { return "6D92078A-8246-4BA4-AE5B-76104861E7DC"; }
};

std::vector<TLMEventPtr> makeEvents(int count, double start) {
  std::vector<TLMEventPtr> events;
  for (int i = 0; i < count; ++i) {
    events.push_back(TLMEvent::initWithOrigin(
        "app", true, "level_up", start + i * 0.001, 0,
        {{"level", TLMObject(TLMValue(std::int64_t{i}))},
         {"character", TLMObject(TLMValue("wizard"))},
         {"score", TLMObject(TLMValue(1234.5))}}));
  }
  return events;
}

// An engine on a manual worker queue, started (first open written) before timing begins.
struct Engine {
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  std::shared_ptr<platform::ManualQueue> worker = platform::ManualQueue::create(kTLMSchedulerWorkerQueueLabel);
  std::shared_ptr<platform::ManualQueue> syncQueue = platform::ManualQueue::create("sync");
  std::shared_ptr<TLMMeasurementEngine> engine;

  Engine() {
    auto persisted = TLMPersistedConfig::initWithUserDefaults(
        TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, syncQueue));
    auto identity = TLMIdentity::initWithPersistedConfig(
        persisted, std::make_shared<TLMASIdentifierManager>(std::make_shared<BenchAdManager>()),
        [] { return TLMRemoteConfig::defaultInstance(); });
    identity->setAppIDFromQPX("1:1234:ios:abcd");
    TLMEngineCollaborators collaborators;
    collaborators.persistedConfig = persisted;
    collaborators.scheduler = std::make_shared<TLMScheduler>(worker);
    collaborators.alarm = std::make_shared<TLMAlarm>(worker, kTLMMeasurementTimerName);
    collaborators.clock = clock;
    collaborators.services.identity = [identity] { return identity; };
    collaborators.services.identifiers = std::make_shared<TLMIdentifiers>();
    collaborators.services.loadTimestamp = [this] { return clock->now(); };
    collaborators.services.keychainAppID = "com.example.bench";
    engine = TLMMeasurementEngine::create(std::move(collaborators), "1:1234:ios:abcd", true, false, {});
    worker->drain();
  }
  ~Engine() {
    engine.reset();
    worker->drain();
  }
};

double engineSeconds(const std::vector<TLMEventPtr>& events) {
  Engine bench;
  auto start = SteadyClock::now();
  for (const auto& event : events) {
    bench.engine->logEvent(event);
    bench.worker->drain();
  }
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// One commit per event (commitsPerEvent 1) or two: a counts-row update, then the insert.
double plainSeconds(const std::string& path, const std::vector<TLMEventPtr>& events, int commitsPerEvent) {
  TLMDatabase::initWithDatabasePath(path, nullptr, nullptr);
  std::vector<std::vector<std::uint8_t>> rows;
  for (const auto& event : events) rows.push_back(plainRawEventRowData(*event));
  sqlite3* db = nullptr;
  sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                  nullptr);
  sqlite3_stmt* insert = prepareRawEventInsert(db);
  sqlite3_stmt* update = nullptr;
  sqlite3_prepare_v2(db, "UPDATE app_metadata SET daily_events_count = IFNULL(daily_events_count, 0) + 1", -1,
                     &update, nullptr);
  auto start = SteadyClock::now();
  for (std::size_t i = 0; i < events.size(); ++i) {
    if (commitsPerEvent == 2) {
      sqlite3_exec(db, "BEGIN EXCLUSIVE TRANSACTION", nullptr, nullptr, nullptr);
      sqlite3_step(update);
      sqlite3_reset(update);
      sqlite3_exec(db, "END TRANSACTION", nullptr, nullptr, nullptr);
    }
    commitRawEventRow(db, insert, *events[i], rows[i]);
  }
  double seconds = std::chrono::duration<double>(SteadyClock::now() - start).count();
  sqlite3_finalize(update);
  sqlite3_finalize(insert);
  sqlite3_close(db);
  return seconds;
}

void BM_EngineEventsToRawEvents(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  double engineTotal = 0, plainTotal = 0, plain2Total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    platform::sandbox::ScopedTemporarySandbox sandbox;
    platform::Value info;
    info.set("CFBundleIdentifier", platform::Value("com.example.bench"));
    info.set("CFBundleShortVersionString", platform::Value("1.0"));
    platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));
    auto events = makeEvents(count, 1700000000.0);
    state.ResumeTiming();
    const double engine = engineSeconds(events);
    const double plain = plainSeconds(sandbox.root() + "/plain.sql", events, 1);
    const double plain2 = plainSeconds(sandbox.root() + "/plain2.sql", events, 2);
    engineTotal += engine;
    plainTotal += plain;
    plain2Total += plain2;
    state.PauseTiming();
    platform::Bundle::resetForTesting();
    state.ResumeTiming();
  }
  const double n = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["engine_us_per_event"] = 1e6 * engineTotal / n;
  state.counters["plain_us_per_event"] = 1e6 * plainTotal / n;
  state.counters["plain2_us_per_event"] = 1e6 * plain2Total / n;
  state.counters["ratio"] = plainTotal > 0 ? engineTotal / plainTotal : 0;
  state.counters["plain2_ratio"] = plain2Total > 0 ? engineTotal / plain2Total : 0;
}

BENCHMARK(BM_EngineEventsToRawEvents)->Arg(500)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace

BENCHMARK_MAIN();
