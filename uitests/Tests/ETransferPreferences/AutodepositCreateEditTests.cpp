// Autodeposit registrations: registering an address, the editor's in-line validation, moving a
// registration to another account, and deleting one from its editor. Every test that registers
// an address removes it again.
#include <optional>

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/AutodepositCreateEditScreen.h"
#include "Screens/MoreScreen.h"
#include "Tests/ETransferPreferences/ETransferPreferencesSteps.h"

class AutodepositCreateEditTests : public ETransferPreferencesTestCase {
 public:
  void testCreateAutodepositSuccess() {
    auto record = etransfer::readRecord("noAutoDepositRegistrations");
    if (!record) return;
    Account account = readAccount(*record);
    auto preferences = loginAndNavigateToETransferPreferences(account.username, account.password);
    wait();
    AutodepositCreateEditScreen editor = openEditorForNewRegistration(preferences);
    wait();
    XCTAssertTrue(editor.navigationTitle.exists());
    XCTAssertTrue(editor.closeNavigationButton.exists());
    XCTAssertTrue(editor.registerInformationLabel.exists());
    XCTAssertTrue(editor.ifETransferLabel.exists());
    XCTAssertTrue(editor.thenDepositLabel.exists());
    editor.typeOnEmail(createAddress());
    editor.selectAccount(account.name, account.number);
    wait(15);
    waitFor(editor.legalNameMessageLabel);
    XCTAssertTrue(editor.legalNameMessageLabel.exists());
    std::optional<std::string> typed = editor.emailTextField.value();
    XCTAssertNotNil(typed);
    XCTAssertEqual(typed.value_or(""), createAddress());
    editor.saveButton.tap();
    wait();
    XCTAssertTrue(editor.alertSuccessfulTitle.exists());
    XCTAssertTrue(editor.alertOkButton.exists());
    editor.alertOkButton.tap();
    wait(15);
    preferences.deleteRegistration(createAddress());
    wait();
  }

  void testCreateValidationErrors() {
    auto record = etransfer::readRecord("noAutoDepositRegistrations");
    if (!record) return;
    Account account = readAccount(*record);
    auto preferences = loginAndNavigateToETransferPreferences(account.username, account.password);
    wait();
    AutodepositCreateEditScreen editor = openEditorForNewRegistration(preferences);
    wait(15);
    XCTAssertTrue(editor.navigationTitle.exists());
    XCTAssertTrue(editor.closeNavigationButton.exists());
    XCTAssertFalse(editor.deleteNavigationButton.exists());
    XCTAssertTrue(editor.registerInformationLabel.exists());
    XCTAssertTrue(editor.ifETransferLabel.exists());
    XCTAssertTrue(editor.thenDepositLabel.exists());
    XCTAssertFalse(editor.emailValidationError.exists());
    XCTAssertFalse(editor.accountValidationError.exists());

    editor.saveButton.tap();
    XCTAssertTrue(editor.emailValidationError.exists());
    XCTAssertTrue(editor.accountValidationError.exists());

    editor.typeOnEmail(createAddress());
    editor.saveButton.tap();
    XCTAssertFalse(editor.emailValidationError.exists());
    XCTAssertTrue(editor.accountValidationError.exists());

    clearText(editor.emailTextField);
    editor.selectAccount(account.name, account.number);
    editor.saveButton.tap();
    XCTAssertTrue(editor.emailValidationError.exists());
    XCTAssertFalse(editor.accountValidationError.exists());
  }

  void testAutodepositEditSuccess() {
    auto record = etransfer::readRecord("ProfileRegisteredNoAutoDeposits");
    if (!record) return;
    Account account = readAccount(*record);
    std::string newAccountName = record->string("newAccountName");
    std::string newAccountNumber = record->string("newAccountNumber");
    auto preferences = loginAndNavigateToETransferPreferences(account.username, account.password);
    wait(45);
    ETransferPreferencesScreen second(*app);
    if (!second.autodepositEmailLabel.exists()) {
      second.registerAutodeposit(*this, editAddress(), account.name, account.number);
    }
    wait();
    std::string listed = ETransferPreferencesScreen(*app).autodepositEmailLabel.firstMatch().label();

    XCUIElement cell = preferences.cellElement(listed);
    XCTAssertTrue(cell.exists());
    cell.tap();
    wait(45);
    AutodepositCreateEditScreen editor(*app, AutodepositCreateEditType::edit);
    wait(30);
    waitFor(editor.legalNameMessageLabel);
    assertOpenRegistration(editor);
    updateADAccount(editor, newAccountName, newAccountNumber);
    wait();
    wait(15);
    preferences.deleteRegistration(listed);
    wait(15);
    MoreScreen(*app).performLogout(*this);
  }

  void testAutodepositDeleteSuccess() {
    auto record = etransfer::readRecord("ProfileRegisteredNoAutoDeposits");
    if (!record) return;
    Account account = readAccount(*record);
    auto preferences = loginAndNavigateToETransferPreferences(account.username, account.password);
    wait();
    AutodepositCreateEditScreen creator = openEditorForNewRegistration(preferences);
    wait(15);
    wait();
    creator.typeOnEmail(deleteAddress());
    creator.selectAccount(account.name, account.number);
    waitFor(creator.legalNameMessageLabel);
    creator.saveButton.tap();
    wait();
    wait(15);
    creator.alertOkButton.tap();
    wait(15);

    XCUIElement cell = preferences.cellElement(deleteAddress());
    XCTAssertTrue(cell.exists());
    cell.tap();
    wait();
    AutodepositCreateEditScreen editor(*app, AutodepositCreateEditType::edit);
    wait(15);
    waitFor(editor.legalNameMessageLabel);
    assertOpenRegistration(editor);
    editor.deleteNavigationButton.tap();
    wait(30);
    // The address goes into the predicate as an argument, never between quotes of the format.
    std::string expected = AutodepositCreateEditScreen::deleteMessageFor(deleteAddress());
    XCUIElement confirmation = app->alerts().staticTexts().matching(NSPredicate("label == %@", expected)).element();
    XCTAssertTrue(editor.deleteAlertTitle.exists());
    XCTAssertTrue(confirmation.exists());
    XCTAssertTrue(editor.deleteAlertConfirmButton.exists());
    editor.deleteAlertConfirmButton.tap();
    wait();
  }

 private:
  static std::string createAddress() { return std::string("autodeposit.create@") + etransfer::kTestMailDomain; }
  static std::string editAddress() { return std::string("autodeposit.edit@") + etransfer::kTestMailDomain; }
  static std::string deleteAddress() { return std::string("autodeposit.delete@") + etransfer::kTestMailDomain; }

  struct Account {
    std::string username, password, name, number;
  };

  static Account readAccount(const TestDataRow& record) {
    Account a;
    a.username = record.string("username");
    a.password = record.string("password");
    a.name = record.string("accountName");
    a.number = record.string("accountNumber");
    return a;
  }

  void wait(double seconds = 120) { BaseScreen::waitForLoading(*this, seconds); }

  void waitFor(const XCUIElement& element) {
    expectation(NSPredicate("exists == TRUE"), element);
    waitForExpectations(15);
  }

  ETransferPreferencesScreen loginAndNavigateToETransferPreferences(const std::string& username,
                                                                    const std::string& password) {
    return etransfer::signInAndOpenPreferences(*this, *app, etransfer::Route::autodeposit, username, password);
  }

  // "Register" on an account without registrations, "Register another email" otherwise.
  AutodepositCreateEditScreen openEditorForNewRegistration(ETransferPreferencesScreen& preferences) {
    if (preferences.autodepositRegisterButton.exists()) {
      preferences.autodepositRegisterButton.tap();
    } else {
      preferences.autodepositRegisterAnotherButton.tap();
    }
    return AutodepositCreateEditScreen(*app, AutodepositCreateEditType::create);
  }

  // The editor of an existing registration: notice, titles, Close and Delete, texts, no messages.
  void assertOpenRegistration(AutodepositCreateEditScreen& editor) {
    XCTAssertTrue(editor.legalNameMessageLabel.exists());
    XCTAssertTrue(editor.navigationTitle.exists());
    XCTAssertTrue(editor.closeNavigationButton.exists());
    XCTAssertTrue(editor.deleteNavigationButton.exists());
    XCTAssertTrue(editor.registerInformationLabel.exists());
    XCTAssertTrue(editor.ifETransferLabel.exists());
    XCTAssertTrue(editor.thenDepositLabel.exists());
    XCTAssertFalse(editor.emailValidationError.exists());
    XCTAssertFalse(editor.accountValidationError.exists());
  }

  void updateADAccount(AutodepositCreateEditScreen& editor, const std::string& accountName,
                       const std::string& accountNumber) {
    wait();
    editor.selectAccount(accountName, accountNumber);
    wait(15);
    XCTAssertTrue(editor.legalNameMessageLabel.exists());
    editor.saveButton.tap();
    wait();
  }

};

XCTEST_CLASS(AutodepositCreateEditTests)
XCTEST_METHOD(AutodepositCreateEditTests, testCreateAutodepositSuccess)
XCTEST_METHOD(AutodepositCreateEditTests, testCreateValidationErrors)
XCTEST_METHOD(AutodepositCreateEditTests, testAutodepositEditSuccess)
XCTEST_METHOD(AutodepositCreateEditTests, testAutodepositDeleteSuccess)
