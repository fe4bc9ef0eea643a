#include "Screens/OverviewScreen.h"

#include "foundation/Date.h"
#include "foundation/Decimal.h"
#include "Extensions/XCUIElementExtensions.h"

namespace {

// en_US currency text of a double, two fraction digits ("$1,234.50").
std::string currencyText(double amount) {
  auto exact = platform::Decimal::fromDouble(amount);
  return platform::formatCurrency(exact.value_or(platform::Decimal()), "en_US");
}

// The amount written in a card's joined labels ("$1,234.56", "-$0.50"); 0 when unreadable.
double amountOfLabels(const std::string& joined) {
  std::string plain;
  for (char c : joined)
    if (c != '$' && c != ',') plain += c;
  auto value = platform::Decimal::parse(plain);
  return value ? value->toDouble() : 0;
}

}  // namespace

OverviewScreen::OverviewScreen() : overviewButton(XCUIApplication().tabBars().buttons()["Overview"]) {}

void OverviewScreen::tapOnOverviewButton(XCTestCase& xctestcase) {
  tap(overviewButton);
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(45);
}

XCUIElement OverviewScreen::accountCellElement(const std::string& identifier) {
  return XCUIApplication().tables().cells().matching(NSPredicate("identifier == %@", identifier)).element();
}

void OverviewScreen::tapAccountCard(const std::string& accountId, XCTestCase& xctestcase) {
  tap(accountCellElement(accountId));
  xctestcase.expectation(NSPredicate("exists == FALSE"), appLoadingAnimation);
  xctestcase.waitForExpectations(45);
}

void OverviewScreen::verifyAmountLabelNotNull(const std::string& accountId) {
  XCUIElement card = accountCellElement(accountId);
  for (const char* identifier : {"dollarSignLabel", "wholeDollarsLabel", "centsLabel"}) {
    XCUIElement label = card.staticTexts()[identifier];
    if (!label.exists() || label.label().empty()) {
      XCTFail();
      return;
    }
  }
}

void OverviewScreen::verifyAccountCardStaticTexts(const std::string& accountId, const std::string& textToVerify) {
  XCTAssert(accountCellElement(accountId).staticTexts()[textToVerify].exists());
}

void OverviewScreen::verifyAmountLabel(const std::string& accountId, double amount, const std::string& currency) {
  std::string expected = currencyText(amount) + (currency == "USD" ? " USD" : "");
  XCUIElement card = accountCellElement(accountId);
  XCUIElement dollarSign = card.staticTexts()["dollarSignLabel"];
  XCUIElement wholeDollars = card.staticTexts()["wholeDollarsLabel"];
  XCUIElement cents = card.staticTexts()["centsLabel"];
  XCUIElement currencyType = card.staticTexts()["currencyTypeLabel"];
  if (!dollarSign.exists() || !wholeDollars.exists() || !cents.exists()) {
    // A card without its amount must not pass unnoticed.
    XCTFail("The card of account " + accountId + " shows no amount (dollar sign, whole dollars and cents labels)");
    return;
  }
  std::string shown = dollarSign.label() + wholeDollars.label() + cents.label();
  std::string cardCurrency = currencyType.exists() ? currencyType.label() : "CAD";
  if (cardCurrency == "USD") shown += " USD";
  XCTAssertEqual(shown, expected);
}

XCUIElement OverviewScreen::getCurrencyOfAccount(const std::string& accountID, const std::string& currencyString) {
  return accountCellElement(accountID).staticTexts()[currencyString];
}

std::pair<double, double> OverviewScreen::calculateTotals(const std::string& targetCategory) {
  double totalCAD = 0;
  double totalUSD = 0;
  XCUIElementQuery cells = XCUIApplication().tables().cells().containing(
      NSPredicate("identifier == %@ AND label == %@", "categoryLabel", targetCategory));
  for (const XCUIElement& cell : cells.allElementsBoundByIndex()) {
    XCUIElement dollarSign = cell.staticTexts()["dollarSignLabel"];
    XCUIElement wholeDollars = cell.staticTexts()["wholeDollarsLabel"];
    XCUIElement cents = cell.staticTexts()["centsLabel"];
    XCUIElement category = cell.staticTexts()["categoryLabel"];
    if (!dollarSign.exists() || !wholeDollars.exists() || !cents.exists() || !category.exists()) continue;
    double amount = amountOfLabels(dollarSign.label() + wholeDollars.label() + cents.label());
    XCUIElement currencyType = cell.staticTexts()["currencyTypeLabel"];
    std::string currency = currencyType.exists() ? currencyType.label() : "CAD";
    if (currency == "CAD") totalCAD += amount;
    if (currency == "USD") totalUSD += amount;
  }
  return {totalCAD, totalUSD};
}

void OverviewScreen::verifyTotals(const std::string& heading, double totalCAD, double totalUSD) {
  std::string cadText = currencyText(totalCAD);
  std::string usdText = currencyText(totalUSD);
  XCUIElement cell = accountCellElement(heading + "Totals");
  if (!cell.exists()) return;
  scrollToElement(cell);
  XCTAssert(cell.staticTexts()[heading].exists());
  if (totalCAD == 0) {
    XCTAssert(!cell.staticTexts()[cadText].exists());
  } else {
    XCTAssert(cell.staticTexts()[cadText].exists());
  }
  if (totalUSD == 0) {
    XCTAssert(!cell.staticTexts()[usdText].exists() && !cell.staticTexts()["USD"].exists());
  } else {
    XCTAssert(cell.staticTexts()[usdText].exists() && cell.staticTexts()["USD"].exists());
  }
}

void OverviewScreen::verifyDate(const std::string& date) {
  XCTAssertEqual(date, XCUIApplication().tables().staticTexts()["OverviewDateLabel"].label());
}

std::string OverviewScreen::expectedGreeting(const Date& date, const Date& today) {
  platform::TimeZone zone = platform::TimeZone::current();
  platform::DateComponents day = platform::componentsOfDate(today.timeIntervalSince1970(), zone);
  auto limit = [&](int hour, int minute) {
    platform::DateComponents c = day;
    c.hour = hour;
    c.minute = minute;
    c.second = 0;
    c.fraction = 0;
    return platform::dateFromComponents(c, zone).value_or(0);
  };
  double time = date.timeIntervalSince1970();
  if (time >= limit(17, 30)) return "Good evening,";
  if (time >= limit(12, 0)) return "Good afternoon,";
  if (time >= limit(4, 30)) return "Good morning,";
  return "Hello,";
}

void OverviewScreen::verifyGreeting(const Date& date) {
  XCTAssertEqual(expectedGreeting(date, Date::now()),
                 XCUIApplication().tables().staticTexts()["OverviewGreetingLabel"].label());
}

void OverviewScreen::verifyName(const std::string& name) {
  XCTAssertEqual(name, XCUIApplication().tables().staticTexts()["OverviewRecipientLabel"].label());
}
