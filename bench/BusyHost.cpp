// A host that keeps logging, as an app logging from a background thread embeds the SDK, against a
// loopback collector in this process: how fast the store takes the events and when they reach the
// collector.
//
//   busy_host_bench [--quick] [--interval MS] [--seconds S] [--debug] [--fast] [--cpus LIST]
//                   [--busy N] [--folder DIR] [--log FILE] [--property N] [--reader] [--hosts 2]
//                   [--hold H] [--exclusive] [--transactions] [--runs N] [--answer-ms MS]
//
// Starts the host as a child process (under `taskset -c LIST` with --cpus, e.g. 0,1 for a
// two-core device), with a fresh data folder under DIR (TMPDIR's folder by default; /dev/shm
// leaves the disk out) and, with --debug, `-CDVAnalyticsDebugEnabled`. Right after `configure` the
// host logs 10 events "marked" on its main thread while a thread logs an event "busy" every MS
// milliseconds (3) for S seconds (10); then it ends the app (UIApplication::terminate) and
// returns. With --fast (once the start's work is stored) the thread logs as fast as it can,
// pausing while the engine holds more than 20,000 events not yet stored (200 with --quick), so
// that memory stays bounded while the store always has work, and the daily limits and the
// raw-event cap are raised to their most, so that they drop nothing. --busy N starts N processes
// that spin on the same processors for as long as the host runs (a device busy with other
// work). --log FILE keeps the host's standard error (its log) there. Prints one line of figures:
//   logged 10010 backlog-seconds 0.004 first-batch-seconds 1.02 collected-at-end 0.912
//   terminate-seconds 0.05 batches 12
// backlog-seconds: the events the engine holds not yet stored when the logging ends, in seconds
// of logging; first-batch-seconds: from the first event to the first batch that carries one of
// the host's events (-1: none came); collected-at-end: the share of the events logged that the
// collector had when the host began to end the app; terminate-seconds: how long the end took.
// With --fast instead:
//   logged 180000 stored-per-second 15000.0
// the "busy" events stored when the logging ends (counted by their "Event logged" line, which
// follows the commit), over S. --quick: one short run, to check that it still builds and runs.
// --property N (with --fast): the host sets a user property every N events, in their order.
// --reader (with --fast): this process reads the store with a plain SQLite connection (busy
// timeout 10 s, as the README shows) while the host logs, one short read every 2 ms, and adds
//   reads 4800 read-p99-seconds 0.012 read-max-seconds 0.090 reads-failed 0
// --hosts 2 (with --fast): two processes of one app (the same folders) log flat out side by side;
// both begin to log 2 s after their launch (or at once, when a start took longer) and log for S;
// the line gives each one's rate and the smaller one's share of the events stored:
//   logged 300000 stored-per-second 9000.0 4000.0 5000.0 share-of-smaller 0.444
// --hold H (without --fast): 1 s after the store appears this process holds its write lock
// (BEGIN IMMEDIATE, or BEGIN EXCLUSIVE with --exclusive) for H seconds, as a tool would; give
// --seconds past it, so that the host's end comes after the hold. Adds what the host counted once
// its end returned, and its peak memory (BUSY_HOST_MAX_QUEUED_BYTES in the environment sets the
// host's bound of the events waiting in memory):
//   held 60.0 stored 35010 failed 0 begin-failures 0 end-true 1 peak-rss-mb 48.2
// --transactions (without --fast): the host times each of its store's transactions, from its
// BEGIN to its COMMIT or ROLLBACK (the statements' own steps included), and the line adds the
// count, median and total time of its write transactions (BEGIN IMMEDIATE) and of all of them,
// and the count and median of those that changed a row (a write transaction can change none):
//   write-transactions 5200 write-transaction-p50-ms 0.80 write-transactions-ms 5100.0
//   transactions 9800 transaction-p50-ms 0.21 transactions-ms 5400.0
//   changing-transactions 4900 changing-transaction-p50-ms 0.85
// and, as the two counts differ between builds (one that makes more short transactions has a
// lower median over all), each kind's count and median, told by its statements: those that
// store events, bundling passes that made a bundle (an upload's hold taken in the last), those
// that found nothing to bundle, the deletes of sent bundles, and reads:
//   store-transactions 3000 store-transaction-p50-ms 1.50 bundling-transactions 300
//   bundling-transaction-p50-ms 2.00 empty-passes 0 empty-pass-p50-ms -1 delete-transactions 300
//   delete-transaction-p50-ms 1.20 read-transactions 700 read-transaction-p50-ms 0.12
// --runs N (without --fast, --hosts, --reader, --hold, --transactions): N launches of the host one
// after another on the same data, as a developer's short runs in a row; each sends at its uploads
// what the ones before it left. --answer-ms MS: the collector answers each batch MS milliseconds
// after it came (a collector far away). The line is then the collector's count of the bundles it
// received, of those it received again (told by app instance and bundle index) with their events,
// and the launches whose end answered false:
//   runs 10 bundles 240 repeated-bundles 0 repeated-events 0 ends-false 0
#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <httplib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <numeric>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <sqlite3.h>

#include <algorithm>

#include "BatchReader.h"
#include "Core/Public/CDVApp.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/analytics/TLMAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabaseSchema.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"
#include "uikit/UIKit.h"

extern char** environ;

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::int64_t kMostWaiting = 20000;
constexpr std::int64_t kMostWaitingQuick = 200;
constexpr int kMarkedEvents = 10;

std::int64_t nanosecondsNow() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now().time_since_epoch()).count();
}

// MARK: - The host (child process)

// Transactions timed by the host (BUSY_HOST_TRANSACTIONS): each connection's open one, and the
// milliseconds of those that ended, write transactions apart.
struct TransactionTimes {
  struct Open {
    Clock::time_point begun;
    bool write = false;
    sqlite3_int64 changes = 0;  // the connection's count of changed rows at the BEGIN
    bool storesEvents = false, bundles = false, deletesSent = false;
  };
  std::mutex mutex;
  std::map<sqlite3*, Open> open;
  std::vector<double> all, writes, changing;
  std::vector<double> stores, bundling, emptyPasses, deletes, reads;
};
std::atomic<TransactionTimes*> gTransactionTimes{nullptr};
std::atomic<int (*)(sqlite3_stmt*)> gRealStep{nullptr};

double medianOf(std::vector<double> values) {
  if (values.empty()) return -1;
  std::sort(values.begin(), values.end());
  return values[values.size() / 2];
}

}  // namespace

// Every statement the SDK steps passes here; the transactions' bounds are timed.
extern "C" int sqlite3_step(sqlite3_stmt* statement) {
  auto real = gRealStep.load();
  if (real == nullptr) {
    real = reinterpret_cast<int (*)(sqlite3_stmt*)>(::dlsym(RTLD_NEXT, "sqlite3_step"));
    gRealStep.store(real);
  }
  TransactionTimes* times = gTransactionTimes.load();
  if (times == nullptr) return real(statement);
  const char* sql = sqlite3_sql(statement);
  const auto begun = Clock::now();
  const int rc = real(statement);
  if (sql == nullptr) return rc;
  const std::string_view text(sql);
  sqlite3* db = sqlite3_db_handle(statement);
  std::lock_guard<std::mutex> lock(times->mutex);
  if (text.rfind("BEGIN", 0) == 0) {
    if (rc == SQLITE_DONE) {
      times->open[db] = {begun, text.find("IMMEDIATE") != std::string_view::npos, sqlite3_total_changes64(db)};
    }
  } else if (text == "COMMIT TRANSACTION" || text == "END TRANSACTION" || text == "ROLLBACK TRANSACTION" ||
             text == "ROLLBACK") {
    if (auto it = times->open.find(db); it != times->open.end() && sqlite3_get_autocommit(db) != 0) {
      const double ms = std::chrono::duration<double, std::milli>(Clock::now() - it->second.begun).count();
      const TransactionTimes::Open& done = it->second;
      const bool changed = sqlite3_total_changes64(db) != done.changes;
      times->all.push_back(ms);
      if (done.write) times->writes.push_back(ms);
      if (changed) times->changing.push_back(ms);
      if (!done.write) {
        times->reads.push_back(ms);
      } else if (done.storesEvents) {
        times->stores.push_back(ms);
      } else if (done.bundles) {
        (changed ? times->bundling : times->emptyPasses).push_back(ms);
      } else if (done.deletesSent) {
        times->deletes.push_back(ms);
      }
      times->open.erase(it);
    }
  } else if (auto it = times->open.find(db); it != times->open.end()) {
    TransactionTimes::Open& begun = it->second;
    begun.storesEvents = begun.storesEvents || text.rfind("INSERT OR REPLACE INTO raw_events ", 0) == 0;
    begun.bundles = begun.bundles || text.rfind("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events", 0) == 0;
    begun.deletesSent = begun.deletesSent || text.rfind("DELETE FROM queue WHERE rowid IN", 0) == 0;
  }
  return rc;
}

namespace {

// The daily limits and the raw-event cap at their most, as the collector's configuration would
// set them.
bool raiseLimits(const std::shared_ptr<TLMMeasurementEngine>& engine) {
  auto remote = engine->remoteConfig();
  if (!remote) return false;
  auto config = TLMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetString(*config, TLMPBMeasurementConfigSlot::measurement_app_id, remote->appID());
  NANOSetInt64(*config, TLMPBMeasurementConfigSlot::version, 1);
  std::vector<std::shared_ptr<TLMPBSetting>> settings;
  for (const char* name : {"measurement.upload.max_events_per_day", "measurement.upload.max_public_events_per_day",
                           "measurement.store.max_stored_events_per_app"}) {
    auto setting = TLMPBSetting::initWithMessageInfo(nullptr);
    NANOSetString(*setting, TLMPBSettingSlot::name, name);
    NANOSetString(*setting, TLMPBSettingSlot::value, "1000000");
    settings.push_back(setting);
  }
  NANOSetArray(*config, TLMPBMeasurementConfigSlot::settings, settings);
  bool applied = false;
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("bench", [&] { applied = remote->updateMeasurementConfig(config); });
  return applied;
}

// Counts the "busy" events stored: their "Event logged" line follows the commit. (A reader of the
// store would wait for the writer to let go of it, which a busy worker seldom does.) Shows no
// line, so debug mode is off.
class StoredCount : public TLMMonitor {
 public:
  void logWithContexts(int, std::int64_t code, const std::string&, const std::vector<platform::Value>& contexts) override {
    if (code == 23072 && !contexts.empty() && contexts[0].stringValue().value_or("") == "busy") stored.fetch_add(1);
  }
  bool isDebugModeEnabled() const override { return false; }
  std::atomic<std::int64_t> stored{0};
};

// Counts the events stored ("busy" and "marked") and the begins that failed; shows no line.
class HoldCount : public TLMMonitor {
 public:
  void logWithContexts(int, std::int64_t code, const std::string&, const std::vector<platform::Value>& contexts) override {
    if (code == 34008) beginFailures.fetch_add(1);
    if (code != 23072 || contexts.empty()) return;
    const std::string name = contexts[0].stringValue().value_or("");
    if (name == "busy" || name == "marked") stored.fetch_add(1);
  }
  bool isDebugModeEnabled() const override { return false; }
  std::atomic<std::int64_t> stored{0};
  std::atomic<std::int64_t> beginFailures{0};
};

// The process's peak resident memory (VmHWM), in MB; -1 when unknown.
double peakResidentMegabytes() {
  FILE* status = std::fopen("/proc/self/status", "r");
  if (status == nullptr) return -1;
  char line[256];
  double kilobytes = -1;
  while (std::fgets(line, sizeof line, status) != nullptr) {
    if (std::sscanf(line, "VmHWM: %lf", &kilobytes) == 1) break;
  }
  std::fclose(status);
  return kilobytes < 0 ? -1 : kilobytes / 1024;
}

// The engine's bound of the events waiting in memory, where the build has one (earlier builds,
// built by the compare scripts, have none).
template <typename Engine>
void setMaxQueuedEventBytes(long long bytes) {
  if constexpr (requires { Engine::setMaxQueuedEventBytes(bytes); }) Engine::setMaxQueuedEventBytes(bytes);
}

// `mostWaiting`: 0 logs every `intervalMs`, else as fast as the store takes the events, pausing
// while the engine holds more than that many. `propertyEvery`: a user property set after every so
// many events (0: none).
int host(const std::string& collector, double intervalMs, double seconds, std::int64_t mostWaiting,
         std::int64_t propertyEvery) {
  const bool fast = mostWaiting > 0;
  auto count = std::make_shared<StoredCount>();
  auto holdCount = std::make_shared<HoldCount>();
  const bool held = std::getenv("BUSY_HOST_HELD") != nullptr;
  if (std::getenv("BUSY_HOST_TRANSACTIONS") != nullptr) gTransactionTimes.store(new TransactionTimes());
  if (fast) TLMMeasurement::setMonitor(count);
  if (held && !fast) TLMMeasurement::setMonitor(holdCount);
  if (const char* bound = std::getenv("BUSY_HOST_MAX_QUEUED_BYTES")) setMaxQueuedEventBytes<TLMMeasurementEngine>(std::atoll(bound));
  TLMMeasurementEngine::setCollectionServerURL(collector);
  CDVApp::configure();
  if (!CDVApp::isDefaultAppConfigured()) return 1;
  // The limits are raised once the start is done; else the host logs at once, as an app does.
  std::shared_ptr<TLMMeasurementEngine> engine;
  if (fast) {
    if (!TLMAnalytics::waitForQueuedWork(60)) return 1;
    engine = TLMMeasurementEngine::sharedInstance();
    if (!engine || !raiseLimits(engine)) return 1;
  }

  std::atomic<bool> stop{false};
  std::atomic<std::int64_t> logged{0};
  // Hosts side by side start logging at one moment (the launcher's), and end at one.
  if (const char* at = std::getenv("BUSY_HOST_START_NS")) {
    std::this_thread::sleep_until(Clock::time_point(std::chrono::nanoseconds(std::atoll(at))));
  }
  std::printf("start %lld\n", static_cast<long long>(nanosecondsNow()));
  std::fflush(stdout);
  const auto begun = Clock::now();
  std::thread logger([&] {
    auto next = Clock::now();
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double, std::milli>(intervalMs));
    while (!stop.load()) {
      TLMObjectDictionary parameters;
      parameters.set("index", TLMObject(logged.load()));
      CDVAnalytics::logEventWithName("busy", parameters);
      const std::int64_t done = logged.fetch_add(1) + 1;
      if (propertyEvery > 0 && done % propertyEvery == 0) {
        CDVAnalytics::setUserPropertyString(TLMObject(std::to_string(done)), "level");
      }
      if (fast) {
        while (engine->unfinishedEventCount() > mostWaiting && !stop.load()) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
      } else {
        next += interval;
        std::this_thread::sleep_until(next);
      }
    }
  });
  for (int i = 0; i < kMarkedEvents; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName("marked", parameters);
  }
  std::this_thread::sleep_until(begun + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds)));
  stop.store(true);
  logger.join();
  if (!engine) engine = TLMMeasurementEngine::sharedInstance();
  if (!engine) return 1;
  const std::int64_t unfinished = engine->unfinishedEventCount();
  const std::int64_t stored = fast ? count->stored.load() : -1;
  std::printf("end %lld %lld %lld %lld\n", static_cast<long long>(nanosecondsNow()),
              static_cast<long long>(logged.load() + kMarkedEvents), static_cast<long long>(unfinished),
              static_cast<long long>(stored));
  std::fflush(stdout);
  const auto ending = Clock::now();
  const bool allStored = UIApplication().terminate();
  std::printf("terminated %.3f %d\n", std::chrono::duration<double>(Clock::now() - ending).count(), allStored ? 1 : 0);
  if (TransactionTimes* times = gTransactionTimes.load()) {
    std::lock_guard<std::mutex> lock(times->mutex);
    const auto sum = [](const std::vector<double>& values) { return std::accumulate(values.begin(), values.end(), 0.0); };
    std::printf("transactions %zu %.3f %.1f %zu %.3f %.1f %zu %.3f\n", times->writes.size(), medianOf(times->writes),
                sum(times->writes), times->all.size(), medianOf(times->all), sum(times->all), times->changing.size(),
                medianOf(times->changing));
    std::printf("kinds store-transactions %zu store-transaction-p50-ms %.3f bundling-transactions %zu "
                "bundling-transaction-p50-ms %.3f empty-passes %zu empty-pass-p50-ms %.3f delete-transactions %zu "
                "delete-transaction-p50-ms %.3f read-transactions %zu read-transaction-p50-ms %.3f\n",
                times->stores.size(), medianOf(times->stores), times->bundling.size(), medianOf(times->bundling),
                times->emptyPasses.size(), medianOf(times->emptyPasses), times->deletes.size(),
                medianOf(times->deletes), times->reads.size(), medianOf(times->reads));
  }
  if (held && !fast) {
    std::printf("counted %lld %lld %lld %.1f\n", static_cast<long long>(holdCount->stored.load()),
                static_cast<long long>(engine->failedEventCount()), static_cast<long long>(holdCount->beginFailures.load()),
                peakResidentMegabytes());
  }
  std::fflush(stdout);
  return 0;
}

// MARK: - The collector and the launcher (this process)

class Collector {
 public:
  // `answerMs`: each batch is answered that long after it came, as by a collector far away.
  explicit Collector(double answerMs = 0) {
    server_.Get(R"(/config/app/.*)", [](const httplib::Request&, httplib::Response& response) { response.status = 404; });
    server_.Post("/a", [this, answerMs](const httplib::Request& request, httplib::Response& response) {
      auto bundles = collector::readBatch(request.body);
      const std::int64_t at = nanosecondsNow();
      countRepeats(request.body);
      if (answerMs > 0) std::this_thread::sleep_for(std::chrono::duration<double, std::milli>(answerMs));
      std::lock_guard<std::mutex> lock(mutex_);
      if (!bundles) {
        response.status = 400;
        return;
      }
      std::int64_t events = 0;
      for (const auto& bundle : *bundles) {
        for (const auto& event : bundle.events) events += event.name == "busy" || event.name == "marked" ? 1 : 0;
      }
      ++batches_;
      collected_ += events;
      if (events > 0 && !firstBatch_) firstBatch_ = at;
      response.status = 200;
    });
  }
  ~Collector() {
    server_.stop();
    if (thread_.joinable()) thread_.join();
  }
  std::string start() {
    const int port = server_.bind_to_any_port("127.0.0.1");
    if (port <= 0) return {};
    thread_ = std::thread([this] { server_.listen_after_bind(); });
    while (!server_.is_running()) std::this_thread::yield();
    return "http://127.0.0.1:" + std::to_string(port);
  }
  std::int64_t collected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return collected_;
  }
  std::optional<std::int64_t> firstBatch() {
    std::lock_guard<std::mutex> lock(mutex_);
    return firstBatch_;
  }
  int batches() {
    std::lock_guard<std::mutex> lock(mutex_);
    return batches_;
  }
  // The bundles received (each once), those received again (told by app instance and index) and
  // the events those repeats carried.
  struct Repeats {
    std::int64_t bundles = 0, repeatedBundles = 0, repeatedEvents = 0;
  };
  Repeats repeats() {
    std::lock_guard<std::mutex> lock(mutex_);
    return repeats_;
  }

 private:
  void countRepeats(const std::string& body) {
    using Slot = TLMPBMeasurementBundleSlot;
    auto batch = TLMPBMeasurementBatch::initWithBuffer(platform::Bytes(body.begin(), body.end()));
    if (!batch) return;
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& bundle : NANOGetArray<TLMPBMeasurementBundle>(*batch, TLMPBMeasurementBatchSlot::bundles)
                                  .value_or(std::vector<std::shared_ptr<TLMPBMeasurementBundle>>{})) {
      const auto key = std::make_pair(NANOGetString(*bundle, Slot::app_instance_id).value_or(""),
                                      NANOGetInt32(*bundle, Slot::bundle_index));
      if (seen_.insert(key).second) {
        ++repeats_.bundles;
        continue;
      }
      ++repeats_.repeatedBundles;
      repeats_.repeatedEvents += static_cast<std::int64_t>(
          NANOGetArray<TLMPBEvent>(*bundle, Slot::events).value_or(std::vector<std::shared_ptr<TLMPBEvent>>{}).size());
    }
  }

  httplib::Server server_;
  std::thread thread_;
  std::mutex mutex_;
  std::int64_t collected_ = 0;
  int batches_ = 0;
  std::optional<std::int64_t> firstBatch_;
  std::set<std::pair<std::string, std::int32_t>> seen_;
  Repeats repeats_;
};

// Starts `arguments` with this process's environment, standard output into `output` (when not
// negative), standard error to `log` (/dev/null when empty).
pid_t spawn(std::vector<std::string> arguments, int output, const std::string& log = {}) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, log.empty() ? "/dev/null" : log.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0600);
  if (output >= 0) {
    posix_spawn_file_actions_adddup2(&actions, output, STDOUT_FILENO);
    posix_spawn_file_actions_addclose(&actions, output);
  }
  std::vector<char*> argv;
  for (auto& argument : arguments) argv.push_back(argument.data());
  argv.push_back(nullptr);
  pid_t pid = -1;
  if (posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ) != 0) pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  return pid;
}

struct Options {
  double intervalMs = 3;
  double seconds = 10;
  bool debug = false;
  bool fast = false;
  bool quick = false;
  std::string cpus;
  int busy = 0;
  std::string folder = std::filesystem::temp_directory_path().string();
  std::string log;  // where the host's standard error goes
  std::int64_t propertyEvery = 0;
  bool reader = false;
  int hosts = 1;
  double holdSeconds = 0;  // --hold
  bool exclusive = false;
  bool transactions = false;  // --transactions
  int runs = 1;               // --runs: launches one after another on the same data
  double answerMs = 0;        // --answer-ms
};

// The store's file under `folder`, once the host made it (empty when `stop` came first).
std::string findStore(const std::string& folder, const std::atomic<bool>& stop) {
  std::string file;
  while (file.empty() && !stop.load()) {
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(folder, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
      if (it->path().filename() == kTLMDatabaseFileName) file = it->path().string();
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return file;
}

// Holds the store's write lock for `seconds`, 1 s after it appears; the time it held it, or -1.
double holdStore(const std::string& folder, double seconds, bool exclusive, const std::atomic<bool>& stop) {
  const std::string file = findStore(folder, stop);
  sqlite3* db = nullptr;
  if (file.empty() || sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return -1;
  }
  sqlite3_busy_timeout(db, 10000);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  double held = -1;
  if (sqlite3_exec(db, exclusive ? "BEGIN EXCLUSIVE" : "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK) {
    const auto begun = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    held = std::chrono::duration<double>(Clock::now() - begun).count();
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
  }
  sqlite3_close(db);
  return held;
}

// A plain reader of the store's file (found under `folder` once the host made it) until `stop`:
// one short read every 2 ms with a busy timeout of 10 s; each read's time and failures.
struct ReaderFigures {
  std::vector<double> waits;
  int failed = 0;
};
void readStore(const std::string& folder, const std::atomic<bool>& stop, ReaderFigures& figures) {
  const std::string file = findStore(folder, stop);
  sqlite3* db = nullptr;
  if (file.empty() || sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
    sqlite3_close(db);
    return;
  }
  sqlite3_busy_timeout(db, 10000);
  while (!stop.load()) {
    const auto begun = Clock::now();
    sqlite3_stmt* statement = nullptr;
    int rc = sqlite3_prepare_v2(db, "SELECT count(*) FROM sqlite_master", -1, &statement, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (rc == SQLITE_ROW) {
      figures.waits.push_back(std::chrono::duration<double>(Clock::now() - begun).count());
    } else {
      ++figures.failed;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  sqlite3_close(db);
}

int run(const std::string& self, const Options& options) {
  Collector collector(options.answerMs);
  const std::string base = collector.start();
  if (base.empty()) return 1;
  std::string folder = options.folder + "/busy-host-XXXXXX";
  if (mkdtemp(folder.data()) == nullptr) {
    std::perror(("cannot make a folder in " + options.folder).c_str());
    return 1;
  }
  std::vector<std::string> pinned;
  if (!options.cpus.empty()) pinned = {"taskset", "-c", options.cpus};
  std::vector<pid_t> spinners;
  for (int i = 0; i < options.busy; ++i) {
    std::vector<std::string> spin(pinned);
    spin.insert(spin.end(), {self, "spin"});
    spinners.push_back(spawn(spin, -1));
  }
  std::vector<std::string> command(pinned);
  command.insert(command.end(), {self, "host", base, std::to_string(options.intervalMs), std::to_string(options.seconds),
                                 std::to_string(options.fast ? (options.quick ? kMostWaitingQuick : kMostWaiting) : 0),
                                 std::to_string(options.propertyEvery)});
  if (options.debug) command.push_back("-CDVAnalyticsDebugEnabled");
  setenv("VESMORA_MAIN_BUNDLE", EXAMPLE_BUNDLE, 1);
  setenv("VESMORA_SANDBOX_ROOT", (folder + "/app").c_str(), 1);
  setenv("VESMORA_DEVICE_ROOT", (folder + "/device").c_str(), 1);
  // Each host's figures, from its lines.
  struct Host {
    pid_t pid = -1;
    int status = 0;
    std::int64_t started = 0, logged = 0, unfinished = 0, stored = -1, collectedAtEnd = 0;
    double terminateSeconds = -1;
    int endAnswer = -1;
    long long heldStored = -1, heldFailed = -1, beginFailures = -1;
    double peakMegabytes = -1;
    std::size_t writeTransactions = 0, transactions = 0;
    double writeTransactionMs = -1, transactionMs = -1, writeTransactionsMs = -1, transactionsMs = -1;
    std::size_t changingTransactions = 0;
    double changingTransactionMs = -1;
    std::string transactionKinds;  // the "kinds" line's figures
  };
  std::vector<Host> hosts(static_cast<std::size_t>(std::max(1, options.hosts)));
  std::atomic<bool> stopReading{false};
  ReaderFigures read;
  std::thread plainReader;
  if (options.reader) plainReader = std::thread([&] { readStore(folder, stopReading, read); });
  double held = -1;
  std::thread holder;
  if (options.holdSeconds > 0) {
    holder = std::thread([&] { held = holdStore(folder, options.holdSeconds, options.exclusive, stopReading); });
  }
  // With --runs, the launches one after another on the same data; the figures are the last one's.
  int endsFalse = 0;
  for (int launch = 0; launch < options.runs; ++launch) {
    hosts.assign(hosts.size(), Host{});
    // Side by side, they start logging together once both had time to start (2 s).
    if (hosts.size() > 1) setenv("BUSY_HOST_START_NS", std::to_string(nanosecondsNow() + 2'000'000'000).c_str(), 1);
    std::vector<std::thread> readers;
    for (Host& h : hosts) {
      int fds[2];
      if (::pipe(fds) != 0) return 1;
      h.pid = spawn(command, fds[1], options.log);
      ::close(fds[1]);
      readers.emplace_back([&h, &collector, fd = fds[0]] {
        FILE* lines = ::fdopen(fd, "r");
        char line[512];
        while (lines != nullptr && std::fgets(line, sizeof line, lines) != nullptr) {
          long long a = 0, b = 0, c = 0, d = 0;
          double seconds = 0;
          int answer = 0;
          if (std::sscanf(line, "start %lld", &a) == 1) {
            h.started = a;
          } else if (std::sscanf(line, "end %lld %lld %lld %lld", &a, &b, &c, &d) == 4) {
            h.collectedAtEnd = collector.collected();
            h.logged = b;
            h.unfinished = c;
            h.stored = d;
          } else if (std::sscanf(line, "terminated %lf %d", &seconds, &answer) == 2) {
            h.terminateSeconds = seconds;
            h.endAnswer = answer;
          } else if (std::sscanf(line, "counted %lld %lld %lld %lf", &h.heldStored, &h.heldFailed, &h.beginFailures,
                                 &h.peakMegabytes) == 4) {
          } else if (std::sscanf(line, "transactions %zu %lf %lf %zu %lf %lf %zu %lf", &h.writeTransactions,
                                 &h.writeTransactionMs, &h.writeTransactionsMs, &h.transactions, &h.transactionMs,
                                 &h.transactionsMs, &h.changingTransactions, &h.changingTransactionMs) == 8) {
          } else if (std::strncmp(line, "kinds ", 6) == 0) {
            h.transactionKinds.assign(line + 6, std::strcspn(line + 6, "\n"));
          }
        }
        if (lines != nullptr) std::fclose(lines);
        if (h.pid > 0) ::waitpid(h.pid, &h.status, 0);
      });
    }
    for (auto& thread : readers) thread.join();
    for (const Host& h : hosts) endsFalse += h.endAnswer == 0 ? 1 : 0;
  }
  stopReading.store(true);
  if (plainReader.joinable()) plainReader.join();
  if (holder.joinable()) holder.join();
  // Without --hosts, the one host's figures.
  const Host& only = hosts.front();
  const std::int64_t started = only.started, logged = only.logged, unfinished = only.unfinished,
                     collectedAtEnd = only.collectedAtEnd;
  const double terminateSeconds = only.terminateSeconds;
  for (pid_t spinner : spinners) {
    if (spinner > 0) ::kill(spinner, SIGKILL);
    if (spinner > 0) ::waitpid(spinner, nullptr, 0);
  }
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
  for (const Host& h : hosts) {
    if (h.pid <= 0 || !WIFEXITED(h.status) || WEXITSTATUS(h.status) != 0 || h.started == 0 || h.logged == 0) {
      std::fprintf(stderr, "the host failed (status %d)\n", h.status);
      return 1;
    }
  }
  if (options.fast) {
    std::int64_t allLogged = 0, allStored = 0, fewest = -1;
    for (const Host& h : hosts) {
      allLogged += h.logged;
      allStored += h.stored;
      fewest = fewest < 0 ? h.stored : std::min(fewest, h.stored);
    }
    std::printf("logged %lld stored-per-second %.1f", static_cast<long long>(allLogged),
                static_cast<double>(allStored) / options.seconds);
    if (hosts.size() > 1) {
      for (const Host& h : hosts) std::printf(" %.1f", static_cast<double>(h.stored) / options.seconds);
      std::printf(" share-of-smaller %.3f",
                  allStored > 0 ? static_cast<double>(fewest) / static_cast<double>(allStored) : 0.0);
    }
    if (options.reader) {
      std::sort(read.waits.begin(), read.waits.end());
      const auto at = [&](double q) {
        return read.waits.empty() ? -1.0 : read.waits[static_cast<std::size_t>(q * static_cast<double>(read.waits.size() - 1))];
      };
      std::printf(" reads %zu read-p99-seconds %.3f read-max-seconds %.3f reads-failed %d", read.waits.size(), at(0.99),
                  at(1.0), read.failed);
    }
    std::printf("\n");
    return 0;
  }
  if (options.runs > 1) {
    const Collector::Repeats repeats = collector.repeats();
    std::printf("runs %d bundles %lld repeated-bundles %lld repeated-events %lld ends-false %d\n", options.runs,
                static_cast<long long>(repeats.bundles), static_cast<long long>(repeats.repeatedBundles),
                static_cast<long long>(repeats.repeatedEvents), endsFalse);
    return 0;
  }
  const auto first = collector.firstBatch();
  const double rate = static_cast<double>(logged) / options.seconds;
  std::printf("logged %lld backlog-seconds %.3f first-batch-seconds %.2f collected-at-end %.3f "
              "terminate-seconds %.3f batches %d\n",
              static_cast<long long>(logged), static_cast<double>(unfinished) / rate,
              first ? static_cast<double>(*first - started) / 1e9 : -1.0,
              static_cast<double>(collectedAtEnd) / static_cast<double>(logged), terminateSeconds, collector.batches());
  if (options.transactions) {
    std::printf("write-transactions %zu write-transaction-p50-ms %.3f write-transactions-ms %.1f transactions %zu "
                "transaction-p50-ms %.3f transactions-ms %.1f changing-transactions %zu changing-transaction-p50-ms %.3f\n",
                only.writeTransactions, only.writeTransactionMs, only.writeTransactionsMs, only.transactions,
                only.transactionMs, only.transactionsMs, only.changingTransactions, only.changingTransactionMs);
    std::printf("%s\n", only.transactionKinds.c_str());
  }
  if (options.holdSeconds > 0) {
    std::printf("held %.1f stored %lld failed %lld begin-failures %lld end-true %d peak-rss-mb %.1f\n", held,
                only.heldStored, only.heldFailed, only.beginFailures, only.endAnswer, only.peakMegabytes);
  }
  return 0;
}

int usage() {
  std::fprintf(stderr,
               "usage: busy_host_bench [--quick] [--interval MS] [--seconds S] [--debug] [--fast] [--cpus LIST] "
               "[--busy N] [--folder DIR] [--log FILE] [--property N] [--reader] [--hosts 2] [--hold H] [--exclusive] "
               "[--transactions] [--runs N] [--answer-ms MS]\n");
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string role = argc > 1 ? argv[1] : "";
  if (role == "spin") {
    volatile unsigned long spins = 0;
    for (;;) spins = spins + 1;
  }
  if (role == "host" && argc >= 6) {
    return host(argv[2], std::atof(argv[3]), std::atof(argv[4]), std::atoll(argv[5]),
                argc >= 7 && argv[6][0] != '-' ? std::atoll(argv[6]) : 0);
  }
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool value = i + 1 < argc;
    if (arg == "--quick") {
      options.quick = true;
      options.seconds = 0.3;
    } else if (arg == "--interval" && value) {
      options.intervalMs = std::atof(argv[++i]);
    } else if (arg == "--seconds" && value) {
      options.seconds = std::atof(argv[++i]);
    } else if (arg == "--debug") {
      options.debug = true;
    } else if (arg == "--fast") {
      options.fast = true;
    } else if (arg == "--cpus" && value) {
      options.cpus = argv[++i];
    } else if (arg == "--busy" && value) {
      options.busy = std::atoi(argv[++i]);
    } else if (arg == "--folder" && value) {
      options.folder = argv[++i];
    } else if (arg == "--log" && value) {
      options.log = argv[++i];
    } else if (arg == "--property" && value) {
      options.propertyEvery = std::atoll(argv[++i]);
    } else if (arg == "--reader") {
      options.reader = true;
    } else if (arg == "--hosts" && value) {
      options.hosts = std::max(1, std::atoi(argv[++i]));
    } else if (arg == "--hold" && value) {
      options.holdSeconds = std::atof(argv[++i]);
    } else if (arg == "--exclusive") {
      options.exclusive = true;
    } else if (arg == "--transactions") {
      options.transactions = true;
    } else if (arg == "--runs" && value) {
      options.runs = std::atoi(argv[++i]);
    } else if (arg == "--answer-ms" && value) {
      options.answerMs = std::atof(argv[++i]);
    } else {
      return usage();
    }
  }
  if (!(options.intervalMs > 0) || !(options.seconds > 0) || (options.holdSeconds > 0 && options.fast)) return usage();
  // Launches one after another: one plain host each time.
  if (options.runs < 1 || (options.runs > 1 && (options.fast || options.hosts > 1 || options.reader ||
                                                options.holdSeconds > 0 || options.transactions))) {
    return usage();
  }
  if (options.holdSeconds > 0) setenv("BUSY_HOST_HELD", "1", 1);
  if (options.transactions) setenv("BUSY_HOST_TRANSACTIONS", "1", 1);
  return run(std::filesystem::canonical("/proc/self/exe").string(), options);
}
