// The app's life cycle through the interface's queues: what the app logged before it resigns
// active travels in the upload that resigning starts, and the app's end waits (a bounded time)
// until what was logged before it is stored.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <future>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "AnalyticsTestSupport.h"
#include "Bounds.h"
#include "Core/Public/CDVApp.h"
#include "ForkedChild.h"
#include "UploadTestSupport.h"
#include "obx/OBXLogger.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"
#include "uikit/UIKit.h"

namespace {

// Runs `step` once on another thread as soon as a timer more than were pending at construction
// is pending on the clock (the time limit of a wait the calling thread has begun) and `begun`
// holds too. The step stands for the queues' own threads (or the time passing) while the caller
// waits.
class WhileWaiting {
 public:
  WhileWaiting(platform::ManualClock& clock, std::function<void()> step, std::function<bool()> begun = nullptr)
      : baseline_(clock.pendingTimerCount()),
        thread_([this, &clock, step = std::move(step), begun = std::move(begun)] {
          while (!stop_.load()) {
            if (clock.pendingTimerCount() > baseline_ && (!begun || begun())) {
              step();
              ran_.store(true);
              return;
            }
            std::this_thread::yield();
          }
        }) {}
  ~WhileWaiting() { finish(); }
  // Stops watching; true when the step ran.
  bool finish() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    return ran_.load();
  }

 private:
  const std::size_t baseline_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> ran_{false};
  std::thread thread_;
};

// Keeps the vendor-logger lines written while alive.
class VendorLines {
 public:
  VendorLines() {
    previous_ = OBXLoggerSetSink([lines = lines_](const OBXLogLine& line) {
      std::lock_guard<std::mutex> lock(lines->mutex);
      lines->lines.push_back(line);
    });
  }
  ~VendorLines() { OBXLoggerSetSink(previous_); }
  std::vector<OBXLogLine> withCode(const std::string& code) const {
    std::lock_guard<std::mutex> lock(lines_->mutex);
    std::vector<OBXLogLine> found;
    for (const auto& line : lines_->lines) {
      if (line.messageCode == code) found.push_back(line);
    }
    return found;
  }

 private:
  struct Lines {
    std::mutex mutex;
    std::vector<OBXLogLine> lines;
  };
  std::shared_ptr<Lines> lines_ = std::make_shared<Lines>();
  OBXLogSink previous_;
};

// The counts of the app's end's warnings so far (events failed, events not yet stored, calls not
// handled, seconds waited; or, of `code` I-ACS025038, bundles and events that go again, seconds
// waited), in order.
std::vector<std::string> endWarningCounts(const VendorLines& lines, const std::string& code = "I-ACS025036") {
  std::vector<std::string> counts;
  for (const auto& line : lines.withCode(code)) {
    const auto at = line.message.rfind(": ");
    counts.push_back(at == std::string::npos ? line.message : line.message.substr(at + 2));
  }
  return counts;
}

// The commits of the engine's store connection.
class CommitCount {
 public:
  explicit CommitCount(TLMMeasurementEngine& engine) : db_(handleOf(engine)) {
    sqlite3_commit_hook(db_, [](void* count) { return static_cast<std::atomic<int>*>(count)->fetch_add(1), 0; },
                        &commits);
  }
  ~CommitCount() { sqlite3_commit_hook(db_, nullptr, nullptr); }
  std::atomic<int> commits{0};

 private:
  static sqlite3* handleOf(TLMMeasurementEngine& engine) {
    if (engine.database() == nullptr) throw std::runtime_error("the engine's store did not open (the log says why)");
    return engine.database()->sqliteStore()->sqliteHandle();
  }
  sqlite3* db_;
};

class AnalyticsLifecycleTest : public AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    OBXNetwork::setNetworkReachable(true);
    h.network = std::make_shared<OBXNetwork>("collector.invalid", transport);
  }
  // Settings under which the engine refuses events named "refused", each with an error event of
  // its own (code 11).
  void refuseEventsNamedRefused() {
    auto refused = TLMPBEventConfig::initWithMessageInfo(nullptr);
    NANOSetString(*refused, TLMPBEventConfigSlot::name, "refused");
    NANOSetBool(*refused, TLMPBEventConfigSlot::blacklisted, true);
    h.applySettings({{"measurement.upload.blacklist_public", "0"}}, {refused});
  }
  void logEvents(const std::string& name, int count) {
    for (int i = 0; i < count; ++i) {
      TLMObjectDictionary parameters;
      parameters.set("index", TLMObject(std::int64_t{i}));
      TLMAnalytics::logEventWithName(name, parameters);
    }
  }
  // From now on the store write of an event named `name` moves the clock past the app's end's
  // time limit and waits until the end has warned.
  void holdWritesOfEventsNamed(const std::string& name, const VendorLines& lines) {
    hold = {h.clock.get(), &lines};
    auto holdWrite = [](sqlite3_context* context, int, sqlite3_value**) {
      auto* hold = static_cast<Hold*>(sqlite3_user_data(context));
      hold->clock->advance(kTLMAppTerminationWaitSeconds);
      for (int polls = 0; polls < 60000 && hold->lines->withCode("I-ACS025036").empty(); ++polls) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
      }
      sqlite3_result_null(context);
    };
    sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
    ASSERT_EQ(sqlite3_create_function(db, "hold_write", 0, SQLITE_UTF8, &hold, holdWrite, nullptr, nullptr), SQLITE_OK);
    const std::string trigger = "CREATE TEMP TRIGGER hold_held BEFORE INSERT ON raw_events WHEN NEW.name = '" + name +
                                "' BEGIN SELECT hold_write(); END;";
    ASSERT_EQ(sqlite3_exec(db, trigger.c_str(), nullptr, nullptr, nullptr), SQLITE_OK);
  }
  // Switches collection on with a file where the store's folder belongs: every start from now on
  // fails to open the store.
  void startWithoutAStore() {
    const std::string database = TLMFilePathForDatabaseName(kTLMDatabaseFileName);
    const std::string folder = database.substr(0, database.rfind('/'));
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder.substr(0, folder.rfind('/')));
    std::ofstream(folder) << "in the way";
    h.engine->setEnabled(true);
    drain();
  }
  // Every queue but the main one, which the app's end may be waiting on.
  void drainWorkQueues() {
    while (operation->drain() + serial->drain() + h.worker->drain() > 0) {
    }
  }
  // Whether the app's end has sent its marker down the queues: it takes the operation queue, so
  // that queue holds more than the `before` blocks it held before the app's end was asked for.
  // The wait has begun only then. (Its time limit is set just before: queues run from that
  // moment alone may finish before the marker is queued, and do on a busy machine. The events
  // are then stored before the wait begins, and the marker finds nobody to run it.)
  std::function<bool()> markerSent(std::size_t before) {
    return [this, before] { return operation->pendingCount() > before; };
  }
  // An interceptor forwards what the app logs, as a tag manager does: its call is work of the
  // SDK's own for the app's call.
  static void forwardWhatTheAppLogs() {
    TLMAnalytics::setLogEventInterceptor(
        [](const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters, double timestamp) {
          TLMAnalytics::logEventWithOrigin(origin + "+zep", true, name, parameters, timestamp, false, true);
        });
  }
  // With the interceptor forwarding what the app logs, the app logs an event "forwarded" and ends
  // (what the end answered), while the queues run the interceptor's call once the end's marker is
  // sent: the call is behind the marker, which goes round again behind it; then `meanwhile` runs
  // and the end's time runs out.
  bool endWithAForwardedCallQueued(const std::function<void()>& meanwhile) {
    forwardWhatTheAppLogs();
    drain();
    logEvents("forwarded", 1);
    WhileWaiting timePasses(*h.clock, [this, &meanwhile] {
      operation->drain();
      serial->drain();  // the interceptor's call, behind the end's marker
      h.worker->drain();  // the marker goes round again behind it
      meanwhile();
      h.clock->advance(kTLMAppTerminationWaitSeconds);
    }, markerSent(operation->pendingCount()));
    const bool allStored = UIApplication().terminate();
    EXPECT_TRUE(timePasses.finish());
    return allStored;
  }
  // The app's end, made on the main queue as the app's own is, while the queues run; what it
  // answered.
  std::optional<bool> endWhileTheQueuesRun() {
    std::optional<bool> allStored;
    main->async([&] { allStored = UIApplication().terminate(); });
    WhileWaiting queuesRun(*h.clock, [this] { drainWorkQueues(); }, markerSent(operation->pendingCount()));
    main->drain();
    EXPECT_TRUE(queuesRun.finish());
    return allStored;
  }

  // Logs `events` events "sent" and resigns active, which posts them: the collector holds the
  // request unanswered. The bundles and the events the batch carries (the start's among them), as
  // the end's warning counts them.
  std::string postABatch(int events) {
    h.applySettings({});  // a configuration in force: the upload posts at once
    logEvents("sent", events);
    h.engine->handleAppWillResignActiveEvent({});
    drain();
    if (transport->pendingCount() != 1) {
      ADD_FAILURE() << "no batch in flight";
      return {};
    }
    const auto bundles = UploadHarness::bundlesOf(transport->requests().back());
    std::size_t carried = 0;
    for (const auto& bundle : bundles) carried += UploadHarness::eventNames(*bundle).size();
    return std::to_string(bundles.size()) + ", " + std::to_string(carried);
  }
  // The app's end, made with a batch in flight while another thread runs the queues: once the end
  // says that it waits for the upload, `meanwhile` runs on that thread. What the end answered.
  bool endWithAnUploadInFlight(const std::function<void()>& meanwhile) {
    std::atomic<bool> ended{false};
    std::thread queuesRun([&] {
      while (!ended.load()) {
        drainWorkQueues();
        if (h.monitor->has(25039)) return meanwhile();
        std::this_thread::yield();
      }
    });
    const bool answer = UIApplication().terminate();
    ended.store(true);
    queuesRun.join();
    return answer;
  }
  std::int64_t queuedBundles() {
    auto count = h.database()->sqliteStore()->numberForQuery("SELECT count(*) FROM queue", {}, nullptr);
    return count ? count->int64Value().value_or(-1) : -1;
  }

  std::shared_ptr<OBXFakeNetworkTransport> transport = std::make_shared<OBXFakeNetworkTransport>();
  struct Hold {
    platform::ManualClock* clock;
    const VendorLines* lines;
  } hold{};
};

TEST_F(AnalyticsLifecycleTest, EventsLoggedJustBeforeResigningActiveTravelInTheUploadItStarts) {
  start();
  drain();
  h.applySettings({});  // a configuration in force: the upload posts at once
  logEvents("checkout", 3);
  h.engine->handleAppWillResignActiveEvent({});
  drain();
  auto requests = transport->requests();
  ASSERT_EQ(requests.size(), 1u);
  ASSERT_EQ(requests[0].method, "POST");
  std::size_t checkouts = 0;
  for (const auto& bundle : UploadHarness::bundlesOf(requests[0])) {
    for (const auto& name : UploadHarness::eventNames(*bundle)) checkouts += name == "checkout" ? 1 : 0;
  }
  EXPECT_EQ(checkouts, 3u);
  EXPECT_TRUE(h.rawEvents().empty());
}

TEST_F(AnalyticsLifecycleTest, TheAppsEndReturnsOnceWhatWasLoggedBeforeItIsStored) {
  VendorLines lines;
  start();
  drain();
  logEvents("before_end", 5);
  TLMAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  logEvents("after_property", 5);
  CommitCount commits(*h.engine);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_TRUE(lines.withCode("I-ACS025036").empty());
  EXPECT_EQ(stored("before_end").size(), 5u);
  EXPECT_EQ(stored("after_property").size(), 5u);
  ASSERT_TRUE(h.property("tier"));
  EXPECT_EQ(*h.property("tier")->value().stringPtr(), "gold");
  // The events before the property, the property and the events after it: one group.
  EXPECT_EQ(commits.commits.load(), 1);
}

TEST_F(AnalyticsLifecycleTest, TheAppsEndGivesUpAfterItsTimeWhileTheWorkerHangsAndSaysWhatIsLeft) {
  VendorLines lines;
  start();
  drain();
  h.worker->suspend();
  logEvents("stuck", 2);
  logEvents("not_handed_on", 1);
  WhileWaiting timePasses(*h.clock, [this] {
    // Two events reach the worker; the third call stays on the interface's queues.
    operation->drain();
    serial->runNext();
    serial->runNext();
    logEvents("after_the_end_began", 3);  // another thread's calls: neither waited for nor lost
    h.clock->advance(kTLMAppTerminationWaitSeconds);
  }, markerSent(operation->pendingCount()));
  EXPECT_FALSE(UIApplication().terminate());
  EXPECT_TRUE(timePasses.finish());
  EXPECT_TRUE(stored("stuck").empty());
  const auto warnings = lines.withCode("I-ACS025036");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_EQ(warnings[0].level, OBXLoggerLevelWarning);
  // Events failed, events not yet stored, calls not handled, seconds waited.
  EXPECT_NE(warnings[0].message.find(": 0, 2, 1, 5"), std::string::npos) << warnings[0].message;
  // The worker goes on afterwards; what the abandoned wait left behind is harmless.
  h.worker->resume();
  drain();
  EXPECT_EQ(stored("stuck").size(), 2u);
}

// Where waiting could never end, the app's end returns at once: before the library started (work
// is held for the start) and on a queue the wait would need. Should it wait, the watcher lets the
// time run out instead of hanging the test.
TEST_F(AnalyticsLifecycleTest, TheAppsEndNeverWaitsWhereTheWorkCannotGoOn) {
  {
    VendorLines lines;
    WhileWaiting timeout(*h.clock, [this] { h.clock->advance(kTLMAppTerminationWaitSeconds); });
    EXPECT_FALSE(TLMAnalytics::waitForQueuedWork(kTLMAppTerminationWaitSeconds));
    EXPECT_TRUE(lines.withCode("I-ACS025036").empty());  // nothing held
    logEvents("held", 1);
    EXPECT_FALSE(TLMAnalytics::waitForQueuedWork(kTLMAppTerminationWaitSeconds));
    ASSERT_EQ(lines.withCode("I-ACS025036").size(), 1u);
    EXPECT_NE(lines.withCode("I-ACS025036")[0].message.find(": 0, 0, 1, 0"), std::string::npos);
    EXPECT_FALSE(UIApplication().terminate());  // nothing was stored
    EXPECT_EQ(lines.withCode("I-ACS025036").size(), 2u);
    EXPECT_FALSE(timeout.finish());
  }
  start();
  drain();
  EXPECT_EQ(stored("held").size(), 1u);
  for (auto* queue : {static_cast<platform::Queue*>(serial.get()), h.engine->scheduler()->workerQueue().get()}) {
    SCOPED_TRACE(queue->label());
    WhileWaiting timeout(*h.clock, [this] { h.clock->advance(kTLMAppTerminationWaitSeconds); });
    std::optional<bool> waited;
    queue->async([&] { waited = TLMAnalytics::waitForQueuedWork(kTLMAppTerminationWaitSeconds); });
    drain();
    EXPECT_EQ(waited, false);
    EXPECT_FALSE(timeout.finish());
  }
}

// A host that logs without a successful configure (none, or one that failed) loses what it logged:
// the facade refuses the calls, or the refused start drops them. The app's end says so.
TEST_F(AnalyticsLifecycleTest, TheAppsEndWithoutAStartSaysWhatWasLost) {
  VendorLines lines;
  ASSERT_FALSE(CDVApp::isDefaultAppConfigured());
  CDVAnalyticsConnector::load();  // as when the program loads
  EXPECT_FALSE(UIApplication().terminate());
  EXPECT_TRUE(lines.withCode("I-ACS025036").empty());  // nothing logged, nothing lost
  CDVAnalytics::logEventWithName("offer_viewed", {});
  CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  EXPECT_FALSE(UIApplication().terminate());
  const auto warnings = lines.withCode("I-ACS025036");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find(": 0, 0, 2, 0"), std::string::npos) << warnings[0].message;
  EXPECT_EQ(warnings[0].service, "[Cindervale/Analytics]");  // the SDK's tag, as after a start
}

// The wait may begin while the start's initialisation still waits on the serial queue: the
// events queued behind it are stored in groups all the same, and a warning counts what the
// engine really has left.
TEST_F(AnalyticsLifecycleTest, TheAppsEndRightAfterTheStartGroupsAndCountsTheNewEnginesEvents) {
  // An engine already started, so that its worker holds nothing but what the app queues.
  auto ready = h.start();
  TLMAnalytics::setEngineInitializerForTesting(
      [&](const std::string&, bool, bool, const std::vector<std::string>&) {
        TLMMeasurementEngine::setSharedInstanceForTesting(ready);
      });
  CommitCount commits(*ready);
  VendorLines lines;
  start();
  logEvents("right_after_start", 5);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_EQ(stored("right_after_start").size(), 5u);
  EXPECT_EQ(commits.commits.load(), 1);

  h.worker->suspend();
  logEvents("stuck", 3);
  TLMMeasurementEngine::resetSharedInstanceForTesting();  // as before the start's initialisation
  WhileWaiting timePasses(*h.clock, [&] {
    TLMMeasurementEngine::setSharedInstanceForTesting(ready);
    operation->drain();
    serial->drain();
    h.clock->advance(kTLMAppTerminationWaitSeconds);
  }, markerSent(operation->pendingCount()));
  EXPECT_FALSE(UIApplication().terminate());
  EXPECT_TRUE(timePasses.finish());
  const auto warnings = lines.withCode("I-ACS025036");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find(": 0, 3, 0, 5"), std::string::npos) << warnings[0].message;
  h.worker->resume();
}

// Events that fail in the store while the app's end waits are no success: it answers false and
// the warning counts them.
TEST_F(AnalyticsLifecycleTest, EventsThatFailWhileTheAppsEndWaitsAreReported) {
  VendorLines lines;
  start();
  drain();
  logEvents("refused_at_commit", 4);
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  sqlite3_commit_hook(db, [](void*) { return 1; }, nullptr);  // every commit rolls back
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_TRUE(stored("refused_at_commit").empty());
  const auto warnings = lines.withCode("I-ACS025036");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find(": 4, 0, 0, 0"), std::string::npos) << warnings[0].message;
}

// What failed before the app's end is no success either: every event that failed since the last
// end that reported its losses is counted, and counted once.
TEST_F(AnalyticsLifecycleTest, TheAppsEndReportsEveryFailureSinceTheLastReportOnce) {
  VendorLines lines;
  start();
  drain();
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  sqlite3_commit_hook(db, [](void*) { return 1; }, nullptr);  // every commit rolls back
  logEvents("failed_before", 3);
  drain();  // handled, and failed, before the end
  logEvents("failed_during", 2);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"5, 0, 0, 0"});
  logEvents("stored", 1);
  EXPECT_EQ(endWhileTheQueuesRun(), true);  // reported once: nothing new is lost
  EXPECT_EQ(endWarningCounts(lines).size(), 1u);
  EXPECT_EQ(stored("stored").size(), 1u);

  sqlite3_commit_hook(db, [](void*) { return 1; }, nullptr);
  logEvents("failed_after", 1);
  drain();
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), (std::vector<std::string>{"5, 0, 0, 0", "1, 0, 0, 0"}));
}

// An event that failed in a group still being written is counted once: among the failed, not
// among those not yet stored.
TEST_F(AnalyticsLifecycleTest, TheAppsEndCountsAFailedEventOnceWhileItsGroupIsWritten) {
  VendorLines lines;
  start();
  drain();
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  holdWritesOfEventsNamed("held", lines);
  ASSERT_EQ(sqlite3_exec(db,
                         "CREATE TEMP TRIGGER refuse_failing BEFORE INSERT ON raw_events WHEN NEW.name = 'failing' "
                         "BEGIN SELECT RAISE(ABORT, 'refused'); END;",
                         nullptr, nullptr, nullptr),
            SQLITE_OK);
  logEvents("failing", 1);
  logEvents("held", 1);
  logEvents("after", 1);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  // The failed one; the held one and the one after it not yet stored.
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"1, 2, 0, 5"});
  ASSERT_EQ(sqlite3_exec(db, "DROP TRIGGER refuse_failing; DROP TRIGGER hold_held;", nullptr, nullptr, nullptr),
            SQLITE_OK);
  EXPECT_EQ(stored("held").size(), 1u);
  EXPECT_EQ(stored("after").size(), 1u);
}

// A start that cannot open the store leaves the engine without one: what it drops then is lost,
// not switched off. Collection switched off by the app is no loss.
TEST_F(AnalyticsLifecycleTest, TheAppsEndReportsEventsDroppedForWantOfAStore) {
  VendorLines lines;
  platform::Dictionary off;
  off.set(kTLMStartOptionCollectionEnabled, platform::Value(false));
  start(off);
  drain();
  logEvents("switched_off", 2);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_TRUE(endWarningCounts(lines).empty());

  startWithoutAStore();
  ASSERT_EQ(h.engine->database(), nullptr);
  logEvents("no_store", 3);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"3, 0, 0, 0"});
}

// Restores the default bound of the events waiting in memory when the test ends.
struct DefaultBoundAfterwards {
  ~DefaultBoundAfterwards() { TLMMeasurementEngine::setMaxQueuedEventBytes(kTLMDefaultMaxQueuedEventBytes); }
};

// The parameters of the first event logEvents logs.
TLMObjectDictionary firstIndex() {
  TLMObjectDictionary parameters;
  parameters.set("index", TLMObject(std::int64_t{0}));
  return parameters;
}

// A host that logs faster than anything runs its calls: what the calls leave waiting counts
// among the events waiting in memory before it is queued, so that the queues hold no more than
// the bound, and the rest is dropped at the call, counted and said. The calls' events stay counted
// until the worker takes them. Events with a parameter over the limit (kept with 25 and an error
// parameter) are counted the same; a call refused at once (a name with a leading underscore)
// leaves nothing queued but its error event, which counts as any event.
TEST_F(AnalyticsLifecycleTest, WhatALogCallLeavesWaitingIsBoundedBeforeItIsQueued) {
  DefaultBoundAfterwards restore;
  start();
  drain();
  const TLMObjectDictionary one = firstIndex();
  const std::int64_t bytes = TLMMeasurementEngine::queuedEventBytes("app", "flat_out", one);
  ASSERT_EQ(TLMMeasurementEngine::waitingEventBytes(), 0);
  TLMMeasurementEngine::setMaxQueuedEventBytes(10 * bytes);
  const std::size_t saidBefore = h.monitor->count(23200);
  logEvents("flat_out", 1000);  // nothing runs the queues meanwhile
  EXPECT_EQ(operation->pendingCount(), 10u);
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 10 * bytes);
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 990);
  EXPECT_EQ(h.monitor->count(23200), saidBefore + 1);  // the first of the run
  // Handed on to the engine they still wait, and count, until the worker takes them.
  operation->drain();
  serial->drain();
  logEvents("flat_out", 5);
  EXPECT_EQ(operation->pendingCount(), 0u);
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 10 * bytes);
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 995);
  h.worker->drain();
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 0);
  EXPECT_EQ(stored("flat_out").size(), 10u);

  TLMObjectDictionary tooMany;
  for (int i = 0; i < 26; ++i) tooMany.set("p" + std::to_string(i), TLMObject(std::string(100, 'v')));
  const std::int64_t big = TLMMeasurementEngine::queuedEventBytes("app", "over_limit", tooMany);
  EXPECT_GT(big, bytes + 26 * 100);
  TLMMeasurementEngine::setMaxQueuedEventBytes(3 * big);
  for (int i = 0; i < 100; ++i) TLMAnalytics::logEventWithName("over_limit", tooMany);
  EXPECT_EQ(operation->pendingCount(), 3u);
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 3 * big);
  for (int i = 0; i < 100; ++i) TLMAnalytics::logEventWithName("_reserved", one);
  EXPECT_EQ(operation->pendingCount(), 3u);
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 3 * big);  // their error events found no room
  drain();
  EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 0);
  EXPECT_EQ(stored("over_limit").size(), 3u);
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 995 + 97 + 100);
  // With room, a refused call's error event is stored as before.
  TLMAnalytics::logEventWithName("_reserved", one);
  drain();
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{2});
}

// A bound smaller than one event still lets an event in when none waits: with the store idle every
// event is stored; only those logged while another waits are dropped. The app's end counts the
// drops among the failed; once there is room the events are stored and the end answers true.
TEST_F(AnalyticsLifecycleTest, ABoundSmallerThanAnEventLetsOneInWhenNoneWaits) {
  DefaultBoundAfterwards restore;
  VendorLines lines;
  start();
  drain();
  for (std::int64_t bound : {1, 700}) {
    SCOPED_TRACE(bound);
    TLMMeasurementEngine::setMaxQueuedEventBytes(bound);
    const std::size_t before = stored("one_at_a_time").size();
    for (int i = 0; i < 3; ++i) {
      logEvents("one_at_a_time", 1);
      drain();
    }
    EXPECT_EQ(stored("one_at_a_time").size(), before + 3);
  }
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 0);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  logEvents("dropped", 3);  // the first waits: the other two are dropped
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"2, 0, 0, 0"});
  EXPECT_EQ(stored("dropped").size(), 1u);
  TLMMeasurementEngine::setMaxQueuedEventBytes(kTLMDefaultMaxQueuedEventBytes);
  logEvents("kept", 3);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_EQ(stored("kept").size(), 3u);
}

// A host logs on while the app ends and the events waiting hold the bound: what it drops after
// the end began is no loss of the end's (said all the same), which answers true once everything
// logged before it is stored. The next end, which those calls came before, counts the drops.
TEST_F(AnalyticsLifecycleTest, TheAppsEndCountsNoDropOfAnEventLoggedAfterItBegan) {
  DefaultBoundAfterwards restore;
  VendorLines lines;
  start();
  drain();
  const TLMObjectDictionary one = firstIndex();
  // Room for the two logged before the end (as the engine counts them too, with their origin).
  const std::int64_t bytes = TLMMeasurementEngine::queuedEventBytes("app", "before", one);
  TLMMeasurementEngine::setMaxQueuedEventBytes(2 * bytes + bytes / 2);
  logEvents("before", 2);
  const std::size_t said = h.monitor->count(23200);
  std::optional<bool> allStored;
  main->async([&] { allStored = UIApplication().terminate(); });
  WhileWaiting hostLogsOn(*h.clock, [this] {
    logEvents("after", 3);  // the two before still wait: no room
    drainWorkQueues();
  }, markerSent(operation->pendingCount()));
  main->drain();
  EXPECT_TRUE(hostLogsOn.finish());
  EXPECT_EQ(allStored, true);
  EXPECT_TRUE(endWarningCounts(lines).empty()) << endWarningCounts(lines)[0];
  EXPECT_EQ(stored("before").size(), 2u);
  EXPECT_TRUE(stored("after").empty());
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 3);
  EXPECT_EQ(h.monitor->count(23200), said + 1);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"3, 0, 0, 0"});
}

// After a start that failed the app may switch collection off: what is dropped from then on is
// no loss, as after a good start, whether the app's switch reaches the worker after the engine's
// own (which follows the failure) or before it.
TEST_F(AnalyticsLifecycleTest, EventsTheAppSwitchedOffAfterAFailedStartAreNoLoss) {
  VendorLines lines;
  platform::Dictionary off;
  off.set(kTLMStartOptionCollectionEnabled, platform::Value(false));
  start(off);
  drain();
  startWithoutAStore();
  ASSERT_EQ(h.engine->database(), nullptr);
  logEvents("no_store", 2);
  drain();
  TLMAnalytics::setAnalyticsEnabled(false);
  drain();
  logEvents("switched_off", 10);
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"2, 0, 0, 0"});  // those before the switch

  h.engine->setEnabled(true);  // fails again, and switches itself off behind the app's switch
  h.engine->setEnabled(false);
  drain();
  ASSERT_EQ(h.engine->database(), nullptr);
  logEvents("switched_off_first", 10);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_EQ(endWarningCounts(lines).size(), 1u);
}

// With no thread to be had the time limit's timer never fires: the waiting thread keeps the
// deadline itself.
TEST_F(AnalyticsLifecycleTest, TheAppsEndKeepsItsTimeLimitWhenNoTimerFires) {
  // The real time, and timers that never fire, as when no timer thread can be started.
  class TimerlessClock : public platform::Clock {
   public:
    double now() const override { return platform::Clock::system()->now(); }
    double uptime() const override { return platform::Clock::system()->uptime(); }
    TimerId scheduleTimer(double, std::function<void()>) override { return ++last_; }
    bool cancelTimer(TimerId) override { return true; }

   private:
    std::atomic<TimerId> last_{0};
  };
  VendorLines lines;
  start();
  drain();
  h.worker->suspend();
  logEvents("stuck", 2);
  drainWorkQueues();
  platform::ScopedClock timerless(std::make_shared<TimerlessClock>());
  auto answer = std::make_shared<std::promise<bool>>();
  std::future<bool> answered = answer->get_future();
  std::thread([answer] { answer->set_value(TLMAnalytics::waitForQueuedWork(0.05)); }).detach();
  ASSERT_EQ(answered.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the wait never ended";
  EXPECT_FALSE(answered.get());
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"0, 2, 0, 0.05"});
  h.worker->resume();
}

// A limit that is no positive number is taken as 0: no wait, and the warning says 0 seconds
// waited. +infinity waits until the work is done.
TEST_F(AnalyticsLifecycleTest, TheAppsEndTakesALimitBelowZeroOrNaNAsNoWait) {
  VendorLines lines;
  start();
  drain();
  h.worker->suspend();
  logEvents("stuck", 1);
  drainWorkQueues();
  for (double limit : {std::nan(""), -std::numeric_limits<double>::infinity(), -1.0, -0.0}) {
    SCOPED_TRACE(limit);
    EXPECT_FALSE(TLMAnalytics::waitForQueuedWork(limit));
  }
  EXPECT_EQ(endWarningCounts(lines), (std::vector<std::string>(4, "0, 1, 0, 0")));

  h.worker->resume();
  WhileWaiting queuesRun(*h.clock, [this] { drainWorkQueues(); }, markerSent(operation->pendingCount()));
  EXPECT_TRUE(TLMAnalytics::waitForQueuedWork(std::numeric_limits<double>::infinity()));
  EXPECT_TRUE(queuesRun.finish());
  EXPECT_EQ(stored("stuck").size(), 1u);
  EXPECT_EQ(endWarningCounts(lines).size(), 4u);
}

// The lines a flood left held back when the app ends are said by the end, with their count: the
// process may end before the logger's timer fires.
TEST_F(AnalyticsLifecycleTest, TheAppsEndSaysTheLinesHeldBack) {
  VendorLines lines;
  start();
  drain();
  OBXLoggerForgetHeldLinesForTesting();
  for (int i = 0; i < 8; ++i) OBXLogError("<Tallymark>", false, "I-ACS023200", "Event dropped: " + std::to_string(i));
  EXPECT_EQ(lines.withCode("I-ACS023200").size(), 5u);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  const std::vector<OBXLogLine> said = lines.withCode("I-ACS023200");
  ASSERT_EQ(said.size(), 6u);
  EXPECT_EQ(said.back().message, "Event dropped: 7 (and 2 more like it in the last second)");
}

// A child forked while the parent's work waits is refused: what it logs is not queued, and its
// app's end answers false at once instead of waiting for the parent's work.
TEST_F(AnalyticsLifecycleTest, AForkedChildIsRefusedAndNeverWaitsForItsParentsWork) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "the thread sanitizer does not support a child of a threaded process";
#endif
  start();
  drain();
  h.worker->suspend();  // the parent's work waits: a child that waited for it would hang
  logEvents("parent", 1);
  drainWorkQueues();
  const testsupport::ChildEnd end = testsupport::runInChild(
      [&] {
        TLMAnalytics::logEventWithName("child", {});
        const bool answer = UIApplication().terminate();
        ::_exit(!answer && operation->pendingCount() == 0 ? 0 : 1);
      },
      testsupport::kChildLife);
  EXPECT_TRUE(end.inTime) << "the child hung";
  EXPECT_TRUE(end.exitedWith(0)) << "status " << end.status;
  h.worker->resume();
  drain();
  EXPECT_EQ(stored("parent").size(), 1u);
}

// An event the engine refuses queues an error event of the SDK's own behind the wait's marker:
// the app's end waits for it too.
TEST_F(AnalyticsLifecycleTest, TheAppsEndWaitsForTheErrorEventsQueuedWhileItWaits) {
  start();
  drain();
  refuseEventsNamedRefused();
  logEvents("refused", 1);
  std::atomic<bool> returned{false};
  std::optional<bool> allStored;
  std::int64_t leftAtReturn = -1;
  main->async([&] {
    allStored = UIApplication().terminate();
    leftAtReturn = h.engine->unfinishedEventCount();
    returned.store(true);
  });
  // The worker runs a block at a time until the app's end returns.
  WhileWaiting queuesRun(*h.clock, [&] {
    operation->drain();
    serial->drain();
    for (int idle = 0; !returned.load();) {
      if (h.worker->runNext()) {
        idle = 0;
      } else if (++idle == 1000000) {
        h.clock->advance(kTLMAppTerminationWaitSeconds);  // it would never return by itself
      } else {
        std::this_thread::yield();
      }
    }
  }, markerSent(operation->pendingCount()));
  main->drain();
  EXPECT_TRUE(queuesRun.finish());
  EXPECT_EQ(allStored, true);
  EXPECT_EQ(leftAtReturn, 0);
  drain();
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});
}

// Another thread of the host logs at a steady pace while the app ends: the end waits for what
// was logged before it and for the SDK's own work of those calls (an error event), not for the
// calls made meanwhile, and answers true without a warning.
TEST_F(AnalyticsLifecycleTest, TheAppsEndDoesNotWaitForWhatOtherThreadsLogMeanwhile) {
  VendorLines lines;
  start();
  drain();
  refuseEventsNamedRefused();
  logEvents("refused", 1);
  logEvents("before_end", 3);
  std::atomic<bool> returned{false};
  std::optional<bool> allStored;
  main->async([&] {
    allStored = UIApplication().terminate();
    returned.store(true);
  });
  // Each step hands the last call on, runs one block of the worker and leaves a new call queued:
  // whenever the end looks, a later call waits on the queues and a later event at the worker.
  // The steps go on until the end returns; the time moves only should it still wait when the
  // hang detector's bound passes, which an end that waited for the later work would.
  bool timeMoved = false;
  WhileWaiting steadyLogger(*h.clock, [&] {
    const auto bound = std::chrono::steady_clock::now() + testsupport::kEventWait;
    while (!returned.load()) {
      if (!timeMoved && std::chrono::steady_clock::now() > bound) {
        timeMoved = true;
        h.clock->advance(kTLMAppTerminationWaitSeconds);
      }
      operation->drain();
      if (returned.load()) return;  // what the store holds is read as the end left it
      h.worker->runNext();
      serial->drain();
      logEvents("meanwhile", 1);
    }
  }, markerSent(operation->pendingCount()));
  main->drain();
  EXPECT_TRUE(steadyLogger.finish());
  EXPECT_FALSE(timeMoved) << "the end waited for what was logged after it began";
  EXPECT_EQ(allStored, true);
  EXPECT_TRUE(lines.withCode("I-ACS025036").empty());
  EXPECT_EQ(stored("before_end").size(), 3u);
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});
}

// Another thread's call counts itself just before the app's end begins and reads the generation of
// its work just after: the end waits for the call to be handed on, and its event is of the work
// after the end. Were the generation read first, the event would be of the work before while the
// call is not counted: the end would wait for it at the worker, and report it not stored.
TEST_F(AnalyticsLifecycleTest, TheAppsEndNeverWaitsForTheEventOfACallMadeAsItBegins) {
  VendorLines lines;
  start();
  drain();
  static std::atomic<bool> reached{false};
  static std::atomic<bool> open{false};
  reached.store(false);
  open.store(false);
  TLMAnalytics::setCallCountedHookForTesting([] {
    if (reached.exchange(true)) return;  // the first call only
    testsupport::eventually([] { return open.load(); });
  });
  std::thread otherThread([this] { logEvents("as_the_end_began", 1); });
  const bool held = testsupport::eventually([] { return reached.load(); });
  std::optional<bool> allStored;
  main->async([&] { allStored = UIApplication().terminate(); });
  WhileWaiting queuesRun(*h.clock, [&] {
    open.store(true);
    otherThread.join();  // its call is queued behind the end's marker
    operation->drain();
    serial->drain();  // the call is handed on; its event waits at the worker behind the marker
    h.worker->runNext();  // the marker's look
    h.clock->advance(kTLMAppTerminationWaitSeconds);
  }, markerSent(operation->pendingCount()));
  main->drain();
  EXPECT_TRUE(queuesRun.finish());
  TLMAnalytics::setCallCountedHookForTesting(nullptr);
  open.store(true);
  if (otherThread.joinable()) otherThread.join();
  ASSERT_TRUE(held) << "the call never reached the hook";
  EXPECT_EQ(allStored, true);
  EXPECT_TRUE(endWarningCounts(lines).empty()) << endWarningCounts(lines)[0];
  EXPECT_TRUE(stored("as_the_end_began").empty());
  drain();
  EXPECT_EQ(stored("as_the_end_began").size(), 1u);
}

// The marker finds the SDK's own work of the calls before the wait left (an error event queued
// behind it): the waiting thread looks again until that work is stored, and answers then, not
// when its time runs out. The limit is far beyond the hang detector's bound, and the rest is
// stored only once the waiting thread has looked and found it left.
TEST_F(AnalyticsLifecycleTest, AWaitLooksAgainUntilTheRestOfItsWorkIsStored) {
  // The clock of the test, counting the readings of the waiting thread: it reads the clock
  // before each look and before each pause.
  class ReadingsCounted : public platform::Clock {
   public:
    ReadingsCounted(std::shared_ptr<platform::ManualClock> clock, std::thread::id reader)
        : clock_(std::move(clock)), reader_(reader) {}
    double now() const override { return clock_->now(); }
    double uptime() const override {
      if (std::this_thread::get_id() == reader_) readings.fetch_add(1);
      return clock_->uptime();
    }
    TimerId scheduleTimer(double delay, std::function<void()> fire) override {
      return clock_->scheduleTimer(delay, std::move(fire));
    }
    bool cancelTimer(TimerId id) override { return clock_->cancelTimer(id); }
    mutable std::atomic<int> readings{0};

   private:
    std::shared_ptr<platform::ManualClock> clock_;
    std::thread::id reader_;
  };
  VendorLines lines;
  start();
  drain();
  refuseEventsNamedRefused();
  logEvents("refused", 1);
  constexpr double kLimit = 24 * 3600.0;
  auto clock = std::make_shared<ReadingsCounted>(h.clock, std::this_thread::get_id());
  platform::ScopedClock counted(clock);
  std::atomic<bool> returned{false};
  bool looked = false;
  bool timeMoved = false;
  WhileWaiting queuesRun(*h.clock, [&] {
    operation->drain();
    serial->drain();
    h.worker->runNext();  // the refused event: its error event is queued behind the marker
    h.worker->runNext();  // the marker finds it left
    // The next two readings of the waiting thread hold a look between them, which finds the
    // error event still queued.
    const int readings = clock->readings.load();
    looked = testsupport::eventually([&] { return clock->readings.load() >= readings + 2; });
    h.worker->drain();  // the error event is stored: nothing is left
    if (!testsupport::eventually([&] { return returned.load(); })) {
      timeMoved = true;
      h.clock->advance(kLimit);
    }
  }, markerSent(operation->pendingCount()));
  EXPECT_TRUE(TLMAnalytics::waitForQueuedWork(kLimit));
  returned.store(true);
  EXPECT_TRUE(queuesRun.finish());
  EXPECT_TRUE(looked);
  EXPECT_FALSE(timeMoved) << "the wait did not look again once the rest of its work was stored";
  EXPECT_EQ(errorCodes(), std::vector<std::int64_t>{11});
  EXPECT_TRUE(endWarningCounts(lines).empty());
}

// Another thread logs while the app's end runs out of time: the end's warning counts none of its
// events among those not yet stored, neither those still queued nor those written in one group
// with an error event of the work before the end.
TEST_F(AnalyticsLifecycleTest, TheAppsEndCountsNoEventLoggedAfterItBegan) {
  VendorLines lines;
  start();
  drain();
  refuseEventsNamedRefused();
  holdWritesOfEventsNamed("_err", lines);
  logEvents("refused", 1);
  std::optional<bool> allStored;
  main->async([&] { allStored = UIApplication().terminate(); });
  WhileWaiting otherThread(*h.clock, [this] {
    logEvents("meanwhile", 3);
    operation->drain();
    serial->drain();
    h.worker->runNext();  // the refused event: its error event is queued behind the three
    logEvents("meanwhile", 2);
    // One group takes the three, the error event (held until the end has warned) and the two.
    drainWorkQueues();
  }, markerSent(operation->pendingCount()));
  main->drain();
  EXPECT_TRUE(otherThread.finish());
  EXPECT_EQ(allStored, false);
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"0, 1, 0, 5"});
  // All were written in the end.
  EXPECT_EQ(h.engine->unfinishedEventCount(), 0);
  EXPECT_EQ(h.engine->failedEventCount(), 0);
}

// An interceptor forwards what the app logs, as a tag manager does: its call is work of the
// SDK's own for the app's call, queued while the app's end waits. The end waits for it, and
// counts it among the calls not handled when the time runs out first.
TEST_F(AnalyticsLifecycleTest, TheAppsEndWaitsForTheCallsOfTheSDKsOwnWorkQueuedWhileItWaits) {
  VendorLines lines;
  start();
  drain();
  EXPECT_FALSE(endWithAForwardedCallQueued([] {}));
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"0, 0, 1, 5"});
  drain();
  EXPECT_EQ(stored("forwarded").size(), 1u);
}

// The marker goes round again behind work the SDK queued meanwhile, and the time runs out while it
// waits behind other calls, after everything before the end was stored: nothing is lost, so the
// end answers true and warns of nothing.
TEST_F(AnalyticsLifecycleTest, AnEndWhoseTimeRunsOutOnceEverythingBeforeItIsStoredAnswersTrue) {
  VendorLines lines;
  start();
  drain();
  EXPECT_TRUE(endWithAForwardedCallQueued([this] {
    operation->runNext();  // the interceptor's call only
    serial->drain();
    h.worker->drain();  // its event is stored; the marker is still on the operation queue
  }));
  EXPECT_TRUE(endWarningCounts(lines).empty()) << endWarningCounts(lines)[0];
  EXPECT_EQ(stored("forwarded").size(), 1u);
}

// Other threads' calls made once the app's end began wait on the operation queue, and nothing runs
// them, while the SDK's own call for what the app logged before (the interceptor's) is queued
// behind the end's marker and then stored: the end returns true as soon as it is, its time
// untouched, with the later calls still queued.
TEST_F(AnalyticsLifecycleTest, TheAppsEndAnswersOnceWhatCameBeforeIsStoredWhileLaterCallsStayQueued) {
  VendorLines lines;
  start();
  forwardWhatTheAppLogs();
  drain();
  logEvents("forwarded", 1);
  std::atomic<bool> returned{false};
  bool timeMoved = false;
  std::size_t queuedAtReturn = 0;
  WhileWaiting otherThreads(*h.clock, [&] {
    operation->drain();
    serial->drain();  // the app's call: the interceptor's call is queued behind the end's marker
    logEvents("meanwhile", 3);  // behind the interceptor's call, and never run while the end waits
    h.worker->drain();  // the app's call left work on the queues: the marker finds it there
    operation->runNext();  // the interceptor's call only
    serial->drain();
    h.worker->drain();  // its event is stored: nothing before the end is left
    // A hang detector only: the end returns without its time running out.
    if (!testsupport::eventually([&] { return returned.load(); })) {
      timeMoved = true;
      h.clock->advance(kTLMAppTerminationWaitSeconds);
    }
  }, markerSent(operation->pendingCount()));
  const bool allStored = UIApplication().terminate();
  queuedAtReturn = operation->pendingCount();
  returned.store(true);
  EXPECT_TRUE(otherThreads.finish());
  EXPECT_FALSE(timeMoved) << "the end waited for the calls made after it began";
  EXPECT_TRUE(allStored);
  EXPECT_TRUE(endWarningCounts(lines).empty());
  EXPECT_EQ(stored("forwarded").size(), 1u);
  EXPECT_GE(queuedAtReturn, 3u);
  EXPECT_TRUE(stored("meanwhile").empty());
  drain();
  EXPECT_EQ(stored("meanwhile").size(), 3u);
}

// The app ends while a batch is posted: the end returns only once the collector's answer was
// handled and the bundles it accepted deleted, so the next launch has nothing of them to send
// again; what was logged before the end is stored, and waits for a later launch.
TEST_F(AnalyticsLifecycleTest, TheAppsEndWaitsForTheUploadInFlightAndTheDeleteOfWhatItSent) {
  VendorLines lines;
  start();
  drain();
  postABatch(3);
  logEvents("before_end", 2);
  EXPECT_TRUE(endWithAnUploadInFlight([this] {
    transport->respond(204);
    drainWorkQueues();
  }));
  EXPECT_EQ(queuedBundles(), 0);
  EXPECT_EQ(transport->requests().size(), 1u);  // the answer started no other upload
  EXPECT_EQ(stored("before_end").size(), 2u);
  EXPECT_TRUE(lines.withCode("I-ACS025036").empty());
  EXPECT_TRUE(lines.withCode("I-ACS025038").empty());
}

// The collector does not answer within the end's time: the end answers false and counts what will
// be sent again; the late answer is still handled should the process live on.
TEST_F(AnalyticsLifecycleTest, AnEndWhoseTimeRunsOutBeforeTheUploadIsAnsweredSaysWhatMayGoAgain) {
  VendorLines lines;
  start();
  drain();
  const std::string carried = postABatch(3);
  EXPECT_FALSE(endWithAnUploadInFlight([this] { h.clock->advance(kTLMAppTerminationWaitSeconds); }));
  EXPECT_EQ(endWarningCounts(lines, "I-ACS025038"), std::vector<std::string>{carried + ", 5"});
  ASSERT_EQ(lines.withCode("I-ACS025038").size(), 1u);
  EXPECT_EQ(lines.withCode("I-ACS025038")[0].level, OBXLoggerLevelWarning);
  EXPECT_TRUE(lines.withCode("I-ACS025036").empty());  // nothing is lost
  EXPECT_GT(queuedBundles(), 0);
  transport->respond(204);
  drain();
  EXPECT_EQ(queuedBundles(), 0);
}

// Bundles the collector accepted whose delete fails go again at a later launch: the end says so.
TEST_F(AnalyticsLifecycleTest, AnEndAfterWhichAcceptedBundlesGoAgainAnswersFalse) {
  VendorLines lines;
  start();
  drain();
  const std::string carried = postABatch(2);
  ASSERT_TRUE(h.database()->sqliteStore()->executeSQL(
      "CREATE TRIGGER keep BEFORE DELETE ON queue BEGIN SELECT RAISE(ABORT, 'kept'); END", nullptr));
  EXPECT_FALSE(endWithAnUploadInFlight([this] {
    transport->respond(204);
    drainWorkQueues();
  }));
  const auto counts = endWarningCounts(lines, "I-ACS025038");
  ASSERT_EQ(counts.size(), 1u);
  EXPECT_EQ(counts[0].rfind(carried + ", ", 0), 0u) << counts[0];
  EXPECT_GT(queuedBundles(), 0);
}

// Once the app's end began no upload starts, neither one due nor the one resigning active asks
// for: what the app logs after it is stored and kept. Becoming active again lets uploads go on.
TEST_F(AnalyticsLifecycleTest, NoUploadStartsAfterTheAppsEndUntilTheAppIsActiveAgain) {
  start();
  drain();
  h.applySettings({});
  logEvents("before_end", 2);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  logEvents("after_end", 2);
  drain();
  EXPECT_FALSE(h.engine->alarm()->scheduledTimestamp());  // nothing is due
  h.engine->handleAppWillResignActiveEvent({});
  drain();
  EXPECT_TRUE(transport->requests().empty());
  EXPECT_EQ(stored("before_end").size() + stored("after_end").size(), 4u);

  h.engine->handleAppDidBecomeActiveEvent({});
  drain();
  const auto due = h.engine->alarm()->scheduledTimestamp();
  ASSERT_TRUE(due);
  h.clock->advance(*due - h.clock->now());
  drain();
  ASSERT_EQ(transport->requests().size(), 1u);
  std::size_t carried = 0;
  for (const auto& bundle : UploadHarness::bundlesOf(transport->requests()[0])) {
    for (const auto& name : UploadHarness::eventNames(*bundle)) carried += name == "before_end" || name == "after_end";
  }
  EXPECT_EQ(carried, 4u);
}

// The value of the user property `property` that the stored event `event` carries.
std::optional<std::string> propertyAtEvent(EngineHarness& h, const std::string& event, const std::string& property) {
  platform::Array arguments;
  arguments.push_back(platform::Value(event));
  auto fingerprint = h.database()->sqliteStore()->numberForQuery(
      "SELECT metadata_fingerprint FROM raw_events WHERE name = ?", arguments, nullptr);
  if (!fingerprint) return std::nullopt;
  auto metadata = h.database()->queryRawEventsMetadataWithFingerprint(fingerprint->int64Value().value_or(0), nullptr);
  if (!metadata) return std::nullopt;
  for (const auto& attribute :
       NANOGetArray<TLMPBUserAttribute>(*metadata, TLMPBMeasurementBundleSlot::user_attributes).value_or(
           std::vector<std::shared_ptr<TLMPBUserAttribute>>{})) {
    if (NANOGetString(*attribute, TLMPBUserAttributeSlot::name) == property) {
      return NANOGetString(*attribute, TLMPBUserAttributeSlot::string_value);
    }
  }
  return std::nullopt;
}

// A host makes each call other than a log call flat out while nothing runs the queues: a setter's
// calls wait as one call (the newest), the others no more than the bound of what waits in memory
// holds, the rest dropped and said in a few lines. Handed on to the engine one at a time, a
// setter's calls wait on its worker as one write or block.
TEST_F(AnalyticsLifecycleTest, AFloodOfAnyOtherCallLeavesABoundedWorkWaiting) {
  DefaultBoundAfterwards restore;
  start();
  drain();
  constexpr int kCalls = 1100;
  constexpr std::size_t kRoom = 16;
  TLMMeasurementEngine::setMaxQueuedEventBytes(kRoom * kTLMQueuedCallBytes);
  auto answers = platform::ManualQueue::create("answers");
  const auto event = TLMEvent::initWithOrigin("app", true, "notified", 0, 0, {});
  const auto interceptor = [](const std::string&, const std::string&, const TLMObjectDictionary&, double) {};
  struct Kind {
    const char* name;
    std::function<void(int)> call;
    std::size_t most;
  };
  const std::vector<Kind> kinds = {
      {"user id", [](int i) { CDVAnalytics::setUserID(TLMObject("user-" + std::to_string(i))); }, 1},
      {"one property", [](int i) { TLMAnalytics::setUserPropertyString(TLMObject("v" + std::to_string(i % 7)), "tier"); }, 1},
      {"one property set and removed",
       [](int i) { TLMAnalytics::setUserPropertyString(i % 2 ? TLMObject("gold") : TLMObject(), "tier"); }, 1},
      {"collection toggled", [](int i) { CDVAnalytics::setAnalyticsCollectionEnabled(i % 2 == 1); }, 1},
      {"data reset", [](int) { CDVAnalytics::resetAnalyticsData(); }, 1},
      {"interceptor", [&](int) { TLMAnalytics::setLogEventInterceptor(interceptor); }, 1},
      {"open URL listener", [](int) { TLMAnalytics::setOpenURLListener([](const std::string&) {}); }, 1},
      {"properties by name", [](int i) { TLMAnalytics::setUserPropertyString(TLMObject("v"), "p" + std::to_string(i)); }, kRoom},
      {"links", [](int i) { TLMAnalytics::handleOpenURL("app://open?utm_campaign=" + std::to_string(i)); }, kRoom},
      {"user activities", [](int) { TLMAnalytics::handleUserActivity(platform::UserActivity{}); }, kRoom},
      {"property queries",
       [&](int) { TLMAnalytics::userPropertiesIncludingInternal(false, answers, [](platform::Dictionary) {}); }, kRoom},
      {"limit queries", [&](int) { TLMAnalytics::maxUserPropertiesForOrigin("app", answers, [](int) {}); }, kRoom},
      {"listeners added", [](int) { TLMAnalytics::addLogEventListener([](const TLMEventPtr&) {}); }, kRoom},
      {"listeners removed", [](int i) { TLMAnalytics::removeLogEventListener(i); }, kRoom},
      {"listeners notified", [&](int) { TLMAnalytics::notifyEventListeners(event); }, kRoom},
      {"blocks", [](int) { CDVAnalytics::queueOperationWithBlock([] {}); }, kRoom},
      {"serial blocks", [](int) { CDVAnalytics::dispatchAsyncOnSerialQueue([] {}); }, kRoom},
  };
  for (const Kind& kind : kinds) {
    SCOPED_TRACE(kind.name);
    const std::size_t said = h.monitor->count(25040);
    for (int i = 0; i < kCalls; ++i) kind.call(i);
    EXPECT_LE(operation->pendingCount() + serial->pendingCount(), kind.most);
    EXPECT_LE(h.monitor->count(25040) - said, 2u);  // the first drop of the run and the 1,000th
    drain();
    answers->drain();
    EXPECT_EQ(TLMMeasurementEngine::waitingEventBytes(), 0);
  }
  // Every dropped query was answered, once.
  EXPECT_EQ(answers->pendingCount(), 0u);

  const std::vector<Kind> handedOn = {
      {"user id", [](int i) { CDVAnalytics::setUserID(TLMObject("user-" + std::to_string(i))); }, 1},
      {"collection toggled", [](int i) { CDVAnalytics::setAnalyticsCollectionEnabled(i % 2 == 1); }, 1},
      {"session timeout", [](int i) { CDVAnalytics::setSessionTimeoutInterval(1800 + i); }, 1},
      {"collection and session timeout in turn",
       [](int i) {
         if (i % 2 == 0) CDVAnalytics::setSessionTimeoutInterval(1800 + i);
         if (i % 2 == 1) CDVAnalytics::setAnalyticsCollectionEnabled(i % 4 == 3);
       },
       2},
  };
  for (const Kind& kind : handedOn) {
    SCOPED_TRACE(kind.name);
    for (int i = 0; i < kCalls; ++i) {
      kind.call(i);
      operation->drain();
      serial->drain();
    }
    EXPECT_LE(h.worker->pendingCount(), kind.most);
    drain();
  }
  ASSERT_TRUE(h.property("_id"));
  EXPECT_EQ(*h.property("_id")->value().stringPtr(), "user-" + std::to_string(kCalls - 1));
  EXPECT_TRUE(h.engine->isEnabled());
}

// A setter's call takes over the one before it only while nothing came between them: an event
// logged between two sets of a property carries the first, a set before an event stays ahead of
// it, and an event logged while collection is off is not stored, whether the calls wait on the
// interface's serial queue or, handed on, on the engine's worker. The switch's last call wins.
TEST_F(AnalyticsLifecycleTest, ACallTakenOverKeepsItsPlaceAmongTheEvents) {
  start();
  drain();
  for (bool handedOn : {false, true}) {
    SCOPED_TRACE(handedOn ? "on the worker" : "on the serial queue");
    const std::string suffix = handedOn ? "_worker" : "_serial";
    // Each call joins the serial queue before the next is made (the switch goes there straight).
    const auto step = [&] {
      operation->drain();
      if (handedOn) serial->drain();
    };
    for (const char* value : {"first", "first_again", "first_at_last"}) {
      TLMAnalytics::setUserPropertyString(TLMObject(value), "tier");
      step();
    }
    logEvents("between" + suffix, 1);
    step();
    for (const char* value : {"second", "third"}) {
      TLMAnalytics::setUserPropertyString(TLMObject(value), "tier");
      step();
    }
    logEvents("after" + suffix, 1);
    step();
    TLMAnalytics::setAnalyticsEnabled(false);
    step();
    logEvents("while_off" + suffix, 1);
    step();
    for (bool enabled : {true, false, true}) {
      TLMAnalytics::setAnalyticsEnabled(enabled);
      step();
    }
    logEvents("while_on" + suffix, 1);
    drain();
    EXPECT_EQ(propertyAtEvent(h, "between" + suffix, "tier"), "first_at_last");
    EXPECT_EQ(propertyAtEvent(h, "after" + suffix, "tier"), "third");
    EXPECT_TRUE(stored("while_off" + suffix).empty());
    EXPECT_EQ(stored("while_on" + suffix).size(), 1u);
    EXPECT_TRUE(TLMAnalytics::isEnabled());
  }
  for (bool enabled : {false, true, false}) TLMAnalytics::setAnalyticsEnabled(enabled);
  drain();
  EXPECT_FALSE(TLMAnalytics::isEnabled());
  EXPECT_FALSE(h.engine->isEnabled());
}

// A call dropped past the bound is a call not handled for the app's end it came before, which
// answers false and counts it once, before the start as after it; a setter's call taken over by a
// later one is handled by it.
TEST_F(AnalyticsLifecycleTest, TheAppsEndCountsDroppedCallsOnceAndNoneTakenOver) {
  DefaultBoundAfterwards restore;
  VendorLines lines;
  const auto properties = [](const std::string& prefix) {
    for (int i = 0; i < 10; ++i) TLMAnalytics::setUserPropertyString(TLMObject("v"), prefix + std::to_string(i));
  };
  // Room for three properties' calls: each the call, its name, origin and value ("app", "v").
  const auto roomForThree = [] { TLMMeasurementEngine::setMaxQueuedEventBytes(3 * (kTLMQueuedCallBytes + 2 + 3 + 1)); };
  roomForThree();
  properties("a");  // three wait for the start, seven are dropped
  EXPECT_FALSE(UIApplication().terminate());
  EXPECT_EQ(endWarningCounts(lines), std::vector<std::string>{"0, 0, 10, 0"});
  TLMMeasurementEngine::setMaxQueuedEventBytes(kTLMDefaultMaxQueuedEventBytes);
  start();
  drain();
  EXPECT_TRUE(h.property("a2"));
  EXPECT_FALSE(h.property("a3"));
  EXPECT_EQ(endWhileTheQueuesRun(), true);

  for (int i = 0; i < 1000; ++i) CDVAnalytics::setUserID(TLMObject("user-" + std::to_string(i)));
  EXPECT_EQ(operation->pendingCount(), 1u);
  EXPECT_EQ(endWhileTheQueuesRun(), true);
  EXPECT_EQ(endWarningCounts(lines).size(), 1u);
  EXPECT_EQ(*h.property("_id")->value().stringPtr(), "user-999");

  roomForThree();
  properties("b");
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  EXPECT_EQ(endWarningCounts(lines), (std::vector<std::string>{"0, 0, 10, 0", "0, 0, 7, 0"}));
  EXPECT_TRUE(h.property("b2"));
  EXPECT_EQ(endWhileTheQueuesRun(), true);
}

}  // namespace
