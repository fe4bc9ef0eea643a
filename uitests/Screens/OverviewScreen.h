// The overview tab: account cards (found by the account's id), their amount and currency labels,
// the category totals, and the date, greeting and name header.
#pragma once

#include <string>
#include <utility>

#include "Extensions/Date.h"
#include "Utility/BaseScreen.h"

class OverviewScreen : public BaseScreen {
 public:
  OverviewScreen();

  // The tab-bar button "Overview".
  XCUIElement overviewButton;

  // Taps "Overview", then waits up to 45 seconds for loading to end.
  void tapOnOverviewButton(XCTestCase& xctestcase);

  // The cell of the app's tables whose identifier is `identifier` (an account's "id").
  static XCUIElement accountCellElement(const std::string& identifier);
  // Taps the card of the account, then waits up to 45 seconds for loading to end.
  void tapAccountCard(const std::string& accountId, XCTestCase& xctestcase);

  // Fails unless the card's dollar-sign, whole-dollars and cents labels exist and none is empty.
  void verifyAmountLabelNotNull(const std::string& accountId);
  // Asserts that the card holds a static text named by `textToVerify` (no wait).
  void verifyAccountCardStaticTexts(const std::string& accountId, const std::string& textToVerify);
  // Asserts that the card's amount labels, joined (with " USD" when the card's currency label
  // reads "USD"), equal `amount` as en_US currency text, followed by " USD" for a USD account.
  // A card without its three amount labels records a failure naming the card.
  void verifyAmountLabel(const std::string& accountId, double amount, const std::string& currency);
  // The static text named by `currencyString` inside the card (not waited for).
  XCUIElement getCurrencyOfAccount(const std::string& accountID, const std::string& currencyString);

  // Sums the cards whose category label reads `targetCategory`: (total in CAD, total in USD).
  std::pair<double, double> calculateTotals(const std::string& targetCategory);
  // Checks the totals cell "<heading>Totals" when it exists: the heading, the CAD total (absent
  // when 0) and the USD total with its "USD" label (both absent when 0).
  void verifyTotals(const std::string& heading, double totalCAD, double totalUSD);

  // The header's date, greeting (by the time of day of `date`) and first name.
  void verifyDate(const std::string& date);
  void verifyGreeting(const Date& date);
  void verifyName(const std::string& name);

  // The greeting for a time of day, with the band limits 04:30, 12:00 and 17:30 set on the day
  // of `today` in the device's time zone: "Hello,", "Good morning,", "Good afternoon,",
  // "Good evening,".
  static std::string expectedGreeting(const Date& date, const Date& today);
};
