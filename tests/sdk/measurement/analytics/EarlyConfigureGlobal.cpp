// The early-configure host's global object (its main is in EarlyConfigureHost.cpp). Its
// constructor runs while the program loads, before the SDK's own static initialisers (this file
// is linked before the SDK's libraries, whose initialisers therefore come later): it sets the
// collector (the first argument), logs an event before configuring (refused), configures the SDK,
// sets a user property and logs the event the example's collector looks for. Made first, it is
// destroyed last, after main returned and after the SDK's own static objects: its destructor logs
// "at_exit" and ends the app again, printing "late answer true|false".
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "EarlyConfigure.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Exception.h"
#include "foundation/ProcessInfo.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

namespace early {

constinit Outcome outcome;

namespace {

void logOffer(const char* name) {
  TLMObjectDictionary parameters;
  parameters.set("item", TLMObject("card"));
  parameters.set("count", TLMObject(std::int64_t{2}));
  CDVAnalytics::logEventWithName(name, parameters);
}

struct EarlyHost {
  EarlyHost() {
    const std::vector<std::string> arguments = platform::ProcessInfo::arguments();
    if (arguments.size() < 2 || arguments[1] == "count") return;
    outcome.ran = true;
    outcome.analyticsFirst = platform::ClassRegistry::hasClassNamed("CDVAnalytics");
    TLMMeasurementEngine::setCollectionServerURL(arguments[1]);
    logOffer("before_configure");
    try {
      CDVApp::configure();
    } catch (const platform::Exception& e) {
      std::fprintf(stderr, "configure failed: %s\n", e.reason().c_str());
      outcome.configureFailed = true;
      return;
    }
    CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
    logOffer("offer_viewed");
  }
  ~EarlyHost() {
    if (!outcome.ran || outcome.configureFailed) return;
    logOffer("at_exit");
    std::printf("late answer %s\n", UIApplication().terminate() ? "true" : "false");
    std::fflush(stdout);
  }
} gEarlyHost;

}  // namespace
}  // namespace early
