// The More tab.
#pragma once

#include "Utility/BaseScreen.h"

class MoreScreen : public BaseScreen {
 public:
  explicit MoreScreen(XCUIApplication app);

  XCUIElement pageTitle;
  XCUIElement bioButton;
  XCUIElement bioSubText;
  XCUIElement preferencesButton;
  XCUIElement preferencesSubText;
  XCUIElement contactUsButton;
  XCUIElement contactUsSubText;
  XCUIElement logoutButton;

  void tapOnBiometricSettingButton();
  void tapOnContactUsButton();
  void tapOnLogoutButton();
  // Opens the More tab, taps "Log out" and waits for the sign-in screen (25 seconds each).
  void performLogout(XCTestCase& xctestcase);
};
