// The app's stored data, kept in the device's per-app storage so that it survives termination
// and relaunch within a run: the remembered user name, the last signed-in user, the biometric
// switches and the user they belong to, and the answers to the location and Face ID prompts.
#pragma once

#include <map>
#include <optional>
#include <string>

namespace vesmora {

class AppStore {
 public:
  explicit AppStore(std::map<std::string, std::string>& storage) : storage_(storage) {}

  std::optional<std::string> rememberedUserName() const { return get("rememberedUserName"); }
  void setRememberedUserName(std::optional<std::string> name) { set("rememberedUserName", std::move(name)); }

  std::optional<std::string> lastSignedInUser() const { return get("lastSignedInUser"); }
  void setLastSignedInUser(std::optional<std::string> name) { set("lastSignedInUser", std::move(name)); }

  // The "EnableBiometrics" switch: biometric sign-in accepted.
  bool biometricLoginEnabled() const { return get("EnableBiometrics") == std::optional<std::string>("1"); }
  void setBiometricLoginEnabled(bool on) { set("EnableBiometrics", std::string(on ? "1" : "0")); }
  // The "StoreBiometrics" switch.
  bool storeBiometrics() const { return get("StoreBiometrics") == std::optional<std::string>("1"); }
  void setStoreBiometrics(bool on) { set("StoreBiometrics", std::string(on ? "1" : "0")); }

  // The user whose biometric sign-in is turned on (absent: nobody's).
  std::optional<std::string> biometricUser() const { return get("biometricUser"); }
  void setBiometricUser(std::optional<std::string> name) { set("biometricUser", std::move(name)); }
  // The answer to the system's prompt to let the app use Face ID: "notDetermined" (never asked),
  // "allowed" or "denied".
  std::string faceIDPermission() const { return get("faceIDPermission").value_or("notDetermined"); }
  void setFaceIDPermission(const std::string& value) { set("faceIDPermission", value); }

  // "notDetermined" (never asked), "authorizedAlways", "authorizedWhenInUse" or "denied".
  std::string locationPermission() const { return get("locationPermission").value_or("notDetermined"); }
  void setLocationPermission(const std::string& value) { set("locationPermission", value); }

 private:
  std::optional<std::string> get(const std::string& key) const {
    auto it = storage_.find(key);
    if (it == storage_.end()) return std::nullopt;
    return it->second;
  }
  void set(const std::string& key, std::optional<std::string> value) {
    if (value) {
      storage_[key] = *value;
    } else {
      storage_.erase(key);
    }
  }

  std::map<std::string, std::string>& storage_;
};

}  // namespace vesmora
