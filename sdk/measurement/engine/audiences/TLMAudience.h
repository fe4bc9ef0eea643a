// The server-defined audiences and their per-user results. A new configuration's audience
// definitions are validated and stored as event and property filters; while a bundle is built,
// each of its events and user properties runs through the stored filters of its name, and every
// filter's outcome is kept as two bits (evaluated, true) in one result record per audience,
// optionally with the time the filter was last true (dynamic filters) or every time it was true
// (sequence filters). Each bundle then carries every audience's current record, and the previous
// one when it changed.
//
// Worker queue only; no lock and no state besides the database (which must outlive it).
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/engine/audiences/TLMSequenceTimestampsCache.h"
#include "measurement/model/TLMAudienceFilters.h"
#include "measurement/model/TLMEventAggregates.h"
#include "measurement/model/TLMObject.h"
#include "measurement/model/TLMUserAttribute.h"

class TLMDatabase;
struct TLMAudiencePass;
class TLMPBAudience;
class TLMPBDynamicFilterResultTimestamp;
class TLMPBResultData;
class TLMPBUserAttribute;
class TLMRemoteConfig;

// The remote settings audiences read, read again at every use.
class TLMAudienceSettings {
 public:
  virtual ~TLMAudienceSettings() = default;
  virtual std::int64_t maxAudienceCount() const = 0;
  virtual std::int64_t maxFiltersPerAudience() const = 0;
  virtual std::int64_t maxParametersPerFilter() const = 0;
  virtual std::int64_t maxFilterResultCount() const = 0;
  virtual bool isAudienceDynamicFiltersEnabled() const = 0;
  virtual bool isAudienceSequenceFiltersEnabled() const = 0;
  virtual bool isAudienceScopedFiltersEnabled() const = 0;
  virtual bool isSessionScopedEventAggregatesEnabled() const = 0;
  virtual bool isAudienceFilterTypeValidationEnabled() const = 0;
};

// The settings of a remote configuration.
class TLMAudienceRemoteConfigSettings : public TLMAudienceSettings {
 public:
  // Null: the default configuration.
  explicit TLMAudienceRemoteConfigSettings(std::shared_ptr<TLMRemoteConfig> config);
  std::int64_t maxAudienceCount() const override;
  std::int64_t maxFiltersPerAudience() const override;
  std::int64_t maxParametersPerFilter() const override;
  std::int64_t maxFilterResultCount() const override;
  bool isAudienceDynamicFiltersEnabled() const override;
  bool isAudienceSequenceFiltersEnabled() const override;
  bool isAudienceScopedFiltersEnabled() const override;
  bool isSessionScopedEventAggregatesEnabled() const override;
  bool isAudienceFilterTypeValidationEnabled() const override;

 private:
  std::shared_ptr<TLMRemoteConfig> config_;
};

// Settings held in memory with the compiled defaults; every value can be changed (tests).
class TLMAudienceFixedSettings : public TLMAudienceSettings {
 public:
  std::int64_t maxAudienceCount() const override { return maxAudiences; }
  std::int64_t maxFiltersPerAudience() const override { return maxFilters; }
  std::int64_t maxParametersPerFilter() const override { return maxParameters; }
  std::int64_t maxFilterResultCount() const override { return maxFilterResults; }
  bool isAudienceDynamicFiltersEnabled() const override { return dynamicFilters; }
  bool isAudienceSequenceFiltersEnabled() const override { return sequenceFilters; }
  bool isAudienceScopedFiltersEnabled() const override { return scopedFilters; }
  bool isSessionScopedEventAggregatesEnabled() const override { return sessionScopedAggregates; }
  bool isAudienceFilterTypeValidationEnabled() const override { return filterTypeValidation; }

  std::int64_t maxAudiences = 50;
  std::int64_t maxFilters = 10;
  std::int64_t maxParameters = 25;
  std::int64_t maxFilterResults = 200;
  bool dynamicFilters = true;
  bool sequenceFilters = true;
  bool scopedFilters = false;
  bool sessionScopedAggregates = false;
  bool filterTypeValidation = false;
};

// Filter id -> the time (seconds since 1970) a dynamic filter was last true.
using TLMDynamicFilterTimestamps = std::map<std::int32_t, double>;

class TLMAudience : public TLMAudienceEvaluator {
 public:
  TLMAudience(TLMDatabase& database, std::shared_ptr<const TLMAudienceSettings> settings);
  ~TLMAudience() override;

  // Within a bundling pass the stored filters and each audience's record are read and decoded
  // once and shared by the pass's events and properties; what the pass writes replaces them.
  // The pass must not outlive the transaction it runs in.
  void beginBundlingPass() override;
  void endBundlingPass() override;

  // Replaces the stored filters with the valid audiences of a new configuration (invalid ones
  // are logged and left out). More audiences than allowed: logged, nothing changes, true.
  bool updateAudiences(const std::vector<std::shared_ptr<TLMPBAudience>>& audiences) override;
  // An event of a bundle; the parts of a complex event ("_eid") are evaluated under the main
  // event's name with its parameters.
  bool evaluateFiltersForEvent(const TLMEventPtr& event, const TLMEventAggregates& eventAggregates,
                               TLMSequenceTimestampsCaches& caches) override;
  bool evaluateFiltersForEventName(const std::string& name, const TLMParameters& parameters,
                                   const TLMEventAggregates* eventAggregates, double eventTimestamp,
                                   TLMSequenceTimestampsCaches& caches);
  // A user property of a bundle, evaluated at `evaluationTime` (else its last-set time).
  bool evaluateFiltersForNanoUserProperty(const TLMPBUserAttribute& property,
                                          TLMSequenceTimestampsCaches& caches,
                                          std::optional<double> evaluationTime) override;
  // Null `caches`: a fresh set for this call.
  bool evaluateFiltersForUserProperty(const TLMUserAttribute& property,
                                      TLMSequenceTimestampsCaches* caches,
                                      double evaluationTimestamp);
  bool evaluateFiltersForUserProperty(const TLMUserAttribute& property);
  // Every evaluated audience's entry for the next bundle; empty optional on a store failure.
  // The current records become the previous ones.
  std::optional<std::vector<std::shared_ptr<TLMPBAudienceLeafFilterResult>>> resultsForBundling()
      override;
  // Session-scoped filters go back to "not evaluated".
  bool clearEvaluationResultsForSessionScopedFilters() override;
  // Above the result cap, deletes the results of audiences that have neither stored filters nor
  // an id in `acceptedAudienceIDs`.
  bool maybeDeleteStaleFilterResults(const std::set<std::int32_t>& acceptedAudienceIDs);

  // Whether filter `filterID` was evaluated and true.
  static bool isFilterResult(const TLMFilterResult& result, std::int32_t filterID);
  // A copy of `current` (keeping its previous records) with the filter's bits set from
  // `newEvaluationResult` (none: not evaluated) and the timestamp lists given (a list not given
  // leaves its entries empty).
  static TLMFilterResult updatedFilterResultWithFilterID(
      std::int32_t filterID, std::int32_t audienceID, const std::optional<TLMFilterResult>& current,
      std::optional<bool> newEvaluationResult,
      const std::optional<std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>>>&
          dynamicFilterTimestamps,
      const std::optional<std::vector<std::shared_ptr<TLMPBSequenceFilterResultTimestamp>>>&
          sequenceFilterTimestamps);
  // An audience definition against the ids accepted so far: the first failure fills `error`
  // (codes 9 audience, 10 event filter, 11 property filter); a rejected combination of flags
  // answers false without error.
  static bool isValidAudienceProto(const TLMPBAudience& audience,
                                   const std::set<std::int32_t>& usedAudienceIDs,
                                   const TLMAudienceSettings& settings, platform::Error* error);

 private:
  TLMDatabase& database_;
  std::shared_ptr<const TLMAudienceSettings> settings_;
  std::unique_ptr<TLMAudiencePass> pass_;
};

// At least one status word is non-zero.
bool TLMIsAudienceEvaluated(const platform::Array& statusWords);
TLMDynamicFilterTimestamps TLMConvertDynamicFilterResultTimestampsToDictionary(
    const TLMPBResultData* data);
// Ascending filter-id order, times truncated to whole seconds.
std::vector<std::shared_ptr<TLMPBDynamicFilterResultTimestamp>>
TLMConvertDictionaryToDynamicFilterResultTimestamps(const TLMDynamicFilterTimestamps& timestamps);
// Keeps the later of the stored and the candidate time (an earlier or equal candidate: 6037).
void TLMKeepLatestDynamicFilterEvaluationTimestamp(TLMDynamicFilterTimestamps& timestamps,
                                                   std::int32_t filterID, double timestamp);
// A cache seeded with each sequence filter's last stored time.
std::shared_ptr<TLMSequenceTimestampsCache> TLMConvertSequenceFilterResultTimestampsToDictionary(
    const TLMPBResultData* data, std::int32_t audienceID);
