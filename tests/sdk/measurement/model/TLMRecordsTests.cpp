#include <gtest/gtest.h>

#include "measurement/model/TLMAppMetadata.h"
#include "measurement/model/TLMAudienceFilters.h"
#include "measurement/model/TLMDailyCounts.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMRecordingMonitor.h"
#include "measurement/model/TLMUserAttribute.h"

namespace {

constexpr std::int32_t kMax = 2147483647;

TEST(EventAggregates, NewRecordDefaultsAndRefusals) {
  TLMScopedRecordingMonitor monitor;
  auto a = TLMEventAggregates::initWithName("_vs", 1, 2, 3, 9.5);
  ASSERT_TRUE(a);
  EXPECT_EQ(a->lastSamplingRate(), 1);
  EXPECT_FALSE(a->lastExemptFromSampling());
  EXPECT_EQ(a->lastBundledTimestamp(), 0);
  EXPECT_EQ(a->lastBundledDay(), 0);
  EXPECT_FALSE(a->lastSampledComplexEventID());
  EXPECT_FALSE(TLMEventAggregates::initWithName("_vs", 0, -1, 0, 0));
  EXPECT_TRUE(monitor->has(17000));
  EXPECT_FALSE(TLMEventAggregates::initWithName("bad name", 0, 0, 0, 0));
  EXPECT_TRUE(monitor->has(13002));
}

TEST(EventAggregates, CountersWrapToZeroWithWarnings) {
  TLMScopedRecordingMonitor monitor;
  auto a = TLMEventAggregates::initWithName("_e", kMax, kMax, kMax, 0);
  a->incrementLifetimeCount();
  EXPECT_EQ(a->lifetimeCount(), 0);
  EXPECT_EQ(a->currentBundleCount(), kMax);
  a->incrementCurrentBundleCount();
  a->incrementCurrentSessionCount();
  EXPECT_EQ(monitor->codes(), (std::vector<std::int64_t>{17001, 17002, 17003}));
  a->incrementLifetimeCount();
  EXPECT_EQ(a->lifetimeCount(), 1);
}

TEST(AppMetadata, IndexRulesAndWrap) {
  TLMScopedRecordingMonitor monitor;
  EXPECT_TRUE(TLMAppMetadata::initWithLastBundleIndex(0, 1, 2));
  EXPECT_FALSE(TLMAppMetadata::initWithLastBundleIndex(-1, 1, 2));
  EXPECT_TRUE(monitor->has(4000));
  auto m = TLMAppMetadata::initWithLastBundleIndex(kMax, 1, 2);
  m->incrementLastBundleIndex();
  EXPECT_EQ(m->lastBundleIndex(), 0);
  EXPECT_TRUE(monitor->has(4001));
  EXPECT_EQ(monitor->first(4001).level, 4);
}

TEST(DailyCounts, RestartOnANewDay) {
  TLMDailyCounts c(1, 5, 5, 5, 5, 5);
  c.incrementCountsForCurrentDay(2, true, true);
  EXPECT_EQ(c, TLMDailyCounts(2, 1, 1, 1, 0, 0));
  c.incrementCountsForCurrentDay(2, false, true);
  EXPECT_EQ(c, TLMDailyCounts(2, 2, 2, 1, 0, 0));
  c.incrementErrorEventsCountForCurrentDay(2);
  EXPECT_EQ(c, TLMDailyCounts(2, 2, 3, 1, 1, 0));
  c.incrementRealtimeCountsForCurrentDay(3);
  EXPECT_EQ(c, TLMDailyCounts(3, 0, 0, 0, 0, 1));
  c.incrementErrorEventsCountForCurrentDay(4);
  EXPECT_EQ(c, TLMDailyCounts(4, 0, 1, 0, 1, 0));
  c.decrementAllEventsCount();
  c.decrementAllEventsCount();
  EXPECT_EQ(c.allEventsCount(), 0);
  c.resetWithNewDay(9);
  EXPECT_EQ(c, TLMDailyCounts(9, 0, 0, 0, 0, 0));
}

TEST(DailyCounts, WrapInsteadOfOverflowing) {
  TLMDailyCounts c(1, kMax, kMax, kMax, kMax, kMax);
  c.incrementCountsForCurrentDay(1, true, true);
  c.incrementErrorEventsCountForCurrentDay(1);
  c.incrementRealtimeCountsForCurrentDay(1);
  EXPECT_LT(c.allEventsCount(), 0);
  EXPECT_LT(c.realtimeCount(), 0);
}

TEST(FilterRecords, KeepTheirOwnCopies) {
  platform::Bytes data{1, 2, 3};
  TLMEventFilter f(1, 2, "_vs", data, true);
  TLMPropertyFilter p(3, 4, "_id", data, false);
  TLMFilterResult r(5, data, std::nullopt);
  data[0] = 9;
  EXPECT_EQ(f.data()[0], 1);
  EXPECT_EQ(p.data()[0], 1);
  EXPECT_EQ((*r.currentResults())[0], 1);
  EXPECT_FALSE(r.previousResults());
  EXPECT_TRUE(f.isSessionScoped());
  TLMEventFilter copy = f;
  EXPECT_EQ(copy.eventName(), "_vs");
}

TEST(UserAttribute, InternalRulesPerName) {
  TLMScopedRecordingMonitor monitor;
  auto id = TLMUserAttribute::initWithOrigin("app", "_id", TLMValue(std::string(200, 'i')), 3);
  ASSERT_TRUE(id);
  EXPECT_FALSE(id->isPublic());
  EXPECT_FALSE(TLMUserAttribute::initWithOrigin("app", "_fot", TLMValue(std::string(37, 'i')), 3));
  auto pub = TLMUserAttribute::initWithOrigin("", "favourite", TLMValue(4), 3);
  ASSERT_TRUE(pub);
  EXPECT_TRUE(pub->isPublic());
  EXPECT_FALSE(TLMUserAttribute::initWithOrigin("app", "bad name", TLMValue(4), 3));
}

}  // namespace
