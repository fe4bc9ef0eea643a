// The work of N events, one process a side, for counting instructions (valgrind --tool=callgrind)
// where the machine's load makes times too noisy to compare small differences:
//
//   engine N         N events logged through the engine one at a time, each stored (one commit)
//   plain N          the same rows through plain SQLite with two commits an event (a counts-row
//                    update, then the insert; as the engine did before it stored a lone event in
//                    one transaction)
//   store-batched N  N raw-event inserts through the store, 1000 to a transaction
//   plain-batched N  the same rows through plain SQLite, 1000 to a transaction
//
// The cost of one event is the difference between two runs (say N = 300 and 600) divided by the
// difference in N, which leaves out the start and the set-up. It prints the time per event too.
// Files go to a temporary sandbox under TMPDIR (use a tmpfs to leave the disk out).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "BenchEngine.h"
#include "PlainRawEvents.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "measurement/model/TLMObject.h"

namespace {

// Stores `count` events the way `mode` says and prints the cost of each; 1 when a write failed.
int measure(const std::string& mode, int count) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  platform::Value info;
  info.set("CFBundleIdentifier", platform::Value("com.example.bench"));
  info.set("CFBundleShortVersionString", platform::Value("1.0"));
  platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));
  std::vector<TLMEventPtr> events;
  std::vector<std::vector<std::uint8_t>> rows;
  for (int i = 0; i < count; ++i) {
    events.push_back(TLMEvent::initWithOrigin("app", true, "level_up", 1700000000.0 + i * 0.001, 0,
                                              {{"level", TLMObject(TLMValue(std::int64_t{i}))},
                                               {"character", TLMObject(TLMValue("wizard"))},
                                               {"score", TLMObject(TLMValue(1234.5))}}));
    rows.push_back(plainRawEventRowData(*events.back()));
  }
  constexpr int kBatch = 1000;
  double seconds = 0;
  bool ok = true;
  {
    auto clock = std::make_shared<platform::ManualClock>(1700000000.0);
    platform::ScopedClock scopedClock{clock};
    BenchEngine bench{clock};
    PlainWriter plain(sandbox.root() + "/plain.sql", true);
    auto store = TLMDatabase::initWithDatabasePath(sandbox.root() + "/batched.sql", nullptr, nullptr);
    const auto start = std::chrono::steady_clock::now();
    for (int first = 0; first < count; first += kBatch) {
      const int end = std::min(count, first + kBatch);
      if (mode == "engine") {
        for (int i = first; i < end; ++i) {
          bench.engine->logEvent(events[i]);
          bench.worker->drain();
        }
      } else if (mode == "plain") {
        for (int i = first; i < end; ++i) plain.write(*events[i], rows[i]);
      } else if (mode == "store-batched") {
        ok = store && store->performTransaction([&] {
          for (int i = first; i < end; ++i) {
            if (!store->insertRawEvent(events[i], 42, false, nullptr)) return false;
          }
          return true;
        }) && ok;
      } else {
        plain.writeInOneCommit(events, rows, first, end);
      }
    }
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  }
  platform::Bundle::resetForTesting();
  if (!ok) {
    std::fprintf(stderr, "a write failed\n");
    return 1;
  }
  std::printf("%s %d: %.2f us per event\n", mode.c_str(), count, 1e6 * seconds / count);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const std::set<std::string> modes{"engine", "plain", "store-batched", "plain-batched"};
  const int count = argc == 3 ? std::atoi(argv[2]) : 0;
  if (count <= 0 || modes.count(argv[1]) == 0) {
    std::fprintf(stderr, "usage: event_cost engine|plain|store-batched|plain-batched N\n");
    return 2;
  }
  // A sandbox or store that cannot be made (a full disk, say) ends the run, saying why; the
  // sandbox goes on the way out.
  try {
    return measure(argv[1], count);
  } catch (const std::exception& failure) {
    std::fprintf(stderr, "event_cost: %s\n", failure.what());
    return 1;
  }
}
