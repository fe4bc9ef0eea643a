// The app's life cycle through the interface's queues: what the app logged before it resigns
// active travels in the upload that resigning starts, and the app's end waits (a bounded time)
// until what was logged before it is stored.
#include <sqlite3.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "AnalyticsTestSupport.h"
#include "Core/Public/CDVApp.h"
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

// The commits of the engine's store connection.
class CommitCount {
 public:
  explicit CommitCount(TLMMeasurementEngine& engine) : db_(engine.database()->sqliteStore()->sqliteHandle()) {
    sqlite3_commit_hook(db_, [](void* count) { return static_cast<std::atomic<int>*>(count)->fetch_add(1), 0; },
                        &commits);
  }
  ~CommitCount() { sqlite3_commit_hook(db_, nullptr, nullptr); }
  std::atomic<int> commits{0};

 private:
  sqlite3* db_;
};

class AnalyticsLifecycleTest : public AnalyticsTest {
 protected:
  void SetUp() override {
    AnalyticsTest::SetUp();
    OBXNetwork::setNetworkReachable(true);
    h.network = std::make_shared<OBXNetwork>("collector.invalid", transport);
  }
  void logEvents(const std::string& name, int count) {
    for (int i = 0; i < count; ++i) {
      TLMObjectDictionary parameters;
      parameters.set("index", TLMObject(std::int64_t{i}));
      TLMAnalytics::logEventWithName(name, parameters);
    }
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
  // are then stored before the wait groups them, and the marker finds nobody to run it.)
  std::function<bool()> markerSent(std::size_t before) {
    return [this, before] { return operation->pendingCount() > before; };
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

  std::shared_ptr<OBXFakeNetworkTransport> transport = std::make_shared<OBXFakeNetworkTransport>();
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
  for (auto* queue : {static_cast<platform::Queue*>(serial.get()), static_cast<platform::Queue*>(h.worker.get())}) {
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
  sqlite3* db = h.engine->database()->sqliteStore()->sqliteHandle();
  sqlite3_commit_hook(db, [](void*) { return 1; }, nullptr);  // every commit rolls back
  EXPECT_EQ(endWhileTheQueuesRun(), false);
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_TRUE(stored("refused_at_commit").empty());
  const auto warnings = lines.withCode("I-ACS025036");
  ASSERT_EQ(warnings.size(), 1u);
  EXPECT_NE(warnings[0].message.find(": 4, 0, 0, 0"), std::string::npos) << warnings[0].message;
}

// An event the engine refuses queues an error event of the SDK's own behind the wait's marker:
// the app's end waits for it too.
TEST_F(AnalyticsLifecycleTest, TheAppsEndWaitsForTheErrorEventsQueuedWhileItWaits) {
  start();
  drain();
  auto refused = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*refused, TLMPBEventConfigSlot::name, "refused");
  NANOSetBool(*refused, TLMPBEventConfigSlot::blacklisted, true);
  h.applySettings({{"measurement.upload.blacklist_public", "0"}}, {refused});
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

}  // namespace
