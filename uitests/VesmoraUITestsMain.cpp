// The UI-test runner: installs the simulated Vesmora app on the simulated device, connects the
// support layer's failures to the running test, and runs the selected test classes.
//
// The environment variable VESMORA_BIOMETRY ("face", "touch" or "none") sets the device's
// biometry kind; the default is "face".
#include <cstdlib>
#include <iostream>
#include <string>

#include "Extensions/Date.h"
#include "Utility/TestFailure.h"
#include "app/VesmoraApp.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

int main(int argc, char** argv) {
  sim::Device& device = sim::Device::shared();
  if (const char* kind = std::getenv("VESMORA_BIOMETRY")) {
    std::string k = kind;
    if (k == "face") {
      device.setBiometryKind(sim::BiometryKind::faceID);
    } else if (k == "touch") {
      device.setBiometryKind(sim::BiometryKind::touchID);
    } else if (k == "none") {
      device.setBiometryKind(sim::BiometryKind::none);
    } else {
      std::cerr << "VESMORA_BIOMETRY must be face, touch or none, not \"" << k << "\"" << std::endl;
      return 2;
    }
  }
  vesmora::installVesmora(device);
  // The suite's "now" is the simulated device's clock, which waits move forward: the dates a test
  // expects and the dates the app shows come from the same clock.
  Date::setClockSource([] { return Date::fromTimeIntervalSince1970(XCTVirtualClock::epochSeconds()).instant(); });

  TestFailure::setHandler([](const std::string& message, bool stopTest) {
    xctest::recordFailure(message, "<test support>", 0);
    if (stopTest) throw xctest::XCTestInterruption{};
  });
  int status = XCTestMain(argc, argv);
  // What the run would have taken on a device: the virtual time its waits and presses let pass.
  if (XCTVirtualClock::now() > 0) std::cerr << "Virtual time: " << XCTVirtualClock::now() << " seconds" << std::endl;
  return status;
}
