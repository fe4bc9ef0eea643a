#include "Screens/PayABillScreen.h"

#include "Utility/MoneyForms.h"

PayABillScreen::PayABillScreen()
    : fromAccountInLineError(XCUIApplication().staticTexts()["Select an account."]),
      toAccountInLineError(XCUIApplication().staticTexts()["Select a payee."]),
      amountInLineError(XCUIApplication().staticTexts()["Enter an amount."]),
      memotextviewTextView(XCUIApplication().scrollViews().otherElements().textViews()["MemoTextView"]),
      recurringPaymentTab(XCUIApplication().scrollViews().otherElements().buttons()["Recurring payment"]),
      reviewTransferAlertSubmitButton(XCUIApplication().buttons()["Pay bill"]),
      makeAnotherETransferButton(XCUIApplication().buttons()["Pay another bill"]) {}

void PayABillScreen::tapOnReviewTransferSubmit(XCTestCase& xctestcase) {
  tap(reviewTransferAlertSubmitButton);
  MoneyForms::waitUntilGone(xctestcase, appLoadingAnimation, 45);
}

void PayABillScreen::assertConfirmationSuccess() {
  XCUIElement message = XCUIApplication()
                            .scrollViews()
                            .otherElements()
                            .staticTexts()
                            .matching(NSPredicate("label CONTAINS 'successfully created your bill payment'"))
                            .element();
  XCTAssertTrue(message.exists(), "You've successfully created your bill payment");
}

void PayABillScreen::tapOnMakeAnotherPayABillButton(XCTestCase& xctestcase) {
  tap(makeAnotherETransferButton);
  MoneyForms::waitUntilGone(xctestcase, appLoadingAnimation, 45);
  MoneyForms::dismissSurvey();
}
