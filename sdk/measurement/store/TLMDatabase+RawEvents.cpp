// Raw events with their shared bundle metadata, and the queue of compressed bundles.
#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <limits>
#include <map>
#include <unordered_set>

#include "foundation/Format.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "obx/OBXGzip.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

using platform::Error;
using platform::Value;

namespace {

constexpr std::int32_t kMaxRetryCount = std::numeric_limits<std::int32_t>::max();

// Whether the process `pid` still runs: one that is gone (or a value that is no process id)
// holds nothing. A process of another user runs too (EPERM).
bool processRuns(std::int64_t pid) {
  if (pid <= 0 || pid > std::numeric_limits<pid_t>::max()) return false;
  return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

// "rowid IN (?,?,...)" with the row ids as parameters.
bool rowIDCondition(const std::vector<std::int64_t>& rowIDs, std::string& condition,
                    platform::Array& parameters, Error* error) {
  if (rowIDs.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Received empty row IDs to process");
  }
  std::string placeholders = "?";
  for (std::size_t i = 1; i < rowIDs.size(); ++i) placeholders += ",?";
  condition = "rowid IN (" + placeholders + ")";
  parameters.clear();
  for (std::int64_t rowID : rowIDs) parameters.push_back(Value(rowID));
  return true;
}

std::optional<platform::Bytes> encoded(const NANOMessageBase& message) {
  auto bytes = message.protoBuffer();
  if (!bytes) return std::nullopt;
  return platform::Bytes(bytes->begin(), bytes->end());
}

}  // namespace

std::int64_t TLMProcessPidNamespace() {
  struct stat info {};
  if (::stat("/proc/self/ns/pid", &info) != 0) return 0;
  return static_cast<std::int64_t>(info.st_ino);
}

// MARK: - Metadata

bool TLMDatabase::insertIfNotExistsRawEventMetadata(const TLMPBMeasurementBundle& metadata,
                                                    Error* error, std::int64_t* storedFingerprint,
                                                    std::int64_t* deletedEvents) {
  if (deletedEvents != nullptr) *deletedEvents = 0;
  auto bytes = encoded(metadata);
  if (!bytes || bytes->empty()) {
    log(4, 12011,
        "Received empty measurement bundle metadata for getting dictionary representation");
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to insert/update unknown data type");
  }
  const Value fingerprint(tlm_64LSBMD5(*bytes));
  if (!checkKeptFacts(error)) return false;
  // The row stored before this one should be in use by now; if its event never came, the
  // metadata is no longer known to be all in use.
  if (kept_.metadataAllUsed && pendingMetadataFingerprint_ &&
      *pendingMetadataFingerprint_ != *fingerprint.int64Value()) {
    auto used = containsRawEventWithMetadataFingerprint(*pendingMetadataFingerprint_, error);
    if (!used) return false;
    if (!*used) kept_.metadataAllUsed = false;
  }
  auto existing = sqliteStore_->rowCountForTableWithName(kTLMRawEventsMetadataTable,
                                                         "metadata_fingerprint", fingerprint, error);
  if (!existing) return false;
  if (*existing == 0) {
    if (!makeRoomForRawEventMetadata(deletedEvents, error)) return false;
    if (!insertDataType<platform::Bytes>(
            *bytes, kTLMRawEventsMetadataTable, error,
            [&fingerprint](const platform::Bytes& data) -> std::optional<TLMRecord> {
              return TLMRecord{{"metadata_fingerprint", fingerprint}, {"metadata", Value(data)}};
            })) {
      return false;
    }
    keptRowsChanged(kept_.metadata, 1);
  }
  // The event that is stored next refers to this row, which no raw event may use yet.
  pendingMetadataFingerprint_ = *fingerprint.int64Value();
  if (storedFingerprint != nullptr) *storedFingerprint = *pendingMetadataFingerprint_;
  return true;
}

std::shared_ptr<TLMPBMeasurementBundle> TLMDatabase::queryRawEventsMetadataWithFingerprint(
    std::int64_t fingerprint, Error* error) {
  using BundlePtr = std::shared_ptr<TLMPBMeasurementBundle>;
  auto bundles = dataTypesFromTableWithName<BundlePtr>(
      kTLMRawEventsMetadataTable, "metadata_fingerprint", Value(fingerprint), error,
      [this](const TLMRecord& row) -> std::optional<BundlePtr> {
        if (row.empty()) {
          log(4, 12012, "Received empty dictionary for getting measurement bundle");
          return std::nullopt;
        }
        const platform::Bytes* data = row.get("metadata").dataPtr();
        if (data == nullptr || data->empty()) {
          log(4, 12013, "Event metadata should not be empty for getting measurement bundle");
          return std::nullopt;
        }
        BundlePtr bundle = TLMPBMeasurementBundle::initWithBuffer(data->data(), data->size());
        if (!bundle) return std::nullopt;
        return bundle;
      });
  if (!bundles || bundles->empty()) return nullptr;
  return bundles->front();
}

bool TLMDatabase::deleteRawEventMetadataWithMetadataFingerprint(std::int64_t fingerprint,
                                                                Error* error) {
  if (!checkKeptFacts(error)) return false;
  auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMRawEventsMetadataTable, "metadata_fingerprint == ?", {Value(fingerprint)}, error);
  if (deleted) keptRowsChanged(kept_.metadata, -*deleted);
  return deleted.has_value();
}

bool TLMDatabase::deleteUnusedRawEventsMetadata(Error* error) {
  if (!checkKeptFacts(error)) return false;
  auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMRawEventsMetadataTable,
      "metadata_fingerprint NOT IN (SELECT DISTINCT metadata_fingerprint FROM raw_events)", {},
      error);
  if (!deleted) return false;
  keptRowsChanged(kept_.metadata, -*deleted);
  kept_.metadataAllUsed = true;
  return true;
}

bool TLMDatabase::makeRoomForRawEventMetadata(std::int64_t* deletedEvents, Error* error) {
  const std::int64_t limit = settings_->maxRawEventsMetadataStored();
  // Counted once, then kept (also by the writes below): the common answer reads no table.
  if (!keptRowCount(kept_.metadata, kTLMRawEventsMetadataTable, error)) return false;
  // A full table's facts are worth keeping across other connections' writes, which are checked
  // against the raw events' count.
  if (*kept_.metadata >= limit && !keptRowCount(kept_.rawEvents, kTLMRawEventsTable, error)) {
    return false;
  }
  bool swept = false;
  while (*kept_.metadata >= limit) {
    // Unused rows are looked for only when some may exist: the search reads the whole table.
    if (!kept_.metadataAllUsed && !swept) {
      if (!deleteUnusedRawEventsMetadata(error)) return false;
      swept = true;
      continue;
    }
    std::optional<std::int64_t> oldest;
    std::int64_t passed = 0;
    if (!metadataWithOldestNewestRawEvent(oldest, passed, error)) return false;
    kept_.metadataSearchStart = 0;
    if (!oldest) {
      if (swept) break;
      kept_.metadataAllUsed = false;
      continue;
    }
    // The row stored before this one goes like any other once it is the oldest in use.
    auto deleted = deleteRawEventMetadataWithItsRawEvents(*oldest, error);
    if (!deleted) return false;
    if (deletedEvents != nullptr) *deletedEvents += *deleted;
    // The next search starts at the newest event left before `passed`: its row, like the row of
    // every older event, has a newer event after it (so new events come after it too).
    if (passed > 1) {
      auto start = integerForQuery("SELECT ifnull(max(rowid), 0) FROM raw_events WHERE rowid < ?",
                                   {Value(passed)}, error);
      if (!start) return false;
      kept_.metadataSearchStart = *start;
    }
  }
  if (*kept_.metadata >= limit) {
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to insert data type. Table is full");
  }
  return true;
}

bool TLMDatabase::metadataWithOldestNewestRawEvent(std::optional<std::int64_t>& fingerprint,
                                                   std::int64_t& passed, Error* error) {
  fingerprint.reset();
  // The row sought is the one of the first event (oldest first) that is the last use of its
  // row. The events are read oldest first up to the newest event of the best row found so far,
  // in growing batches (the first event is most often the one); a fingerprint met for the first
  // time has its newest event read from the fingerprint index (one step), and a run of events of
  // one fingerprint is passed over inside SQLite. Events whose fingerprint has no stored row
  // free nothing and are never chosen. The events up to the kept start are known to be no last
  // use of a stored row.
  std::int64_t best = std::numeric_limits<std::int64_t>::max();
  std::int64_t unstored = best;
  std::int64_t after = kept_.metadataSearchStart;
  Value previous;
  std::unordered_set<std::int64_t> seen;
  for (std::int64_t batch = 1; after < best - 1; batch = std::min<std::int64_t>(batch * 4, 1024)) {
    auto rows = sqliteStore_->recordsForQuery(
        "SELECT rowid, metadata_fingerprint FROM raw_events WHERE rowid > ?1 AND rowid < ?2 AND "
        "metadata_fingerprint IS NOT ?3 ORDER BY rowid LIMIT ?4",
        {Value(after), Value(best), previous, Value(batch)}, error);
    if (!rows) return false;
    for (const auto& row : *rows) {
      after = row.get("rowid").int64Value().value_or(best);
      if (after >= best) break;
      previous = row.get("metadata_fingerprint");
      const auto candidate = previous.int64Value();
      if (!candidate || !seen.insert(*candidate).second) continue;
      auto newest = sqliteStore_->recordsForQuery(
          "SELECT (SELECT max(rowid) FROM raw_events WHERE metadata_fingerprint = ?1) AS newest, "
          "EXISTS (SELECT 1 FROM raw_events_metadata WHERE metadata_fingerprint = ?1) AS stored",
          {previous}, error);
      if (!newest) return false;
      if (newest->empty() || newest->front().get("stored").int64Value().value_or(0) == 0) {
        unstored = std::min(unstored, after);
        continue;
      }
      const std::int64_t newestRowID = newest->front().get("newest").int64Value().value_or(best);
      if (newestRowID < best) {
        best = newestRowID;
        fingerprint = candidate;
      }
    }
    if (static_cast<std::int64_t>(rows->size()) < batch) break;
  }
  passed = fingerprint ? std::min(best, unstored) : 0;
  return true;
}

std::optional<std::int64_t> TLMDatabase::deleteRawEventMetadataWithItsRawEvents(
    std::int64_t fingerprint, Error* error) {
  auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMRawEventsTable, "metadata_fingerprint = ?", {Value(fingerprint)}, error);
  if (!deleted) return std::nullopt;
  keptRowsChanged(kept_.rawEvents, -*deleted);
  if (!deleteRawEventMetadataWithMetadataFingerprint(fingerprint, error)) return std::nullopt;
  return deleted;
}

// MARK: - Raw events

std::optional<bool> TLMDatabase::isRawEventsTableEmpty(Error* error) {
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM raw_events LIMIT 1)", {}, error);
}

bool TLMDatabase::insertRawEvent(const TLMEventPtr& event, std::int64_t metadataFingerprint,
                                 bool isRealtime, Error* error) {
  if (!event) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Received empty event for inserting in the database");
  }
  if (!checkKeptFacts(error)) return false;
  const bool inserted = insertDataType<TLMEventPtr>(
      event, kTLMRawEventsTable, error,
      [this, metadataFingerprint, isRealtime](const TLMEventPtr& e) -> std::optional<TLMRecord> {
        auto proto = e ? e->protoEvent() : nullptr;
        if (!proto) {
          log(4, 12014, "Received empty raw event data for getting dictionary representation");
          return std::nullopt;
        }
        // The name is kept once, in its own column.
        NANOClearField(*proto, TLMPBEventSlot::name);
        auto data = encoded(*proto);
        if (!data) return std::nullopt;
        return TLMRecord{{"name", Value(e->name())},
                         {"timestamp", Value(e->timestamp())},
                         {"metadata_fingerprint", Value(metadataFingerprint)},
                         {"data", Value(std::move(*data))},
                         {"is_realtime", Value(isRealtime ? 1 : 0)}};
      });
  if (!inserted) return false;
  keptRowsChanged(kept_.rawEvents, 1);
  return true;
}

bool TLMDatabase::checkKeptFacts(Error* error) {
  const std::uint64_t transaction = sqliteStore_->writeTransactionID();
  if (transaction != 0 && transaction == versionCheckedIn_) return true;
  auto version = integerForQuery("PRAGMA data_version", {}, error);
  if (!version) return false;
  versionCheckedIn_ = transaction;
  if (*version == keptVersion_) return true;
  keptVersion_ = *version;
  kept_ = {};
  return true;
}

std::optional<std::int64_t> TLMDatabase::keptRowCount(std::optional<std::int64_t>& rows,
                                                      const char* table, Error* error) {
  if (!rows) {
    auto count = integerForQuery(std::string("SELECT count(*) FROM ") + table, {}, error);
    if (!count) return std::nullopt;
    rows = count;
  }
  return rows;
}

void TLMDatabase::keptRowsChanged(std::optional<std::int64_t>& rows, std::int64_t delta) {
  if (rows) *rows += delta;
}

std::optional<double> TLMDatabase::queryLatestRawEventTime(Error* error) {
  auto number = sqliteStore_->numberForQuery("SELECT MAX(timestamp) FROM raw_events", {}, error);
  if (!number || number->isNull()) return std::nullopt;
  return number->doubleValue();
}

std::optional<TLMRows> TLMDatabase::rawEventRowsWithMetadataFingerprint(
    std::int64_t fingerprint, Error* error, const TLMRowFilter& eventFilter) {
  return sqliteStore_->recordsForQuery(
      "SELECT rowid, * FROM raw_events WHERE metadata_fingerprint = ? ORDER BY rowid ASC LIMIT ?",
      {Value(fingerprint), Value(kTLMDatabaseRawEventsSelectLimit)}, error,
      eventFilter ? eventFilter : TLMRowFilter([](std::size_t, const TLMRecord&) { return true; }));
}

std::optional<std::vector<TLMRawEventData>> TLMDatabase::rawEventsWithMetadataFingerprint(
    std::int64_t fingerprint, Error* error, const TLMRowFilter& eventFilter) {
  auto rows = rawEventRowsWithMetadataFingerprint(fingerprint, error, eventFilter);
  if (!rows) return std::nullopt;
  std::vector<TLMRawEventData> events;
  events.reserve(rows->size());
  for (const auto& row : *rows) {
    if (auto data = rawEventDataFromDictionary(row, error)) events.push_back(std::move(*data));
  }
  if (!rows->empty() && events.empty()) return std::nullopt;
  return events;
}

std::optional<bool> TLMDatabase::containsRawEventWithMetadataFingerprint(std::int64_t fingerprint,
                                                                         Error* error) {
  return booleanForQuery(
      "SELECT EXISTS (SELECT 1 FROM raw_events WHERE metadata_fingerprint = ? LIMIT 1)",
      {Value(fingerprint)}, error);
}

bool TLMDatabase::deleteRawEventsWithMaxRowID(std::int64_t maxRowID, Error* error) {
  if (!checkKeptFacts(error)) return false;
  auto deleted =
      sqliteStore_->deleteRecordsFromTableWithName(kTLMRawEventsTable, "rowid <= ?", {Value(maxRowID)}, error);
  if (!deleted) return false;
  keptRowsChanged(kept_.rawEvents, -*deleted);
  // Their metadata is the caller's to delete.
  if (*deleted > 0) kept_.metadataAllUsed = false;
  if (maxRowID >= kept_.metadataSearchStart) kept_.metadataSearchStart = 0;
  return true;
}

std::optional<std::int64_t> TLMDatabase::deleteRawEventsOverAbsoluteLimit(Error* error) {
  // A cap of 0 keeps no older event either.
  const std::int64_t keep = std::max<std::int64_t>(settings_->maxEventsStored() - 1, 0);
  // This runs before every stored event, so the common answers come without stepping through
  // the table. Rowids only grow: the span from the oldest to the newest row bounds the row
  // count, and while it fits nothing is over the limit. Past that, the count decides (read from
  // the table's pages once, then kept by this object's own writes); when the rowids have no gap
  // the newest rows to keep follow from it, else the rows to delete are stepped over from the
  // oldest (as many as go, however many stay).
  if (!checkKeptFacts(error)) return std::nullopt;
  auto ends = sqliteStore_->recordsForQuery(
      "SELECT (SELECT min(rowid) FROM raw_events) AS oldest, (SELECT max(rowid) FROM raw_events) "
      "AS newest",
      {}, error);
  if (!ends) return std::nullopt;
  if (ends->empty() || !(*ends)[0].get("oldest").isNumber()) return 0;
  const std::int64_t oldestRowID = (*ends)[0].get("oldest").int64Value().value_or(0);
  const std::int64_t newestRowID = (*ends)[0].get("newest").int64Value().value_or(0);
  const std::int64_t span = newestRowID - oldestRowID + 1;
  if (span <= keep) return 0;
  auto count = keptRowCount(kept_.rawEvents, kTLMRawEventsTable, error);
  if (!count) return std::nullopt;
  if (*count <= keep) return 0;
  std::int64_t maxRowID = 0;
  if (*count == span) {
    // No gap: the newest `keep` rows are the last `keep` rowids.
    maxRowID = newestRowID - keep;
  } else {
    auto boundary = sqliteStore_->numberForQuery(
        "SELECT rowid FROM raw_events ORDER BY rowid LIMIT 1 OFFSET ?", {Value(*count - keep - 1)},
        error);
    if (!boundary) return std::nullopt;
    if (boundary->isNull()) return 0;
    maxRowID = boundary->int64Value().value_or(0);
  }
  // Other unused rows stay, above all the one just stored for the event the caller inserts next.
  return deleteRawEventsAndTheirMetadata(maxRowID, pendingMetadataFingerprint_, error);
}

std::optional<std::int64_t> TLMDatabase::deleteRawEventsAndTheirMetadata(
    std::int64_t maxRowID, std::optional<std::int64_t> keep, Error* error) {
  const platform::Array oldest{Value(maxRowID)};
  // The fingerprints of the events about to go: only their metadata can be orphaned here.
  // (By rowid: the fingerprint index would have the planner read every entry.)
  auto used = sqliteStore_->recordsForQuery(
      "SELECT DISTINCT metadata_fingerprint FROM raw_events NOT INDEXED WHERE rowid <= ?", oldest,
      error);
  if (!used) return std::nullopt;
  auto deleted =
      sqliteStore_->deleteRecordsFromTableWithName(kTLMRawEventsTable, "rowid <= ?", oldest, error);
  if (!deleted) return std::nullopt;
  keptRowsChanged(kept_.rawEvents, -*deleted);
  if (*deleted == 0) return deleted;
  if (maxRowID >= kept_.metadataSearchStart) kept_.metadataSearchStart = 0;
  for (const auto& row : *used) {
    const Value& fingerprint = row.get("metadata_fingerprint");
    if (!fingerprint.isNumber()) continue;
    if (keep && *keep == fingerprint.int64Value()) continue;
    auto orphaned = sqliteStore_->deleteRecordsFromTableWithName(
        kTLMRawEventsMetadataTable,
        "metadata_fingerprint = ?1 AND NOT EXISTS (SELECT 1 FROM raw_events WHERE "
        "metadata_fingerprint = ?1)",
        {fingerprint}, error);
    if (!orphaned) return std::nullopt;
    keptRowsChanged(kept_.metadata, -*orphaned);
  }
  return deleted;
}

bool TLMDatabase::deleteStaleRawEventsDataOlderThanMaxAge(double maxAge, Error* error) {
  if (maxAge < 0) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Cannot delete stale raw events given negative time period");
  }
  if (!checkKeptFacts(error)) return false;
  auto deleted = sqliteStore_->deleteRecordsFromTableWithName(
      kTLMRawEventsTable, "abs(timestamp - cast(? as REAL)) > cast(? as REAL)",
      {Value(settings_->now()), Value(maxAge)}, error);
  if (!deleted) return false;
  keptRowsChanged(kept_.rawEvents, -*deleted);
  if (*deleted == 0) return true;
  kept_.metadataAllUsed = false;
  kept_.metadataSearchStart = 0;
  return deleteUnusedRawEventsMetadata(error);
}

std::optional<std::int64_t> TLMDatabase::nextMetadataFingerprintToProcess(Error* error) {
  auto rows = sqliteStore_->recordsForQuery("SELECT metadata_fingerprint, MIN(rowid) FROM raw_events",
                                            {}, error);
  if (!rows) return std::nullopt;
  if (rows->size() != 1) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Only one event metadata should be processed");
    return std::nullopt;
  }
  const Value& fingerprint = rows->front().get("metadata_fingerprint");
  if (!fingerprint.isNumber()) return std::nullopt;
  return fingerprint.int64Value();
}

std::optional<TLMRawEventData> TLMDatabase::rawEventDataFromDictionary(const TLMRecord& row,
                                                                       Error* error) {
  if (row.empty()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Received empty dictionary for getting raw event data");
    return std::nullopt;
  }
  const Value& rowID = row.get("rowid");
  if (!rowID.isNumber()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Unable to find row ID in the database dictionary");
    return std::nullopt;
  }
  const platform::Bytes* data = row.get("data").dataPtr();
  if (data == nullptr) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Unable to find event data in the database dictionary");
    return std::nullopt;
  }
  const Value& fingerprint = row.get("metadata_fingerprint");
  if (!fingerprint.isNumber()) {
    TLMStoreSetError(error, TLMStoreErrorBadArgument,
                     "Unable to find event metadata in the database dictionary");
  }
  auto proto = TLMPBEvent::initWithBuffer(data->data(), data->size());
  if (!proto) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to parse event from data");
    return std::nullopt;
  }
  auto fields = TLMEvent::fieldsFromEventProto(
      *proto, [this](const std::optional<std::string>& parameterName) {
        if (!parameterName) return;
        log(4, 12015,
            "Unknown event parameter type from converting an event from database. Event param name",
            {Value(TLMFormattedParameterName(TLMObject(*parameterName)))});
      });
  if (!fields) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Cannot create an event from database. Origin parameter is not a string");
    return std::nullopt;
  }
  if (!fields->origin) {
    TLMStoreSetError(error, TLMStoreErrorBadState,
                     "Cannot create an event from database. Missing origin parameter");
    return std::nullopt;
  }
  // The name and the time are kept in their own columns; the message carries the rest.
  const std::string* name = row.get("name").stringPtr();
  TLMEventPtr event = TLMEvent::initWithOrigin(
      *fields->origin, false, name != nullptr ? *name : std::string(),
      row.get("timestamp").doubleValue().value_or(0), fields->previousTimestamp, fields->parameters);
  auto result = TLMRawEventData::initWithRawEvent(event, rowID.int64Value().value_or(-1),
                                                  fingerprint.int64Value().value_or(0));
  if (!result) {
    TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to initialize raw event data from dictionary");
  }
  return result;
}

std::int64_t TLMRawEventEncodedSize(const TLMRecord& row) {
  // The row holds the message without its name; the name is field 2, length-delimited.
  auto varintSize = [](std::uint64_t value) {
    std::int64_t size = 1;
    while (value >= 0x80) {
      value >>= 7;
      ++size;
    }
    return size;
  };
  const platform::Bytes* data = row.get("data").dataPtr();
  const std::string* name = row.get("name").stringPtr();
  std::int64_t size = data != nullptr ? static_cast<std::int64_t>(data->size()) : 0;
  if (name != nullptr) {
    const auto length = static_cast<std::uint64_t>(name->size());
    size += 1 + varintSize(length) + static_cast<std::int64_t>(length);
  }
  return size;
}

std::optional<bool> TLMDatabase::containsRealtimeRawEventsWithError(Error* error) {
  return booleanForQuery(kTLMRealtimeRawEventsQuery, {}, error);
}

// MARK: - Queue

std::optional<bool> TLMDatabase::isQueuedBundleTableEmpty(Error* error) {
  return booleanForQuery("SELECT NOT EXISTS (SELECT 1 FROM queue LIMIT 1)", {}, error);
}

bool TLMDatabase::insertBundle(const TLMPBMeasurementBundle& bundle, bool isRealtime,
                               Error* error) {
  auto bytes = encoded(bundle);
  if (!bytes || bytes->empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Failed to insert nil bundle");
  }
  if (NANOGetString(bundle, TLMPBMeasurementBundleSlot::app_id).value_or("").empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Failed to insert bundle without App ID");
  }
  const std::int64_t endMillis = NANOGetInt64(bundle, TLMPBMeasurementBundleSlot::end_timestamp_millis);
  if (endMillis <= 0) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Failed to insert bundle without valid timestamp");
  }
  if (!maybeDeleteStaleData(error).has_value()) return false;
  const double end = static_cast<double>(endMillis) / 1000.0;
  if (std::fabs(settings_->now() - end) > settings_->maxQueueTime()) {
    log(4, 12016, "Storing bundle outside of the max uploading time span");
  }
  Error gzipError;
  platform::Bytes compressed = obx_dataByGzippingData(*bytes, &gzipError);
  if (compressed.empty()) {
    log(1, 12017, "Cannot compress data. Error", {Value(gzipError.fullDescription())});
    return TLMStoreSetError(error, TLMStoreErrorBadState, "Failed to compress bundle");
  }
  log(7, 12018, "Saving bundle. size (bytes)", {Value(std::to_string(compressed.size()))});
  TLMRecord record{{"bundle_end_timestamp", Value(end)},
                   {"data", Value(std::move(compressed))},
                   {"is_realtime", Value(isRealtime ? 1 : 0)},
                   {"retry_count", Value(NANOGetInt32(bundle, TLMPBMeasurementBundleSlot::retry_count))}};
  return sqliteStore_->upsertRecord(record, kTLMQueueTable, error);
}

bool TLMDatabase::incrementRetryCounterForBundlesWithIDs(const std::vector<std::int64_t>& rowIDs,
                                                         Error* error) {
  if (rowIDs.empty()) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument, "Failed to increment retry counter");
  }
  auto saturated = booleanForQuery("SELECT EXISTS (SELECT 1 FROM queue WHERE retry_count = ? LIMIT 1)",
                                   {Value(kMaxRetryCount)}, error);
  if (!saturated) return false;
  if (*saturated) {
    log(1, 12054, "The number of upload retries exceeds the limit. Will remain unchanged.");
  }
  std::string condition;
  platform::Array parameters;
  if (!rowIDCondition(rowIDs, condition, parameters, error)) return false;
  parameters.push_back(Value(kMaxRetryCount));
  return sqliteStore_->increaseColumn("retry_count", 1, kTLMQueueTable,
                                      condition + " AND ifnull(retry_count, 0) < ?", parameters,
                                      error);
}

std::optional<std::shared_ptr<TLMPBMeasurementBundle>> TLMDatabase::bundleFromQueueRow(
    const TLMRecord& row) {
  if (row.empty()) {
    log(1, 12052, "Cannot process empty rowData");
    return std::nullopt;
  }
  const platform::Bytes* data = row.get("data").dataPtr();
  if (data == nullptr || data->empty()) {
    log(1, 12049, "Cannot decompress an empty bundle data");
    return std::nullopt;
  }
  Error inflateError;
  platform::Bytes inflated = obx_dataByInflatingGzippedData(*data, &inflateError);
  if (inflated.empty()) {
    log(1, 12050, "Cannot decompress data. Error", {Value(inflateError.fullDescription())});
    return std::nullopt;
  }
  auto bundle = TLMPBMeasurementBundle::initWithBuffer(inflated.data(), inflated.size());
  if (!bundle) {
    log(1, 12051, "Unable to parse bundle from decompressed data");
    return std::nullopt;
  }
  const Value& retryCount = row.get("retry_count");
  if (retryCount.isNumber() && retryCount.int64Value().value_or(0) > 0) {
    NANOSetInt32(*bundle, TLMPBMeasurementBundleSlot::retry_count,
                 static_cast<std::int32_t>(std::min<std::int64_t>(*retryCount.int64Value(),
                                                                  kMaxRetryCount)));
  }
  return bundle;
}

std::optional<std::vector<TLMBundleRowIDPair>> TLMDatabase::queryBundlesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, Error* error) {
  return bundlesInQueueOrder(countLimit, sizeLimit, nullptr, error);
}

std::optional<std::vector<TLMBundleRowIDPair>> TLMDatabase::queryUnclaimedBundlesWithCountLimit(
    std::int64_t countLimit, std::int64_t sizeLimit, std::int64_t claimant, double bound, Error* error,
    std::int64_t pidNamespace) {
  const double now = settings_->now();
  // Each holder's process looked up once per call.
  std::map<std::int64_t, bool> runs;
  auto free = [&](const TLMRecord& row) {
    auto integer = [&row](const char* column) {
      const Value& value = row.get(column);
      return value.isNumber() ? value.int64Value().value_or(0) : 0;
    };
    const std::int64_t process = integer(kTLMQueueClaimedByColumn);
    if (process == 0) return true;
    const double until = row.get(kTLMQueueClaimedUntilColumn).doubleValue().value_or(0);
    if (until <= now || until > now + bound) return true;
    // A process id is judged only in the namespace it was taken in: elsewhere it may name no
    // process, or another one, while its holder runs.
    const std::int64_t space = integer(kTLMQueueClaimedInColumn);
    if (space == 0 || space != pidNamespace) return false;
    if (process == claimant) return true;
    auto known = runs.find(process);
    if (known == runs.end()) known = runs.emplace(process, processRuns(process)).first;
    return !known->second;
  };
  return bundlesInQueueOrder(countLimit, sizeLimit, free, error);
}

std::optional<std::vector<TLMBundleRowIDPair>> TLMDatabase::bundlesInQueueOrder(
    std::int64_t countLimit, std::int64_t sizeLimit, const std::function<bool(const TLMRecord&)>& free,
    Error* error) {
  // Rows are decoded as they are read (oldest bundle end first, from the index), and the read
  // ends with the bundle that fills the batch: a full queue costs no more than a short one.
  std::vector<TLMBundleRowIDPair> pairs;
  std::vector<std::int64_t> unreadable;
  std::int64_t total = 0;
  std::int64_t taken = 0;
  bool full = false;
  // Without a filter the count limit is the query's; with one, the rows others hold are passed.
  const std::string query =
      free ? "SELECT rowid, data, retry_count, " + std::string(kTLMQueueClaimedByColumn) + ", " +
                 kTLMQueueClaimedUntilColumn + ", " + kTLMQueueClaimedInColumn +
                 " FROM queue ORDER BY bundle_end_timestamp ASC"
           : "SELECT rowid, data, retry_count FROM queue ORDER BY bundle_end_timestamp ASC LIMIT ?";
  auto rows = sqliteStore_->recordsForQuery(
      query, free ? platform::Array{} : platform::Array{Value(countLimit)}, error,
      [&](std::size_t, const TLMRecord& row) {
        if (full || taken >= countLimit) return false;
        const Value& rowID = row.get("rowid");
        if (!rowID.isNumber()) return true;
        if (free && !free(row)) return true;
        ++taken;
        auto bundle = bundleFromQueueRow(row);
        if (!bundle) {
          // It can never be sent: keeping it would only hold back the bundles behind it.
          unreadable.push_back(*rowID.int64Value());
          return true;
        }
        auto bytes = (*bundle)->protoBuffer();
        const auto size = static_cast<std::int64_t>(bytes ? bytes->size() : 0);
        if (!pairs.empty() && total + size > sizeLimit) return false;
        total += size;
        pairs.emplace_back(std::move(*bundle), *rowID.int64Value());
        full = total > sizeLimit;
        return true;
      });
  if (!rows) return std::nullopt;
  if (!unreadable.empty() && !deleteBundlesWithRowIDs(unreadable, error)) return std::nullopt;
  return pairs;
}

bool TLMDatabase::claimBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, std::int64_t claimant,
                                         double until, Error* error, std::int64_t pidNamespace) {
  if (rowIDs.empty()) return true;
  // One statement for all the rows (at most a batch of them, as the delete of a sent batch).
  std::string condition;
  platform::Array parameters;
  if (!rowIDCondition(rowIDs, condition, parameters, error)) return false;
  return sqliteStore_->updateRecords(TLMRecord{{kTLMQueueClaimedByColumn, Value(claimant)},
                                               {kTLMQueueClaimedUntilColumn, Value(until)},
                                               {kTLMQueueClaimedInColumn, Value(claimant == 0 ? 0 : pidNamespace)}},
                                     kTLMQueueTable, condition, parameters, error);
}

bool TLMDatabase::releaseBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, Error* error) {
  return claimBundlesWithRowIDs(rowIDs, 0, 0, error, 0);
}

std::optional<std::vector<TLMBundleRowIDPair>> TLMDatabase::queryBundlesWithRowIDs(
    const std::vector<std::int64_t>& rowIDs, Error* error) {
  std::string condition;
  platform::Array parameters;
  if (!rowIDCondition(rowIDs, condition, parameters, error)) return std::nullopt;
  auto rows = sqliteStore_->recordsForQuery(
      "SELECT rowid, data, retry_count FROM queue WHERE " + condition, parameters, error);
  if (!rows) return std::nullopt;
  std::vector<TLMBundleRowIDPair> pairs;
  std::vector<std::int64_t> unreadable;
  for (const auto& row : *rows) {
    const Value& rowID = row.get("rowid");
    if (!rowID.isNumber()) continue;
    if (auto bundle = bundleFromQueueRow(row)) {
      pairs.emplace_back(std::move(*bundle), *rowID.int64Value());
    } else {
      unreadable.push_back(*rowID.int64Value());
    }
  }
  if (!unreadable.empty() && !deleteBundlesWithRowIDs(unreadable, error)) return std::nullopt;
  return pairs;
}

bool TLMDatabase::deleteBundlesWithRowIDs(const std::vector<std::int64_t>& rowIDs, Error* error) {
  std::string condition;
  platform::Array parameters;
  if (!rowIDCondition(rowIDs, condition, parameters, error)) return false;
  return sqliteStore_->deleteRecordsFromTableWithName(kTLMQueueTable, condition, parameters, error)
      .has_value();
}

std::optional<bool> TLMDatabase::maybeDeleteStaleData(Error* error) {
  const double now = settings_->now();
  const double last = settings_->lastDeleteStaleBundlesTimestamp();
  if (std::fabs(now - last) <= settings_->databaseDeleteStaleBundlesInterval()) return false;
  const double maxAge = settings_->maxQueueTime();
  if (!deleteStaleRawEventsDataOlderThanMaxAge(maxAge, error)) return std::nullopt;
  if (!deleteStaleBundlesOlderThanMaxAge(maxAge, error)) return std::nullopt;
  settings_->setLastDeleteStaleBundlesTimestamp(now);
  return true;
}

bool TLMDatabase::deleteStaleBundlesOlderThanMaxAge(double maxAge, Error* error) {
  if (maxAge < 0) {
    return TLMStoreSetError(error, TLMStoreErrorBadArgument,
                            "Cannot delete stale bundles after negative time period");
  }
  return sqliteStore_
      ->deleteRecordsFromTableWithName(
          kTLMQueueTable, "abs(bundle_end_timestamp - cast(? as REAL)) > cast(? as REAL)",
          {Value(settings_->now()), Value(maxAge)}, error)
      .has_value();
}

std::optional<double> TLMDatabase::queryLatestBundleTime(Error* error) {
  auto number = sqliteStore_->numberForQuery("SELECT MAX(bundle_end_timestamp) FROM queue", {}, error);
  if (!number || number->isNull()) return std::nullopt;
  return number->doubleValue();
}

std::optional<bool> TLMDatabase::containsRealtimeBundlesWithError(Error* error) {
  return booleanForQuery(kTLMRealtimeBundlesQuery, {}, error);
}
