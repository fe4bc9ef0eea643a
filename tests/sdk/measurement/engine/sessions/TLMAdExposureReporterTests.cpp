#include <gtest/gtest.h>

#include "SessionTestSupport.h"
#include "foundation/NotificationCenter.h"
#include "measurement/engine/sessions/TLMAdExposureReporter.h"
#include "measurement/engine/sessions/TLMSessionReporter.h"

namespace {

class AdExposureReporterTest : public ::testing::Test {
 protected:
  // Queued firings hold the queue through their alarms: run them out.
  void TearDown() override { env.queue->drain(); }

  EngineTestEnvironment env;
  platform::NotificationCenter center;
  std::atomic<bool> active{true};
  RecordedEvents events;
  std::shared_ptr<TLMAdExposureReporter> reporter = make();

  std::shared_ptr<TLMAdExposureReporter> make() {
    TLMAdExposureServices services;
    services.queue = env.queue;
    services.clock = env.clock;
    services.isAppActive = [this] { return active.load(); };
    services.currentScreenParameters = [] { return TLMScreenParameters({"Current", "CurrentController", 3, false}); };
    services.logInternalEvent = events.logger();
    services.notificationCenter = &center;
    return TLMAdExposureReporter::create(services);
  }

  void begin(const std::string& unit) {
    reporter->beginAdUnitExposure(unit);
    env.queue->drain();
  }
};

TEST_F(AdExposureReporterTest, NestedBeginsLogTheUnitAtTheLastEndThenTheOverallExposure) {
  begin("banner");
  env.advance(1);
  begin("banner");
  env.advance(1.5);
  reporter->endAdUnitExposure("banner");
  EXPECT_TRUE(events.events.empty());
  reporter->endAdUnitExposure("banner");

  ASSERT_EQ(events.events.size(), 2u);
  const auto& unit = events.events[0];
  EXPECT_EQ(unit.origin, "vx");
  EXPECT_EQ(unit.name, "_xu");
  EXPECT_EQ(stringParameter(unit, "_ai"), "banner");
  EXPECT_EQ(int64Parameter(unit, "_xt"), 2500);
  EXPECT_EQ(stringParameter(unit, "_sc"), "CurrentController");
  EXPECT_EQ(events.events[1].name, "_xa");
  EXPECT_EQ(int64Parameter(events.events[1], "_xt"), 2500);
  EXPECT_EQ(reporter->adUnitCount(), 0u);

  reporter->endAdUnitExposure("banner");
  reporter->endAdUnitExposure("");
  reporter->beginAdUnitExposure("");
  EXPECT_TRUE(env.monitor->has(1004));
  EXPECT_TRUE(env.monitor->has(1003));
  EXPECT_TRUE(env.monitor->has(1000));
  EXPECT_EQ(events.events.size(), 2u);
}

TEST_F(AdExposureReporterTest, UnderOneSecondIsDroppedAndTheMeasuringPeriodRestarts) {
  begin("banner");
  env.advance(0.999);
  reporter->logExposureEventsWithScreenParameters({});
  EXPECT_TRUE(events.events.empty());
  EXPECT_TRUE(env.monitor->has(1009));
  EXPECT_TRUE(env.monitor->has(1006));

  env.advance(1.0);
  reporter->logExposureEventsWithScreenParameters({});
  ASSERT_EQ(events.events.size(), 2u);
  EXPECT_EQ(int64Parameter(events.events[0], "_xt"), 1000);
  EXPECT_EQ(int64Parameter(events.events[1], "_xt"), 1000);
  // The unit stays counted after a cut.
  EXPECT_EQ(reporter->adUnitCount(), 1u);
}

TEST_F(AdExposureReporterTest, AtOneHundredUnitsEveryBeginIsRefused) {
  for (int i = 0; i < kTLMMaxAdUnits - 1; ++i) reporter->beginAdUnitExposure("unit" + std::to_string(i));
  env.queue->drain();
  begin("unit99");
  EXPECT_EQ(reporter->adUnitCount(), 100u);
  EXPECT_FALSE(env.monitor->has(1002));

  begin("unit100");
  begin("unit0");  // already counted, still refused
  EXPECT_EQ(env.monitor->count(1002), 2u);
  env.advance(2);
  reporter->endAdUnitExposure("unit0");
  ASSERT_EQ(events.named("_xu").size(), 1u);  // one begin counted, so one end logs it
  EXPECT_EQ(reporter->adUnitCount(), 99u);
  begin("unit100");
  EXPECT_EQ(reporter->adUnitCount(), 100u);
}

TEST_F(AdExposureReporterTest, AScreenChangeCutsWithThePreviousScreensParameters) {
  begin("a");
  begin("b");
  env.advance(3);
  TLMScreen previous{"Home", "HomeController", 11, false};
  reporter->handleScreenDidChange(nullptr, &previous);
  EXPECT_TRUE(events.events.empty());
  reporter->handleScreenDidChange(&previous, nullptr);
  ASSERT_EQ(events.named("_xu").size(), 2u);
  ASSERT_EQ(events.named("_xa").size(), 1u);
  for (const auto& event : events.events) {
    EXPECT_EQ(stringParameter(event, "_sc"), "HomeController");
    EXPECT_EQ(int64Parameter(event, "_xt"), 3000);
  }
  EXPECT_EQ(reporter->adUnitCount(), 2u);
}

TEST_F(AdExposureReporterTest, TimeInTheBackgroundIsNotCounted) {
  begin("banner");
  env.advance(2);
  reporter->handleAppWillResignActiveWithScreen(nullptr);
  ASSERT_EQ(events.events.size(), 2u);
  EXPECT_EQ(stringParameter(events.events[0], "_sc"), "CurrentController");
  active.store(false);
  env.advance(600);
  active.store(true);
  reporter->handleAppDidBecomeActive();
  env.advance(1.25);
  reporter->endAdUnitExposure("banner");
  ASSERT_EQ(events.events.size(), 4u);
  EXPECT_EQ(int64Parameter(events.events[2], "_xt"), 1250);
  EXPECT_EQ(int64Parameter(events.events[3], "_xt"), 1250);
}

TEST_F(AdExposureReporterTest, TheEngagementTimerCutsAndRefusalsStillRestart) {
  begin("banner");
  env.advance(4);
  center.post(kTLMSessionReporterEngagementTimerDidFire);
  EXPECT_EQ(events.events.size(), 2u);

  reporter->setReportingEnabled(false);
  env.advance(4);
  center.post(kTLMSessionReporterEngagementTimerDidFire);
  EXPECT_TRUE(env.monitor->has(1005));
  EXPECT_TRUE(env.monitor->has(1007));
  reporter->setReportingEnabled(true);
  active.store(false);
  env.advance(1);
  reporter->logExposureEventsWithScreenParameters({});
  EXPECT_TRUE(env.monitor->has(1010));
  EXPECT_TRUE(env.monitor->has(1011));
  active.store(true);
  env.advance(0.5);
  reporter->logExposureEventsWithScreenParameters({});
  EXPECT_EQ(events.events.size(), 2u);  // 0.5 s since the refused cut

  // A destroyed reporter stops observing.
  reporter.reset();
  center.post(kTLMSessionReporterEngagementTimerDidFire);
  EXPECT_EQ(center.observerCount(), 0u);
}

}  // namespace
