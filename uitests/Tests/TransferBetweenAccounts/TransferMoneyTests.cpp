// Transfers between two accounts of the signed-in customer: immediate, future-dated and weekly
// recurring ones through the whole form, the form's validation, Edit on the review, and the
// review and completion screens field by field. Every confirmed transfer is followed by the same
// transfer the other way. The form opens dated the device's today, and an immediate transfer's
// review and completion show that day too, each read as it appears.

#include <iostream>
#include <optional>
#include <vector>

#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Screens/TransferScreen.h"
#include "Utility/CommonFunctions.h"
#include "Utility/MoneyForms.h"
#include "Utility/AppTestCase.h"
#include "xctest/XCTest.h"

namespace {

// The keys of a row of the data file.
struct TransferRow {
  std::string username, password;
  std::string fromAccountStr, fromAccountNumber, toAccountStr, toAccountNumber;
  std::string amountToTransfer;

  // `allKeys` false: only the credentials (the amount-field tests).
  TransferRow(const TestDataRow& row, bool allKeys)
      : username(row.string("username")), password(row.string("password")) {
    if (!allKeys) return;
    fromAccountStr = row.string("fromAccountStr");
    fromAccountNumber = row.string("fromAccountNumber");
    toAccountStr = row.string("toAccountStr");
    toAccountNumber = row.string("toAccountNumber");
    amountToTransfer = row.string("amountToTransfer");
  }
};

// How a test's opening differs from the common one.
struct Opening {
  bool waitBeforeLandingScreen = false;  // after tapOkIfErrorAppear()
  double landingWait = 120;              // after building the LandingScreen
  double moveMoneyWait = 120;            // after tapOnMoveMoneyButton
  bool waitAfterMenuEntry = false;       // 120 s after tapOnTransferBetweenAccounts
  bool immediate = false;                // a 30-second loading wait instead of the menu's 45 s

  static Opening waitingAfterMenuEntry() {
    Opening opening;
    opening.waitAfterMenuEntry = true;
    return opening;
  }
};

using MoneyForms::containsText;

}  // namespace

class TransferMoneyTests : public AppTestCase {
  static constexpr const char* kDataFile = "TransferMoneyTestsSingleData";

 public:
  const std::string amountLimitValidationMessage = "Enter an amount between $0.01 and $99,999.99";
  const std::string amountNotProvidedValidationMessage = "Enter an amount.";

  // --- happy paths --------------------------------------------------------------------------

  void testTransferBetweenAccountsHappyPathImmediate() {
    forEachRow(true, [&](const TransferRow& row) {
      Opening opening;
      opening.landingWait = 30;
      opening.moveMoneyWait = 30;
      opening.immediate = true;
      open(row, opening);
      TransferScreen screen(*app);
      MoneyForms::assertFormDatedToday(*app, "Transfer date");
      fillOneTime(screen, row, std::nullopt);
      screen.tapOnSubmitButton(*this);
      MoneyForms::assertDatedToday(screen.getElement("Move_Money_Date"), "review");
      std::string expectedFrom = screen.getFromAccountBalanceAfterTransfer(row.amountToTransfer);
      std::string expectedTo = screen.getToAccountBalanceAfterTransfer(row.amountToTransfer);
      screen.tapOnReviewTransferSubmit(*this);
      screen.assertConfirmationSuccess();
      std::cout << screen.getConfirmationNumber() << std::endl;
      XCTAssert(app->scrollViews().otherElements().staticTexts()[expectedFrom].exists());
      XCTAssert(app->scrollViews().otherElements().staticTexts()[expectedTo].exists());
      MoneyForms::assertDatedToday(screen.getElement("Move_Money_Date"), "completion");
      screen.tapOnCompleteTransferSubmit(*this);
      screen.performTransferBetweenAccounts(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                            row.fromAccountNumber, row.amountToTransfer, std::nullopt, *this);
    });
  }

  void testTransferBetweenAccountsHappyPathFutureDated() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening());
      Date futureDate = daysFromNow(2);
      TransferScreen screen(*app);
      fillOneTime(screen, row, futureDate);
      confirmAndClose(screen);
      screen.performTransferBetweenAccounts(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                            row.fromAccountNumber, row.amountToTransfer, futureDate, *this);
    });
  }

  void testTransferBetweenAccountsHappyPathRecurringEndDate() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening());
      Date startDate = daysFromNow(2);
      std::optional<Date> endDate = startDate.addDays(8);
      TransferScreen screen(*app);
      fillRecurring(screen, row, startDate);
      screen.selectEnding(EndingType::endDate);
      screen.selectTransferDate(DateType::endDate, *this, endDate);
      confirmAndClose(screen);
      screen.performTransferBetweenAccountsRecurring(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                                     row.fromAccountNumber, row.amountToTransfer, startDate, endDate,
                                                     std::nullopt, *this);
    });
  }

  void testTransferBetweenAccountsHappyPathRecurringNumberOf() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening());
      Date startDate = daysFromNow(2);
      TransferScreen screen(*app);
      fillRecurring(screen, row, startDate);
      screen.selectEnding(EndingType::numberOf);
      screen.typeNumberOfMovements(2);
      confirmAndClose(screen);
      screen.performTransferBetweenAccountsRecurring(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                                     row.fromAccountNumber, row.amountToTransfer, startDate,
                                                     std::nullopt, 2, *this);
    });
  }

  // --- validation ---------------------------------------------------------------------------

  void testAmountFieldValidationSmallAmount() {
    amountFieldTest({true, false, true, true}, "0.001", [&](TransferScreen& screen) {
      screen.assertError(amountLimitValidationMessage);
    });
  }

  void testAmountFieldValidationLargeAmount() {
    amountFieldTest({false, false, false, false}, "100000", [&](TransferScreen& screen) {
      screen.assertError(amountLimitValidationMessage);
    });
  }

  void testAmountFieldValidationNoAmount() {
    amountFieldTest({false, false, false, false}, std::nullopt, [&](TransferScreen& screen) {
      screen.assertError(amountNotProvidedValidationMessage);
    });
  }

  void testAmountFieldValidationValidAmount() {
    amountFieldTest({false, true, true, true}, "10", [&](TransferScreen&) {
      XCTAssertFalse(app->staticTexts()[amountLimitValidationMessage].exists());
      XCTAssertFalse(app->staticTexts()[amountNotProvidedValidationMessage].exists());
    });
  }

  void testTransferBetweenAccountsFutureDatedErrors() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening());
      TransferScreen screen(*app);
      MoneyForms::assertFormDatedToday(*app, "Transfer date");
      screen.tapOnSubmitButton(*this);
      screen.assertError("Select an account.");
      screen.assertError("Enter an amount.");
      screen.selectAccount(ToFrom::from, row.fromAccountStr, row.fromAccountNumber);
      screen.selectAccount(ToFrom::to, row.fromAccountStr, row.fromAccountNumber);
      screen.tapOnSubmitButton(*this);
      screen.assertError("Select different accounts.");
      screen.typeOnAmount("0.0");
      screen.tapOnSubmitButton(*this);
      screen.assertError("Enter an amount between $0.01 and $99,999.99");
      Date futureDate = daysFromNow(2);
      screen.selectAccount(ToFrom::from, row.fromAccountStr, row.fromAccountNumber);
      screen.selectAccount(ToFrom::to, row.toAccountStr, row.toAccountNumber);
      screen.typeOnAmount(row.amountToTransfer);
      screen.selectTransferDate(DateType::transferDate, *this, futureDate);
      screen.tapOnSubmitButton(*this);
    });
  }

  // --- Edit on the review -------------------------------------------------------------------

  void testTransferTapCancelOnReviewTransfer() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening());
      TransferScreen screen(*app);
      MoneyForms::assertFormDatedToday(*app, "Transfer date");
      fillOneTime(screen, row, std::nullopt);
      screen.tapOnSubmitButton(*this);
      MoneyForms::assertDatedToday(screen.getElement("Move_Money_Date"), "review");
      screen.tapOnReviewTransferEdit(*this);
      XCTAssert(screen.transferTitle.exists());
    });
  }

  // --- recurring review and confirmation ----------------------------------------------------

  void testTransferBetweenAccountsRecurringEndDateReview() {
    forEachRow(true, [&](const TransferRow& row) {
      TransferScreen screen(*app);
      auto [startDate, endDate] = submitRecurringEndDate(row, screen, true);
      BaseScreen::waitForLoading(*this);
      auto fields = fieldSet(screen, row, startDate, endDate.monthDayYearString(), true);
      BaseScreen::waitForLoading(*this);
      for (const auto& field : fields) XCTAssertTrue(field.exists());
    });
  }

  void testTransferBetweenAccountsRecurringEndDateConfirm() {
    forEachRow(true, [&](const TransferRow& row) {
      TransferScreen screen(*app);
      auto [startDate, endDate] = submitRecurringEndDate(row, screen, false);
      confirmAndCheckFields(screen, fieldSet(screen, row, startDate, endDate.monthDayYearString(), true));
      screen.performTransferBetweenAccountsRecurring(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                                     row.fromAccountNumber, row.amountToTransfer, startDate, endDate,
                                                     std::nullopt, *this);
    });
  }

  void testTransferBetweenAccountsRecurringNumberOfReview() {
    forEachRow(true, [&](const TransferRow& row) {
      TransferScreen screen(*app);
      auto [startDate, secondDate] = submitRecurringNumberOf(row, screen, true);
      for (const auto& field : fieldSet(screen, row, startDate, secondDate.monthDayYearString(), true)) {
        XCTAssertTrue(field.exists());
      }
    });
  }

  void testTransferBetweenAccountsRecurringNumberOfConfirm() {
    forEachRow(true, [&](const TransferRow& row) {
      TransferScreen screen(*app);
      auto [startDate, secondDate] = submitRecurringNumberOf(row, screen, false);
      confirmAndCheckFields(screen, fieldSet(screen, row, startDate, secondDate.monthDayYearString(), true));
      screen.performTransferBetweenAccountsRecurring(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                                     row.fromAccountNumber, row.amountToTransfer, startDate,
                                                     std::nullopt, 2, *this);
    });
  }

  void testTransferBetweenAccountsRecurringNeverReview() {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening::waitingAfterMenuEntry());
      Date startDate = daysFromNow(2);
      TransferScreen screen(*app);
      fillRecurring(screen, row, startDate);
      screen.selectEnding(EndingType::never);
      screen.tapOnSubmitButton(*this);
      BaseScreen::waitForLoading(*this);
      screen.confirmFieldLabels(true, EndingType::never);
      for (const auto& field : fieldSet(screen, row, startDate, "Never", false)) XCTAssertTrue(field.exists());
    });
  }

  // --- future-dated review and completion ---------------------------------------------------

  void testTransferBetweenAccountsFutureDatedReviewScreen() { futureDatedFieldsTest(false); }

  void testTransferBetweenAccountsFutureDatedCompletionScreen() { futureDatedFieldsTest(true); }

 private:
  // Runs `body` on every row of the data file in file order, in the app launched by setUp(); a
  // row that is not an object ends the test without a failure.
  void forEachRow(bool allKeys, const std::function<void(const TransferRow&)>& body) {
    auto rows = CommonFunctions::loadDataSourceArray(kDataFile);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      if (!rows[i].is_object()) return;
      body(TransferRow(TestDataRow(rows[i], kDataFile, i), allKeys));
    }
  }

  static Date daysFromNow(int days) { return MoneyForms::daysFromNow(days); }

  // Signs the row's user in and opens Transfer between accounts.
  void open(const TransferRow& row, const Opening& opening) {
    LoginScreen loginScreen;
    loginScreen.performLogin(row.username, row.password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
    loginScreen.tapOkIfErrorAppear();
    if (opening.waitBeforeLandingScreen) BaseScreen::waitForLoading(*this);
    LandingScreen landingScreen;
    BaseScreen::waitForLoading(*this, opening.landingWait);
    landingScreen.tapOnMoveMoneyButton(*this);
    BaseScreen::waitForLoading(*this, opening.moveMoneyWait);
    MoveMoneyScreen moveMoneyScreen;
    moveMoneyScreen.tapOnTransferBetweenAccounts();
    if (opening.waitAfterMenuEntry) BaseScreen::waitForLoading(*this);
    if (opening.immediate) {
      BaseScreen::waitForLoading(*this, 30);
    } else {
      expectation(NSPredicate("exists == FALSE"), moveMoneyScreen.loadingAnimation);
      waitForExpectations(45);
    }
  }

  void fillOneTime(TransferScreen& screen, const TransferRow& row, const std::optional<Date>& date) {
    screen.selectAccount(ToFrom::from, row.fromAccountStr, row.fromAccountNumber);
    screen.selectAccount(ToFrom::to, row.toAccountStr, row.toAccountNumber);
    screen.typeOnAmount(row.amountToTransfer);
    screen.selectTransferDate(DateType::transferDate, *this, date);
  }

  // The recurring form up to its start date: type, accounts, amount, "Weekly", start date.
  void fillRecurring(TransferScreen& screen, const TransferRow& row, const Date& startDate) {
    screen.selectTransferType(1);
    screen.selectAccount(ToFrom::from, row.fromAccountStr, row.fromAccountNumber);
    screen.selectAccount(ToFrom::to, row.toAccountStr, row.toAccountNumber);
    screen.typeOnAmount(row.amountToTransfer);
    screen.selectFrequency("Weekly", *this);
    screen.selectTransferDate(DateType::startDate, *this, startDate);
  }

  void fillRecurringEndDate(TransferScreen& screen, const TransferRow& row, const Date& startDate, const Date& endDate) {
    fillRecurring(screen, row, startDate);
    screen.selectEnding(EndingType::endDate);
    screen.selectTransferDate(DateType::endDate, *this, endDate);
  }

  // The end-date tests up to their label check: the opening (the review test also waits before
  // the landing page), today plus 2 and plus 10 days, the form, Submit and a wait for loading.
  std::pair<Date, Date> submitRecurringEndDate(const TransferRow& row, TransferScreen& screen,
                                               bool waitBeforeLandingScreen) {
    Opening opening;
    opening.waitBeforeLandingScreen = waitBeforeLandingScreen;
    opening.waitAfterMenuEntry = true;
    open(row, opening);
    Date startDate = daysFromNow(2);
    Date endDate = *startDate.addDays(8);
    fillRecurringEndDate(screen, row, startDate, endDate);
    screen.tapOnSubmitButton(*this);
    BaseScreen::waitForLoading(*this);
    screen.confirmFieldLabels(true, EndingType::endDate);
    return {startDate, endDate};
  }

  // The number-of tests up to their label check: the opening, today plus 2 and plus 9 days, the
  // form ending after 2 transfers (the review test waits for loading once the form is built),
  // Submit, and at once the label check.
  std::pair<Date, Date> submitRecurringNumberOf(const TransferRow& row, TransferScreen& screen,
                                                bool waitAfterBuildingForm) {
    open(row, Opening::waitingAfterMenuEntry());
    Date startDate = daysFromNow(2);
    Date secondDate = *startDate.addDays(7);
    if (waitAfterBuildingForm) BaseScreen::waitForLoading(*this);
    fillRecurring(screen, row, startDate);
    screen.selectEnding(EndingType::numberOf);
    screen.typeNumberOfMovements(2);
    screen.tapOnSubmitButton(*this);
    screen.confirmFieldLabels(true, EndingType::numberOf);
    return {startDate, secondDate};
  }

  // Submit, confirm, the confirmation text and its printed label, and Done.
  void confirmAndClose(TransferScreen& screen) {
    screen.tapOnSubmitButton(*this);
    screen.tapOnReviewTransferSubmit(*this);
    screen.assertConfirmationSuccess();
    std::cout << screen.getConfirmationNumber() << std::endl;
    screen.tapOnCompleteTransferSubmit(*this);
  }

  // The elements a recurring review or confirmation shows: both accounts' names and numbers, the
  // amount as typed, "Weekly", the start date, `eighth` (the end or second transfer date, or
  // "Never") and, with `withCount`, the number of transfers "2".
  std::vector<XCUIElement> fieldSet(TransferScreen& screen, const TransferRow& row, const Date& startDate,
                                    const std::string& eighth, bool withCount) {
    auto [fromName, fromNumber] = screen.getAccountElements(row.fromAccountStr, row.fromAccountNumber);
    auto [toName, toNumber] = screen.getAccountElements(row.toAccountStr, row.toAccountNumber);
    XCUIElementQuery texts = app->staticTexts();
    std::vector<XCUIElement> fields = {fromName, fromNumber, toName, toNumber, texts["$" + row.amountToTransfer],
                                       texts["Weekly"], texts[startDate.monthDayYearString()], texts[eighth]};
    if (withCount) fields.push_back(texts["2"]);
    return fields;
  }

  // The confirm tests' steps from the review's Transfer to the completion's Done.
  void confirmAndCheckFields(TransferScreen& screen, const std::vector<XCUIElement>& fields) {
    screen.tapOnReviewTransferSubmit(*this);
    BaseScreen::waitForLoading(*this);
    screen.assertConfirmationSuccess();
    for (const auto& field : fields) XCTAssertTrue(field.exists());
    screen.tapOnCompleteTransferSubmit(*this);
    BaseScreen::waitForLoading(*this);
  }

  // Which of the amount-field skeleton's loading waits a test makes (before sign-in, after Move
  // money, after the menu entry, after Submit).
  struct AmountWaits {
    bool beforeSignIn, afterMoveMoney, afterMenuEntry, afterSubmit;
  };

  void amountFieldTest(AmountWaits waits, const std::optional<std::string>& amount,
                       const std::function<void(TransferScreen&)>& check) {
    forEachRow(false, [&](const TransferRow& row) {
      if (waits.beforeSignIn) BaseScreen::waitForLoading(*this);
      LoginScreen loginScreen;
      loginScreen.performLogin(row.username, row.password, *this, LoginScreen::BiometricEnrollAlertResponse::Cancel,
                               true, false);
      LandingScreen landingScreen;
      landingScreen.tapOnMoveMoneyButton(*this);
      if (waits.afterMoveMoney) BaseScreen::waitForLoading(*this);
      MoveMoneyScreen moveMoneyScreen;
      moveMoneyScreen.tapOnTransferBetweenAccounts();
      if (waits.afterMenuEntry) BaseScreen::waitForLoading(*this);
      TransferScreen screen(*app);
      MoneyForms::assertFormDatedToday(*app, "Transfer date");
      if (amount) screen.typeOnAmount(*amount);
      screen.tapOnSubmitButton(*this);
      if (waits.afterSubmit) BaseScreen::waitForLoading(*this);
      check(screen);
    });
  }

  void futureDatedFieldsTest(bool confirm) {
    forEachRow(true, [&](const TransferRow& row) {
      open(row, Opening::waitingAfterMenuEntry());
      Date transferDate = daysFromNow(2);
      TransferScreen screen(*app);
      fillOneTime(screen, row, transferDate);
      screen.tapOnSubmitButton(*this);
      BaseScreen::waitForLoading(*this);
      if (confirm) {
        screen.tapOnReviewTransferSubmit(*this);
        BaseScreen::waitForLoading(*this);
      }
      const std::pair<const char*, std::string> expected[] = {
          {"Move_Money_From_Name", row.fromAccountStr},   {"Move_Money_From_Number", row.fromAccountNumber},
          {"Move_Money_To_Name", row.toAccountStr},       {"Move_Money_To_Number", row.toAccountNumber},
          {"Move_Money_Amount", "$" + row.amountToTransfer}, {"Move_Money_Date", transferDate.monthDayYearString()}};
      std::vector<std::string> shown;
      for (const auto& [identifier, value] : expected) shown.push_back(screen.getElement(identifier));
      for (std::size_t i = 0; i < shown.size(); ++i) XCTAssert(containsText(shown[i], expected[i].second));
      if (!confirm) return;
      screen.assertConfirmationSuccess();
      std::cout << screen.getConfirmationNumber() << std::endl;
      screen.tapOnCompleteTransferSubmit(*this);
      BaseScreen::waitForLoading(*this);
      screen.performTransferBetweenAccounts(row.toAccountStr, row.toAccountNumber, row.fromAccountStr,
                                            row.fromAccountNumber, row.amountToTransfer, transferDate, *this);
    });
  }
};

XCTEST_CLASS(TransferMoneyTests)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsHappyPathImmediate)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsHappyPathFutureDated)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsHappyPathRecurringEndDate)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsHappyPathRecurringNumberOf)
XCTEST_METHOD(TransferMoneyTests, testAmountFieldValidationSmallAmount)
XCTEST_METHOD(TransferMoneyTests, testAmountFieldValidationLargeAmount)
XCTEST_METHOD(TransferMoneyTests, testAmountFieldValidationNoAmount)
XCTEST_METHOD(TransferMoneyTests, testAmountFieldValidationValidAmount)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsFutureDatedErrors)
XCTEST_METHOD(TransferMoneyTests, testTransferTapCancelOnReviewTransfer)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsRecurringEndDateReview)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsRecurringEndDateConfirm)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsRecurringNumberOfReview)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsRecurringNumberOfConfirm)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsRecurringNeverReview)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsFutureDatedReviewScreen)
XCTEST_METHOD(TransferMoneyTests, testTransferBetweenAccountsFutureDatedCompletionScreen)
