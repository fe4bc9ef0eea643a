// The biometric policy check, answered from the simulated device's biometry kind and enrolment.
#pragma once

#include <string>

enum class LAPolicy { deviceOwnerAuthenticationWithBiometrics, deviceOwnerAuthentication };
enum class LABiometryType { none, touchID, faceID };

// An error of the check: domain "com.apple.LocalAuthentication", a code and a description.
struct LAError {
  static constexpr int biometryNotAvailable = -6;
  static constexpr int biometryNotEnrolled = -7;
  std::string domain;
  int code = 0;
  std::string localizedDescription;
};

class LAContext {
 public:
  // True when the device has biometry and it is enrolled; otherwise false with `error` filled
  // (when given). Afterwards `biometryType()` reports the device's kind (also when enrolment is
  // missing), as the platform does.
  bool canEvaluatePolicy(LAPolicy policy, LAError* error = nullptr);
  // `none` until `canEvaluatePolicy` has been called.
  LABiometryType biometryType() const { return biometryType_; }

 private:
  LABiometryType biometryType_ = LABiometryType::none;
};
