#include "Screens/AutodepositCreateEditScreen.h"

AutodepositCreateEditScreen::AutodepositCreateEditScreen(XCUIApplication app, AutodepositCreateEditType type)
    : BaseScreen(app),
      loadingIndicator(app.activityIndicators()["loadingIndicator"]),
      navigationTitle(app.navigationBars()[type == AutodepositCreateEditType::create ? "Register for Autodeposit"
                                                                                     : "Edit Autodeposit"]),
      closeNavigationButton(app.navigationBars().buttons()["Close"]),
      deleteNavigationButton(app.navigationBars().buttons()["Delete"]),
      // Texts go into the predicates as arguments, so apostrophes need no escaping.
      registerInformationLabel(app.staticTexts().matching(NSPredicate("label == %@", registrationText)).element()),
      ifETransferLabel(app.staticTexts()["If an Interac e-Transfer is sent to:"]),
      thenDepositLabel(app.staticTexts()["Then deposit funds into:"]),
      legalNameMessageLabel(app.staticTexts().matching(NSPredicate("label CONTAINS %@", legalNameMessage)).element()),
      emailValidationError(app.staticTexts()["Enter a valid email address"]),
      accountValidationError(app.staticTexts()["Select an account"]),
      emailTextField(app.textFields()["emailTextField"]),
      accountTextField(app.textFields()["Account"]),
      doneToolbarButton(app.buttons()["Done"]),
      saveButton(app.buttons()["Save"]),
      alertSuccessfulTitle(app.alerts()
                               .staticTexts()
                               .matching(NSPredicate("label == %@", type == AutodepositCreateEditType::create
                                                                        ? createdMessage
                                                                        : updatedMessage))
                               .element()),
      alertOkButton(app.alerts().buttons()["OK"]),
      deleteAlertTitle(app.alerts().staticTexts()["Delete This Email?"]),
      deleteAlertConfirmButton(app.alerts().buttons()["Delete email"]) {}

void AutodepositCreateEditScreen::typeOnEmail(const std::string& email) {
  type(email, emailTextField);
  tap(doneToolbarButton);
}

void AutodepositCreateEditScreen::selectAccount(const std::string& name, const std::string& number) {
  tap(accountTextField);
  XCUIElement cell = app.tables()
                         .cells()
                         .containing(NSPredicate("label CONTAINS %@", name))
                         .containing(NSPredicate("label CONTAINS %@", "(" + number + ")"))
                         .element(0);
  tap(cell);
}

std::string AutodepositCreateEditScreen::deleteMessageFor(const std::string& email) {
  std::string message = deleteEmailMessage;
  const std::string handle = "<handle>";
  for (std::size_t at = message.find(handle); at != std::string::npos; at = message.find(handle, at + email.size())) {
    message.replace(at, handle.size(), email);
  }
  return message;
}
