#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <limits>
#include <map>
#include <random>
#include <set>

#include "DatabaseTestSupport.h"
#include "measurement/model/TLMUtil.h"

using platform::Value;

namespace {

class TLMDatabaseRawEventsTest : public DatabaseTest {
 protected:
  std::int64_t storeMetadata(const std::string& appID) {
    auto metadata = bundle(appID, 0);
    std::int64_t handedBack = 0;
    EXPECT_TRUE(database->insertIfNotExistsRawEventMetadata(*metadata, &error, &handedBack)) << error.description;
    auto bytes = metadata->protoBuffer();
    const std::int64_t fingerprint = tlm_64LSBMD5(platform::Bytes(bytes->begin(), bytes->end()));
    // New or already stored, the caller gets the row's fingerprint.
    EXPECT_EQ(handedBack, fingerprint);
    return fingerprint;
  }
};

TEST_F(TLMDatabaseRawEventsTest, IdenticalMetadataSharesOneRowUnderItsFingerprint) {
  std::int64_t first = storeMetadata("1:1:ios:a");
  EXPECT_EQ(storeMetadata("1:1:ios:a"), first);
  std::int64_t second = storeMetadata("1:1:ios:b");
  EXPECT_NE(second, first);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsMetadataTable, &error), 2);
  auto read = database->queryRawEventsMetadataWithFingerprint(first, &error);
  ASSERT_TRUE(read);
  EXPECT_EQ(NANOGetString(*read, TLMPBMeasurementBundleSlot::app_id), "1:1:ios:a");
  EXPECT_FALSE(database->queryRawEventsMetadataWithFingerprint(12345, &error));
}

TEST_F(TLMDatabaseRawEventsTest, RawEventsRoundTripWithNameStoredOnce) {
  std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  auto original = TLMEvent::initWithOrigin(
      "auto", false, "_e", 1700000000.25, 1699999999.5,
      {{"text", TLMObject(TLMValue("hello"))},
       {"count", TLMObject(TLMValue(std::int64_t{42}))},
       {"ratio", TLMObject(TLMValue(0.5))}});
  ASSERT_TRUE(original);
  ASSERT_TRUE(database->insertRawEvent(original, fingerprint, true, &error)) << error.description;
  ASSERT_TRUE(database->insertRawEvent(event("level_up", 1700000001), fingerprint, false, &error));

  // The message in the row carries no name.
  auto blob = store().recordsForQuery("SELECT data FROM raw_events ORDER BY rowid LIMIT 1", {}, &error);
  const platform::Bytes& data = *(*blob)[0].get("data").dataPtr();
  auto stored = TLMPBEvent::initWithBuffer(data.data(), data.size());
  ASSERT_TRUE(stored);
  EXPECT_FALSE(NANOHasField(*stored, TLMPBEventSlot::name));

  auto events = database->rawEventsWithMetadataFingerprint(fingerprint, &error, {});
  ASSERT_TRUE(events) << error.description;
  ASSERT_EQ(events->size(), 2u);
  const TLMEventPtr& read = (*events)[0].rawEvent();
  EXPECT_EQ((*events)[0].metadataFingerprint(), fingerprint);
  EXPECT_EQ((*events)[0].rowID(), 1);
  EXPECT_EQ(read->name(), "_e");
  EXPECT_EQ(read->origin(), "auto");
  EXPECT_DOUBLE_EQ(read->timestamp(), 1700000000.25);
  EXPECT_DOUBLE_EQ(read->previousTimestamp(), 1699999999.5);
  ASSERT_TRUE(read->parameters().find("text"));
  EXPECT_EQ(*read->parameters().find("text"), TLMValue("hello"));
  EXPECT_EQ(*read->parameters().find("count"), TLMValue(std::int64_t{42}));
  EXPECT_EQ(*read->parameters().find("ratio"), TLMValue(0.5));

  EXPECT_EQ(database->containsRealtimeRawEventsWithError(&error), true);
  EXPECT_EQ(database->nextMetadataFingerprintToProcess(&error), fingerprint);
  EXPECT_DOUBLE_EQ(*database->queryLatestRawEventTime(&error), 1700000001);
  EXPECT_EQ(database->containsRawEventWithMetadataFingerprint(fingerprint, &error), true);

  // The caller's filter decides how many rows are read.
  auto one = database->rawEventsWithMetadataFingerprint(
      fingerprint, &error, [](size_t kept, const TLMRecord&) { return kept < 1; });
  EXPECT_EQ(one->size(), 1u);

  ASSERT_TRUE(database->deleteRawEventsWithMaxRowID((*events)[1].rowID(), &error));
  EXPECT_EQ(database->isRawEventsTableEmpty(&error), true);
  platform::Error none;
  EXPECT_FALSE(database->nextMetadataFingerprintToProcess(&none));
  EXPECT_TRUE(none.domain.empty());
  EXPECT_FALSE(database->queryLatestRawEventTime(&none));
  EXPECT_TRUE(none.domain.empty());
  ASSERT_TRUE(database->deleteUnusedRawEventsMetadata(&error));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsMetadataTable, &error), 0);
}

// Raw event times travel in the message as whole milliseconds, truncated toward zero; a previous
// time that is not above zero is not written at all.
TEST_F(TLMDatabaseRawEventsTest, MessageTimesAreTruncatedToWholeMilliseconds) {
  std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  auto later = TLMEvent::initWithOrigin("app", false, "_e", 1700000000.9999, 1699999999.1239, {});
  auto negative = TLMEvent::initWithOrigin("app", false, "_e", 1700000001, -2.5, {});
  ASSERT_TRUE(database->insertRawEvent(later, fingerprint, false, &error)) << error.description;
  ASSERT_TRUE(database->insertRawEvent(negative, fingerprint, false, &error)) << error.description;

  auto blobs = store().recordsForQuery("SELECT data FROM raw_events ORDER BY rowid", {}, &error);
  ASSERT_TRUE(blobs);
  ASSERT_EQ(blobs->size(), 2u);
  std::vector<std::shared_ptr<TLMPBEvent>> stored;
  for (const auto& row : *blobs) {
    const platform::Bytes& data = *row.get("data").dataPtr();
    stored.push_back(TLMPBEvent::initWithBuffer(data.data(), data.size()));
    ASSERT_TRUE(stored.back());
  }
  EXPECT_EQ(NANOGetInt64(*stored[0], TLMPBEventSlot::timestamp_millis), 1700000000999);
  EXPECT_EQ(NANOGetInt64(*stored[0], TLMPBEventSlot::previous_timestamp_millis), 1699999999123);
  EXPECT_FALSE(NANOHasField(*stored[1], TLMPBEventSlot::previous_timestamp_millis));

  auto events = database->rawEventsWithMetadataFingerprint(fingerprint, &error, {});
  ASSERT_TRUE(events) << error.description;
  ASSERT_EQ(events->size(), 2u);
  // The time itself comes from its column at full precision.
  EXPECT_DOUBLE_EQ((*events)[0].rawEvent()->timestamp(), 1700000000.9999);
  EXPECT_DOUBLE_EQ((*events)[0].rawEvent()->previousTimestamp(), 1699999999.123);
  EXPECT_EQ((*events)[1].rawEvent()->previousTimestamp(), 0);
}

TEST_F(TLMDatabaseRawEventsTest, RowWithoutStringOriginCannotBeReadBack) {
  auto write = [this](const TLMPBEvent& proto) {
    auto bytes = proto.protoBuffer();
    ASSERT_TRUE(store().upsertRecord({{"rowid", Value(1)},
                                      {"name", Value("x")},
                                      {"timestamp", Value(1.0)},
                                      {"metadata_fingerprint", Value(7)},
                                      {"data", Value(platform::Bytes(bytes->begin(), bytes->end()))}},
                                     kTLMRawEventsTable, &error));
  };
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  write(*proto);
  auto rows = store().recordsForQuery("SELECT rowid, * FROM raw_events", {}, &error);
  EXPECT_FALSE(database->rawEventDataFromDictionary((*rows)[0], &error));
  EXPECT_EQ(error.description, "Cannot create an event from database. Missing origin parameter");
  EXPECT_FALSE(database->rawEventsWithMetadataFingerprint(7, &error, {}));

  auto origin = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetString(*origin, TLMPBEventParamSlot::name, "_o");
  NANOSetInt64(*origin, TLMPBEventParamSlot::int_value, 4);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {origin});
  write(*proto);
  rows = store().recordsForQuery("SELECT rowid, * FROM raw_events", {}, &error);
  ASSERT_EQ(rows->size(), 1u);
  EXPECT_FALSE(database->rawEventDataFromDictionary((*rows)[0], &error));
  EXPECT_EQ(error.description,
            "Cannot create an event from database. Origin parameter is not a string");
}

// A parameter without a name or without a string, integer or double value is left out of the
// event read back; it must not turn into a parameter of its own (nor into error parameters).
TEST_F(TLMDatabaseRawEventsTest, RowParametersWithoutNameOrKnownKindAreLeftOut) {
  auto param = [](const std::string& name) {
    auto p = TLMPBEventParam::initWithMessageInfo(nullptr);
    NANOSetString(*p, TLMPBEventParamSlot::name, name);
    return p;
  };
  auto origin = param("_o");
  NANOSetString(*origin, TLMPBEventParamSlot::string_value, "auto");
  auto unnamed = TLMPBEventParam::initWithMessageInfo(nullptr);
  NANOSetInt64(*unnamed, TLMPBEventParamSlot::int_value, 1);
  auto floatOnly = param("f");
  NANOSetFloat(*floatOnly, TLMPBEventParamSlot::float_value, 1.5f);
  auto text = param("s");
  NANOSetString(*text, TLMPBEventParamSlot::string_value, "x");
  auto proto = TLMPBEvent::initWithMessageInfo(nullptr);
  NANOSetArray<TLMPBEventParam>(*proto, TLMPBEventSlot::params, {origin, unnamed, floatOnly, text});
  auto bytes = proto->protoBuffer();
  ASSERT_TRUE(store().upsertRecord({{"name", Value("_e")},
                                    {"timestamp", Value(1700000000.5)},
                                    {"metadata_fingerprint", Value(7)},
                                    {"data", Value(platform::Bytes(bytes->begin(), bytes->end()))}},
                                   kTLMRawEventsTable, &error));

  auto events = database->rawEventsWithMetadataFingerprint(7, &error, {});
  ASSERT_TRUE(events) << error.description;
  ASSERT_EQ(events->size(), 1u);
  const TLMEventPtr& read = (*events)[0].rawEvent();
  EXPECT_EQ(read->origin(), "auto");
  EXPECT_EQ(read->parameters(), TLMParameters({{"_o", TLMValue("auto")}, {"s", TLMValue("x")}}));
  EXPECT_TRUE(monitor.contains(12015));
}

TEST_F(TLMDatabaseRawEventsTest, OneReadTakesTheOldestThousandEventsOfItsMetadata) {
  const std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  const std::int64_t other = storeMetadata("1:1:ios:b");
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 1002; ++i) {
      // Every third event belongs to other metadata and must not take a place in the read.
      if (i % 3 == 1 && !database->insertRawEvent(event("o", 1700000000 + i), other, false, &error)) {
        return false;
      }
      if (!database->insertRawEvent(event("e" + std::to_string(i), 1700000000 + i), fingerprint, false,
                                    &error)) {
        return false;
      }
    }
    return true;
  }));
  auto events = database->rawEventsWithMetadataFingerprint(fingerprint, &error, {});
  ASSERT_TRUE(events) << error.description;
  ASSERT_EQ(events->size(), 1000u);
  EXPECT_EQ(events->front().rawEvent()->name(), "e0");
  EXPECT_EQ(events->back().rawEvent()->name(), "e999");
  ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(events->back().rowID(), &error));
  auto rest = database->rawEventsWithMetadataFingerprint(fingerprint, &error, {});
  ASSERT_EQ(rest->size(), 2u);
  EXPECT_EQ(rest->front().rawEvent()->name(), "e1000");
}

TEST_F(TLMDatabaseRawEventsTest, CapKeepsNewestEventsAndDropsOrphanedMetadata) {
  settings->maxEventsStoredValue = 1000;
  std::int64_t oldMetadata = storeMetadata("1:1:ios:old");
  std::int64_t newMetadata = storeMetadata("1:1:ios:new");
  ASSERT_TRUE(database->performTransaction([&] {
    for (int i = 0; i < 1200; ++i) {
      if (!database->insertRawEvent(event("e", 1700000000 + i), i < 150 ? oldMetadata : newMetadata,
                                    false, &error)) {
        return false;
      }
    }
    return true;
  }));
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 201);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsTable, &error), 999);
  EXPECT_EQ(store().numberForQuery("SELECT MIN(rowid) FROM raw_events", {}, &error)->int64Value(), 202);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsMetadataTable, &error), 1);
  EXPECT_FALSE(database->queryRawEventsMetadataWithFingerprint(oldMetadata, &error));
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);
}

// The cap counts rows, not rowids: rows missing from the middle leave older rows to keep.
TEST_F(TLMDatabaseRawEventsTest, CapCountsTheRowsThatAreThereWhenRowidsHaveGaps) {
  settings->maxEventsStoredValue = 5;
  const std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  for (int i = 1; i <= 10; ++i) {
    ASSERT_TRUE(database->insertRawEvent(event("e" + std::to_string(i), 1700000000 + i), fingerprint,
                                         false, &error));
  }
  raw().exec("DELETE FROM raw_events WHERE rowid IN (7, 8)");
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 4);
  EXPECT_EQ(raw().column("SELECT rowid FROM raw_events ORDER BY rowid"),
            (std::vector<std::string>{"5", "6", "9", "10"}));
  // Four rows spread over six rowids: nothing more to delete, and none with no rows at all.
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);
  raw().exec("DELETE FROM raw_events");
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);
  // A cap of one keeps nothing for the event to come.
  settings->maxEventsStoredValue = 1;
  ASSERT_TRUE(database->insertRawEvent(event("last", 1700000100), fingerprint, false, &error));
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsTable, &error), 0);
}

// The cap at the ends of what the server may set (0 to 1,000,000), with and without rowid gaps:
// each store step leaves the newest cap - 1 older events (none for 0 or 1) beside the new one.
TEST_F(TLMDatabaseRawEventsTest, CapAtZeroOneAndTheMaximumWithAndWithoutGaps) {
  const std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  int named = 0;
  const auto storeStep = [&] {
    std::optional<std::int64_t> over;
    EXPECT_TRUE(database->performTransaction([&] {
      return (over = database->deleteRawEventsOverAbsoluteLimit(&error)) &&
             database->insertRawEvent(event("e" + std::to_string(++named), 1700000000), fingerprint, false, &error);
    })) << error.description;
    return over.value_or(-1);
  };
  for (const std::int64_t cap : {0, 1}) {
    SCOPED_TRACE(cap);
    settings->maxEventsStoredValue = cap;
    raw().exec("DELETE FROM raw_events");
    for (int i = 0; i < 3; ++i) ASSERT_TRUE(database->insertRawEvent(event("old", 1700000000), fingerprint, false, &error));
    EXPECT_EQ(storeStep(), 3);
    for (const bool gap : {false, true}) {
      for (int step = 0; step < 5; ++step) {
        if (gap) {
          // Two more rows, the older of them taken out: the rowids have a gap.
          ASSERT_TRUE(database->insertRawEvent(event("gap", 1700000000), fingerprint, false, &error));
          ASSERT_TRUE(database->insertRawEvent(event("late", 1700000000), fingerprint, false, &error));
          raw().exec("DELETE FROM raw_events WHERE name = 'gap'");
        }
        EXPECT_EQ(storeStep(), gap ? 2 : 1) << step;
        EXPECT_EQ(raw().column("SELECT name FROM raw_events"), (std::vector<std::string>{"e" + std::to_string(named)}));
      }
    }
  }
  // The maximum: a million events fit, the next step deletes the oldest; with a gap, as many as
  // are over.
  settings->maxEventsStoredValue = 1000000;
  raw().exec("DELETE FROM raw_events; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 999999) "
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) SELECT 'm', 1, " +
             std::to_string(fingerprint) + ", x'00' FROM n");
  EXPECT_EQ(storeStep(), 0);
  const std::string oldest = raw().scalar("SELECT min(rowid) FROM raw_events");
  EXPECT_EQ(storeStep(), 1);
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events"), "1000000");
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events WHERE rowid <= " + oldest), "0");
  raw().exec("DELETE FROM raw_events WHERE rowid = (SELECT min(rowid) + 10 FROM raw_events)");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(database->insertRawEvent(event("x", 1700000000), fingerprint, false, &error));
  EXPECT_EQ(storeStep(), 3);
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events"), "1000000");
}

// Another connection's writes are checked once per transaction (none can write inside an
// exclusive one), and at every call outside one; a write between two transactions is seen.
TEST_F(TLMDatabaseRawEventsTest, OtherConnectionsWritesAreCheckedOncePerTransaction) {
  int checks = 0;
  sqlite3_trace_v2(
      store().sqliteHandle(), SQLITE_TRACE_STMT,
      [](unsigned, void* context, void*, void* sql) {
        if (std::string(static_cast<const char*>(sql)).find("data_version") != std::string::npos) {
          ++*static_cast<int*>(context);
        }
        return 0;
      },
      &checks);
  settings->maxEventsStoredValue = 3;
  settings->maxRawEventsMetadataStoredValue = 2;
  int named = 0;
  // The engine's store step, each with a new metadata row: room made, the cap, the event.
  const auto storeStep = [&] {
    const std::string name = std::to_string(++named);
    std::int64_t fingerprint = 0;
    return database->insertIfNotExistsRawEventMetadata(*bundle("1:1:ios:" + name, 0), &error, &fingerprint) &&
           database->deleteRawEventsOverAbsoluteLimit(&error).has_value() &&
           database->insertRawEvent(event("e" + name, 1700000000), fingerprint, false, &error);
  };
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(database->performTransaction(storeStep)) << error.description;
  EXPECT_EQ(checks, 4);
  ASSERT_TRUE(database->beginTransactionGroup());
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(database->performTransaction(storeStep));
  ASSERT_TRUE(database->endTransactionGroup());
  EXPECT_EQ(checks, 5);
  // A rolled-back step checks again in the next.
  EXPECT_FALSE(database->performTransaction([&] { return storeStep() && false; }));
  EXPECT_EQ(checks, 6);
  checks = 0;
  ASSERT_TRUE(storeStep());
  EXPECT_GE(checks, 3);
  // Another connection empties the tables between two transactions.
  raw().exec("DELETE FROM raw_events; DELETE FROM raw_events_metadata");
  for (int i = 0; i < 3; ++i) ASSERT_TRUE(database->performTransaction(storeStep)) << error.description;
  EXPECT_EQ(raw().column("SELECT name FROM raw_events ORDER BY rowid"), (std::vector<std::string>{"e11", "e12"}));
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events_metadata"), "2");
  sqlite3_trace_v2(store().sqliteHandle(), 0, nullptr, nullptr);
}

// The event pipeline stores the metadata, applies the cap, then inserts the event: the cap must
// not take away the metadata row of the event that follows, nor rows it did not orphan.
TEST_F(TLMDatabaseRawEventsTest, CapKeepsTheMetadataOfTheEventAboutToBeStored) {
  settings->maxEventsStoredValue = 3;
  std::int64_t old = storeMetadata("1:1:ios:old");
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(database->insertRawEvent(event("e", 1700000000 + i), old, false, &error));
  }
  std::int64_t unused = storeMetadata("1:1:ios:unused");
  std::int64_t next = storeMetadata("1:1:ios:next");
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_TRUE(database->queryRawEventsMetadataWithFingerprint(next, &error));
  EXPECT_TRUE(database->queryRawEventsMetadataWithFingerprint(unused, &error));
  EXPECT_TRUE(database->queryRawEventsMetadataWithFingerprint(old, &error));
  ASSERT_TRUE(database->insertRawEvent(event("e", 1700000010), next, false, &error));

  // A cap that keeps nothing: the old events' metadata goes, the next event's stays even though
  // its own earlier event went too.
  settings->maxEventsStoredValue = 1;
  EXPECT_EQ(storeMetadata("1:1:ios:next"), next);
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 3);
  EXPECT_FALSE(database->queryRawEventsMetadataWithFingerprint(old, &error));
  EXPECT_TRUE(database->queryRawEventsMetadataWithFingerprint(unused, &error));
  ASSERT_TRUE(database->insertRawEvent(event("e", 1700000011), next, false, &error));
  EXPECT_EQ(database->nextMetadataFingerprintToProcess(&error), next);
  EXPECT_TRUE(database->queryRawEventsMetadataWithFingerprint(next, &error));
}

TEST_F(TLMDatabaseRawEventsTest, StaleRawEventsGoInBothDirectionsOfTime) {
  std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  const double now = clock->now();
  for (double t : {now - 200, now - 50, now + 50, now + 200}) {
    ASSERT_TRUE(database->insertRawEvent(event("e", t), fingerprint, false, &error));
  }
  EXPECT_FALSE(database->deleteStaleRawEventsDataOlderThanMaxAge(-1, &error));
  EXPECT_EQ(error.description, "Cannot delete stale raw events given negative time period");
  ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(100, &error));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsTable, &error), 2);
  ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(10, &error));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsMetadataTable, &error), 0);
}

TEST_F(TLMDatabaseRawEventsTest, BundlesAreCheckedCompressedAndStoredEvenWhenOutOfSpan) {
  EXPECT_FALSE(database->insertBundle(*bundle("", 1700000000000), false, &error));
  EXPECT_EQ(error.description, "Failed to insert bundle without App ID");
  EXPECT_FALSE(database->insertBundle(*bundle("1:1:ios:a", 0), false, &error));
  EXPECT_EQ(error.description, "Failed to insert bundle without valid timestamp");
  EXPECT_FALSE(database->insertBundle(*TLMPBMeasurementBundle::initWithMessageInfo(nullptr), false, &error));
  EXPECT_EQ(error.description, "Failed to insert nil bundle");

  settings->maxQueueTimeValue = 86400;
  auto ahead = bundle("1:1:ios:a", static_cast<std::int64_t>((clock->now() + 2 * 86400) * 1000));
  ASSERT_TRUE(database->insertBundle(*ahead, true, &error)) << error.description;
  EXPECT_TRUE(monitor.contains(12016));
  EXPECT_TRUE(monitor.contains(12018));
  auto row = store().recordsForQuery("SELECT * FROM queue", {}, &error);
  const platform::Bytes& data = *(*row)[0].get("data").dataPtr();
  ASSERT_GE(data.size(), 2u);
  EXPECT_EQ(data[0], 0x1f);
  EXPECT_EQ(data[1], 0x8b);
  EXPECT_DOUBLE_EQ(*(*row)[0].get("bundle_end_timestamp").doubleValue(), clock->now() + 2 * 86400);
  EXPECT_EQ(database->containsRealtimeBundlesWithError(&error), true);
  EXPECT_EQ(database->isQueuedBundleTableEmpty(&error), false);
  EXPECT_DOUBLE_EQ(*database->queryLatestBundleTime(&error), clock->now() + 2 * 86400);
}

TEST_F(TLMDatabaseRawEventsTest, SelectionTakesOldestFirstUntilTheSizeLimit) {
  const std::int64_t t = static_cast<std::int64_t>(clock->now() * 1000);
  auto fill = [&](std::vector<std::size_t> sizes) {
    ASSERT_TRUE(store().deleteAllRecordsFromTableWithName(kTLMQueueTable, &error));
    // Inserted newest first: the order must come from the end times.
    for (std::size_t i = sizes.size(); i-- > 0;) {
      ASSERT_TRUE(database->insertBundle(*bundleOfSize(sizes[i], t + static_cast<std::int64_t>(i)),
                                         false, &error));
    }
  };
  auto sizesOf = [&](std::int64_t count, std::int64_t limit) {
    std::vector<std::size_t> sizes;
    auto pairs = database->queryBundlesWithCountLimit(count, limit, &error);
    for (const auto& pair : *pairs) {
      sizes.push_back(pair.first->protoBuffer()->size());
    }
    return sizes;
  };
  fill({150, 40, 30});
  EXPECT_EQ(sizesOf(10, 100), std::vector<std::size_t>{150});
  fill({60, 50, 30});
  EXPECT_EQ(sizesOf(10, 100), std::vector<std::size_t>{60});
  fill({30, 40, 30, 25});
  EXPECT_EQ(sizesOf(10, 100), (std::vector<std::size_t>{30, 40, 30}));
  EXPECT_EQ(sizesOf(2, 1000), (std::vector<std::size_t>{30, 40}));
  ASSERT_TRUE(store().deleteAllRecordsFromTableWithName(kTLMQueueTable, &error));
  EXPECT_TRUE(database->queryBundlesWithCountLimit(10, 100, &error)->empty());
}

TEST_F(TLMDatabaseRawEventsTest, UnreadableQueueRowsAreDeletedWhenFound) {
  const std::int64_t t = static_cast<std::int64_t>(clock->now() * 1000);
  settings->lastDeleteStale = clock->now();
  ASSERT_TRUE(store().upsertRecord({{"data", Value(platform::Bytes{1, 2, 3})},
                                    {"bundle_end_timestamp", Value(1.0)},
                                    {"retry_count", Value(0)}},
                                   kTLMQueueTable, &error));
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", t), false, &error));
  auto pairs = database->queryBundlesWithCountLimit(10, 100000, &error);
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 1u);
  EXPECT_EQ(pairs->front().second, 2);
  EXPECT_TRUE(monitor.contains(12050));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMQueueTable, &error), 1);

  auto byID = database->queryBundlesWithRowIDs({2}, &error);
  ASSERT_EQ(byID->size(), 1u);
  EXPECT_FALSE(database->queryBundlesWithRowIDs({}, &error));
  EXPECT_EQ(error.description, "Received empty row IDs to process");
  ASSERT_TRUE(database->deleteBundlesWithRowIDs({2}, &error));
  EXPECT_EQ(database->isQueuedBundleTableEmpty(&error), true);
}

// A hold on a queued bundle is judged by its process only in the PID namespace it was taken in:
// elsewhere its number may name no process, or another one, while its holder runs.
TEST_F(TLMDatabaseRawEventsTest, AHoldIsJudgedByItsProcessOnlyInTheNamespaceItWasTakenIn) {
  const std::int64_t here = TLMProcessPidNamespace();
  if (here == 0) GTEST_SKIP() << "no /proc/self/ns/pid to read";
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", static_cast<std::int64_t>(clock->now() * 1000)), false,
                                     &error));
  const std::vector<std::int64_t> row{std::stoll(raw().scalar("SELECT rowid FROM queue"))};
  const pid_t ended = ::fork();
  if (ended == 0) _exit(0);
  ASSERT_GT(ended, 0);
  ASSERT_EQ(::waitpid(ended, nullptr, 0), ended);
  const std::int64_t self = ::getpid();
  auto hold = [&](std::int64_t process, std::int64_t space, double until) {
    ASSERT_TRUE(database->claimBundlesWithRowIDs(row, process, until, &error, space)) << error.description;
  };
  auto sendable = [&](std::int64_t readerSpace) {
    auto pairs = database->queryUnclaimedBundlesWithCountLimit(10, 1 << 20, self, 60, &error, readerSpace);
    EXPECT_TRUE(pairs) << error.description;
    return pairs && pairs->size() == 1;
  };
  const double later = clock->now() + 30;
  // Here: a process that ended holds nothing, a live one holds, this process's hold is its own.
  hold(ended, here, later);
  EXPECT_TRUE(sendable(here));
  hold(1, here, later);
  EXPECT_FALSE(sendable(here));
  hold(self, here, later);
  EXPECT_TRUE(sendable(here));
  // Taken in another namespace: held until its end, whatever its number names here.
  for (std::int64_t process : {std::int64_t{ended}, self, std::int64_t{1}}) {
    hold(process, here + 1, later);
    EXPECT_FALSE(sendable(here)) << process;
  }
  // A namespace not known, the holder's (a build that did not record it) or the reader's (no
  // /proc), judges no process either.
  hold(ended, 0, later);
  EXPECT_FALSE(sendable(here));
  hold(ended, here, later);
  EXPECT_FALSE(sendable(0));
  // The end frees it, and so does an end further ahead than the bound (a clock set back).
  hold(ended, here + 1, clock->now());
  EXPECT_TRUE(sendable(here));
  hold(ended, here + 1, clock->now() + 61);
  EXPECT_TRUE(sendable(here));
  ASSERT_TRUE(database->releaseBundlesWithRowIDs(row, &error));
  EXPECT_EQ(raw().scalar("SELECT claimed_by || ',' || claimed_in FROM queue"), "0,0");
}

// A process in a PID namespace of its own, where the test process's id names no process, leaves
// the bundle this process holds, and sends the other; what it holds in turn is marked with its
// namespace, so that no process outside takes its number for one of its own.
TEST_F(TLMDatabaseRawEventsTest, AProcessInAPidNamespaceOfItsOwnLeavesWhatAProcessOutsideHolds) {
  const std::int64_t t = static_cast<std::int64_t>(clock->now() * 1000);
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", t), false, &error));
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", t + 1), false, &error));
  const auto rows = raw().column("SELECT rowid FROM queue ORDER BY bundle_end_timestamp");
  ASSERT_EQ(rows.size(), 2u);
  const std::int64_t held = std::stoll(rows[0]);
  const std::int64_t open = std::stoll(rows[1]);
  const pid_t self = ::getpid();
  ASSERT_TRUE(database->claimBundlesWithRowIDs({held}, self, clock->now() + 60, &error));
  // The child opens its own connection: none crosses the fork.
  database.reset();
  const std::string path = dir.file(kTLMDatabaseFileName);
  const pid_t child = ::fork();
  if (child == 0) {
    if (::unshare(CLONE_NEWPID) != 0) _exit(77);
    const pid_t inner = ::fork();
    if (inner == 0) {
      if (::kill(self, 0) == 0) _exit(5);  // the test process is seen from here: no new namespace
      auto inside = TLMDatabase::initWithDatabasePath(path, settings, nullptr);
      if (!inside) _exit(2);
      auto pairs = inside->queryUnclaimedBundlesWithCountLimit(10, 1 << 20, ::getpid(), 60, nullptr);
      if (!pairs) _exit(2);
      if (pairs->size() != 1 || pairs->front().second != open) _exit(1);
      _exit(inside->claimBundlesWithRowIDs({open}, ::getpid(), clock->now() + 60, nullptr) ? 0 : 2);
    }
    int status = 0;
    if (inner < 0 || ::waitpid(inner, &status, 0) != inner) _exit(4);
    _exit(WIFEXITED(status) ? WEXITSTATUS(status) : 4);
  }
  ASSERT_GT(child, 0);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status)) << status;
  if (WEXITSTATUS(status) == 77) GTEST_SKIP() << "unshare(CLONE_NEWPID) is not permitted here (it needs root)";
  ASSERT_EQ(WEXITSTATUS(status), 0) << "1: the process inside took the bundle a live process outside holds";
  database = TLMDatabase::initWithDatabasePath(path, settings, &monitor);
  ASSERT_TRUE(database);
  const auto marks = raw().column("SELECT claimed_by || ',' || (claimed_in NOT IN (0, " +
                                  std::to_string(TLMProcessPidNamespace()) + ")) FROM queue WHERE rowid = " +
                                  std::to_string(open));
  EXPECT_EQ(marks, std::vector<std::string>{"1,1"});  // held by process 1 of the other namespace
  // Outside, process 1 runs too, yet that hold is judged by its end only (its process has ended);
  // this process's own hold is its own.
  auto pairs = database->queryUnclaimedBundlesWithCountLimit(10, 1 << 20, self, 60, &error);
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 1u);
  EXPECT_EQ(pairs->front().second, held);
  clock->advance(60);
  pairs = database->queryUnclaimedBundlesWithCountLimit(10, 1 << 20, self, 60, &error);
  ASSERT_TRUE(pairs);
  EXPECT_EQ(pairs->size(), 2u);
}

TEST_F(TLMDatabaseRawEventsTest, RetryCountsTravelInTheBundleAndNeverOverflow) {
  const std::int64_t t = static_cast<std::int64_t>(clock->now() * 1000);
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", t), false, &error));
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:b", t + 1), false, &error));
  ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({1, 2}, &error)) << error.description;
  ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({1}, &error));
  auto pairs = database->queryBundlesWithRowIDs({1, 2}, &error);
  ASSERT_EQ(pairs->size(), 2u);
  std::map<std::int64_t, std::int32_t> retries;
  for (const auto& [b, rowID] : *pairs) retries[rowID] = NANOGetInt32(*b, TLMPBMeasurementBundleSlot::retry_count);
  EXPECT_EQ(retries[1], 2);
  EXPECT_EQ(retries[2], 1);

  const std::int32_t max = std::numeric_limits<std::int32_t>::max();
  raw().exec("UPDATE queue SET retry_count = " + std::to_string(max) + " WHERE rowid = 1");
  raw().exec("UPDATE queue SET retry_count = NULL WHERE rowid = 2");
  ASSERT_TRUE(database->incrementRetryCounterForBundlesWithIDs({1, 2}, &error));
  EXPECT_TRUE(monitor.contains(12054));
  EXPECT_EQ(raw().column("SELECT retry_count FROM queue ORDER BY rowid"),
            (std::vector<std::string>{std::to_string(max), "1"}));
  EXPECT_FALSE(database->incrementRetryCounterForBundlesWithIDs({}, &error));
  EXPECT_EQ(error.description, "Failed to increment retry counter");
}

TEST_F(TLMDatabaseRawEventsTest, StaleDataIsDeletedOncePerInterval) {
  settings->maxQueueTimeValue = 1000;
  settings->staleIntervalValue = 3600;
  settings->lastDeleteStale = clock->now();
  std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  ASSERT_TRUE(database->insertRawEvent(event("e", clock->now() - 5000), fingerprint, false, &error));
  ASSERT_TRUE(store().upsertRecord({{"data", Value(platform::Bytes{1})},
                                    {"bundle_end_timestamp", Value(clock->now() - 5000)}},
                                   kTLMQueueTable, &error));
  EXPECT_EQ(database->maybeDeleteStaleData(&error), false);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMQueueTable, &error), 1);
  clock->advance(3601);
  EXPECT_EQ(database->maybeDeleteStaleData(&error), true);
  EXPECT_EQ(settings->lastDeleteStale, clock->now());
  EXPECT_EQ(store().rowCountForTableWithName(kTLMQueueTable, &error), 0);
  EXPECT_EQ(database->isRawEventsTableEmpty(&error), true);
  EXPECT_EQ(store().rowCountForTableWithName(kTLMRawEventsMetadataTable, &error), 0);
}

}  // namespace

namespace {

// Event number `i` of the crash test: every parameter derives from i.
TLMEventPtr crashEvent(int i) {
  std::string text(36, static_cast<char>('a' + i % 26));
  return TLMEvent::initWithOrigin("app", false, "crash_" + std::to_string(i % 5), 1700000000.0 + i, 0,
                                  {{"index", TLMObject(TLMValue(std::int64_t{i}))},
                                   {"text", TLMObject(TLMValue(text))},
                                   {"half", TLMObject(TLMValue(i / 2.0))}});
}

TEST(TLMDatabaseCrashTest, KilledWriterLosesNoCommittedEventAndLeavesNoPartialOne) {
  TempDirectory dir;
  const std::string path = dir.file(kTLMDatabaseFileName);
  auto settings = std::make_shared<TLMStoreDefaultSettings>();
  ASSERT_TRUE(TLMDatabase::initWithDatabasePath(path, settings, nullptr));
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    ::close(pipeFds[0]);
    auto database = TLMDatabase::initWithDatabasePath(path, settings, nullptr);
    if (!database) ::_exit(2);
    for (int i = 0;; ++i) {
      bool ok = database->performTransaction([&] {
        auto metadata = TLMPBMeasurementBundle::initWithMessageInfo(nullptr);
        NANOSetString(*metadata, TLMPBMeasurementBundleSlot::app_id, "1:1:ios:" + std::to_string(i % 3));
        auto bytes = metadata->protoBuffer();
        std::int64_t fingerprint = tlm_64LSBMD5(platform::Bytes(bytes->begin(), bytes->end()));
        return database->insertIfNotExistsRawEventMetadata(*metadata, nullptr) &&
               database->insertRawEvent(crashEvent(i), fingerprint, i % 2 == 0, nullptr);
      });
      if (!ok) ::_exit(3);
      // Reported only once the commit returned.
      if (::write(pipeFds[1], &i, sizeof i) != sizeof i) ::_exit(4);
    }
  }
  ::close(pipeFds[1]);
  int lastCommitted = -1;
  int value;
  while (lastCommitted < 200 && ::read(pipeFds[0], &value, sizeof value) == sizeof value) {
    lastCommitted = value;
  }
  ::kill(child, SIGKILL);
  int status = 0;
  ::waitpid(child, &status, 0);
  while (::read(pipeFds[0], &value, sizeof value) == sizeof value) lastCommitted = value;
  ::close(pipeFds[0]);
  ASSERT_TRUE(WIFSIGNALED(status)) << "writer stopped early with " << WEXITSTATUS(status)
                                   << " (2: its store did not open, 3: a transaction failed)"
                                   << testsupport::freeSpace(dir.path());
  ASSERT_GE(lastCommitted, 200);

  TLMStoreRecordingMonitor monitor;
  auto database = TLMDatabase::initWithDatabasePath(path, settings, &monitor);
  ASSERT_TRUE(database);
  EXPECT_FALSE(monitor.contains(34001));
  platform::Error error;
  EXPECT_TRUE(database->sqliteStore()->validateDatabaseWithError(&error));
  auto rows = database->sqliteStore()->recordsForQuery(
      "SELECT rowid, * FROM raw_events ORDER BY rowid", {}, &error);
  ASSERT_TRUE(rows);
  // Every reported commit is there; at most the one in flight at the kill came through unreported.
  ASSERT_GE(static_cast<int>(rows->size()), lastCommitted + 1);
  ASSERT_LE(static_cast<int>(rows->size()), lastCommitted + 2);
  for (std::size_t i = 0; i < rows->size(); ++i) {
    auto data = database->rawEventDataFromDictionary((*rows)[i], &error);
    ASSERT_TRUE(data) << i << ": " << error.description;
    TLMEventPtr expected = crashEvent(static_cast<int>(i));
    ASSERT_EQ(data->rawEvent()->name(), expected->name());
    ASSERT_EQ(data->rawEvent()->timestamp(), expected->timestamp());
    ASSERT_EQ(data->rawEvent()->parameters(), expected->parameters()) << i;
    ASSERT_TRUE(database->queryRawEventsMetadataWithFingerprint(data->metadataFingerprint(), &error));
  }
}

}  // namespace

namespace {

TEST_F(TLMDatabaseRawEventsTest, TheRowSizeIsTheSizeOfTheEventItHolds) {
  std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  const std::vector<TLMEventPtr> events = {
      TLMEvent::initWithOrigin("auto", false, "_e", 1700000000.25, 1699999999.5,
                               {{"text", TLMObject(TLMValue("hello"))},
                                {"count", TLMObject(TLMValue(std::int64_t{-42}))},
                                {"ratio", TLMObject(TLMValue(0.5))}}),
      TLMEvent::initWithOrigin("app", true, std::string(40, 'n'), 1700000001.999, 0,
                               {{"long", TLMObject(TLMValue(std::string(300, 'v')))}}),
      event("level_up", 1700000002),
  };
  for (const auto& e : events) ASSERT_TRUE(database->insertRawEvent(e, fingerprint, false, &error));
  auto rows = database->rawEventRowsWithMetadataFingerprint(fingerprint, &error, {});
  ASSERT_TRUE(rows);
  ASSERT_EQ(rows->size(), events.size());
  for (const auto& row : *rows) {
    auto read = database->rawEventDataFromDictionary(row, &error);
    ASSERT_TRUE(read) << error.description;
    EXPECT_EQ(TLMRawEventEncodedSize(row),
              static_cast<std::int64_t>(read->rawEvent()->protoEvent()->protoBuffer()->size()));
  }
}

TEST_F(TLMDatabaseRawEventsTest, SelectionReadsNoFurtherThanTheBundleThatFillsTheBatch) {
  const std::int64_t t = static_cast<std::int64_t>(clock->now() * 1000);
  settings->lastDeleteStale = clock->now();
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:a", t), false, &error));
  // Behind it an unreadable row, then a readable one.
  ASSERT_TRUE(store().upsertRecord({{"data", Value(platform::Bytes{1, 2, 3})},
                                    {"bundle_end_timestamp", Value(clock->now() + 1)},
                                    {"retry_count", Value(0)}},
                                   kTLMQueueTable, &error));
  ASSERT_TRUE(database->insertBundle(*bundle("1:1:ios:b", t + 2000), false, &error));

  // The first bundle alone exceeds the limit: nothing behind it is read.
  auto pairs = database->queryBundlesWithCountLimit(10, 1, &error);
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 1u);
  EXPECT_EQ(pairs->front().second, 1);
  EXPECT_FALSE(monitor.contains(12050));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMQueueTable, &error), 3);

  // Once it is gone the unreadable row is met, dropped, and the next bundle travels.
  ASSERT_TRUE(database->deleteBundlesWithRowIDs({1}, &error));
  pairs = database->queryBundlesWithCountLimit(10, 1, &error);
  ASSERT_TRUE(pairs);
  ASSERT_EQ(pairs->size(), 1u);
  EXPECT_EQ(pairs->front().second, 3);
  EXPECT_TRUE(monitor.contains(12050));
  EXPECT_EQ(store().rowCountForTableWithName(kTLMQueueTable, &error), 1);
}

}  // namespace

namespace {

TEST_F(TLMDatabaseRawEventsTest, CapCountsRightAfterARolledBackDeleteAndAnotherConnectionsWrite) {
  settings->maxEventsStoredValue = 4;
  const std::int64_t fingerprint = storeMetadata("1:1:ios:a");
  auto insert = [&](int i) {
    ASSERT_TRUE(database->insertRawEvent(event("e" + std::to_string(i), 1700000000 + i), fingerprint, false, &error));
  };
  for (int i = 1; i <= 4; ++i) insert(i);
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  insert(5);
  // A bundling step that deletes rows and then fails: its deletes are undone.
  EXPECT_FALSE(database->performTransaction([&] { return database->deleteRawEventsWithMaxRowID(3, &error) && false; }));
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events"), "4");
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_EQ(raw().column("SELECT rowid FROM raw_events ORDER BY rowid"), (std::vector<std::string>{"3", "4", "5"}));
  // Rows another connection adds count too.
  raw().exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('x', 1, 1, x'00')");
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  EXPECT_EQ(raw().column("SELECT rowid FROM raw_events ORDER BY rowid"), (std::vector<std::string>{"4", "5", "6"}));
}

}  // namespace

namespace {

// A metadata table of three rows at most, so that a few rows fill it.
class TLMDatabaseMetadataCapTest : public TLMDatabaseRawEventsTest {
 protected:
  void SetUp() override {
    settings->maxRawEventsMetadataStoredValue = 3;
    TLMDatabaseRawEventsTest::SetUp();
  }
  // Stores metadata `name` as the engine does for a new event, and then the event itself; the
  // number of events deleted to make room.
  std::int64_t logWith(const std::string& name, const std::string& eventName, double timestamp = 1700000000,
                       TLMDatabase* on = nullptr) {
    TLMDatabase& db = on != nullptr ? *on : *database;
    auto metadata = bundle("1:1:ios:" + name, 0);
    std::int64_t fingerprint = 0;
    std::int64_t deleted = -1;
    EXPECT_TRUE(db.insertIfNotExistsRawEventMetadata(*metadata, &error, &fingerprint, &deleted))
        << error.description;
    fingerprints[name] = fingerprint;
    EXPECT_TRUE(db.insertRawEvent(event(eventName, timestamp), fingerprint, false, &error));
    return deleted;
  }
  // Stores a new row "next" with its event through the test's connection, and the same through
  // a fresh connection on a copy of the file as it was: both delete the same events and rows.
  void expectTheNextRowAsAFreshConnectionStoresIt() {
    const std::string rowsQuery = "SELECT metadata_fingerprint FROM raw_events_metadata ORDER BY 1";
    const std::string eventsQuery = "SELECT name FROM raw_events ORDER BY rowid";
    TempDirectory copy;
    std::filesystem::copy_file(dir.file(kTLMDatabaseFileName), copy.file(kTLMDatabaseFileName));
    std::int64_t freshDeleted = -1;
    {
      auto fresh = TLMDatabase::initWithDatabasePath(copy.file(kTLMDatabaseFileName), settings, &monitor);
      ASSERT_TRUE(fresh);
      freshDeleted = logWith("next", "next1", 1700000000, fresh.get());
    }
    RawDatabase freshFile(copy.file(kTLMDatabaseFileName));
    EXPECT_EQ(logWith("next", "next1"), freshDeleted);
    EXPECT_EQ(eventNames(), freshFile.column(eventsQuery));
    EXPECT_EQ(raw().column(rowsQuery), freshFile.column(rowsQuery));
  }
  // An upload through `db`: every raw event goes, then the rows no event uses.
  void uploadEverything(TLMDatabase& db) {
    ASSERT_TRUE(db.performTransaction([&] {
      return db.deleteRawEventsWithMaxRowID(std::numeric_limits<std::int64_t>::max(), &error) &&
             db.deleteUnusedRawEventsMetadata(&error);
    })) << error.description;
  }
  static std::int64_t fingerprintOf(const std::string& name) {
    auto bytes = bundle("1:1:ios:" + name, 0)->protoBuffer();
    return tlm_64LSBMD5(platform::Bytes(bytes->begin(), bytes->end()));
  }
  std::vector<std::string> eventNames() { return raw().column("SELECT name FROM raw_events ORDER BY rowid"); }
  bool hasMetadata(const std::string& name) {
    return database->queryRawEventsMetadataWithFingerprint(fingerprints[name], &error) != nullptr;
  }
  std::string metadataRows() { return raw().scalar("SELECT count(*) FROM raw_events_metadata"); }
  // The pages the store's connection fetched (from its cache or the file) while `body` ran: what
  // it read, whatever the machine's speed.
  std::int64_t pagesReadDuring(const std::function<void()>& body) {
    sqlite3* handle = store().sqliteHandle();
    int hits = 0;
    int misses = 0;
    int highest = 0;
    sqlite3_db_status(handle, SQLITE_DBSTATUS_CACHE_HIT, &hits, &highest, 1);
    sqlite3_db_status(handle, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highest, 1);
    body();
    sqlite3_db_status(handle, SQLITE_DBSTATUS_CACHE_HIT, &hits, &highest, 0);
    sqlite3_db_status(handle, SQLITE_DBSTATUS_CACHE_MISS, &misses, &highest, 0);
    return hits + misses;
  }

  std::map<std::string, std::int64_t> fingerprints;
};

// The newest events are kept: a new row one past the limit takes the place of the row whose
// newest event is the oldest, deleting that row's events and no other.
TEST_F(TLMDatabaseMetadataCapTest, ANewRowInAFullTableReplacesTheRowWhoseNewestEventIsOldest) {
  EXPECT_EQ(logWith("a", "a1"), 0);
  EXPECT_EQ(logWith("a", "a2"), 0);
  EXPECT_EQ(logWith("b", "b1"), 0);
  EXPECT_EQ(logWith("a", "a3"), 0);
  // Two rows of three: the third still fits without deleting anything.
  EXPECT_EQ(logWith("c", "c1"), 0);
  EXPECT_EQ(metadataRows(), "3");
  // Full: "a" is used again by a3, so "b" (newest b1) goes, and only b1 with it.
  EXPECT_EQ(logWith("d", "d1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "a2", "a3", "c1", "d1"}));
  EXPECT_FALSE(hasMetadata("b"));
  EXPECT_TRUE(hasMetadata("a"));
  EXPECT_EQ(metadataRows(), "3");
  // Metadata already stored needs no room.
  EXPECT_EQ(logWith("c", "c2"), 0);
  // "c" is used again: "a" has the oldest newest event now, and all three of its events go.
  EXPECT_EQ(logWith("e", "e1"), 3);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1", "c2", "e1"}));
  EXPECT_EQ(metadataRows(), "3");
  EXPECT_FALSE(hasMetadata("a"));
}

// Long runs of one row before it is used again are passed over, not deleted: the table at its
// compiled size, with the raw-event cap raised, written by another connection.
TEST_F(TLMDatabaseMetadataCapTest, AFullTableOfTheCompiledSizeDeletesOneEventForOneRow) {
  settings->maxRawEventsMetadataStoredValue.reset();
  settings->maxEventsStoredValue = 1000000;
  const int singles = static_cast<int>(kTLMDatabaseRawEventsMetadataMaxCount) - 1;
  raw().exec("BEGIN; INSERT INTO raw_events_metadata VALUES (-1, x'0a');"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 50000) "
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) SELECT 'shared', 1, -1, x'00' "
             "FROM n; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < " +
             std::to_string(singles) +
             ") INSERT INTO raw_events_metadata SELECT i, x'0a' FROM n; INSERT INTO raw_events (name, timestamp, "
             "metadata_fingerprint, data) SELECT 's' || metadata_fingerprint, 1, metadata_fingerprint, x'00' FROM "
             "raw_events_metadata WHERE metadata_fingerprint > 0 ORDER BY 1; INSERT INTO raw_events (name, "
             "timestamp, metadata_fingerprint, data) VALUES ('shared', 1, -1, x'00'); COMMIT;");
  EXPECT_EQ(logWith("new", "newest"), 1);
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events WHERE name = 'shared'"), "50001");
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events"), std::to_string(50001 + singles));
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events WHERE name = 's1'"), "0");
  EXPECT_EQ(metadataRows(), std::to_string(kTLMDatabaseRawEventsMetadataMaxCount));
}

// The search for the oldest row in use starts past the events known to be no last use of their
// row. An emptied table gives new events low rowids again: the search then starts from the
// first event, whether an upload or the raw-event cap emptied it.
TEST_F(TLMDatabaseMetadataCapTest, AfterAnEmptiedTableTheSearchStartsFromTheFirstEventAgain) {
  settings->maxRawEventsMetadataStoredValue = 2;
  for (const std::string round : {"upload", "cap"}) {
    SCOPED_TRACE(round);
    logWith("a" + round, "a1");
    logWith("b" + round, "b1");
    logWith("a" + round, "a2");
    EXPECT_EQ(logWith("c" + round, "c1"), 1);
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "a2", "c1"}));
    if (round == "upload") {
      ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(std::stoll(raw().scalar("SELECT max(rowid) FROM raw_events")), &error));
    } else {
      settings->maxEventsStoredValue = 1;
      EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 3);
      settings->maxEventsStoredValue = 100000;
    }
    ASSERT_TRUE(database->deleteUnusedRawEventsMetadata(&error));
    logWith("d" + round, "d1");
    logWith("e" + round, "e1");
    EXPECT_EQ(raw().scalar("SELECT min(rowid) FROM raw_events"), "1");
    EXPECT_EQ(logWith("f" + round, "f1"), 1);
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"e1", "f1"}));
    raw().exec("DELETE FROM raw_events; DELETE FROM raw_events_metadata");
  }
}

// Stale events go by their time, from among the others: an older event can become the newest of
// its row, and is found.
TEST_F(TLMDatabaseMetadataCapTest, AStaleDeletionCanMakeAnOlderEventTheNewestOfItsRow) {
  settings->maxRawEventsMetadataStoredValue = 2;
  logWith("a", "a1");
  logWith("b", "b1");
  logWith("a", "a2", 1700000000 - 1000);
  EXPECT_EQ(logWith("c", "c1"), 1);
  ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(500, &error));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "c1"}));
  EXPECT_EQ(logWith("d", "d1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1"}));
}

// Events written (by another process) before their metadata row free nothing until the row is
// stored; then they count like any other.
TEST_F(TLMDatabaseMetadataCapTest, EventsWrittenBeforeTheirRowCountOnceItIsStored) {
  settings->maxRawEventsMetadataStoredValue = 2;
  logWith("a", "a1");
  raw().exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('z1', 1, " +
             std::to_string(fingerprintOf("z")) + ", x'00')");
  logWith("b", "b1");
  logWith("a", "a2");
  EXPECT_EQ(logWith("c", "c1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "z1", "a2", "c1"}));
  storeMetadata("1:1:ios:z");
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"z1", "c1"}));
  EXPECT_EQ(logWith("d", "d1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1"}));
}

// Rows no event uses go first; only then do events.
TEST_F(TLMDatabaseMetadataCapTest, MetadataNoEventUsesGoesBeforeAnyEvent) {
  EXPECT_EQ(logWith("a", "a1"), 0);
  // Stored for an event that never came.
  storeMetadata("1:1:ios:unused");
  EXPECT_EQ(logWith("b", "b1"), 0);
  EXPECT_EQ(logWith("c", "c1"), 0);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "b1", "c1"}));
  EXPECT_EQ(metadataRows(), "3");
  EXPECT_EQ(logWith("d", "d1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"b1", "c1", "d1"}));

  // Once looked through, the table is known to be in use until a row may not be: the row of an
  // event that never came (its own storing took the oldest event) is found again.
  storeMetadata("1:1:ios:unused");
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1"}));
  EXPECT_EQ(logWith("e", "e1"), 0);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1", "e1"}));
  // Events that go without their metadata (c1, rowid 3) leave it for the next sweep.
  ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(3, &error));
  EXPECT_EQ(logWith("f", "f1"), 0);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"d1", "e1", "f1"}));
  EXPECT_FALSE(hasMetadata("c"));
  // Without any event left, a table full of unused rows is emptied rather than refused.
  raw().exec("DELETE FROM raw_events");
  EXPECT_EQ(logWith("g", "g1"), 0);
  EXPECT_EQ(metadataRows(), "1");
}

// In a transaction group the kept count forgets what a failed transaction undid and what a group
// that did not commit undid; what waits for the commit runs only after a commit.
TEST_F(TLMDatabaseMetadataCapTest, AGroupKeepsTheRowCountRightAndRunsWhatWaitsOnlyAfterItsCommit) {
  std::vector<std::string> ran;
  ASSERT_TRUE(database->beginTransactionGroup());
  EXPECT_TRUE(database->performTransaction([&] { return logWith("a", "a1") == 0; }));
  database->afterCommit([&] { ran.push_back("a1"); });
  EXPECT_FALSE(database->performTransaction([&] {
    logWith("x", "x1");
    return false;
  }));
  EXPECT_TRUE(database->performTransaction([&] { return logWith("b", "b1") == 0; }));
  database->afterCommit([&] { ran.push_back("b1"); });
  // Two rows of three: room for one more without deleting anything.
  std::int64_t deleted = -1;
  EXPECT_TRUE(database->performTransaction([&] { return (deleted = logWith("c", "c1")) >= 0; }));
  EXPECT_EQ(deleted, 0);
  EXPECT_TRUE(ran.empty());
  EXPECT_TRUE(database->endTransactionGroup());
  EXPECT_EQ(ran, (std::vector<std::string>{"a1", "b1"}));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "b1", "c1"}));

  // A group whose commit fails: nothing of it stays, nothing waiting runs, the count is read again.
  sqlite3_commit_hook(store().sqliteHandle(), [](void*) { return 1; }, nullptr);
  ASSERT_TRUE(database->beginTransactionGroup());
  // The upload of every event, then a new row: the unused rows make room for it.
  EXPECT_TRUE(database->performTransaction(
      [&] { return database->deleteRawEventsWithMaxRowID(3, &error) && logWith("d", "d1") == 0; }));
  database->afterCommit([&] { ran.push_back("d1"); });
  EXPECT_FALSE(database->endTransactionGroup());
  sqlite3_commit_hook(store().sqliteHandle(), nullptr, nullptr);
  EXPECT_EQ(ran.size(), 2u);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "b1", "c1"}));
  database->afterCommit([&] { ran.push_back("alone"); });  // outside a group: at once
  EXPECT_EQ(ran.back(), "alone");
  // Still full, so the next new row takes the oldest event's place: one, not more.
  EXPECT_EQ(logWith("e", "e1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"b1", "c1", "e1"}));
  EXPECT_EQ(metadataRows(), "3");
}

// When SQLite undoes a whole group (a failing step), the count its earlier transactions kept is
// read again: writes made before the group ends, on their own, see the file as it is.
TEST_F(TLMDatabaseMetadataCapTest, AGroupThatSQLiteUndidLeavesNoCountOfItsTransactions) {
  settings->maxRawEventsMetadataStoredValue = 2;
  ASSERT_TRUE(database->beginTransactionGroup());
  EXPECT_TRUE(database->performTransaction([&] { return logWith("a", "a1") == 0; }));
  EXPECT_FALSE(database->performTransaction([&] {
    logWith("b", "b1");
    return sqlite3_exec(store().sqliteHandle(), "ROLLBACK", nullptr, nullptr, nullptr) == SQLITE_OK;
  }));
  EXPECT_EQ(logWith("c", "c1"), 0);
  EXPECT_EQ(logWith("d", "d1"), 0);
  EXPECT_FALSE(database->endTransactionGroup());
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1"}));
}

// The kept count follows the deletes of an upload, forgets what a rollback undid and what another
// connection wrote, and is counted afresh by the next process.
TEST_F(TLMDatabaseMetadataCapTest, TheRowCountStaysRightAfterUploadsRollbacksAndOtherWriters) {
  logWith("a", "a1");
  logWith("b", "b1");
  logWith("c", "c1");
  // An upload takes the oldest event and, being its last, its metadata: room for one more row
  // without deleting anything.
  auto upload = [&](std::int64_t rowID, const std::string& name) {
    ASSERT_TRUE(database->deleteRawEventsWithMaxRowID(rowID, &error));
    ASSERT_TRUE(database->deleteRawEventMetadataWithMetadataFingerprint(fingerprints[name], &error));
  };
  upload(1, "a");
  EXPECT_EQ(logWith("d", "d1"), 0);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"b1", "c1", "d1"}));
  upload(2, "b");
  // A store step that fails after its metadata went in leaves the room it found.
  EXPECT_FALSE(database->performTransaction([&] {
    logWith("x", "x1");
    return false;
  }));
  EXPECT_EQ(metadataRows(), "2");
  EXPECT_EQ(logWith("e", "e1"), 0);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "d1", "e1"}));

  // Another connection adds a row no event uses, and one used by an event.
  raw().exec("INSERT INTO raw_events_metadata VALUES (7, x'07')");
  raw().exec("INSERT INTO raw_events_metadata VALUES (8, x'08')");
  raw().exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('o1', 1, 8, x'00')");
  EXPECT_EQ(logWith("f", "f1"), 2);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"e1", "o1", "f1"}));
  EXPECT_EQ(metadataRows(), "3");

  // A new process (as after a kill) counts the file again.
  database.reset();
  database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
  ASSERT_TRUE(database);
  EXPECT_EQ(logWith("g", "g1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"o1", "f1", "g1"}));
  EXPECT_EQ(metadataRows(), "3");
}

// A full table whose first search walks 20,000 events of one row (their pages outweigh the
// fingerprint index's that a count reads): what the next new row reads after a rolled-back step
// stays what a steady one reads. Writes of another connection are seen.
TEST_F(TLMDatabaseMetadataCapTest, ANewRowAfterARollbackReadsNoMoreThanASteadyOne) {
  settings->maxRawEventsMetadataStoredValue = 100;
  raw().exec("BEGIN; INSERT INTO raw_events_metadata VALUES (-1, x'0a');"
             "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 20000) "
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) SELECT 'shared', 1, -1, "
             "zeroblob(200) FROM n; WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 99) "
             "INSERT INTO raw_events_metadata SELECT i, x'0a' FROM n; INSERT INTO raw_events (name, timestamp, "
             "metadata_fingerprint, data) SELECT 's' || metadata_fingerprint, 1, metadata_fingerprint, x'00' FROM "
             "raw_events_metadata WHERE metadata_fingerprint > 0 ORDER BY "
             "metadata_fingerprint; INSERT INTO raw_events (name, "
             "timestamp, metadata_fingerprint, data) VALUES ('shared', 1, -1, x'00'); COMMIT;");
  const auto single = [&](int i) { return raw().scalar("SELECT count(*) FROM raw_events WHERE name = 's" + std::to_string(i) + "'"); };
  std::int64_t deleted = -1;
  const std::int64_t first = pagesReadDuring([&] { deleted = logWith("n0", "n0"); });
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(single(1), "0");
  const std::int64_t steady = pagesReadDuring([&] { deleted = logWith("n1", "n1"); });
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(single(2), "0");

  // A store step that fails after it made room: the next new row frees the same row.
  EXPECT_FALSE(database->performTransaction([&] {
    logWith("x", "x1");
    return false;
  }));
  EXPECT_EQ(single(3), "1");
  const std::int64_t afterRollback = pagesReadDuring([&] { deleted = logWith("n2", "n2"); });
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(single(3), "0");
  EXPECT_LE(afterRollback, 2 * steady) << "steady " << steady << ", first " << first;

  // Another connection adds events of a stored row: what it changed before them cannot be told,
  // so the next new row searches once, as after a start, and the one after it reads what a
  // steady one reads.
  raw().exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('o1', 1, -1, x'00')");
  EXPECT_EQ(logWith("n3", "n3"), 1);
  EXPECT_EQ(single(4), "0");
  const std::int64_t afterSearch = pagesReadDuring([&] { deleted = logWith("n3b", "n3b"); });
  EXPECT_EQ(deleted, 1);
  EXPECT_EQ(single(5), "0");
  EXPECT_LE(afterSearch, 2 * steady) << "first " << first;

  // It deletes an event from the middle and adds one: the row left unused (s6) is found and goes
  // instead of the next in use.
  raw().exec("DELETE FROM raw_events WHERE name = 's6'; INSERT INTO raw_events (name, timestamp, "
             "metadata_fingerprint, data) VALUES ('o2', 1, -1, x'00')");
  EXPECT_EQ(logWith("n4", "n4"), 0);
  EXPECT_EQ(single(7), "1");
  EXPECT_EQ(metadataRows(), "100");
}

// Another connection deletes the newest event and writes one of another row in its place (a
// rowid taken again, the same count): the row whose newest event that was goes back to its older event,
// which a search that starts past it would miss.
TEST_F(TLMDatabaseMetadataCapTest, AnotherConnectionsEventInThePlaceOfTheNewestIsSeen) {
  settings->maxRawEventsMetadataStoredValue = 2;
  logWith("a", "a1");
  logWith("b", "b1");
  logWith("a", "a2");
  // Room for "c" (its event comes later): "b" goes, and a1 is known to have a newer event.
  storeMetadata("1:1:ios:c");
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "a2"}));
  raw().exec("DELETE FROM raw_events WHERE name = 'a2'; INSERT INTO raw_events (name, timestamp, "
             "metadata_fingerprint, data) VALUES ('x', 1, " + std::to_string(fingerprintOf("c")) + ", x'00')");
  EXPECT_EQ(logWith("d", "d1"), 1);
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"x", "d1"}));
}

// The raw-event cap at a high limit, once an event from the middle went with its metadata row:
// the boundary is found from the oldest end, reading about what it reads without the gap.
TEST_F(TLMDatabaseMetadataCapTest, TheCapAfterADeletionInTheMiddleReadsAboutWhatItReadsWithoutIt) {
  settings->maxRawEventsMetadataStoredValue = 2;
  settings->maxEventsStoredValue = 20000;
  logWith("a", "a0");
  const std::int64_t a = fingerprints["a"];
  const std::int64_t b = fingerprintOf("b");
  raw().exec("BEGIN; INSERT INTO raw_events_metadata VALUES (" + std::to_string(b) +
             ", x'0a'); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 19998) "
             "INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) SELECT CASE i WHEN 9999 THEN 'b' "
             "ELSE 'a' END, 1, CASE i WHEN 9999 THEN " + std::to_string(b) + " ELSE " + std::to_string(a) +
             " END, zeroblob(200) FROM n; COMMIT;");
  // One event of a stored row, then the cap as the store step does it.
  const auto capAfterOneMore = [&] {
    std::optional<std::int64_t> over;
    const std::int64_t pages = pagesReadDuring([&] {
      ASSERT_TRUE(database->insertRawEvent(event("a", 1700000000), a, false, &error));
      over = database->deleteRawEventsOverAbsoluteLimit(&error);
    });
    EXPECT_EQ(over, 1);
    EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events"), "19999");
    return pages;
  };
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);
  capAfterOneMore();
  const std::int64_t steady = capAfterOneMore();
  // A new row frees "b", whose one event sits in the middle.
  EXPECT_EQ(logWith("c", "c1"), 1);
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 0);
  const std::int64_t afterGap = capAfterOneMore();
  EXPECT_LE(afterGap, 2 * steady);
  EXPECT_EQ(raw().scalar("SELECT count(*) FROM raw_events WHERE name = 'c1'"), "1");
}

// The rules for a reference: metadata rows and raw events (name and fingerprint, oldest first).
struct MetadataCapModel {
  std::vector<std::pair<std::string, std::int64_t>> events;
  std::set<std::int64_t> rows;

  bool used(std::int64_t fingerprint) const {
    return std::any_of(events.begin(), events.end(), [&](const auto& e) { return e.second == fingerprint; });
  }
  std::int64_t deleteEventsOf(std::int64_t fingerprint) {
    return static_cast<std::int64_t>(std::erase_if(events, [&](const auto& e) { return e.second == fingerprint; }));
  }
  // Room for a new row: rows no event uses, then one by one the row whose newest event is the
  // oldest, with its events. The number of deleted events.
  std::int64_t makeRoom(std::int64_t limit) {
    if (static_cast<std::int64_t>(rows.size()) < limit) return 0;
    std::erase_if(rows, [&](std::int64_t fingerprint) { return !used(fingerprint); });
    std::int64_t deleted = 0;
    while (static_cast<std::int64_t>(rows.size()) >= limit) {
      std::optional<std::int64_t> oldest;
      for (std::size_t i = 0; i < events.size() && !oldest; ++i) {
        const std::int64_t fingerprint = events[i].second;
        const bool last = std::none_of(events.begin() + static_cast<std::ptrdiff_t>(i) + 1, events.end(),
                                       [&](const auto& e) { return e.second == fingerprint; });
        if (last && rows.count(fingerprint) != 0) oldest = fingerprint;
      }
      if (!oldest) break;
      deleted += deleteEventsOf(*oldest);
      rows.erase(*oldest);
    }
    return deleted;
  }
  // The raw-event cap: the newest `keep` events stay; rows only deleted events used go, but `pending`.
  std::int64_t capEvents(std::int64_t keep, std::int64_t pending) {
    const std::int64_t over = static_cast<std::int64_t>(events.size()) - keep;
    if (over <= 0) return 0;
    std::set<std::int64_t> touched;
    for (std::int64_t i = 0; i < over; ++i) touched.insert(events[static_cast<std::size_t>(i)].second);
    events.erase(events.begin(), events.begin() + over);
    for (std::int64_t fingerprint : touched) {
      if (fingerprint != pending && !used(fingerprint)) rows.erase(fingerprint);
    }
    return over;
  }
};

// Stores, uploads, rolled-back steps, another connection's writes, stale-data deletions, new
// limits (of both tables) and restarts in a seeded random order, each checked against the rules.
TEST_F(TLMDatabaseMetadataCapTest, EveryStepFollowsTheRulesInARandomSequence) {
  settings->maxEventsStoredValue = 16;
  std::int64_t limit = 3;
  MetadataCapModel model;
  std::mt19937 random(20261207);
  const auto pick = [&](std::size_t n) { return static_cast<std::size_t>(random() % n); };
  int named = 0;
  std::int64_t foreign = 1000;
  std::map<std::string, double> ages;
  // The engine's store step: the metadata row, the raw-event cap, the event.
  const auto store = [&](const std::string& name, bool commit) {
    const std::string eventName = "e" + std::to_string(++named);
    const double age = 100.0 * static_cast<double>(pick(5));
    std::int64_t fingerprint = 0;
    std::int64_t forRow = -1;
    std::optional<std::int64_t> overCap;
    const bool committed = database->performTransaction([&] {
      return database->insertIfNotExistsRawEventMetadata(*bundle("1:1:ios:" + name, 0), &error, &fingerprint, &forRow) &&
             (overCap = database->deleteRawEventsOverAbsoluteLimit(&error)) &&
             database->insertRawEvent(event(eventName, 1700000000 - age), fingerprint, false, &error) && commit;
    });
    ASSERT_EQ(committed, commit) << error.description;
    if (!commit) return;
    ASSERT_EQ(fingerprint, fingerprintOf(name));
    const std::int64_t expectedForRow = model.rows.count(fingerprint) != 0 ? 0 : model.makeRoom(limit);
    model.rows.insert(fingerprint);
    EXPECT_EQ(forRow, expectedForRow);
    EXPECT_EQ(overCap, model.capEvents(settings->maxEventsStoredValue - 1, fingerprint));
    model.events.emplace_back(eventName, fingerprint);
    ages[eventName] = age;
  };
  // The upload's delete: the oldest run of one row, up to three events, and the row when its
  // last; or, now and then, the oldest events of any rows, their rows left to a later sweep.
  const auto upload = [&](bool commit) {
    if (model.events.empty()) return;
    const std::int64_t fingerprint = model.events.front().second;
    const bool leaveRows = pick(2) == 0;
    std::size_t run = 0;
    while (run < model.events.size() && (leaveRows || model.events[run].second == fingerprint)) ++run;
    const std::size_t taken = 1 + pick(std::min<std::size_t>(run, 3));
    const std::int64_t maxRowID =
        std::stoll(raw().scalar("SELECT rowid FROM raw_events ORDER BY rowid LIMIT 1 OFFSET " + std::to_string(taken - 1)));
    const bool committed = database->performTransaction([&] {
      if (!database->deleteRawEventsWithMaxRowID(maxRowID, &error)) return false;
      if (leaveRows) return commit;
      auto remaining = database->containsRawEventWithMetadataFingerprint(fingerprint, &error);
      return remaining && (*remaining || database->deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) &&
             commit;
    });
    ASSERT_EQ(committed, commit) << error.description;
    if (!commit) return;
    model.events.erase(model.events.begin(), model.events.begin() + static_cast<std::ptrdiff_t>(taken));
    if (!leaveRows && !model.used(fingerprint)) model.rows.erase(fingerprint);
  };
  const auto insertForeignEvent = [&](std::int64_t fingerprint) {
    const std::string name = "o" + std::to_string(++named);
    raw().exec("INSERT INTO raw_events (name, timestamp, metadata_fingerprint, data) VALUES ('" + name + "', 1, " +
               std::to_string(fingerprint) + ", x'00')");
    model.events.emplace_back(name, fingerprint);
    ages[name] = 1700000000 - 1;
  };
  const auto anotherConnectionWrites = [&] {
    switch (pick(6)) {
      case 0:  // a row no event uses
      case 1:  // a row and an event using it
        raw().exec("INSERT INTO raw_events_metadata VALUES (" + std::to_string(++foreign) + ", x'0a')");
        model.rows.insert(foreign);
        if (random() % 2 != 0) insertForeignEvent(foreign);
        break;
      case 2:  // an event of a stored row
        if (!model.rows.empty()) insertForeignEvent(*std::next(model.rows.begin(), static_cast<std::ptrdiff_t>(pick(model.rows.size()))));
        break;
      case 3:  // the oldest event goes, its row stays
        if (model.events.empty()) break;
        raw().exec("DELETE FROM raw_events WHERE rowid = (SELECT min(rowid) FROM raw_events)");
        model.events.erase(model.events.begin());
        break;
      case 4: {  // an event goes, its row stays; the newest may be followed by one of a stored row (its rowid again)
        if (model.events.empty()) break;
        const std::size_t index = random() % 2 == 0 ? model.events.size() - 1 : pick(model.events.size());
        raw().exec("DELETE FROM raw_events WHERE rowid = (SELECT rowid FROM raw_events ORDER BY rowid LIMIT 1 OFFSET " +
                   std::to_string(index) + ")");
        model.events.erase(model.events.begin() + static_cast<std::ptrdiff_t>(index));
        if (index == model.events.size() && !model.rows.empty()) {
          insertForeignEvent(*std::next(model.rows.begin(), static_cast<std::ptrdiff_t>(pick(model.rows.size()))));
        }
        break;
      }
      default:  // an event whose row is not stored
        insertForeignEvent(7);
    }
  };

  for (int step = 0; step < 1000 && !HasFailure(); ++step) {
    const std::size_t action = pick(100);
    const std::string name = "m" + std::to_string(pick(8));
    SCOPED_TRACE("step " + std::to_string(step) + ", action " + std::to_string(action));
    if (action < 55) {
      store(name, true);
    } else if (action < 59) {
      store(name, false);
    } else if (action < 79) {
      upload(true);
    } else if (action < 82) {
      upload(false);
    } else if (action < 88) {
      anotherConnectionWrites();
    } else if (action < 91) {
      // Stale events go, and then every row no event uses.
      const double maxAge = 100.0 * static_cast<double>(pick(5)) + 50;
      ASSERT_TRUE(database->deleteStaleRawEventsDataOlderThanMaxAge(maxAge, &error)) << error.description;
      if (std::erase_if(model.events, [&](const auto& e) { return ages[e.first] > maxAge; }) != 0) {
        std::erase_if(model.rows, [&](std::int64_t fingerprint) { return !model.used(fingerprint); });
      }
    } else if (action < 96) {
      limit = 1 + static_cast<std::int64_t>(pick(6));
      settings->maxRawEventsMetadataStoredValue = limit;
      settings->maxEventsStoredValue = 2 + static_cast<std::int64_t>(pick(15));
    } else {
      database.reset();
      database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
      ASSERT_TRUE(database);
    }
    std::vector<std::string> events;
    for (const auto& [eventName, fingerprint] : model.events) events.push_back(eventName + ":" + std::to_string(fingerprint));
    EXPECT_EQ(raw().column("SELECT name || ':' || metadata_fingerprint FROM raw_events ORDER BY rowid"), events);
    std::vector<std::string> rows;
    for (std::int64_t fingerprint : model.rows) rows.push_back(std::to_string(fingerprint));
    EXPECT_EQ(raw().column("SELECT metadata_fingerprint FROM raw_events_metadata ORDER BY metadata_fingerprint"), rows);
  }
}

// What this connection knows of the tables is kept only while no other connection writes: the
// library's own calls on a second connection can leave the same raw-event count and the same
// newest event (rowid and row) after changing the rows before it, which no count can tell.
class TLMDatabaseSecondConnectionTest : public TLMDatabaseMetadataCapTest {
 protected:
  void SetUp() override {
    TLMDatabaseMetadataCapTest::SetUp();
    other = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
    ASSERT_TRUE(other) << "the second connection did not open:" << reported(monitor);
  }
  // A full table of rows a, c, d with events a1, c1, a2, d1 (timestamps as given), after a new
  // row that sought its room: every row is known to be in use, and the search for the next
  // starts past a1 (a2 comes after it).
  void fillTheTable(double a2 = 1700000000, double d1 = 1700000000) {
    logWith("a", "a1");
    logWith("b", "b1");
    logWith("c", "c1");
    logWith("a", "a2", a2);
    EXPECT_EQ(logWith("d", "d1", d1), 1);
    EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "c1", "a2", "d1"}));
  }
  std::unique_ptr<TLMDatabase> other;
};

// It uploads everything and stores events again from rowid 1: four events up to rowid 5, whose
// event is of row d, as before; rows p (its event uploaded), q and d.
TEST_F(TLMDatabaseSecondConnectionTest, EventsStoredAgainAfterAnUploadAreSeen) {
  fillTheTable();
  uploadEverything(*other);
  logWith("p", "p1", 1700000000, other.get());
  logWith("q", "q1", 1700000000, other.get());
  logWith("q", "q2", 1700000000, other.get());
  logWith("q", "q3", 1700000000, other.get());
  logWith("d", "d2", 1700000000, other.get());
  ASSERT_TRUE(other->deleteRawEventsWithMaxRowID(1, &error));
  EXPECT_EQ(raw().column("SELECT rowid FROM raw_events"), (std::vector<std::string>{"2", "3", "4", "5"}));
  EXPECT_EQ(metadataRows(), "3");
  // Only the unused row p goes.
  expectTheNextRowAsAFreshConnectionStoresIt();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"q1", "q2", "q3", "d2", "next1"}));
}

// Its stale-data deletion takes the two newest events (a2, d1) and row d; two stores take their
// rowids again, the newest of row d as before. a1 is now the last event of its row.
TEST_F(TLMDatabaseSecondConnectionTest, EventsStoredAgainAfterAStaleDeletionAreSeen) {
  fillTheTable(1700000000 - 1000, 1700000000 - 1000);
  ASSERT_TRUE(other->deleteStaleRawEventsDataOlderThanMaxAge(500, &error));
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"a1", "c1"}));
  logWith("c", "c2", 1700000000, other.get());
  logWith("d", "d2", 1700000000, other.get());
  EXPECT_EQ(raw().column("SELECT rowid FROM raw_events"), (std::vector<std::string>{"1", "3", "4", "5"}));
  // Row a goes with a1, not row c with its two events.
  expectTheNextRowAsAFreshConnectionStoresIt();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"c1", "c2", "d2", "next1"}));
}

// After a start nothing is counted yet; the raw-event cap counts the events and a sweep finds
// every row in use. Another connection then stores a row without its event.
TEST_F(TLMDatabaseSecondConnectionTest, ARowAddedBeforeTheRowsWereCountedIsSeen) {
  logWith("a", "a1");
  logWith("b", "b1");
  logWith("a", "a2");
  database = TLMDatabase::initWithDatabasePath(dir.file(kTLMDatabaseFileName), settings, &monitor);
  ASSERT_TRUE(database);
  settings->maxEventsStoredValue = 3;
  EXPECT_EQ(database->deleteRawEventsOverAbsoluteLimit(&error), 1);
  ASSERT_TRUE(database->deleteUnusedRawEventsMetadata(&error));
  settings->maxEventsStoredValue = 100000;
  ASSERT_TRUE(other->insertIfNotExistsRawEventMetadata(*bundle("1:1:ios:x", 0), &error));
  EXPECT_EQ(metadataRows(), "3");
  // The unused row x goes, no event.
  expectTheNextRowAsAFreshConnectionStoresIt();
  EXPECT_EQ(eventNames(), (std::vector<std::string>{"b1", "a2", "next1"}));
}

}  // namespace
