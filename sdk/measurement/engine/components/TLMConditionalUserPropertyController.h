// Conditional user properties: stored in advance, made a real user property when their trigger
// event is logged within the trigger timeout, removed when their time to live has passed. Each
// transition may log an event of its own (triggered, timed out, expired or cleared).
//
// Set, clear and query may be called from any thread; they validate, copy and post to the worker
// queue of the engine attached at the time of the call, where every store change runs in one
// transaction per operation. Worker-queue work always uses the store of the engine it runs for:
// only that engine's worker may touch it.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "measurement/engine/TLMEngineComponents.h"
#include "measurement/store/TLMConditionalUserProperty.h"

class TLMMeasurementEngine;

inline constexpr double kTLMConditionalUserPropertyMinTriggerTimeout = 0.001;
inline constexpr double kTLMConditionalUserPropertyMaxTriggerTimeout = 15552000;
inline constexpr double kTLMConditionalUserPropertyMinTimeToLive = 0.001;
inline constexpr double kTLMConditionalUserPropertyMaxTimeToLive = 15552000;

// Origin, name and a present value pass the validator (silently), then the trigger timeout
// (11000) and the time to live (11001) lie within their bounds, both inclusive.
bool TLMIsValidConditionalUserProperty(const TLMConditionalUserProperty& property);

class TLMConditionalUserPropertyController : public TLMConditionalPropertyProcessor,
                                             public std::enable_shared_from_this<TLMConditionalUserPropertyController> {
 public:
  // The controller of the production engine, made once.
  static std::shared_ptr<TLMConditionalUserPropertyController> sharedInstance();

  void attachEngine(std::weak_ptr<TLMMeasurementEngine> engine) override;

  // Any thread. A value-less property clears the name, its expired event serving as the clear
  // event.
  void setConditionalUserProperty(const std::optional<TLMConditionalUserProperty>& property,
                                  const std::string& name);
  // Any thread; `clearEvent` may be null.
  void clearConditionalUserProperty(const TLMEventPtr& clearEvent, const std::string& name);
  // Blocks the caller until the worker queue answered (at most 30 s); on the worker queue it runs
  // inline. Empty when disabled, on failure or after the wait ran out.
  std::optional<std::vector<TLMConditionalUserProperty>> conditionalUserProperties(
      const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin);

  // On `engine`'s worker queue only.
  void setConditionalUserPropertyOnWorkerQueue(TLMMeasurementEngine& engine,
                                               const std::optional<TLMConditionalUserProperty>& property);
  void removeConditionalUserPropertyOnWorkerQueue(TLMMeasurementEngine& engine,
                                                  const std::optional<TLMConditionalUserProperty>& request);
  std::optional<std::vector<TLMEventPtr>> processEventOnWorkerQueue(TLMMeasurementEngine& engine,
                                                                    const TLMEventPtr& event) override;

 private:
  std::shared_ptr<TLMMeasurementEngine> engine() const;

  mutable std::mutex mutex_;
  std::weak_ptr<TLMMeasurementEngine> engine_;
};
