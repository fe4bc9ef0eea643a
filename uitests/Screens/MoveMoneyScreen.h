// The Move money tab's menu.
#pragma once

#include "Utility/BaseScreen.h"

class MoveMoneyScreen : public BaseScreen {
 public:
  MoveMoneyScreen();

  // The activity indicator "loadingIndicator", waited on after opening an entry.
  XCUIElement loadingAnimation;
  // The menu entries: static texts of the app's tables.
  XCUIElement sendInteracETransfer;
  XCUIElement payABill;
  XCUIElement transferBetweenAccounts;
  XCUIElement depositACheque;
  XCUIElement requestInteracETransfer;
  XCUIElement sendAGlobalTransfer;

  // Each taps its entry; no wait.
  void tapOnTransferBetweenAccounts();
  void tapOnPayABill();
  void tapOnSendInteracETransfer();
};
