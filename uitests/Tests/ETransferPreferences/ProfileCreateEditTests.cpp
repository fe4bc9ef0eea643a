// The sender-profile editor: its in-line validation in create and in edit mode, and a changed name
// and address shown on the preferences screen after saving.
#include <optional>

#include "Extensions/XCUIElementExtensions.h"
#include "Screens/ETransferProfileCreateEditScreen.h"
#include "Tests/ETransferPreferences/ETransferPreferencesSteps.h"

class ProfileCreateEditTests : public ETransferPreferencesTestCase {
 public:
  void testCreateProfileSuccess() {}

  void testCreateValidationErrors() {
    auto record = etransfer::readRecord("noInteractProfile");
    if (!record) return;
    Values values = readValues(*record);
    loginAndNavigateToETransferPreferences(values.username, values.password);
    ETransferProfileCreateEditScreen editor(*app, AutodepositCreateEditType::create);
    BaseScreen::waitForLoading(*this);
    XCUIElement createProfileButton = app->buttons()["Create profile"];
    BaseScreen::waitForLoading(*this, 15);
    if (createProfileButton.exists()) {
      createProfileButton.tap();
      BaseScreen::waitForLoading(*this);
      XCTAssertTrue(editor.navigationTitle.exists());
    } else {
      // An account that already has a profile: its editor is emptied and checked the same way.
      editor.interactProfileEmailEntryComponent.tap();
      BaseScreen::waitForLoading(*this);
      clearText(editor.nameTextField);
      clearText(editor.emailTextField);
    }
    runValidationStages(editor, values);
  }

  void testProfileEditSuccess() {
    auto record = etransfer::readRecord("hasAutoDepositRegistrations");
    if (!record) return;
    std::string username = record->string("username");
    std::string password = record->string("password");
    loginAndNavigateToETransferPreferences(username, password);
    ETransferProfileCreateEditScreen editor(*app, AutodepositCreateEditType::edit);
    BaseScreen::waitForLoading(*this);
    assertProfileEntriesShown(editor);
    BaseScreen::waitForLoading(*this, 15);
    std::string currentEmail = editor.interactProfileEmailEntryComponent.value().value_or("");
    std::string currentName = editor.interactProfileNameEntryComponent.value().value_or("");

    editor.interactProfileEmailEntryComponent.tap();
    BaseScreen::waitForLoading(*this);
    clearText(editor.nameTextField);
    clearText(editor.emailTextField);
    std::string newName = currentName == kNameOne ? kNameTwo : kNameOne;
    editor.typeOnName(newName);
    std::string newEmail = currentEmail == firstAddress() ? secondAddress() : firstAddress();
    editor.typeOnEmail(newEmail);
    editor.saveButton.tap();
    BaseScreen::waitForLoading(*this, 15);
    BaseScreen::waitForLoading(*this);

    std::string savedEmail = editor.interactProfileEmailEntryComponent.value().value_or("");
    std::string savedName = editor.interactProfileNameEntryComponent.value().value_or("");
    XCTAssertEqual(savedName, newName);
    XCTAssertEqual(savedEmail, newEmail);
  }

  void testEditValidationErrors() {
    auto record = etransfer::readRecord("hasAutoDepositRegistrations");
    if (!record) return;
    Values values = readValues(*record);
    loginAndNavigateToETransferPreferences(values.username, values.password);
    ETransferProfileCreateEditScreen editor(*app, AutodepositCreateEditType::edit);
    BaseScreen::waitForLoading(*this);
    assertProfileEntriesShown(editor);
    BaseScreen::waitForLoading(*this);
    BaseScreen::waitForLoading(*this, 15);
    std::string entryEmail = editor.interactProfileEmailEntryComponent.value().value_or("");
    std::string entryName = editor.interactProfileNameEntryComponent.value().value_or("");

    editor.interactProfileEmailEntryComponent.tap();
    BaseScreen::waitForLoading(*this);
    std::string fieldName = editor.nameTextField.value().value_or("");
    std::string fieldEmail = editor.emailTextField.value().value_or("");
    XCTAssertEqual(fieldName, entryName);
    XCTAssertEqual(fieldEmail, entryEmail);
    clearText(editor.nameTextField);
    clearText(editor.emailTextField);
    XCTAssertTrue(editor.navigationTitle.exists());
    runValidationStages(editor, values);
  }

 private:
  static constexpr const char* kNameOne = "Name One Test";
  static constexpr const char* kNameTwo = "Name Two";
  static std::string firstAddress() { return std::string("profile.one@") + etransfer::kTestMailDomain; }
  static std::string secondAddress() { return std::string("profile.two@") + etransfer::kTestMailDomain; }

  struct Values {
    std::string username, password, email, badEmail, name;
  };

  static Values readValues(const TestDataRow& record) {
    Values v;
    v.username = record.string("username");
    v.password = record.string("password");
    v.email = record.string("email");
    v.badEmail = record.string("badEmail");
    v.name = record.string("name");
    return v;
  }

  ETransferPreferencesScreen loginAndNavigateToETransferPreferences(const std::string& username,
                                                                    const std::string& password) {
    return etransfer::signInAndOpenPreferences(*this, *app, etransfer::Route::profileEditor, username, password);
  }

  void assertProfileEntriesShown(ETransferProfileCreateEditScreen& editor) {
    XCTAssertFalse(app->buttons()["Create profile"].exists());
    XCTAssertTrue(editor.interactProfileEmailEntryComponent.exists());
    XCTAssertTrue(editor.interactProfileNameEntryComponent.exists());
    XCTAssertTrue(isVisible(editor.interactProfileEmailEntryComponent));
    XCTAssertTrue(isVisible(editor.interactProfileNameEntryComponent));
  }

  // Each stage taps Save and checks the e-mail message, then the name message.
  void expectMessages(ETransferProfileCreateEditScreen& editor, bool emailError, bool nameError) {
    if (emailError) {
      XCTAssertTrue(editor.emailValidationError.exists());
    } else {
      XCTAssertFalse(editor.emailValidationError.exists());
    }
    if (nameError) {
      XCTAssertTrue(editor.nameValidationError.exists());
    } else {
      XCTAssertFalse(editor.nameValidationError.exists());
    }
  }

  void runValidationStages(ETransferProfileCreateEditScreen& editor, const Values& values) {
    XCTAssertTrue(editor.closeNavigationButton.exists());
    XCTAssertTrue(editor.nameTextField.exists());
    XCTAssertTrue(editor.emailTextField.exists());
    XCTAssertTrue(editor.eTransferProfileMessage.exists());
    XCTAssertFalse(isVisible(editor.emailValidationError));
    XCTAssertFalse(isVisible(editor.nameValidationError));

    editor.saveButton.tap();
    expectMessages(editor, true, true);

    editor.typeOnEmail(values.badEmail);
    editor.saveButton.tap();
    expectMessages(editor, true, true);

    clearText(editor.emailTextField);
    editor.typeOnEmail(values.email);
    editor.saveButton.tap();
    expectMessages(editor, false, true);

    clearText(editor.emailTextField);
    editor.typeOnName(values.name);
    editor.saveButton.tap();
    expectMessages(editor, true, false);

    clearText(editor.nameTextField);
    editor.typeOnEmail(values.email);
    editor.typeOnName(values.name);
    editor.saveButton.tap();
    expectMessages(editor, false, false);
  }

};

XCTEST_CLASS(ProfileCreateEditTests)
XCTEST_METHOD(ProfileCreateEditTests, testCreateProfileSuccess)
XCTEST_METHOD(ProfileCreateEditTests, testCreateValidationErrors)
XCTEST_METHOD(ProfileCreateEditTests, testProfileEditSuccess)
XCTEST_METHOD(ProfileCreateEditTests, testEditValidationErrors)
