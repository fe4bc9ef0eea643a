// The Interac e-Transfer form's own elements (the shared money-form fields are
// PaymentFunctions'), its review ("Transfer") and its completion ("Done", "Make another Interac
// e-Transfer").
#pragma once

#include <string>

#include "Utility/BaseScreen.h"

class InteracETransferScreen : public BaseScreen {
 public:
  InteracETransferScreen();

  XCUIElement transferTitle;             // "Transfer" in the navigation bar "Transfer"
  XCUIElement interacETransferSubTitle;  // "Interac e-Transfer"
  XCUIElement fromAccountInLineError;    // "Select an account."
  XCUIElement toAccountInLineError;      // "Select a recipient."
  XCUIElement amountInLineError;         // "Enter an amount."
  XCUIElement reviewTransferAlertSubmitButton;    // "Transfer"
  XCUIElement transferCompleteAlertSubmitButton;  // "Done"
  XCUIElement makeAnotherETransferButton;
  XCUIElement confirmationSuccess;

  // The form shows the recipient's security question `answer` (a text view keyed by it).
  void assertSecurityAnswer(const std::string& answer);
  // The first "$" text of the screen (the From account's balance) less amount and fee, as en_US
  // currency text with grouping. Texts that are no decimal numbers fail the test.
  std::string getFromAccountBalanceAfterETransfer(const std::string& amountToTransfer, const std::string& eTransferFee);
  // Each taps its button, waits up to 45 seconds for loading to end (the last two then dismiss
  // the survey).
  void tapOnReviewTransferSubmit(XCTestCase& xctestcase);
  void tapOnCompleteETransferSubmit(XCTestCase& xctestcase);
  void tapOnMakeAnotherETransferButton(XCTestCase& xctestcase);
  // The form's title and sub-title are shown.
  void assertInteracEtransferPageTitle();
};
