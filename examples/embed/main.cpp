// The embedding example: a small app that embeds the SDK as the README's embedding section shows.
// Its bundle folder, Example.app beside this file, holds the service information file
// "OmbrixService-Info.plist" and the app's Info.plist; the SDK finds it through
// VESMORA_MAIN_BUNDLE. The first argument names the collector:
//
//   VESMORA_MAIN_BUNDLE=examples/embed/Example.app embed_app <collector URL> -CDVAnalyticsDebugEnabled
//
// With -CDVAnalyticsDebugEnabled the first upload leaves about a second after the first event
// instead of about 15 seconds. The app then runs until its standard input closes, as an app runs
// until it is quit; embed_collector starts it and checks what arrives.
#include <cstdint>
#include <iostream>
#include <string>

#include "Core/Public/CDVApp.h"
#include "foundation/Exception.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "uikit/UIKit.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::cerr << "usage: embed_app <collector URL> [-CDVAnalyticsDebugEnabled]\n";
    return 2;
  }
  // Before configure: uploads go to "<collector>/a", the configuration comes from
  // "<collector>/config/app/...".
  TLMMeasurementEngine::setCollectionServerURL(argv[1]);
  try {
    CDVApp::configure();  // reads OmbrixService-Info.plist and starts measurement
  } catch (const platform::Exception& e) {
    std::cerr << "configure failed: " << e.reason() << '\n';
    return 1;
  }

  // A user property travels with the events logged after it is set.
  CDVAnalytics::setUserPropertyString(TLMObject("gold"), "tier");
  TLMObjectDictionary parameters;
  parameters.set("item", TLMObject("card"));
  parameters.set("count", TLMObject(std::int64_t{2}));
  CDVAnalytics::logEventWithName("offer_viewed", parameters);

  for (std::string line; std::getline(std::cin, line);) {
  }
  // The app ends: this waits until what was logged is stored, at most 5 s, and says whether it
  // was (when not, a warning line said how much is lost if the process ends now).
  if (!UIApplication().terminate()) std::cerr << "not everything logged was stored\n";
  // The SDK has no stop: its queues run until the process ends. Returning from main is safe:
  // nothing their work may still reach is destroyed at exit.
  return 0;
}
