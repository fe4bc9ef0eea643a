// A screen of the host app as the screen reporting hands it to the session and ad-exposure
// reporters, and the event parameters that name it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "measurement/model/TLMObject.h"

struct TLMScreen {
  std::optional<std::string> name;
  std::string className;
  std::int64_t instanceID = 0;
  bool manuallySet = false;
};

// "_si" always; then "_sc" with the class name and "_sn" with the name when it is a valid screen
// parameter value. An empty class name logs 31014, an invalid one 31015 (with the validator's
// failure code); either gives "_si" alone.
TLMObjectDictionary TLMScreenParameters(const TLMScreen& screen);

// Whether the app is active, as the shared engine's screen reporting knows it; false without an
// engine. Any thread.
bool TLMIsAppActive();
// The current screen's parameters of the shared engine's screen reporting; empty without one.
TLMObjectDictionary TLMCurrentScreenParameters();
