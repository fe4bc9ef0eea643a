// A host that calls the SDK on its way out: from the destructor of a static object of its own, or
// from an atexit handler, after main returned. By then the C library has destroyed the main
// thread's thread-local objects. The late calls write a log line, configure a second app, log an
// event "at_exit" and end the app; they must work, or be refused cleanly, and touch no memory
// already freed.
//
//   exit_calls_host <static|atexit> <configured|ended> [collector base URL]
//       main configures the SDK and logs 3 events "in_main"; with "ended" it also ends the app
//       (exit status 3 when that end reports a loss); then it returns, and the static destructor
//       or the atexit handler makes the late calls and prints "late answer true|false"
//   exit_calls_host count      prints the events the store holds: "in_main <n> at_exit <m>"
//
// VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT name the app's bundle (the
// embedding example's serves) and data folders.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVLogger.h"
#include "StoredEvents.h"
#include "foundation/Exception.h"
#include "measurement/analytics/CDVAnalytics.h"
#include "measurement/engine/TLMMeasurementEngine.h"
#include "measurement/model/TLMUtil.h"
#include "uikit/UIKit.h"

namespace {

// Nothing listens at this address: an upload that starts anyway fails at once.
constexpr const char* kNoCollector = "http://127.0.0.1:9";

void logEvent(const char* name, std::int64_t index) {
  TLMObjectDictionary parameters;
  parameters.set("index", TLMObject(index));
  CDVAnalytics::logEventWithName(name, parameters);
}

void lateCalls() {
  CDVLogError(kCDVLoggerCore, "I-COR000099", "A host's call at exit");
  // A second app, whose configuration report the core holds back while its registry is locked.
  try {
    CDVApp::configureWithName("at_exit", CDVApp::defaultApp()->options());
  } catch (const platform::Exception& e) {
    std::printf("late configure failed: %s\n", e.reason().c_str());
  }
  logEvent("at_exit", 0);
  const bool answer = UIApplication().terminate();
  std::printf("late answer %s\n", answer ? "true" : "false");
  std::fflush(stdout);
}

// Constant-initialised: set by main before it returns.
bool gLateFromDestructor = false;

// Made before main, so destroyed after it returned (and after the main thread's thread-local
// objects).
struct Late {
  ~Late() {
    if (gLateFromDestructor) lateCalls();
  }
} gLate;

}  // namespace

int main(int argc, char** argv) {
  const std::string from = argc > 1 ? argv[1] : "";
  if (from == "count") return testsupport::printStoredEvents({"in_main", "at_exit"});
  const std::string done = argc > 2 ? argv[2] : "";
  if ((from != "static" && from != "atexit") || (done != "configured" && done != "ended")) {
    std::cerr << "usage: exit_calls_host <static|atexit> <configured|ended> [collector] | count\n";
    return 2;
  }
  TLMMeasurementEngine::setCollectionServerURL(argc > 3 ? argv[3] : kNoCollector);
  CDVApp::configure();
  for (int i = 0; i < 3; ++i) logEvent("in_main", i);
  if (done == "ended" && !UIApplication().terminate()) return 3;
  if (from == "static") {
    gLateFromDestructor = true;
  } else if (std::atexit(lateCalls) != 0) {
    return 1;
  }
  return 0;
}
