// A host whose own global object configures the SDK while the program loads, before the SDK's
// static initialisers have run (EarlyConfigureGlobal.cpp); main then logs 5 events "in_main",
// runs until its standard input closes, as the embedding example does, and ends the app; the
// global object's destructor then logs and ends the app once more.
//
//   early_configure_host <collector base URL> [-CDVAnalyticsDebugEnabled]
//       exit status 0 when the app's end stored everything, 3 when not, 1 when configure failed,
//       4 when the analytics facade was registered before the global object configured (the
//       order this host is made for did not happen)
//   early_configure_host count     prints the events the store holds:
//                                  "offer_viewed <n> in_main <m> at_exit <k>"
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <cstdint>
#include <iostream>
#include <string>

#include "EarlyConfigure.h"
#include "StoredEvents.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/model/TLMUtil.h"
#include "uikit/UIKit.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "count") {
    return testsupport::printStoredEvents({"offer_viewed", "in_main", "at_exit"});
  }
  if (!early::outcome.ran) {
    std::cerr << "usage: early_configure_host <collector base URL> [-CDVAnalyticsDebugEnabled] | count\n";
    return 2;
  }
  if (early::outcome.analyticsFirst) {
    std::cerr << "the analytics facade was registered before the host's global object configured\n";
    return 4;
  }
  if (early::outcome.configureFailed) return 1;
  for (int i = 0; i < 5; ++i) {
    TLMObjectDictionary parameters;
    parameters.set("index", TLMObject(std::int64_t{i}));
    CDVAnalytics::logEventWithName("in_main", parameters);
  }
  for (std::string line; std::getline(std::cin, line);) {
  }
  return UIApplication().terminate() ? 0 : 3;
}
