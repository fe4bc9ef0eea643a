// The sender-profile editor of the e-Transfer preferences (mode create or edit), and the
// preferences screen's profile entries that open it.
#pragma once

#include <string>

#include "Screens/AutodepositCreateEditScreen.h"
#include "Utility/BaseScreen.h"

class ETransferProfileCreateEditScreen : public BaseScreen {
 public:
  ETransferProfileCreateEditScreen(XCUIApplication app, AutodepositCreateEditType type);

  XCUIElement navigationTitle;
  XCUIElement closeNavigationButton;
  XCUIElement eTransferProfileMessage;
  XCUIElement emailValidationError;
  XCUIElement nameValidationError;
  XCUIElement emailTextField;
  XCUIElement nameTextField;
  XCUIElement interactProfileEmailEntryComponent;
  XCUIElement interactProfileNameEntryComponent;
  XCUIElement saveButton;

  // Tap the field and type; nothing is cleared first.
  void typeOnName(const std::string& name);
  void typeOnEmail(const std::string& email);
};
