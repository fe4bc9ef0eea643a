#include "Screens/ETransferPreferencesScreen.h"

#include "Screens/AutodepositCreateEditScreen.h"

ETransferPreferencesScreen::ETransferPreferencesScreen(XCUIApplication app)
    : BaseScreen(app),
      loadingIndicator(app.activityIndicators()["loadingIndicator"]),
      interactProfileTitleLabel(app.staticTexts()["interactProfileTitleLabel"]),
      interactProfileDescriptionLabel(
          app.staticTexts().matching(NSPredicate("label == %@", interactProfileMessage)).element()),
      interactProfileEmailEntryComponent(app.textFields()["interactProfileEmailEntry"]),
      interactProfileNameEntryComponent(app.textFields()["interactProfileNameEntry"]),
      autodepositLabel(app.staticTexts()["Autodeposit"]),
      autodepositRegisterButton(app.buttons()["Register"]),
      autodepositRegisterAnotherButton(app.buttons()["Register another email"]),
      autodepositDescriptionNoProfileLabel(
          app.staticTexts().matching(NSPredicate("label == %@", noProfileAutodepositMessage)).element()),
      autodepositDescriptionHasProfileLabel(
          app.staticTexts().matching(NSPredicate("label == %@", hasProfileAutodepositMessage)).element()),
      autodepositStatusLabel(app.staticTexts()["autodepositStatusLabel"]),
      autodepositEmailHeadingLabel(app.staticTexts().matching("autodepositEmailHeadingLabel").firstMatch()),
      autodepositEmailLabel(app.staticTexts()["autodepositEmailLabel"]),
      autodepositAccountHeadingLabel(app.staticTexts().matching("autodepositAccountHeadingLabel").firstMatch()),
      autodepositAccountNameLabel(app.staticTexts()["autodepositAccountNameLabel"]),
      autodepositAccountNumberLabel(app.staticTexts()["autodepositAccountNumberLabel"]) {}

void ETransferPreferencesScreen::registerAutodeposit(XCTestCase& xctestcase, const std::string& email,
                                                     const std::string& accountName,
                                                     const std::string& accountNumber) {
  tap(autodepositRegisterButton.exists() ? autodepositRegisterButton : autodepositRegisterAnotherButton);
  waitForLoading(xctestcase);
  AutodepositCreateEditScreen editor(app, AutodepositCreateEditType::create);
  editor.typeOnEmail(email);
  editor.selectAccount(accountName, accountNumber);
  xctestcase.expectation(NSPredicate("exists == TRUE"), editor.legalNameMessageLabel);
  xctestcase.waitForExpectations(15);
  tap(editor.saveButton);
  waitForLoading(xctestcase);
  tap(editor.alertOkButton);
  waitForLoading(xctestcase);
}

XCUIElement ETransferPreferencesScreen::cellElement(const std::string& email) const {
  return app.tables().cells().staticTexts()[email];
}

void ETransferPreferencesScreen::deleteRegistration(const std::string& email) {
  cellElement(email).swipeLeft();
  tap(app.tables().cells().buttons()["Delete"]);
  tap(app.alerts().buttons()["Delete email"]);
}
