// Signing in against the mock backend: success, a rejected password and a locked account. Once
// signed in, the app asks the stub server for the accounts; with no stubs it answers none.
#include <string>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Utility/HTTPStubs.h"
#include "Utility/TestSetting.h"

class MockLoginTests : public XCTestCase {
 public:
  void setUp() override {
    XCTestCase::setUp();
    httpStubs.setUp();
    TestSettingUtil::set(swifterapp, TestSettingEnum::firstBiometricsLoginOptinIgnored);
    TestSettingUtil::set(swifterapp, TestSettingEnum::userChangeIgnored);
  }

  void tearDown() override {
    XCTestCase::tearDown();
    httpStubs.tearDown();
  }

  void testLoginSuccess() {
    swifterapp.launch();
    LoginScreen loginScreen;
    loginScreen.performLogin("userid", "480917", *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
  }

  void testLoginFail() {
    swifterapp.launch();
    LoginScreen loginScreen;
    loginScreen.performLogin("userid", "735062", *this, LoginScreen::BiometricEnrollAlertResponse::Ok, false);
    XCUIElement error =
        swifterapp.alerts().staticTexts()["The username or password you entered is incorrect. Please try again."];
    if (!error.exists()) XCTFail("Login should be failed with invalid password error.");
    assertNotSignedIn();
  }

  void testUserLock() {
    swifterapp.launch();
    LoginScreen loginScreen;
    loginScreen.performLogin("lockedUserId", "480917", *this, LoginScreen::BiometricEnrollAlertResponse::Ok, false);
    const std::string lockMessage =
        "Your account has been locked for security purposes. To unlock, visit " + std::string(kBankWebSite) +
        " to reset your password or call 1-800-555-0142.";
    NSPredicate predicate("label CONTAINS[c] %@", lockMessage);
    if (swifterapp.alerts().containing(predicate).count() == 0) {
      XCTFail("Login should be failed with user lock error.");
    }
    assertNotSignedIn();
  }

 private:
  // A failed sign-in must not reach the landing page, not even beneath its alert.
  void assertNotSignedIn() {
    XCTAssertFalse(LandingScreen().overviewButton.exists(), "The landing page should not be shown after a failed sign-in");
  }

  // The bank's web site, as the app's locked-account alert names it.
  static constexpr const char* kBankWebSite = "www.corvane.com";

  XCUIApplication swifterapp;
  HTTPStubs httpStubs;
};

XCTEST_CLASS(MockLoginTests)
XCTEST_METHOD(MockLoginTests, testLoginSuccess)
XCTEST_METHOD(MockLoginTests, testLoginFail)
XCTEST_METHOD(MockLoginTests, testUserLock)
