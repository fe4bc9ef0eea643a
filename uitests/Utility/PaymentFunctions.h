// The money-form driver: a page object over the shared payment form (account pickers, amount,
// memo, dates, frequency and ending) of the bill-payment and e-Transfer forms.
#pragma once

#include <optional>
#include <string>

#include "Extensions/Date.h"
#include "Utility/BaseScreen.h"
#include "Utility/MoneyFormTypes.h"
#include "foundation/Decimal.h"

class PaymentFunctions : public BaseScreen {
 public:
  explicit PaymentFunctions(XCUIApplication app);

  XCUIElement fromDropdown;
  XCUIElement toDropdown;
  XCUIElement amountTextView;
  XCUIElement memoTextView;
  XCUIElement submitButton;
  XCUIElement doneButton;
  XCUIElement frequencyElement;

  // Opens the picker, reads the "$" text of the account's cell, taps the cell and returns the
  // amount of that text ("$" and "," removed). A missing cell fails when its text is read.
  platform::Decimal findBalanceOfAccountFromDropdown(ToFrom toFrom, const std::string& name, const std::string& number);
  // Opens the picker, waits up to 10 seconds for the account's cell and taps it; a cell that does
  // not come fails the test.
  void selectAccountFromDropdown(ToFrom toFrom, const std::string& name, const std::string& number);
  // Opens the To picker and taps the text of the tables that contains `recipient`.
  void selectRecipientDropdown(const std::string& recipient);
  void typeOnAmount(const std::string& amount = "");
  // Types into the memo (no Done).
  void typeOnMemo(const std::string& memo);
  // Taps Submit, then waits up to 30 seconds for loading to end.
  void tapOnSubmitButton(XCTestCase& xctestcase);
  std::string getElement(const std::string& accessibilityIdentifier);
  void selectPaymentType(std::size_t index);
  void selectFrequency(const std::string& frequency, XCTestCase& testCase);
  // Taps "Never", "End date" or "No. of payments".
  void selectEnding(EndingType ending);
  // Opens the date field; with a date turns the year, month and day wheels to it; taps the
  // pickers' Done once it shows (15 seconds).
  void selectPaymentDate(DateType dateType, XCTestCase& testCase, const std::optional<Date>& date = std::nullopt);
  void typeNumberOfPayments(int number = 0);
};
