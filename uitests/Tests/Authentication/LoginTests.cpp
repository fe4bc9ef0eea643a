// The sign-in screen against the test backend: field and button rules, remember-me, signing in
// with every user of the data file, and the security-question challenge.
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "Extensions/TestEnvironment.h"
#include "Extensions/XCUIElementExtensions.h"
#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoreScreen.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "Utility/DeviceUtil.h"

namespace {

const char* const kBullets6 = "\u2022\u2022\u2022\u2022\u2022\u2022";
const char* const kMaskMark = "\u2022\u2022\u2022";
const char* const kL40 = "---------|---------|---------|---------|";
const char* const kL32 = "---------|---------|---------|--";

}  // namespace

class LoginTests : public AppTestCase {
 public:
  // --- sign-in button, masking, placeholders, biometric button, length limits ----------------

  void testLoginButtonDisabledOnLoad() {
    LoginScreen loginScreen;
    XCTAssert(loginScreen.loginButton.isEnabled(), "Login Button should be enabled");
  }

  void testLoginButtonDisabledWhenOnlyUserIdEntered() {
    LoginScreen loginScreen;
    loginScreen.type("testuser1", loginScreen.userNameTextField);
    XCTAssert(loginScreen.loginButton.isEnabled(), "Login Button should be enabled");
  }

  void testLoginButtonDisabledWhenOnlyPasswordEntered() {
    LoginScreen loginScreen;
    loginScreen.type("480917", loginScreen.passwordTextField);
    XCTAssert(loginScreen.loginButton.isEnabled(), "Login Button should be enabled");
  }

  void testLoginButtonEnabledWhenUserNameAndPasswordEntered() {
    LoginScreen loginScreen;
    loginScreen.type("2038556", loginScreen.userNameTextField);
    loginScreen.type("480917", loginScreen.passwordTextField);
    XCTAssert(loginScreen.loginButton.isEnabled(), "Login Button should be enabled");
  }

  void testPasswordTextFieldDefaultsAsMasked() {
    LoginScreen loginScreen;
    loginScreen.type("480917", loginScreen.passwordTextField);
    XCTAssert(loginScreen.passwordTextField.exists());
    XCTAssertEqual(loginScreen.passwordTextField.value(), std::optional<std::string>(kBullets6),
                   "Password Text should be masked");
  }

  void testShowButtonDisplaysPassword() {
    LoginScreen loginScreen;
    loginScreen.type("480917", loginScreen.passwordTextField);
    loginScreen.showPassword();
    expectation(NSPredicate("exists == TRUE"), loginScreen.passwordVisibleTextField);
    waitForExpectations(10);
    XCTAssertFalse(loginScreen.passwordTextField.exists());
    XCTAssert(loginScreen.passwordVisibleTextField.exists());
    XCTAssertEqual(loginScreen.passwordVisibleTextField.value(), std::optional<std::string>("480917"),
                   "Password Text should be visible");
  }

  void testHideButtonDisplaysMaskedText() {
    LoginScreen loginScreen;
    loginScreen.type("480917", loginScreen.passwordTextField);
    loginScreen.showPassword();
    std::cout << "Wait for Password Text Field to appear" << std::endl;
    expectation(NSPredicate("exists == TRUE"), loginScreen.passwordVisibleTextField);
    waitForExpectations(3);
    loginScreen.showPassword();
    expectation(NSPredicate("exists == TRUE"), loginScreen.passwordTextField);
    waitForExpectations(3);
    XCTAssertFalse(loginScreen.passwordVisibleTextField.exists());
    XCTAssert(loginScreen.passwordTextField.exists());
    XCTAssertEqual(loginScreen.passwordTextField.value(), std::optional<std::string>(kBullets6),
                   "Password Text should be masked");
  }

  void testPlaceholderText() {
    LoginScreen loginScreen;
    XCTAssert(loginScreen.userNameTextField.placeholderValue() ==
              std::optional<std::string>(loginScreen.userNameFieldPlaceholder));
    XCTAssert(loginScreen.passwordTextField.placeholderValue() ==
              std::optional<std::string>(loginScreen.passwordFieldPlaceholder));
  }

  void testBiometricLoginButton() {
    LoginScreen loginScreen;
    switch (DeviceUtil::biometricType()) {
      case BiometricType::none:
        XCTAssert(!isVisible(loginScreen.biometricLoginButton));
        break;
      case BiometricType::face:
        XCTAssert(isVisible(loginScreen.biometricLoginButton));
        XCTAssert(loginScreen.biometricLoginButton.label() == "Log in using Face ID");
        break;
      case BiometricType::touch:
        XCTAssert(isVisible(loginScreen.biometricLoginButton));
        XCTAssert(loginScreen.biometricLoginButton.label() == "Log in using Touch ID");
        break;
    }
  }

  void testFieldCharacterLengthLimits() {
    LoginScreen loginScreen;
    const std::optional<std::string> limited(kL32);
    loginScreen.type(kL40, loginScreen.userNameTextField);
    XCTAssert(loginScreen.userNameTextField.value() == limited);

    loginScreen.type(kL40, loginScreen.passwordTextField);
    loginScreen.showPassword();
    XCTAssert(loginScreen.passwordVisibleTextField.value() == limited);

    pasteReplacingText(loginScreen.userNameTextField, kL40);
    XCTAssert(loginScreen.userNameTextField.value() == limited);

    pasteReplacingText(loginScreen.passwordVisibleTextField, kL40);
    XCTAssert(loginScreen.passwordVisibleTextField.value() == limited);
  }

  // --- remember-me and the data-driven sign-in ------------------------------------------------

  void testRememberMeFirstTime() {
    std::cout << "Running Tests in Environment: " << testEnvironment() << std::endl;
    TestDataRow row = firstRow();
    const std::string username = row.string("username");
    const std::string password = row.string("password");
    LoginScreen loginScreen;

    XCTAssertEqual(switchValue(loginScreen), std::optional<std::string>("0"));
    loginScreen.type(username, loginScreen.userNameTextField);
    loginScreen.tapOnRememberMeSwitch();
    loginScreen.type("_1", loginScreen.userNameTextField);
    XCTAssertEqual(loginScreen.userNameTextField.value(), std::optional<std::string>(username + "_1"),
                   "Username should be editable still");
    loginScreen.tapOnRememberMeSwitch();
    XCTAssertEqual(loginScreen.userNameTextField.value(), std::optional<std::string>(username + "_1"),
                   "Username should not be cleared by remember me switch if it was not previously saved");
    loginScreen.tapOnRememberMeSwitch();
    loginScreen.type(std::string(2, '\b'), loginScreen.userNameTextField);
    loginScreen.type(password, loginScreen.passwordTextField);
    loginScreen.tapOnLoginButton();
    if (loginScreen.confirmAuthenticatedUserAlert.exists()) {
      loginScreen.confirmAuthenticatedUserAlertOkButton.tap();
    }
    expectation(NSPredicate("exists == FALSE"), loginScreen.loadingAnimation);
    waitForExpectations(45);
    loginScreen.enrollBiometricLoggedInUser(LoginScreen::BiometricEnrollAlertResponse::Ok);
    LandingScreen().tapOnMoreButton();
    MoreScreen(*app).logoutButton.tap();
    loginScreen.clearValues();
  }

  void testRememberMeSwitch_shouldBeDisabled_whenNoUsernameSaved() {
    LoginScreen loginScreen;
    loginScreen.type("", loginScreen.userNameTextField);
    XCTAssertFalse(loginScreen.isRememberMyUsernameSwitchEnabled());
    XCTAssertEqual(switchValue(loginScreen), std::optional<std::string>("0"), "Remeber Me switch should be Off");
  }

  void testRememberMeSwitch_shouldBeEnabled_whenUsernameIsSaved() {
    TestDataRow row = firstRow();
    LoginScreen loginScreen;
    rememberingSignIn(loginScreen, row);
    XCTAssertTrue(loginScreen.isRememberMyUsernameSwitchEnabled());
    XCTAssertEqual(switchValue(loginScreen), std::optional<std::string>("1"), "Remeber Me switch should be On");
    loginScreen.clearValues();
  }

  void testUsernameTextField_shouldBeMasked_whenRemembered() {
    TestDataRow row = firstRow();
    LoginScreen loginScreen;
    rememberingSignIn(loginScreen, row);
    std::optional<std::string> fieldValue = loginScreen.userNameTextField.value();
    XCTAssertFalse(isEmptyValue(loginScreen, fieldValue), "Username text field should not be cleared");
    std::string shown = fieldValue.value_or("");
    std::cout << "Username value is: " << shown << std::endl;
    XCTAssert(shown.find(kMaskMark) != std::string::npos, "Username text field value should be masked");
    loginScreen.clearValues();
  }

  void testUsernameTextField_shouldBeCleared_whenRememberMeIsTurnedOff() {
    TestDataRow row = firstRow();
    LoginScreen loginScreen;
    rememberingSignIn(loginScreen, row);
    XCTAssertEqual(switchValue(loginScreen), std::optional<std::string>("1"), "Remeber Me toggle should be On");
    XCTAssertTrue(loginScreen.isRememberMyUsernameSwitchEnabled());
    loginScreen.tapOnRememberMeSwitch();
    XCTAssertEqual(switchValue(loginScreen), std::optional<std::string>("0"), "Remeber Me toggle should be Off");
    XCTAssertFalse(loginScreen.isRememberMyUsernameSwitchEnabled());
    XCTAssertTrue(isEmptyValue(loginScreen, loginScreen.userNameTextField.value()),
                  "Username text field should be cleared");
    loginScreen.clearValues();
  }

  void testLoginDataSourceLoop() {
    auto rows = CommonFunctions::loadDataSourceArray("LoginTestData");
    for (std::size_t i = 0; i < rows.size(); ++i) {
      TestDataRow row(rows[i], "LoginTestData", i);
      LoginScreen loginScreen;
      loginScreen.performLogin(row.string("username"), row.string("password"), *this,
                               LoginScreen::BiometricEnrollAlertResponse::Ok);
      MoreScreen(*app).performLogout(*this);
    }
  }

  // --- security-question challenge --------------------------------------------------------------

  void testRsaCorrectAnswer() { signInWithChallenge(LoginScreen::RSA::correctAnswer); }
  void testRsaIncorrectAnswer() {
    signInWithChallenge(LoginScreen::RSA::incorrectAnswer);
    // A wrong answer leaves the user signed out: the challenge (or the sign-in screen) is still shown.
    LoginScreen loginScreen;
    XCTAssert(loginScreen.challengeTitle.exists() || loginScreen.welcomeLabel.exists(),
              "A wrong security answer should not sign the user in");
    XCTAssertFalse(LandingScreen().overviewButton.exists(), "A wrong security answer should not sign the user in");
  }
  void testRsaCancel() { signInWithChallenge(LoginScreen::RSA::cancel); }

 private:
  // Clears the field, then pastes `text` into it through the edit menu and waits a second.
  void pasteReplacingText(const XCUIElement& field, const std::string& text) {
    clearText(field);
    UIPasteboard::general().setString(text);
    field.doubleTap();
    XCUIApplication().menuItems()["Paste"].tap();
    sleep(1);
  }

  // The first row of "LoginTestData"; an empty file or a first row that is not an object fails
  // the test naming the file.
  TestDataRow firstRow() {
    auto rows = CommonFunctions::loadDataSourceArray("LoginTestData");
    if (rows.empty()) {
      XCTAssertTrue(false, "Test data file \"" + CommonFunctions::dataFileName("LoginTestData") + ".json\" has no rows");
    }
    return TestDataRow(rows.empty() ? nlohmann::json() : rows.front(), "LoginTestData", 0);
  }

  // Signs in with the switch on, then signs out through the More tab: the user name is saved.
  void rememberingSignIn(LoginScreen& loginScreen, const TestDataRow& row) {
    loginScreen.performLogin(row.string("username"), row.string("password"), *this,
                             LoginScreen::BiometricEnrollAlertResponse::Cancel, true, true);
    LandingScreen().tapOnMoreButton();
    MoreScreen(*app).logoutButton.tap();
  }

  static std::optional<std::string> switchValue(LoginScreen& loginScreen) {
    return loginScreen.rememberMyUsernameSwitch.value();
  }

  // Whether the field shows nothing: the empty text or its placeholder.
  static bool isEmptyValue(LoginScreen& loginScreen, const std::optional<std::string>& value) {
    std::vector<std::optional<std::string>> emptyValues = {std::string(),
                                                           loginScreen.userNameTextField.placeholderValue()};
    for (const auto& empty : emptyValues) {
      if (empty == value) return true;
    }
    return false;
  }

  void signInWithChallenge(LoginScreen::RSA handleRsa) {
    auto data = CommonFunctions::loadDataSourceObject("RSATestData");
    auto challenge = data.find("CHALLENGE");
    if (challenge == data.end() || !challenge->second.is_object()) {
      XCTAssertTrue(false);
      return;
    }
    TestDataRow user = TestDataRow::member(data, "CHALLENGE", "RSATestData");
    LoginScreen loginScreen;
    loginScreen.performLogin(user.string("username"), user.string("password"), *this,
                             LoginScreen::BiometricEnrollAlertResponse::Ok, true, false, handleRsa);
  }

};

XCTEST_CLASS(LoginTests)
XCTEST_METHOD(LoginTests, testLoginButtonDisabledOnLoad)
XCTEST_METHOD(LoginTests, testLoginButtonDisabledWhenOnlyUserIdEntered)
XCTEST_METHOD(LoginTests, testLoginButtonDisabledWhenOnlyPasswordEntered)
XCTEST_METHOD(LoginTests, testLoginButtonEnabledWhenUserNameAndPasswordEntered)
XCTEST_METHOD(LoginTests, testPasswordTextFieldDefaultsAsMasked)
XCTEST_METHOD(LoginTests, testShowButtonDisplaysPassword)
XCTEST_METHOD(LoginTests, testHideButtonDisplaysMaskedText)
XCTEST_METHOD(LoginTests, testPlaceholderText)
XCTEST_METHOD(LoginTests, testBiometricLoginButton)
XCTEST_METHOD(LoginTests, testFieldCharacterLengthLimits)
XCTEST_METHOD(LoginTests, testRememberMeFirstTime)
XCTEST_METHOD(LoginTests, testRememberMeSwitch_shouldBeDisabled_whenNoUsernameSaved)
XCTEST_METHOD(LoginTests, testRememberMeSwitch_shouldBeEnabled_whenUsernameIsSaved)
XCTEST_METHOD(LoginTests, testUsernameTextField_shouldBeMasked_whenRemembered)
XCTEST_METHOD(LoginTests, testUsernameTextField_shouldBeCleared_whenRememberMeIsTurnedOff)
XCTEST_METHOD(LoginTests, testLoginDataSourceLoop)
XCTEST_METHOD(LoginTests, testRsaCorrectAnswer)
XCTEST_METHOD(LoginTests, testRsaIncorrectAnswer)
XCTEST_METHOD(LoginTests, testRsaCancel)
