// Search-ad attribution: asks the platform's ad-attribution client, once a day and at most ten
// times per install, whether the install came from a search-ad campaign, and logs the campaign
// event "_cmp" once when it knows. The retry count, the campaign decision and the last look-up
// time are persisted, so the daily spacing and the ten attempts hold across processes; each
// look-up is counted before it is sent, so a crash during one still uses up an attempt.
//
// The alarm runs on the worker queue; the client's replies may arrive on any thread, so the
// campaign decision is taken under the reporter's lock.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/model/TLMMonitor.h"

class TLMAlarm;
class TLMPersistedConfig;

inline constexpr const char* kTLMSearchAdAlarmName = "Search Ad campaign report alarm";
inline constexpr std::int64_t kTLMSearchAdMaxRetries = 10;
inline constexpr double kTLMSearchAdLookUpInterval = 86400;

// What stands in for the platform's ad-attribution client. A client answers the forms of the
// question it supports; the reporter asks the first one present. Replies may come on any thread.
struct TLMAttributionClient {
  // (details, error): details maps a version key to a dictionary with "iad-attribution",
  // "iad-campaign-id", "iad-campaign-name", "iad-keyword".
  using DetailsReply = std::function<void(std::optional<platform::Dictionary>, std::optional<platform::Error>)>;
  // (purchase date, impression date), seconds since 1970.
  using ConversionReply = std::function<void(std::optional<double>, std::optional<double>)>;
  using InstallationReply = std::function<void(bool)>;

  std::function<void(DetailsReply)> requestAttributionDetails;
  std::function<void(ConversionReply)> lookupAdConversionDetails;
  std::function<void(InstallationReply)> determineAppInstallationAttribution;

  // The process's client: none on this platform unless a host installs one.
  static std::shared_ptr<TLMAttributionClient> sharedClient();
  // Installs the process's client (null removes it); returns the previous one.
  static std::shared_ptr<TLMAttributionClient> setSharedClient(std::shared_ptr<TLMAttributionClient> client);
};

// Unset members use the library's own: the process's client, the clock in force and
// TLMMeasurement::logInternalEvent.
struct TLMSearchAdServices {
  std::function<std::shared_ptr<TLMAttributionClient>()> client;
  std::shared_ptr<platform::Clock> clock;
  TLMInternalEventLogger logInternalEvent;
};

class TLMSearchAdReporter : public TLMSearchAdReporting,
                            public std::enable_shared_from_this<TLMSearchAdReporter> {
 public:
  // initWithWorkerQueue:persistedConfig:. Null without queue (32000) or configuration (32001),
  // after ten look-ups, or once attribution is known (32002).
  static std::shared_ptr<TLMSearchAdReporter> create(std::shared_ptr<platform::Queue> workerQueue,
                                                     std::shared_ptr<TLMPersistedConfig> persistedConfig,
                                                     TLMSearchAdServices services = {});
  ~TLMSearchAdReporter() override;  // cancelScheduling
  TLMSearchAdReporter(const TLMSearchAdReporter&) = delete;
  TLMSearchAdReporter& operator=(const TLMSearchAdReporter&) = delete;

  // Without a client 32003 and nothing more; otherwise scheduleSearchAdReport.
  void start() override;
  bool isSearchAdReporterEnabled() const { return enabled_.load(); }
  void setSearchAdReporterEnabled(bool enabled) override { enabled_.store(enabled); }

  void scheduleSearchAdReport();
  void maybeLogIAdCampaignEvent();
  void lookUpAdConversionDetails();
  void logCampaignEventWithSearchAdCampaign(bool attribution, const std::string& campaign, const std::string& term);
  // Cancels the alarm and drops it: nothing can be scheduled again.
  void cancelScheduling();
  std::shared_ptr<TLMAttributionClient> adClientInstance() const;

  // Test support: when the pending look-up is due (seconds since 1970); empty when none.
  std::optional<double> scheduledTimestamp() const;

 private:
  TLMSearchAdReporter(std::shared_ptr<platform::Queue> workerQueue,
                      std::shared_ptr<TLMPersistedConfig> persistedConfig, TLMSearchAdServices services);
  double now() const;
  void handleDetails(const std::optional<platform::Dictionary>& details, const std::optional<platform::Error>& error);
  std::shared_ptr<TLMAlarm> alarm() const;

  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  TLMSearchAdServices services_;
  std::atomic<bool> enabled_{false};
  mutable std::mutex mutex_;         // the alarm pointer and the campaign decision
  std::shared_ptr<TLMAlarm> alarm_;  // null once scheduling was cancelled for good
};
