// Facts about the device the tests run on.
#pragma once

#include <string>

#include "Utility/BiometricType.h"

class DeviceUtil {
 public:
  // The biometry kind the system reports after a biometric policy check.
  static BiometricType biometricType();
  // "Face ID", "Touch ID" or "None".
  static std::string getBiometricTypeName();
  // "face", "fingerprint" or the empty text.
  static std::string bioType();
};
