// Sending an Interac e-Transfer: the recipient's security question on the form, the completion
// text and the From account's balance less amount and fee; "Make another Interac e-Transfer";
// and the in-line messages of the empty form. Rows follow one another in one running app.

#include <optional>

#include "Screens/InteracETransferScreen.h"
#include "Screens/LandingScreen.h"
#include "Screens/LoginScreen.h"
#include "Screens/MoveMoneyScreen.h"
#include "Utility/CommonFunctions.h"
#include "Utility/MoneyForms.h"
#include "Utility/PaymentFunctions.h"
#include "Utility/AppTestCase.h"
#include "xctest/XCTest.h"

namespace {

constexpr const char* kSecurityQuestion = "who made it?";

// The keys of a row; all eight are read before anything is tapped, only the credentials for the
// validation test.
struct ETransferRow {
  std::string username, password;
  std::string fromAccountStr, fromAccountNumber, recipientStr, amountToTransfer, etransferFee, memoStr;

  ETransferRow(const TestDataRow& row, bool allKeys) : username(row.string("username")), password(row.string("password")) {
    if (!allKeys) return;
    fromAccountStr = row.string("fromAccountStr");
    fromAccountNumber = row.string("fromAccountNumber");
    recipientStr = row.string("recipientStr");
    amountToTransfer = row.string("amountToTransfer");
    etransferFee = row.string("etransferFee");
    memoStr = row.string("memoStr");
  }
};

}  // namespace

class InteracETransferTests : public AppTestCase {
  static constexpr const char* kDataFile = "InteracETransferTestsData";

 public:
  void testInteracETransferHappyPath() {
    forEachRow(true, [&](const ETransferRow& row, InteracETransferScreen& screen) {
      send(row, screen);
      screen.tapOnCompleteETransferSubmit(*this);
    });
  }

  void testTapMakeAnotherTransferOnSuccess() {
    forEachRow(true, [&](const ETransferRow& row, InteracETransferScreen& screen) {
      send(row, screen);
      screen.tapOnMakeAnotherETransferButton(*this);
      screen.assertInteracEtransferPageTitle();
    });
  }

  void testInteracETransferInLineErrorValidation() {
    forEachRow(false, [&](const ETransferRow&, InteracETransferScreen& screen) {
      PaymentFunctions(*app).tapOnSubmitButton(*this);
      XCTAssert(screen.fromAccountInLineError.exists());
      XCTAssert(screen.toAccountInLineError.exists());
      XCTAssert(screen.amountInLineError.exists());
    });
  }

 private:
  // Every row in file order: sign-in, Move money, "Send Interac e-Transfer" and the wait for the
  // form, then `body`. A row that is not an object fails the test, naming the file and the row.
  void forEachRow(bool allKeys, const std::function<void(const ETransferRow&, InteracETransferScreen&)>& body) {
    auto rows = CommonFunctions::loadDataSourceArray(kDataFile);
    for (std::size_t i = 0; i < rows.size(); ++i) {
      ETransferRow row(TestDataRow(rows[i], kDataFile, i), allKeys);
      LoginScreen loginScreen;
      loginScreen.performLogin(row.username, row.password, *this, LoginScreen::BiometricEnrollAlertResponse::Ok);
      loginScreen.tapOkIfErrorAppear();
      InteracETransferScreen screen;
      LandingScreen landingScreen;
      BaseScreen::waitForLoading(*this);
      landingScreen.tapOnMoveMoneyButton(*this);
      BaseScreen::waitForLoading(*this, 120);
      MoveMoneyScreen moveMoneyScreen;
      moveMoneyScreen.tapOnSendInteracETransfer();
      MoneyForms::waitUntilGone(*this, moveMoneyScreen.loadingAnimation, 45);
      body(row, screen);
    }
  }

  // Fills the form, checks the security question, submits, works out the expected balance on
  // the review, confirms and checks the completion.
  void send(const ETransferRow& row, InteracETransferScreen& screen) {
    PaymentFunctions paymentFunctions(*app);
    paymentFunctions.selectAccountFromDropdown(ToFrom::from, row.fromAccountStr, row.fromAccountNumber);
    paymentFunctions.selectRecipientDropdown(row.recipientStr);
    paymentFunctions.typeOnAmount(row.amountToTransfer);
    paymentFunctions.typeOnMemo(row.memoStr);
    screen.assertSecurityAnswer(kSecurityQuestion);
    paymentFunctions.tapOnSubmitButton(*this);
    std::string expectedBalance = screen.getFromAccountBalanceAfterETransfer(row.amountToTransfer, row.etransferFee);
    screen.tapOnReviewTransferSubmit(*this);
    MoneyForms::waitUntilGone(*this, screen.appLoadingAnimation, 45);
    XCTAssert(screen.confirmationSuccess.exists());
    XCTAssert(app->scrollViews().otherElements().staticTexts()[expectedBalance].exists());
  }
};

XCTEST_CLASS(InteracETransferTests)
XCTEST_METHOD(InteracETransferTests, testInteracETransferHappyPath)
XCTEST_METHOD(InteracETransferTests, testInteracETransferInLineErrorValidation)
XCTEST_METHOD(InteracETransferTests, testTapMakeAnotherTransferOnSuccess)
