#include "Screens/QualtricsScreen.h"

QualtricsScreen::QualtricsScreen(XCUIApplication app)
    : BaseScreen(app),
      surveyTitle(app.staticTexts()["surveyPopUpTitle"]),
      dismissButton(app.buttons()["surveyPopUpDismissButton"]) {}

void QualtricsScreen::dismissSurveyPopUp() {
  if (surveyTitle.waitForExistence(8)) tap(dismissButton);
}
