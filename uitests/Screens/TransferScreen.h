// The transfer between accounts: the form (account pickers, amount, one-time or recurring, date,
// frequency and ending), its review ("Review Transfer") and its completion ("Transfer Complete"),
// and the whole road through them.
#pragma once

#include <optional>
#include <string>
#include <utility>

#include "Extensions/Date.h"
#include "Utility/BaseScreen.h"
#include "Utility/MoneyFormTypes.h"

class TransferScreen : public BaseScreen {
 public:
  explicit TransferScreen(XCUIApplication app);

  XCUIElement submitButton;
  XCUIElement doneButton;  // the keyboard toolbar's "Done"
  XCUIElement amountTextView;
  XCUIElement transferTitle;
  XCUIElement fromDropdown;
  XCUIElement toDropdown;
  XCUIElement reviewTransferAlert;
  XCUIElement reviewTransferAlertSubmitButton;
  XCUIElement reviewTransferAlertEditButton;
  XCUIElement transferCompleteAlert;
  XCUIElement transferCompleteAlertSubmitButton;
  XCUIElement transferDate;
  XCUIElement paymentDate;
  XCUIElement startingDate;
  XCUIElement endingDate;
  XCUIElement frequencyElement;
  XCUIElement neverButtonElement;
  XCUIElement endDateButtonElement;
  XCUIElement numberOfButtonElement;
  XCUIElement numberOfTextView;

  // Opens the picker and taps the cell holding the account's name and "(number)"; no wait.
  void selectAccount(ToFrom toFrom, const std::string& name, const std::string& number);
  // Types into the amount field (not cleared first), then taps the toolbar's Done.
  void typeOnAmount(const std::string& amount = "");
  // Opens the date field; with a date turns the month, day and year wheels to it (in "MDT");
  // then waits up to 15 seconds for the picker's Done and taps it.
  void selectTransferDate(DateType dateType, XCTestCase& testCase, const std::optional<Date>& date = std::nullopt);
  // Taps Submit, then waits up to 20 seconds for loading to end.
  void tapOnSubmitButton(XCTestCase& xctestcase);
  // Taps the segment at `index` (1: recurring).
  void selectTransferType(std::size_t index);
  void selectFrequency(const std::string& frequency, XCTestCase& testCase);
  void selectEnding(EndingType ending);
  void typeNumberOfMovements(int number = 0);
  // The review's labels: From, To and Amount; "When" for a one-time transfer; "Frequency",
  // "Starting", "Ending" and, unless it never ends, "Number of transfers" for a recurring one.
  void confirmFieldLabels(bool isRecurring, std::optional<EndingType> endType = std::nullopt);
  // The static texts holding the account's name / "(number)" (not asserted).
  std::pair<XCUIElement, XCUIElement> getAccountElements(const std::string& name, const std::string& number);
  // The label of the review's or completion's text with that identifier.
  std::string getElement(const std::string& accessibilityIdentifier);
  // Taps the review's "Transfer" / "Edit", then waits up to 300 / 180 seconds for loading to end.
  void tapOnReviewTransferSubmit(XCTestCase& xctestcase);
  void tapOnReviewTransferEdit(XCTestCase& xctestcase);
  void assertConfirmationSuccess();
  std::string getConfirmationNumber();
  // Taps the completion's "Done", waits up to 300 seconds for loading and dismisses the survey.
  void tapOnCompleteTransferSubmit(XCTestCase& xctestcase);
  void assertError(const std::string& errorDisplayed);
  // The first / second "$" amount of the screen less / plus `amountToTransfer`, as en_US currency
  // text. A balance or amount that is no decimal number records a failure naming the text.
  std::string getFromAccountBalanceAfterTransfer(const std::string& amountToTransfer);
  std::string getToAccountBalanceAfterTransfer(const std::string& amountToTransfer);

  // The whole road from any tab: Move money, Transfer between accounts, the form, review, the
  // printed confirmation and Done. Asserts nothing beyond its waits.
  void performTransferBetweenAccounts(const std::string& fromAccName, const std::string& fromAccNumber,
                                      const std::string& toAccName, const std::string& toAccNumber,
                                      const std::string& amount, const std::optional<Date>& date,
                                      XCTestCase& xctestcase);
  // The same for a weekly recurring transfer from `startDate`, ending on `endDate` and/or after
  // `numberOfTransfers` when given.
  void performTransferBetweenAccountsRecurring(const std::string& fromAccName, const std::string& fromAccNumber,
                                               const std::string& toAccName, const std::string& toAccNumber,
                                               const std::string& amount, const std::optional<Date>& startDate,
                                               const std::optional<Date>& endDate,
                                               const std::optional<int>& numberOfTransfers, XCTestCase& xctestcase);

 private:
  XCUIElementQuery scrollViewTexts() const;
  XCUIElement confirmationText() const;
  std::string balanceAfterTransfer(std::size_t index, const std::string& amountToTransfer, bool outgoing);
  // Move money, Transfer between accounts, and a 180-second wait for the menu's loading.
  void openTransferForm(XCTestCase& xctestcase);
  // Submit, review, printed confirmation and Done.
  void submitAndComplete(XCTestCase& xctestcase);
};
