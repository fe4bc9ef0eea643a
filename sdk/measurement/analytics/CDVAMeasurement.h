// The older class names of the measurement engine, the screen-view reporter and the conditional
// user properties, for callers written against them. The engine and screen-view names answer the
// same shared object as the current class; the conditional-property names are subclasses that
// add nothing, so their objects go wherever the current ones do.
#pragma once

#include <memory>

#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/components/TLMConditionalUserPropertyController.h"
#include "measurement/engine/components/TLMScreenViewReporter.h"
#include "measurement/store/TLMConditionalUserProperty.h"

class CDVAMeasurement {
 public:
  static std::shared_ptr<TLMMeasurementEngine> sharedInstance() { return TLMMeasurementEngine::sharedInstance(); }
};

class CDVAScreenViewReporter {
 public:
  static std::shared_ptr<TLMScreenViewReporter> sharedInstance() { return TLMScreenViewReporter::sharedInstance(); }
};

class CDVAConditionalUserProperty : public TLMConditionalUserProperty {};

// Its inherited sharedInstance() answers the one shared controller.
class CDVAConditionalUserPropertyController : public TLMConditionalUserPropertyController {};
