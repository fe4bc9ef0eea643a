// The More tab's pages: the menu, the biometric settings and Contact us.
#include "model/VesmoraModel.h"

namespace vesmora {

bool VesmoraModel::onMorePage(MorePage page) const {
  return !alert_ && !surveyShown_ && screen_ == Screen::landing && tab_ == Tab::more && morePage_ == page;
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
}

void VesmoraModel::tapEnableBiometrics() {
  if (!onMorePage(MorePage::biometricSettings)) return;
  bool on = !store_.biometricLoginEnabled();
  store_.setBiometricLoginEnabled(on);
  store_.setBiometricUser(on ? std::optional<std::string>(signedInUser_) : std::nullopt);
  showAlert(on ? Alert::Kind::biometricsEnabled : Alert::Kind::biometricsDisabled);
}

void VesmoraModel::tapStoreBiometrics() {
  if (!onMorePage(MorePage::biometricSettings)) return;
  store_.setStoreBiometrics(!store_.storeBiometrics());
}

}  // namespace vesmora
