// Upload scheduling and the upload of queued bundles: when the next upload is due (regular
// interval, retry ladder after failures, back-off after the collector asked for it, suspension
// after sent bundles could not be deleted), the alarm that triggers it, the batch that is posted
// and what each reply does to the queue. Once the app's end began no upload starts, and the end
// waits for the one in flight until its reply's work is done.
//
// The batch is posted as the plain encoded "MeasurementBatch" message (no content encoding):
// the bundles inside were already compressed in the queue, and the collector decodes the body
// as it comes.
#include <unistd.h>

#include <cmath>
#include <limits>
#include <utility>

#include "measurement/engine/TLMAlarm.h"
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMUtil.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

namespace {

constexpr double kEpsilon = 2.220446049250313e-16;
constexpr double kMinimumAlarmDelay = 0.001;
// How long, beyond its request's timeout, an upload holds the queued bundles it sends: the most a
// process that still runs (or one that another process cannot judge: another PID namespace, or no
// /proc) keeps them from the others.
constexpr double kUploadClaimMargin = 600;

bool isZero(double t) { return std::fabs(t) < kEpsilon; }

std::string stringField(const TLMPBMeasurementBundle& bundle, std::int32_t slot) {
  return NANOGetString(bundle, slot).value_or(std::string());
}

}  // namespace

// MARK: - Schedule

bool TLMMeasurementEngine::isUploadSuspended() const { return !isZero(suspendedUploadTimestamp_.load()); }

void TLMMeasurementEngine::suspendUploads() {
  // The monotonic uptime; a machine that has just booted still reads as suspended.
  suspendedUploadTimestamp_.store(std::max(uptime(), 2 * kEpsilon));
}

void TLMMeasurementEngine::stopScheduling() {
  if (alarm_) alarm_->cancel();
  if (network_) network_->setReachabilityDelegate(nullptr);
  terminateBackgroundTask();
}

double TLMMeasurementEngine::nextUploadingTime() {
  if (!database_) return 0;
  TLMRemoteConfig& config = this->config();
  const double S = persistedConfig_->lastSuccessfulUploadTimestamp();
  const double F = persistedConfig_->lastFailedUploadTimestamp();
  platform::Error error;
  double L = 0;
  if (auto latest = database_->queryLatestRawEventTime(&error)) {
    L = *latest;
  } else if (!error.domain.empty()) {
    tlm_monitor()->logWithLevel(4, 23029, "Failed to query latest raw event time. Error", tlm_errorText(error));
  }
  error = {};
  if (auto latest = database_->queryLatestBundleTime(&error)) {
    L = std::max(L, *latest);
  } else if (!error.domain.empty()) {
    tlm_monitor()->logWithLevel(4, 23030, "Failed to query latest bundle time. Error", tlm_errorText(error));
  }
  if (isZero(L)) return 0;

  // A failed query counts as no real-time data.
  auto holdsRealtime = [this](std::optional<bool> (TLMDatabase::*query)(platform::Error*), std::int64_t code,
                              const char* message) {
    platform::Error queryError;
    auto answer = (database_.get()->*query)(&queryError);
    if (!answer) tlm_monitor()->logWithLevel(4, code, message, tlm_errorText(queryError));
    return answer.value_or(false);
  };
  const bool debug = tlm_monitor()->isDebugModeEnabled();
  const bool realtime = debug ||
                        holdsRealtime(&TLMDatabase::containsRealtimeBundlesWithError, 23031,
                                      "Failed to query for real-time bundle indicator. Error") ||
                        holdsRealtime(&TLMDatabase::containsRealtimeRawEventsWithError, 23032,
                                      "Failed to query for real-time raw event indicator. Error");
  const double interval = realtime ? config.uploadingRealTimeInterval() : config.uploadingInterval();
  const double now = this->now();
  // The newest data, but never later than now (a clock set back).
  const double A = now - std::fabs(L - now);
  double next = std::fabs(now - S) < interval ? S + interval : A + config.uploadingInitialDelayInterval();
  // The retry ladder applies only after a recorded failure that is not older than the data.
  if (!isZero(F) && A <= F) {
    const std::int32_t retries = config.uploadingRetryCount();
    const double retryInterval = config.uploadingRetryInterval();
    for (std::int32_t k = 0; k < retries; ++k) {
      next += std::ldexp(retryInterval, k);
      if (next > F) return next;
    }
    return 0;
  }
  if (debug) next = std::min(next, A + config.uploadingDebugModeInterval());
  return next;
}

void TLMMeasurementEngine::updateSchedule() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("updateSchedule");
  // The app is ending: nothing is due until it is active again (resumeUploadsAfterAppEnd).
  if (areUploadsHeldForAppEnd()) {
    if (alarm_) alarm_->cancel();
    return;
  }
  if (isUploadSuspended()) {
    const double suspended = suspendedUploadTimestamp_.load();
    const double elapsed = uptime() - suspended;
    if (std::fabs(elapsed) < kTLMMeasurementSuspensionTimeInterval) {
      if (suspensionTold_ != suspended) {
        suspensionTold_ = suspended;
        tlm_monitor()->logWithLevel(4, 23023, "Upload has been suspended. Will update scheduling later. Seconds",
                                    platform::Value(kTLMMeasurementSuspensionTimeInterval - elapsed));
      }
      stopScheduling();
      return;
    }
    suspendedUploadTimestamp_.store(0);
  }
  // The store's answers on one snapshot (they only read).
  bool hasData = false;
  double next = 0;
  auto readSchedule = [&] {
    hasData = hasDataToUpload();
    if (hasData) next = nextUploadingTime();
    return true;
  };
  if (database_) {
    database_->performReadTransaction(readSchedule);
  } else {
    readSchedule();
  }
  if (!hasData) {
    tlm_monitor()->logWithLevel(7, 23024, "No data to upload. Upload task will not be scheduled");
    stopScheduling();
    return;
  }
  if (isZero(next)) {
    tlm_monitor()->logWithLevel(7, 23025, "No next uploading time. Upload task will not be scheduled");
    stopScheduling();
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    tlm_monitor()->logWithLevel(7, 23026, "No network. Upload task will not be scheduled");
    if (network_) network_->setReachabilityDelegate(shared_from_this());
    if (alarm_) alarm_->cancel();
    terminateBackgroundTask();
    return;
  }
  network_->setReachabilityDelegate(nullptr);
  const double now = this->now();
  const double B = persistedConfig_->lastBackoffTimestamp();
  const double backoff = config().uploadingBackoffInterval();
  if (!isZero(B) && std::fabs(now - B) < backoff) next = std::max(next, B + backoff);
  if (!alarm_) return;
  if (auto pending = alarm_->scheduledTimestamp(); pending && *pending <= next) {
    tlm_monitor()->logWithLevel(
        7, 23027, "Do not schedule an upload task. Task already exists. Will be executed in seconds",
        platform::Value(*pending - now));
    return;
  }
  double delay = next - now;
  if (isZero(delay)) delay = kMinimumAlarmDelay;
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  alarm_->runAfterDelay(delay, [weak, scheduler = scheduler_] {
    // On the worker queue (its firing took its place there when due) the upload runs at once.
    if (scheduler->workerQueue()->isCurrent()) {
      if (auto self = weak.lock()) self->uploadData();
      return;
    }
    scheduler->scheduleOnWorkerQueueBlockID("TLMMeasurement:1615", [weak] {
      if (auto self = weak.lock()) self->uploadData();
    });
  });
  tlm_monitor()->logWithLevel(7, 23028, "Upload task scheduled to be executed in approx. (s)",
                              platform::Value(delay));
}

void TLMMeasurementEngine::reachabilityDidChange() {
  std::weak_ptr<TLMMeasurementEngine> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:966", [weak] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

void TLMMeasurementEngine::uploadDataOrRegisterAlarm() {
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else {
    updateSchedule();
  }
}

bool TLMMeasurementEngine::isNetworkReadyForRequest() {
  const bool uploading = network_ && network_->hasUploadInProgress();
  if (!networkRequestPending_.load()) return !uploading;
  if (!uploading) {
    tlm_monitor()->logWithLevel(1, 23041, "Analytics is uploading but network is not uploading");
  }
  return false;
}

void TLMMeasurementEngine::recordNetworkFailureWithStatus(long status, double now) {
  persistedConfig_->setLastFailedUploadTimestamp(now);
  // The collector asked for a pause.
  if (status == kOBXNetworkHTTPStatusCodeUnavailable ||
      status == kOBXNetworkHTTPStatusCodeCannotAcceptTraffic) {
    persistedConfig_->setLastBackoffTimestamp(now);
  }
}

// MARK: - Upload

std::vector<TLMUploadBundle> TLMMeasurementEngine::filteredBundlesWithCompatibleAppID(
    const std::string& appID, const std::string& resettableDeviceID, const std::string& vendorDeviceID,
    const std::vector<TLMUploadBundle>& bundlesToUpload) {
  using Slot = TLMPBMeasurementBundleSlot;
  if (!resettableDeviceID.empty() && !vendorDeviceID.empty()) {
    tlm_monitor()->logWithLevel(2, 23042,
                                "Bundle filter must not specify both resettableDeviceID and vendorDeviceID");
    return {};
  }
  const bool byResettable = !resettableDeviceID.empty();
  const std::string& key = byResettable ? resettableDeviceID : vendorDeviceID;
  std::vector<TLMUploadBundle> kept;
  for (const auto& pair : bundlesToUpload) {
    if (!pair.first) break;
    const std::string deviceID =
        stringField(*pair.first, byResettable ? Slot::resettable_device_id : Slot::vendor_device_id);
    if (!deviceID.empty() && !key.empty() && deviceID != key) break;
    if (stringField(*pair.first, Slot::app_id) != appID) break;
    kept.push_back(pair);
  }
  return kept;
}

bool TLMMeasurementEngine::setUploadInProgressWithBundleIDs(const std::vector<std::int64_t>& bundleIDs) {
  if (bundleIDs.empty()) {
    tlm_monitor()->logWithLevel(1, 23046, "Bundle list is empty. Cancelling upload");
    return false;
  }
  if (uploadingBundleIDs_ && !uploadingBundleIDs_->empty()) {
    tlm_monitor()->logWithLevel(1, 23047, "Set uploading progress before finishing the previous upload");
    return false;
  }
  uploadingBundleIDs_ = bundleIDs;
  return true;
}

std::vector<TLMUploadBundle> TLMMeasurementEngine::bundlesOfOneAppAndDevice(
    const std::vector<TLMUploadBundle>& bundles) {
  using Slot = TLMPBMeasurementBundleSlot;
  // The keys: the first bundle's app id, and the first advertising identifier of any bundle or,
  // when none has one, the first identifier for vendor.
  auto firstNonEmpty = [&](std::int32_t slot) {
    for (const auto& pair : bundles) {
      if (!pair.first) continue;
      std::string value = stringField(*pair.first, slot);
      if (!value.empty()) return value;
    }
    return std::string();
  };
  if (bundles.empty()) return {};
  const std::string appID = bundles[0].first ? stringField(*bundles[0].first, Slot::app_id) : std::string();
  const std::string resettable = firstNonEmpty(Slot::resettable_device_id);
  const std::string vendor = resettable.empty() ? firstNonEmpty(Slot::vendor_device_id) : std::string();
  return filteredBundlesWithCompatibleAppID(appID, resettable, vendor, bundles);
}

void TLMMeasurementEngine::uploadData() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("uploadData");
  using Slot = TLMPBMeasurementBundleSlot;
  if (!database_) return;
  if (isUploadSuspended()) {
    updateSchedule();
    return;
  }
  if (areUploadsHeldForAppEnd()) {
    tlm_monitor()->logWithLevel(7, 23201, "The app is ending. Upload left for a later launch");
    terminateBackgroundTask();
    return;
  }
  tlm_monitor()->logWithLevel(7, 23033, "Starting data upload");
  if (!isNetworkReadyForRequest()) {
    tlm_monitor()->logWithLevel(7, 23034, "Network operation is pending. Ignoring upload request");
    return;
  }
  if (!network_ || !network_->isNetworkConnected()) {
    tlm_monitor()->logWithLevel(7, 23035, "Network not connected, ignoring upload request");
    updateSchedule();
    return;
  }
  TLMRemoteConfig& config = this->config();
  const bool expired = config.isExpired();
  // The bundles this request sends are taken for it in one write transaction, committed before
  // it leaves: another process of the app uploading meanwhile sends only what no one holds. That
  // is the last bundling pass's transaction (the claim costs no commit of its own), or one of its
  // own when no pass ran it and the queue is not empty.
  if (const std::int64_t process = ::getpid(); process != uploadClaimant_) {
    uploadClaimant_ = process;
    uploadPidNamespace_ = TLMProcessPidNamespace();
  }
  const double now = this->now();
  const double claimBound = config.networkTimeout() + kUploadClaimMargin;
  platform::Error error;
  std::optional<std::vector<TLMUploadBundle>> bundles;
  std::vector<TLMUploadBundle> kept;
  auto claim = [&] {
    error = {};
    bundles = database_->queryUnclaimedBundlesWithCountLimit(
        config.uploadMaxBundlesLimit(), config.uploadMaxSizeLimitBytes(), uploadClaimant_, claimBound, &error,
        uploadPidNamespace_);
    if (!bundles) return false;
    kept = bundlesOfOneAppAndDevice(*bundles);
    std::vector<std::int64_t> rowIDs;
    for (const auto& pair : kept) rowIDs.push_back(pair.second);
    return rowIDs.empty() ||
           database_->claimBundlesWithRowIDs(rowIDs, uploadClaimant_, now + claimBound, &error, uploadPidNamespace_);
  };
  std::optional<bool> claimed;
  if (!expired) {
    const std::int32_t iterations = std::max<std::int32_t>(1, config.maxBundlesCreatedPerIteration());
    for (std::int32_t i = 0; i < iterations && !claimed && bundleRawEvents(claim, i + 1 == iterations, &claimed);
         ++i) {
    }
  }
  if (!claimed) {
    // An empty queue holds nothing to take: no write transaction, no turn on the file's lock.
    platform::Error emptyError;
    if (database_->isQueuedBundleTableEmpty(&emptyError).value_or(false)) {
      bundles.emplace();
      claimed = true;
    } else {
      claimed = database_->performTransaction(claim);
    }
  }
  if (!*claimed) {
    // A transaction that could not begin ran nothing that said why: the store's reason is told.
    if (error.description.empty()) error = database_->lastStoreError("query bundles");
    tlm_monitor()->logWithLevel(1, 23036, "Failed to query bundles. Error", tlm_errorText(error));
    terminateBackgroundTask();
    return;
  }
  if (bundles->empty()) {
    tlm_monitor()->logWithLevel(7, 23037, "No data to upload");
    if (expired) {
      fetchRemoteConfig();
    } else {
      terminateBackgroundTask();
    }
    return;
  }
  const double S = persistedConfig_->lastSuccessfulUploadTimestamp();
  if (!isZero(S)) {
    tlm_monitor()->logWithLevel(7, 23038, "Uploading events. Elapsed time since last successful upload (s)",
                                platform::Value(std::fabs(now - S)));
  }

  const std::int64_t uploadTime = TLMMillisecondsFromSeconds(now);
  const bool checksum = config.checksumEnabled();
  std::vector<std::shared_ptr<TLMPBMeasurementBundle>> batchBundles;
  std::vector<std::int64_t> ids;
  UploadCounts counts;
  for (const auto& [bundle, rowID] : kept) {
    counts.events += static_cast<std::int64_t>(NANOGetArray<TLMPBEvent>(*bundle, Slot::events).value_or(
        std::vector<std::shared_ptr<TLMPBEvent>>{}).size());
    NANOSetInt64(*bundle, Slot::upload_timestamp_millis, uploadTime);
    NANOSetInt64(*bundle, Slot::upload_library_version, TLMIdentity::tallymarkLibraryVersion());
    if (checksum) {
      auto bytes = bundle->protoBuffer();
      NANOSetInt64(*bundle, Slot::checksum, tlm_64LSBMD5(bytes.value_or(platform::Bytes{})));
    }
    batchBundles.push_back(bundle);
    ids.push_back(rowID);
  }
  auto batch = TLMPBMeasurementBatch::initWithMessageInfo(nullptr);
  if (!batch) return;
  NANOSetArray(*batch, TLMPBMeasurementBatchSlot::bundles, batchBundles);
  const platform::Bytes payload = batch->protoBuffer().value_or(platform::Bytes{});
  tlm_monitor()->logWithLevel(7, 23039, "Measurement data sent to network. Timestamp (ms), data",
                              platform::Value(uploadTime),
                              platform::Value(static_cast<std::int64_t>(payload.size())));
  // Nothing is posted without a fresh in-flight list, so a reply can only ever delete the
  // bundles it carried.
  if (!setUploadInProgressWithBundleIDs(ids)) {
    terminateBackgroundTask();
    return;
  }
  counts.bundles = static_cast<std::int64_t>(ids.size());
  const std::uint64_t flight = beginUploadFlight(counts);
  if (flight == 0) {
    // The app's end began while the batch was made: it stays for a later launch.
    tlm_monitor()->logWithLevel(7, 23201, "The app is ending. Upload left for a later launch");
    releaseUploadingBundles(false);
    uploadingBundleIDs_.reset();
    terminateBackgroundTask();
    return;
  }
  postedUploadFlight_ = flight;
  persistedConfig_->setLastFailedUploadTimestamp(now);
  networkRequestPending_.store(true);
  const std::uint64_t request = ++networkRequestNumber_;
  network_->setTimeoutInterval(config.networkTimeout());
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  const std::string session = network_->postURL(
      uploadURL_, payload, scheduler_->workerQueue(), config.isNetworkBackgroundSessionEnabled(),
      [weak, request, flight](std::shared_ptr<const OBXHTTPResponse> response, platform::Bytes,
                              std::optional<platform::Error> error) {
        auto self = weak.lock();
        // A refused request was already settled when it was refused.
        if (!self || self->networkRequestNumber_ != request) return;
        // The handler settles the flight once its reply's work is done; should it stop short,
        // the ends waiting are told all the same.
        struct Settle {
          TLMMeasurementEngine& engine;
          std::uint64_t flight;
          ~Settle() { engine.settleUploadFlight(flight, false); }
        } settle{*self, flight};
        self->networkRequestPending_.store(false);
        self->networkUploadCompletionHandlerWithResponse(response, error);
      });
  if (session.empty()) {
    tlm_monitor()->logWithLevel(1, 23040, "Unable to create network session.");
    ++networkRequestNumber_;
    networkRequestPending_.store(false);
    releaseUploadingBundles(false);
    uploadingBundleIDs_.reset();
    settleUploadFlight(std::exchange(postedUploadFlight_, 0), false);
    updateSchedule();
  }
}

// MARK: - The app's end

std::optional<TLMMeasurementEngine::UploadCounts> TLMMeasurementEngine::holdUploadsForAppEnd(
    std::function<void(const UploadSettlement&)> settled) {
  std::lock_guard<std::mutex> lock(uploadFlightMutex_);
  uploadsHeld_ = true;
  if (!uploadInFlight_) return std::nullopt;
  uploadSettledWaiters_.push_back(std::move(settled));
  return uploadInFlight_;
}

void TLMMeasurementEngine::resumeUploadsAfterAppEnd() {
  {
    std::lock_guard<std::mutex> lock(uploadFlightMutex_);
    if (!uploadsHeld_) return;
    uploadsHeld_ = false;
  }
  // What was stored meanwhile is due again.
  std::weak_ptr<TLMMeasurementEngine> weak = weak_from_this();
  scheduler_->scheduleOnWorkerQueueBlockID("TLMMeasurement:4320", [weak] {
    if (auto self = weak.lock()) self->updateSchedule();
  });
}

bool TLMMeasurementEngine::areUploadsHeldForAppEnd() const {
  std::lock_guard<std::mutex> lock(uploadFlightMutex_);
  return uploadsHeld_;
}

std::uint64_t TLMMeasurementEngine::beginUploadFlight(const UploadCounts& counts) {
  std::lock_guard<std::mutex> lock(uploadFlightMutex_);
  if (uploadsHeld_) return 0;
  uploadInFlight_ = counts;
  return ++uploadFlightNumber_;
}

void TLMMeasurementEngine::settleUploadFlight(std::uint64_t number, bool acceptedNotDeleted) {
  UploadSettlement settlement;
  std::vector<std::function<void(const UploadSettlement&)>> waiters;
  {
    std::lock_guard<std::mutex> lock(uploadFlightMutex_);
    if (number == 0 || number != uploadFlightNumber_ || !uploadInFlight_) return;
    settlement = {acceptedNotDeleted, *uploadInFlight_};
    uploadInFlight_.reset();
    waiters.swap(uploadSettledWaiters_);
  }
  for (const auto& waiter : waiters) waiter(settlement);
}

void TLMMeasurementEngine::releaseUploadingBundles(bool countRetry) {
  if (!database_ || !uploadingBundleIDs_ || uploadingBundleIDs_->empty()) return;
  const auto ids = *uploadingBundleIDs_;
  // What is not released here (a failing store) this process takes again at its next upload,
  // and the others once the hold runs out.
  database_->performTransaction([&] {
    platform::Error error;
    if (countRetry && !database_->incrementRetryCounterForBundlesWithIDs(ids, &error)) {
      tlm_monitor()->logWithLevel(1, 23166, "Failed to update the bundles' retry counts. Error", tlm_errorText(error));
      return false;
    }
    if (database_->releaseBundlesWithRowIDs(ids, &error)) return true;
    tlm_monitor()->logWithLevel(1, 23195, "Failed to release the bundles of a failed upload. Error",
                                tlm_errorText(error));
    return false;
  });
}

void TLMMeasurementEngine::networkUploadCompletionHandlerWithResponse(
    const std::shared_ptr<const OBXHTTPResponse>& response, const std::optional<platform::Error>& error) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("networkUploadCompletionHandler");
  const long status = response ? response->statusCode : 0;
  const double now = this->now();
  if (error || (status != kOBXNetworkHTTPStatusOK && status != kOBXNetworkHTTPStatusNoContent)) {
    recordNetworkFailureWithStatus(status, now);
    tlm_monitor()->logWithLevel(7, 23043, "Network upload failed. Will retry later. Code, error",
                                platform::Value(static_cast<std::int64_t>(status)),
                                platform::Value(error ? error->description : std::string()));
    releaseUploadingBundles(true);
    uploadingBundleIDs_.reset();
    settleUploadFlight(std::exchange(postedUploadFlight_, 0), false);
    updateSchedule();
    return;
  }
  tlm_monitor()->logWithLevel(7, 23044, "Successful upload. Got network response. Code, size",
                              platform::Value(static_cast<std::int64_t>(status)),
                              platform::Value(static_cast<std::int64_t>(response->expectedContentLength())));
  persistedConfig_->setLastSuccessfulUploadTimestamp(now);
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  updateSchedule();
  const auto ids = uploadingBundleIDs_.value_or(std::vector<std::int64_t>{});
  const bool notDeleted = !ids.empty() && !removeBundlesFromDatabaseWithIDs(ids);
  if (notDeleted) {
    tlm_monitor()->logWithLevel(1, 23045,
                                "Unable to delete uploaded bundles. Uploads will be suspended for seconds",
                                platform::Value(kTLMMeasurementSuspensionTimeInterval));
    suspendUploads();
  } else {
    suspendedUploadTimestamp_.store(0);
  }
  uploadingBundleIDs_.reset();
  settleUploadFlight(std::exchange(postedUploadFlight_, 0), notDeleted);
  if (network_ && network_->isNetworkConnected() && hasDataToUpload()) {
    uploadData();
  } else if (config().isExpired()) {
    uploadData();
  } else {
    updateSchedule();
  }
}
