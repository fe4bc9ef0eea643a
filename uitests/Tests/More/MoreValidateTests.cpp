// The More tab shows its title and the rows for biometric settings, e-Transfer preferences and
// Contact us, each with its sub-text, for every user of the data file.
#include <optional>

#include "Screens/MoreScreen.h"
#include "Tests/More/MoreTabRows.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class MoreValidateTests : public AppTestCase {
 public:
  void testMoreValidate() {
    MoreTabRows::run(*this, "MoreValidateTestsData", [&] {
      MoreScreen moreScreen(*app);
      XCTAssertTrue(moreScreen.pageTitle.exists());
      XCTAssertTrue(moreScreen.bioButton.exists());
      XCTAssertTrue(moreScreen.bioSubText.exists());
      XCTAssertTrue(moreScreen.preferencesButton.exists());
      XCTAssertTrue(moreScreen.preferencesSubText.exists());
      XCTAssertTrue(moreScreen.contactUsButton.exists());
      XCTAssertTrue(moreScreen.contactUsSubText.exists());
      moreScreen.tapOnLogoutButton();
    });
  }

};

XCTEST_CLASS(MoreValidateTests)
XCTEST_METHOD(MoreValidateTests, testMoreValidate)
