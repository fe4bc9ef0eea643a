#include "Screens/AccountDetailsScreen.h"

#include <cctype>

#include "foundation/RegularExpression.h"

AccountDetailsScreen::AccountDetailsScreen()
    : loadingAnimation(app.activityIndicators()["loadingIndicator"]),
      manageAccountTitle(app.tables().staticTexts()["Manage Account"]),
      accountName(app.staticTexts()["HELOC Account"]),
      accountBackLink(app.navigationBars()["Vesmora.ManageAccountView"].buttons()["Account"]) {}

std::string AccountDetailsScreen::detailIdentifier(const std::string& label) {
  std::string identifier = "Account_Details";
  std::size_t start = 0;
  while (start <= label.size()) {
    std::size_t end = label.find(' ', start);
    if (end == std::string::npos) end = label.size();
    std::string word = label.substr(start, end - start);
    if (!word.empty()) {
      word[0] = static_cast<char>(std::toupper(static_cast<unsigned char>(word[0])));
      identifier += "_" + word;
    }
    start = end + 1;
  }
  return identifier;
}

std::string AccountDetailsScreen::findDetailElementText(const std::string& label) {
  return app.tables().descendants(XCUIElementType::any).matching(detailIdentifier(label)).element().label();
}

void AccountDetailsScreen::assertNumberMatches(const std::string& pattern) {
  std::string number = app.tables().descendants(XCUIElementType::any).matching("Details_Account_Number").element().label();
  auto expression = platform::RegularExpression::make(pattern);
  XCTAssert(expression && expression->search(number));
}

void AccountDetailsScreen::findAndAssertAccountNumberFormat() { assertNumberMatches("^\\d{3}-\\d{11}$"); }

void AccountDetailsScreen::findAndAssertCreditCardNumberFormat() { assertNumberMatches("^\\d{6}\\*{6}\\d{4}$"); }

void AccountDetailsScreen::tapAccountBackLink(XCTestCase& xctestcase) {
  tap(accountBackLink);
  xctestcase.expectation(NSPredicate("exists == FALSE"), loadingAnimation);
  xctestcase.waitForExpectations(45);
}
