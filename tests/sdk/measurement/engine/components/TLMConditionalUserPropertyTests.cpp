// Conditional user properties through a real engine: the life of a property (set, trigger, time
// out, expiry, clear) with the events each step writes and their order, the row limit, the
// bounds of the record, and the blocking query.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <thread>

#include "../MeasurementEngineTestSupport.h"
#include "measurement/engine/components/TLMConditionalUserPropertyController.h"

namespace {

TLMEventPtr templ(const std::string& name) { return TLMEvent::initWithOrigin("app", false, name, 0, 0, {}); }

TLMConditionalUserProperty property(const std::string& value, const std::string& trigger = "",
                                    double timeout = 100, double ttl = 50) {
  TLMConditionalUserProperty p;
  p.origin = "app";
  p.value = TLMValue(value);
  p.triggerEventName = trigger;
  p.triggerTimeout = timeout;
  p.timeToLive = ttl;
  p.triggeredEvent = templ("cup_trig");
  p.timedOutEvent = templ("cup_tout");
  p.expiredEvent = templ("cup_exp");
  return p;
}

struct ControllerHarness : EngineHarness {
  ControllerHarness() {
    components.conditionalProperties = controller;
    start();
  }
  std::optional<TLMConditionalUserProperty> row(const std::string& name) {
    return database()->conditionalUserPropertyWithName(name, nullptr);
  }
  std::shared_ptr<TLMConditionalUserPropertyController> controller =
      std::make_shared<TLMConditionalUserPropertyController>();
};

using Names = std::vector<std::string>;

// The last `count` names (all of them when there are fewer).
Names lastOf(const Names& names, std::size_t count) {
  return Names(names.end() - static_cast<std::ptrdiff_t>(std::min(count, names.size())), names.end());
}

}  // namespace

TEST(TLMConditionalUserPropertyTests, TriggerWritesTheEventThenTheTriggeredEventAndExpiryComesBeforeTheNextEvent) {
  ControllerHarness h;
  const double created = h.clock->now();
  h.controller->setConditionalUserProperty(property("gold", "unlock"), "tier");
  h.drain();
  ASSERT_TRUE(h.row("tier"));
  EXPECT_FALSE(h.row("tier")->active);
  EXPECT_DOUBLE_EQ(h.row("tier")->creationTimestamp, created);
  EXPECT_FALSE(h.property("tier"));

  h.clock->advance(100);  // exactly the timeout: still accepted
  const auto before = h.rawEventNames().size();
  h.log("unlock");
  auto names = h.rawEventNames();
  ASSERT_EQ(names.size(), before + 2);
  EXPECT_EQ(lastOf(names, 2), (Names{"unlock", "cup_trig"}));
  ASSERT_TRUE(h.property("tier"));
  EXPECT_EQ(*h.property("tier")->value().stringPtr(), "gold");
  EXPECT_DOUBLE_EQ(h.property("tier")->lastSetTimestamp(), h.clock->now());
  EXPECT_TRUE(h.row("tier")->active);
  EXPECT_EQ(h.rawEvents().back().event->origin(), "app");

  // Triggering again does nothing: the row is active.
  h.log("unlock");
  EXPECT_EQ(h.rawEventNames().back(), "unlock");

  h.clock->advance(50);  // exactly the time to live: not yet expired
  h.log("tick");
  EXPECT_TRUE(h.property("tier"));
  h.clock->advance(0.5);
  h.log("tock");
  names = h.rawEventNames();
  EXPECT_EQ(lastOf(names, 2), (Names{"cup_exp", "tock"}));
  EXPECT_FALSE(h.property("tier"));
  EXPECT_FALSE(h.row("tier"));
}

TEST(TLMConditionalUserPropertyTests, UntriggeredPropertyTimesOutAfterItsTimeoutEvenWithTheClockSetBack) {
  ControllerHarness h;
  h.controller->setConditionalUserProperty(property("a", "never", 10), "late");
  h.controller->setConditionalUserProperty(property("b", "never", 10), "back");
  h.drain();
  h.clock->advance(10);
  h.log("first");
  EXPECT_TRUE(h.row("late"));
  // A clock set back by more than the timeout counts as passed too (the distance is absolute).
  h.clock->setNow(h.clock->now() - 30);
  h.log("second");
  auto names = h.rawEventNames();
  EXPECT_EQ(lastOf(names, 3), (Names{"cup_tout", "cup_tout", "second"}));
  EXPECT_FALSE(h.row("late"));
  EXPECT_FALSE(h.row("back"));
  EXPECT_FALSE(h.property("late"));
}

TEST(TLMConditionalUserPropertyTests, SetWithoutTriggerIsActiveAtOnceAndResettingKeepsTheFirstActivation) {
  ControllerHarness h;
  const double created = h.clock->now();
  h.controller->setConditionalUserProperty(property("v1"), "plan");
  h.drain();
  ASSERT_TRUE(h.property("plan"));
  EXPECT_DOUBLE_EQ(h.property("plan")->lastSetTimestamp(), created);
  EXPECT_EQ(h.rawEventNames().back(), "cup_trig");
  EXPECT_DOUBLE_EQ(h.rawEvents().back().event->timestamp(), created);

  // Set again, inactive as callers hand it in: the row takes the new value, the user property
  // keeps its old one and no triggered event follows.
  h.clock->advance(5);
  const auto count = h.rawEventNames().size();
  auto again = property("v2", "other");
  h.controller->setConditionalUserProperty(again, "plan");
  h.drain();
  EXPECT_EQ(h.rawEventNames().size(), count);
  EXPECT_EQ(*h.row("plan")->value->stringPtr(), "v2");
  EXPECT_TRUE(h.row("plan")->active);
  EXPECT_DOUBLE_EQ(h.row("plan")->triggeredTimestamp, created);
  EXPECT_EQ(h.row("plan")->triggerEventName, "");
  EXPECT_EQ(*h.property("plan")->value().stringPtr(), "v1");

  // Handed in active, the user property follows the new value.
  again.active = true;
  h.controller->setConditionalUserProperty(again, "plan");
  h.drain();
  EXPECT_EQ(*h.property("plan")->value().stringPtr(), "v2");
}

TEST(TLMConditionalUserPropertyTests, ClearRemovesRowAndUserPropertyAndWritesTheClearEventOnlyWhenThereWasARow) {
  ControllerHarness h;
  auto p = property("x");
  p.origin = "xq";
  h.controller->setConditionalUserProperty(p, "gone");
  h.drain();
  ASSERT_TRUE(h.property("gone"));
  h.controller->clearConditionalUserProperty(templ("cup_clear"), "gone");
  h.drain();
  EXPECT_FALSE(h.row("gone"));
  EXPECT_FALSE(h.property("gone"));
  EXPECT_EQ(h.rawEventNames().back(), "cup_clear");
  EXPECT_EQ(h.rawEvents().back().event->origin(), "xq");

  const auto count = h.rawEventNames().size();
  h.controller->clearConditionalUserProperty(templ("cup_clear"), "gone");
  h.drain();
  EXPECT_TRUE(h.monitor->has(11018));
  EXPECT_EQ(h.rawEventNames().size(), count);

  // A value-less set clears too, its expired event serving as the clear event.
  h.controller->setConditionalUserProperty(property("y", "later"), "pending");
  h.drain();
  auto clear = property("y");
  clear.value.reset();
  h.controller->setConditionalUserProperty(clear, "pending");
  h.drain();
  EXPECT_FALSE(h.row("pending"));
  EXPECT_EQ(h.rawEventNames().back(), "cup_exp");
}

TEST(TLMConditionalUserPropertyTests, AtTheRowLimitTheSetRollsBackWithoutUserPropertyOrTriggeredEvent) {
  ControllerHarness h;
  ASSERT_TRUE(h.database()->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      auto p = property("v", "t");
      p.name = "row" + std::to_string(i);
      if (!h.database()->updateConditionalUserProperty(p, nullptr)) return false;
    }
    return true;
  }));
  const auto count = h.rawEventNames().size();
  h.controller->setConditionalUserProperty(property("v"), "one_more");
  h.drain();
  EXPECT_TRUE(h.monitor->has(11014));
  EXPECT_FALSE(h.row("one_more"));
  EXPECT_FALSE(h.property("one_more"));
  EXPECT_EQ(h.rawEventNames().size(), count);

  // Replacing one of the thousand rows still works.
  h.controller->setConditionalUserProperty(property("w"), "row7");
  h.drain();
  EXPECT_TRUE(h.property("row7"));
}

TEST(TLMConditionalUserPropertyTests, BoundsAreInclusiveAndNotANumberIsRefused) {
  TLMScopedRecordingMonitor monitor;
  auto p = property("v");
  p.name = "bounded";
  for (double ok : {0.001, 15552000.0}) {
    p.triggerTimeout = ok;
    p.timeToLive = ok;
    EXPECT_TRUE(TLMIsValidConditionalUserProperty(p)) << ok;
  }
  for (double bad : {0.0, -1.0, 15552000.5, std::nan("")}) {
    p.triggerTimeout = bad;
    p.timeToLive = 1;
    EXPECT_FALSE(TLMIsValidConditionalUserProperty(p)) << bad;
    p.triggerTimeout = 1;
    p.timeToLive = bad;
    EXPECT_FALSE(TLMIsValidConditionalUserProperty(p)) << bad;
  }
  EXPECT_EQ(monitor->count(11000), 4u);
  EXPECT_EQ(monitor->count(11001), 4u);
  p.timeToLive = 1;
  p.value.reset();
  EXPECT_TRUE(TLMIsValidConditionalUserProperty(p));
}

TEST(TLMConditionalUserPropertyTests, QueryRunsInlineOnTheWorkerQueueWaitsFromAnotherThreadAndIsEmptyWhenDisabled) {
  ControllerHarness h;
  h.controller->setConditionalUserProperty(property("1", "t"), "alpha_one");
  h.controller->setConditionalUserProperty(property("2", "t"), "beta");
  h.drain();

  std::optional<std::vector<TLMConditionalUserProperty>> inlineResult;
  h.engine->scheduler()->workerQueue()->async([&] { inlineResult = h.controller->conditionalUserProperties("alpha", std::nullopt); });
  h.drain();
  ASSERT_TRUE(inlineResult);
  ASSERT_EQ(inlineResult->size(), 1u);
  EXPECT_EQ(inlineResult->front().name, "alpha_one");

  std::atomic<bool> finished{false};
  std::optional<std::vector<TLMConditionalUserProperty>> threadResult;
  std::thread caller([&] {
    threadResult = h.controller->conditionalUserProperties(std::nullopt, "app");
    finished = true;
  });
  while (!finished) h.worker->drain();
  caller.join();
  ASSERT_TRUE(threadResult);
  EXPECT_EQ(threadResult->size(), 2u);

  h.engine->setEnabled(false);
  h.drain();
  h.engine->scheduler()->workerQueue()->async([&] { inlineResult = h.controller->conditionalUserProperties(std::nullopt, std::nullopt); });
  h.drain();
  EXPECT_FALSE(inlineResult);
  EXPECT_TRUE(h.monitor->has(11005));
}

TEST(TLMConditionalUserPropertyTests, AnOlderEngineStillRunningWorksOnItsOwnStoreWhileTheNewerOneRuns) {
  ControllerHarness h;
  h.controller->setConditionalUserProperty(property("gold", "unlock"), "tier");
  h.drain();
  // Posted for the older engine, run only after a newer one has taken the controller over.
  h.controller->setConditionalUserProperty(property("silver"), "rank");
  auto older = h.engine;
  auto olderWorker = h.worker;

  // A newer engine, with its own worker and store, as after a reset of the shared engine.
  h.worker = platform::ManualQueue::create(kTLMSchedulerWorkerQueueLabel);
  h.databaseName = "newer-" + std::string(kTLMDatabaseFileName);
  h.start();
  ASSERT_NE(h.engine, older);

  for (int i = 0; i < 20; ++i) {
    older->logEvent(TLMEvent::initWithOrigin("app", true, i == 10 ? "unlock" : "old_tick", h.clock->now(), 0, {}));
    h.engine->logEvent(TLMEvent::initWithOrigin("app", true, "new_tick", h.clock->now(), 0, {}));
  }
  std::thread olderThread([&] { olderWorker->drain(); });
  h.drain();
  olderThread.join();

  TLMDatabase& olderStore = *older->database();
  auto tier = olderStore.userAttributeWithName("tier", nullptr);
  auto rank = olderStore.userAttributeWithName("rank", nullptr);
  ASSERT_TRUE(tier);
  ASSERT_TRUE(rank);
  EXPECT_EQ(*tier->value().stringPtr(), "gold");
  EXPECT_EQ(*rank->value().stringPtr(), "silver");
  EXPECT_TRUE(olderStore.conditionalUserPropertyWithName("tier", nullptr)->active);
  EXPECT_FALSE(h.row("tier"));
  EXPECT_FALSE(h.row("rank"));
  EXPECT_FALSE(h.property("rank"));

  // Calls made now go to the newer engine.
  h.controller->setConditionalUserProperty(property("bronze"), "medal");
  h.drain();
  EXPECT_TRUE(h.property("medal"));
  EXPECT_FALSE(olderStore.userAttributeWithName("medal", nullptr));

  older.reset();
  olderWorker->drain();
}

// Queued among events, a set and a clear are written in the events' group, in their places: the
// event before the set does not trigger it, the one after it does, and the clear comes after that.
TEST(TLMConditionalUserPropertyTests, ASetOrClearQueuedAmongEventsIsWrittenInTheirGroupInItsPlace) {
  ControllerHarness h;
  int commits = 0;
  sqlite3* db = h.database()->sqliteStore()->sqliteHandle();
  sqlite3_commit_hook(db, [](void* count) { return ++*static_cast<int*>(count), 0; }, &commits);
  const auto event = [&h](const std::string& name) {
    h.engine->logEvent(TLMEvent::initWithOrigin("app", true, name, h.clock->now(), 0, {}));
  };
  event("unlock");
  h.controller->setConditionalUserProperty(property("gold", "unlock"), "tier");
  event("unlock");
  h.controller->clearConditionalUserProperty(templ("cup_clear"), "tier");
  event("after");
  h.drain();
  sqlite3_commit_hook(db, nullptr, nullptr);
  EXPECT_EQ(commits, 1);
  EXPECT_EQ(lastOf(h.rawEventNames(), 5), (Names{"unlock", "unlock", "cup_trig", "cup_clear", "after"}));
  EXPECT_FALSE(h.row("tier"));
  EXPECT_FALSE(h.property("tier"));
}
