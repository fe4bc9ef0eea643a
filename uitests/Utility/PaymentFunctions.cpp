#include "Utility/PaymentFunctions.h"

#include <iostream>

#include "Utility/MoneyForms.h"

PaymentFunctions::PaymentFunctions(XCUIApplication app)
    : BaseScreen(app),
      fromDropdown(app.staticTexts()["From Account"]),
      toDropdown(app.staticTexts()["To Account"]),
      amountTextView(app.scrollViews().textViews()["amountTextView"]),
      memoTextView(app.scrollViews().textViews()["MemoTextView"]),
      submitButton(app.buttons()["Submit"]),
      doneButton(app.toolbars()["Toolbar"].buttons()["Done"]),
      frequencyElement(app.staticTexts()["Frequency"]) {}

platform::Decimal PaymentFunctions::findBalanceOfAccountFromDropdown(ToFrom toFrom, const std::string& name,
                                                                     const std::string& number) {
  tap(toFrom == ToFrom::from ? fromDropdown : toDropdown);
  XCUIElement cell = MoneyForms::accountCell(app, name, number);
  std::string label = cell.staticTexts().matching(NSPredicate("label CONTAINS '$'")).element().label();
  tap(cell);
  return MoneyForms::amountOfBalanceText(label);
}

void PaymentFunctions::selectAccountFromDropdown(ToFrom toFrom, const std::string& name, const std::string& number) {
  tap(toFrom == ToFrom::from ? fromDropdown : toDropdown);
  XCUIElement cell = MoneyForms::accountCell(app, name, number);
  if (!cell.waitForExistence(10)) {
    std::cout << "Unable to find account from dropdown list" << std::endl;
    XCTFail("");
    return;
  }
  tap(cell);
}

void PaymentFunctions::selectRecipientDropdown(const std::string& recipient) {
  tap(toDropdown);
  tap(app.tables().staticTexts().matching(NSPredicate("label CONTAINS %@", recipient)).element());
}

void PaymentFunctions::typeOnAmount(const std::string& amount) {
  type(amount, amountTextView);
  tap(doneButton);
}

void PaymentFunctions::typeOnMemo(const std::string& memo) { type(memo, memoTextView); }

void PaymentFunctions::tapOnSubmitButton(XCTestCase& xctestcase) {
  tap(submitButton);
  waitForLoading(xctestcase, 30);
}

std::string PaymentFunctions::getElement(const std::string& accessibilityIdentifier) {
  return app.scrollViews().otherElements().staticTexts()[accessibilityIdentifier].label();
}

void PaymentFunctions::selectPaymentType(std::size_t index) { tap(app.segmentedControls().buttons().element(index)); }

void PaymentFunctions::selectFrequency(const std::string& frequency, XCTestCase& testCase) {
  tap(frequencyElement);
  app.pickerWheels().element().adjust(frequency);
  MoneyForms::tapPickerDone(app, testCase);
}

void PaymentFunctions::selectEnding(EndingType ending) {
  const char* title = ending == EndingType::never ? "Never" : ending == EndingType::endDate ? "End date" : "No. of payments";
  tap(app.buttons()[title]);
}

void PaymentFunctions::selectPaymentDate(DateType dateType, XCTestCase& testCase, const std::optional<Date>& date) {
  tap(MoneyForms::dateField(app, dateType));
  if (date) MoneyForms::turnDateWheels(app, *date, {2, 0, 1});
  MoneyForms::tapPickerDone(app, testCase);
}

void PaymentFunctions::typeNumberOfPayments(int number) {
  type(std::to_string(number), app.scrollViews().textViews()["numberOfTextView"]);
  tap(doneButton);
}
