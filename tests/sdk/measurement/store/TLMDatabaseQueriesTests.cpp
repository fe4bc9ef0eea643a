#include "DatabaseTestSupport.h"

using platform::Bytes;
using platform::Value;

namespace {

class TLMDatabaseQueriesTest : public DatabaseTest {
 protected:
  TLMConditionalUserProperty property(const std::string& name, const std::string& origin = "app") {
    TLMConditionalUserProperty p;
    p.name = name;
    p.origin = origin;
    p.value = TLMValue("on");
    p.triggerTimeout = 100;
    p.timeToLive = 50;
    p.creationTimestamp = clock->now();
    return p;
  }
  std::vector<std::string> names(const std::optional<std::vector<TLMConditionalUserProperty>>& list) {
    std::vector<std::string> out;
    if (list) {
      for (const auto& p : *list) out.push_back(p.name);
    }
    std::sort(out.begin(), out.end());
    return out;
  }
};

TEST_F(TLMDatabaseQueriesTest, AudienceFiltersAreStoredQueriedAndDeleted) {
  ASSERT_TRUE(database->updateEventFilters({TLMEventFilter(1, 10, "purchase", Bytes{1}, true),
                                            TLMEventFilter(1, 11, "purchase", Bytes{2}, false),
                                            TLMEventFilter(2, 20, "_s", Bytes{3}, false)},
                                           &error))
      << error.description;
  ASSERT_TRUE(database->updatePropertyFilters({TLMPropertyFilter(3, 30, "tier", Bytes{4}, true)}, &error));
  auto purchase = database->eventFiltersForEventName("purchase", &error);
  ASSERT_EQ(purchase->size(), 2u);
  EXPECT_TRUE((*purchase)[0].isSessionScoped());
  EXPECT_EQ((*purchase)[1].data(), Bytes{2});
  EXPECT_EQ(database->propertyFiltersForPropertyName("tier", &error)->front().filterID(), 30);
  EXPECT_EQ(*database->allAudienceIDs(&error), (std::vector<std::int32_t>{1, 2, 3}));
  auto scoped = database->allSessionScopedFilters(&error);
  EXPECT_EQ((*scoped)[1], std::vector<std::int32_t>{10});
  EXPECT_EQ((*scoped)[3], std::vector<std::int32_t>{30});
  EXPECT_EQ(scoped->count(2), 0u);
  // Rows written before the session flag existed read as not session scoped.
  raw().exec("UPDATE event_filters SET session_scoped = NULL");
  EXPECT_FALSE(database->eventFiltersForEventName("purchase", &error)->front().isSessionScoped());

  EXPECT_FALSE(database->updateEventFilters({TLMEventFilter(9, 9, "", Bytes{1}, false)}, &error));
  EXPECT_TRUE(monitor.contains(12027));
  EXPECT_FALSE(database->eventFiltersForEventName("", &error));
  ASSERT_TRUE(database->deleteEventFilters({TLMEventFilter(1, 10, "purchase", Bytes{1}, true)}, &error));
  EXPECT_EQ(database->eventFiltersForEventName("purchase", &error)->size(), 1u);
  ASSERT_TRUE(database->deleteAllEventFilters(&error));
  ASSERT_TRUE(database->deleteAllPropertyFilters(&error));
  EXPECT_TRUE(database->allAudienceIDs(&error)->empty());
}

TEST_F(TLMDatabaseQueriesTest, ThousandsOfFiltersAndResultsAreDeletedAtOnce) {
  // Far beyond what one SQL expression may hold; one filter of each kind stays.
  constexpr int kCount = 2500;
  std::vector<TLMEventFilter> events;
  std::vector<TLMPropertyFilter> properties;
  std::vector<TLMFilterResult> results;
  for (int i = 0; i <= kCount; ++i) {
    events.emplace_back(i, i + 1, "e", Bytes{1}, false);
    properties.emplace_back(i, i + 1, "p", Bytes{1}, false);
    results.emplace_back(i, Bytes{1}, std::nullopt);
  }
  ASSERT_TRUE(database->performTransaction([&] {
    return database->updateEventFilters(events, &error) &&
           database->updatePropertyFilters(properties, &error) &&
           database->updateFilterResults(results, &error);
  })) << error.fullDescription();
  events.pop_back();
  properties.pop_back();
  results.pop_back();
  ASSERT_TRUE(database->performTransaction([&] {
    return database->deleteEventFilters(events, &error) &&
           database->deletePropertyFilters(properties, &error) &&
           database->deleteFilterResults(results, &error);
  })) << error.fullDescription();
  EXPECT_EQ(raw().column("SELECT audience_id FROM event_filters UNION ALL SELECT audience_id FROM "
                         "property_filters UNION ALL SELECT audience_id FROM audience_filter_values"),
            (std::vector<std::string>{"2500", "2500", "2500"}));
}

TEST_F(TLMDatabaseQueriesTest, FilterResultsWithoutPreviousResultsStoreNull) {
  ASSERT_TRUE(database->updateFilterResults(
      {TLMFilterResult(1, Bytes{1, 2}, std::nullopt), TLMFilterResult(2, Bytes{3}, Bytes{4})}, &error));
  EXPECT_EQ(raw().scalar("SELECT ifnull(previous_results, 'null') FROM audience_filter_values "
                         "WHERE audience_id = 1"),
            "null");
  auto first = database->filterResultForAudienceID(1, &error);
  ASSERT_TRUE(first);
  EXPECT_EQ(first->currentResults(), Bytes({1, 2}));
  EXPECT_FALSE(first->previousResults());
  auto all = database->allFilterResults(&error);
  ASSERT_EQ(all->size(), 2u);
  EXPECT_EQ(all->at(2).previousResults(), Bytes{4});
  EXPECT_FALSE(database->updateFilterResults({TLMFilterResult(3, Bytes{}, std::nullopt)}, &error));
  EXPECT_TRUE(monitor.contains(12035));
  ASSERT_TRUE(database->deleteFilterResults({TLMFilterResult(1, Bytes{1}, std::nullopt),
                                             TLMFilterResult(1, Bytes{1}, std::nullopt)},
                                            &error));
  EXPECT_EQ(database->allFilterResults(&error)->size(), 1u);
}

TEST_F(TLMDatabaseQueriesTest, RemoteConfigurationNeedsAnAppIDAndDecodes) {
  platform::Error none;
  EXPECT_FALSE(database->queryMeasurementConfigWithError(&none));
  EXPECT_TRUE(none.domain.empty());
  auto config = TLMPBMeasurementConfig::initWithMessageInfo(nullptr);
  NANOSetInt64(*config, TLMPBMeasurementConfigSlot::version, 7);
  EXPECT_FALSE(database->updateRemoteConfig(*config, &error));
  EXPECT_EQ(error.description, "Missing Ombrix app ID in measurement configuration");
  NANOSetString(*config, TLMPBMeasurementConfigSlot::measurement_app_id, "1:1:ios:a");
  ASSERT_TRUE(database->updateRemoteConfig(*config, &error)) << error.description;
  auto read = database->queryMeasurementConfigWithError(&error);
  ASSERT_TRUE(read);
  EXPECT_EQ(NANOGetInt64(*read, TLMPBMeasurementConfigSlot::version), 7);
  EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), clock->now());
  ASSERT_TRUE(database->updateRemoteConfigSuccessfulTimestamp(5.5, &error));
  EXPECT_EQ(database->lastRemoteConfigUpdateTimestamp(&error), 5.5);
  raw().exec("UPDATE app_metadata SET remote_config_data = x'0aff'");
  EXPECT_FALSE(database->queryMeasurementConfigWithError(&error));
  EXPECT_EQ(error.description, "Remote config data is corrupted");
}

TEST_F(TLMDatabaseQueriesTest, PurchaseFingerprintsKeepTheNewestThousand) {
  EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("", &error), false);
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 1001; ++i) {
      if (database->insertIfNotDuplicatePurchaseFingerprint("p" + std::to_string(i), &error) != true) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMPurchaseTransactionsTable, &error), 1000);
  EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("p500", &error), false);
  EXPECT_EQ(database->insertIfNotDuplicatePurchaseFingerprint("p0", &error), true);
}

TEST_F(TLMDatabaseQueriesTest, ConditionalPropertiesRoundTripAndFollowTheirTimes) {
  auto p = property("_cp");
  p.triggerEventName = "level_up";
  p.triggeredEvent = event("_trig", 0, {{"k", TLMObject(TLMValue(std::int64_t{3}))}});
  p.expiredEvent = event("_exp", 0);
  ASSERT_TRUE(database->updateConditionalUserProperty(p, &error)) << error.description;
  auto read = database->conditionalUserPropertyWithName("_cp", &error);
  ASSERT_TRUE(read) << error.description;
  EXPECT_EQ(read->triggerEventName, "level_up");
  EXPECT_EQ(*read->value, TLMValue("on"));
  ASSERT_TRUE(read->triggeredEvent);
  EXPECT_EQ(read->triggeredEvent->name(), "_trig");
  EXPECT_EQ(*read->triggeredEvent->parameters().find("k"), TLMValue(std::int64_t{3}));
  EXPECT_FALSE(read->timedOutEvent);
  EXPECT_EQ(names(database->triggeredConditionalUserPropertiesWithEventName("level_up", &error)),
            std::vector<std::string>{"_cp"});
  EXPECT_TRUE(names(database->timedOutConditionalUserPropertiesWithError(&error)).empty());
  clock->advance(101);
  EXPECT_TRUE(names(database->triggeredConditionalUserPropertiesWithEventName("level_up", &error)).empty());
  EXPECT_EQ(names(database->timedOutConditionalUserPropertiesWithError(&error)),
            std::vector<std::string>{"_cp"});

  read->active = true;
  read->triggeredTimestamp = clock->now();
  ASSERT_TRUE(database->updateConditionalUserProperty(*read, &error));
  clock->advance(50);
  EXPECT_TRUE(names(database->expiredConditionalUserPropertiesWithError(&error)).empty());
  clock->advance(1);
  EXPECT_EQ(names(database->expiredConditionalUserPropertiesWithError(&error)),
            std::vector<std::string>{"_cp"});

  auto noValue = property("_nv");
  noValue.value.reset();
  EXPECT_FALSE(database->updateConditionalUserProperty(noValue, &error));
  EXPECT_TRUE(monitor.contains(12042));
  // A row whose event blob is damaged is left out of every list.
  raw().exec("UPDATE conditional_properties SET expired_event = x'ff'");
  EXPECT_TRUE(names(database->expiredConditionalUserPropertiesWithError(&error)).empty());
  EXPECT_TRUE(monitor.contains(12038));
  ASSERT_TRUE(database->deleteConditionalUserPropertyWithName("_cp", &error));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMConditionalPropertiesTable, &error), 0);
}

// Exactly at the timeout a property can still be triggered and has not timed out; the times are
// absolute differences, so a clock set back counts as far as it went back.
TEST_F(TLMDatabaseQueriesTest, TriggerTimeoutAndTimeToLiveBoundariesInBothDirectionsOfTime) {
  auto p = property("_cp");  // created now, timeout 100, time to live 50
  p.triggerEventName = "go";
  ASSERT_TRUE(database->updateConditionalUserProperty(p, &error));
  const double created = clock->now();
  auto triggered = [&] { return names(database->triggeredConditionalUserPropertiesWithEventName("go", &error)); };
  auto timedOut = [&] { return names(database->timedOutConditionalUserPropertiesWithError(&error)); };
  const std::vector<std::string> one{"_cp"};
  for (double sign : {1.0, -1.0}) {
    clock->setNow(created + sign * 100);
    EXPECT_EQ(triggered(), one) << sign;
    EXPECT_TRUE(timedOut().empty()) << sign;
    clock->setNow(created + sign * 100.5);
    EXPECT_TRUE(triggered().empty()) << sign;
    EXPECT_EQ(timedOut(), one) << sign;
  }

  p.active = true;
  p.triggeredTimestamp = created;
  ASSERT_TRUE(database->updateConditionalUserProperty(p, &error));
  auto expired = [&] { return names(database->expiredConditionalUserPropertiesWithError(&error)); };
  for (double sign : {1.0, -1.0}) {
    clock->setNow(created + sign * 50);
    EXPECT_TRUE(expired().empty()) << sign;
    clock->setNow(created + sign * 50.5);
    EXPECT_EQ(expired(), one) << sign;
  }
}

TEST_F(TLMDatabaseQueriesTest, PrefixAndOriginMatchExactly) {
  for (const auto& [name, origin] : std::vector<std::pair<std::string, std::string>>{
           {"a_b", "app"}, {"axb", "app"}, {"a%c", "app"}, {"A_B", "app"}, {"a_z", "app2"}}) {
    ASSERT_TRUE(database->updateConditionalUserProperty(property(name, origin), &error))
        << error.description;
  }
  EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix("a_", "", &error)),
            (std::vector<std::string>{"a_b", "a_z"}));
  EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix("a_", "app", &error)),
            std::vector<std::string>{"a_b"});
  EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix("a%", "", &error)),
            std::vector<std::string>{"a%c"});
  EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix("", "ap%", &error)).size(), 0u);
  EXPECT_EQ(names(database->conditionalUserPropertiesWithPrefix("", "", &error)).size(), 5u);
}

TEST_F(TLMDatabaseQueriesTest, ComplexEventsKeepTheirMainEventAndChildCount) {
  platform::Error none;
  EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(99, &none));
  EXPECT_TRUE(none.domain.empty());
  EXPECT_FALSE(database->updateComplexEventForAudienceEvaluationWithEventID(1, 2, nullptr, &error));
  EXPECT_EQ(error.description, "Received nil main event");
  auto main = event("checkout", 1700000000.5, {{"v", TLMObject(TLMValue("x"))}});
  ASSERT_TRUE(database->updateComplexEventForAudienceEvaluationWithEventID(-5, 3, main, &error));
  auto pair = database->mainEventAndChildCountPairWithEventID(-5, &error);
  ASSERT_TRUE(pair) << error.description;
  EXPECT_EQ(pair->first->name(), "checkout");
  EXPECT_EQ(pair->first->origin(), "app");
  EXPECT_DOUBLE_EQ(pair->first->timestamp(), 1700000000.5);
  EXPECT_EQ(pair->second, 3);
  ASSERT_TRUE(database->deleteComplexEventForAudienceEvaluationWithEventID(-5, &error));
  EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(-5, &error));
  EXPECT_TRUE(TLMDatabase::TLMExperimentIDs().empty());
}

}  // namespace
