// The transfer page objects against the simulated app, with the loading time on: the review comes
// only after the submit's wait, its balances give the completion's, Edit keeps the form, a long
// account list scrolls to the chosen cell, the form's date check reads only the field its caption
// names, and a balance that is no number fails by its text.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Screens/TransferScreen.h"
#include "SupportTestHelpers.h"
#include "Utility/CommonFunctions.h"
#include "Utility/MoneyForms.h"
#include "Utility/PaymentFunctions.h"
#include "app/VesmoraApp.h"
#include "xctest/XCTVirtualClock.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

namespace {

// A test case for the page objects' waits; its failures are counted, not thrown.
class Probe : public XCTestCase {};

class TransferScreenTest : public ::testing::Test {
 protected:
  TransferScreenTest() {
    sim::Device::shared().reset();
    vesmora::installVesmora(sim::Device::shared());
    vesmora::installedTestBackend().reseed();
    sim::Device::shared().setDefaultLaunchEnvironment({{"VESMORA_LOADING_SECONDS", "2"}});
  }
  ~TransferScreenTest() override { sim::Device::shared().reset(); }

  // Launches (with `faults` switched on), signs in and opens Transfer between accounts.
  void openTransfer(const std::string& user, const std::string& password, const std::string& faults = "") {
    XCUIApplication app;
    if (!faults.empty()) app.launchEnvironment()["VESMORA_FAULTS"] = faults;
    app.launch();
    LoginScreen().performLogin(user, password, probe, LoginScreen::BiometricEnrollAlertResponse::Cancel);
    LandingScreen().tapOnMoveMoneyButton(probe);
    MoveMoneyScreen().tapOnTransferBetweenAccounts();
  }

  Probe probe;
  int failuresBefore = xctest::unattributedFailureCount();
  int failures() const { return xctest::unattributedFailureCount() - failuresBefore; }
};

}  // namespace

TEST_F(TransferScreenTest, ReviewBalancesGiveTheCompletionsAndEditKeepsTheForm) {
  openTransfer("2038556", "480917");
  TransferScreen screen{XCUIApplication()};
  screen.selectAccount(ToFrom::from, "Everyday Chequing", "001-20385560001");
  screen.selectAccount(ToFrom::to, "Rainy day", "001-20385560002");
  screen.typeOnAmount("25");
  screen.submitButton.tap();
  EXPECT_TRUE(screen.appLoadingAnimation.exists());
  EXPECT_FALSE(screen.reviewTransferAlert.exists()) << "the review waits for the bank";
  BaseScreen::waitForLoading(probe, 20);
  ASSERT_TRUE(screen.reviewTransferAlert.exists());
  EXPECT_EQ(screen.getElement("Move_Money_Amount"), "$25") << "as typed";
  EXPECT_EQ(screen.getFromAccountBalanceAfterTransfer("25"), "$5,215.75");
  EXPECT_EQ(screen.getToAccountBalanceAfterTransfer("25"), "$12,525.00");

  screen.tapOnReviewTransferEdit(probe);
  EXPECT_TRUE(screen.transferTitle.exists());
  EXPECT_EQ(screen.amountTextView.value(), std::optional<std::string>("25"));
  EXPECT_EQ(XCUIApplication().staticTexts()["toAccountName"].label(), "Rainy day");

  screen.tapOnSubmitButton(probe);
  screen.tapOnReviewTransferSubmit(probe);
  EXPECT_EQ(screen.getConfirmationNumber(), "Your transaction number is: 40170001");
  XCUIElementQuery texts = XCUIApplication().scrollViews().otherElements().staticTexts();
  EXPECT_TRUE(texts["$5,215.75"].exists());
  EXPECT_TRUE(texts["$12,525.00"].exists());
  screen.tapOnCompleteTransferSubmit(probe);
  EXPECT_TRUE(MoveMoneyScreen().transferBetweenAccounts.exists());
  EXPECT_EQ(failures(), 0);
}

TEST_F(TransferScreenTest, ALongAccountListScrollsToTheChosenCell) {
  openTransfer("2061730", "Fjord#6173");
  PaymentFunctions form{XCUIApplication()};
  // The fourteenth deposit lies below the sheet: the tap scrolls it in; its balance is exact.
  EXPECT_EQ(form.findBalanceOfAccountFromDropdown(ToFrom::from, "Goal Savings 12", "001-20617300014"),
            *platform::Decimal::parse("1300.13"));
  EXPECT_EQ(XCUIApplication().staticTexts()["fromAccountName"].label(), "Goal Savings 12");
  // The To list offers only the source's currency.
  form.toDropdown.tap();
  EXPECT_FALSE(MoneyForms::accountCell(XCUIApplication(), "Goal Savings 11", "001-20617300013").exists());
  EXPECT_TRUE(MoneyForms::accountCell(XCUIApplication(), "Goal Savings 10", "001-20617300012").exists());
  EXPECT_EQ(failures(), 0);
}

// The form's date check reads the value of the field its caption names: a line with today's date
// above a field that shows tomorrow does not pass it, nor does a caption the form lacks.
TEST_F(TransferScreenTest, TheFormsDateCheckReadsOnlyTheFieldItsCaptionNames) {
  // Today as the app's clock has it.
  auto previousClock = Date::setClockSource(
      [] { return Date::fromTimeIntervalSince1970(XCTVirtualClock::epochSeconds()).instant(); });
  openTransfer("2038556", "480917");
  MoneyForms::assertFormDatedToday(XCUIApplication(), "Transfer date");
  EXPECT_EQ(failures(), 0);
  testing::internal::CaptureStderr();
  MoneyForms::assertFormDatedToday(XCUIApplication(), "Payment date");
  std::string out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failures(), 1);
  EXPECT_THAT(out, testing::HasSubstr("the form has no field captioned Payment date"));

  openTransfer("2038556", "480917", "dateFieldShowsNextDay");
  const std::string today = MoneyForms::todayText();
  const std::string tomorrow = CommonFunctions::getDateFormatter(MoneyForms::daysFromNow(1), "MMM d, yyyy");
  EXPECT_TRUE(XCUIApplication().scrollViews().otherElements().staticTexts()[today].exists()) << "the line above";
  testing::internal::CaptureStderr();
  MoneyForms::assertFormDatedToday(XCUIApplication(), "Transfer date");
  out = testing::internal::GetCapturedStderr();
  EXPECT_EQ(failures(), 2);
  EXPECT_THAT(out, testing::HasSubstr("the form's Transfer date is not today (" + today + "): it shows " + tomorrow));
  Date::setClockSource(previousClock);
}

TEST(TransferBalanceTexts, ABalanceThatIsNoNumberFailsByItsText) {
  FailureRecorder failures;
  EXPECT_EQ(MoneyForms::amountOfBalanceText("$10,000.00"), *platform::Decimal::parse("10000"));
  EXPECT_TRUE(failures.messages.empty());
  EXPECT_EQ(MoneyForms::amountOfBalanceText("$2,150.40 USD"), platform::Decimal());
  ASSERT_EQ(failures.messages.size(), 1u);
  EXPECT_THAT(failures.messages[0], testing::HasSubstr("2150.40 USD"));
}
