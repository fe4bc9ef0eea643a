// The More tab's pages: the menu, the biometric settings and Contact us.
#include "model/VesmoraModel.h"

namespace vesmora {

// Faults of the biometric settings (see model/Faults.h).
const Fault kEnableSwitchNotSaved("enableSwitchNotSaved",
                                  "the enable switch confirms the change but does not save it: it stays as it was");
const Fault kDisabledAlertSaysEnabled("disabledAlertSaysEnabled",
                                      "turning biometric sign-in off is confirmed with the \"enabled\" text");

bool VesmoraModel::onMorePage(MorePage page) const {
  return !covered() && screen_ == Screen::landing && tab_ == Tab::more && morePage_ == page;
}

void VesmoraModel::openBiometricSettings() {
  if (!onMorePage(MorePage::menu)) return;
  if (biometry_ == Biometry::none) {
    showAlert(Alert::Kind::biometricUnsupported);
    return;
  }
  morePage_ = MorePage::biometricSettings;
}

void VesmoraModel::openContactUs() {
  if (!onMorePage(MorePage::menu)) return;
  morePage_ = MorePage::contactUs;
}

void VesmoraModel::closeMorePage() {
  if (onMorePage(MorePage::biometricSettings) || onMorePage(MorePage::contactUs)) morePage_ = MorePage::menu;
  if (onMorePage(MorePage::eTransferPreferences) && prefs_.editor == PreferencesArea::Editor::none) {
    morePage_ = MorePage::menu;
    prefs_ = PreferencesArea();
  }
}

void VesmoraModel::tapEnableBiometrics() {
  if (!onMorePage(MorePage::biometricSettings)) return;
  bool on = !store_.biometricLoginEnabled();
  if (!settings_.faults.has(kEnableSwitchNotSaved)) {
    store_.setBiometricLoginEnabled(on);
    store_.setBiometricUser(on ? std::optional<std::string>(signedInUser_) : std::nullopt);
  }
  showAlert(on ? Alert::Kind::biometricsEnabled : Alert::Kind::biometricsDisabled);
  if (!on && settings_.faults.has(kDisabledAlertSaysEnabled)) alert_->message = texts::biometricsEnabled(biometryName());
}

void VesmoraModel::tapStoreBiometrics() {
  if (!onMorePage(MorePage::biometricSettings)) return;
  store_.setStoreBiometrics(!store_.storeBiometrics());
}

}  // namespace vesmora
