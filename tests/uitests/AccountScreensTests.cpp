// The transactions and account-details page objects against the simulated app: predicates take
// descriptions with quotes, the balance query sees the header's amounts only, the details page
// repeats the transactions page's balances, and the number checks catch a wrong form.
#include <gtest/gtest.h>

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/AccountDetailsScreen.h"
#include "Screens/OverviewScreen.h"
#include "Screens/TransactionsScreen.h"
#include "app/VesmoraApp.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace {

class AccountScreensTest : public ::testing::Test {
 protected:
  AccountScreensTest() {
    sim::Device::shared().reset();
    vesmora::installVesmora(sim::Device::shared());
    sim::Device::shared().setDefaultLaunchEnvironment({{vesmora::VesmoraApp::kLoadingSecondsKey, "0"}});
  }
  ~AccountScreensTest() override { sim::Device::shared().reset(); }

  // Launches the app (with `faults` switched on), signs in through the model and taps the card.
  void openAccount(const std::string& user, const std::string& password, const std::string& accountId,
                   const std::string& faults = "") {
    XCUIApplication app;
    if (!faults.empty()) app.launchEnvironment()["VESMORA_FAULTS"] = faults;
    app.launch();
    auto* running = dynamic_cast<vesmora::VesmoraApp*>(
        sim::Device::shared().runningApp(vesmora::VesmoraApp::kBundleIdentifier));
    vesmora::VesmoraModel& model = running->model();
    model.typeText(vesmora::Field::userName, user);
    model.typeText(vesmora::Field::password, password);
    model.tapLogin();
    if (model.alert()) model.tapAlertButton("OK");  // the biometric enrolment offer
    ASSERT_EQ(model.screen(), vesmora::Screen::landing);
    OverviewScreen::accountCellElement(accountId).tap();
  }

  // Failures recorded by `body` (outside a test run they are counted, and printed on stderr).
  static int failuresOf(const std::function<void()>& body, std::string* output = nullptr) {
    int before = xctest::unattributedFailureCount();
    testing::internal::CaptureStderr();
    body();
    std::string printed = testing::internal::GetCapturedStderr();
    if (output) *output = printed;
    return xctest::unattributedFailureCount() - before;
  }
};

}  // namespace

TEST_F(AccountScreensTest, TransactionsAreFoundByDescriptionsWithQuotesAndByAmount) {
  openAccount("2038556", "480917", "dep-chq-2038556");
  TransactionsScreen screen;
  std::string output;
  EXPECT_EQ(failuresOf([&] { screen.findAndVerifyTransactionByDescription("Marlowe's Bakery", "-$14.35"); }), 0);
  EXPECT_EQ(failuresOf([&] { screen.findAndVerifyTransactionByDescription("Marlowe's Bakery", "$9.99"); }, &output), 1);
  EXPECT_NE(output.find("Transaction record amount has been found successfully"), std::string::npos) << output;
  // The amount of another row does not count for the described one.
  EXPECT_EQ(failuresOf([&] { screen.findAndVerifyTransactionByDescription("Marlowe's", "$2,310.48"); }), 1);
  EXPECT_EQ(failuresOf([&] { screen.findAndVerifyTransactionByDescription("Transfer \"quoted\"", "$1"); }, &output), 2);
  EXPECT_NE(output.find("Transaction record has been found successfully"), std::string::npos) << output;

  // The first cell is the newest transaction, not the balance header or "Manage account".
  EXPECT_EQ(screen.findTransactionByIndex(0).staticTexts()["transactionDescriptionLabel"].label(), "Marlowe's Bakery");
  // Rows below the table's end come into reach by swiping the page.
  XCUIElement last = XCUIApplication().tables().cells().element(9);
  EXPECT_FALSE(last.isHittable());
  scrollToElement(last);
  EXPECT_TRUE(last.isHittable());
  EXPECT_FALSE(screen.manageAccount.isHittable()) << "scrolled away";

  // The selected Overview tab, tapped again, goes back to the overview.
  OverviewScreen overview;
  overview.overviewButton.tap();
  EXPECT_FALSE(screen.transactionsSubHeading.exists());
  EXPECT_TRUE(OverviewScreen::accountCellElement("dep-chq-2038556").exists());
}

TEST_F(AccountScreensTest, DetailsRepeatTheHeaderBalancesAndTheBalanceQuerySkipsTheRows) {
  openAccount("2048887", "Pine#2048", "dep-chq-2048887");
  TransactionsScreen screen;
  // Available before current; the rows' "$" amounts are not balances.
  EXPECT_EQ(screen.getFirstBalance(), "$2,875.60");
  EXPECT_EQ(screen.getSecondBalance(), "$3,100.00");
  EXPECT_EQ(failuresOf([&] { screen.assertInvestmentAccountBalanceHasValue(); }), 1) << "two balances";
  screen.assertOverviewBackLine("Everyday Chequing (001-20488870001)");
  EXPECT_EQ(failuresOf([&] { screen.assertAccountTitle("Everyday Chequing"); }), 1) << "the title holds the number";

  screen.manageAccount.tap();
  AccountDetailsScreen details;
  EXPECT_TRUE(details.manageAccountTitle.exists());
  EXPECT_EQ(details.findDetailElementText("Available balance"), "$2,875.60");
  EXPECT_EQ(details.findDetailElementText("Current balance"), "$3,100.00");
  EXPECT_EQ(failuresOf([&] { details.findAndAssertAccountNumberFormat(); }), 0);
  EXPECT_EQ(failuresOf([&] { details.findAndAssertCreditCardNumberFormat(); }), 1);
  details.accountBackLink.tap();
  EXPECT_TRUE(screen.manageAccount.exists());
  screen.tapOverviewBackLine2();
  EXPECT_TRUE(OverviewScreen::accountCellElement("dep-chq-2048887").exists());
}

TEST_F(AccountScreensTest, CardDetailsShowTheStatementAndAGroupedNumberFails) {
  openAccount("cardholder01", "Alder#8830", "cc-mc-cardholder01", "cardNumberGrouped");
  TransactionsScreen screen;
  EXPECT_EQ(screen.getFirstBalance(), "$2,431.87");
  screen.manageAccount.tap();
  AccountDetailsScreen details;
  EXPECT_EQ(details.findDetailElementText("Last statement balance"), "$1,754.20");
  EXPECT_EQ(details.findDetailElementText("Minimum payment due date"), "Jan 5, 2027");
  EXPECT_EQ(details.findDetailElementText("Rewards balance"), "12,480 points");
  EXPECT_EQ(failuresOf([&] { details.findAndAssertCreditCardNumberFormat(); }), 1) << "5204 73** **** 8830";

  // Without the fault the same card passes, and an account number form does not.
  openAccount("cardholder01", "Alder#8830", "cc-mc-cardholder01");
  XCUIApplication().tables().staticTexts()["Manage account"].tap();
  EXPECT_EQ(failuresOf([&] { details.findAndAssertCreditCardNumberFormat(); }), 0);
  EXPECT_EQ(failuresOf([&] { details.findAndAssertAccountNumberFormat(); }), 1);
}

TEST(AccountDetailsScreenIdentifiers, EveryWordIsCapitalisedAndTheRestKept) {
  EXPECT_EQ(AccountDetailsScreen::detailIdentifier("Last statement balance"), "Account_Details_Last_Statement_Balance");
  EXPECT_EQ(AccountDetailsScreen::detailIdentifier("Rewards balance"), "Account_Details_Rewards_Balance");
  EXPECT_EQ(AccountDetailsScreen::detailIdentifier("eTransfer ID"), "Account_Details_ETransfer_ID");
}
