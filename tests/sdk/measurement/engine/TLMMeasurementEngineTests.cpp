#include <gtest/gtest.h>
#include <sqlite3.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <filesystem>
#include <future>
#include <thread>
#include <fstream>
#include <limits>
#include <stdexcept>

#include "MeasurementEngineTestSupport.h"
#include "measurement/model/TLMUtil.h"
#include "obx/OBXAppEnvironmentUtil.h"

namespace {

std::string databasePath() { return TLMFilePathForDatabaseName(kTLMDatabaseFileName); }

TLMDailyCounts counts(EngineHarness& h) { return *h.database()->dailyCounts(nullptr); }

// Stores counts for the current day (by the engine's own day rule).
void setCounts(EngineHarness& h, std::int32_t all, std::int32_t publicCount, std::int32_t errors,
               std::int32_t realtime) {
  const double offset = h.persisted->midnightOffset();
  const auto day = static_cast<std::int32_t>(std::floor((h.clock->now() - offset) / 86400.0));
  ASSERT_TRUE(h.database()->updateDailyCounts(
      TLMDailyCounts(day, 0, all, publicCount, errors, realtime), nullptr));
}

TLMEventPtr find(const std::vector<StoredEvent>& events, const std::string& name) {
  for (const auto& e : events) {
    if (e.name == name) return e.event;
  }
  ADD_FAILURE() << "no stored event " << name;
  return nullptr;
}

}  // namespace

// MARK: - First open and life events

TEST(TLMMeasurementEngineFirstOpenTest, AFreshInstallStoresTheFirstOpenRowsWithTheLoadTimeRounded) {
  EngineHarness h;
  h.start();
  ASSERT_TRUE(h.engine->isEnabled());
  auto fot = h.property("_fot");
  auto fi = h.property("_fi");
  ASSERT_TRUE(fot && fi);
  EXPECT_EQ(fot->value().int64Value(), 3600000);  // 1000.5 s rounds up to the next whole hour
  EXPECT_EQ(fot->lastSetTimestamp(), 1000.5);
  EXPECT_EQ(fi->value().int64Value(), 0);
  EXPECT_EQ(h.persisted->firstOpenTimestampMilliseconds(), 1000500);
  // The session starts with the first open, at the load time.
  auto events = h.rawEvents();
  ASSERT_EQ(events.size(), 3u);
  EXPECT_EQ(events[0].name, "_s");
  EXPECT_EQ(events[1].name, "_f");
  EXPECT_EQ(events[2].name, "_e");
  EXPECT_EQ(events[0].event->timestamp(), 1000.5);
  EXPECT_EQ(events[1].event->timestamp(), 1000.5);
  EXPECT_EQ(intParameter(events[1].event, "_uwa"), 1);
  EXPECT_EQ(intParameter(events[1].event, "_pfo"), 0);
  EXPECT_EQ(intParameter(events[2].event, "_et"), 1);
  EXPECT_TRUE(events[1].realtime);  // a conversion under the real-time limit
  EXPECT_FALSE(events[2].realtime);
  // The stored "_f" raised the device-wide counter; the load time is consumed.
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kTestBundleID), "1");
  EXPECT_FALSE(h.persisted->loadTimestampValue().has_value());
  EXPECT_EQ(h.property("_sno")->value().int64Value(), 1);
  EXPECT_EQ(h.property("_sid")->value().int64Value(), 1000);
}

TEST(TLMMeasurementEngineFirstOpenTest, ALaterStartIsNoFirstOpenAndAReinstallCountsTheEarlierOne) {
  EngineHarness h;
  h.start();
  h.engine.reset();
  // Same install, next launch: no new "_f".
  h.start();
  EXPECT_EQ(h.rawEventNames(), (std::vector<std::string>{"_s", "_f", "_e"}));
  h.engine.reset();

  // Reinstall: the app data goes, the keychain stays.
  h.sandbox.wipeApp();
  platform::UserDefaults::resetForTesting();
  h.persisted = TLMPersistedConfig::initWithUserDefaults(
      TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, h.syncQueue));
  h.identity.reset();
  h.start();
  auto firstOpen = find(h.rawEvents(), "_f");
  EXPECT_EQ(intParameter(firstOpen, "_pfo"), 1);
  EXPECT_EQ(intParameter(firstOpen, "_uwa"), 0);
  EXPECT_EQ(h.property("_fi")->value().int64Value(), 1);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kTestBundleID), "2");
}

// A step of the first open that throws leaves none of its rows and no transaction open: the
// engine goes on storing, and the next start reports the first open.
TEST(TLMMeasurementEngineFirstOpenTest, AThrowingStepKeepsNoneOfTheFirstOpenAndTheStoreGoesOn) {
  struct ThrowingOnFirstOpen : TLMConditionalPropertyProcessor {
    bool armed = true;
    std::optional<std::vector<TLMEventPtr>> processEventOnWorkerQueue(TLMMeasurementEngine&,
                                                                      const TLMEventPtr& event) override {
      if (armed && event->name() == "_f") throw std::runtime_error("conditional properties failed");
      return std::vector<TLMEventPtr>{};
    }
  };
  EngineHarness h;
  auto processor = std::make_shared<ThrowingOnFirstOpen>();
  h.components.conditionalProperties = processor;
  h.start();
  ASSERT_TRUE(h.database());
  EXPECT_NE(sqlite3_get_autocommit(h.database()->sqliteStore()->sqliteHandle()), 0);
  EXPECT_FALSE(h.property("_fot"));
  EXPECT_FALSE(h.property("_fi"));
  EXPECT_TRUE(h.rawEventNames().empty());
  h.engine.reset();

  processor->armed = false;
  h.start();
  const auto names = h.rawEventNames();
  EXPECT_EQ(std::count(names.begin(), names.end(), "_f"), 1);
  EXPECT_TRUE(h.property("_fot"));
}

TEST(TLMMeasurementEngineFirstOpenTest, TheFirstOpenCounterSaturatesAtItsTop) {
  EngineHarness h;
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("9223372036854775807", "_pfo", kTestBundleID));
  h.start();
  EXPECT_EQ(intParameter(find(h.rawEvents(), "_f"), "_pfo"), std::numeric_limits<std::int64_t>::max());
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kTestBundleID), "9223372036854775807");
}

TEST(TLMMeasurementEngineFirstOpenTest, HourRoundingTruncatesTowardZeroAndSaturatesAtTheTop) {
  using E = TLMMeasurementEngine;
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(0), 3600000);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(3599999), 3600000);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(3600000), 7200000);  // on the hour still moves
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(-1), 3600000);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(-3600000), 0);
  const std::int64_t lastHour = kMax / 3600000 * 3600000;
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(lastHour - 1), lastHour);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(lastHour), kMax);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(kMax), kMax);
  EXPECT_EQ(E::timestampMillisRoundedUpToNextHour(std::numeric_limits<std::int64_t>::min()),
            std::numeric_limits<std::int64_t>::min() / 3600000 * 3600000 + 3600000);
}

namespace {

// The stored raw events of one name.
std::vector<TLMEventPtr> storedEvents(EngineHarness& h, const std::string& name) {
  std::vector<TLMEventPtr> events;
  for (const auto& stored : h.rawEvents()) {
    if (stored.name == name) events.push_back(stored.event);
  }
  return events;
}

std::string stringParameter(const TLMEventPtr& event, const std::string& name) {
  const TLMValue* value = event ? event->parameters().find(name) : nullptr;
  return value != nullptr ? value->stringValue().value_or("") : "";
}

}  // namespace

TEST(TLMMeasurementEngineLifeEventsTest, AppAndOSUpdatesAreLoggedOnlyAgainstARecordedVersion) {
  EngineHarness h;
  h.start();
  // First recorded versions: persisted, no event.
  EXPECT_EQ(h.persisted->appVersion(), "1.0");
  EXPECT_EQ(h.persisted->osVersion(), "16.4");
  EXPECT_TRUE(storedEvents(h, "_au").empty());
  EXPECT_TRUE(storedEvents(h, "_ou").empty());
  h.engine.reset();

  // Unchanged versions at the next launch: nothing.
  h.start();
  EXPECT_TRUE(storedEvents(h, "_au").empty());
  EXPECT_TRUE(storedEvents(h, "_ou").empty());
  h.engine.reset();

  h.installBundle("1.1", "1.1.0");
  h.identity = h.makeIdentity();
  OBXScopedAppEnvironment os(OBXAppEnvironmentUtil::Environment{.systemVersion = "17.0"});
  const std::int64_t appChanges = h.persisted->appVersionChangeCount();
  const std::int64_t osChanges = h.persisted->osVersionChangeCount();
  h.start();
  auto updates = storedEvents(h, "_au");
  ASSERT_EQ(updates.size(), 1u);
  EXPECT_EQ(stringParameter(updates[0], "_pv"), "1.0");
  auto systemUpdates = storedEvents(h, "_ou");
  ASSERT_EQ(systemUpdates.size(), 1u);
  EXPECT_EQ(stringParameter(systemUpdates[0], "_po"), "16.4");
  EXPECT_EQ(h.persisted->appVersion(), "1.1");
  EXPECT_EQ(h.persisted->osVersion(), "17.0");
  h.engine.reset();

  // Another process of the app started with this one read the settings before this one wrote
  // them: it finds the update stored for these versions, and stores none.
  h.persisted->setAppVersion(std::string("1.0"));
  h.persisted->setAppVersionChangeCount(appChanges);
  h.persisted->setOSVersion("16.4");
  h.persisted->setOSVersionChangeCount(osChanges);
  h.start();
  EXPECT_EQ(storedEvents(h, "_au").size(), 1u);
  EXPECT_EQ(storedEvents(h, "_ou").size(), 1u);
  h.engine.reset();

  // An older build, which knows no mark, ran at the earlier versions and wrote them alone: the
  // update to these versions again is a new one.
  h.persisted->setAppVersion(std::string("1.0"));
  h.persisted->setOSVersion("16.4");
  h.start();
  updates = storedEvents(h, "_au");
  ASSERT_EQ(updates.size(), 2u);
  EXPECT_EQ(stringParameter(updates[1], "_pv"), "1.0");
  systemUpdates = storedEvents(h, "_ou");
  ASSERT_EQ(systemUpdates.size(), 2u);
  EXPECT_EQ(stringParameter(systemUpdates[1], "_po"), "16.4");
  h.engine.reset();

  // A later update, and one back to an earlier version, are each stored.
  h.installBundle("1.2", "1.2.0");
  h.identity = h.makeIdentity();
  h.start();
  h.engine.reset();
  h.installBundle("1.1", "1.1.0");
  h.identity = h.makeIdentity();
  h.start();
  updates = storedEvents(h, "_au");
  ASSERT_EQ(updates.size(), 4u);
  EXPECT_EQ(stringParameter(updates[2], "_pv"), "1.1");
  EXPECT_EQ(stringParameter(updates[3], "_pv"), "1.2");
}

// MARK: - Wipe

TEST(TLMMeasurementEngineWipeTest, TheWipeDecisionFollowsTheTruthTable) {
  EngineHarness h;
  h.build();
  using O = std::optional<std::string>;
  const O none, empty = "", a = "A", b = "B";
  struct Row {
    std::string appID;
    O g, v, pg, pv;
    bool wipe;
  };
  const std::vector<Row> rows = {
      {"X", a, none, a, none, false},  // same platform app id
      {"X", a, none, b, none, true},   // changed platform app id
      {"X", a, b, a, a, false},        // both platform ids set and equal: ad-network ids ignored
      {"X", a, none, none, b, true},   // G, no PG, no V, PV
      {"X", a, empty, empty, b, true}, // empty counts as not set
      {"X", a, b, none, b, false},     // G, no PG, V = PV
      {"X", a, b, none, a, true},      // G, no PG, V != PV
      {"X", none, b, a, none, true},   // no G, PG, V, no PV, A
      {"", none, b, a, none, false},   // ... but no app id
      {"X", none, none, none, b, true},   // no G, PV != A
      {"B", none, none, none, b, false},  // no G, PV == A
      {"X", none, none, none, none, false},
  };
  for (std::size_t i = 0; i < rows.size(); ++i) {
    const auto& r = rows[i];
    EXPECT_EQ(h.engine->shouldWipeDataWithAppID(r.appID, r.g, r.v, r.pg, r.pv), r.wipe) << "row " << i;
  }
}

TEST(TLMMeasurementEngineWipeTest, AChangedAppIDDeletesTheOldFileWithItsJournalsAndTellsTheFirstOpen) {
  EngineHarness h;
  h.start();
  h.log("before");
  ASSERT_EQ(h.rawEventNames().size(), 4u);
  h.engine.reset();
  // A journal left behind by a crash must not be replayed into the new database.
  std::ofstream(databasePath() + "-journal") << "stale";
  std::ofstream(databasePath() + "-wal") << "stale";

  h.identity = h.makeIdentity("1:9999:ios:ffff");
  h.start();
  EXPECT_TRUE(h.monitor->has(23171));
  // The new file's own journal is kept between commits, emptied: nothing of the stale one is left.
  EXPECT_TRUE(!std::filesystem::exists(databasePath() + "-journal") ||
              std::filesystem::file_size(databasePath() + "-journal") == 0);
  EXPECT_FALSE(std::filesystem::exists(databasePath() + "-wal"));
  // The old events are gone; a new session and first open were written.
  EXPECT_EQ(h.rawEventNames(), (std::vector<std::string>{"_s", "_f", "_e"}));
  auto firstOpen = find(h.rawEvents(), "_f");
  ASSERT_NE(firstOpen->parameters().find("_pqpx"), nullptr);
  EXPECT_EQ(firstOpen->parameters().find("_pqpx")->stringValue(), kTestAppID);
  EXPECT_EQ(h.persisted->appIDFromQPX(), "1:9999:ios:ffff");
}

TEST(TLMMeasurementEngineWipeTest, ResetWhileRunningClearsTheDataAndReportsANewFirstOpen) {
  EngineHarness h;
  h.start();
  h.log("x");
  const std::string before = h.identity->appInstanceID();
  h.loadTime = 5000;
  h.engine->resetAnalyticsData();  // runs inline: the test thread drains the worker queue
  h.drain();
  EXPECT_TRUE(h.monitor->has(23168));
  EXPECT_NE(h.identity->appInstanceID(), before);
  EXPECT_EQ(h.rawEventNames(), (std::vector<std::string>{"_s", "_f", "_e"}));
  EXPECT_EQ(h.property("_fot")->value().int64Value(), 7200000);
}

TEST(TLMMeasurementEngineWipeTest, TheStartingOriginDecidesWhichAppIDIsRecordedAndChecked) {
  EngineHarness h;
  h.identifiers->setOrigin("vx");
  h.identity = h.makeIdentity(std::nullopt);
  h.start();
  EXPECT_EQ(h.persisted->appIDFromVeltrix(), kTestAppID);
  EXPECT_FALSE(h.persisted->appIDFromQPX().has_value());
  // The remote configuration asks the identifiers for the origin: an ad-network start also
  // needs the ad-network app id to match.
  EXPECT_FALSE(h.engine->remoteConfig()->updateMeasurementConfig(
      TLMTestMeasurementConfig(kTestAppID, {{"measurement.upload.max_events_per_day", "5"}})));
  EXPECT_TRUE(h.monitor->has(29022));
}

// MARK: - Shared instance and enablement

TEST(TLMMeasurementEngineSharedInstanceTest, OnlyTheFirstInitialisationCounts) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  TLMScopedRecordingMonitor monitor;
  TLMMeasurementEngine::resetSharedInstanceForTesting();
  TLMMeasurementEngine::initializeSharedInstanceWithAppID("", true, false, {});
  EXPECT_FALSE(TLMMeasurementEngine::hasSharedInstance());
  TLMMeasurementEngine::initializeSharedInstanceWithAppID("1:1:ios:1", false, false, {});
  EXPECT_FALSE(TLMMeasurementEngine::hasSharedInstance());  // the empty first call stays

  TLMMeasurementEngine::resetSharedInstanceForTesting();
  TLMMeasurementEngine::initializeSharedInstanceWithAppID("1:1:ios:1", false, false, {});
  TLMMeasurementEngine::initializeSharedInstanceWithAppID("1:2:ios:2", true, false, {});
  ASSERT_TRUE(TLMMeasurementEngine::hasSharedInstance());
  auto engine = TLMMeasurementEngine::sharedInstance();
  EXPECT_EQ(engine->appID(), "1:1:ios:1");
  EXPECT_FALSE(engine->isAnalyticsCollectionEnabled());
  // Let the posted enablement finish before the sandbox goes.
  engine->scheduler()->dispatchSyncOnWorkerQueueBlockID("test", [] {});
  EXPECT_FALSE(engine->isEnabled());
  TLMMeasurementEngine::resetSharedInstanceForTesting();
  EXPECT_FALSE(TLMMeasurementEngine::hasSharedInstance());
}

TEST(TLMMeasurementEngineEnablementTest, TheStoredStateAndTheDeactivationSwitchDecide) {
  EngineHarness h;
  h.persisted->setMeasurementEnabledState(TLMMeasurementEnabledStateDisabled);
  EXPECT_FALSE(h.build(true)->shouldEnableMeasurement());
  h.persisted->setMeasurementEnabledState(TLMMeasurementEnabledStateEnabled);
  EXPECT_TRUE(h.build(false)->shouldEnableMeasurement());
  EXPECT_FALSE(h.build(true, true)->shouldEnableMeasurement());  // deactivated beats everything
  h.persisted->setMeasurementEnabledState(TLMMeasurementEnabledStateUnset);
  EXPECT_FALSE(h.build(false)->shouldEnableMeasurement());
  h.drain();
  h.persisted->setDeferredAnalyticsCollection(std::nullopt);

  // Deactivated: enabling is ignored; disabling still reports it.
  h.build(true, true);
  h.drain();
  h.monitor->clear();
  h.engine->setEnabled(true);
  h.drain();
  EXPECT_FALSE(h.engine->isEnabled());
  EXPECT_FALSE(h.monitor->has(23012));
  h.engine->setEnabled(false);
  h.drain();
  EXPECT_TRUE(h.monitor->has(23013));
  EXPECT_FALSE(h.persisted->deferredAnalyticsCollection().has_value());  // never written when deactivated

  // The first decision is remembered as "deferred" (not enabled), once.
  EngineHarness g;
  g.start(false);
  EXPECT_EQ(g.persisted->deferredAnalyticsCollection(), true);
  g.engine->setEnabled(true);
  g.drain();
  EXPECT_EQ(g.persisted->deferredAnalyticsCollection(), std::nullopt);  // consumed by the first open
  EXPECT_EQ(intParameter(find(g.rawEvents(), "_f"), "_dac"), 1);
  EXPECT_FALSE(g.engine->wasEnabledDuringInitialization());
}

TEST(TLMMeasurementEngineEnablementTest, AFailedStartDisablesAndTheNextEnableRetriesTheWholeStart) {
  EngineHarness h;
  // A file where the measurement directory belongs: the database cannot be opened.
  const std::string directory = databasePath().substr(0, databasePath().rfind('/'));
  std::filesystem::create_directories(directory.substr(0, directory.rfind('/')));
  std::ofstream(directory) << "in the way";
  h.build();
  h.drain();
  EXPECT_TRUE(h.monitor->has(23011));
  EXPECT_FALSE(h.engine->isEnabled());
  EXPECT_EQ(h.engine->database(), nullptr);
  h.log("lost");  // no store to keep it: lost, not switched off
  EXPECT_EQ(h.engine->failedEventCount(), 1);

  std::filesystem::remove(directory);
  h.identityAvailable = false;  // no identity: fails at the first step
  h.engine->setEnabled(true);
  h.drain();
  EXPECT_FALSE(h.engine->isEnabled());
  h.identityAvailable = true;
  h.engine->setEnabled(true);
  h.drain();
  EXPECT_TRUE(h.engine->isEnabled());
  EXPECT_EQ(h.rawEventNames(), (std::vector<std::string>{"_s", "_f", "_e"}));
  h.engine->setEnabled(false);  // switched off after a start that succeeded: no loss
  h.drain();
  h.log("switched_off");
  EXPECT_EQ(h.engine->failedEventCount(), 1);
}

TEST(TLMMeasurementEngineEnablementTest, ADisabledEngineStoresNothing) {
  EngineHarness h;
  h.start();
  h.engine->setEnabled(false);
  h.drain();
  h.log("ignored");
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "colour", TLMValue("red"), 1));
  h.drain();
  EXPECT_TRUE(h.monitor->has(23049));
  EXPECT_TRUE(h.monitor->has(23081));
  EXPECT_EQ(h.rawEventNames().size(), 3u);
  EXPECT_FALSE(h.property("colour").has_value());
}

// MARK: - Event pipeline

TEST(TLMMeasurementEnginePipelineTest, TheAllEventsLimitDropsFromTheLimitOnAndLogsEveryThousand) {
  EngineHarness h;
  h.start();
  h.applySettings({{"measurement.upload.max_events_per_day", "1000"}});
  setCounts(h, 999, 0, 0, 0);
  h.log("e1000");  // the 1000th of the day still fits
  EXPECT_EQ(h.rawEventNames().back(), "e1000");
  h.log("e1001");
  EXPECT_EQ(h.monitor->count(23055), 1u);
  h.log("e1002");
  EXPECT_EQ(h.monitor->count(23055), 1u);  // dropped silently
  EXPECT_EQ(h.monitor->count(23062), 2u);
  EXPECT_EQ(counts(h).allEventsCount(), 1002);  // drops by this limit keep counting
  setCounts(h, 2000, 0, 0, 0);
  h.log("e2001");
  EXPECT_EQ(h.monitor->count(23055), 2u);
  EXPECT_EQ(h.rawEventNames().back(), "e1000");
}

TEST(TLMMeasurementEnginePipelineTest, PublicAndErrorLimitDropsGiveBackTheirAllEventsShare) {
  EngineHarness h;
  h.start();
  h.applySettings({{"measurement.upload.max_public_events_per_day", "5"},
                   {"measurement.upload.max_error_events_per_day", "2"}});
  setCounts(h, 10, 5, 2, 0);
  h.log("public");
  auto c = counts(h);
  EXPECT_EQ(c.allEventsCount(), 10);
  EXPECT_EQ(c.publicEventsCount(), 6);
  EXPECT_EQ(h.internalEventCount("_err", 16), 1u);
  EXPECT_TRUE(h.monitor->has(23057));  // 5 - 5 = 0 is a multiple of 1000

  h.engine->logEvent(TLMEvent::initWithOrigin("auto", false, "_err", h.clock->now(), 0,
                                              TLMObjectDictionary{{"_err", TLMValue(std::int64_t{3})}}));
  h.drain();
  c = counts(h);
  EXPECT_EQ(c.allEventsCount(), 10);
  EXPECT_EQ(c.errorEventsCount(), 3);
  EXPECT_TRUE(h.monitor->has(23056));
  EXPECT_EQ(h.rawEventNames().size(), 3u);

  // Internal events are not bound by the public limit.
  h.log("_internal_ok", {}, false, "auto");
  EXPECT_EQ(h.rawEventNames().back(), "_internal_ok");
}

TEST(TLMMeasurementEnginePipelineTest, ANewLocalDayRestartsTheCountsAtTheMidnightOffset) {
  EngineHarness h(false, 1700000000.0);
  h.start();
  h.applySettings({{"measurement.upload.max_events_per_day", "1"}});
  const double offset = h.persisted->midnightOffset();
  // Move to one millisecond before the next local day starts.
  const double nextDay = (std::floor((h.clock->now() - offset) / 86400.0) + 1) * 86400.0 + offset;
  h.clock->setNow(nextDay - 0.001);
  setCounts(h, 1, 0, 0, 0);
  h.log("late");
  EXPECT_NE(h.rawEventNames().back(), "late");
  h.clock->setNow(nextDay);
  h.log("early");
  EXPECT_EQ(h.rawEventNames().back(), "early");
  EXPECT_EQ(counts(h).allEventsCount(), 1);
  // A clock set back to the old day restarts that day's counts: the store keeps one day.
  h.clock->setNow(nextDay - 3600);
  h.log("back");
  EXPECT_EQ(h.rawEventNames().back(), "back");
}

TEST(TLMMeasurementEnginePipelineTest, RealTimeMarkingFollowsConversionsTheDailyLimitAndDebugMode) {
  {
    EngineHarness h;
    h.start();
    setCounts(h, 0, 0, 0, 10);  // the real-time budget (10) is used up
    h.log("ecommerce_purchase");
    h.log("plain");
    auto events = h.rawEvents();
    ASSERT_EQ(events.size(), 5u);
    EXPECT_FALSE(events[3].realtime);  // a conversion over the limit
    EXPECT_FALSE(events[4].realtime);
    EXPECT_EQ(h.monitor->count(23058), 1u);  // only the first open was under the limit
  }
  {
    EngineHarness h(true);  // debug mode
    h.start();
    setCounts(h, 0, 0, 0, 10);
    h.log("plain");
    h.log("ecommerce_purchase");
    for (const auto& event : h.rawEvents()) EXPECT_TRUE(event.realtime) << event.name;
    EXPECT_GE(h.monitor->count(23073), 4u);
  }
}

TEST(TLMMeasurementEnginePipelineTest, SafelistAndBlacklistRejectEventsBeforeCounting) {
  EngineHarness h;
  h.build(true, false, {"a", "_f", "_e", "_s"});
  h.drain();
  h.log("b");
  EXPECT_TRUE(h.monitor->has(23174));
  h.log("a");
  auto events = h.rawEvents();
  ASSERT_EQ(events.back().name, "a");
  EXPECT_EQ(intParameter(events.back().event, "jq_safelisted"), 1);

  auto blacklisted = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*blacklisted, TLMPBEventConfigSlot::name, "a");
  NANOSetBool(*blacklisted, TLMPBEventConfigSlot::blacklisted, true);
  h.applySettings({{"measurement.upload.blacklist_public", "0"}}, {blacklisted});
  const auto before = counts(h).allEventsCount();
  h.log("a");
  EXPECT_TRUE(h.monitor->has(23052));
  EXPECT_EQ(h.internalEventCount("_err", 11), 1u);
  EXPECT_EQ(counts(h).allEventsCount(), before);
}

TEST(TLMMeasurementEnginePipelineTest, EachWrittenEventSharesTheMetadataOfItsUserProperties) {
  EngineHarness h;
  h.adManager->identifier = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
  h.start();
  h.log("x");
  auto* db = h.database();
  auto fingerprint = db->nextMetadataFingerprintToProcess(nullptr);
  ASSERT_TRUE(fingerprint);
  auto metadata = db->queryRawEventsMetadataWithFingerprint(*fingerprint, nullptr);
  ASSERT_TRUE(metadata);
  using Slot = TLMPBMeasurementBundleSlot;
  EXPECT_EQ(NANOGetString(*metadata, Slot::platform), "ios");
  EXPECT_EQ(NANOGetString(*metadata, Slot::app_id), kTestBundleID);
  EXPECT_EQ(NANOGetString(*metadata, Slot::measurement_app_id), kTestAppID);
  EXPECT_EQ(NANOGetString(*metadata, Slot::resettable_device_id), "6D92078A-8246-4BA4-AE5B-76104861E7DC");
  EXPECT_EQ(NANOGetString(*metadata, Slot::app_instance_id), h.identity->appInstanceID());
  EXPECT_EQ(NANOGetInt64(*metadata, Slot::library_version), 60003);
  EXPECT_EQ(NANOGetInt32(*metadata, Slot::app_version_major), 1);
  EXPECT_FALSE(NANOHasField(*metadata, Slot::vendor_device_id));
  EXPECT_GE(NANOGetArray<TLMPBUserAttribute>(*metadata, Slot::user_attributes)->size(), 3u);
}

TEST(TLMMeasurementEnginePipelineTest, FiveHundredPublicEventNamesAreTheMostThatGetAggregates) {
  EngineHarness h;
  h.start();
  for (int i = 0; i < 499; ++i) {
    ASSERT_TRUE(h.database()->updateEventAggregates(
        *TLMEventAggregates::initWithName("n" + std::to_string(i), 0, 0, 0, 0), nullptr));
  }
  h.log("n499");  // the 500th name still gets its aggregates
  EXPECT_EQ(h.rawEventNames().back(), "n499");
  h.log("n500");
  EXPECT_TRUE(h.monitor->has(23065));
  EXPECT_EQ(h.internalEventCount("_err", 8), 1u);
  EXPECT_EQ(h.rawEventNames().back(), "n499");
  h.log("n7");  // known names go on
  EXPECT_EQ(h.rawEventNames().back(), "n7");
}

// An app offline while its user properties change before every event fills the metadata table
// with one row per event: the newest event then takes the place of the oldest, nothing is refused.
TEST(TLMMeasurementEnginePipelineTest, AFullMetadataTableMakesRoomForTheNewestEvent) {
  EngineHarness h;
  h.start();
  h.applySettings({{"measurement.store.max_stored_events_per_app", "1000000"}});
  const auto rows = [&](const std::string& query) {
    return h.database()->sqliteStore()->numberForQuery(query, {}, nullptr)->int64Value().value_or(-1);
  };
  const std::int64_t startEvents = rows("SELECT count(*) FROM raw_events");
  const std::int64_t filler = kTLMDatabaseRawEventsMetadataMaxCount - rows("SELECT count(*) FROM raw_events_metadata");
  {
    // Written by another connection, as another process of the app would.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(databasePath().c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db,
                           ("BEGIN; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
                            std::to_string(filler) +
                            ") INSERT INTO raw_events_metadata SELECT i, x'0a' FROM n; INSERT INTO raw_events "
                            "(name, timestamp, metadata_fingerprint, data) SELECT 'filler', 1700000000, "
                            "metadata_fingerprint, x'00' FROM raw_events_metadata WHERE metadata_fingerprint "
                            "BETWEEN 1 AND " + std::to_string(filler) + " ORDER BY 1; COMMIT;")
                               .c_str(),
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);
  }
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "colour", TLMValue("red"), h.clock->now()));
  h.log("newest");
  EXPECT_FALSE(h.monitor->has(23068));
  auto newest = h.database()->sqliteStore()->recordsForQuery(
      "SELECT name FROM raw_events ORDER BY rowid DESC LIMIT 1", {}, nullptr);
  ASSERT_TRUE(newest && newest->size() == 1);
  EXPECT_EQ(newest->front().get("name").stringValue(), "newest");
  EXPECT_EQ(rows("SELECT count(*) FROM raw_events_metadata"), kTLMDatabaseRawEventsMetadataMaxCount);
  // The start's events were the oldest: they went with their metadata, the later ones stay.
  EXPECT_EQ(rows("SELECT count(*) FROM raw_events WHERE name = 'filler'"), filler);
  EXPECT_EQ(h.monitor->first(23070).contexts, std::vector<platform::Value>{platform::Value(startEvents)});
  EXPECT_EQ(rows("SELECT count(*) FROM raw_events WHERE metadata_fingerprint NOT IN "
                 "(SELECT metadata_fingerprint FROM raw_events_metadata)"),
            0);
}

// MARK: - Queued events written in groups

namespace {

// Counts the commits of the engine's store connection and what the monitor had logged at each;
// `refuse` turns them into rollbacks.
class CommitWatch {
 public:
  explicit CommitWatch(EngineHarness& h) : h_(h), db_(h.database()->sqliteStore()->sqliteHandle()) {
    sqlite3_commit_hook(db_, &CommitWatch::hook, this);
  }
  ~CommitWatch() { sqlite3_commit_hook(db_, nullptr, nullptr); }
  // The number of "Event logged" lines at each commit.
  std::vector<std::size_t> loggedAtCommits;
  bool refuse = false;

 private:
  static int hook(void* self) {
    auto* watch = static_cast<CommitWatch*>(self);
    watch->loggedAtCommits.push_back(watch->h_.monitor->count(23072));
    return watch->refuse ? 1 : 0;
  }
  EngineHarness& h_;
  sqlite3* db_;
};

void queue(EngineHarness& h, const std::string& name) {
  h.engine->logEvent(TLMEvent::initWithOrigin("app", true, name, h.clock->now(), 0, {}));
}

std::int64_t fingerprintOf(EngineHarness& h, const std::string& name) {
  platform::Array arguments{platform::Value(name)};
  return h.database()
      ->sqliteStore()
      ->numberForQuery("SELECT metadata_fingerprint FROM raw_events WHERE name = ?", arguments, nullptr)
      ->int64Value()
      .value_or(0);
}

std::vector<std::string> lastNames(EngineHarness& h, std::size_t count) {
  auto names = h.rawEventNames();
  if (names.size() > count) names.erase(names.begin(), names.end() - static_cast<std::ptrdiff_t>(count));
  return names;
}

}  // namespace

// Whether another connection wrote is asked once per stored event, and once per group.
TEST(TLMMeasurementEngineGroupTest, OtherConnectionsWritesAreCheckedOncePerStoreTransaction) {
  EngineHarness h;
  h.start();
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  int checks = 0;
  sqlite3_trace_v2(
      db, SQLITE_TRACE_STMT,
      [](unsigned, void* context, void*, void* sql) {
        if (std::string(static_cast<const char*>(sql)).find("data_version") != std::string::npos) {
          ++*static_cast<int*>(context);
        }
        return 0;
      },
      &checks);
  for (int i = 0; i < 10; ++i) {
    queue(h, "one" + std::to_string(i));
    h.drain();
  }
  EXPECT_EQ(checks, 10);
  for (int i = 0; i < 10; ++i) queue(h, "grouped" + std::to_string(i));
  h.drain();
  EXPECT_EQ(checks, 11);
  EXPECT_EQ(lastNames(h, 1), std::vector<std::string>{"grouped9"});
  sqlite3_trace_v2(db, 0, nullptr, nullptr);
}

// Events queued one after another commit once, with the user properties set or removed between
// them, each in its order; other work queued between them (the engine's, or any block posted to
// the worker queue, as a timer's or a reply's) ends the group and is not overtaken; what follows
// an event's commit waits for its group's.
TEST(TLMMeasurementEngineGroupTest, QueuedEventsCommitTogetherAroundTheWorkBetweenThem) {
  EngineHarness h;
  h.start();
  const std::size_t logged = h.monitor->count(23072);
  CommitWatch commits(h);
  auto colour = [&](const char* value) {
    return TLMUserAttribute::initWithOrigin("app", "colour", TLMValue(value), h.clock->now());
  };
  queue(h, "a1");
  queue(h, "a2");
  h.engine->setUserAttribute(colour("red"));
  queue(h, "b1");
  queue(h, "b2");
  h.engine->removeUserAttribute(colour("red"));
  queue(h, "b3");
  std::promise<std::optional<TLMUserAttribute>> read;
  h.engine->userAttributeWithName("colour", [&](std::optional<TLMUserAttribute> found) { read.set_value(found); });
  h.engine->setUserAttribute(colour("blue"));
  queue(h, "c1");
  std::vector<std::string> storedBeforePost;
  h.engine->scheduler()->workerQueue()->async([&] { storedBeforePost = lastNames(h, 1); });
  queue(h, "c2");
  EXPECT_EQ(h.engine->unfinishedEventCount(), 7);
  h.drain();
  EXPECT_EQ(h.engine->unfinishedEventCount(), 0);
  EXPECT_EQ(lastNames(h, 7), (std::vector<std::string>{"a1", "a2", "b1", "b2", "b3", "c1", "c2"}));
  EXPECT_EQ(storedBeforePost, std::vector<std::string>{"c1"});
  // Up to the read, one group; then the property and the event after it; then the last event.
  EXPECT_EQ(commits.loggedAtCommits, (std::vector<std::size_t>{logged, logged + 5, logged + 6}));
  EXPECT_EQ(h.monitor->count(23072), logged + 7);
  EXPECT_FALSE(read.get_future().get().has_value());  // read after the removal, before the second set
  // Each event carries the properties of its place in the queue.
  EXPECT_EQ(fingerprintOf(h, "a1"), fingerprintOf(h, "a2"));
  EXPECT_NE(fingerprintOf(h, "b1"), fingerprintOf(h, "a2"));
  EXPECT_EQ(fingerprintOf(h, "b1"), fingerprintOf(h, "b2"));
  EXPECT_EQ(fingerprintOf(h, "b3"), fingerprintOf(h, "a1"));
  EXPECT_NE(fingerprintOf(h, "c1"), fingerprintOf(h, "b1"));

  // A lone event is stored at once, in one transaction of its own; so is a lone property.
  commits.loggedAtCommits.clear();
  for (const char* name : {"d1", "d2"}) {
    queue(h, name);
    h.drain();
  }
  h.engine->setUserAttribute(colour("green"));
  h.drain();
  EXPECT_EQ(commits.loggedAtCommits, (std::vector<std::size_t>{logged + 7, logged + 8, logged + 9}));
  EXPECT_EQ(lastNames(h, 2), (std::vector<std::string>{"d1", "d2"}));
  EXPECT_EQ(h.property("colour")->value().stringValue(), "green");
}

// Each event of a group passes its own checks and limits: one refused undoes only its own write.
TEST(TLMMeasurementEngineGroupTest, EachEventOfAGroupKeepsItsOwnLimitsAndFailures) {
  EngineHarness h;
  h.start();
  ASSERT_TRUE(h.database()->performTransaction([&] {
    for (int i = 0; i < 499; ++i) {
      if (!h.database()->updateEventAggregates(
              *TLMEventAggregates::initWithName("n" + std::to_string(i), 0, 0, 0, 0), nullptr)) {
        return false;
      }
    }
    return true;
  }));
  h.applySettings({{"measurement.upload.max_events_per_day", "1000"}});
  setCounts(h, 996, 0, 0, 0);
  CommitWatch commits(h);
  for (const char* name : {"n499", "n500", "n7", "n8", "n9"}) queue(h, name);
  h.drain();
  EXPECT_EQ(commits.loggedAtCommits.size(), 1u);
  // "n500" is one name too many (its store step rolls back, its count stays); the daily limit
  // drops the last.
  EXPECT_EQ(lastNames(h, 3), (std::vector<std::string>{"n499", "n7", "n8"}));
  EXPECT_TRUE(h.monitor->has(23065));
  EXPECT_EQ(h.internalEventCount("_err", 8), 1u);
  EXPECT_EQ(h.monitor->count(23062), 1u);
  EXPECT_EQ(counts(h).allEventsCount(), 1001);
  EXPECT_TRUE(h.database()->eventAggregatesWithName("n499", nullptr));
  EXPECT_FALSE(h.database()->eventAggregatesWithName("n500", nullptr));
  EXPECT_EQ(h.engine->failedEventCount(), 0);  // a limit refuses; nothing failed
}

TEST(TLMMeasurementEngineGroupTest, AGroupThatCannotCommitLosesItsEventsAndSaysSo) {
  EngineHarness h;
  h.start();
  const auto names = h.rawEventNames();
  const auto before = counts(h);
  const std::size_t logged = h.monitor->count(23072);
  {
    CommitWatch commits(h);
    commits.refuse = true;
    for (const char* name : {"x1", "x2", "x3"}) queue(h, name);
    h.drain();
  }
  EXPECT_EQ(h.rawEventNames(), names);
  EXPECT_EQ(counts(h).allEventsCount(), before.allEventsCount());
  EXPECT_EQ(h.monitor->count(23072), logged);
  ASSERT_TRUE(h.monitor->has(23191));
  EXPECT_EQ(h.monitor->first(23191).level, 1);
  EXPECT_EQ(h.monitor->first(23191).contexts, std::vector<platform::Value>{platform::Value(3)});
  EXPECT_EQ(h.engine->unfinishedEventCount(), 0);
  EXPECT_EQ(h.engine->failedEventCount(), 3);
  {
    // Alone, each event fails at its first commit and counts once.
    CommitWatch commits(h);
    commits.refuse = true;
    for (const char* name : {"y1", "y2"}) queue(h, name);
    h.drain();
  }
  EXPECT_EQ(h.engine->failedEventCount(), 5);
  h.log("after");
  EXPECT_EQ(h.rawEventNames().back(), "after");
  EXPECT_EQ(h.engine->failedEventCount(), 5);
}

// Another connection holds the store's write lock past the busy timeout while events are logged:
// the group waits to begin, its events stay queued, and once the other lets go every event is
// stored and none fails.
TEST(TLMMeasurementEngineGroupTest, EventsWaitForAConnectionThatHoldsTheFileAndNoneIsLost) {
  EngineHarness h;
  h.startWaitingForLocks(50);
  const std::size_t logged = h.monitor->count(23072);
  sqlite3* other = nullptr;
  ASSERT_EQ(sqlite3_open(databasePath().c_str(), &other), SQLITE_OK);
  sqlite3_busy_timeout(other, 60'000);  // its commit waits out the waiting begin's brief read lock
  ASSERT_EQ(sqlite3_exec(other, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
  for (const char* name : {"h1", "h2", "h3"}) queue(h, name);
  BackgroundDrain worker(h);
  // Said once the begin found the file busy past its timeout; a write that gives up ends instead.
  EXPECT_TRUE(worker.stillWaitsAfterSaying(34026));
  EXPECT_EQ(h.engine->unfinishedEventCount(), 3);
  EXPECT_EQ(sqlite3_exec(other, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
  worker.join();
  sqlite3_close(other);
  EXPECT_EQ(lastNames(h, 3), (std::vector<std::string>{"h1", "h2", "h3"}));
  EXPECT_EQ(h.monitor->count(23072), logged + 3);
  EXPECT_EQ(h.engine->failedEventCount(), 0);
  EXPECT_EQ(h.engine->unfinishedEventCount(), 0);
  EXPECT_FALSE(h.monitor->has(34008));
  EXPECT_FALSE(h.monitor->has(23191));
}

// Events waiting in memory to be stored stay within the bound the host set: past it the newest
// are dropped, counted as failed (which the app's end reports) and said at the first of a run of
// drops; those admitted are stored in their order, and once they are taken events are admitted
// again. A bound below 1 restores the default.
TEST(TLMMeasurementEngineGroupTest, EventsWaitingInMemoryKeepTheirBoundAndTheNewestAreDropped) {
  struct RestoreBound {
    ~RestoreBound() { TLMMeasurementEngine::setMaxQueuedEventBytes(kTLMDefaultMaxQueuedEventBytes); }
  } restore;
  EngineHarness h;
  h.start();
  TLMObjectDictionary parameters;
  parameters.set("item", TLMObject("a card of some length"));
  auto event = [&](const std::string& name) {
    return TLMEvent::initWithOrigin("app", true, name, h.clock->now(), 0, parameters);
  };
  const std::int64_t bytes = TLMMeasurementEngine::queuedEventBytes(*event("w0"));
  EXPECT_GT(bytes, static_cast<std::int64_t>(std::string("w0item a card of some length").size()));
  EXPECT_EQ(h.engine->waitingEventBytes(), 0);
  // Room for three, and a bit: the fourth is one too many.
  TLMMeasurementEngine::setMaxQueuedEventBytes(3 * bytes + bytes / 2);
  const std::size_t logged = h.monitor->count(23072);
  for (const char* name : {"w0", "w1", "w2", "w3", "w4"}) h.engine->logEvent(event(name));
  EXPECT_EQ(h.engine->waitingEventBytes(), 3 * bytes);
  EXPECT_EQ(h.engine->unfinishedEventCount(), 3);
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 2);
  EXPECT_EQ(h.engine->failedEventCount(), 2);
  ASSERT_EQ(h.monitor->count(23200), 1u);
  EXPECT_EQ(h.monitor->first(23200).level, 1);
  EXPECT_EQ(h.monitor->first(23200).contexts,
            (std::vector<platform::Value>{platform::Value("w3"), platform::Value(1), platform::Value(3 * bytes + bytes / 2)}));
  // A report made once per app's data would not be made again: it is never dropped.
  h.engine->logInternalEventOncePerApp("auto", "_cmp", {}, kTLMSearchAdCampaignReportedColumn);
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 2);
  EXPECT_EQ(h.engine->unfinishedEventCount(), 4);
  h.drain();
  EXPECT_EQ(h.engine->waitingEventBytes(), 0);
  EXPECT_EQ(lastNames(h, 4), (std::vector<std::string>{"w0", "w1", "w2", "_cmp"}));
  EXPECT_EQ(h.monitor->count(23072), logged + 4);
  // The end reads the drops among the failures.
  EXPECT_EQ(h.engine->failedAndUnfinishedEventCounts(TLMScheduler::currentWorkGeneration()).first, 2);

  // Taken, they make room again; a new run of drops is said again. A bound of exactly three
  // events holds the third.
  TLMMeasurementEngine::setMaxQueuedEventBytes(3 * bytes);
  for (const char* name : {"x0", "x1", "x2", "x3"}) h.engine->logEvent(event(name));
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 3);
  EXPECT_EQ(h.monitor->count(23200), 2u);
  h.drain();
  EXPECT_EQ(lastNames(h, 3), (std::vector<std::string>{"x0", "x1", "x2"}));

  for (std::int64_t below : {0, -1}) {
    TLMMeasurementEngine::setMaxQueuedEventBytes(below);
    EXPECT_EQ(TLMMeasurementEngine::maxQueuedEventBytes(), kTLMDefaultMaxQueuedEventBytes);
  }
  for (int i = 0; i < 10; ++i) h.engine->logEvent(event("y"));
  EXPECT_EQ(h.engine->droppedWaitingEventCount(), 3);
  h.drain();
  EXPECT_EQ(h.engine->failedEventCount(), 3);
}

// A long run of queued events is split: no group holds more than its most. The schedule is
// updated once per group.
TEST(TLMMeasurementEngineGroupTest, AGroupTakesAtMostItsNumberOfEvents) {
  EngineHarness h;
  h.start();
  h.applySettings({{"measurement.upload.max_events_per_day", "100000"},
                   {"measurement.upload.max_public_events_per_day", "100000"}});
  const std::size_t logged = h.monitor->count(23072);
  // Each schedule update ends in one of these lines (here, without network, 23026).
  auto scheduleUpdates = [&] {
    std::size_t updates = 0;
    for (std::int64_t code = 23023; code <= 23028; ++code) updates += h.monitor->count(code);
    return updates;
  };
  const std::size_t updates = scheduleUpdates();
  CommitWatch commits(h);
  for (std::int64_t i = 0; i <= kTLMEventGroupMaxEvents; ++i) queue(h, "many");
  h.drain();
  EXPECT_EQ(commits.loggedAtCommits,
            (std::vector<std::size_t>{logged, logged + static_cast<std::size_t>(kTLMEventGroupMaxEvents)}));
  EXPECT_EQ(h.monitor->count(23072), logged + static_cast<std::size_t>(kTLMEventGroupMaxEvents) + 1);
  EXPECT_EQ(scheduleUpdates(), updates + 2);  // once per group
}

// A group also ends once its time is up, by the device's uptime: each stored event here takes
// 0.06 s, so a group holds two; the wall clock set back meanwhile changes nothing.
TEST(TLMMeasurementEngineGroupTest, AGroupEndsWhenItsTimeIsUp) {
  EngineHarness h;
  h.start();
  const std::size_t logged = h.monitor->count(23072);
  CommitWatch commits(h);
  struct Slow {
    EngineHarness& h;
    static void inserted(void* self, int operation, const char*, const char* table, sqlite3_int64) {
      auto& slow = *static_cast<Slow*>(self);
      if (operation != SQLITE_INSERT || std::string(table) != "raw_events") return;
      slow.h.clock->advance(0.06);
      slow.h.clock->setNow(slow.h.clock->now() - 3600);
    }
  } slow{h};
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  for (const char* name : {"t1", "t2", "t3", "t4", "t5"}) queue(h, name);
  sqlite3_update_hook(db, &Slow::inserted, &slow);
  h.drain();
  sqlite3_update_hook(db, nullptr, nullptr);
  EXPECT_EQ(commits.loggedAtCommits, (std::vector<std::size_t>{logged, logged + 2, logged + 4}));
  EXPECT_EQ(lastNames(h, 5), (std::vector<std::string>{"t1", "t2", "t3", "t4", "t5"}));
}

// MARK: - User properties

TEST(TLMMeasurementEngineUserPropertyTest, TheTwentySixthPublicPropertyIsRefusedButReplacingWorks) {
  EngineHarness h;
  h.start();
  for (int i = 0; i < 25; ++i) {
    h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "p" + std::to_string(i),
                                                                TLMValue("v"), h.clock->now()));
  }
  h.drain();
  EXPECT_EQ(*h.database()->publicUserAttributeCount(nullptr), 25);
  EXPECT_FALSE(h.monitor->has(23084));
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "p25", TLMValue("v"), h.clock->now()));
  h.drain();
  EXPECT_EQ(h.monitor->count(23084), 1u);
  EXPECT_EQ(h.internalEventCount("_err", 9), 1u);
  EXPECT_FALSE(h.property("p25").has_value());
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "p3", TLMValue("new"), h.clock->now()));
  h.drain();
  EXPECT_EQ(h.property("p3")->value().stringValue(), "new");
  // Internal properties have their own budget per origin.
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("auto", "_internal", TLMValue(std::int64_t{1}), 1));
  h.drain();
  EXPECT_TRUE(h.property("_internal").has_value());

  h.engine->removeUserAttribute(TLMUserAttribute::initWithOrigin("app", "p3", TLMValue("x"), 1));
  h.drain();
  EXPECT_FALSE(h.property("p3").has_value());
  EXPECT_TRUE(h.monitor->has(23078));
}

// MARK: - Engagement and first-open time

TEST(TLMMeasurementEngineEngagementTest, EngagementAddsToTheStoredTotalAndTheBundle) {
  EngineHarness h;
  h.start();
  auto bundle = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
  EXPECT_TRUE(h.engine->updateUserEngagement(0, *bundle, false));
  EXPECT_FALSE(h.property("_lte").has_value());
  EXPECT_FALSE(h.engine->updateUserEngagement(-1, *bundle, false));
  EXPECT_TRUE(h.monitor->has(23186));

  ASSERT_TRUE(h.engine->updateUserEngagement(1000, *bundle, false));
  ASSERT_TRUE(h.engine->updateUserEngagement(250, *bundle, true));  // session scope is off
  EXPECT_EQ(h.property("_lte")->value().int64Value(), 1250);
  auto attributes = *NANOGetArray<TLMPBUserAttribute>(*bundle, TLMPBMeasurementBundleSlot::user_attributes);
  ASSERT_EQ(attributes.size(), 1u);
  EXPECT_EQ(NANOGetInt64(*attributes[0], TLMPBUserAttributeSlot::int_value), 1250);
  EXPECT_EQ(NANOGetInt64(*attributes[0], TLMPBUserAttributeSlot::set_timestamp_millis),
            static_cast<std::int64_t>(h.clock->now() * 1000));

  EXPECT_EQ(h.engine->firstOpenTimestamp(), 1000.5);
}

TEST(TLMMeasurementEngineEngagementTest, RepeatedPurchasesAreFilteredOnlyWithDeduplicationOn) {
  EngineHarness h;
  h.components.purchaseFingerprint = [](const TLMPaymentTransaction& t) { return t.transactionIdentifier; };
  h.start();
  const std::vector<TLMPaymentTransaction> input = {
      {"gold", "t1", 1, 0, nullptr}, {"gold", "t1", 1, 0, nullptr}, {"silver", "t2", 3, 0, nullptr},
      {"bronze", "", 1, 0, nullptr}};
  auto filter = [&] {
    std::promise<std::vector<TLMPaymentTransaction>> promise;
    auto future = promise.get_future();
    h.engine->filterPurchaseTransactions(
        input, [&promise](std::vector<TLMPaymentTransaction> passing) { promise.set_value(std::move(passing)); });
    h.drain();
    return future.get();  // answered on a global queue
  };
  auto passing = filter();
  ASSERT_EQ(passing.size(), 2u);  // the first "t1" and the one without fingerprint
  EXPECT_EQ(passing[0].transactionIdentifier, "t1");
  EXPECT_EQ(passing[1].productIdentifier, "bronze");
  EXPECT_EQ(h.monitor->count(23141), 1u);
  EXPECT_EQ(h.monitor->count(23139), 1u);

  h.applySettings({{"measurement.upload.dedupe_purchases_enabled", "0"}});
  EXPECT_EQ(filter().size(), 4u);
}

// MARK: - Threads

TEST(TLMMeasurementEngineThreadTest, AccessorsAndSwitchesFromAnotherThreadWhileTheWorkerRuns) {
  EngineHarness h;
  h.build();
  std::atomic<bool> stop{false};
  std::thread reader([&] {
    while (!stop.load()) {
      (void)h.engine->isEnabled();
      if (auto config = h.engine->remoteConfig()) (void)config->maxEventsPerDay();
      if (auto identity = h.engine->identity()) (void)identity->identifiers();
      h.engine->setIsAnalyticsCollectionEnabled(true);
      (void)h.engine->initTimestamp();
    }
  });
  h.drain();  // the worker (this thread) starts the components meanwhile
  for (int i = 0; i < 20; ++i) h.log("e" + std::to_string(i));
  stop = true;
  reader.join();
  EXPECT_EQ(h.rawEventNames().size(), 23u);
}

TEST(TLMMeasurementEngineUserPropertyTest, ReadsAnswerOnABackgroundQueue) {
  EngineHarness h;
  h.start();
  h.engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", "colour", TLMValue("red"), 1));
  std::promise<std::optional<TLMUserAttribute>> one;
  h.engine->userAttributeWithName("colour", [&](std::optional<TLMUserAttribute> a) { one.set_value(a); });
  std::promise<platform::Dictionary> all;
  h.engine->userPropertiesIncludingInternal(false, [&](platform::Dictionary d) { all.set_value(d); });
  h.drain();
  EXPECT_EQ(one.get_future().get()->value().stringValue(), "red");
  auto properties = all.get_future().get();
  EXPECT_EQ(properties.size(), 1u);  // internal ones ("_fot", "_fi", "_sid", ...) left out
  std::promise<int> max;
  h.engine->maxUserPropertiesForOrigin("app", [&](int n) { max.set_value(n); });
  EXPECT_EQ(max.get_future().get(), 25);
  h.engine->maxUserPropertiesForOrigin("", [](int) {});
  EXPECT_TRUE(h.monitor->has(23093));
}
