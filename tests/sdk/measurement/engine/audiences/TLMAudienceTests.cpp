#include "AudienceTestSupport.h"
#include "measurement/engine/TLMRemoteConfig.h"

using namespace audiences;

namespace {

class AudienceDefinitionTest : public AudienceTest {
 protected:
  std::string rejection(const std::shared_ptr<TLMPBAudience>& a, std::set<std::int32_t> used = {}) {
    platform::Error error;
    EXPECT_FALSE(TLMAudience::isValidAudienceProto(*a, used, *settings, &error));
    return error.description;
  }
  std::size_t storedEventFilters(const std::string& name) {
    return database->eventFiltersForEventName(name, nullptr)
        .value_or(std::vector<TLMEventFilter>{})
        .size();
  }
};

class AudienceEvaluationTest : public AudienceTest {};
class AudienceBundlingTest : public AudienceTest {
 protected:
  std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>> bundle() {
    auto results = subject().resultsForBundling();
    EXPECT_TRUE(results);
    return results.value_or(std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>{});
  }
  static Bits dataOf(const std::shared_ptr<TLMPBAudienceLeafFilterResult>& entry,
                     std::int32_t slot) {
    auto data = NANOGetMessage<TLMPBResultData>(*entry, slot);
    return data ? bitsOf(*data->protoBuffer()) : Bits{};
  }
};

}  // namespace

// MARK: - Definitions

TEST_F(AudienceDefinitionTest, TooManyAudiencesKeepTheStoredOnesAndReportSuccess) {
  settings->maxAudiences = 1;
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "open")})}));
  EXPECT_EQ(storedEventFilters("open"), 1u);
  EXPECT_TRUE(
      define({audience(2, {eventFilter(0, "close")}), audience(3, {eventFilter(0, "close")})}));
  EXPECT_TRUE(monitor->has(6008));
  EXPECT_EQ(storedEventFilters("open"), 1u);
  EXPECT_EQ(storedEventFilters("close"), 0u);
  // Exactly at the limit is accepted and replaces everything.
  EXPECT_TRUE(define({audience(2, {eventFilter(0, "close")})}));
  EXPECT_EQ(storedEventFilters("open"), 0u);
  EXPECT_EQ(storedEventFilters("close"), 1u);
}

TEST_F(AudienceDefinitionTest, InvalidAudiencesAreSkippedAndTheOthersStoredUnderInternalNames) {
  auto first =
      audience(7, {eventFilter(0, "ad_click", {filter(string(5, "x"), "engagement_time_msec")})},
               {propertyFilter(1, "first_open_time", filter(number(2, "0")))});
  auto duplicate = audience(7, {eventFilter(0, "other")});
  auto sharedFilterID =
      audience(8, {eventFilter(3, "other")}, {propertyFilter(3, "p", filter(number(2, "0")))});
  ASSERT_TRUE(define({first, duplicate, sharedFilterID}));
  EXPECT_EQ(monitor->count(6009), 2u);
  EXPECT_EQ(storedEventFilters("other"), 0u);
  auto events = database->eventFiltersForEventName("_ac", nullptr);
  ASSERT_TRUE(events && events->size() == 1);
  auto stored = TLMPBEventFilter::initWithBuffer((*events)[0].data());
  auto parameters = NANOGetArray<TLMPBFilter>(*stored, TLMPBEventFilterSlot::filters);
  EXPECT_EQ(NANOGetString(*(*parameters)[0], TLMPBFilterSlot::param_name), "_et");
  EXPECT_EQ(database->propertyFiltersForPropertyName("_fot", nullptr)->size(), 1u);
  // The caller's definition is not rewritten.
  EXPECT_EQ(NANOGetString(
                *NANOGetArray<TLMPBEventFilter>(*first, TLMPBAudienceSlot::event_filters)->at(0),
                TLMPBEventFilterSlot::event_name),
            "ad_click");

  EXPECT_EQ(rejection(duplicate, {7}), "Duplicate audience ID");
  EXPECT_EQ(rejection(sharedFilterID), "Duplicate property filter ID");
}

TEST_F(AudienceDefinitionTest, ValidationRulesAndTheirBounds) {
  settings->maxFilters = 2;
  settings->maxParameters = 1;
  EXPECT_EQ(rejection(audience(std::nullopt, {eventFilter(0, "e")})), "Missing audience ID");
  EXPECT_EQ(rejection(audience(-1, {eventFilter(0, "e")})), "Audience ID is negative");
  EXPECT_EQ(rejection(audience(1, {})), "Audience missing filters arrays");
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "e"), eventFilter(1, "e"), eventFilter(2, "e")})),
            "Audience filter count out of range");
  EXPECT_EQ(rejection(audience(1, {eventFilter(2, "e")})), "Event filter ID is out of range");
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "")})), "Event filter missing event name");
  auto floatCount = number(2, "1");
  NANOSetBool(*floatCount, TLMPBNumberFilterSlot::match_as_float, true);
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "e", {}, floatCount)})),
            "Event filter has float event count filter");
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "e", {}, number(2, "x"))})),
            "Event filter has invalid event count filter");
  EXPECT_EQ(
      rejection(audience(
          1, {eventFilter(0, "e", {filter(string(5, "a"), "p"), filter(string(5, "b"), "q")})})),
      "Event filter parameters filters count out of range");
  auto both = filter(string(5, "a"), "p");
  NANOSetMessage(*both, TLMPBFilterSlot::number_filter, number(2, "1"));
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "e", {both})})),
            "Event filter must have exactly one of number or string filter");
  EXPECT_EQ(rejection(audience(1, {eventFilter(0, "e", {filter(string(1, "("), "p")})})),
            "Event filter has invalid string filter");
  EXPECT_EQ(rejection(audience(1, {}, {propertyFilter(0, "p", nullptr)})),
            "Property filter has no filter");
  EXPECT_EQ(rejection(audience(1, {}, {propertyFilter(0, "p", filter(number(9, "1")))})),
            "Property filter must have exactly one of number or string filter");

  platform::Error error;
  EXPECT_TRUE(TLMAudience::isValidAudienceProto(
      *audience(1, {eventFilter(1, "e", {filter(string(5, "a"), "p")})}), {}, *settings, &error));
  // Flag combinations are refused without an error only when type validation is on.
  auto dynamicScoped = audience(1, {eventFilter(0, "e", {}, nullptr, Flags{true, false, true})});
  auto bareSequence =
      audience(1, {}, {propertyFilter(0, "p", filter(number(2, "1")), Flags{true, true, false})});
  EXPECT_TRUE(TLMAudience::isValidAudienceProto(*dynamicScoped, {}, *settings, &error));
  settings->filterTypeValidation = true;
  error = {};
  EXPECT_FALSE(TLMAudience::isValidAudienceProto(*dynamicScoped, {}, *settings, &error));
  EXPECT_FALSE(TLMAudience::isValidAudienceProto(*bareSequence, {}, *settings, &error));
  EXPECT_EQ(error.code, 0);
}

TEST_F(AudienceDefinitionTest, StaleResultsGoOnlyAboveTheCapAndOnlyForAudiencesNoLongerKnown) {
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a")}), audience(2, {eventFilter(0, "b")})}));
  auto record = [](std::int32_t id) {
    return TLMAudience::updatedFilterResultWithFilterID(0, id, std::nullopt, true, std::nullopt,
                                                        std::nullopt);
  };
  ASSERT_TRUE(database->updateFilterResults({record(1), record(2), record(3)}, nullptr));
  settings->maxFilterResults = 3;  // at the cap: nothing is deleted
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a")})}));
  EXPECT_FALSE(monitor->has(6016));
  EXPECT_EQ(database->allFilterResults(nullptr)->size(), 3u);
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a")}), audience(2, {eventFilter(0, "b")})}));
  settings->maxFilterResults = 2;
  // Audience 2 still has stored filters, audience 1 is accepted: only audience 3 goes.
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a")})}));
  EXPECT_EQ(monitor->first(6016).level, 3);
  auto left = database->allFilterResults(nullptr);
  EXPECT_EQ(left->size(), 2u);
  EXPECT_TRUE(left->count(1) && left->count(2));
}

// MARK: - Events and properties

TEST_F(AudienceEvaluationTest, FilterSixtyFourLivesInBitZeroOfTheSecondWord) {
  settings->maxFilters = 100;
  ASSERT_TRUE(
      define({audience(5, {eventFilter(64, "e"), eventFilter(1, "f", {}, number(2, "5"))})}));
  ASSERT_TRUE(logEvent("e", 100));
  Bits bits = current(5);
  EXPECT_EQ(bits.status, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_EQ(bits.results, (std::vector<std::uint64_t>{0, 1}));
  ASSERT_TRUE(logEvent("f", 101, {}, 3));  // evaluated false: status bit only
  bits = current(5);
  EXPECT_EQ(bits.status, (std::vector<std::uint64_t>{2, 1}));
  EXPECT_EQ(bits.results, (std::vector<std::uint64_t>{0, 1}));
  EXPECT_TRUE(TLMAudience::isFilterResult(*stored(5), 64));
  EXPECT_FALSE(TLMAudience::isFilterResult(*stored(5), 1));
  EXPECT_FALSE(TLMAudience::isFilterResult(*stored(5), 128));
  // The top bit of a word survives the store.
  ASSERT_TRUE(define({audience(5, {eventFilter(63, "g")})}));
  ASSERT_TRUE(logEvent("g", 102));
  EXPECT_EQ(current(5).results, (std::vector<std::uint64_t>{std::uint64_t{1} << 63, 1}));
  EXPECT_TRUE(TLMAudience::isFilterResult(*stored(5), 63));
}

TEST_F(AudienceEvaluationTest, EventFiltersStayTrueAndPlainTrueFiltersAreNotEvaluatedAgain) {
  ASSERT_TRUE(
      define({audience(1, {eventFilter(0, "buy", {}, number(2, "2"), Flags{true, false, false}),
                           eventFilter(1, "buy", {filter(string(5, "gold"), "tier")})})}));
  ASSERT_TRUE(logEvent("buy", 200, {{"tier", platform::Value("Gold")}}, 3));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(current(1).dynamic.at(0), 200);
  monitor->clear();
  // The dynamic filter is evaluated again (false now) and stays true; the plain one is skipped,
  // so its missing parameter is never noticed.
  ASSERT_TRUE(logEvent("buy", 300, {}, 1));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  EXPECT_FALSE(monitor->has(7009));
  // Clock set back: an earlier true time keeps the later one stored.
  ASSERT_TRUE(logEvent("buy", 150, {}, 4));
  EXPECT_EQ(current(1).dynamic.at(0), 200);
  EXPECT_TRUE(monitor->has(6037));
  ASSERT_TRUE(logEvent("buy", 250.9, {}, 5));
  EXPECT_EQ(current(1).dynamic.at(0), 250);
}

TEST_F(AudienceEvaluationTest, APassUsesEachPreparedFilterForManyEventsUntilANewDefinition) {
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a", {filter(number(2, "10"), "x")}),
                                   eventFilter(1, "a", {filter(string(4, "NEW"), "tag")})})}));
  subject().beginBundlingPass();
  for (std::int64_t x : {5, 10}) {
    ASSERT_TRUE(logEvent("a", 100, {{"x", TLMObject(TLMValue(x))}, {"tag", TLMObject(TLMValue("bold"))}}));
    EXPECT_EQ(current(1).status, (std::vector<std::uint64_t>{3}));
    EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{0}));
  }
  // The new definitions of the same filters hold for the same events at once, within the pass.
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a", {filter(number(2, "1"), "x")}),
                                   eventFilter(1, "a", {filter(string(4, "OLD"), "tag")})})}));
  ASSERT_TRUE(logEvent("a", 101, {{"x", TLMObject(TLMValue(std::int64_t{5}))}, {"tag", TLMObject(TLMValue("bold"))}}));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  subject().endBundlingPass();
}

TEST_F(AudienceEvaluationTest, AFilterThatCannotBeEvaluatedLeavesNoBitsAndNoRow) {
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "buy", {filter(number(2, "1"), "value")})})}));
  ASSERT_TRUE(logEvent("buy", 100));
  EXPECT_FALSE(stored(1));
  auto results = subject().resultsForBundling();
  ASSERT_TRUE(results);
  EXPECT_TRUE(results->empty());
}

TEST_F(AudienceEvaluationTest, DynamicPropertyFiltersFollowTheValueOthersStayTrue) {
  ASSERT_TRUE(define(
      {audience(1, {},
                {propertyFilter(0, "plan", filter(string(5, "pro")), Flags{true, false, false}),
                 propertyFilter(1, "plan", filter(string(2, "p")))})}));
  ASSERT_TRUE(subject().evaluateFiltersForUserProperty(property("plan", TLMValue("Pro"), 100)));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(current(1).dynamic.at(0), 100);
  ASSERT_TRUE(subject().evaluateFiltersForUserProperty(property("plan", TLMValue("free"), 200)));
  EXPECT_EQ(current(1).status, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{2}));

  // The same with dynamic filters switched off: a true filter is never evaluated again.
  settings->dynamicFilters = false;
  ASSERT_TRUE(subject().evaluateFiltersForUserProperty(property("plan", TLMValue("pro"), 300)));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  EXPECT_TRUE(current(1).dynamic.empty());  // the list is not carried without dynamic filters
  ASSERT_TRUE(subject().evaluateFiltersForUserProperty(property("plan", TLMValue("free"), 400)));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
}

TEST_F(AudienceEvaluationTest, BundlePropertiesAreReadFromTheirMessage) {
  ASSERT_TRUE(
      define({audience(1, {},
                       {propertyFilter(0, "age", filter(number(4, std::nullopt, "18", "30")),
                                       Flags{false, true, false})})}));
  auto message = property("age", TLMValue("18"), 5.5).protoUserAttribute();
  ASSERT_TRUE(subject().evaluateFiltersForNanoUserProperty(*message, caches, std::nullopt));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(current(1).sequence.at(0), (std::vector<std::int64_t>{5}));
  ASSERT_TRUE(subject().evaluateFiltersForNanoUserProperty(*message, caches, 42.0));
  EXPECT_EQ(current(1).sequence.at(0), (std::vector<std::int64_t>{42}));  // replaced, not appended
  auto empty = TLMPBUserAttribute::initWithMessageInfo(nullptr);
  NANOSetString(*empty, TLMPBUserAttributeSlot::name, "age");
  EXPECT_FALSE(subject().evaluateFiltersForNanoUserProperty(*empty, caches, std::nullopt));
  EXPECT_TRUE(monitor->has(6039));
}

TEST_F(AudienceEvaluationTest, ComplexEventChildrenAreEvaluatedWithTheMainEventsParameters) {
  ASSERT_TRUE(define({audience(
      1, {eventFilter(0, "order",
                      {filter(string(5, "eu"), "region"), filter(string(5, "book"), "item")})})}));
  ASSERT_TRUE(logEvent("order", 100,
                       {{"_eid", platform::Value(std::int64_t{77})},
                        {"_epc", platform::Value(std::int64_t{2})},
                        {"region", platform::Value("EU")}}));
  EXPECT_FALSE(stored(1));  // the main event lacks "item"
  auto child = [](const std::string& item, std::int64_t id) {
    return event("_ep", 101,
                 {{"_eid", platform::Value(id)},
                  {"_en", platform::Value("order")},
                  {"item", platform::Value(item)}});
  };
  ASSERT_TRUE(subject().evaluateFiltersForEvent(child("pen", 77), aggregates("_ep", 1), caches));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{0}));
  ASSERT_TRUE(database->mainEventAndChildCountPairWithEventID(77, nullptr));
  ASSERT_TRUE(subject().evaluateFiltersForEvent(child("book", 77), aggregates("_ep", 1), caches));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{1}));
  EXPECT_FALSE(
      database->mainEventAndChildCountPairWithEventID(77, nullptr));  // the last child removed it

  // An unreadable stored main event does not block bundling: the child is skipped and the row
  // removed, and a main event with the same id stores itself again.
  ASSERT_TRUE(logEvent(
      "order", 102,
      {{"_eid", platform::Value(std::int64_t{79})}, {"_epc", platform::Value(std::int64_t{1})}}));
  RawDatabase(dir.file(kTLMDatabaseFileName))
      .exec("UPDATE main_event_params SET main_event = x'0aff' WHERE event_id = 79");
  EXPECT_TRUE(subject().evaluateFiltersForEvent(child("book", 79), aggregates("_ep", 1), caches));
  EXPECT_TRUE(monitor->has(6026));
  EXPECT_FALSE(database->mainEventAndChildCountPairWithEventID(79, nullptr));
  RawDatabase(dir.file(kTLMDatabaseFileName))
      .exec(
          "INSERT INTO main_event_params (event_id, children_to_process, main_event) VALUES (80, 1, x'0aff')");
  EXPECT_TRUE(logEvent(
      "order", 103,
      {{"_eid", platform::Value(std::int64_t{80})}, {"_epc", platform::Value(std::int64_t{1})}}));
  EXPECT_TRUE(database->mainEventAndChildCountPairWithEventID(80, nullptr));

  // A child whose main event was never stored is not evaluated.
  ASSERT_TRUE(
      define({audience(2, {eventFilter(0, "order", {filter(string(5, "book"), "item")})})}));
  EXPECT_TRUE(subject().evaluateFiltersForEvent(child("book", 78), aggregates("_ep", 1), caches));
  EXPECT_EQ(monitor->first(6031).level, 4);
  EXPECT_FALSE(stored(2));
}

// MARK: - Sequences

TEST(SequenceTimestampsCacheTest, KeepsOneTimePerWholeSecondAndSortsItsOutput) {
  TLMScopedRecordingMonitor monitor{true};
  TLMSequenceTimestampsCache cache(3);
  cache.addEventFilterTimestamp(100.2, 1);
  cache.addEventFilterTimestamp(100.7, 1);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(1), (std::vector<double>{100.2}));
  cache.addEventFilterTimestamp(101.0, 1);
  cache.addEventFilterTimestamp(99.5, 1);  // clock set back: logged, still kept
  EXPECT_EQ(monitor->count(42000), 1u);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(1), (std::vector<double>{100.2, 101.0, 99.5}));
  cache.setUserPropertyTimestamp(50, 0);
  cache.setUserPropertyTimestamp(40, 0);
  EXPECT_EQ(monitor->count(42001), 1u);
  EXPECT_EQ(cache.sequenceTimestampsForFilterID(0), (std::vector<double>{40}));
  EXPECT_FALSE(cache.sequenceTimestampsForFilterID(2));
  auto messages = cache.sequenceFilterResultTimestamps();
  ASSERT_EQ(messages.size(), 2u);
  EXPECT_EQ(NANOGetInt32(*messages[0], TLMPBSequenceFilterResultTimestampSlot::filter_id), 0);
  EXPECT_EQ(*NANOGetArray(*messages[1], TLMPBSequenceFilterResultTimestampSlot::eval_timestamps),
            (platform::Array{platform::Value(std::int64_t{99}), platform::Value(std::int64_t{100}),
                             platform::Value(std::int64_t{101})}));
}

TEST_F(AudienceBundlingTest, SequenceTimesAccumulateInABundleAndANewBundleStartsFromTheLatest) {
  ASSERT_TRUE(
      define({audience(1, {eventFilter(0, "step", {}, nullptr, Flags{true, true, false})})}));
  ASSERT_TRUE(logEvent("step", 100.2));
  ASSERT_TRUE(logEvent("step", 100.9));
  ASSERT_TRUE(logEvent("step", 103.0));
  EXPECT_EQ(current(1).sequence.at(0), (std::vector<std::int64_t>{100, 103}));
  EXPECT_TRUE(current(1).dynamic.empty());  // sequence filters keep no dynamic time
  auto first = bundle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(NANOGetBool(*first[0], TLMPBAudienceLeafFilterResultSlot::new_audience));
  EXPECT_EQ(dataOf(first[0], TLMPBAudienceLeafFilterResultSlot::current_data).sequence.at(0),
            (std::vector<std::int64_t>{100, 103}));
  // Nothing changed: the next bundle carries no previous data and the first entry is cut to its
  // last time, in the bundle and in the store.
  auto second = bundle();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_FALSE(NANOGetBool(*second[0], TLMPBAudienceLeafFilterResultSlot::new_audience));
  EXPECT_FALSE(NANOHasField(*second[0], TLMPBAudienceLeafFilterResultSlot::previous_data));
  EXPECT_EQ(dataOf(second[0], TLMPBAudienceLeafFilterResultSlot::current_data).sequence.at(0),
            (std::vector<std::int64_t>{103}));
  EXPECT_EQ(current(1).sequence.at(0), (std::vector<std::int64_t>{103}));
  // A new bundle seeds its cache with the latest stored time only.
  caches.clear();
  ASSERT_TRUE(
      define({audience(1, {eventFilter(0, "step", {}, nullptr, Flags{true, true, false})})}));
  ASSERT_TRUE(logEvent("step", 110));
  EXPECT_EQ(current(1).sequence.at(0), (std::vector<std::int64_t>{103, 110}));
}

// MARK: - Bundling and sessions

TEST_F(AudienceBundlingTest, PreviousDataTravelsOnlyWhenTheResultChanged) {
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a"), eventFilter(1, "b")}),
                      audience(2, {eventFilter(0, "c")})}));
  ASSERT_TRUE(logEvent("a", 100));
  auto first = bundle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_EQ(NANOGetInt32(*first[0], TLMPBAudienceLeafFilterResultSlot::audience_id), 1);
  EXPECT_FALSE(NANOHasField(*first[0], TLMPBAudienceLeafFilterResultSlot::previous_data));
  ASSERT_TRUE(logEvent("b", 200));
  ASSERT_TRUE(logEvent("c", 200));
  auto second = bundle();
  ASSERT_EQ(second.size(), 2u);
  EXPECT_EQ(dataOf(second[0], TLMPBAudienceLeafFilterResultSlot::previous_data).results,
            (std::vector<std::uint64_t>{1}));
  EXPECT_EQ(dataOf(second[0], TLMPBAudienceLeafFilterResultSlot::current_data).results,
            (std::vector<std::uint64_t>{3}));
  EXPECT_FALSE(NANOGetBool(*second[0], TLMPBAudienceLeafFilterResultSlot::new_audience));
  EXPECT_TRUE(NANOGetBool(*second[1], TLMPBAudienceLeafFilterResultSlot::new_audience));
  auto third = bundle();
  ASSERT_EQ(third.size(), 2u);
  EXPECT_FALSE(NANOHasField(*third[0], TLMPBAudienceLeafFilterResultSlot::previous_data));
  EXPECT_FALSE(NANOGetBool(*third[1], TLMPBAudienceLeafFilterResultSlot::new_audience));
}

TEST_F(AudienceBundlingTest, NewSessionClearsOnlySessionScopedResults) {
  settings->scopedFilters = true;
  ASSERT_TRUE(define({audience(1, {eventFilter(0, "a", {}, nullptr, Flags{false, false, true}),
                                   eventFilter(1, "b")}),
                      audience(2, {eventFilter(0, "a", {}, nullptr, Flags{false, false, true}),
                                   eventFilter(1, "z")})}));
  ASSERT_TRUE(logEvent("a", 100));
  ASSERT_TRUE(logEvent("b", 101));
  EXPECT_EQ(current(1).dynamic.at(0), 100);  // session-scoped filters keep their time
  ASSERT_TRUE(subject().clearEvaluationResultsForSessionScopedFilters());
  EXPECT_EQ(current(1).status, (std::vector<std::uint64_t>{2}));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{2}));
  EXPECT_TRUE(current(1).dynamic.empty());
  auto previous = stored(1)->previousResults();
  ASSERT_TRUE(previous);
  EXPECT_EQ(bitsOf(*previous).results, (std::vector<std::uint64_t>{3}));
  // Audience 2 had only its session-scoped filter evaluated: its row is gone.
  EXPECT_FALSE(stored(2));
  // The scoped filter is evaluated afresh in the new session.
  ASSERT_TRUE(logEvent("a", 200));
  EXPECT_EQ(current(1).results, (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(current(1).dynamic.at(0), 200);
}

TEST(AudienceSettingsTest, RemoteConfigurationDefaultsReachTheAudiences) {
  TLMAudienceRemoteConfigSettings settings(TLMRemoteConfig::defaultInstance());
  EXPECT_EQ(settings.maxAudienceCount(), 50);
  EXPECT_EQ(settings.maxFiltersPerAudience(), 10);
  EXPECT_EQ(settings.maxFilterResultCount(), 200);
  EXPECT_TRUE(settings.isAudienceDynamicFiltersEnabled());
  EXPECT_FALSE(settings.isAudienceScopedFiltersEnabled());
}

// MARK: - Bundling passes

namespace {

// Every stored record and every bundle entry of one scripted run, as bytes in text.
std::string hex(const std::optional<platform::Bytes>& bytes) {
  if (!bytes) return "none";
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : *bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

// Events, properties, bundles and a new definition in one pass, as bundling runs them; with
// `pass` off the same calls run without one. The filters change their records along the way.
std::string runScript(TLMAudience& audience, TLMDatabase& database, bool pass) {
  TLMSequenceTimestampsCaches caches;
  std::string out;
  auto event = [&](double time, std::int64_t x) {
    EXPECT_TRUE(audience.evaluateFiltersForEvent(
        audiences::event("a", time, {{"x", TLMObject(TLMValue(x))}}), aggregates("a", 1), caches));
  };
  auto results = [&] {
    auto entries = audience.resultsForBundling();
    EXPECT_TRUE(entries);
    for (const auto& entry : entries.value_or(std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>{})) {
      out += hex(entry->protoBuffer()) + ";";
    }
    out += "|";
  };
  auto definitions = [](bool withFourth) {
    std::vector<std::shared_ptr<TLMPBAudience>> list = {
        audiences::audience(1, {eventFilter(0, "a", {filter(number(2, "1"), "x")}),
                                eventFilter(1, "a", {filter(number(2, "4"), "x")}, nullptr, {true})},
                            {propertyFilter(2, "p", filter(string(5, "on")), {false, true})}),
        audiences::audience(2, {eventFilter(0, "a", {}, nullptr, {false, true})}),
        audiences::audience(3, {eventFilter(0, "a", {filter(number(2, "100"), "x")})}),
    };
    if (withFourth) list.push_back(audiences::audience(4, {eventFilter(5, "a", {filter(number(1, "9"), "x")})}));
    return list;
  };
  EXPECT_TRUE(audience.updateAudiences(definitions(false)));
  if (pass) audience.beginBundlingPass();
  event(1000, 0);
  event(1001, 2);
  event(1002, 5);
  EXPECT_TRUE(audience.evaluateFiltersForUserProperty(property("p", TLMValue("on"), 1003), &caches, 1003));
  results();
  event(1004, 3);
  EXPECT_TRUE(audience.clearEvaluationResultsForSessionScopedFilters());
  EXPECT_TRUE(audience.updateAudiences(definitions(true)));
  event(1005, 7);
  event(1006, 200);
  results();
  event(1007, 1);
  if (pass) audience.endBundlingPass();
  for (const auto& [id, record] : database.allFilterResults(nullptr).value_or(std::map<std::int32_t, TLMFilterResult>{})) {
    out += std::to_string(id) + ":" + hex(record.currentResults()) + "/" + hex(record.previousResults()) + ";";
  }
  return out;
}

TEST_F(AudienceBundlingTest, APassKeepsWhatItReadTrueAndEndsWhereCallsWithoutOneEnd) {
  TempDirectory otherDir;
  auto other = TLMDatabase::initWithDatabasePath(otherDir.file(kTLMDatabaseFileName), storeSettings, &storeMonitor);
  ASSERT_TRUE(other);
  TLMAudience without(*other, settings);
  const std::string expected = runScript(without, *other, false);
  EXPECT_EQ(runScript(subject(), *database, true), expected);
  // The script turned filters true, added times and cut sequences: there was something to keep.
  EXPECT_NE(current(1).results, std::vector<std::uint64_t>{});
  EXPECT_FALSE(current(2).sequence.empty());
  EXPECT_EQ(current(4).status, (std::vector<std::uint64_t>{32}));
}

}  // namespace
