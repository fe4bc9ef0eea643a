#include "Screens/InteracETransferScreen.h"

#include "Utility/CommonFunctions.h"
#include "Utility/MoneyForms.h"

InteracETransferScreen::InteracETransferScreen()
    : transferTitle(XCUIApplication().navigationBars()["Transfer"].otherElements()["Transfer"]),
      interacETransferSubTitle(XCUIApplication().scrollViews().staticTexts()["Interac e-Transfer"]),
      fromAccountInLineError(XCUIApplication().staticTexts()["Select an account."]),
      toAccountInLineError(XCUIApplication().staticTexts()["Select a recipient."]),
      amountInLineError(XCUIApplication().staticTexts()["Enter an amount."]),
      reviewTransferAlertSubmitButton(XCUIApplication().buttons()["Transfer"]),
      transferCompleteAlertSubmitButton(XCUIApplication().buttons()["Done"]),
      makeAnotherETransferButton(XCUIApplication().buttons()["Make another Interac e-Transfer"]),
      confirmationSuccess(
          XCUIApplication().scrollViews().staticTexts()["You've successfully sent funds by Interac e-Transfer"]) {}

void InteracETransferScreen::assertSecurityAnswer(const std::string& answer) {
  XCTAssertTrue(app.scrollViews().otherElements().textViews()[answer].exists());
}

std::string InteracETransferScreen::getFromAccountBalanceAfterETransfer(const std::string& amountToTransfer,
                                                                        const std::string& eTransferFee) {
  platform::Decimal amount = CommonFunctions::roundUp(amountToTransfer);
  platform::Decimal fee = CommonFunctions::roundUp(eTransferFee);
  platform::Decimal balance = MoneyForms::scrollViewAmount(app, 0);
  return CommonFunctions::currencyFormatFromDecimal(balance - (amount + fee));
}

void InteracETransferScreen::tapOnReviewTransferSubmit(XCTestCase& xctestcase) {
  tap(reviewTransferAlertSubmitButton);
  MoneyForms::waitUntilGone(xctestcase, appLoadingAnimation, 45);
}

void InteracETransferScreen::tapOnCompleteETransferSubmit(XCTestCase& xctestcase) {
  tap(transferCompleteAlertSubmitButton);
  MoneyForms::waitUntilGone(xctestcase, appLoadingAnimation, 45);
  MoneyForms::dismissSurvey();
}

void InteracETransferScreen::tapOnMakeAnotherETransferButton(XCTestCase& xctestcase) {
  tap(makeAnotherETransferButton);
  MoneyForms::waitUntilGone(xctestcase, appLoadingAnimation, 45);
  MoneyForms::dismissSurvey();
}

void InteracETransferScreen::assertInteracEtransferPageTitle() {
  XCTAssertTrue(transferTitle.exists());
  XCTAssertTrue(interacETransferSubTitle.exists());
}
