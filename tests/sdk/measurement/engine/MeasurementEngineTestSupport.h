// A measurement engine built on manual queues, a manual clock, a temporary sandbox and a real
// SQLite file, with a recording monitor; the worker queue runs when the test drains it.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "FreeSpace.h"
#include "MeasurementConfigBuilder.h"
#include "SQLiteErrors.h"
#include "dispatch/Clock.h"
#include "dispatch/Testing.h"
#include "foundation/AdSupport.h"
#include "foundation/Bundle.h"
#include "foundation/Sandbox.h"
#include "foundation/UserDefaults.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMIdentifiers.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMKeychainWrapper.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/engine/TLMUserDefaults.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "measurement/store/TLMSqliteStore.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

inline constexpr const char* kTestAppID = "1:1234:ios:abcd";
inline constexpr const char* kTestBundleID = "com.example.vesmora";

class FakeAdManager : public platform::ASIdentifierManager {
 public:
  bool isAdvertisingTrackingEnabled() const override { return trackingEnabled; }
  std::string advertisingIdentifier() const override { return identifier; }
  bool trackingEnabled = true;
  std::string identifier = kTLMZeroAdvertisingIdentifier;
};

// An event's integer parameter; -1 when the event or the parameter is missing.
inline std::int64_t intParameter(const TLMEventPtr& event, const std::string& name) {
  const TLMValue* value = event ? event->parameters().find(name) : nullptr;
  return value != nullptr ? value->int64Value() : -1;
}

// A stored raw event as the table holds it.
struct StoredEvent {
  std::string name;
  bool realtime;
  TLMEventPtr event;
};

class EngineHarness {
 public:
  explicit EngineHarness(bool debugMode = false, double now = 1700000000.0)
      : clock(std::make_shared<platform::ManualClock>(now)), scopedClock(clock), monitor(debugMode) {
    platform::UserDefaults::resetForTesting();
    installBundle("1.0", "1.0.0");
    persisted = TLMPersistedConfig::initWithUserDefaults(
        TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, syncQueue));
  }
  ~EngineHarness() {
    // A failed test says what went wrong underneath (a store that could not write on a full
    // disk, say): the errors logged, SQLite's own messages and the free space left.
    if (::testing::Test::HasFailure()) ADD_FAILURE() << "errors the engine logged:" << errorsLogged();
    // Pending blocks hold the engine, and the engine holds the queue: run them out, resuming the
    // worker when a test ended (a failure, say) with it suspended.
    engine.reset();
    while (worker->drain() == 0 && worker->pendingCount() > 0) worker->resume();
    syncQueue->drain();
    platform::Bundle::resetForTesting();
    platform::UserDefaults::resetForTesting();
  }

  void installBundle(const std::string& shortVersion, const std::string& bundleVersion) {
    platform::Value info;
    info.set("CFBundleIdentifier", platform::Value(kTestBundleID));
    info.set("CFBundleShortVersionString", platform::Value(shortVersion));
    info.set("CFBundleVersion", platform::Value(bundleVersion));
    platform::Bundle::setMain(std::make_shared<platform::Bundle>("", info));
  }

  // A new identity over the persisted configuration (optionally with a platform app id).
  std::shared_ptr<TLMIdentity> makeIdentity(const std::optional<std::string>& qpx = kTestAppID) {
    auto identity = TLMIdentity::initWithPersistedConfig(
        persisted, std::make_shared<TLMASIdentifierManager>(adManager), [] { return TLMRemoteConfig::defaultInstance(); });
    if (qpx) identity->setAppIDFromQPX(*qpx);
    return identity;
  }

  // Builds the engine (the enablement is posted, not yet run).
  std::shared_ptr<TLMMeasurementEngine> build(bool collectionEnabled = true, bool deactivated = false,
                                              std::vector<std::string> safelist = {}) {
    if (!identity) identity = makeIdentity();
    TLMEngineCollaborators collaborators;
    collaborators.databaseName = databaseName;
    collaborators.persistedConfig = persisted;
    collaborators.scheduler = std::make_shared<TLMScheduler>(worker);
    collaborators.alarm = std::make_shared<TLMAlarm>(collaborators.scheduler->workerQueue(), kTLMMeasurementTimerName);
    collaborators.clock = clock;
    collaborators.services.identity = [this] { return identityAvailable ? identity : nullptr; };
    collaborators.services.identifiers = identifiers;
    collaborators.services.loadTimestamp = [this] { return loadTime; };
    collaborators.services.keychainAppID = kTestBundleID;
    collaborators.components = components;
    collaborators.components.screenReporter = screen;
    collaborators.network = network;
    collaborators.uploadURL = uploadURL;
    collaborators.random = random;
    collaborators.backgroundTasks = backgroundTasks;
    engine = TLMMeasurementEngine::create(std::move(collaborators), kTestAppID, collectionEnabled,
                                          deactivated, std::move(safelist));
    return engine;
  }
  // Builds and starts the engine. A start that should have opened the store and did not (a full
  // disk, say) ends the test here; a test of a failing start builds and drains instead.
  std::shared_ptr<TLMMeasurementEngine> start(bool collectionEnabled = true) {
    build(collectionEnabled);
    drain();
    if (collectionEnabled && identityAvailable && engine->database() == nullptr) {
      throw std::runtime_error(notStarted("store"));
    }
    return engine;
  }
  // Starts with the busy timeout of the store's connection set to `milliseconds` (0: a file held
  // elsewhere, by the test, fails at once; else its wait is said after that long); later
  // connections keep the setting they had.
  void startWaitingForLocks(int milliseconds) {
    struct Restore {
      int kept = TLMSqliteStore::busyTimeoutMilliseconds();
      ~Restore() { TLMSqliteStore::setBusyTimeoutMilliseconds(kept); }
    } restore;
    TLMSqliteStore::setBusyTimeoutMilliseconds(milliseconds);
    start();
  }
  void drain() { worker->drain(); }

  // Applies remote settings (worker queue work, run here on the test thread).
  void applySettings(const std::vector<std::pair<std::string, std::string>>& settings,
                     const std::vector<std::shared_ptr<TLMPBEventConfig>>& events = {}) {
    auto config = TLMTestMeasurementConfig(kTestAppID, settings, 3, events);
    auto remoteConfig = engine ? engine->remoteConfig() : nullptr;
    if (!remoteConfig) throw std::runtime_error(notStarted("remote configuration"));
    ASSERT_TRUE(remoteConfig->updateMeasurementConfig(config));
  }

  // The engine's store, open. Where it did not open (a full disk, say) the test ends here, with
  // the errors the engine logged (SQLite's own among them), and the sandbox goes with the harness.
  TLMDatabase* database() {
    TLMDatabase* store = engine ? engine->database() : nullptr;
    if (store == nullptr || store->sqliteStore() == nullptr) throw std::runtime_error(notStarted("store"));
    return store;
  }
  // Says that the engine has no `part`, and the errors logged so far.
  std::string notStarted(const std::string& part) {
    return "the engine has no " + part + " (it did not start)" + errorsLogged();
  }
  // The errors logged so far, one a line with their context, SQLite's own messages and the free
  // space of the sandbox's file system.
  std::string errorsLogged() {
    std::string text;
    for (const TLMMonitorEntry& entry : monitor->entries()) {
      if (entry.level > 3) continue;
      text += "\n  " + entry.message;
      for (const platform::Value& context : entry.contexts) text += " " + context.description();
    }
    text += sqliteErrors.since();
    // A failed commit is not in SQLite's log: the connection's last message, unless a call
    // succeeded since.
    TLMDatabase* store = engine ? engine->database() : nullptr;
    if (store != nullptr && store->sqliteStore() != nullptr) {
      text += testsupport::lastSQLiteMessage(store->sqliteStore()->lastErrorMessage());
    }
    return text + testsupport::freeSpace(sandbox.root());
  }

  void log(const std::string& name, TLMObjectDictionary parameters = {}, bool isPublic = true,
           const std::string& origin = "app") {
    engine->logEvent(TLMEvent::initWithOrigin(origin, isPublic, name, clock->now(), 0, parameters));
    drain();
  }

  std::vector<StoredEvent> rawEvents() {
    std::vector<StoredEvent> result;
    auto rows = database()->sqliteStore()->recordsForQuery(
        "SELECT rowid, * FROM raw_events ORDER BY rowid", platform::Array{}, nullptr);
    if (!rows) return result;
    for (const auto& row : *rows) {
      StoredEvent stored;
      stored.name = row.find("name")->stringValue().value_or("");
      stored.realtime = row.find("is_realtime")->int64Value().value_or(0) != 0;
      if (auto data = database()->rawEventDataFromDictionary(row, nullptr)) {
        stored.event = data->rawEvent();
      }
      result.push_back(std::move(stored));
    }
    return result;
  }
  std::vector<std::string> rawEventNames() {
    std::vector<std::string> names;
    for (const auto& e : rawEvents()) names.push_back(e.name);
    return names;
  }
  std::optional<TLMUserAttribute> property(const std::string& name) {
    return database()->userAttributeWithName(name, nullptr);
  }
  std::size_t internalEventCount(const std::string& name, std::optional<std::int64_t> errorCode = {}) {
    std::size_t count = 0;
    for (const auto& event : monitor.internalEvents()) {
      if (event.name != name) continue;
      if (errorCode) {
        const TLMObject* code = event.parameters.find("_err");
        if (code == nullptr || !(code->contextValue() == platform::Value(*errorCode))) continue;
      }
      ++count;
    }
    return count;
  }

  testsupport::SQLiteErrors sqliteErrors;
  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::shared_ptr<platform::ManualClock> clock;
  platform::ScopedClock scopedClock;
  TLMScopedRecordingMonitor monitor;
  std::string databaseName = kTLMDatabaseFileName;
  std::shared_ptr<platform::ManualQueue> worker = platform::ManualQueue::create(kTLMSchedulerWorkerQueueLabel);
  std::shared_ptr<platform::ManualQueue> syncQueue = platform::ManualQueue::create("sync");
  std::shared_ptr<FakeAdManager> adManager = std::make_shared<FakeAdManager>();
  std::shared_ptr<TLMNullScreenReporter> screen = std::make_shared<TLMNullScreenReporter>();
  std::shared_ptr<TLMIdentifiers> identifiers = std::make_shared<TLMIdentifiers>();
  TLMEngineComponents components;
  std::shared_ptr<TLMPersistedConfig> persisted;
  std::shared_ptr<TLMIdentity> identity;
  bool identityAvailable = true;
  double loadTime = 1000.5;
  std::shared_ptr<OBXNetwork> network;  // none unless a test sets one
  std::string uploadURL = "https://collector.invalid/a";
  std::shared_ptr<platform::Random> random;
  std::shared_ptr<TLMBackgroundTaskService> backgroundTasks;
  std::shared_ptr<TLMMeasurementEngine> engine;
};

// Drains the harness's worker on a thread of its own, for work that waits for something the test
// holds (another connection's lock): `stillWaitsAfterSaying` waits, generously, until the engine
// says `code` or the drain ends, and answers whether it still runs.
class BackgroundDrain {
 public:
  explicit BackgroundDrain(EngineHarness& h)
      : thread_([this, &h] {
          h.drain();
          drained_.store(true);
        }),
        h_(h) {}
  ~BackgroundDrain() { join(); }
  BackgroundDrain(const BackgroundDrain&) = delete;
  BackgroundDrain& operator=(const BackgroundDrain&) = delete;

  bool stillWaitsAfterSaying(std::int64_t code) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!h_.monitor->has(code) && !drained_.load() && std::chrono::steady_clock::now() < until) {
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return !drained_.load();
  }
  void join() {
    if (thread_.joinable()) thread_.join();
  }

 private:
  std::atomic<bool> drained_{false};
  std::thread thread_;
  EngineHarness& h_;
};
