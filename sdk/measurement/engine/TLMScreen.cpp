#include "measurement/engine/TLMScreen.h"

#include "measurement/engine/TLMMeasurementEngine.h"

#include "measurement/model/TLMDataTypeValidator.h"
#include "measurement/model/TLMMonitor.h"
#include "measurement/model/TLMValue.h"

TLMObjectDictionary TLMScreenParameters(const TLMScreen& screen) {
  TLMObjectDictionary parameters;
  parameters.set("_si", TLMObject(screen.instanceID));
  if (screen.className.empty()) {
    TLMMeasurement::monitor()->logWithLevel(4, 31014, "Screen class name is empty");
    return parameters;
  }
  TLMDataTypeValidator::Failure failure = TLMValidationFailureNone;
  if (!TLMDataTypeValidator::isValidScreenParameterValue(TLMObject(screen.className), &failure)) {
    TLMMeasurement::monitor()->logWithLevel(4, 31015, "Screen class name is invalid. Failure code",
                                            platform::Value(static_cast<std::int64_t>(failure)));
    return parameters;
  }
  parameters.set("_sc", TLMObject(screen.className));
  // An invalid name is left out silently.
  if (screen.name && TLMDataTypeValidator::isValidScreenParameterValue(TLMObject(*screen.name))) {
    parameters.set("_sn", TLMObject(*screen.name));
  }
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
