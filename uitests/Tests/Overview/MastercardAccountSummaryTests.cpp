// The overview's credit-card cards against the test backend.

#include "Tests/Overview/AccountSummaryFamily.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"

class MastercardAccountSummaryTests : public XCTestCase {
 public:
  void setUp() override { CommonFunctions::launchAppStoppingAtFirstFailure(*this); }

  void tearDown() override {}

  void testOverviewForMastercardsRealData() {
    AccountSummaryFamily{"RealMastercardAccountSummary", "creditcards", "Credit cards", "Current balance", true, true}.run(*this);
  }
};

XCTEST_CLASS(MastercardAccountSummaryTests)
XCTEST_METHOD(MastercardAccountSummaryTests, testOverviewForMastercardsRealData)
