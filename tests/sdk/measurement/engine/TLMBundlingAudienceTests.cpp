// Audiences inside the engine, on a real store: the results a bundle carries, the times its user
// properties are evaluated at, session-scoped results on a new session, rollbacks, and the
// audiences of an applied configuration.
#include <gtest/gtest.h>

#include <map>

#include "UploadTestSupport.h"
#include "audiences/AudienceTestSupport.h"

namespace {

using Slot = TLMPBMeasurementBundleSlot;
using LeafSlot = TLMPBAudienceLeafFilterResultSlot;
using audiences::Bits;
using audiences::Flags;
using Leaf = std::shared_ptr<TLMPBAudienceLeafFilterResult>;

// The real audiences, with one chosen call failing.
class FailingAudience : public TLMAudienceEvaluator {
 public:
  enum class Call { None, Update, Clear, Event, Property, Results };
  explicit FailingAudience(std::shared_ptr<TLMAudience> real) : real_(std::move(real)) {}

  bool updateAudiences(const std::vector<std::shared_ptr<TLMPBAudience>>& audiences) override {
    return failing != Call::Update && real_->updateAudiences(audiences);
  }
  bool evaluateFiltersForEvent(const TLMEventPtr& event, const TLMEventAggregates& aggregates,
                               TLMSequenceTimestampsCaches& caches) override {
    return failing != Call::Event && real_->evaluateFiltersForEvent(event, aggregates, caches);
  }
  bool evaluateFiltersForNanoUserProperty(const TLMPBUserAttribute& property, TLMSequenceTimestampsCaches& caches,
                                          std::optional<double> evaluationTime) override {
    return failing != Call::Property && real_->evaluateFiltersForNanoUserProperty(property, caches, evaluationTime);
  }
  bool clearEvaluationResultsForSessionScopedFilters() override {
    return failing != Call::Clear && real_->clearEvaluationResultsForSessionScopedFilters();
  }
  std::optional<std::vector<Leaf>> resultsForBundling() override {
    if (failing == Call::Results) return std::nullopt;
    return real_->resultsForBundling();
  }

  Call failing = Call::None;

 private:
  std::shared_ptr<TLMAudience> real_;
};

// A started engine with real audiences whose first-open rows are already bundled and gone.
struct AudienceHarness : UploadHarness {
  explicit AudienceHarness(const TLMTestSettings& settings = {}) {
    components.makeAudience = [this](TLMDatabase& database, std::shared_ptr<TLMRemoteConfig> config) {
      audience = std::make_shared<FailingAudience>(std::make_shared<TLMAudience>(
          database, std::make_shared<TLMAudienceRemoteConfigSettings>(std::move(config))));
      return audience;
    };
    start();
    applySettings(settings);
    while (engine->bundleRawEvents()) {
    }
    EXPECT_TRUE(database()->sqliteStore()->executeSQL("DELETE FROM queue", nullptr));
    monitor->clear();
  }
  void define(const std::vector<std::shared_ptr<TLMPBAudience>>& list) {
    ASSERT_TRUE(audience->updateAudiences(list));
  }
  void setProperty(const std::string& name, const std::string& value, double time) {
    clock->setNow(time);
    engine->setUserAttribute(TLMUserAttribute::initWithOrigin("app", name, TLMValue(value), time));
    drain();
  }
  void logAt(double time, const std::string& name) {
    clock->setNow(time);
    if (name.front() == '_') {
      log(name, {}, false, "auto");
    } else {
      log(name);
    }
  }
  // Bundles everything stored; the audience entries of the newest bundle, by audience id.
  std::map<std::int32_t, Leaf> bundle() {
    while (engine->bundleRawEvents()) {
    }
    std::map<std::int32_t, Leaf> entries;
    auto bundles = queued();
    if (bundles.empty()) return entries;
    for (const auto& entry : NANOGetArray<TLMPBAudienceLeafFilterResult>(*bundles.back().first,
                                                                         Slot::audience_evaluation_results)
                                 .value_or(std::vector<Leaf>{})) {
      entries[NANOGetInt32(*entry, LeafSlot::audience_id)] = entry;
    }
    return entries;
  }
  std::int32_t lastBundleIndex() { return database()->queryAppMetadata(nullptr)->lastBundleIndex(); }

  std::shared_ptr<FailingAudience> audience;
};

Bits dataOf(const Leaf& entry, std::int32_t slot) {
  auto data = entry ? NANOGetMessage<TLMPBResultData>(*entry, slot) : nullptr;
  return data ? audiences::bitsOf(*data->protoBuffer()) : Bits{};
}

std::shared_ptr<TLMPBPropertyFilter> goldTier(std::int32_t id, Flags flags = {}) {
  return audiences::propertyFilter(
      id, "tier", audiences::filter(audiences::string(TLMAudienceStringMatchExact, "gold")), flags);
}

using Words = std::vector<std::uint64_t>;

}  // namespace

TEST(TLMBundlingAudienceTest, EventsMeetFiltersWithTheirUpdatedCountsAndTheBundleCarriesTheResult) {
  AudienceHarness h;
  // Filter 0: the second "buy" ever; filter 1: the property of the bundle's metadata.
  h.define({audiences::audience(
      1, {audiences::eventFilter(0, "buy", {}, audiences::number(TLMAudienceComparisonEqual, "2"))},
      {goldTier(1)})});
  h.setProperty("tier", "gold", kHour + 1);
  h.logAt(kHour + 2, "buy");
  auto first = h.bundle();
  ASSERT_EQ(first.size(), 1u);
  EXPECT_TRUE(NANOGetBool(*first[1], LeafSlot::new_audience));
  EXPECT_EQ(dataOf(first[1], LeafSlot::current_data).status, Words{3});
  EXPECT_EQ(dataOf(first[1], LeafSlot::current_data).results, Words{2});

  h.logAt(kHour + 3, "buy");
  auto second = h.bundle();
  ASSERT_EQ(second.size(), 1u);
  EXPECT_FALSE(NANOGetBool(*second[1], LeafSlot::new_audience));
  EXPECT_EQ(dataOf(second[1], LeafSlot::current_data).results, Words{3});
  EXPECT_EQ(dataOf(second[1], LeafSlot::previous_data).results, Words{2});
  EXPECT_EQ(h.queued().size(), 2u);
}

TEST(TLMBundlingAudienceTest, PropertiesAreEvaluatedAtTheSessionStartOrTheBundleStart) {
  struct Case {
    const char* name;
    TLMTestSettings settings;
    bool sessionStart;
    double expected;
  };
  for (const Case& c : {Case{"session start", {}, true, kHour + 20},
                        Case{"no session start: the last-set time", {}, false, kHour + 1},
                        Case{"bundle start",
                             {{"measurement.audience.use_bundle_timestamp_for_property_filters", "1"}},
                             true,
                             kHour + 10}}) {
    SCOPED_TRACE(c.name);
    AudienceHarness h(c.settings);
    h.define({audiences::audience(1, {}, {goldTier(0, Flags{true, false, false})})});
    h.setProperty("tier", "gold", kHour + 1);
    h.logAt(kHour + 10, "x");
    if (c.sessionStart) h.logAt(kHour + 20, "_s");
    auto entries = h.bundle();
    ASSERT_EQ(h.queued().size(), 1u);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(dataOf(entries[1], LeafSlot::current_data).dynamic,
              (std::map<std::int32_t, std::int64_t>{{0, static_cast<std::int64_t>(c.expected)}}));
  }
}

TEST(TLMBundlingAudienceTest, ASessionStartClearsSessionScopedResultsOnlyWhenScopedFiltersAreOn) {
  for (const char* scoped : {"1", "0"}) {
    SCOPED_TRACE(scoped);
    AudienceHarness h(TLMTestSettings{{"measurement.audience.scoped_filters", scoped}});
    h.define({audiences::audience(1, {audiences::eventFilter(0, "buy", {}, nullptr, Flags{false, false, true})},
                                  {goldTier(1)})});
    h.setProperty("tier", "gold", kHour + 1);
    h.logAt(kHour + 2, "buy");
    EXPECT_EQ(dataOf(h.bundle()[1], LeafSlot::current_data).results, Words{3});
    h.logAt(kHour + 3, "_s");
    h.logAt(kHour + 4, "other");
    const Bits after = dataOf(h.bundle()[1], LeafSlot::current_data);
    // The property filter is evaluated again at the session start; the scoped one waits for a
    // "buy" of the new session.
    EXPECT_EQ(after.status, std::string(scoped) == "1" ? Words{2} : Words{3});
    EXPECT_EQ(after.results, std::string(scoped) == "1" ? Words{2} : Words{3});
  }
}

TEST(TLMBundlingAudienceTest, AFailedAudienceCallRollsTheBundleBackAndALaterOneCountsOnce) {
  using Call = FailingAudience::Call;
  for (Call call : {Call::Clear, Call::Event, Call::Property, Call::Results}) {
    SCOPED_TRACE(static_cast<int>(call));
    AudienceHarness h(TLMTestSettings{{"measurement.audience.scoped_filters", "1"}});
    h.define({audiences::audience(1, {audiences::eventFilter(0, "buy")}, {goldTier(1)})});
    h.setProperty("tier", "gold", kHour + 1);
    h.logAt(kHour + 2, "_s");
    h.logAt(kHour + 3, "buy");
    auto lifetime = [&] {
      auto aggregates = h.database()->eventAggregatesWithName("buy", nullptr);
      return aggregates ? aggregates->lifetimeCount() : 0;
    };
    const auto index = h.lastBundleIndex();
    const auto count = lifetime();
    h.audience->failing = call;
    EXPECT_FALSE(h.engine->bundleRawEvents());
    EXPECT_TRUE(h.queued().empty());
    EXPECT_EQ(h.rawEvents().size(), 2u);
    EXPECT_EQ(h.lastBundleIndex(), index);
    EXPECT_EQ(lifetime(), count);
    EXPECT_EQ(h.monitor->has(23113), call == Call::Results);

    h.audience->failing = Call::None;
    auto entries = h.bundle();
    EXPECT_TRUE(h.rawEvents().empty());
    EXPECT_EQ(lifetime(), count + 1);
    ASSERT_EQ(entries.size(), 1u);
    EXPECT_EQ(dataOf(entries[1], LeafSlot::current_data).results, Words{3});
  }
}

TEST(TLMConfigFetchTest, AnAppliedConfigurationReplacesTheAudiencesAndAFailedReplacementRollsItBack) {
  auto body = [](std::int64_t version, const std::string& eventName) {
    auto config = TLMTestMeasurementConfig(kTestAppID, {}, version);
    NANOSetArray(*config, TLMPBMeasurementConfigSlot::audiences,
                 std::vector<std::shared_ptr<TLMPBAudience>>{
                     audiences::audience(4, {audiences::eventFilter(0, eventName)})});
    return config->protoBuffer().value_or(platform::Bytes{});
  };
  auto filtersOf = [](AudienceHarness& h, const std::string& name) {
    return h.database()->eventFiltersForEventName(name, nullptr).value_or(std::vector<TLMEventFilter>{}).size();
  };
  AudienceHarness h;
  h.engine->fetchRemoteConfig();
  h.respond(200, body(7, "buy"));
  EXPECT_EQ(h.engine->remoteConfig()->version(), 7);
  EXPECT_EQ(filtersOf(h, "buy"), 1u);

  h.audience->failing = FailingAudience::Call::Update;
  h.clock->advance(100000);
  h.engine->fetchRemoteConfig();
  h.respond(200, body(8, "sell"));
  EXPECT_TRUE(h.monitor->has(23137));
  EXPECT_EQ(h.engine->remoteConfig()->version(), 7);
  EXPECT_EQ(filtersOf(h, "buy"), 1u);
  EXPECT_EQ(filtersOf(h, "sell"), 0u);
}
