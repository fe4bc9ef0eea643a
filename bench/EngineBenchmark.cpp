// Logs N events through the measurement engine until they are stored as raw events (the whole
// worker-queue pipeline: daily counts, aggregates, metadata, raw-event insert) and writes the same
// rows through plain SQLite with one commit each, taking turns in chunks within one run, and
// reports engine time / plain time as the counter "ratio". An event logged alone costs one commit
// in the engine (the daily counts and the stored event in one transaction). "plain2_ratio"
// compares with plain SQLite doing the event's two writes (a counts-row update, then the insert)
// in two commits, as the engine did before it stored a lone event in one transaction.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "BenchEngine.h"
#include "PlainRawEvents.h"
#include "QuickRun.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using SteadyClock = std::chrono::steady_clock;

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

// An engine on a manual worker queue and clock, started before timing begins.
struct Engine {
  std::shared_ptr<platform::ManualClock> clock = std::make_shared<platform::ManualClock>();
  platform::ScopedClock scopedClock{clock};
  BenchEngine bench{clock};
  std::shared_ptr<TLMMeasurementEngine>& engine = bench.engine;
  std::shared_ptr<platform::ManualQueue>& worker = bench.worker;
};

double secondsSince(SteadyClock::time_point start) {
  return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// The three writers take turns in chunks of events, so that a disk whose speed changes during
// the run (other processes) weighs on all of them alike.
void BM_EngineEventsToRawEvents(benchmark::State& state) {
  const int count = static_cast<int>(state.range(0));
  constexpr int kChunk = 25;
  double engineTotal = 0, plainTotal = 0, plain2Total = 0;
  for (auto _ : state) {
    state.PauseTiming();
    // A sandbox or store that cannot be made (a full disk, say) ends the run, saying why.
    try {
      platform::sandbox::ScopedTemporarySandbox sandbox;
      platform::Value info;
      info.set("CFBundleIdentifier", platform::Value("com.example.bench"));
      info.set("CFBundleShortVersionString", platform::Value("1.0"));
      platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));
      const auto events = makeEvents(count, 1700000000.0);
      std::vector<std::vector<std::uint8_t>> rows;
      for (const auto& event : events) rows.push_back(plainRawEventRowData(*event));
      {
        Engine bench;
        PlainWriter plain(sandbox.root() + "/plain.sql", false);
        PlainWriter plain2(sandbox.root() + "/plain2.sql", true);
        state.ResumeTiming();
        for (int first = 0; first < count; first += kChunk) {
          const int last = std::min(count, first + kChunk);
          auto start = SteadyClock::now();
          for (int i = first; i < last; ++i) {
            bench.engine->logEvent(events[i]);
            bench.worker->drain();
          }
          engineTotal += secondsSince(start);
          start = SteadyClock::now();
          for (int i = first; i < last; ++i) plain.write(*events[i], rows[i]);
          plainTotal += secondsSince(start);
          start = SteadyClock::now();
          for (int i = first; i < last; ++i) plain2.write(*events[i], rows[i]);
          plain2Total += secondsSince(start);
        }
        state.PauseTiming();
      }
      platform::Bundle::resetForTesting();
    } catch (const std::exception& failure) {
      platform::Bundle::resetForTesting();
      state.ResumeTiming();
      state.SkipWithError(failure.what());
      return;
    }
    state.ResumeTiming();
  }
  const double n = static_cast<double>(count) * static_cast<double>(state.iterations());
  state.counters["engine_us_per_event"] = 1e6 * engineTotal / n;
  state.counters["plain_us_per_event"] = 1e6 * plainTotal / n;
  state.counters["plain2_us_per_event"] = 1e6 * plain2Total / n;
  state.counters["ratio"] = plainTotal > 0 ? engineTotal / plainTotal : 0;
  state.counters["plain2_ratio"] = plain2Total > 0 ? engineTotal / plain2Total : 0;
}

BENCHMARK(BM_EngineEventsToRawEvents)
    ->Apply([](benchmark::internal::Benchmark* b) { benchSizes(b, {500}, 5, 2.0); })
    ->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
