#include "Screens/MoreScreen.h"

#include <iostream>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Utility/DeviceUtil.h"

MoreScreen::MoreScreen(XCUIApplication app)
    : BaseScreen(app),
      pageTitle(app.tables().staticTexts()["More"]),
      bioButton(app.staticTexts()["Biometric settings"]),
      bioSubText(app.tables().staticTexts()["Take advantage of your phone's technology to log in using your " +
                                            DeviceUtil::bioType() + " instead of a passcode"]),
      preferencesButton(app.staticTexts()["Interac e-Transfer\u00ae preferences"]),
      preferencesSubText(app.tables().staticTexts()["Manage your profile and autodeposit information"]),
      contactUsButton(app.tables().staticTexts()["Contact us"]),
      contactUsSubText(app.tables().staticTexts()[
          "Connect with Corvane by phone or email, or complete a short survey to leave us some feedback!"]),
      logoutButton(app.navigationBars().buttons()["Log out"]) {}

void MoreScreen::tapOnBiometricSettingButton() { tap(bioButton); }

void MoreScreen::tapOnContactUsButton() { tap(contactUsButton); }

void MoreScreen::tapOnLogoutButton() { tap(logoutButton); }

void MoreScreen::performLogout(XCTestCase& xctestcase) {
  LandingScreen().tapOnMoreButton();
  xctestcase.expectation(NSPredicate("exists == TRUE"), logoutButton);
  xctestcase.waitForExpectations(25);
  tap(logoutButton);
  xctestcase.expectation(NSPredicate("exists == TRUE"), LoginScreen().welcomeLabel);
  xctestcase.waitForExpectations(25);
  std::cout << "User has  been logged out successfully" << std::endl;
}
