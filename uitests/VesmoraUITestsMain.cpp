// The UI-test runner: installs the simulated Vesmora app on the simulated device, connects the
// support layer's failures to the running test, and runs the selected test classes. `--help`
// lists its options and the environment it reads (kEnvironmentHelp below); `--list-faults` prints
// every fault the app knows, "name: description" one a line. Before the first test it checks its
// environment (a value it cannot read ends the run with status 2, before any test) and echoes on
// standard error what it pinned: the faults, the device's time zone and clock.
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "Extensions/Date.h"
#include "StartTimeSweep.h"
#include "Utility/TestBundle.h"
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
    "  VESMORA_LOADING_SECONDS   virtual seconds each request of the app shows its loading indicator,\n"
    "                            a number from 0 to 3600 (default 2; 0 turns the latency off; above 15\n"
    "                            the suite's own waits for the next screen run out and its tests fail)\n"
    "  VESMORA_DEVICE_TIME_ZONE  the device's time zone, \"Asia/Kolkata\" say (default: the system's, $TZ\n"
    "                            or /etc/localtime)\n"
    "  VESMORA_DEVICE_TIME       the device's clock at the start, \"2026-12-07T04:30:00\" in the device's\n"
    "                            zone, from 1970-01-01T00:00:00 to 9998-12-31T23:59:59; it runs on with\n"
    "                            the virtual time (default: the real time)\n"
    "  VESMORA_BIOMETRY          the device's biometry: face (default), touch or none\n";

// The pinned clocks the suite runs on: from the Unix epoch (no device's clock is set earlier) to a
// year short of the last four-digit one. The tests move dates up to a year or two ahead (the date
// pickers' last year): a run that crosses into the year 10000 fails on dates the app cannot show.
constexpr const char* kEarliestDeviceTime = "1970-01-01T00:00:00";
constexpr const char* kLatestDeviceTime = "9998-12-31T23:59:59";

// Set when the run is a sweep (--sweep), before prepareRun: its clock must leave room for the
// sweep's first run, 12 hours before it.
bool gSweep = false;

int listFaults() {
  for (const auto& fault : vesmora::Faults::registered()) std::cout << fault.name << ": " << fault.description << "\n";
  return 0;
}

// Whether the suite's resources hold a data file of the data set `name` ("<file>_<name>.json").
bool hasDataSet(const std::string& name) {
  const std::string suffix = "_" + name + ".json";
  std::error_code error;
  for (const auto& entry : std::filesystem::directory_iterator(TestBundle::resourceDirectory(), error)) {
    const std::string file = entry.path().filename().string();
    if (file.size() > suffix.size() && file.ends_with(suffix)) return true;
  }
  return false;
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
  if (!hasDataSet(dataSet)) {
    std::cerr << "test_env names no data set: no " << TestBundle::resourceDirectory() << "/*_" << dataSet
              << ".json (\"sim\" is the data set of the simulated app)." << std::endl;
    return 2;
  }
  if (const char* zoneName = std::getenv("VESMORA_DEVICE_TIME_ZONE")) {
    auto zone = platform::TimeZone::named(zoneName);
    if (!zone) {
      std::cerr << "VESMORA_DEVICE_TIME_ZONE names no time zone: \"" << zoneName
                << "\" (a name of the time-zone database, like America/Denver, Asia/Kolkata or UTC)" << std::endl;
      return 2;
    }
    platform::TimeZone::setCurrent(*zone);
  }
  const char* time = std::getenv("VESMORA_DEVICE_TIME");
  if (time) {
    platform::DateFormatter formatter("yyyy-MM-dd'T'HH:mm:ss");
    auto pinned = formatter.dateFromString(time);
    // Exactly that form, two digits a field ("2026-12-7T4:30:00" is refused): read and written
    // again in UTC, where no hour is skipped, it comes back unchanged.
    platform::DateFormatter inUTC("yyyy-MM-dd'T'HH:mm:ss");
    inUTC.setTimeZone(platform::TimeZone::utc());
    auto asUTC = inUTC.dateFromString(time);
    if (!pinned || !asUTC || inUTC.stringFromDate(*asUTC) != time) {
      std::cerr << "VESMORA_DEVICE_TIME must read like 2026-12-07T04:30:00, not \"" << time << "\"" << std::endl;
      return 2;
    }
    // Compared as read in UTC: the range holds for the clock's text in every zone.
    if (*asUTC < *inUTC.dateFromString(kEarliestDeviceTime) || *asUTC > *inUTC.dateFromString(kLatestDeviceTime)) {
      std::cerr << "VESMORA_DEVICE_TIME must lie from " << kEarliestDeviceTime << " to " << kLatestDeviceTime
                << ", not \"" << time << "\"" << std::endl;
      return 2;
    }
    if (gSweep) {
      if (int status = StartTimeSweep::checkMoment(*pinned); status != 0) return status;
    }
    StartTimeSweep::pinStart(*pinned);
  }
  sim::Device& device = sim::Device::shared();
  // The settings the app reads from its launch environment, checked here as the app checks them.
  std::map<std::string, std::string> launchEnvironment;
  const char* faults = std::getenv(vesmora::Faults::kEnvironmentKey);
  const char* loading = std::getenv(vesmora::VesmoraApp::kLoadingSecondsKey);
  vesmora::Faults switchedOn;
  try {
    if (faults) switchedOn = vesmora::Faults::parseKnown(faults);
    if (loading) vesmora::VesmoraApp::loadingSecondsFrom(loading);
  } catch (const std::invalid_argument& e) {
    std::cerr << e.what() << std::endl;
    return 2;
  }
  if (faults) {
    launchEnvironment[vesmora::Faults::kEnvironmentKey] = faults;
    if (!switchedOn.empty()) std::cerr << "Faults switched on: " << faults << std::endl;
  }
  if (loading) launchEnvironment[vesmora::VesmoraApp::kLoadingSecondsKey] = loading;
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
    // The clock as it really starts: a time the zone skips (the hour a daylight-saving jump
    // leaves out) starts that much later, and the echo says so.
    const double start = XCTVirtualClock::epochSeconds();
    const std::string local = platform::DateFormatter("yyyy-MM-dd'T'HH:mm:ss").stringFromDate(start);
    std::cerr << "Device clock starts at: " << local << " "
              << platform::DateFormatter("ZZZZZ (zzz)").stringFromDate(start);
    if (local != time) std::cerr << " (" << time << " does not exist in " << zone.identifier() << ": its clocks skip it)";
    std::cerr << std::endl;
  }
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
  setup.optionsHelp +=
      "  --sweep <step>   run each test at start times <step> whole seconds apart (1 to 3600), from its\n"
      "                   length before VESMORA_DEVICE_TIME (required) up to it, so that the moment\n"
      "                   (midnight, say) falls at every point of its run; first one more run, 12 hours\n"
      "                   before the moment, learns that length (the closing line counts it among the\n"
      "                   runs). One line a test, the failed start times. A start time before\n"
      "                   1970-01-01T00:00:00 UTC ends the sweep with status 2\n";
  setup.commands["--list-faults"] = listFaults;
  setup.runModes["--sweep"] = StartTimeSweep::runMode;
  setup.runModeChecks["--sweep"] = [](const std::string& step) {
    gSweep = true;
    return StartTimeSweep::checkMode(step);
  };
  setup.prepare = prepareRun;
  // What the run would have taken on a device: the virtual time its waits and presses let pass,
  // just before the closing summary line.
  setup.closing = [] {
    if (XCTVirtualClock::now() > 0) std::cerr << "Virtual time: " << XCTVirtualClock::now() << " seconds" << std::endl;
  };
  return XCTestMain(argc, argv, setup);
}
