#include <cmath>

#include "DatabaseTestSupport.h"

using platform::Value;

namespace {

class TLMDatabaseMetadataTest : public DatabaseTest {
 protected:
  static TLMUserAttribute attribute(const std::string& name, const TLMValue& value,
                                    double time = 1700000000, const std::string& origin = "app") {
    auto a = TLMUserAttribute::initWithOrigin(origin, name, value, time);
    EXPECT_TRUE(a) << name;
    return *a;
  }
  static TLMEventAggregates aggregates(const std::string& name, std::int32_t lifetime) {
    auto a = TLMEventAggregates::initWithName(name, lifetime, 1, 2, 1700000000.5);
    EXPECT_TRUE(a) << name;
    return *a;
  }
};

TEST_F(TLMDatabaseMetadataTest, AppMetadataAndDailyCountsLiveInRowOne) {
  auto metadata = database->queryAppMetadata(&error);
  ASSERT_TRUE(metadata);
  EXPECT_EQ(metadata->lastBundleIndex(), 0);
  metadata->incrementLastBundleIndex();
  metadata->setLastBundleStartTimestamp(10.5);
  metadata->setLastBundleEndTimestamp(20.5);
  ASSERT_TRUE(database->updateAppMetadata(*metadata, &error)) << error.description;
  auto read = database->queryAppMetadata(&error);
  EXPECT_EQ(read->lastBundleIndex(), 1);
  EXPECT_EQ(read->lastBundleStartTimestamp(), 10.5);
  EXPECT_EQ(read->lastBundleEndTimestamp(), 20.5);

  settings->midnightOffsetValue = 3600;
  auto today = static_cast<std::int32_t>(std::floor((clock->now() - 3600) / 86400));
  auto counts = database->dailyCounts(&error);
  ASSERT_TRUE(counts);
  EXPECT_EQ(*counts, TLMDailyCounts(today, 0, 0, 0, 0, 0));
  ASSERT_TRUE(database->updateDailyCounts(TLMDailyCounts(today - 3, 1, 2, 3, 4, 5), &error));
  // The stored day comes back as it is: starting a new day is the caller's decision.
  EXPECT_EQ(*database->dailyCounts(&error), TLMDailyCounts(today - 3, 1, 2, 3, 4, 5));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMAppMetadataTable, &error), 1);
}

// The day of a fresh count starts at local midnight: half an hour after UTC midnight is still
// the day before one hour west of it, and already the next day two hours east.
TEST_F(TLMDatabaseMetadataTest, DailyCountsStartTheirDayAtTheMidnightOffset) {
  const double utcMidnight = 19676.0 * 86400;
  clock->setNow(utcMidnight + 1800);
  settings->midnightOffsetValue = 3600;
  EXPECT_EQ(database->dailyCounts(&error)->day(), 19675);
  clock->setNow(utcMidnight - 1800);
  settings->midnightOffsetValue = -7200;
  EXPECT_EQ(database->dailyCounts(&error)->day(), 19676);
  settings->midnightOffsetValue = 0;
  EXPECT_EQ(database->dailyCounts(&error)->day(), 19675);
}

TEST_F(TLMDatabaseMetadataTest, EventAggregatesRoundTripAndReadOlderRowsWithDefaults) {
  auto a = aggregates("purchase", 5);
  a.setLastSampledComplexEventID(-77);
  a.setLastSamplingRate(10);
  a.setLastExemptFromSampling(true);
  a.setLastBundledDay(19000);
  a.setLastBundledTimestamp(1700000001.5);
  ASSERT_TRUE(database->updateEventAggregates(a, &error)) << error.description;
  ASSERT_TRUE(database->updateEventAggregates(aggregates("_e", 1), &error));
  auto read = database->eventAggregatesWithName("purchase", &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(read->lifetimeCount(), 5);
  EXPECT_EQ(read->currentSessionCount(), 2);
  EXPECT_EQ(read->lastSampledComplexEventID(), -77);
  EXPECT_EQ(read->lastSamplingRate(), 10);
  EXPECT_TRUE(read->lastExemptFromSampling());
  EXPECT_EQ(read->lastBundledDay(), 19000);
  EXPECT_EQ(read->lastBundledTimestamp(), 1700000001.5);
  EXPECT_EQ(database->publicEventCount(&error), 1);

  raw().exec("INSERT INTO events (name, lifetime_count, current_bundle_count, last_fire_timestamp) "
             "VALUES ('old_event', 3, 0, 5.0)");
  auto old = database->eventAggregatesWithName("old_event", &error);
  ASSERT_TRUE(old);
  EXPECT_EQ(old->lastSamplingRate(), 1);
  EXPECT_FALSE(old->lastExemptFromSampling());
  EXPECT_FALSE(old->lastSampledComplexEventID());
  EXPECT_EQ(old->currentSessionCount(), 0);
  platform::Error none;
  EXPECT_FALSE(database->eventAggregatesWithName("missing", &none));
  EXPECT_TRUE(none.domain.empty());

  ASSERT_TRUE(database->clearCurrentSessionCounts(&error));
  EXPECT_EQ(raw().scalar("SELECT sum(current_session_count) FROM events"), "0");
  EXPECT_EQ(database->allEventAggregates(&error)->size(), 3u);
}

TEST_F(TLMDatabaseMetadataTest, EventsTableRefusesNewNamesWhenFull) {
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 1000; ++i) {
      if (!database->updateEventAggregates(aggregates("e" + std::to_string(i), 1), &error)) return false;
    }
    return true;
  }));
  EXPECT_FALSE(database->updateEventAggregates(aggregates("one_more", 1), &error));
  EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
  EXPECT_TRUE(database->updateEventAggregates(aggregates("e5", 9), &error));
  EXPECT_EQ(database->eventAggregatesWithName("e5", &error)->lifetimeCount(), 9);
}

TEST_F(TLMDatabaseMetadataTest, UserPropertiesKeepValueKindsAndRefuseEmptyText) {
  ASSERT_TRUE(database->updateUserAttribute(attribute("zero", TLMValue(std::int64_t{0})), &error));
  ASSERT_TRUE(database->updateUserAttribute(attribute("zero_d", TLMValue(0.0)), &error));
  ASSERT_TRUE(database->updateUserAttribute(attribute("text", TLMValue("v"), 1, "xq"), &error));
  auto zero = database->userAttributeWithName("zero", &error);
  ASSERT_TRUE(zero);
  EXPECT_TRUE(zero->value().isInt64());
  EXPECT_TRUE(database->userAttributeWithName("zero_d", &error)->value().isDouble());
  EXPECT_EQ(database->userAttributeWithName("text", &error)->origin(), "xq");

  auto empty = TLMUserAttribute::initWithOrigin("app", "blank", TLMValue(""), 1);
  if (empty) {
    EXPECT_FALSE(database->updateUserAttribute(*empty, &error));
    EXPECT_EQ(error.description, "Failed to insert/update unknown data type");
    EXPECT_TRUE(monitor.contains(12024));
  }
  EXPECT_EQ(database->containsUserAttributeWithName("text", &error), true);
  EXPECT_EQ(database->userAttributeCountForOrigin("app", &error), 2);
  EXPECT_FALSE(database->userAttributeCountForOrigin("", &error));
  ASSERT_TRUE(database->deleteUserAttributeWithName("text", &error));
  EXPECT_EQ(database->containsUserAttributeWithName("text", &error), false);
}

TEST_F(TLMDatabaseMetadataTest, UserPropertyTableLimitAndPublicListing) {
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 997; ++i) {
      if (!database->updateUserAttribute(attribute("p" + std::to_string(i), TLMValue("x")), &error)) {
        return false;
      }
    }
    return true;
  }));
  ASSERT_TRUE(database->updateUserAttribute(attribute("_fot", TLMValue(std::int64_t{1})), &error));
  ASSERT_TRUE(database->updateUserAttribute(attribute("ombrix_x", TLMValue("r")), &error));
  ASSERT_TRUE(database->updateUserAttribute(attribute("p_last", TLMValue("y")), &error));
  EXPECT_FALSE(database->updateUserAttribute(attribute("p_new", TLMValue("z")), &error));
  EXPECT_EQ(error.description, "Failed to insert data type. Table is full");
  EXPECT_TRUE(database->updateUserAttribute(attribute("p_last", TLMValue("changed")), &error));

  EXPECT_EQ(database->userAttributesIncludingInternal(true, &error)->size(), 1000u);
  auto visible = database->userAttributesIncludingInternal(false, &error);
  EXPECT_EQ(visible->size(), 998u);
  for (const auto& a : *visible) {
    EXPECT_NE(a.name(), "_fot");
    EXPECT_NE(a.name(), "ombrix_x");
  }
  EXPECT_EQ(database->publicUserAttributeCount(&error), 999);
}

TEST_F(TLMDatabaseMetadataTest, PublicListingLeavesOutInternalNamesWithoutAnUnderscore) {
  for (const char* name : {"user_id", "first_open_time", "jq_session_id", "visible"}) {
    ASSERT_TRUE(database->updateUserAttribute(attribute(name, TLMValue("v")), &error)) << name;
  }
  auto visible = database->userAttributesIncludingInternal(false, &error);
  ASSERT_TRUE(visible);
  ASSERT_EQ(visible->size(), 1u);
  EXPECT_EQ(visible->front().name(), "visible");
  EXPECT_EQ(database->userAttributesIncludingInternal(true, &error)->size(), 4u);
}

TEST_F(TLMDatabaseMetadataTest, LifetimeValuePrefixMatchesExactly) {
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltv_USD", TLMValue(std::int64_t{5}), 10), &error));
  ASSERT_TRUE(database->updateUserAttribute(attribute("_ltv_EUR", TLMValue(std::int64_t{6}), 20), &error));
  // "_" is no wildcard and letter case counts.
  raw().exec("INSERT INTO user_attributes (name, set_timestamp, value, origin) VALUES "
             "('xltvxJPY', 30, 1, 'auto'), ('_LTV_GBP', 40, 1, 'auto')");
  auto ltv = database->allLifetimeValueUserAttributes(&error);
  ASSERT_TRUE(ltv) << error.description;
  ASSERT_EQ(ltv->size(), 2u);
  EXPECT_EQ((*ltv)[0].name(), "_ltv_EUR");
  EXPECT_EQ((*ltv)[1].name(), "_ltv_USD");
}

}  // namespace
