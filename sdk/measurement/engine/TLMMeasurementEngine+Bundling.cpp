// Raw-event bundling: the oldest group of stored raw events (one metadata record, consecutive
// rows of one clock hour, bounded in count and size) becomes one bundle in the upload queue,
// with the per-bundle bookkeeping (conversion and real-time daily limits, event aggregates,
// engagement, audiences, sampling) done in the same transaction.
//
// Bundling never stalls on a group: a first row at or above the size limit travels alone, and a
// row that cannot be read back is consumed with its group (it can never be bundled).
#include <algorithm>
#include <cmath>
#include <limits>
#include <utility>

#include "foundation/Bundle.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMDiagnosticMonitor.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMEventUtil.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

using Slot = TLMPBMeasurementBundleSlot;

// The clock hour of a time: whole seconds (floor) divided by 3600, truncated.
double hourOf(double timestamp) { return std::trunc(std::floor(timestamp) / 3600.0); }

std::int64_t intParameter(const TLMEvent& event, const char* name, std::int64_t fallback) {
  const TLMValue* value = event.parameters().find(name);
  return value != nullptr && value->isInt64() ? value->int64Value() : fallback;
}

}  // namespace

// Deletes the raw events up to `maxRowID` and, when no raw event of the fingerprint is left, its
// metadata record.
bool TLMRemoveRawEventsAndMetadataFingerprint(TLMDatabase& database, std::int64_t maxRowID,
                                              std::int64_t fingerprint) {
  platform::Error error;
  if (!database.deleteRawEventsWithMaxRowID(maxRowID, &error)) {
    tlm_monitor()->logWithLevel(1, 23119, "Unable to delete raw events. RowID, error", platform::Value(maxRowID),
                                tlm_errorText(error));
    return false;
  }
  auto remaining = database.containsRawEventWithMetadataFingerprint(fingerprint, &error);
  if (!remaining) {
    tlm_monitor()->logWithLevel(1, 23120, "Unable to query existence of raw event. Metadata, error",
                                platform::Value(fingerprint), tlm_errorText(error));
    return false;
  }
  if (!*remaining && !database.deleteRawEventMetadataWithMetadataFingerprint(fingerprint, &error)) {
    tlm_monitor()->logWithLevel(1, 23121, "Unable to delete raw event metadata. Metadata, error",
                                platform::Value(fingerprint), tlm_errorText(error));
    return false;
  }
  return true;
}

bool TLMMeasurementEngine::hasDataToUpload() {
  if (!database_) return false;
  platform::Error error;
  auto queueEmpty = database_->isQueuedBundleTableEmpty(&error);
  if (!queueEmpty) {
    tlm_monitor()->logWithLevel(1, 23117, "Failed to check if queue table is empty. Error", tlm_errorText(error));
    return false;
  }
  if (!*queueEmpty) return true;
  auto rawEmpty = database_->isRawEventsTableEmpty(&error);
  if (!rawEmpty) {
    tlm_monitor()->logWithLevel(1, 23118, "Failed to check if raw events table is empty. Error",
                                tlm_errorText(error));
    return false;
  }
  return !*rawEmpty;
}

bool TLMMeasurementEngine::removeBundlesFromDatabaseWithIDs(const std::vector<std::int64_t>& bundleIDs) {
  if (!database_) return false;
  return database_->performTransaction([&] {
    platform::Error error;
    if (database_->deleteBundlesWithRowIDs(bundleIDs, &error)) return true;
    tlm_monitor()->logWithLevel(1, 23122, "Failed to delete bundles from database. Error", tlm_errorText(error));
    return false;
  });
}

bool TLMMeasurementEngine::bundleRawEvents(const std::function<bool()>& andThen, bool lastPass,
                                           std::optional<bool>* andThenCommitted) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("bundleRawEvents");
  if (!database_) return false;
  bool made = false;
  bundledMonitorSampleTimestamp_.reset();
  bool committed = false;
  bool ran = false;
  {
    // The audiences' reads are shared by the events of this bundle and dropped with its
    // transaction, committed or rolled back.
    struct Pass {
      std::shared_ptr<TLMAudienceEvaluator> audience;
      explicit Pass(std::shared_ptr<TLMAudienceEvaluator> a) : audience(std::move(a)) {
        if (audience) audience->beginBundlingPass();
      }
      ~Pass() {
        if (audience) audience->endBundlingPass();
      }
    } pass(audience());
    committed = database_->performTransaction([&] {
      if (!bundleRawEventsInTransaction(made)) return false;
      if (!andThen) return true;
      if (made && !lastPass) {
        // Raw events left (or a failing read): the next pass runs it.
        platform::Error error;
        if (database_->nextMetadataFingerprintToProcess(&error) || !error.domain.empty()) return true;
      }
      ran = true;
      return andThen();
    });
  }
  const auto sampled = std::exchange(bundledMonitorSampleTimestamp_, std::nullopt);
  if (ran && andThenCommitted != nullptr) *andThenCommitted = committed;
  if (!committed) return false;
  if (sampled) persistedConfig_->setLastMonitorDataSampledTimestamp(*sampled);
  if (made) suspendedUploadTimestamp_.store(0);
  return made;
}

bool TLMMeasurementEngine::bundleRawEventsInTransaction(bool& made) {
  TLMRemoteConfig& config = this->config();
  TLMDatabase& db = *database_;
  platform::Error error;
  auto fingerprint = db.nextMetadataFingerprintToProcess(&error);
  if (!fingerprint) {
    if (error.domain.empty()) return true;  // nothing to bundle
    tlm_monitor()->logWithLevel(1, 23095, "Unable to fetch next event metadata. Error", tlm_errorText(error));
    return false;
  }

  // The rows of one bundle: consecutive row ids of one clock hour, at most the per-bundle count,
  // and together below the size limit; a first row that alone reaches the limit travels alone.
  const std::int64_t maxEvents = config.uploadMaxEventsPerBundle();
  const std::int64_t sizeLimit = config.uploadMaxSizeLimitBytes();
  double bundleHour = 0;
  std::int64_t lastRowID = -1;
  std::int64_t totalSize = 0;
  std::size_t acceptedRows = 0;
  bool alone = false;
  // Each row is decoded once, here; its size comes from its stored bytes.
  std::vector<TLMRawEventData> decoded;
  auto filter = [&](std::size_t index, const TLMRecord& row) {
    if (index > 0 && (alone || static_cast<std::int64_t>(index) >= maxEvents)) return false;
    const std::int64_t rowID = row.get("rowid").int64Value().value_or(-1);
    const double hour = hourOf(row.get("timestamp").doubleValue().value_or(0));
    if (index > 0 && (hour != bundleHour || rowID != lastRowID + 1)) return false;
    std::int64_t size = 0;
    platform::Error rowError;
    auto data = db.rawEventDataFromDictionary(row, &rowError);
    if (data) {
      size = TLMRawEventEncodedSize(row);
    } else {
      tlm_monitor()->logWithLevel(4, 23096, "Failed to bundle raw event. Error", tlm_errorText(rowError));
    }
    if (index == 0) {
      bundleHour = hour;
      if (size >= sizeLimit) {
        tlm_monitor()->logWithLevel(4, 23190,
                                    "Raw event reaches the batch size limit. Bundling it alone. Size, limit",
                                    platform::Value(size), platform::Value(sizeLimit));
        alone = true;
      }
    } else if (totalSize + size >= sizeLimit) {
      return false;
    }
    totalSize += size;
    lastRowID = rowID;
    ++acceptedRows;
    if (data) decoded.push_back(std::move(*data));
    return true;
  };
  error = {};
  auto rows = db.rawEventRowsWithMetadataFingerprint(*fingerprint, &error, filter);
  const std::int64_t maxRowID = lastRowID;
  auto consumeGroup = [&] {
    if (!TLMRemoveRawEventsAndMetadataFingerprint(db, maxRowID, *fingerprint)) return false;
    made = true;
    return true;
  };
  if (!rows || decoded.empty()) {
    // Rows were read but none could be decoded: they can never be bundled.
    if (rows && acceptedRows > 0) return consumeGroup();
    tlm_monitor()->logWithLevel(1, 23097, "Inconsistent state, raw event is expected. Error", tlm_errorText(error));
    return false;
  }
  error = {};
  auto bundle = db.queryRawEventsMetadataWithFingerprint(*fingerprint, &error);
  if (!bundle) {
    tlm_monitor()->logWithLevel(1, 23098, "Unable to fetch event metadata. Metadata fingerprint, error",
                                platform::Value(*fingerprint), tlm_errorText(error));
    return false;
  }

  // Rejected events.
  std::vector<TLMEventPtr> events;
  for (const auto& raw : decoded) {
    const TLMEventPtr& event = raw.rawEvent();
    if (config.isEventBlacklisted(event->name())) {
      tlm_monitor()->logWithLevel(4, 23099, "Rejected event. Event name", tlm_nameContext(*event));
      continue;
    }
    if (config.redundantEngagementRemovalEnabled() && event->name() == "_e" &&
        intParameter(*event, "_fr", 0) == 1) {
      continue;
    }
    events.push_back(event);
  }
  if (events.empty()) {
    if (!consumeGroup()) return false;
    tlm_monitor()->logWithLevel(4, 23100, "Rejected all events.");
    return true;
  }

  double start = std::numeric_limits<double>::max();
  double end = std::numeric_limits<double>::denorm_min();
  bool sessionStarted = false;
  // The time a bundle's user properties are evaluated at: the session start's (none: each
  // property's own last-set time), or the bundle start when the configuration says so.
  const bool propertiesAtBundleStart = config.isPropertyFilterResultBundleTimestampEnabled();
  std::optional<double> sessionEvaluationTime;
  for (const auto& event : events) {
    start = std::min(start, event->timestamp());
    end = std::max(end, event->timestamp());
    if (event->name() == "_s") {
      sessionStarted = true;
      if (!propertiesAtBundleStart) sessionEvaluationTime = event->timestamp();
    }
  }

  // Audience evaluation: one set of sequence caches for every event and property of the bundle.
  auto audience = this->audience();
  if (!audience) audience = std::make_shared<TLMNullAudienceEvaluator>();
  TLMSequenceTimestampsCaches caches;
  const auto userAttributes = NANOGetArray<TLMPBUserAttribute>(*bundle, Slot::user_attributes)
                                  .value_or(std::vector<std::shared_ptr<TLMPBUserAttribute>>{});
  auto evaluateUserAttributes = [&](std::optional<double> evaluationTime) {
    for (const auto& attribute : userAttributes) {
      if (!audience->evaluateFiltersForNanoUserProperty(*attribute, caches, evaluationTime)) return false;
    }
    return true;
  };
  if (sessionStarted && config.isAudienceScopedFiltersEnabled()) {
    if (!audience->clearEvaluationResultsForSessionScopedFilters()) return false;
    if (!evaluateUserAttributes(sessionEvaluationTime)) return false;
  }
  if (sessionStarted && config.isSessionScopedEventAggregatesEnabled()) {
    if (!db.clearCurrentSessionCounts(&error)) {
      tlm_monitor()->logWithLevel(1, 23185, "Failed to clear event session counts. Error", tlm_errorText(error));
      return false;
    }
  }
  NANOSetInt64(*bundle, Slot::start_timestamp_millis, TLMMillisecondsFromSeconds(start));
  NANOSetInt64(*bundle, Slot::end_timestamp_millis, TLMMillisecondsFromSeconds(end));

  const double dayNumber = std::floor((now() - persistedConfig_->midnightOffset()) / 86400.0);
  const auto day =
      static_cast<std::int32_t>(std::clamp(dayNumber, double(std::numeric_limits<std::int32_t>::min()),
                                           double(std::numeric_limits<std::int32_t>::max())));
  std::int64_t engagement = 0;
  bool realtime = false;
  std::vector<std::shared_ptr<TLMPBEvent>> protos;
  for (TLMEventPtr event : events) {
    if (config.isEventCustomConversion(event->name())) event->setConversion(true);
    auto counts = db.dailyCounts(&error);
    if (!counts) {
      tlm_monitor()->logWithLevel(1, 23101, "Failed to query daily event counts. Error", tlm_errorText(error));
      return false;
    }
    bool countsChanged = false;
    // Stored events come back without their public flag: the name decides.
    const bool isPublic = TLMEventUtilIsPublicName(TLMObject(event->name()));
    if (isPublic && event->isConversion()) {
      if (counts->day() == day && counts->conversionsCount() >= config.maxConversionsPerDay()) {
        event->setConversion(false);
        tlm_monitor()->logWithLevel(
            4, 23102, "Too many conversion events. Not logging event as conversion. Name, limit",
            tlm_nameContext(*event), platform::Value(std::int64_t{config.maxConversionsPerDay()}));
      } else {
        counts->incrementCountsForCurrentDay(day, false, true);
        countsChanged = true;
      }
    }
    if (event->isRealtime() || event->isConversion()) {
      if (TLMIsSubjectToMaxRealtimeCountPerDay(*event)) {
        if (counts->day() == day && counts->realtimeCount() >= config.maxRealtimeEventCountPerDay()) {
          event->setRealtime(false);
          tlm_monitor()->logWithLevel(4, 23104,
                                      "Number of real-time events is over the real-time event count daily limit. "
                                      "Event is no longer real-time. Event name, parameters",
                                      tlm_nameContext(*event), tlm_parametersContext(*event));
        } else {
          counts->incrementRealtimeCountsForCurrentDay(day);
          countsChanged = true;
          event->setRealtime(true);
          tlm_monitor()->logWithLevel(7, 23103,
                                      "Event is under real-time event count daily limit. Marking the event as "
                                      "real-time. Event name, parameters",
                                      tlm_nameContext(*event), tlm_parametersContext(*event));
        }
      } else {
        event->setRealtime(true);
        tlm_monitor()->logWithLevel(7, 23105,
                                    "Event is not subject to real-time event count daily limit. Marking an event "
                                    "as real-time. Event name, parameters",
                                    tlm_nameContext(*event), tlm_parametersContext(*event));
      }
    }
    if (countsChanged && !db.updateDailyCounts(*counts, &error)) {
      tlm_monitor()->logWithLevel(1, 23106, "Failed to update daily event counts. Name, error",
                                  tlm_nameContext(*event), tlm_errorText(error));
      return false;
    }
    error = {};
    auto aggregates = db.eventAggregatesWithName(event->name(), &error);
    if (!aggregates && !error.domain.empty()) {
      tlm_monitor()->logWithLevel(1, 23107, "Failed to query event aggregates. Name, error", tlm_nameContext(*event),
                                  tlm_errorText(error));
      return false;
    }
    if (aggregates) {
      aggregates->incrementLifetimeCount();
      aggregates->incrementCurrentBundleCount();
      aggregates->incrementCurrentSessionCount();
      // The aggregates are the app's, shared by its processes, whose events reach the store in
      // the order they were stored, not in that of their times: a later last time is no fault
      // here. A clock set back in one process is said where its events are stored.
      if (auto copy = event->copyWithPreviousTimestamp(aggregates->lastFireTimestamp(), false)) {
        copy->setConversion(event->isConversion());
        copy->setRealtime(event->isRealtime());
        event = copy;
      }
      aggregates->setLastFireTimestamp(event->timestamp());
    } else {
      aggregates = TLMEventAggregates::initWithName(event->name(), 1, 1, 1, event->timestamp());
    }
    if (aggregates && !db.updateEventAggregates(*aggregates, &error)) {
      tlm_monitor()->logWithLevel(1, 23108, "Failed to update event aggregates. Error", tlm_errorText(error));
      return false;
    }
    if (event->name() == "_iap" && config.parsePurchaseDataEnabled() && TLMAEU::isASRS()) {
      TLMObjectDictionary parameters(event->parameters());
      parameters.set("sandbox", TLMValue(std::int64_t{1}));
      if (auto copy = event->copyWithParameters(parameters)) event = copy;
    }
    if (event->parameters().contains("_et") && !event->parameters().contains("_fr")) {
      const std::int64_t et = intParameter(*event, "_et", 0);
      if (et > 0 && engagement <= std::numeric_limits<std::int64_t>::max() - et) engagement += et;
    }
    if (!audience->evaluateFiltersForEvent(event, *aggregates, caches)) return false;
    if (auto proto = event->protoEvent()) protos.push_back(std::move(proto));
    realtime = realtime || event->isRealtime();
  }

  if (!updateUserEngagement(engagement, *bundle, false)) return false;
  if (config.isSessionScopedUserEngagementEnabled()) {
    if (sessionStarted && !db.deleteUserAttributeWithName("_se", &error)) {
      tlm_monitor()->logWithLevel(
          1, 23188, "Unable to delete session engagement property on session start. Error", tlm_errorText(error));
      return false;
    }
    if (!updateUserEngagement(engagement, *bundle, true)) return false;
  } else if (!db.deleteUserAttributeWithName("_se", &error)) {
    tlm_monitor()->logWithLevel(1, 23189,
                                "Unable to delete session engagement property when feature is disabled. Error",
                                tlm_errorText(error));
    return false;
  }

  if (config.isEventSamplingEnabled() && !tlm_monitor()->isDebugModeEnabled()) {
    auto sampled = sampleEvents(protos, &error);
    if (!sampled) return false;
    if (sampled->empty()) {
      if (!consumeGroup()) return false;
      tlm_monitor()->logWithLevel(4, 23159, "Bundle was dropped because no events were left after sampling");
      return true;
    }
    protos = std::move(*sampled);
  }
  NANOSetArray(*bundle, Slot::events, protos);

  auto appMetadata = db.queryAppMetadata(&error);
  if (!appMetadata) {
    tlm_monitor()->logWithLevel(1, 23111, "Unable to fetch app metadata for bundling events. Error",
                                tlm_errorText(error));
    return false;
  }
  const double previousStart = appMetadata->lastBundleStartTimestamp();
  const double previousEnd = appMetadata->lastBundleEndTimestamp();
  if (previousEnd > 0)
    NANOSetInt64(*bundle, Slot::previous_bundle_end_timestamp_millis,
                 TLMMillisecondsFromSeconds(previousEnd));
  if (previousStart > 0) {
    NANOSetInt64(*bundle, Slot::previous_bundle_start_timestamp_millis,
                 TLMMillisecondsFromSeconds(previousStart));
  } else if (previousEnd > 0) {
    NANOSetInt64(*bundle, Slot::previous_bundle_start_timestamp_millis,
                 TLMMillisecondsFromSeconds(previousEnd));
  }
  appMetadata->incrementLastBundleIndex();
  appMetadata->setLastBundleStartTimestamp(start);
  appMetadata->setLastBundleEndTimestamp(end);
  NANOSetInt32(*bundle, Slot::bundle_index, appMetadata->lastBundleIndex());
  if (!db.updateAppMetadata(*appMetadata, &error)) {
    tlm_monitor()->logWithLevel(1, 23112, "Unable to update the app metadata. Error", tlm_errorText(error));
    return false;
  }

  if (!evaluateUserAttributes(propertiesAtBundleStart ? std::optional<double>(start) : sessionEvaluationTime))
    return false;
  auto results = audience->resultsForBundling();
  if (!results) {
    tlm_monitor()->logWithLevel(1, 23113, "Unable to read audience evaluation results");
    return false;
  }
  NANOSetArray(*bundle, Slot::audience_evaluation_results, *results);

  const auto experiments = config.experimentIDs();
  if (!experiments.empty()) {
    platform::Array ids;
    for (auto id : experiments) ids.push_back(platform::Value(id));
    NANOSetArray(*bundle, Slot::experiment_ids, ids);
  }
  if (auto* diagnostic = dynamic_cast<TLMDiagnosticMonitor*>(tlm_monitor().get())) {
    auto data = diagnostic->monitoringDataForDispatchWithSamplePeriod(
        config.monitoringSamplePeriod(), persistedConfig_->lastMonitorDataSampledTimestamp());
    if (data && !data->empty()) {
      NANOSetString(*bundle, Slot::monitoring_data, *data);
      bundledMonitorSampleTimestamp_ = now();
    }
  }
  if (config.version() >= 0) NANOSetInt64(*bundle, Slot::config_version, config.version());
  if (NANOGetString(*bundle, Slot::app_id).value_or("").empty()) {
    std::string appID;
    if (auto identity = this->identity()) appID = identity->appID().value_or("");
    if (appID.empty()) appID = platform::Bundle::main()->bundleIdentifier().value_or("");
    NANOSetString(*bundle, Slot::app_id, appID);
    tlm_monitor()->logWithLevel(4, 23114, "Added missing App ID to event metadata.");
  }
  if (!db.insertBundle(*bundle, realtime, &error)) {
    tlm_monitor()->logWithLevel(1, 23115, "Unable to insert bundle. Error", tlm_errorText(error));
    return false;
  }
  tlm_monitor()->logWithLevel(7, 23116, "Bundle added to the upload queue. BundleID, timestamp (ms)",
                              platform::Value(std::int64_t{NANOGetInt32(*bundle, Slot::bundle_index)}),
                              platform::Value(TLMMillisecondsFromSeconds(start)));
  return consumeGroup();
}
