// The UI-test runner: installs the simulated Vesmora app on the simulated device, connects the
// support layer's failures to the running test, and runs the selected test classes. `--help`
// lists its options and the environment it reads (kEnvironmentHelp below); `--list-faults` prints
// every fault the app knows, "name: description" one a line. Before the first test it checks its
// environment (a value it cannot read ends the run with status 2, before any test) and echoes on
// standard error what it pinned: the faults, the device's time zone and clock.
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

namespace {

const char* const kEnvironmentHelp =
    "  test_env                  the data set of the run: the tests read uitests/Resources/<name>_<test_env>.json\n"
    "                            (required; \"sim\" for the simulated app)\n"
    "  VESMORA_FAULTS            comma-separated faults the app under test is launched with (--list-faults)\n"
    "  VESMORA_LOADING_SECONDS   virtual seconds each request of the app shows its loading indicator\n"
    "                            (default 2; 0 turns the latency off)\n"
    "  VESMORA_DEVICE_TIME_ZONE  the device's time zone, \"Asia/Kolkata\" say (default: the system's, $TZ\n"
    "                            or /etc/localtime)\n"
    "  VESMORA_DEVICE_TIME       the device's clock at the start, \"2026-12-07T04:30:00\" in the device's\n"
    "                            zone; it runs on with the virtual time (default: the real time)\n"
    "  VESMORA_BIOMETRY          the device's biometry: face (default), touch or none\n";

int listFaults() {
  for (const auto& fault : vesmora::Faults::registered()) std::cout << fault.name << ": " << fault.description << "\n";
  return 0;
}

// Reads the run's environment and sets the device up; a status other than 0 ends the run.
int prepareRun() {
  const char* dataSet = std::getenv("test_env");
  if (dataSet == nullptr || *dataSet == '\0') {
    std::cerr << "test_env is not set: it names the data set the tests read (uitests/Resources/<name>_<test_env>.json).\n"
                 "Set it for the run, e.g. test_env=sim vesmora-uitests [Class | Class/method]... (\"sim\" is the data\n"
                 "set of the simulated app; scripts/run-ui-suite.sh sets it to \"sim\" when it is unset)."
              << std::endl;
    return 2;
  }
  if (const char* zoneName = std::getenv("VESMORA_DEVICE_TIME_ZONE")) {
    auto zone = platform::TimeZone::named(zoneName);
    if (!zone) {
      std::cerr << "VESMORA_DEVICE_TIME_ZONE names no time zone: \"" << zoneName << "\"" << std::endl;
      return 2;
    }
    platform::TimeZone::setCurrent(*zone);
  }
  const char* time = std::getenv("VESMORA_DEVICE_TIME");
  if (time) {
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
  const platform::TimeZone zone = platform::TimeZone::current();
  if (std::getenv("VESMORA_DEVICE_TIME_ZONE")) std::cerr << "Device time zone: " << zone.identifier() << std::endl;
  if (time) {
    double start = XCTVirtualClock::epochSeconds();
    std::cerr << "Device clock starts at: " << time << " "
              << platform::DateFormatter("ZZZZZ (zzz)").stringFromDate(start) << std::endl;
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
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  XCTestRunnerSetup setup;
  setup.optionsHelp = "  --list-faults    print every fault the app knows, \"name: description\" one a line, and exit\n";
  setup.environmentHelp = kEnvironmentHelp;
  setup.commands["--list-faults"] = listFaults;
  setup.prepare = prepareRun;
  int status = XCTestMain(argc, argv, setup);
  // What the run would have taken on a device: the virtual time its waits and presses let pass.
  if (XCTVirtualClock::now() > 0) std::cerr << "Virtual time: " << XCTVirtualClock::now() << " seconds" << std::endl;
  return status;
}
