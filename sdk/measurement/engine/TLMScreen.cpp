#include "measurement/engine/TLMScreen.h"

#include "measurement/engine/TLMMeasurementEngine.h"

#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMValue.h"

TLMObjectDictionary TLMScreenParameters(const TLMScreen& screen) {
  TLMObjectDictionary parameters;
  parameters.set("_si", TLMValue(screen.instanceID));
  if (screen.className.empty()) {
    TLMMeasurement::monitor()->logWithLevel(4, 31014, "Screen class name is empty");
    return parameters;
  }
  parameters.set("_sc", TLMValue(screen.className));
  if (screen.name && !screen.name->empty()) parameters.set("_sn", TLMValue(*screen.name));
  return parameters;
}

bool TLMIsAppActive() {
  auto engine = TLMMeasurementEngine::sharedInstance();
  return engine && engine->screenReporter() && engine->screenReporter()->isAppActive();
}

TLMObjectDictionary TLMCurrentScreenParameters() {
  auto engine = TLMMeasurementEngine::sharedInstance();
  if (!engine || !engine->screenReporter()) return {};
  return engine->screenReporter()->screenParameters();
}
