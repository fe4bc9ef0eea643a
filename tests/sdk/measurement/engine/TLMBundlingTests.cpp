// Raw-event bundling and event sampling over a real store.
#include <gtest/gtest.h>

#include "UploadTestSupport.h"
#include "measurement/engine/TLMDiagnosticMonitor.h"

namespace {

using Slot = TLMPBMeasurementBundleSlot;
using Settings = std::vector<std::pair<std::string, std::string>>;

// A started engine whose first-open rows are already bundled and gone.
struct BundlingHarness : UploadHarness {
  explicit BundlingHarness(Settings settings = {}, std::vector<std::shared_ptr<TLMPBEventConfig>> events = {},
                           std::shared_ptr<platform::Random> dice = nullptr) {
    random = std::move(dice);
    start();
    applySettings(settings, events);
    while (engine->bundleRawEvents()) {
    }
    EXPECT_TRUE(sql("DELETE FROM queue"));
    monitor->clear();
  }
  bool sql(const std::string& statement) {
    return database()->sqliteStore()->executeSQL(statement, nullptr);
  }
  void logAt(double time, const std::string& name, TLMObjectDictionary parameters = {}) {
    clock->setNow(time);
    log(name, std::move(parameters));
  }
  // Event names of every queued bundle, oldest first.
  std::vector<std::vector<std::string>> bundledNames() {
    std::vector<std::vector<std::string>> result;
    for (const auto& [bundle, row] : queued()) result.push_back(eventNames(*bundle));
    return result;
  }
  std::int64_t rawCount() {
    auto rows = database()->sqliteStore()->recordsForQuery("SELECT COUNT(*) AS n FROM raw_events",
                                                                   platform::Array{}, nullptr);
    return rows ? (*rows)[0].get("n").int64Value().value_or(-1) : -1;
  }
};

using Names = std::vector<std::vector<std::string>>;

std::optional<std::int64_t> intParam(const TLMPBEvent& event, const std::string& name) {
  for (const auto& p : NANOGetArray<TLMPBEventParam>(event, TLMPBEventSlot::params)
                           .value_or(std::vector<std::shared_ptr<TLMPBEventParam>>{})) {
    if (NANOGetString(*p, TLMPBEventParamSlot::name) == name)
      return NANOGetInt64(*p, TLMPBEventParamSlot::int_value);
  }
  return std::nullopt;
}

}  // namespace

TEST(TLMBundlingTest, OneBundleHoldsConsecutiveRowsOfOneClockHour) {
  BundlingHarness h;
  h.logAt(kHour - 10, "a");
  h.logAt(kHour - 0.5, "b");
  h.logAt(kHour, "c");
  h.logAt(kHour + 1, "d");
  h.logAt(kHour + 2, "e");
  ASSERT_TRUE(h.sql("DELETE FROM raw_events WHERE name = 'd'"));  // a row-id gap
  while (h.engine->bundleRawEvents()) {
  }
  EXPECT_EQ(h.bundledNames(), (Names{{"a", "b"}, {"c"}, {"e"}}));
  EXPECT_EQ(h.rawCount(), 0);
  auto bundles = h.queued();
  ASSERT_EQ(bundles.size(), 3u);
  // Each bundle links to the one before it.
  EXPECT_EQ(NANOGetInt64(*bundles[1].first, Slot::previous_bundle_end_timestamp_millis),
            static_cast<std::int64_t>((kHour - 0.5) * 1000));
  EXPECT_EQ(NANOGetInt64(*bundles[1].first, Slot::previous_bundle_start_timestamp_millis),
            static_cast<std::int64_t>((kHour - 10) * 1000));
  EXPECT_EQ(NANOGetInt32(*bundles[2].first, Slot::bundle_index),
            NANOGetInt32(*bundles[1].first, Slot::bundle_index) + 1);
  EXPECT_EQ(h.engine->suspendedUploadTimestamp(), 0);
}

TEST(TLMBundlingTest, CountAndSizeLimitsEndABundleAndAnOversizedFirstRowTravelsAlone) {
  {
    BundlingHarness h(Settings{{"measurement.upload.max_events_per_bundle", "2"}});
    for (const char* name : {"a", "b", "c"}) h.logAt(kHour + 1, name);
    while (h.engine->bundleRawEvents()) {
    }
    EXPECT_EQ(h.bundledNames(), (Names{{"a", "b"}, {"c"}}));
  }
  for (const char* limit : {"0", "1"}) {
    SCOPED_TRACE(limit);
    BundlingHarness h(Settings{{"measurement.upload.max_batch_size", limit}});
    for (const char* name : {"a", "b"}) h.logAt(kHour + 1, name);
    EXPECT_TRUE(h.engine->bundleRawEvents());
    EXPECT_TRUE(h.engine->bundleRawEvents());
    EXPECT_FALSE(h.engine->bundleRawEvents());
    EXPECT_EQ(h.bundledNames(), (Names{{"a"}, {"b"}}));
    EXPECT_EQ(h.monitor->count(23190), 2u);
  }
  {
    // Room for one event but not two: the sum must stay strictly below the limit.
    BundlingHarness h;
    for (const char* name : {"a", "b"}) h.logAt(kHour + 1, name);
    const auto raw = h.rawEvents();
    const auto size =
        raw[0].event->protoEvent()->protoBuffer()->size() + raw[1].event->protoEvent()->protoBuffer()->size();
    h.applySettings({{"measurement.upload.max_batch_size", std::to_string(size)}});
    while (h.engine->bundleRawEvents()) {
    }
    EXPECT_EQ(h.bundledNames(), (Names{{"a"}, {"b"}}));
    EXPECT_FALSE(h.monitor->has(23190));
  }
}

TEST(TLMBundlingTest, UndecodableRowsAreConsumedWithTheirGroup) {
  BundlingHarness h;
  for (const char* name : {"a", "b", "c"}) h.logAt(kHour + 1, name);
  ASSERT_TRUE(h.sql("UPDATE raw_events SET data = x'ff01' WHERE name = 'b'"));
  EXPECT_TRUE(h.engine->bundleRawEvents());
  EXPECT_EQ(h.bundledNames(), (Names{{"a", "c"}}));
  EXPECT_TRUE(h.monitor->has(23096));

  ASSERT_TRUE(h.sql("DELETE FROM queue"));
  for (const char* name : {"x", "y"}) h.logAt(kHour + 2, name);
  ASSERT_TRUE(h.sql("UPDATE raw_events SET data = x'ff01'"));
  EXPECT_TRUE(h.engine->bundleRawEvents());  // consumed, not stuck
  EXPECT_TRUE(h.queued().empty());
  EXPECT_EQ(h.rawCount(), 0);
  EXPECT_FALSE(h.engine->bundleRawEvents());
}

TEST(TLMBundlingTest, TheHealthSampleTimeIsStoredOnlyWithACommittedBundle) {
  BundlingHarness h;
  h.logAt(kHour + 1, "level_up");
  // The library's own monitor, whose sample rides in the next bundle once a period is over.
  auto monitorQueue = platform::ManualQueue::create("monitor");
  auto diagnostic = TLMDiagnosticMonitor::initWithLogLevel(6, nullptr, 1, monitorQueue);
  auto previous = TLMMeasurement::setMonitor(diagnostic);
  diagnostic->logWithLevel(1, 23000, "first");
  monitorQueue->drain();
  h.clock->setNow(kHour + 1 + 86401);

  ASSERT_TRUE(h.sql("CREATE TRIGGER refuse BEFORE INSERT ON queue BEGIN SELECT RAISE(ABORT, 'full'); END"));
  EXPECT_FALSE(h.engine->bundleRawEvents());
  EXPECT_EQ(h.rawCount(), 1);
  EXPECT_EQ(h.persisted->lastMonitorDataSampledTimestamp(), 0);

  ASSERT_TRUE(h.sql("DROP TRIGGER refuse"));
  diagnostic->logWithLevel(1, 23000, "second");
  monitorQueue->drain();
  h.clock->setNow(kHour + 1 + 2 * 86401);
  EXPECT_TRUE(h.engine->bundleRawEvents());
  TLMMeasurement::setMonitor(previous);
  auto queued = h.queued();
  ASSERT_EQ(queued.size(), 1u);
  // Drawn from "second" and the refused insert's own error.
  EXPECT_TRUE(NANOGetString(*queued[0].first, Slot::monitoring_data).value_or("").starts_with("2:1E_1:"));
  EXPECT_EQ(h.persisted->lastMonitorDataSampledTimestamp(), h.clock->now());
}

TEST(TLMBundlingTest, BlacklistedEventsAreRejectedAndConversionsCountByName) {
  auto blocked = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*blocked, TLMPBEventConfigSlot::name, "blocked");
  NANOSetBool(*blocked, TLMPBEventConfigSlot::blacklisted, true);
  BundlingHarness h;
  h.logAt(kHour + 1, "blocked");
  // Blacklisted after it was stored: bundling rejects it.
  h.applySettings({{"measurement.upload.max_conversions_per_day", "1"}}, {blocked});
  EXPECT_TRUE(h.engine->bundleRawEvents());
  EXPECT_TRUE(h.queued().empty());
  EXPECT_TRUE(h.monitor->has(23100));

  TLMObjectDictionary purchase;
  purchase.set("value", TLMValue(9.5));
  purchase.set("currency", TLMValue(std::string("EUR")));
  h.logAt(kHour + 2, "ecommerce_purchase", purchase);
  h.logAt(kHour + 3, "ecommerce_purchase", purchase);
  while (h.engine->bundleRawEvents()) {
  }
  // Stored events come back without their public flag; the name makes them public, so the
  // daily conversion limit applies at bundling.
  EXPECT_EQ(h.monitor->count(23102), 1u);
}

// Processes of one app store events of one name side by side, each in the order of its own
// stamps: another's, stamped a moment after this one's, can reach the store before it. Bundled in
// the store's order the later time becomes its previous time, and no warning is said; a clock set
// back in this process still is, once for its event.
TEST(TLMBundlingTest, AnotherProcesssLaterEventIsNoFaultAndOnlyAClockSetBackHereIsSaid) {
  BundlingHarness h;
  h.logAt(kHour + 10, "shop");
  const auto fingerprint = h.database()->sqliteStore()->numberForQuery(
      "SELECT metadata_fingerprint FROM raw_events ORDER BY rowid DESC LIMIT 1", {}, nullptr);
  ASSERT_TRUE(fingerprint && fingerprint->int64Value());
  // The other process's event, stored through its own connection.
  auto other = TLMDatabase::initWithDatabasePath(h.database()->databasePath(),
                                                 std::make_shared<TLMStoreDefaultSettings>(), nullptr);
  ASSERT_TRUE(other);
  ASSERT_TRUE(other->insertRawEvent(TLMEvent::initWithOrigin("app", true, "shop", kHour + 12, 0, {}),
                                    *fingerprint->int64Value(), false, nullptr));
  other.reset();
  h.logAt(kHour + 11, "shop");
  while (h.engine->bundleRawEvents()) {
  }
  EXPECT_EQ(h.bundledNames(), (Names{{"shop", "shop", "shop"}}));
  EXPECT_FALSE(h.monitor->has(16002));

  h.logAt(kHour + 5, "shop");
  while (h.engine->bundleRawEvents()) {
  }
  EXPECT_EQ(h.monitor->count(16002), 1u);
}

TEST(TLMSamplingTest, ScriptedDiceKeepTheDaysFirstAndOneInN) {
  auto foo = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*foo, TLMPBEventConfigSlot::name, "foo");
  NANOSetInt32(*foo, TLMPBEventConfigSlot::sampling_rate, 3);
  auto dice = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{1, 0, 2, 3});
  BundlingHarness h(Settings{{"measurement.event_sampling_enabled", "1"}}, {foo}, dice);
  for (int i = 0; i < 4; ++i) h.logAt(kHour + 1 + i, "foo");
  h.logAt(kHour + 10, "bar");
  while (h.engine->bundleRawEvents()) {
  }
  auto bundles = h.queued();
  ASSERT_EQ(bundles.size(), 1u);
  auto events = NANOGetArray<TLMPBEvent>(*bundles[0].first, Slot::events).value();
  // Rolls 1 (lost, but the day's first: exempt), 0 (won), 2 (lost: dropped), 3 % 3 = 0 (won).
  ASSERT_EQ(events.size(), 4u);
  EXPECT_EQ(intParam(*events[0], "_sr"), 3);
  EXPECT_EQ(intParam(*events[0], "_efs"), 1);
  EXPECT_EQ(intParam(*events[1], "_sr"), 3);
  EXPECT_FALSE(intParam(*events[1], "_efs"));
  EXPECT_EQ(NANOGetInt64(*events[2], TLMPBEventSlot::timestamp_millis),
            static_cast<std::int64_t>((kHour + 4) * 1000));
  EXPECT_EQ(NANOGetString(*events[3], TLMPBEventSlot::name), "bar");
  EXPECT_FALSE(intParam(*events[3], "_sr"));
  EXPECT_EQ(dice->integerDraws(), 4u);
  // The bookkeeping is stored for the next bundle.
  auto aggregates = h.database()->eventAggregatesWithName("foo", nullptr);
  ASSERT_TRUE(aggregates);
  EXPECT_EQ(aggregates->lastSamplingRate(), 3);
  EXPECT_EQ(aggregates->lastBundledTimestamp(), kHour + 4);
}

TEST(TLMSamplingTest, ExtraParameterEventsFollowTheirComplexEvent) {
  BundlingHarness h(Settings{{"measurement.event_sampling_enabled", "1"}});
  auto foo = *TLMEventAggregates::initWithName("foo", 1, 1, 1, 0);
  foo.setLastSampledComplexEventID(7);
  foo.setLastSamplingRate(4);
  ASSERT_TRUE(h.database()->updateEventAggregates(foo, nullptr));
  auto ep = [](std::optional<std::int64_t> eid, std::optional<std::string> en) {
    auto event = TLMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(*event, TLMPBEventSlot::name, "_ep");
    std::vector<std::shared_ptr<TLMPBEventParam>> params;
    if (eid) {
      auto p = TLMPBEventParam::initWithMessageInfo(nullptr);
      NANOSetString(*p, TLMPBEventParamSlot::name, "_eid");
      NANOSetInt64(*p, TLMPBEventParamSlot::int_value, *eid);
      params.push_back(p);
    }
    if (en) {
      auto p = TLMPBEventParam::initWithMessageInfo(nullptr);
      NANOSetString(*p, TLMPBEventParamSlot::name, "_en");
      NANOSetString(*p, TLMPBEventParamSlot::string_value, *en);
      params.push_back(p);
    }
    NANOSetArray(*event, TLMPBEventSlot::params, params);
    return event;
  };
  auto kept = h.engine->sampleEvents({ep(7, "foo"), ep(8, "foo"), ep(std::nullopt, "foo")}, nullptr);
  ASSERT_TRUE(kept);
  ASSERT_EQ(kept->size(), 1u);
  EXPECT_EQ(intParam(*(*kept)[0], "_eid"), 8);
  EXPECT_EQ(intParam(*(*kept)[0], "_sr"), 4);
  EXPECT_TRUE(h.monitor->has(23160));
}

TEST(TLMSamplingTest, TheAccountTimeZoneMovesTheDayBoundary) {
  auto foo = TLMPBEventConfig::initWithMessageInfo(nullptr);
  NANOSetString(*foo, TLMPBEventConfigSlot::name, "foo");
  NANOSetInt32(*foo, TLMPBEventConfigSlot::sampling_rate, 2);
  auto dice = std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{1});  // every roll lost
  BundlingHarness h(Settings{{"measurement.event_sampling_enabled", "1"}}, {foo}, dice);
  const double day = 19723;
  const double lateEvening = day * 86400 + 23.5 * 3600;  // 23:30 UTC
  auto sample = [&](const std::string& offsetMinutes) {
    h.applySettings({{"measurement.event_sampling_enabled", "1"},
                     {"measurement.account.time_zone_offset_minutes", offsetMinutes}},
                    {foo});
    auto aggregates = *TLMEventAggregates::initWithName("foo", 1, 1, 1, 0);
    aggregates.setLastBundledDay(static_cast<std::int32_t>(day));
    aggregates.setLastBundledTimestamp(lateEvening - 60);
    EXPECT_TRUE(h.database()->updateEventAggregates(aggregates, nullptr));
    auto event = TLMPBEvent::initWithMessageInfo(nullptr);
    NANOSetString(*event, TLMPBEventSlot::name, "foo");
    NANOSetInt64(*event, TLMPBEventSlot::timestamp_millis, static_cast<std::int64_t>(lateEvening * 1000));
    return h.engine->sampleEvents({event}, nullptr).value();
  };
  // An hour ahead of UTC, 23:30 UTC is already the next day: the day's first event is kept.
  auto kept = sample("60");
  ASSERT_EQ(kept.size(), 1u);
  EXPECT_EQ(intParam(*kept[0], "_efs"), 1);
  EXPECT_EQ(h.database()->eventAggregatesWithName("foo", nullptr)->lastBundledDay(), day + 1);
  // In UTC it is the same day as the last one: dropped.
  EXPECT_TRUE(sample("0").empty());
}
