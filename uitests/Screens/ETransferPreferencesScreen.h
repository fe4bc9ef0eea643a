// The e-Transfer preferences screen opened from the More tab: the sender profile and the
// autodeposit registrations.
#pragma once

#include <string>

#include "Utility/BaseScreen.h"

class ETransferPreferencesScreen : public BaseScreen {
 public:
  explicit ETransferPreferencesScreen(XCUIApplication app);

  static constexpr const char* interactProfileMessage =
      "Your sender profile lets Interac and your recipients know who is sending funds by Interac e-Transfer.";
  static constexpr const char* noProfileAutodepositMessage = "Create your Interac profile in order to use this feature.";
  static constexpr const char* hasProfileAutodepositMessage =
      "Autodeposit is an Interac e-Transfer feature that allows you to have funds deposited directly into your bank "
      "account, without having to answer a security question.";

  XCUIElement loadingIndicator;
  XCUIElement interactProfileTitleLabel;
  XCUIElement interactProfileDescriptionLabel;
  XCUIElement interactProfileEmailEntryComponent;
  XCUIElement interactProfileNameEntryComponent;
  XCUIElement autodepositLabel;
  XCUIElement autodepositRegisterButton;
  XCUIElement autodepositRegisterAnotherButton;
  XCUIElement autodepositDescriptionNoProfileLabel;
  XCUIElement autodepositDescriptionHasProfileLabel;
  XCUIElement autodepositStatusLabel;
  XCUIElement autodepositEmailHeadingLabel;
  XCUIElement autodepositEmailLabel;
  XCUIElement autodepositAccountHeadingLabel;
  XCUIElement autodepositAccountNameLabel;
  XCUIElement autodepositAccountNumberLabel;

  // Registers `email` for the account through the autodeposit editor and answers the success
  // alert, waiting for loading after each step.
  void registerAutodeposit(XCTestCase& xctestcase, const std::string& email, const std::string& accountName,
                           const std::string& accountNumber);
  // The static text of the tables' cells keyed by the address (a listed registration).
  XCUIElement cellElement(const std::string& email) const;
  // Swipes the registration's row, taps its Delete button and confirms "Delete email"; no waits.
  void deleteRegistration(const std::string& email);
};
