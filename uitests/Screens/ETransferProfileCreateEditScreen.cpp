#include "Screens/ETransferProfileCreateEditScreen.h"

ETransferProfileCreateEditScreen::ETransferProfileCreateEditScreen(XCUIApplication app, AutodepositCreateEditType type)
    : BaseScreen(app),
      navigationTitle(app.navigationBars()[type == AutodepositCreateEditType::create ? "Create Profile" : "Edit Profile"]),
      closeNavigationButton(app.navigationBars().buttons()["Close"]),
      eTransferProfileMessage(app.staticTexts()
                                  .matching(NSPredicate("label CONTAINS %@",
                                                        "Your sender profile lets Interac and your recipients know "
                                                        "who is sending an Interac e-Transfer."))
                                  .element()),
      emailValidationError(app.staticTexts()["Enter a valid email address"]),
      nameValidationError(app.staticTexts()["Enter a name"]),
      emailTextField(app.textFields()["profileEmailTextField"]),
      nameTextField(app.textFields()["profileNameTextField"]),
      interactProfileEmailEntryComponent(app.textFields()["interactProfileEmailEntry"]),
      interactProfileNameEntryComponent(app.textFields()["interactProfileNameEntry"]),
      saveButton(app.buttons()["Save"]) {}

void ETransferProfileCreateEditScreen::typeOnName(const std::string& name) { type(name, nameTextField); }

void ETransferProfileCreateEditScreen::typeOnEmail(const std::string& email) { type(email, emailTextField); }
