// The More tab's Interac e-Transfer preferences page as the app holds it: what the bank sent
// (profile, registrations, the accounts an autodeposit can go to), the editor open over the page
// (sender profile or autodeposit) with its fields and in-line messages, the row swiped open to its
// Delete button, and the table's scroll position. VesmoraModel drives it (model/PreferencesArea.cpp).
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "model/Backend.h"
#include "model/ETransferPreferences.h"

namespace vesmora {

namespace texts {
inline constexpr const char* kInteracProfileTitle = "Interac e-Transfer profile";
inline constexpr const char* kInteracProfileMessage =
    "Your sender profile lets Interac and your recipients know who is sending funds by Interac e-Transfer.";
inline constexpr const char* kCreateProfile = "Create profile";
inline constexpr const char* kAutodeposit = "Autodeposit";
inline constexpr const char* kNoProfileAutodeposit = "Create your Interac profile in order to use this feature.";
inline constexpr const char* kHasProfileAutodeposit =
    "Autodeposit is an Interac e-Transfer feature that allows you to have funds deposited directly into your bank "
    "account, without having to answer a security question.";
inline constexpr const char* kRegister = "Register";
inline constexpr const char* kRegisterAnother = "Register another email";
inline constexpr const char* kEmailHeading = "Email";
inline constexpr const char* kAccountHeading = "Account";

inline constexpr const char* kCreateProfileTitle = "Create Profile";
inline constexpr const char* kEditProfileTitle = "Edit Profile";
inline constexpr const char* kProfileEditorMessage =
    "Your sender profile lets Interac and your recipients know who is sending an Interac e-Transfer.";
inline constexpr const char* kEnterValidEmail = "Enter a valid email address";
inline constexpr const char* kEnterName = "Enter a name";
inline constexpr const char* kSelectDepositAccount = "Select an account";

inline constexpr const char* kRegisterAutodepositTitle = "Register for Autodeposit";
inline constexpr const char* kEditAutodepositTitle = "Edit Autodeposit";
inline constexpr const char* kAutodepositInformation =
    "Register your e-mail address and link it to your account. Any transfers to the registered email address will "
    "be automatically deposited into the account.";
inline constexpr const char* kIfSentTo = "If an Interac e-Transfer is sent to:";
inline constexpr const char* kThenDepositInto = "Then deposit funds into:";
inline constexpr const char* kLegalNameNotice =
    "When someone sends you funds by Interac e-Transfer, for security purposes, they'll see your registered legal "
    "name.";
inline constexpr const char* kAutodepositRegistered =
    "Almost done! You'll receive a confirmation email from Interac at the address you entered. Click the activation "
    "link in that email to complete your Autodeposit registration.";
inline constexpr const char* kDeleteEmailTitle = "Delete This Email?";
inline std::string deleteEmailMessage(const std::string& email) {
  return "This will remove " + email + " from your Autodeposit profile.";
}
inline constexpr const char* kDeleteEmailButton = "Delete email";
inline constexpr const char* kPreferencesRefused = "Your request can\u2019t be completed right now. Please try again later.";
}  // namespace texts

struct PreferencesArea {
  enum class Editor { none, profile, autodeposit };
  enum class Focus { none, profileName, profileEmail, autodepositEmail };

  // Fetched when the page opens and after every change.
  bool loaded = false;
  std::optional<SenderProfile> profile;
  std::vector<AutodepositRegistration> registrations;
  std::vector<MovableAccount> accounts;

  Editor editor = Editor::none;
  bool creating = false;  // the editor's mode: create (true) or edit
  Focus focus = Focus::none;
  // The profile editor's fields.
  std::string name;
  std::string email;
  // The autodeposit editor's fields: the address (email above) and the chosen account.
  std::optional<std::string> accountId;
  bool accountSheetOpen = false;
  bool accountPicked = false;  // an account was picked since the editor opened
  std::string editedEmail;  // edit mode: the registration open in the editor
  // In-line messages, set when Save is tapped.
  std::string emailError;
  std::string nameError;
  std::string accountError;

  std::string swipedEmail;   // the registration row showing its Delete button
  std::string deletingEmail; // the registration the delete confirmation names
  double scrollOffset = 0;   // the page table's content offset

  const MovableAccount* account(const std::string& id) const {
    for (const auto& a : accounts)
      if (a.id == id) return &a;
    return nullptr;
  }
  void closeEditor() {
    editor = Editor::none;
    focus = Focus::none;
    name.clear();
    email.clear();
    accountId.reset();
    accountSheetOpen = false;
    accountPicked = false;
    editedEmail.clear();
    emailError.clear();
    nameError.clear();
    accountError.clear();
  }
};

}  // namespace vesmora
