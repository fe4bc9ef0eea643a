// The Contact us page, opened from the More tab, shows its title and the feedback, e-mail and
// toll-free sections with their texts and buttons, for every user of the data file.
#include <optional>

#include "Screens/ContactUsScreen.h"
#include "Screens/MoreScreen.h"
#include "Tests/More/MoreTabRows.h"
#include "Utility/AppTestCase.h"
#include "Utility/CommonFunctions.h"
#include "xctest/XCTest.h"
#include "xcuitest/XCUITest.h"

class ContactUsValidateTests : public AppTestCase {
 public:
  void testMoreValidate() {
    MoreTabRows::run(*this, "ContactUsValidateTestsTestData", [&] {
      MoreScreen moreScreen(*app);
      moreScreen.tapOnContactUsButton();
      ContactUsScreen contactUsScreen(*app);
      XCTAssertTrue(contactUsScreen.pageTitle.exists());
      XCTAssertTrue(contactUsScreen.giveUsFeedback.exists());
      XCTAssertTrue(contactUsScreen.giveUsFeedbackSubText.exists());
      XCTAssertTrue(contactUsScreen.getStartedButton.exists());
      XCTAssertTrue(contactUsScreen.emailUsAnytime.exists());
      XCTAssertTrue(contactUsScreen.emailUsSubtext.exists());
      XCTAssertTrue(contactUsScreen.emailAddress.exists());
      XCTAssertTrue(contactUsScreen.callUsTollFree.exists());
      XCTAssertTrue(contactUsScreen.callUsTollFreeSubText.exists());
      XCTAssertTrue(contactUsScreen.callUsTollFreePhoneNumber.exists());
      moreScreen.performLogout(*this);
    });
  }

};

XCTEST_CLASS(ContactUsValidateTests)
XCTEST_METHOD(ContactUsValidateTests, testMoreValidate)
