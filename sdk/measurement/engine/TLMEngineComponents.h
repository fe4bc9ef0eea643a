// The engine's view of the components that other parts of the library provide: audiences,
// conditional user properties, the screen reporter, lifetime value, store receipts, sessions and
// the search-ad reporter. Each is a small interface; the null implementations below stand in
// until the real component is built (docs/ARCHITECTURE.md lists which are still null).
//
// All calls come from the worker queue unless a comment says otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "dispatch/Clock.h"
#include "dispatch/Queue.h"
#include "measurement/engine/audiences/TLMSequenceTimestampsCache.h"
#include "measurement/model/TLMEvent.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUserAttribute.h"

class TLMDatabase;
class TLMMeasurementEngine;
class TLMPersistedConfig;
class TLMPBAudience;
class TLMPBAudienceLeafFilterResult;
class TLMPBUserAttribute;
class TLMRemoteConfig;
struct SKPaymentTransaction;
struct TLMScreen;

// Audience evaluation over the stored filters (TLMAudience). The configuration fetch hands it
// the audiences of a new configuration; bundling runs each event and user property of a bundle
// through it (one cache set per bundle) and reads the results the bundle carries.
class TLMAudienceEvaluator {
 public:
  virtual ~TLMAudienceEvaluator() = default;
  virtual bool updateAudiences(const std::vector<std::shared_ptr<TLMPBAudience>>& audiences) = 0;
  virtual bool evaluateFiltersForEvent(const TLMEventPtr& event, const TLMEventAggregates& eventAggregates,
                                       TLMSequenceTimestampsCaches& caches) = 0;
  virtual bool evaluateFiltersForNanoUserProperty(const TLMPBUserAttribute& property,
                                                  TLMSequenceTimestampsCaches& caches,
                                                  std::optional<double> evaluationTime) = 0;
  virtual bool clearEvaluationResultsForSessionScopedFilters() = 0;
  // Empty optional on failure.
  virtual std::optional<std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>> resultsForBundling() = 0;
  // Around one bundle's transaction: what the evaluator reads may be kept until the end.
  virtual void beginBundlingPass() {}
  virtual void endBundlingPass() {}
};
// No audiences.
class TLMNullAudienceEvaluator : public TLMAudienceEvaluator {
 public:
  bool updateAudiences(const std::vector<std::shared_ptr<TLMPBAudience>>&) override { return true; }
  bool evaluateFiltersForEvent(const TLMEventPtr&, const TLMEventAggregates&,
                               TLMSequenceTimestampsCaches&) override {
    return true;
  }
  bool evaluateFiltersForNanoUserProperty(const TLMPBUserAttribute&, TLMSequenceTimestampsCaches&,
                                          std::optional<double>) override {
    return true;
  }
  bool clearEvaluationResultsForSessionScopedFilters() override { return true; }
  std::optional<std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>> resultsForBundling() override {
    return std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>{};
  }
};

// Conditional user properties: the extra events (triggered, timed out, expired) an event
// causes; none on failure.
class TLMConditionalPropertyProcessor {
 public:
  virtual ~TLMConditionalPropertyProcessor() = default;
  // The engine that takes the component's own calls (set, clear, query); called once the engine
  // exists. A newer engine replaces an older one.
  virtual void attachEngine(std::weak_ptr<TLMMeasurementEngine>) {}
  // On the calling engine's worker queue, with that engine's store: an older engine whose worker
  // still runs after a newer one was attached must not reach the newer one's store.
  virtual std::optional<std::vector<TLMEventPtr>> processEventOnWorkerQueue(TLMMeasurementEngine& engine,
                                                                            const TLMEventPtr& event) = 0;
};
class TLMNullConditionalPropertyProcessor : public TLMConditionalPropertyProcessor {
 public:
  std::optional<std::vector<TLMEventPtr>> processEventOnWorkerQueue(TLMMeasurementEngine&,
                                                                    const TLMEventPtr&) override {
    return std::vector<TLMEventPtr>{};
  }
};

// Screen reporting: whether the app is active and the current screen's parameters. Any thread.
class TLMScreenReporting {
 public:
  virtual ~TLMScreenReporting() = default;
  virtual bool isAppActive() const = 0;
  virtual TLMObjectDictionary screenParameters() const = 0;
  // The screen the app names (main thread); the null reporter keeps none.
  virtual void setScreenName(const std::optional<std::string>&, const std::optional<std::string>&) {}
};
class TLMNullScreenReporter : public TLMScreenReporting {
 public:
  bool isAppActive() const override { return appActive.load(); }
  TLMObjectDictionary screenParameters() const override { return {}; }
  // Written by the app's life-cycle handlers, read on the worker queue.
  std::atomic<bool> appActive{false};
};

// Lifetime value of purchase events.
class TLMLifetimeValueRecording {
 public:
  virtual ~TLMLifetimeValueRecording() = default;
  virtual bool isPurchaseEvent(const TLMEvent& event) const = 0;
  virtual bool recordLifetimeValueToDatabase(TLMDatabase& database, const TLMEvent& event) = 0;
};
class TLMNullLifetimeValueRecorder : public TLMLifetimeValueRecording {
 public:
  bool isPurchaseEvent(const TLMEvent&) const override { return false; }
  bool recordLifetimeValueToDatabase(TLMDatabase&, const TLMEvent&) override { return true; }
};

// The app's store receipt.
class TLMReceiptReading {
 public:
  virtual ~TLMReceiptReading() = default;
  // The installed version equals the originally installed version of the receipt.
  virtual bool isVersionSameAsOriginalVersion() = 0;
};
class TLMNullReceiptReader : public TLMReceiptReading {
 public:
  bool isVersionSameAsOriginalVersion() override { return false; }
};

// Sessions: expiry, extension and the session properties.
class TLMSessionReporting {
 public:
  virtual ~TLMSessionReporting() = default;
  virtual void setReportingEnabled(bool enabled) = 0;
  virtual bool isReportingEnabled() const = 0;
  virtual bool isSessionExpired() = 0;
  virtual bool extendSession() = 0;
  virtual void updatePropertiesForNewSessionStart() = 0;
  virtual std::optional<TLMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) = 0;
  virtual std::optional<TLMUserAttribute> sessionNumberProperty() = 0;
  virtual void setTimeoutSessionInterval(double interval) = 0;
  virtual void setMinimumSessionInterval(double interval) = 0;
  // The engagement since the last cut in milliseconds, for events the engine logs; 0 when the
  // reporter keeps no free-ride time.
  virtual std::int64_t cutFreerideEngagementTimeMillis() { return 0; }
  // Called by the screen reporting on the main queue; nothing by default.
  virtual void handleAppDidBecomeActive() {}
  virtual void handleAppWillResignActiveWithScreen(const TLMScreen*) {}
  virtual void handleScreenDidChange(const TLMScreen*, const TLMScreen*) {}
};

// The least a session needs: expiry by the last activity time, extension, the start
// bookkeeping and the "_sid" / "_sno" properties, all over the persisted configuration. No
// timers and no engagement events. The last activity time is read from the persisted
// configuration once, at creation, and written through (the reporter is its only writer; a
// data reset makes a new reporter).
class TLMMinimalSessionReporter : public TLMSessionReporting {
 public:
  // `clock` null: the clock in force.
  TLMMinimalSessionReporter(std::shared_ptr<TLMPersistedConfig> persistedConfig,
                            std::shared_ptr<platform::Clock> clock, double timeoutInterval, double minimumInterval,
                            std::function<bool()> sessionNumberEnabled,
                            std::function<bool()> sessionBackgroundEnabled);
  void setReportingEnabled(bool enabled) override { reportingEnabled_.store(enabled); }
  bool isReportingEnabled() const override { return reportingEnabled_.load(); }
  bool isSessionExpired() override;
  bool extendSession() override;
  void updatePropertiesForNewSessionStart() override;
  std::optional<TLMUserAttribute> sessionIDPropertyWithTimestamp(double timestamp) override;
  std::optional<TLMUserAttribute> sessionNumberProperty() override;
  void setTimeoutSessionInterval(double interval) override;
  void setMinimumSessionInterval(double interval) override;
  double timeoutSessionInterval() const { return timeoutInterval_.load(); }
  double minimumSessionInterval() const { return minimumInterval_.load(); }

 private:
  double now() const;
  void setLastActivity(double time);

  const std::shared_ptr<TLMPersistedConfig> persistedConfig_;
  const std::shared_ptr<platform::Clock> clock_;
  std::atomic<double> timeoutInterval_;
  std::atomic<double> minimumInterval_;
  const std::function<bool()> sessionNumberEnabled_;
  const std::function<bool()> sessionBackgroundEnabled_;
  std::atomic<bool> reportingEnabled_{false};
  std::atomic<double> lastActivity_;
};

// The session-start event "_s" (origin "auto"): "_sid" when session ids are on, "_sno" when a
// session number is given, "_aib" = 1 for a start in the background.
TLMEventPtr TLMCreateSessionStartEvent(std::optional<std::int64_t> sessionNumber,
                                       bool appInBackground, double timestamp,
                                       bool sessionIDEnabled);

// Search-ad attribution.
class TLMSearchAdReporting {
 public:
  virtual ~TLMSearchAdReporting() = default;
  virtual void setSearchAdReporterEnabled(bool enabled) = 0;
  virtual void start() = 0;
};

// A purchase as the payment queue hands it over.
struct TLMPaymentTransaction {
  std::string productIdentifier;
  std::string transactionIdentifier;
  // 1 = purchased; other states (restored, failed, ...) are not reported.
  std::int64_t transactionState = 0;
  // The code of the transaction's error, 0 without one (diagnostics only).
  std::int64_t errorCode = 0;
  // The store's transaction this one was made from, when there is one.
  std::shared_ptr<const SKPaymentTransaction> source;
};

// How the engine makes or finds each component. Unset members use the null implementations
// (the minimal session reporter for sessions; no search-ad reporter).
struct TLMEngineComponents {
  std::function<std::shared_ptr<TLMAudienceEvaluator>(TLMDatabase& database,
                                                      std::shared_ptr<TLMRemoteConfig> remoteConfig)>
      makeAudience;
  // Made at start with the engine's persisted and remote configuration.
  std::function<std::shared_ptr<TLMSessionReporting>(std::shared_ptr<TLMPersistedConfig>,
                                                     std::shared_ptr<TLMRemoteConfig>)>
      makeSessionReporter;
  // Null result: no search-ad reporter. `logCampaign` logs its campaign event once per app's
  // data (the engine's logInternalEventOncePerApp).
  std::function<std::shared_ptr<TLMSearchAdReporting>(std::shared_ptr<platform::Queue> workerQueue,
                                                      std::shared_ptr<TLMPersistedConfig>,
                                                      TLMInternalEventLogger logCampaign)>
      makeSearchAdReporter;
  std::shared_ptr<TLMConditionalPropertyProcessor> conditionalProperties;
  std::shared_ptr<TLMScreenReporting> screenReporter;
  std::shared_ptr<TLMLifetimeValueRecording> lifetimeValue;
  std::shared_ptr<TLMReceiptReading> receipts;
  // The fingerprint of a purchase for de-duplication; empty when it cannot be made.
  std::function<std::string(const TLMPaymentTransaction&)> purchaseFingerprint;
};
