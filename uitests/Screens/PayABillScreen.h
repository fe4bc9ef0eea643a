// The bill-payment form's own elements (the shared money-form fields are PaymentFunctions'), its
// review ("Pay bill") and its completion ("Pay another bill").
#pragma once

#include "Utility/BaseScreen.h"

class PayABillScreen : public BaseScreen {
 public:
  PayABillScreen();

  // The in-line messages of an incomplete form.
  XCUIElement fromAccountInLineError;  // "Select an account."
  XCUIElement toAccountInLineError;    // "Select a payee."
  XCUIElement amountInLineError;       // "Enter an amount."
  XCUIElement memotextviewTextView;
  XCUIElement recurringPaymentTab;
  XCUIElement reviewTransferAlertSubmitButton;  // "Pay bill"
  XCUIElement makeAnotherETransferButton;       // "Pay another bill"

  // Taps "Pay bill" on the review, then waits up to 45 seconds for loading to end.
  void tapOnReviewTransferSubmit(XCTestCase& xctestcase);
  // The completion says the payment was created.
  void assertConfirmationSuccess();
  // Taps "Pay another bill", waits up to 45 seconds for loading and dismisses the survey.
  void tapOnMakeAnotherPayABillButton(XCTestCase& xctestcase);
};
