// The older class names of the measurement engine and of the screen-view reporter, for callers
// written against them. Each answers the same shared object as the current class.
#pragma once

#include <memory>

#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/engine/components/TLMScreenViewReporter.h"

class CDVAMeasurement {
 public:
  static std::shared_ptr<TLMMeasurementEngine> sharedInstance() { return TLMMeasurementEngine::sharedInstance(); }
};

class CDVAScreenViewReporter {
 public:
  static std::shared_ptr<TLMScreenViewReporter> sharedInstance() { return TLMScreenViewReporter::sharedInstance(); }
};
