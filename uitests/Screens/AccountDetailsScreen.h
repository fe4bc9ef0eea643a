// The account-details ("Manage Account") page: title, the account's rows, the account or card
// number, and the navigation bar's "Account" back button.
#pragma once

#include <string>

#include "Utility/BaseScreen.h"

class AccountDetailsScreen : public BaseScreen {
 public:
  AccountDetailsScreen();

  XCUIElement loadingAnimation;
  XCUIElement manageAccountTitle;
  XCUIElement accountName;
  XCUIElement accountBackLink;

  // "Account_Details" and, per blank-separated word of `label`, "_" and the word with its first
  // character capitalised: "Last statement balance" gives "Account_Details_Last_Statement_Balance".
  static std::string detailIdentifier(const std::string& label);
  // The label of the tables' element whose identifier is detailIdentifier(label).
  std::string findDetailElementText(const std::string& label);
  // The label of "Details_Account_Number" is three digits, "-" and eleven digits / six digits,
  // six "*" and four digits.
  void findAndAssertAccountNumberFormat();
  void findAndAssertCreditCardNumberFormat();
  // Taps "Account", then waits up to 45 seconds for loading to end.
  void tapAccountBackLink(XCTestCase& xctestcase);

 private:
  void assertNumberMatches(const std::string& pattern);
};
