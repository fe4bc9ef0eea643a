#include "Screens/LoginScreen.h"

#include <iostream>
#include <sstream>

#include "Screens/LandingScreen.h"
#include "Screens/QualtricsScreen.h"

namespace {
const char* const kWrongChallengeAnswer = "MismatchedReplyValueX";
}

LoginScreen::LoginScreen(XCUIApplication app)
    : BaseScreen(app),
      loginButton(app.buttons()["loginButton"]),
      loadingAnimation(app.activityIndicators()["loadingIndicator"]),
      userNameTextField(app.textFields()["userNameTextField"]),
      passwordTextField(app.secureTextFields()["passwordTextField"]),
      passwordVisibleTextField(app.textFields()["passwordTextField"]),
      rememberMyUsernameSwitch(app.switches()["RememberMeSwitch"]),
      biometricLoginButton(app.buttons()["biometricLoginButton"]),
      showPasswordButton(app.buttons()["showPasswordButton"]),
      locationPermissionAllowButton(
          XCUIApplication(sim::kSpringboardBundleIdentifier).alerts().buttons()["Always Allow"]),
      confirmAuthenticatedUserAlert(app.alerts()["Confirm Authenticated User"]),
      confirmAuthenticatedUserAlertOkButton(app.alerts()["Confirm Authenticated User"].buttons()["OK"]),
      welcomeLabel(app.staticTexts()["Welcome"]),
      errorAlert(app.alerts()["Error"]),
      errorAlertOkButton(app.alerts()["Error"].buttons()["OK"]),
      biometricEnrollAlert(app.alerts()["biometricEnrollAlert"]),
      biometricEnrollAlertOkButton(app.alerts()["biometricEnrollAlert"].buttons()["OK"]),
      biometricEnrollAlertCancelButton(app.alerts()["biometricEnrollAlert"].buttons()["Cancel"]),
      biometricNotAvailableAlert(app.alerts()["Vesmora"]),
      biometricNotAvailableAlertTouchID(app.alerts()["Vesmora"]),
      biometricNotAvailableAlertMessage(
          app.alerts()["Vesmora"].staticTexts()["Face ID is not available. Please login with username and password."]),
      biometricNotAvailableAlertMessageTouchID(
          app.alerts()["Vesmora"].staticTexts()["Touch ID is not available. Please login with username and password."]),
      challengeTitle(app.staticTexts()["Secury Check Point"]),
      securityQuestionLabel(app.staticTexts()["Security_Question_Label"]),
      securityAnswerTextField(app.textFields()["Security_Answer_TextField"]),
      challengeSubmitButton(app.buttons()["loginButton"]),
      challengeCloseButton(app.buttons()["Close"]),
      incorrectAnswerTitle(app.staticTexts()["Incorrect Answer"]),
      incorrectAnswerMessage(
          app.staticTexts()["The security answers you entered don\u2019t match our records. Please try again."]),
      incorrectAnswerOkButton(app.alerts()["Incorrect Answer"].buttons()["OK"]),
      landingOverviewButton(app.tabBars().buttons()["Overview"]) {}

void LoginScreen::performLogin(const std::string& username, const std::string& password, XCTestCase& xctestcase,
                               BiometricEnrollAlertResponse enrollBio, bool checkLandingPage, bool rememberMe,
                               RSA handleRsa) {
  if (locationPermissionAllowButton.exists()) tap(locationPermissionAllowButton);
  if (rememberMyUsernameSwitch.exists() && rememberMyUsernameSwitch.value() == std::optional<std::string>("1")) {
    tap(rememberMyUsernameSwitch);
  }
  type(username, userNameTextField);
  type(password, passwordTextField);
  if (rememberMe) tap(rememberMyUsernameSwitch);
  tap(loginButton);
  if (confirmAuthenticatedUserAlert.exists()) tap(confirmAuthenticatedUserAlertOkButton);
  std::cout << "Logged in with username " << username << " and password " << password << std::endl;
  xctestcase.expectation(NSPredicate("exists == FALSE"), loadingAnimation);
  xctestcase.waitForExpectations(45);
  enrollBiometricLoggedInUser(enrollBio);
  BaseScreen::waitForLoading(xctestcase);
  if (challengeTitle.exists()) handleRsaChallenge(handleRsa, xctestcase);
  if (handleRsa != RSA::correctAnswer) return;
  enrollBiometricLoggedInUser(enrollBio);
  QualtricsScreen().dismissSurveyPopUp();
  if (checkLandingPage) {
    XCTAssert(landingOverviewButton.exists());
    xctestcase.expectation(NSPredicate("exists == FALSE"), loadingAnimation);
    xctestcase.waitForExpectations(45);
  }
}

void LoginScreen::enrollBiometricLoggedInUser(BiometricEnrollAlertResponse enrollBiometric) {
  if (!biometricEnrollAlert.exists()) return;
  if (enrollBiometric == BiometricEnrollAlertResponse::Ok) {
    std::cout << "Clicking Biometric Alert Ok Button" << std::endl;
    tap(biometricEnrollAlertOkButton);
  } else {
    std::cout << "Clicking Biometric Alert Cancel Button" << std::endl;
    tap(biometricEnrollAlertCancelButton);
  }
}

void LoginScreen::handleRsaChallenge(RSA rsaInput, XCTestCase& xctestcase) {
  switch (rsaInput) {
    case RSA::correctAnswer: {
      std::cout << "RSA correct answer handle" << std::endl;
      std::string answer = getChallengeQuestionAnswer(securityQuestionLabel.label()).value_or("");
      type(answer, securityAnswerTextField);
      tap(challengeSubmitButton);
      BaseScreen::waitForLoading(xctestcase);
      xctestcase.expectation(NSPredicate("exists == TRUE"), landingOverviewButton);
      xctestcase.waitForExpectations(120);
      break;
    }
    case RSA::incorrectAnswer:
      std::cout << "RSA Incorrect answer handle" << std::endl;
      type(kWrongChallengeAnswer, securityAnswerTextField);
      tap(challengeSubmitButton);
      BaseScreen::waitForLoading(xctestcase);
      if (incorrectAnswerTitle.exists()) {
        XCTAssert(incorrectAnswerMessage.exists());
        tap(incorrectAnswerOkButton);
      }
      break;
    case RSA::cancel:
      std::cout << "RSA cancel screen handle" << std::endl;
      tap(challengeCloseButton);
      BaseScreen::waitForLoading(xctestcase);
      XCTAssert(welcomeLabel.exists());
      break;
  }
}

std::optional<std::string> LoginScreen::getChallengeQuestionAnswer(const std::string& question) {
  std::istringstream words(question);
  std::string word, last;
  bool any = false;
  while (words >> word) {
    last = word;
    any = true;
  }
  if (!any) return std::nullopt;
  std::erase(last, '?');
  return last;
}

void LoginScreen::clearValues() {
  if (rememberMyUsernameSwitch.value() == std::optional<std::string>("1")) tap(rememberMyUsernameSwitch);
  type("", userNameTextField);
  type("", passwordTextField);
}

bool LoginScreen::isRememberMyUsernameSwitchEnabled() { return rememberMyUsernameSwitch.isEnabled(); }

void LoginScreen::showPassword() { tap(showPasswordButton); }

void LoginScreen::tapOnLoginButton() { tap(loginButton); }

void LoginScreen::tapOnRememberMeSwitch() { tap(rememberMyUsernameSwitch); }

void LoginScreen::tapOnBiometricLoginButton() { tap(biometricLoginButton); }

void LoginScreen::tapOkIfErrorAppear() {
  if (errorAlert.exists()) tap(errorAlertOkButton);
}
