// A host app whose threads log events while it forks children that use the SDK too: each child
// logs events and says the app is ending, then exits. The SDK does nothing in such a child: its
// calls return at once, the app's end reports that it could not keep the child's work, and the
// parent's store never holds a child's event nor any row twice.
//
//   fork_while_logging_host <forks> [threads] [events per second per thread, 0: without pause]
//
// Prints one summary line. Exit status 0 when no child hung or failed and the store is sound;
// 1 otherwise. VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's
// bundle (the embedding example's serves) and data folders.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "Bounds.h"
#include "ForkedChild.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "uikit/UIKit.h"

// Under AddressSanitizer a child forked while another thread records an allocation's stack finds
// the sanitizer's own lock of its stack store taken, and its first allocation waits for ever (the
// runtime does not take that lock across fork). This host forks again and again while its threads
// allocate without pause, so it meets that: it records no allocation stacks. That also turns the
// leak checker off here (a leak without a stack is not reported), which is why only the
// fork-stress programs do it; every other test program is checked for leaks.
extern "C" __attribute__((weak)) const char* __asan_default_options() { return "malloc_context_size=0"; }

namespace {

constexpr int kChildEvents = 20;

// Exit statuses of a child.
constexpr int kChildEndReportedKept = 3;  // the app's end said all was kept

void logIndexed(const std::string& name, std::int64_t source, std::int64_t index) {
  TLMObjectDictionary parameters;
  parameters.set("source", TLMObject(source));
  parameters.set("index", TLMObject(index));
  CDVAnalytics::logEventWithName(name, parameters);
}

[[noreturn]] void inChild(int fork) {
  alarm(static_cast<unsigned>(testsupport::kEventWait.count()));  // a child that hangs is ended by its alarm
  for (int i = 0; i < kChildEvents; ++i) logIndexed("child_logged", fork, i);
  std::exit(UIApplication().terminate() ? kChildEndReportedKept : 0);
}

std::int64_t count(TLMSqliteStore& store, const std::string& query) {
  auto value = store.numberForQuery(query, {}, nullptr);
  return value ? value->int64Value().value_or(-1) : -1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: fork_while_logging_host <forks> [threads] [events per second]\n");
    return 2;
  }
  const int forks = std::atoi(argv[1]);
  const int threads = argc > 2 ? std::atoi(argv[2]) : 4;
  const int rate = argc > 3 ? std::atoi(argv[3]) : 20;

  // Nothing listens at this address: an upload that starts fails at once.
  TLMMeasurementEngine::setCollectionServerURL("http://127.0.0.1:9");
  CDVApp::configure();
  // Without pause the threads log far more than the store takes in the run: collection is off, so
  // the calls take the same road (and locks) but their events are dropped on the SDK's queue.
  if (rate == 0) CDVAnalytics::setAnalyticsCollectionEnabled(false);

  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> logged{0};
  std::vector<std::thread> loggers;
  for (int t = 0; t < threads; ++t) {
    loggers.emplace_back([&, t] {
      const auto pause = std::chrono::microseconds(1000000 / (rate > 0 ? rate : 1));
      for (std::int64_t i = 0; !stop; ++i) {
        logIndexed("parent_logged", t, i);
        ++logged;
        if (rate > 0) std::this_thread::sleep_for(pause);
      }
    });
  }

  const testsupport::ForkTally tally = testsupport::forkRepeatedly(forks, inChild, testsupport::kChildLife);
  stop = true;
  for (auto& logger : loggers) logger.join();
  // What the parent logged is all stored: the app's end's own wait of a few seconds would make
  // that depend on how fast a busy machine stores the events logged last.
  const bool parentKept = TLMAnalytics::waitForQueuedWork(testsupport::kEventWait.count());

  auto database = TLMDatabase::initWithDatabaseName(kTLMDatabaseFileName, nullptr, nullptr);
  if (!database) {
    std::fprintf(stderr, "the store cannot be opened\n");
    return 1;
  }
  TLMSqliteStore& store = *database->sqliteStore();
  const std::int64_t stored = count(store, "SELECT count(1) FROM raw_events WHERE name = 'parent_logged'");
  const std::int64_t fromChildren = count(store, "SELECT count(1) FROM raw_events WHERE name = 'child_logged'");
  const std::int64_t twice = count(store,
                                   "SELECT count(1) FROM (SELECT 1 FROM raw_events GROUP BY name, timestamp, data "
                                   "HAVING count(1) > 1)");
  std::printf(
      "forks %d, hung %d, failed %d; parent logged %lld, stored %lld, kept at its end %s; child events stored "
      "%lld; rows stored twice %lld\n",
      forks, tally.hung, tally.failed, static_cast<long long>(logged.load()), static_cast<long long>(stored),
      parentKept ? "yes" : "no", static_cast<long long>(fromChildren), static_cast<long long>(twice));
  const bool sound = tally.hung == 0 && tally.failed == 0 && (rate == 0 || (parentKept && stored > 0)) &&
                     fromChildren == 0 && twice == 0;
  return sound ? 0 : 1;
}
