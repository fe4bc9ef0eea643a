// Shared set-up of the session, ad-exposure and search-ad tests: the engine test environment, a
// persisted configuration in its sandbox, and recorders for internal events and properties.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "../EngineTestSupport.h"
#include "measurement/engine/TLMPersistedConfig.h"
#include "measurement/model/TLMObject.h"

struct RecordedEvents {
  std::mutex mutex;
  std::vector<TLMRecordedInternalEvent> events;

  TLMInternalEventLogger logger() {
    return [this](const std::string& origin, const std::string& name, const TLMObjectDictionary& parameters) {
      std::lock_guard<std::mutex> lock(mutex);
      events.push_back({origin, name, parameters});
    };
  }
  std::vector<TLMRecordedInternalEvent> named(const std::string& name) {
    std::lock_guard<std::mutex> lock(mutex);
    std::vector<TLMRecordedInternalEvent> out;
    for (const auto& e : events)
      if (e.name == name) out.push_back(e);
    return out;
  }
  void clear() {
    std::lock_guard<std::mutex> lock(mutex);
    events.clear();
  }
};

// The int64 held by an event parameter; empty when absent or of another kind.
inline std::optional<std::int64_t> int64Parameter(const TLMRecordedInternalEvent& event, const std::string& key) {
  const TLMObject* object = event.parameters.find(key);
  if (!object) return std::nullopt;
  if (const TLMValue* value = object->tlmValue()) return value->value().int64Value();
  if (const platform::Value* host = object->object()) return host->int64Value();
  return std::nullopt;
}

inline std::optional<std::string> stringParameter(const TLMRecordedInternalEvent& event, const std::string& key) {
  const TLMObject* object = event.parameters.find(key);
  if (!object) return std::nullopt;
  if (const TLMValue* value = object->tlmValue()) return value->value().stringValue();
  if (const platform::Value* host = object->object()) return host->stringValue();
  return std::nullopt;
}

inline std::shared_ptr<TLMPersistedConfig> makeTestPersistedConfig(EngineTestEnvironment& env) {
  return TLMPersistedConfig::initWithUserDefaults(TLMUserDefaults::initWithSuiteName(kTLMPersistedConfigName, env.queue));
}
