// The Contact us page that the More tab opens: feedback, e-mail and toll-free telephone.
#pragma once

#include "Utility/BaseScreen.h"

class ContactUsScreen : public BaseScreen {
 public:
  explicit ContactUsScreen(XCUIApplication app);

  // The bank's support e-mail address, the label of `emailAddress`.
  static constexpr const char* kSupportEmailAddress = "clientcare@corvane.com";

  XCUIElement pageTitle;
  XCUIElement giveUsFeedback;
  XCUIElement giveUsFeedbackSubText;
  XCUIElement getStartedButton;
  XCUIElement emailUsAnytime;
  XCUIElement emailUsSubtext;
  XCUIElement emailAddress;
  XCUIElement callUsTollFree;
  XCUIElement callUsTollFreeSubText;
  XCUIElement callUsTollFreePhoneNumber;
};
