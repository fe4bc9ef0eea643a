// The satisfaction-survey pop-up that the app may show over a screen.
#pragma once

#include "Utility/BaseScreen.h"

class QualtricsScreen : public BaseScreen {
 public:
  explicit QualtricsScreen(XCUIApplication app = XCUIApplication());

  XCUIElement surveyTitle;
  XCUIElement dismissButton;

  // Waits up to 8 seconds for the pop-up; dismisses it when it is shown.
  void dismissSurveyPopUp();
};
