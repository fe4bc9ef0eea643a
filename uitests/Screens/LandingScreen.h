// The landing page's tab bar.
#pragma once

#include "Utility/BaseScreen.h"

class LandingScreen : public BaseScreen {
 public:
  LandingScreen();

  XCUIElement overviewButton;
  XCUIElement moveMoneyButton;
  XCUIElement moreButton;
  XCUIElement moreHeaderIcon;

  void tapOnOverviewButton();
  void tapOnMoreButton();
  // Taps "Move money" and waits up to 45 seconds for loading to end.
  void tapOnMoveMoneyButton(XCTestCase& xctestcase);
};
