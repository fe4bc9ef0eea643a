// The measurement configuration fetch: a conditional GET ("If-Modified-Since" with the server's
// last "Last-Modified"), and what each reply does. Any answer the server stands by (200, 204, 304,
// 404) counts as a successful fetch: its time is recorded first, so the configuration is fresh and
// uploads go on whatever the body holds. A new configuration is then applied (audiences, then
// settings) in a transaction of its own; one that cannot be applied is rolled back and the
// configuration in force stays.
//
// The reply's "Last-Modified" marks the configuration it came with, so it is kept only once that
// configuration is committed, and sent back only while a configuration is in force: a body that
// was not applied (unusable, a store failure, a process ended in between) is asked for in full
// next time instead of being answered "not modified" for as long as the server's copy stays.
#include "measurement/engine/TLMIdentity.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/engine/TLMRemoteConfig.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabase.h"
#include "proto/NANOAccessors.h"
#include "proto/TLMPBMessages.h"

void TLMMeasurementEngine::fetchRemoteConfig() {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("fetchRemoteConfig");
  // One request at a time: a second would make the first one's answer count for nothing.
  if (!network_ || networkRequestPending_.load()) return;
  auto identity = this->identity();
  std::optional<std::string> instanceID;
  if (identity) instanceID = identity->appInstanceID();
  const auto url = config().remoteConfigURLWithAppInstanceID(instanceID, std::string("ios"),
                                                             TLMIdentity::tallymarkLibraryVersion());
  if (!url || url->empty()) {
    tlm_monitor()->logWithLevel(1, 23125, "Unable to get configuration. Invalid server URL.");
    return;
  }
  tlm_monitor()->logWithLevel(7, 23126, "Fetching configuration from the server");
  std::map<std::string, std::string> headers;
  if (auto lastModified = persistedConfig_->configServerLastModifiedString();
      lastModified && !lastModified->empty() && config().remoteConfigProto()) {
    headers["If-Modified-Since"] = *lastModified;
  }
  networkRequestPending_.store(true);
  const std::uint64_t request = ++networkRequestNumber_;
  network_->setTimeoutInterval(config().networkTimeout());
  std::weak_ptr<TLMMeasurementEngine> weak = shared_from_this();
  const std::string session =
      network_->getURL(*url, headers, scheduler_->workerQueue(), config().isNetworkBackgroundSessionEnabled(),
                       [weak, request](std::shared_ptr<const OBXHTTPResponse> response, platform::Bytes data,
                                       std::optional<platform::Error> error) {
                         auto self = weak.lock();
                         if (!self || self->networkRequestNumber_ != request) return;
                         self->networkRequestPending_.store(false);
                         self->networkRemoteConfigFetchCompletionHandler(response, data, error);
                       });
  if (session.empty()) {
    // Refused before it was sent: nothing will answer it.
    ++networkRequestNumber_;
    networkRequestPending_.store(false);
    persistedConfig_->setLastFailedUploadTimestamp(now());
    updateSchedule();
  }
}

bool TLMMeasurementEngine::applyRemoteConfigData(const platform::Bytes& data) {
  return database_->performTransaction([&] {
    auto message = TLMPBMeasurementConfig::initWithBuffer(data);
    if (!message) {
      tlm_monitor()->logWithLevel(1, 23135, "Configuration data is invalid.");
      return false;
    }
    auto identity = this->identity();
    const auto appID = identity ? identity->appIDFromQPX() : std::nullopt;
    if (!appID || NANOGetString(*message, TLMPBMeasurementConfigSlot::measurement_app_id) != *appID) {
      tlm_monitor()->logWithLevel(1, 23136, "Configuration does not have valid Ombrix App ID.");
      return false;
    }
    auto audience = this->audience();
    const auto audiences = NANOGetArray<TLMPBAudience>(*message, TLMPBMeasurementConfigSlot::audiences)
                               .value_or(std::vector<std::shared_ptr<TLMPBAudience>>{});
    if (!audience || !audience->updateAudiences(audiences)) {
      tlm_monitor()->logWithLevel(1, 23137, "Failed to update audiences with new server configuration",
                                  platform::Value(static_cast<std::int64_t>(data.size())));
      return false;
    }
    NANOClearField(*message, TLMPBMeasurementConfigSlot::audiences);
    auto remote = remoteConfig();
    if (!remote || !remote->updateMeasurementConfig(message)) {
      tlm_monitor()->logWithLevel(1, 23138, "Failed to update configuration with new server configuration",
                                  platform::Value(static_cast<std::int64_t>(data.size())));
      return false;
    }
    return true;
  });
}

void TLMMeasurementEngine::networkRemoteConfigFetchCompletionHandler(
    const std::shared_ptr<const OBXHTTPResponse>& response, const platform::Bytes& data,
    const std::optional<platform::Error>& error) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("networkRemoteConfigFetchCompletionHandler");
  if (!database_) return;
  const long status = response ? response->statusCode : 0;
  const double now = this->now();
  tlm_monitor()->logWithLevel(7, 23127, "Fetched configuration. Status code",
                              platform::Value(static_cast<std::int64_t>(status)));
  const bool applies = status == kOBXNetworkHTTPStatusOK || status == kOBXNetworkHTTPStatusNoContent;
  const bool keeps =
      status == kOBXNetworkHTTPStatusCodeNotModified || status == kOBXNetworkHTTPStatusCodeNotFound;
  if (error || !(applies || keeps)) {
    tlm_monitor()->logWithLevel(
        7, 23128, "Unable to get the configuration from server. Network request failed. Code, Error",
        platform::Value(static_cast<std::int64_t>(status)),
        platform::Value(error ? error->description : std::string()));
    recordNetworkFailureWithStatus(status, now);
    tlm_monitor()->logWithLevel(7, 23129, "Network fetch failed. Will retry later. Code, error",
                                platform::Value(static_cast<std::int64_t>(status)),
                                platform::Value(error ? error->description : std::string()));
    updateSchedule();
    return;
  }
  persistedConfig_->setLastFailedUploadTimestamp(0);
  persistedConfig_->setLastBackoffTimestamp(0);
  std::int64_t failureCode = 23132;
  if (status == kOBXNetworkHTTPStatusCodeNotFound) {
    tlm_monitor()->logWithLevel(4, 23130, "Configuration not found. Using default configuration");
  } else if (status == kOBXNetworkHTTPStatusCodeNotModified) {
    tlm_monitor()->logWithLevel(7, 23131,
                                "Configuration has not been modified. Using the same configuration. Code",
                                platform::Value(static_cast<std::int64_t>(status)));
  } else {
    failureCode = 23134;
    tlm_monitor()->logWithLevel(
        7, 23133, "Successful fetched configuration from the server. Got network response. Code, size",
        platform::Value(static_cast<std::int64_t>(status)),
        platform::Value(static_cast<std::int64_t>(response->expectedContentLength())));
  }
  const bool recorded = database_->performTransaction([&] {
    platform::Error recordError;
    if (database_->updateRemoteConfigSuccessfulTimestamp(now, &recordError)) return true;
    tlm_monitor()->logWithLevel(1, failureCode,
                                "Unable to update the configuration last set timestamp in database. Error",
                                tlm_errorText(recordError));
    return false;
  });
  if (recorded) {
    suspendedUploadTimestamp_.store(0);
  } else {
    suspendUploads();
  }
  // A body that cannot be applied leaves the configuration in force (logged and rolled back), and
  // the marker of the one in force.
  if (applies && !data.empty() && applyRemoteConfigData(data)) {
    persistedConfig_->setConfigServerLastModifiedString(response->headerValue("Last-Modified"));
  }
  uploadDataOrRegisterAlarm();
}
