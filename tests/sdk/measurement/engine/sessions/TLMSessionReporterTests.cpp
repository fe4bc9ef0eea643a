#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "SessionTestSupport.h"
#include "foundation/NotificationCenter.h"
#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/sessions/TLMSessionReporter.h"

namespace {

// The manual clock with an uptime that can be moved back (a clock that is not monotonic).
class SkewedClock : public platform::Clock {
 public:
  explicit SkewedClock(std::shared_ptr<platform::ManualClock> base) : base_(std::move(base)) {}
  double now() const override { return base_->now(); }
  double uptime() const override { return base_->uptime() - back_.load(); }
  TimerId scheduleTimer(double delay, std::function<void()> fire) override {
    return base_->scheduleTimer(delay, std::move(fire));
  }
  bool cancelTimer(TimerId id) override { return base_->cancelTimer(id); }
  void setUptimeBack(double seconds) { back_.store(seconds); }

 private:
  std::shared_ptr<platform::ManualClock> base_;
  std::atomic<double> back_{0};
};

struct PropertyChange {
  std::string name;
  std::optional<std::int64_t> value;
};

class SessionReporterTest : public ::testing::Test {
 protected:
  // Queued firings hold the queue through their alarms: run them out.
  void TearDown() override { env.queue->drain(); }

  EngineTestEnvironment env;
  std::shared_ptr<TLMPersistedConfig> persisted = makeTestPersistedConfig(env);
  std::shared_ptr<SkewedClock> clock = std::make_shared<SkewedClock>(env.clock);
  platform::NotificationCenter center;
  TLMSessionSettings settings;
  std::atomic<bool> active{true};
  RecordedEvents events;
  std::mutex propertiesMutex;
  std::vector<PropertyChange> properties;

  std::shared_ptr<TLMSessionReporter> make() {
    TLMSessionReporterServices services;
    services.timerQueue = env.queue;
    services.clock = clock;
    services.settings = [this] { return settings; };
    services.isAppActive = [this] { return active.load(); };
    services.logInternalEvent = events.logger();
    services.setInternalUserProperty = [this](const std::optional<TLMValue>& value, const std::string& name,
                                              const std::string& origin) {
      EXPECT_EQ(origin, "auto");
      std::lock_guard<std::mutex> lock(propertiesMutex);
      properties.push_back({name, value ? std::optional<std::int64_t>(value->int64Value()) : std::nullopt});
    };
    services.notificationCenter = &center;
    return TLMSessionReporter::create(persisted, services);
  }

  // An enabled reporter whose first session has started (in the foreground).
  std::shared_ptr<TLMSessionReporter> makeStarted() {
    auto reporter = make();
    reporter->setReportingEnabled(true);
    reporter->handleAppDidBecomeActive();
    events.clear();
    return reporter;
  }

  // Foreground for `seconds`, then background (the engagement event logs at the resign).
  void foreground(TLMSessionReporter& reporter, double seconds) {
    env.advance(seconds);
    reporter.handleAppWillResignActiveWithScreen(nullptr);
    active.store(false);
  }

  void becomeActive(TLMSessionReporter& reporter) {
    active.store(true);
    reporter.handleAppDidBecomeActive();
  }
};

TEST_F(SessionReporterTest, AFreshInstallStartsSessionOneAtOnceWithIdAndNumber) {
  auto reporter = make();
  EXPECT_TRUE(persisted->startNewSession());  // expired against no earlier activity
  reporter->setReportingEnabled(true);
  reporter->handleAppDidBecomeActive();

  auto starts = events.named("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(starts[0].origin, "auto");
  EXPECT_EQ(int64Parameter(starts[0], "_sno"), 1);
  EXPECT_EQ(int64Parameter(starts[0], "_sid"), 1700000000);
  EXPECT_FALSE(persisted->startNewSession());
  EXPECT_EQ(persisted->sessionNumber(), 1);
  // Both properties are removed before the start, then set to the new session's values.
  std::unique_lock<std::mutex> lock(propertiesMutex);
  ASSERT_EQ(properties.size(), 4u);
  EXPECT_EQ(properties[0].name, "_sid");
  EXPECT_FALSE(properties[0].value);
  EXPECT_FALSE(properties[1].value);
  EXPECT_EQ(properties[2].value, 1700000000);
  EXPECT_EQ(properties[3].name, "_sno");
  EXPECT_EQ(properties[3].value, 1);
  lock.unlock();
  // The countdown armed when reporting was switched on does not start a second session.
  env.advance(10);
  EXPECT_EQ(events.named("_s").size(), 1u);
}

TEST_F(SessionReporterTest, SessionIdsOffLeaveOutSidAndRemoveTheProperty) {
  settings.sessionIDEnabled = false;
  auto reporter = make();
  reporter->setReportingEnabled(true);
  reporter->handleAppDidBecomeActive();
  auto starts = events.named("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_FALSE(starts[0].parameters.contains("_sid"));
  EXPECT_EQ(int64Parameter(starts[0], "_sno"), 1);
  std::lock_guard<std::mutex> lock(propertiesMutex);
  EXPECT_EQ(properties.back().name, "_sno");
  EXPECT_EQ(properties[2].name, "_sid");
  EXPECT_FALSE(properties[2].value);
}

TEST_F(SessionReporterTest, ReturningInsideTheTimeoutContinuesTheSessionAndAfterItStartsAnother) {
  auto reporter = makeStarted();
  foreground(*reporter, 5);
  auto engagement = events.named("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0], "_et"), 5000);

  // Exactly the timeout since the last activity is not expired.
  env.advance(1800);
  becomeActive(*reporter);
  EXPECT_TRUE(events.named("_s").empty());
  EXPECT_FALSE(persisted->startNewSession());

  foreground(*reporter, 2);
  env.advance(1800.5);
  becomeActive(*reporter);
  auto starts = events.named("_s");
  ASSERT_EQ(starts.size(), 1u);
  EXPECT_EQ(int64Parameter(starts[0], "_sno"), 2);
}

TEST_F(SessionReporterTest, WithoutImmediateStartTheMinimumCountsBankedEngagement) {
  settings.immediateStartEnabled = false;
  auto reporter = make();
  reporter->setReportingEnabled(true);
  reporter->handleAppDidBecomeActive();
  EXPECT_TRUE(events.named("_s").empty());
  EXPECT_TRUE(reporter->sessionStartTimer().scheduledTimestamp());

  // 4 s in the foreground, then away: the countdown stops and the 4 s are banked, measured
  // before the engagement event restarts the engagement clock.
  foreground(*reporter, 4);
  EXPECT_FALSE(reporter->sessionStartTimer().scheduledTimestamp());
  EXPECT_DOUBLE_EQ(persisted->engagementTimeBeforeSessionStart(), 4.0);
  env.advance(600);
  EXPECT_TRUE(events.named("_s").empty());

  // Back inside the timeout: the session still waits, now for 10 - 4 = 6 s.
  becomeActive(*reporter);
  EXPECT_DOUBLE_EQ(*reporter->sessionStartTimer().scheduledTimestamp(), env.clock->now() + 6);
  env.advance(5.9);
  EXPECT_TRUE(events.named("_s").empty());
  env.advance(0.1);
  ASSERT_EQ(events.named("_s").size(), 1u);
  EXPECT_FALSE(persisted->startNewSession());
}

TEST_F(SessionReporterTest, AScreenChangeLogsEngagementFromOneSecond) {
  auto reporter = makeStarted();
  TLMScreen from{"Overview", "OverviewController", 7, false};
  TLMScreen to{std::nullopt, "DetailsController", 8, false};

  env.advance(0.9);
  reporter->handleScreenDidChange(&from, &to);
  EXPECT_TRUE(events.named("_e").empty());
  reporter->handleScreenDidChange(nullptr, &to);
  env.advance(0.1);
  reporter->handleScreenDidChange(nullptr, &to);
  EXPECT_TRUE(events.named("_e").empty());
  reporter->handleScreenDidChange(&from, &to);
  auto engagement = events.named("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0], "_et"), 1000);
  EXPECT_EQ(stringParameter(engagement[0], "_sc"), "OverviewController");
  EXPECT_EQ(stringParameter(engagement[0], "_sn"), "Overview");
  EXPECT_EQ(int64Parameter(engagement[0], "_si"), 7);
  EXPECT_FALSE(engagement[0].parameters.contains("_fr"));
}

TEST_F(SessionReporterTest, EfficientEngagementMarksRedundantScreenEventsOrDropsThem) {
  settings.efficientEngagementReportingEnabled = true;
  auto reporter = makeStarted();
  TLMScreen from{"A", "AController", 1, false};
  env.advance(3);
  reporter->handleScreenDidChange(&from, nullptr);
  auto engagement = events.named("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0], "_fr"), 1);
  // A redundant event leaves the free-ride start alone: the engine's cut still sees the 3 s.
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 3000);
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 0);

  settings.redundantEngagementRemovalEnabled = true;
  events.clear();
  env.advance(5);
  reporter->handleScreenDidChange(&from, nullptr);
  EXPECT_TRUE(events.named("_e").empty());

  settings.efficientEngagementReportingEnabled = false;
  EXPECT_EQ(reporter->cutFreerideEngagementTimeMillis(), 0);
  EXPECT_TRUE(env.monitor->has(33007));
}

TEST_F(SessionReporterTest, TheEngagementTimerPostsItsNotificationAndLogsEachInterval) {
  int notifications = 0;
  center.addObserver(kTLMSessionReporterEngagementTimerDidFire, platform::Value(),
                     [&](const platform::Notification&) { ++notifications; });
  auto reporter = makeStarted();
  env.advance(3599);
  EXPECT_TRUE(events.named("_e").empty());
  env.advance(1);
  env.advance(3600);
  auto engagement = events.named("_e");
  ASSERT_EQ(engagement.size(), 2u);
  EXPECT_EQ(int64Parameter(engagement[1], "_et"), 3600000);
  EXPECT_EQ(notifications, 2);

  // Reporting off cancels both timers; the clock moving on logs nothing.
  reporter->setReportingEnabled(false);
  env.advance(7200);
  EXPECT_EQ(events.named("_e").size(), 2u);
}

TEST_F(SessionReporterTest, ANonPositiveEngagementIntervalSchedulesNoTimer) {
  for (double interval : {0.0, -5.0}) {
    settings.engagementInterval = interval;
    env.monitor->clear();
    events.clear();
    auto reporter = makeStarted();
    EXPECT_FALSE(reporter->userEngagementTimer().scheduledTimestamp());
    EXPECT_TRUE(env.monitor->has(33009));
    env.advance(0);
    env.advance(1);
    EXPECT_TRUE(events.named("_e").empty()) << interval;
    // An engagement event of its own does not arm one either.
    reporter->logUserEngagementEvent();
    EXPECT_EQ(events.named("_e").size(), 1u);
    EXPECT_FALSE(reporter->userEngagementTimer().scheduledTimestamp());
  }
}

TEST_F(SessionReporterTest, AClockSetBackNeverGivesNegativeEngagementAndEndsTheSession) {
  auto reporter = makeStarted();
  env.advance(2);
  clock->setUptimeBack(10);
  reporter->logUserEngagementEvent();
  auto engagement = events.named("_e");
  ASSERT_EQ(engagement.size(), 1u);
  EXPECT_EQ(int64Parameter(engagement[0], "_et"), 0);
  EXPECT_TRUE(env.monitor->has(33004));
  EXPECT_EQ(reporter->incurredEngagementTime(), 0.0);

  // The wall clock set back by more than the timeout expires the session too.
  reporter->handleAppWillResignActiveWithScreen(nullptr);
  active.store(false);
  EXPECT_FALSE(reporter->isSessionExpired());
  env.clock->setNow(env.clock->now() - 1801);
  EXPECT_TRUE(reporter->isSessionExpired());
  becomeActive(*reporter);
  EXPECT_EQ(events.named("_s").size(), 1u);
}

TEST_F(SessionReporterTest, EngineSideCallsFollowTheirSettings) {
  auto reporter = make();
  reporter->setMinimumSessionInterval(-1);
  reporter->setTimeoutSessionInterval(-1);
  EXPECT_EQ(reporter->minimumSessionInterval(), 0.0);
  EXPECT_EQ(reporter->timeoutSessionInterval(), 0.0);
  EXPECT_TRUE(env.monitor->has(33000));
  EXPECT_TRUE(env.monitor->has(33001));
  reporter->setTimeoutSessionInterval(60);

  reporter->updatePropertiesForNewSessionStart();
  EXPECT_FALSE(reporter->isSessionExpired());
  env.advance(30);
  EXPECT_TRUE(reporter->extendSession());
  EXPECT_DOUBLE_EQ(persisted->lastSessionActivityClockTime(), env.clock->now());
  settings.backgroundSessionsEnabled = false;
  EXPECT_FALSE(reporter->extendSession());
  settings.backgroundSessionsEnabled = true;
  env.advance(60.5);
  EXPECT_FALSE(reporter->extendSession());

  auto sid = reporter->sessionIDPropertyWithTimestamp(1700000123.9);
  ASSERT_TRUE(sid);
  EXPECT_EQ(sid->name(), "_sid");
  EXPECT_EQ(sid->value().int64Value(), 1700000123);
  settings.sessionNumberEnabled = false;
  reporter->updatePropertiesForNewSessionStart();
  EXPECT_EQ(reporter->sessionNumberProperty()->value().int64Value(), 1);

  // Not active: no session start, no engagement event.
  active.store(false);
  reporter->setReportingEnabled(true);
  reporter->logSessionStartEvent();
  reporter->logUserEngagementEvent();
  EXPECT_TRUE(events.events.empty());
  EXPECT_TRUE(env.monitor->has(33005));
  EXPECT_TRUE(env.monitor->has(33006));
}

TEST_F(SessionReporterTest, AppBackgroundedEventOnlyWhenSwitchedOn) {
  auto reporter = makeStarted();
  reporter->handleAppWillResignActiveWithScreen(nullptr);
  EXPECT_TRUE(events.named("_ab").empty());
  settings.appBackgroundedEventEnabled = true;
  reporter->handleAppWillResignActiveWithScreen(nullptr);
  ASSERT_EQ(events.named("_ab").size(), 1u);
  EXPECT_TRUE(events.named("_ab")[0].parameters.empty());
}

TEST_F(SessionReporterTest, TheWorkerQueueCutsWhileTheMainQueueLogs) {
  settings.efficientEngagementReportingEnabled = true;
  auto reporter = makeStarted();
  const std::int64_t sessions = persisted->sessionNumber();
  std::atomic<bool> stop{false};
  std::thread worker([&] {
    for (int i = 0; i < 100; ++i) reporter->updatePropertiesForNewSessionStart();
    while (!stop.load()) {
      reporter->cutFreerideEngagementTimeMillis();
      reporter->isSessionExpired();
    }
  });
  for (int i = 0; i < 200; ++i) {
    env.clock->advance(0.5);
    reporter->logUserEngagementEvent();
    if (i % 2 == 0) reporter->updatePropertiesForNewSessionStart();
  }
  stop.store(true);
  worker.join();
  EXPECT_EQ(events.named("_e").size(), 200u);
  // Session starts on both queues: none is lost.
  EXPECT_EQ(persisted->sessionNumber(), sessions + 200);
}

TEST(TLMWholeMillisecondsTest, TruncatesAfterRoundingToMicroseconds) {
  EXPECT_EQ(TLMWholeMilliseconds(1.0), 1000);
  EXPECT_EQ(TLMWholeMilliseconds(1000.999 - 1000.0), 999);
  EXPECT_EQ(TLMWholeMilliseconds(1001.0 - 1000.001), 999);
  EXPECT_EQ(TLMWholeMilliseconds(0.0009994), 0);
  EXPECT_EQ(TLMWholeMilliseconds(-3), 0);
  EXPECT_EQ(TLMWholeMilliseconds(1e300), INT64_MAX);
}

}  // namespace

namespace {

TEST(TLMScreenParametersTest, ClassNameGatesTheNamesAndTheIdentifierIsAlwaysThere) {
  TLMScopedRecordingMonitor monitor;
  const std::string longText(101, 'c');
  auto empty = TLMScreenParameters({"Name", "", 5, false});
  EXPECT_EQ(empty.keys(), std::vector<std::string>{"_si"});
  EXPECT_TRUE(monitor->has(31014));
  auto invalid = TLMScreenParameters({"Name", longText, 5, false});
  EXPECT_EQ(invalid.keys(), std::vector<std::string>{"_si"});
  EXPECT_TRUE(monitor->has(31015));
  auto unnamed = TLMScreenParameters({longText, std::string(100, 'c'), 5, false});
  EXPECT_EQ(unnamed.keys(), (std::vector<std::string>{"_si", "_sc"}));
}

}  // namespace
