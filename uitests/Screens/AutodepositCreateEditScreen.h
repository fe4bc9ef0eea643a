// The autodeposit editor of the e-Transfer preferences: registering an address for an account
// (mode create) or moving a registration to another account and deleting it (mode edit).
#pragma once

#include <string>

#include "Utility/BaseScreen.h"

// The modes of the e-Transfer preferences' editors (the sender-profile editor takes it too).
enum class AutodepositCreateEditType { create, edit };

class AutodepositCreateEditScreen : public BaseScreen {
 public:
  AutodepositCreateEditScreen(XCUIApplication app, AutodepositCreateEditType type);

  // The delete confirmation's text; "<handle>" stands for the address being deleted.
  static constexpr const char* deleteEmailMessage = "This will remove <handle> from your Autodeposit profile.";
  static constexpr const char* registrationText =
      "Register your e-mail address and link it to your account. Any transfers to the registered email address "
      "will be automatically deposited into the account.";
  static constexpr const char* legalNameMessage =
      "When someone sends you funds by Interac e-Transfer, for security purposes, they'll see your registered "
      "legal name.";
  static constexpr const char* createdMessage =
      "Almost done! You'll receive a confirmation email from Interac at the address you entered. Click the "
      "activation link in that email to complete your Autodeposit registration.";
  static constexpr const char* updatedMessage = "You've successfully updated your Autodeposit profile.";

  XCUIElement loadingIndicator;
  XCUIElement navigationTitle;
  XCUIElement closeNavigationButton;
  XCUIElement deleteNavigationButton;
  XCUIElement registerInformationLabel;
  XCUIElement ifETransferLabel;
  XCUIElement thenDepositLabel;
  XCUIElement legalNameMessageLabel;
  XCUIElement emailValidationError;
  XCUIElement accountValidationError;
  XCUIElement emailTextField;
  XCUIElement accountTextField;
  XCUIElement doneToolbarButton;
  XCUIElement saveButton;
  XCUIElement alertSuccessfulTitle;
  XCUIElement alertOkButton;
  XCUIElement deleteAlertTitle;
  XCUIElement deleteAlertConfirmButton;

  // Types the address into the e-mail field, then taps the keyboard toolbar's Done.
  void typeOnEmail(const std::string& email);
  // Opens the account list and taps the first cell naming the account and "(number)".
  void selectAccount(const std::string& name, const std::string& number);
  // The delete confirmation's text for `email` (every "<handle>" replaced).
  static std::string deleteMessageFor(const std::string& email);
};
