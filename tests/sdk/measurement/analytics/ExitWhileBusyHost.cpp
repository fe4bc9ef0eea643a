// A host app that embeds the SDK the ordinary way (its bundle ships the service information
// file; VESMORA_MAIN_BUNDLE, VESMORA_SANDBOX_ROOT and VESMORA_DEVICE_ROOT point at it), logs
// events and sets user properties from several threads and returns from main at once, while the
// SDK's queues still hold that work. The process must end cleanly: exit status 0, no sanitizer
// report.
//
//   exit_while_busy_host [collector base URL]
#include "Core/Public/CDVApp.h"
#include "ExitHostSupport.h"
#include "measurement/engine/TLMMeasurementEngine.h"

int main(int argc, char** argv) {
  // Nothing listens there: a fetch or upload that starts anyway fails at once.
  TLMMeasurementEngine::setCollectionServerURL(argc > 1 ? argv[1] : "http://127.0.0.1:9");
  CDVApp::configure();

  exithost::logFromSeveralThreads();
  return 0;
}
