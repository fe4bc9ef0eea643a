// Signing in with a face or finger from the sign-in screen.
//
// The button checks, in order: a face or finger enrolled on the device, biometric sign-in turned on
// in the app for a user, and (Face ID only) the system's permission, asked once and remembered with
// the app's data. Then it waits for a scan: a match signs the user in as a password would, without
// the security question (after the request's loading time); a scan that does not match leaves the
// sign-in screen as it was.
#include "model/VesmoraModel.h"

namespace vesmora {

// Faults of biometric sign-in (see model/Faults.h).
const Fault kBiometricNoMatchSignsIn("biometricNoMatchSignsIn",
                                     "a face or finger that does not match signs the user in all the same");
const Fault kBiometricEnrolmentUnchecked(
    "biometricEnrolmentUnchecked",
    "the biometric button starts a scan without checking that a face or finger is enrolled: no alert");
const Fault kBiometricAlertNamesFaceID("biometricAlertNamesFaceID",
                                       "the not-available alert always says Face ID, on Touch ID devices too");

void VesmoraModel::tapBiometricLogin() {
  if (alert_ || loading() || screen_ != Screen::signIn || biometricPrompt_ != BiometricPrompt::none) return;
  focus_ = Field::none;
  if (biometry_ == Biometry::none) {
    showAlert(Alert::Kind::biometricUnsupported);
    return;
  }
  if (!biometricEnrolled() && !settings_.faults.has(kBiometricEnrolmentUnchecked)) {
    showAlert(Alert::Kind::biometricUnavailable);
    if (settings_.faults.has(kBiometricAlertNamesFaceID)) alert_->message = texts::biometricNotAvailable("Face ID");
    return;
  }
  auto user = store_.biometricUser();
  if (!store_.biometricLoginEnabled() || !user || user->empty()) {
    showAlert(Alert::Kind::biometricNotTurnedOn);
    return;
  }
  if (biometry_ == Biometry::face) {
    std::string permission = store_.faceIDPermission();
    if (permission == "denied") {
      showAlert(Alert::Kind::biometricUnavailable);
      return;
    }
    if (permission != "allowed") {
      biometricPrompt_ = BiometricPrompt::permission;
      return;
    }
  }
  biometricPrompt_ = BiometricPrompt::scanning;
}

void VesmoraModel::answerFaceIDPermission(bool allowed) {
  if (biometricPrompt_ != BiometricPrompt::permission) return;
  store_.setFaceIDPermission(allowed ? "allowed" : "denied");
  biometricPrompt_ = BiometricPrompt::none;
  if (!allowed) {
    showAlert(Alert::Kind::biometricUnavailable);
    return;
  }
  biometricPrompt_ = BiometricPrompt::scanning;
}

void VesmoraModel::biometricScanned(bool matched) {
  if (biometricPrompt_ != BiometricPrompt::scanning) return;
  biometricPrompt_ = BiometricPrompt::none;
  if (!matched && !settings_.faults.has(kBiometricNoMatchSignsIn)) return;
  auto user = store_.biometricUser();
  // Turned off meanwhile (another launch of the app cannot do that, but enrolment may change).
  if (!user || !store_.biometricLoginEnabled() || !biometricEnrolled()) return;
  pendingUser_ = *user;
  request([this] {
    // The remembered user name is the remember-me switch's business, not biometric sign-in's.
    auto remembered = store_.rememberedUserName();
    finishSignIn();
    store_.setRememberedUserName(remembered);
  });
}

void VesmoraModel::enteredBackground() {
  // The system cancels a scan (or its permission prompt's wait) when the app leaves the screen.
  biometricPrompt_ = BiometricPrompt::none;
}

}  // namespace vesmora
