// What the early-configure host's global object (EarlyConfigureGlobal.cpp) did while the program
// loaded, for its main (EarlyConfigureHost.cpp).
#pragma once

namespace early {

struct Outcome {
  bool ran = false;              // the global object acted (not in count mode)
  bool analyticsFirst = false;   // the analytics facade was registered before it configured
  bool configureFailed = false;  // configure raised (its reason went to standard error)
};

extern Outcome outcome;

}  // namespace early
