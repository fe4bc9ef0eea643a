// The app's life cycle through the interface's queues: what the app logged before it resigns
// active travels in the upload that resigning starts, and the app's end waits (a bounded time)
// until what was logged before it is stored.
#include <atomic>
#include <functional>
#include <string>
#include <thread>

#include "AnalyticsTestSupport.h"
#include "UploadTestSupport.h"
#include "uikit/UIKit.h"

namespace {

// Runs `step` once on another thread as soon as a timer more than were pending at construction
// is pending on the clock: the time limit of a wait the calling thread has begun. The step stands
// for the queues' own threads (or the time passing) while the caller waits.
class WhileWaiting {
 public:
  WhileWaiting(platform::ManualClock& clock, std::function<void()> step)
      : baseline_(clock.pendingTimerCount()), thread_([this, &clock, step = std::move(step)] {
          while (!stop_.load()) {
            if (clock.pendingTimerCount() > baseline_) {
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
  start();
  drain();
  logEvents("before_end", 5);
  TLMAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  // Made on the main queue, as the app's own end is.
  main->async([] { UIApplication().terminate(); });
  WhileWaiting queuesRun(*h.clock, [this] { drainWorkQueues(); });
  main->drain();
  EXPECT_TRUE(queuesRun.finish());
  EXPECT_EQ(stored("before_end").size(), 5u);
  ASSERT_TRUE(h.property("tier"));
  EXPECT_EQ(*h.property("tier")->value().stringPtr(), "gold");
}

TEST_F(AnalyticsLifecycleTest, TheAppsEndGivesUpAfterItsTimeWhileTheWorkerHangs) {
  start();
  drain();
  h.worker->suspend();
  logEvents("stuck", 2);
  WhileWaiting timePasses(*h.clock, [this] {
    drainWorkQueues();
    h.clock->advance(kTLMAppTerminationWaitSeconds);
  });
  EXPECT_FALSE(TLMAnalytics::waitForQueuedWork(kTLMAppTerminationWaitSeconds));
  EXPECT_TRUE(timePasses.finish());
  EXPECT_TRUE(stored("stuck").empty());
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
    WhileWaiting timeout(*h.clock, [this] { h.clock->advance(kTLMAppTerminationWaitSeconds); });
    logEvents("held", 1);
    EXPECT_FALSE(TLMAnalytics::waitForQueuedWork(kTLMAppTerminationWaitSeconds));
    UIApplication().terminate();  // nobody observes it before the start
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

}  // namespace
