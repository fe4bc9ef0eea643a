// The parts of CommonFunctions that reach the simulated device.
#include "Utility/CommonFunctions.h"
#include "xcuitest/XCUITest.h"

void CommonFunctions::acceptPermissionsPromptIfRequired() {
  XCUIApplication springboard(sim::kSpringboardBundleIdentifier);
  XCUIElement ok = springboard.alerts().buttons()["OK"];
  if (ok.exists()) ok.tap();
}
