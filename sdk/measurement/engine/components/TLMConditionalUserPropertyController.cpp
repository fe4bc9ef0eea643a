#include "measurement/engine/components/TLMConditionalUserPropertyController.h"

#include <chrono>
#include <condition_variable>

#include "dispatch/Clock.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/TLMScheduler.h"
#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMFormatting.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/store/TLMDatabase.h"

namespace {

platform::Value propertyName(const std::string& name) { return tlm_text(TLMFormattedUserPropertyName(name)); }
bool hasError(const platform::Error& error) { return error.code != 0 || !error.domain.empty(); }

// The event a transition logs, made from its template.
TLMEventPtr eventFromTemplate(const TLMEventPtr& templ, const std::string& origin, double timestamp) {
  if (!templ) return nullptr;
  return TLMEvent::initWithOrigin(origin, false, templ->name(), timestamp, 0,
                                  TLMObjectDictionary(templ->parameters()));
}

}  // namespace

bool TLMIsValidConditionalUserProperty(const TLMConditionalUserProperty& property) {
  if (!TLMDataTypeValidator::isValidConditionalUserPropertyOrigin(TLMObject(property.origin))) return false;
  if (!TLMDataTypeValidator::isValidConditionalUserPropertyName(TLMObject(property.name))) return false;
  if (property.value && !TLMDataTypeValidator::isValidConditionalUserPropertyValue(TLMObject(*property.value))) {
    return false;
  }
  // Written so that NaN fails too.
  if (!(property.triggerTimeout >= kTLMConditionalUserPropertyMinTriggerTimeout &&
        property.triggerTimeout <= kTLMConditionalUserPropertyMaxTriggerTimeout)) {
    tlm_monitor()->logWithLevel(1, 11000, "Invalid conditional user property timeout. Trigger timeout",
                                platform::Value(property.triggerTimeout));
    return false;
  }
  if (!(property.timeToLive >= kTLMConditionalUserPropertyMinTimeToLive &&
        property.timeToLive <= kTLMConditionalUserPropertyMaxTimeToLive)) {
    tlm_monitor()->logWithLevel(1, 11001, "Invalid conditional user property time to live. Time to live",
                                platform::Value(property.timeToLive));
    return false;
  }
  return true;
}

std::shared_ptr<TLMConditionalUserPropertyController> TLMConditionalUserPropertyController::sharedInstance() {
  static const auto& instance = *new auto(std::make_shared<TLMConditionalUserPropertyController>());
  return instance;
}

void TLMConditionalUserPropertyController::attachEngine(std::weak_ptr<TLMMeasurementEngine> engine) {
  std::lock_guard<std::mutex> lock(mutex_);
  engine_ = std::move(engine);
}

std::shared_ptr<TLMMeasurementEngine> TLMConditionalUserPropertyController::engine() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return engine_.lock();
}

// MARK: - Any thread

void TLMConditionalUserPropertyController::setConditionalUserProperty(
    const std::optional<TLMConditionalUserProperty>& property, const std::string& name) {
  if (!property) {
    tlm_monitor()->logWithLevel(1, 11002, "Unable to set conditional user property. Conditional user property is nil");
    return;
  }
  TLMConditionalUserProperty copy = *property;
  copy.name = name;
  if (!TLMIsValidConditionalUserProperty(copy)) return;
  copy.creationTimestamp = platform::Clock::current()->now();
  auto engine = this->engine();
  if (!engine) return;
  std::weak_ptr<TLMConditionalUserPropertyController> weak = weak_from_this();
  std::weak_ptr<TLMMeasurementEngine> weakEngine = engine;
  engine->queueStoreWriteBlock("TLMConditionalUserPropertyController:93", [weak, weakEngine, copy] {
    auto self = weak.lock();
    auto engine = weakEngine.lock();
    if (!self || !engine) return;
    if (copy.value) {
      self->setConditionalUserPropertyOnWorkerQueue(*engine, copy);
    } else {
      self->removeConditionalUserPropertyOnWorkerQueue(*engine, copy);
    }
  });
}

void TLMConditionalUserPropertyController::clearConditionalUserProperty(const TLMEventPtr& clearEvent,
                                                                        const std::string& name) {
  if (!TLMDataTypeValidator::isValidConditionalUserPropertyName(TLMObject(name))) return;
  auto engine = this->engine();
  if (!engine) return;
  TLMConditionalUserProperty request;
  request.name = name;
  request.expiredEvent = clearEvent;
  std::weak_ptr<TLMConditionalUserPropertyController> weak = weak_from_this();
  std::weak_ptr<TLMMeasurementEngine> weakEngine = engine;
  engine->queueStoreWriteBlock("TLMConditionalUserPropertyController:118", [weak, weakEngine, request] {
    auto self = weak.lock();
    auto engine = weakEngine.lock();
    if (self && engine) self->removeConditionalUserPropertyOnWorkerQueue(*engine, request);
  });
}

std::optional<std::vector<TLMConditionalUserProperty>> TLMConditionalUserPropertyController::conditionalUserProperties(
    const std::optional<std::string>& namePrefix, const std::optional<std::string>& origin) {
  auto engine = this->engine();
  if (!engine) return std::nullopt;
  // Outlives a caller that stopped waiting.
  struct Answer {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    std::optional<std::vector<TLMConditionalUserProperty>> result;
  };
  auto answer = std::make_shared<Answer>();
  std::weak_ptr<TLMMeasurementEngine> weakEngine = engine;
  auto block = [weakEngine, answer, namePrefix, origin] {
    std::optional<std::vector<TLMConditionalUserProperty>> result;
    auto engine = weakEngine.lock();
    if (engine && !engine->isEnabled()) {
      tlm_monitor()->logWithLevel(3, 11005, "Unable to query for conditional user properties. Analytics is disabled");
    } else if (engine && engine->database()) {
      platform::Error error;
      result = engine->database()->conditionalUserPropertiesWithPrefix(namePrefix.value_or(""),
                                                                        origin.value_or(""), &error);
      if (!result && hasError(error)) {
        tlm_monitor()->logWithLevel(1, 11006, "Unable to query for conditional user properties. Name prefix, origin, error",
                                    tlm_text(namePrefix.value_or("")), tlm_text(origin.value_or("")), tlm_errorText(error));
      }
    }
    std::lock_guard<std::mutex> lock(answer->mutex);
    answer->result = std::move(result);
    answer->finished = true;
    answer->done.notify_all();
  };
  const auto& worker = engine->scheduler()->workerQueue();
  engine.reset();
  if (worker->isCurrent()) {
    // Waiting here would wait for ourselves.
    block();
  } else {
    worker->async(block);
  }
  std::unique_lock<std::mutex> lock(answer->mutex);
  answer->done.wait_for(lock, std::chrono::seconds(30), [&] { return answer->finished; });
  return answer->result;
}

// MARK: - Worker queue

void TLMConditionalUserPropertyController::setConditionalUserPropertyOnWorkerQueue(
    TLMMeasurementEngine& engine, const std::optional<TLMConditionalUserProperty>& property) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("setConditionalUserPropertyOnWorkerQueue");
  if (!engine.isEnabled() || !engine.database()) {
    tlm_monitor()->logWithLevel(3, 11007, "Unable to set conditional user property. Analytics is disabled");
    return;
  }
  if (!property) {
    tlm_monitor()->logWithLevel(1, 11008,
                                "Unable to set conditional user property on worker queue. Conditional user property is nil");
    return;
  }
  TLMDatabase& database = *engine.database();
  TLMConditionalUserProperty n = *property;
  TLMEventPtr triggered;
  const bool committed = database.performTransaction([&] {
    triggered = nullptr;
    platform::Error error;
    auto stored = database.conditionalUserPropertyWithName(n.name, &error);
    if (!stored && hasError(error)) {
      tlm_monitor()->logWithLevel(1, 11009, "Unable to query conditional user property. Name, origin, error",
                                  propertyName(n.name), tlm_text(n.origin), tlm_errorText(error));
      return false;
    }
    if (stored && stored->origin != n.origin) {
      tlm_monitor()->logWithLevel(4, 11010,
                                  "Updating a conditional user property with different origin. Name, origin, saved origin",
                                  propertyName(n.name), tlm_text(n.origin), tlm_text(stored->origin));
    }
    const bool storedActive = stored && stored->active;
    bool activatedNow = false;
    if (storedActive) {
      n.origin = stored->origin;
      n.creationTimestamp = stored->creationTimestamp;
      n.triggerEventName = stored->triggerEventName;
      n.triggeredEvent = stored->triggeredEvent;
      n.triggerTimeout = stored->triggerTimeout;
    } else if (n.triggerEventName.empty()) {
      n.active = true;
      n.triggeredTimestamp = n.creationTimestamp;
      activatedNow = true;
    }
    if (n.active && n.value) {
      auto attribute = TLMUserAttribute::initWithOrigin(n.origin, n.name, *n.value, n.triggeredTimestamp);
      platform::Error attributeError;
      if (attribute && database.updateUserAttribute(*attribute, &attributeError)) {
        tlm_monitor()->logWithLevel(7, 11012, "User property updated. Name, origin", propertyName(n.name), tlm_text(n.origin));
      } else {
        tlm_monitor()->logWithLevel(1, 11011, "Unable to update user property from conditional user property. Name, origin, error",
                                    propertyName(n.name), tlm_text(n.origin), tlm_errorText(attributeError));
      }
      if (activatedNow) triggered = eventFromTemplate(n.triggeredEvent, n.origin, n.triggeredTimestamp);
    }
    if (storedActive) {
      n.active = stored->active;
      n.triggeredTimestamp = stored->triggeredTimestamp;
    }
    platform::Error rowError;
    if (!database.updateConditionalUserProperty(n, &rowError)) {
      // Nothing half-done stays: the user property written above goes back with the row.
      tlm_monitor()->logWithLevel(1, 11014, "Unable to insert user property from conditional user property. Name, origin, error",
                                  propertyName(n.name), tlm_text(n.origin), tlm_errorText(rowError));
      return false;
    }
    tlm_monitor()->logWithLevel(7, 11013, "Conditional user property added. Name, origin", propertyName(n.name), tlm_text(n.origin));
    return true;
  });
  if (committed && triggered) engine.writeEventOnWorkerQueue(triggered);
}

void TLMConditionalUserPropertyController::removeConditionalUserPropertyOnWorkerQueue(
    TLMMeasurementEngine& engine, const std::optional<TLMConditionalUserProperty>& request) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("removeConditionalUserPropertyOnWorkerQueue");
  if (!engine.isEnabled() || !engine.database()) {
    tlm_monitor()->logWithLevel(3, 11015, "Unable to remove conditional user property. Analytics is disabled");
    return;
  }
  if (!request) {
    tlm_monitor()->logWithLevel(1, 11016,
                                "Unable to remove conditional user property on worker queue. Conditional user property is nil");
    return;
  }
  TLMDatabase& database = *engine.database();
  TLMEventPtr clearEvent;
  const bool committed = database.performTransaction([&] {
    clearEvent = nullptr;
    platform::Error error;
    auto stored = database.conditionalUserPropertyWithName(request->name, &error);
    if (!stored) {
      if (hasError(error)) {
        tlm_monitor()->logWithLevel(1, 11017,
                                    "Unable to remove conditional user property. Cannot query conditional user property. Name, origin, error",
                                    propertyName(request->name), tlm_text(request->origin), tlm_errorText(error));
        return false;
      }
      tlm_monitor()->logWithLevel(4, 11018,
                                  "Unable to remove conditional user property. Conditional user property doesn't exist. Name, origin",
                                  propertyName(request->name), tlm_text(request->origin));
      return true;
    }
    platform::Error deleteError;
    if (!database.deleteConditionalUserPropertyWithName(request->name, &deleteError) && hasError(deleteError)) {
      tlm_monitor()->logWithLevel(1, 11019,
                                  "Unable to remove conditional user property. Failed to execute the delete operation. Name, origin, error",
                                  propertyName(request->name), tlm_text(stored->origin), tlm_errorText(deleteError));
      return false;
    }
    if (stored->active) {
      platform::Error attributeError;
      if (!database.deleteUserAttributeWithName(request->name, &attributeError) && hasError(attributeError)) {
        tlm_monitor()->logWithLevel(1, 11020,
                                    "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
                                    propertyName(request->name), tlm_text(stored->origin), tlm_errorText(attributeError));
        return false;
      }
    }
    clearEvent = eventFromTemplate(request->expiredEvent, stored->origin, platform::Clock::current()->now());
    return true;
  });
  if (committed && clearEvent) engine.writeEventOnWorkerQueue(clearEvent);
}

std::optional<std::vector<TLMEventPtr>> TLMConditionalUserPropertyController::processEventOnWorkerQueue(
    TLMMeasurementEngine& engine, const TLMEventPtr& event) {
  TLMScheduler::checkOnBackgroundThreadWithMethodName("processEventOnWorkerQueue");
  if (!event) {
    tlm_monitor()->logWithLevel(1, 10000, "Unable to process event for conditional user property. Event is nil");
    return std::nullopt;
  }
  if (!engine.database()) return std::vector<TLMEventPtr>{};
  TLMDatabase& database = *engine.database();
  std::vector<TLMEventPtr> toWrite;
  std::vector<TLMEventPtr> triggeredEvents;
  const bool committed = database.performTransaction([&] {
    toWrite.clear();
    triggeredEvents.clear();
    platform::Error error;
    auto timedOut = database.timedOutConditionalUserPropertiesWithError(&error);
    if (!timedOut) {
      tlm_monitor()->logWithLevel(1, 10001, "Unable to fetch timed out conditional user properties. Error", tlm_errorText(error));
      return false;
    }
    for (const auto& p : *timedOut) {
      tlm_monitor()->logWithLevel(7, 10002, "Conditional user property has timed out. Name", propertyName(p.name));
      platform::Error deleteError;
      if (!database.deleteConditionalUserPropertyWithName(p.name, &deleteError) && hasError(deleteError)) {
        tlm_monitor()->logWithLevel(7, 10003, "Unable to delete timed out condition user property. Name, error",
                                    propertyName(p.name), tlm_errorText(deleteError));
        return false;
      }
      if (auto e = eventFromTemplate(p.timedOutEvent, p.origin, platform::Clock::current()->now())) toWrite.push_back(e);
    }
    auto expired = database.expiredConditionalUserPropertiesWithError(&error);
    if (!expired) {
      tlm_monitor()->logWithLevel(1, 10004, "Unable to fetch expired conditional user properties. Error", tlm_errorText(error));
      return false;
    }
    for (const auto& p : *expired) {
      tlm_monitor()->logWithLevel(7, 10005, "Conditional user property has expired. Name, expired event", propertyName(p.name),
                                  tlm_text(p.expiredEvent ? TLMFormattedEventName(TLMObject(p.expiredEvent->name())) : ""));
      platform::Error attributeError;
      if (!database.deleteUserAttributeWithName(p.name, &attributeError) && hasError(attributeError)) {
        tlm_monitor()->logWithLevel(1, 10006,
                                    "Unable to remove conditional user property. Failed to delete the user property. Name, origin, error",
                                    propertyName(p.name), tlm_text(p.origin), tlm_errorText(attributeError));
        return false;
      }
      platform::Error deleteError;
      if (!database.deleteConditionalUserPropertyWithName(p.name, &deleteError) && hasError(deleteError)) {
        tlm_monitor()->logWithLevel(7, 10007, "Unable to delete expired condition user property. Name, error",
                                    propertyName(p.name), tlm_errorText(deleteError));
        return false;
      }
      if (auto e = eventFromTemplate(p.expiredEvent, p.origin, platform::Clock::current()->now())) toWrite.push_back(e);
    }
    auto triggering = database.triggeredConditionalUserPropertiesWithEventName(event->name(), &error);
    if (!triggering) {
      tlm_monitor()->logWithLevel(1, 10008, "Unable to fetch triggering conditional user properties. Event name, error",
                                  tlm_text(TLMFormattedEventName(TLMObject(event->name()))), tlm_errorText(error));
      return false;
    }
    for (auto p : *triggering) {
      const double at = platform::Clock::current()->now();
      if (p.value) {
        auto attribute = TLMUserAttribute::initWithOrigin(p.origin, p.name, *p.value, at);
        platform::Error attributeError;
        if (attribute && database.updateUserAttribute(*attribute, &attributeError)) {
          tlm_monitor()->logWithLevel(7, 10010, "User property updated. Name, origin, value", propertyName(p.name),
                                      tlm_text(p.origin), p.value->value());
        } else {
          tlm_monitor()->logWithLevel(1, 10009, "Unable to update user property from conditional user property. Name, origin, error",
                                      propertyName(p.name), tlm_text(p.origin), tlm_errorText(attributeError));
        }
      }
      if (auto e = eventFromTemplate(p.triggeredEvent, p.origin, at)) triggeredEvents.push_back(e);
      p.active = true;
      p.triggeredTimestamp = at;
      platform::Error rowError;
      if (!database.updateConditionalUserProperty(p, &rowError) && hasError(rowError)) {
        tlm_monitor()->logWithLevel(1, 10011, "Unable to update conditional user property. Name, origin, error",
                                    propertyName(p.name), tlm_text(p.origin), tlm_errorText(rowError));
        return false;
      }
    }
    return true;
  });
  if (!committed) return std::nullopt;
  for (const auto& e : toWrite) engine.writeEventOnWorkerQueue(e);
  return triggeredEvents;
}
