// The parts of CommonFunctions that reach the simulated device.
#include "Utility/CommonFunctions.h"

#include <climits>

#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

void CommonFunctions::forEachDataRow(XCTestCase& test, const std::string& filename,
                                     const std::function<void(const TestDataRow&)>& body) {
  auto rows = loadDataSourceArray(filename);
  for (std::size_t r = 0; r < rows.size(); ++r) {
    TestDataRow row(rows[r], filename, r);
    long long id = row.integer("id");
    // An id beyond int's range is not 1: it must not wrap around to 1 and skip the relaunch.
    bool relaunch = id < INT_MIN || id > INT_MAX || determineSetUp(static_cast<int>(id));
    if (relaunch) test.setUp();
    body(row);
  }
}

void CommonFunctions::launchAppStoppingAtFirstFailure(XCTestCase& test) {
  test.continueAfterFailure = false;
  XCUIApplication().launch();
}

void CommonFunctions::acceptPermissionsPromptIfRequired() {
  XCUIApplication springboard(sim::kSpringboardBundleIdentifier);
  XCUIElement ok = springboard.alerts().buttons()["OK"];
  if (ok.exists()) ok.tap();
}
