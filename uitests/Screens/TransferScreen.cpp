#include "Screens/TransferScreen.h"

#include <iostream>

#include "Screens/LandingScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Screens/QualtricsScreen.h"
#include "Utility/CommonFunctions.h"
#include "Utility/MoneyForms.h"

TransferScreen::TransferScreen(XCUIApplication app)
    : BaseScreen(app),
      submitButton(app.buttons()["Submit"]),
      doneButton(app.toolbars()["Toolbar"].buttons()["Done"]),
      amountTextView(app.textViews()["amountTextView"]),
      transferTitle(app.staticTexts()["Transfer"]),
      fromDropdown(app.staticTexts()["From Account"]),
      toDropdown(app.staticTexts()["To Account"]),
      reviewTransferAlert(app.staticTexts()["Review Transfer"]),
      reviewTransferAlertSubmitButton(app.buttons()["Transfer"]),
      reviewTransferAlertEditButton(app.buttons()["Edit"]),
      transferCompleteAlert(app.staticTexts()["Transfer Complete"]),
      transferCompleteAlertSubmitButton(app.buttons()["Done"]),
      transferDate(app.staticTexts()["Transfer date"]),
      paymentDate(app.staticTexts()["Payment date"]),
      startingDate(app.staticTexts()["Starting"]),
      endingDate(app.staticTexts()["End date"]),
      frequencyElement(app.staticTexts()["Frequency"]),
      neverButtonElement(app.buttons()["Never"]),
      endDateButtonElement(app.buttons()["End date"]),
      numberOfButtonElement(app.buttons()["No. of transfers"]),
      numberOfTextView(app.textViews()["numberOfTextView"]) {}

void TransferScreen::selectAccount(ToFrom toFrom, const std::string& name, const std::string& number) {
  tap(toFrom == ToFrom::from ? fromDropdown : toDropdown);
  tap(MoneyForms::accountCell(app, name, number));
}

void TransferScreen::typeOnAmount(const std::string& amount) {
  type(amount, amountTextView);
  tap(doneButton);
}

void TransferScreen::selectTransferDate(DateType dateType, XCTestCase& testCase, const std::optional<Date>& date) {
  tap(MoneyForms::dateField(app, dateType));
  if (date) MoneyForms::turnDateWheels(app, *date, {0, 1, 2});
  MoneyForms::tapPickerDone(app, testCase);
}

void TransferScreen::tapOnSubmitButton(XCTestCase& xctestcase) {
  tap(submitButton);
  waitForLoading(xctestcase, 20);
}

void TransferScreen::selectTransferType(std::size_t index) { tap(app.segmentedControls().buttons().element(index)); }

void TransferScreen::selectFrequency(const std::string& frequency, XCTestCase& testCase) {
  tap(frequencyElement);
  app.pickerWheels().element().adjust(frequency);
  MoneyForms::tapPickerDone(app, testCase);
}

void TransferScreen::selectEnding(EndingType ending) {
  switch (ending) {
    case EndingType::never:
      tap(neverButtonElement);
      break;
    case EndingType::endDate:
      tap(endDateButtonElement);
      break;
    case EndingType::numberOf:
      tap(numberOfButtonElement);
      break;
  }
}

void TransferScreen::typeNumberOfMovements(int number) {
  type(std::to_string(number), numberOfTextView);
  tap(doneButton);
}

void TransferScreen::confirmFieldLabels(bool isRecurring, std::optional<EndingType> endType) {
  auto shown = [&](const char* label) { return app.staticTexts()[label].exists(); };
  XCTAssertTrue(shown("From"));
  XCTAssertTrue(shown("To"));
  XCTAssertTrue(shown("Amount"));
  if (!isRecurring) {
    XCTAssertTrue(shown("When"));
    XCTAssertFalse(shown("Frequency"));
    XCTAssertFalse(shown("Starting"));
    XCTAssertFalse(shown("Ending"));
    XCTAssertFalse(shown("Number of transfers"));
    return;
  }
  XCTAssertFalse(shown("When"));
  XCTAssertTrue(shown("Frequency"));
  XCTAssertTrue(shown("Starting"));
  XCTAssertTrue(shown("Ending"));
  if (!endType) {
    XCTFail("endType must be supplied if isRecurring is true");
    return;
  }
  if (*endType == EndingType::never) {
    XCTAssertFalse(shown("Number of transfers"));
  } else {
    XCTAssertTrue(shown("Number of transfers"));
  }
}

std::pair<XCUIElement, XCUIElement> TransferScreen::getAccountElements(const std::string& name,
                                                                       const std::string& number) {
  return {app.staticTexts().matching(NSPredicate("label CONTAINS %@", name)).element(),
          app.staticTexts().matching(NSPredicate("label CONTAINS %@", "(" + number + ")")).element()};
}

XCUIElementQuery TransferScreen::scrollViewTexts() const { return app.scrollViews().otherElements().staticTexts(); }

std::string TransferScreen::getElement(const std::string& accessibilityIdentifier) {
  return scrollViewTexts()[accessibilityIdentifier].label();
}

void TransferScreen::tapOnReviewTransferSubmit(XCTestCase& xctestcase) {
  tap(reviewTransferAlertSubmitButton);
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(300);
}

void TransferScreen::tapOnReviewTransferEdit(XCTestCase& xctestcase) {
  tap(reviewTransferAlertEditButton);
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(180);
}

XCUIElement TransferScreen::confirmationText() const {
  return scrollViewTexts().matching(NSPredicate("label CONTAINS %@", "Your transaction number is:")).element();
}

void TransferScreen::assertConfirmationSuccess() {
  XCTAssertTrue(confirmationText().exists(), "Your transaction number is: ***** message exists");
}

std::string TransferScreen::getConfirmationNumber() { return confirmationText().label(); }

void TransferScreen::tapOnCompleteTransferSubmit(XCTestCase& xctestcase) {
  tap(transferCompleteAlertSubmitButton);
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(300);
  QualtricsScreen(XCUIApplication()).dismissSurveyPopUp();
}

void TransferScreen::assertError(const std::string& errorDisplayed) {
  XCTAssertTrue(app.staticTexts()[errorDisplayed].exists());
}

std::string TransferScreen::balanceAfterTransfer(std::size_t index, const std::string& amountToTransfer,
                                                 bool outgoing) {
  platform::Decimal balance = MoneyForms::scrollViewAmount(app, index);
  platform::Decimal amount = CommonFunctions::roundUp(amountToTransfer);
  return CommonFunctions::currencyFormatFromDecimal(outgoing ? balance - amount : balance + amount);
}

std::string TransferScreen::getFromAccountBalanceAfterTransfer(const std::string& amountToTransfer) {
  return balanceAfterTransfer(0, amountToTransfer, true);
}

std::string TransferScreen::getToAccountBalanceAfterTransfer(const std::string& amountToTransfer) {
  return balanceAfterTransfer(1, amountToTransfer, false);
}

void TransferScreen::openTransferForm(XCTestCase& xctestcase) {
  LandingScreen().tapOnMoveMoneyButton(xctestcase);
  MoveMoneyScreen moveMoneyScreen;
  moveMoneyScreen.tapOnTransferBetweenAccounts();
  xctestcase.expectation(NSPredicate("exists == FALSE"), moveMoneyScreen.loadingAnimation);
  xctestcase.waitForExpectations(180);
}

void TransferScreen::submitAndComplete(XCTestCase& xctestcase) {
  tapOnSubmitButton(xctestcase);
  tapOnReviewTransferSubmit(xctestcase);
  std::cout << getConfirmationNumber() << std::endl;
  tapOnCompleteTransferSubmit(xctestcase);
}

void TransferScreen::performTransferBetweenAccounts(const std::string& fromAccName, const std::string& fromAccNumber,
                                                    const std::string& toAccName, const std::string& toAccNumber,
                                                    const std::string& amount, const std::optional<Date>& date,
                                                    XCTestCase& xctestcase) {
  openTransferForm(xctestcase);
  TransferScreen form(app);
  form.selectAccount(ToFrom::from, fromAccName, fromAccNumber);
  form.selectAccount(ToFrom::to, toAccName, toAccNumber);
  form.typeOnAmount(amount);
  form.selectTransferDate(DateType::transferDate, xctestcase, date);
  form.submitAndComplete(xctestcase);
}

void TransferScreen::performTransferBetweenAccountsRecurring(
    const std::string& fromAccName, const std::string& fromAccNumber, const std::string& toAccName,
    const std::string& toAccNumber, const std::string& amount, const std::optional<Date>& startDate,
    const std::optional<Date>& endDate, const std::optional<int>& numberOfTransfers, XCTestCase& xctestcase) {
  openTransferForm(xctestcase);
  TransferScreen form(app);
  form.selectTransferType(1);
  form.selectAccount(ToFrom::from, fromAccName, fromAccNumber);
  form.selectAccount(ToFrom::to, toAccName, toAccNumber);
  form.typeOnAmount(amount);
  form.selectFrequency("Weekly", xctestcase);
  form.selectTransferDate(DateType::startDate, xctestcase, startDate);
  if (endDate) {
    form.selectEnding(EndingType::endDate);
    form.selectTransferDate(DateType::endDate, xctestcase, endDate);
  }
  if (numberOfTransfers) {
    form.selectEnding(EndingType::numberOf);
    form.typeNumberOfMovements(*numberOfTransfers);
  }
  form.submitAndComplete(xctestcase);
}
