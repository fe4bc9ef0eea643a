// The More tab's pages and the texts of the More tab, the biometric settings and Contact us, and of
// biometric sign-in. `kind` is the device's biometry name ("Face ID", "Touch ID").
#pragma once

#include <string>

namespace vesmora {

// The page the More tab's navigation stack shows.
enum class MorePage { menu, biometricSettings, contactUs, eTransferPreferences };

// Where biometric sign-in stands after the sign-in screen's biometric button was tapped.
enum class BiometricPrompt {
  none,        // nothing in progress
  permission,  // the system asks whether the app may use Face ID
  scanning,    // waiting for a face or finger
};

namespace texts {

// --- biometric sign-in -----------------------------------------------------------------------
inline constexpr const char* kAppAlertTitle = "Vesmora";
inline std::string biometricNotAvailable(const std::string& kind) {
  return kind + " is not available. Please login with username and password.";
}
inline std::string biometricNotTurnedOn(const std::string& kind) {
  return kind + " login is not turned on. Please login with username and password and turn it on in Biometric "
                "settings.";
}
inline constexpr const char* kBiometricUnsupported = "This device does not support biometric login.";
inline std::string faceIDPermissionTitle() { return "Do you want to allow \u201cVesmora\u201d to use Face ID?"; }
inline constexpr const char* kFaceIDPermissionMessage = "Face ID lets you log in to Vesmora without your password.";

// --- More tab --------------------------------------------------------------------------------
inline constexpr const char* kMoreTitle = "More";
inline constexpr const char* kLogOut = "Log out";
inline constexpr const char* kBiometricSettings = "Biometric settings";
// `word`: "face", "fingerprint" or the empty text.
inline std::string biometricSettingsSubText(const std::string& word) {
  return "Take advantage of your phone's technology to log in using your " + word + " instead of a passcode";
}
inline constexpr const char* kETransferPreferences = "Interac e-Transfer\u00ae preferences";
inline constexpr const char* kETransferPreferencesSubText = "Manage your profile and autodeposit information";
inline constexpr const char* kContactUs = "Contact us";
inline constexpr const char* kContactUsSubText =
    "Connect with Corvane by phone or email, or complete a short survey to leave us some feedback!";

// --- biometric settings ----------------------------------------------------------------------
inline constexpr const char* kSecurityNote = "Security Note";
inline std::string securityNote1(const std::string& kind) {
  return "By enabling " + kind + " login you agree to the following:";
}
inline std::string securityNote2(const std::string& kind) {
  return "Any " + kind + " saved to this device can be used to access Corvane Mobile.";
}
inline std::string securityNote3(const std::string& kind) {
  return "You are responsible for all transactions when you enable " + kind +
         " login as your password, regardless of whether or not they\u2019re completed by you or anyone else "
         "with a " + kind + " saved to this device.";
}
inline std::string enableBiometricsLabel(const std::string& kind) { return "Log in with " + kind; }
inline std::string storeBiometricsLabel(const std::string& kind) {
  return "Accept any " + kind + " saved to this device";
}
inline std::string biometricsEnabled(const std::string& kind) { return "You've successfully enabled " + kind + "."; }
inline std::string biometricsDisabled(const std::string& kind) { return "You've successfully disabled " + kind + "."; }

// --- Contact us ------------------------------------------------------------------------------
inline constexpr const char* kGiveUsFeedback = "Give us feedback";
inline constexpr const char* kGiveUsFeedbackSubText =
    "We're listening. Help us keep improving your online experience by providing valuable feedback.";
inline constexpr const char* kGetStarted = "Get Started";
inline constexpr const char* kEmailUsAnytime = "Email us anytime";
inline constexpr const char* kEmailUsSubText = "You should hear back from us within 24 hours.";
inline constexpr const char* kSupportEmailAddress = "clientcare@corvane.com";
inline constexpr const char* kCallUsTollFree = "Call us toll free";
inline constexpr const char* kCallUsTollFreeSubText =
    "Our Client Care team is available 24/7 every day except Christmas Day.";
inline constexpr const char* kTollFreeNumber = "1-800-555-0142";

}  // namespace texts
}  // namespace vesmora
