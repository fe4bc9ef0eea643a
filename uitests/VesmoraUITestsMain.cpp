// The UI-test runner: installs the simulated Vesmora app on the simulated device, connects the
// support layer's failures to the running test, and runs the selected test classes.
//
// Environment of the run:
//   VESMORA_BIOMETRY   "face", "touch" or "none": the device's biometry kind (default "face").
//   VESMORA_FAULTS     comma-separated faults the app under test is launched with (see
//                      simulator/README.md); an unknown name ends the run with status 2.
//   VESMORA_LOADING_SECONDS  the virtual seconds each request of the app keeps its loading
//                      indicator up (default 2; 0 turns the latency off).
//   VESMORA_DEVICE_TIME_ZONE  the device's time zone for the run ("Asia/Kolkata", ...; default:
//                      the system's).
//   VESMORA_DEVICE_TIME  the device's clock at the start of the run, "2026-12-07T04:30:00" in the
//                      device's time zone; it runs on with the virtual time (default: the real
//                      time at start). A zone or time that cannot be read ends the run with 2.
// `--list-faults` prints every fault the app knows, "name: description" one a line, and exits.
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <map>
#include <string>
#include <vector>

#include "Extensions/Date.h"
#include "Utility/TestFailure.h"
#include "app/VesmoraApp.h"
#include "foundation/Date.h"
#include "model/Faults.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--list-faults") == 0) {
    for (const auto& fault : vesmora::Faults::registered()) std::cout << fault.name << ": " << fault.description << "\n";
    return 0;
  }
  if (const char* zoneName = std::getenv("VESMORA_DEVICE_TIME_ZONE")) {
    auto zone = platform::TimeZone::named(zoneName);
    if (!zone) {
      std::cerr << "VESMORA_DEVICE_TIME_ZONE names no time zone: \"" << zoneName << "\"" << std::endl;
      return 2;
    }
    platform::TimeZone::setCurrent(*zone);
  }
  if (const char* time = std::getenv("VESMORA_DEVICE_TIME")) {
    platform::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ss");
    auto pinned = formatter.dateFromString(time);
    if (!pinned) {
      std::cerr << "VESMORA_DEVICE_TIME must read like 2026-12-07T04:30:00, not \"" << time << "\"" << std::endl;
      return 2;
    }
    XCTVirtualClock::pinEpochSeconds(*pinned);
  }
  sim::Device& device = sim::Device::shared();
  std::map<std::string, std::string> launchEnvironment;
  if (const char* list = std::getenv(vesmora::Faults::kEnvironmentKey)) {
    std::vector<std::string> unknown;
    vesmora::Faults::parse(list, &unknown);
    if (!unknown.empty()) {
      std::cerr << "VESMORA_FAULTS names an unknown fault: \"" << unknown.front()
                << "\" (--list-faults lists the known ones)" << std::endl;
      return 2;
    }
    launchEnvironment[vesmora::Faults::kEnvironmentKey] = list;
    std::cerr << "Faults switched on: " << list << std::endl;
  }
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
  const char* loading = std::getenv(vesmora::VesmoraApp::kLoadingSecondsKey);
  launchEnvironment[vesmora::VesmoraApp::kLoadingSecondsKey] = loading ? loading : "2";
  vesmora::installVesmora(device);
  device.setDefaultLaunchEnvironment(launchEnvironment);
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
