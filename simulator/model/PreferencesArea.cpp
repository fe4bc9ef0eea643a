// The Interac e-Transfer preferences page of the More tab: the sender profile, the autodeposit
// registrations, and their two editors.
#include "model/VesmoraModel.h"

namespace vesmora {

// Faults of the e-Transfer preferences (see model/Faults.h).
const Fault kProfileSaveDropsEmail("profileSaveDropsEmail",
                                   "saving the sender profile sends the new name with the old e-mail address");
const Fault kProfileEditorOpensEmpty("profileEditorOpensEmpty",
                                     "the sender-profile editor opens empty instead of filled with the profile");
const Fault kProfileEmailNeedsOnlyAt("profileEmailNeedsOnlyAt",
                                     "the sender-profile editor takes any address with an \"@\" in it");
const Fault kSwipeDeleteSendsAccount("swipeDeleteSendsAccount",
                                     "a row's Delete sends the registration's account instead of its address: the bank "
                                     "refuses and the registration stays");
const Fault kDeleteConfirmWithoutAddress("deleteConfirmWithoutAddress",
                                         "the delete confirmation says \"this email\" instead of naming the address");

namespace {

// Applies keystrokes to a field's text: the delete key removes the last character (a whole UTF-8
// code point); other characters are added while the text holds fewer than `limit` characters.
void applyKeys(std::string& text, const std::string& keys, std::size_t limit) {
  auto count = [](const std::string& s) {
    std::size_t n = 0;
    for (char c : s) n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
  };
  for (std::size_t i = 0; i < keys.size();) {
    std::size_t length = 1;
    while (i + length < keys.size() && (static_cast<unsigned char>(keys[i + length]) & 0xC0) == 0x80) ++length;
    std::string ch = keys.substr(i, length);
    i += length;
    if (ch == "\b" || ch == "\x7f") {
      while (!text.empty()) {
        unsigned char last = static_cast<unsigned char>(text.back());
        text.pop_back();
        if ((last & 0xC0) != 0x80) break;
      }
    } else if (count(text) < limit) {
      text += ch;
    }
  }
}

// The confirmation before a registration is deleted names its address.
void nameAddressToDelete(Alert& alert, const Faults& faults) {
  if (faults.has(kDeleteConfirmWithoutAddress)) alert.message = texts::deleteEmailMessage("this email");
}

bool profileEmailAccepted(const std::string& email, const Faults& faults) {
  if (faults.has(kProfileEmailNeedsOnlyAt)) return email.find('@') != std::string::npos;
  return isWellFormedEmail(email);
}

}  // namespace

bool VesmoraModel::onPreferences(PreferencesArea::Editor editor) const {
  return onMorePage(MorePage::eTransferPreferences) && prefs_.loaded && prefs_.editor == editor;
}

void VesmoraModel::fetchPreferences() {
  prefs_.profile = backend_.senderProfile(signedInUser_);
  prefs_.registrations = prefs_.profile ? backend_.autodeposits(signedInUser_) : std::vector<AutodepositRegistration>{};
  prefs_.accounts = backend_.movableAccounts(signedInUser_);
  prefs_.swipedEmail.clear();
  prefs_.loaded = true;
}

void VesmoraModel::openETransferPreferences() {
  if (!onMorePage(MorePage::menu)) return;
  morePage_ = MorePage::eTransferPreferences;
  prefs_ = PreferencesArea();
  request([this] {
    if (morePage_ == MorePage::eTransferPreferences) fetchPreferences();
  });
}

void VesmoraModel::openProfileEditor() {
  if (!onPreferences(PreferencesArea::Editor::none)) return;
  prefs_.closeEditor();
  prefs_.editor = PreferencesArea::Editor::profile;
  prefs_.creating = !prefs_.profile;
  if (prefs_.profile && !settings_.faults.has(kProfileEditorOpensEmpty)) {
    prefs_.name = prefs_.profile->name;
    prefs_.email = prefs_.profile->email;
  }
}

void VesmoraModel::openAutodepositEditor(const std::string& email) {
  if (!onPreferences(PreferencesArea::Editor::none) || !prefs_.profile) return;
  const AutodepositRegistration* registration = nullptr;
  for (const auto& r : prefs_.registrations)
    if (r.email == email) registration = &r;
  if (!email.empty() && !registration) return;
  prefs_.closeEditor();
  prefs_.swipedEmail.clear();
  prefs_.editor = PreferencesArea::Editor::autodeposit;
  prefs_.creating = registration == nullptr;
  if (registration) {
    prefs_.email = registration->email;
    prefs_.editedEmail = registration->email;
    prefs_.accountId = registration->accountId;
  }
}

void VesmoraModel::focusPreferencesField(PreferencesArea::Focus field) {
  if (covered() || prefs_.editor == PreferencesArea::Editor::none || prefs_.accountSheetOpen) return;
  bool profileField = field == PreferencesArea::Focus::profileName || field == PreferencesArea::Focus::profileEmail;
  if (profileField != (prefs_.editor == PreferencesArea::Editor::profile)) return;
  // A registration's address cannot be changed: edit mode only moves it to another account.
  if (field == PreferencesArea::Focus::autodepositEmail && !prefs_.creating) return;
  prefs_.focus = field;
}

void VesmoraModel::typeIntoPreferencesField(PreferencesArea::Focus field, const std::string& keys) {
  if (covered() || field == PreferencesArea::Focus::none || prefs_.focus != field) return;
  std::string& text = field == PreferencesArea::Focus::profileName ? prefs_.name : prefs_.email;
  // Names and addresses are kept to what the bank takes (an address has at most 254 characters).
  applyKeys(text, keys, field == PreferencesArea::Focus::profileName ? 80 : 254);
}

void VesmoraModel::preferencesKeyboardDone() {
  if (covered()) return;
  prefs_.focus = PreferencesArea::Focus::none;
}

void VesmoraModel::openAutodepositAccountSheet() {
  if (!onPreferences(PreferencesArea::Editor::autodeposit)) return;
  prefs_.focus = PreferencesArea::Focus::none;
  prefs_.accountSheetOpen = true;
}

void VesmoraModel::chooseAutodepositAccount(const std::string& accountId) {
  if (covered() || !prefs_.accountSheetOpen || !prefs_.account(accountId)) return;
  prefs_.accountId = accountId;
  prefs_.accountPicked = true;
  prefs_.accountSheetOpen = false;
}

void VesmoraModel::closePreferencesEditor() {
  if (covered() || prefs_.editor == PreferencesArea::Editor::none) return;
  prefs_.closeEditor();
}

void VesmoraModel::savePreferencesEditor() {
  if (covered() || prefs_.accountSheetOpen) return;
  prefs_.focus = PreferencesArea::Focus::none;
  if (prefs_.editor == PreferencesArea::Editor::profile) {
    SenderProfile profile{trimmedText(prefs_.name), trimmedText(prefs_.email)};
    prefs_.emailError = profileEmailAccepted(profile.email, settings_.faults) ? "" : texts::kEnterValidEmail;
    prefs_.nameError = profile.name.empty() ? texts::kEnterName : "";
    if (!prefs_.emailError.empty() || !prefs_.nameError.empty()) return;
    if (settings_.faults.has(kProfileSaveDropsEmail) && prefs_.profile) profile.email = prefs_.profile->email;
    request([this, profile] {
      if (!backend_.saveSenderProfile(signedInUser_, profile)) {
        showAlert(Alert::Kind::preferencesRefused);
        return;
      }
      prefs_.closeEditor();
      fetchPreferences();
    });
    return;
  }
  if (prefs_.editor != PreferencesArea::Editor::autodeposit) return;
  std::string email = trimmedText(prefs_.email);
  prefs_.emailError = isWellFormedEmail(email) ? "" : texts::kEnterValidEmail;
  prefs_.accountError = prefs_.accountId ? "" : texts::kSelectDepositAccount;
  if (!prefs_.emailError.empty() || !prefs_.accountError.empty()) return;
  std::string accountId = *prefs_.accountId;
  bool creating = prefs_.creating;
  std::string edited = prefs_.editedEmail;
  request([this, email, accountId, creating, edited] {
    bool accepted = creating ? backend_.registerAutodeposit(signedInUser_, {email, accountId, "Pending"})
                             : backend_.changeAutodepositAccount(signedInUser_, edited, accountId);
    if (!accepted) {
      showAlert(Alert::Kind::preferencesRefused);
      return;
    }
    fetchPreferences();
    // A new registration waits for its activation e-mail, which the alert announces; a changed
    // account needs nothing more, so the editor simply closes.
    if (creating) {
      showAlert(Alert::Kind::autodepositRegistered);
    } else {
      prefs_.closeEditor();
    }
  });
}

void VesmoraModel::tapAutodepositDelete() {
  if (!onPreferences(PreferencesArea::Editor::autodeposit) || prefs_.creating || prefs_.accountSheetOpen) return;
  prefs_.deletingEmail = prefs_.editedEmail;
  showAlert(Alert::Kind::autodepositDeleteConfirm);
  nameAddressToDelete(*alert_, settings_.faults);
}

void VesmoraModel::swipeRegistration(const std::string& email, bool open) {
  if (!onPreferences(PreferencesArea::Editor::none)) return;
  if (open) {
    prefs_.swipedEmail = email;
  } else if (prefs_.swipedEmail == email) {
    prefs_.swipedEmail.clear();
  }
}

void VesmoraModel::tapRegistrationDelete(const std::string& email) {
  if (!onPreferences(PreferencesArea::Editor::none) || prefs_.swipedEmail != email) return;
  prefs_.deletingEmail = email;
  showAlert(Alert::Kind::autodepositDeleteConfirm);
  nameAddressToDelete(*alert_, settings_.faults);
}

void VesmoraModel::preferencesAlertAnswered(Alert::Kind kind, const std::string& button) {
  switch (kind) {
    case Alert::Kind::autodepositRegistered:
      prefs_.closeEditor();
      break;
    case Alert::Kind::autodepositDeleteConfirm: {
      std::string email = prefs_.deletingEmail;
      prefs_.deletingEmail.clear();
      if (button != texts::kDeleteEmailButton) {
        prefs_.swipedEmail.clear();
        break;
      }
      std::string sent = email;
      if (settings_.faults.has(kSwipeDeleteSendsAccount) && prefs_.editor == PreferencesArea::Editor::none) {
        for (const auto& r : prefs_.registrations)
          if (r.email == email) sent = r.accountId;
      }
      request([this, sent] {
        if (!backend_.deleteAutodeposit(signedInUser_, sent)) {
          prefs_.swipedEmail.clear();
          showAlert(Alert::Kind::preferencesRefused);
          return;
        }
        prefs_.closeEditor();
        fetchPreferences();
      });
      break;
    }
    default:
      break;
  }
}

}  // namespace vesmora
