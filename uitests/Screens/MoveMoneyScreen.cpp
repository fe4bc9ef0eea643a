#include "Screens/MoveMoneyScreen.h"

namespace {

XCUIElement menuEntry(const std::string& text) { return XCUIApplication().tables().staticTexts()[text]; }

}  // namespace

MoveMoneyScreen::MoveMoneyScreen()
    : loadingAnimation(XCUIApplication().activityIndicators()["loadingIndicator"]),
      sendInteracETransfer(menuEntry("Send Interac e-Transfer")),
      payABill(menuEntry("Pay a bill")),
      transferBetweenAccounts(menuEntry("Transfer between accounts")),
      depositACheque(menuEntry("Deposit a cheque")),
      requestInteracETransfer(menuEntry("Request Interac e-Transfer")),
      sendAGlobalTransfer(menuEntry("Send a global transfer")) {}

void MoveMoneyScreen::tapOnTransferBetweenAccounts() { tap(transferBetweenAccounts); }

void MoveMoneyScreen::tapOnPayABill() { tap(payABill); }

void MoveMoneyScreen::tapOnSendInteracETransfer() { tap(sendInteracETransfer); }
