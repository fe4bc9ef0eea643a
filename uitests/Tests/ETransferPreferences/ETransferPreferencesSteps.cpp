#include "Tests/ETransferPreferences/ETransferPreferencesSteps.h"

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Utility/BaseScreen.h"

namespace etransfer {

std::optional<TestDataRow> readRecord(const std::string& record) {
  const std::string file = "ETransferPreferencesTests";
  CommonFunctions::JSONObject data = CommonFunctions::loadDataSourceObject(file);
  auto it = data.find(record);
  if (it == data.end() || !it->second.is_object()) {
    XCTAssertTrue(false);
    return std::nullopt;
  }
  return TestDataRow::member(data, record, file);
}

ETransferPreferencesScreen signInAndOpenPreferences(XCTestCase& test, const XCUIApplication& app, Route route,
                                                    const std::string& username, const std::string& password) {
  LoginScreen loginScreen;
  loginScreen.performLogin(username, password, test, LoginScreen::BiometricEnrollAlertResponse::Ok);
  if (route == Route::profileEditor) BaseScreen::waitForLoading(test);
  loginScreen.tapOkIfErrorAppear();

  LandingScreen landingScreen;
  switch (route) {
    case Route::noProfile:
    case Route::stateChecks:
      BaseScreen::waitForLoading(test, 45);
      break;
    case Route::profileEditor:
      BaseScreen::waitForLoading(test, 15);
      loginScreen.tapOkIfErrorAppear();
      break;
    case Route::autodeposit:
      BaseScreen::waitForLoading(test);
      break;
  }
  landingScreen.tapOnMoreButton();
  if (route == Route::noProfile || route == Route::profileEditor) {
    BaseScreen::waitForLoading(test);
  } else {
    XCTAssertTrue(landingScreen.moreHeaderIcon.waitForExistence(10.0));
  }

  if (route == Route::noProfile || route == Route::stateChecks) {
    MoreScreen(app).preferencesButton.tap();
    BaseScreen::waitForLoading(test);
  } else {
    XCUIElement row = app.tables().staticTexts().matching("MoreViewInteractPreferences").element();
    XCTAssertTrue(row.exists());
    row.tap();
  }

  ETransferPreferencesScreen screen(app);
  switch (route) {
    case Route::noProfile:
    case Route::stateChecks:
      BaseScreen::waitForLoading(test, 45);
      break;
    case Route::profileEditor:
      BaseScreen::waitForLoading(test, 15);
      break;
    case Route::autodeposit:
      BaseScreen::waitForLoading(test);
      break;
  }
  return screen;
}

}  // namespace etransfer
