// The overview's credit-card cards against the test backend.

#include "Tests/Overview/AccountSummaryFamily.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class MastercardAccountSummaryTests : public XCTestCase {
 public:
  void setUp() override {
    continueAfterFailure = false;
    XCUIApplication().launch();
  }

  void tearDown() override {}

  void testOverviewForMastercardsRealData() {
    AccountSummaryFamily{"RealMastercardAccountSummary", "creditcards", "Credit cards", "Current balance", true, true}.run(*this);
  }
};

XCTEST_CLASS(MastercardAccountSummaryTests)
XCTEST_METHOD(MastercardAccountSummaryTests, testOverviewForMastercardsRealData)
