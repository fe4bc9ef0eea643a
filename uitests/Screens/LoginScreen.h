// The sign-in screen, with the security-question challenge and the alerts around signing in.
#pragma once

#include <optional>
#include <string>

#include "Utility/BaseScreen.h"

class LoginScreen : public BaseScreen {
 public:
  // How a test answers the biometric-enrolment alert shown after signing in.
  enum class BiometricEnrollAlertResponse { Ok, Cancel };
  // How a test answers the security-question challenge.
  enum class RSA { correctAnswer, incorrectAnswer, cancel };

  explicit LoginScreen(XCUIApplication app = XCUIApplication());

  XCUIElement loginButton;
  XCUIElement loadingAnimation;
  XCUIElement userNameTextField;
  XCUIElement passwordTextField;         // the secure field
  XCUIElement passwordVisibleTextField;  // the plain field shown while the password is visible
  XCUIElement rememberMyUsernameSwitch;
  XCUIElement biometricLoginButton;
  XCUIElement showPasswordButton;
  XCUIElement locationPermissionAllowButton;
  XCUIElement confirmAuthenticatedUserAlert;
  XCUIElement confirmAuthenticatedUserAlertOkButton;
  XCUIElement welcomeLabel;
  XCUIElement errorAlert;
  XCUIElement errorAlertOkButton;
  XCUIElement biometricEnrollAlert;
  XCUIElement biometricEnrollAlertOkButton;
  XCUIElement biometricEnrollAlertCancelButton;
  XCUIElement biometricNotAvailableAlert;
  XCUIElement biometricNotAvailableAlertTouchID;
  XCUIElement biometricNotAvailableAlertMessage;
  XCUIElement biometricNotAvailableAlertMessageTouchID;
  XCUIElement challengeTitle;
  XCUIElement securityQuestionLabel;
  XCUIElement securityAnswerTextField;
  XCUIElement challengeSubmitButton;
  XCUIElement challengeCloseButton;
  XCUIElement incorrectAnswerTitle;
  XCUIElement incorrectAnswerMessage;
  XCUIElement incorrectAnswerOkButton;
  XCUIElement landingOverviewButton;

  const std::string userNameFieldPlaceholder = "Enter username";
  const std::string passwordFieldPlaceholder = "Enter password";

  // Signs in from the sign-in screen: answers the location prompt, sets remember-me, types the
  // credentials, taps the sign-in button, confirms the user, answers the biometric-enrolment
  // alert and the challenge, dismisses the survey and, with `checkLandingPage`, asserts the
  // landing page.
  void performLogin(const std::string& username, const std::string& password, XCTestCase& xctestcase,
                    BiometricEnrollAlertResponse enrollBio, bool checkLandingPage = true, bool rememberMe = false,
                    RSA handleRsa = RSA::correctAnswer);
  void enrollBiometricLoggedInUser(BiometricEnrollAlertResponse enrollBiometric);
  void handleRsaChallenge(RSA rsaInput, XCTestCase& xctestcase);
  // The last word of the question with every "?" removed; empty when it has no words.
  static std::optional<std::string> getChallengeQuestionAnswer(const std::string& question);

  void clearValues();
  bool isRememberMyUsernameSwitchEnabled();
  void showPassword();
  void tapOnLoginButton();
  void tapOnRememberMeSwitch();
  void tapOnBiometricLoginButton();
  void tapOkIfErrorAppear();
};
