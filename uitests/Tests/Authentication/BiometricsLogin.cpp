// The sign-in screen's biometric button on the simulator: without enrolment, with enrolment, and
// after a matching and a non-matching face or finger. Every row of the data file first signs in
// and out with a password; devices without biometry stop there.
#include <functional>
#include <iostream>
#include <optional>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Utility/Biometrics.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "Utility/DeviceUtil.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class BiometricsLogin : public AppTestCase {
 public:
  void test_launchingWithBiometricsDisabled() {
    eachSignedOutRow(false, [&](LoginScreen& loginScreen, BiometricType kind) {
      Biometrics::unenrolled();
      loginScreen.tapOnBiometricLoginButton();
      expectation(NSPredicate("exists == TRUE"), notAvailableAlert(loginScreen, kind));
      waitForExpectations(15);
      XCTAssertTrue(notAvailableAlert(loginScreen, kind).exists());
      XCTAssertTrue(notAvailableMessage(loginScreen, kind).exists());
    });
  }

  void test_launchingWithBiometricsEnabled() {
    eachSignedOutRow(false, [&](LoginScreen& loginScreen, BiometricType kind) {
      loginScreen.tapOnBiometricLoginButton();
      XCTAssertFalse(notAvailableAlert(loginScreen, kind).exists());
    });
  }

  void test_successfulAuthentication() {
    eachSignedOutRow(true, [&](LoginScreen& loginScreen, BiometricType) {
      loginScreen.tapOnBiometricLoginButton();
      CommonFunctions::acceptPermissionsPromptIfRequired();
      Biometrics::successfulAuthentication();
      expectation(NSPredicate("exists == FALSE"), loginScreen.loadingAnimation);
      waitForExpectations(45);
      XCTAssert(LandingScreen().overviewButton.waitForExistence(10));
    });
  }

  void test_unsuccessfulAuthentication() {
    eachSignedOutRow(true, [&](LoginScreen& loginScreen, BiometricType) {
      loginScreen.tapOnBiometricLoginButton();
      CommonFunctions::acceptPermissionsPromptIfRequired();
      Biometrics::unsuccessfulAuthentication();
      XCUIDevice::shared().press(XCUIDeviceButton::home);
      XCTAssertFalse(LandingScreen().overviewButton.waitForExistence(2));
      XCTAssert(loginScreen.welcomeLabel.exists(), "User stays on Login page after unsuccessful login");
    });
  }

 private:
  using OwnSteps = std::function<void(LoginScreen&, BiometricType)>;

  // Enrols the device (when it has biometry), then for every row: relaunch unless its id is 1,
  // sign in and out with the password, and on a device with biometry run the test's own steps.
  void eachSignedOutRow(bool sayEnrolled, const OwnSteps& ownSteps) {
    BiometricType kind = DeviceUtil::biometricType();
    if (kind != BiometricType::none) {
      Biometrics::enrolled();
      if (sayEnrolled) std::cout << "Device is enrolled for biometrics" << std::endl;
    }
    CommonFunctions::forEachDataRow(*this, "BiometricsLoginTestData", [&](const TestDataRow& row) {
      std::string username = row.string("username");
      std::string password = row.string("password");
      LoginScreen loginScreen;
      loginScreen.performLogin(username, password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      MoreScreen(*app).performLogout(*this);
      XCTAssert(loginScreen.welcomeLabel.exists(), "App is on Login Page");
      std::cout << "Pre-Conditions have been completed" << std::endl;
      if (kind == BiometricType::none) {
        std::cout << "This test case is not applicable for devices that don't support biometrics" << std::endl;
        return;
      }
      ownSteps(loginScreen, kind);
    });
  }

  static const XCUIElement& notAvailableAlert(const LoginScreen& loginScreen, BiometricType kind) {
    return kind == BiometricType::touch ? loginScreen.biometricNotAvailableAlertTouchID
                                        : loginScreen.biometricNotAvailableAlert;
  }
  static const XCUIElement& notAvailableMessage(const LoginScreen& loginScreen, BiometricType kind) {
    return kind == BiometricType::touch ? loginScreen.biometricNotAvailableAlertMessageTouchID
                                        : loginScreen.biometricNotAvailableAlertMessage;
  }

};

XCTEST_CLASS(BiometricsLogin)
XCTEST_METHOD(BiometricsLogin, test_launchingWithBiometricsDisabled)
XCTEST_METHOD(BiometricsLogin, test_launchingWithBiometricsEnabled)
XCTEST_METHOD(BiometricsLogin, test_successfulAuthentication)
XCTEST_METHOD(BiometricsLogin, test_unsuccessfulAuthentication)
