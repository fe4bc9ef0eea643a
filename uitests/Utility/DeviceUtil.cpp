#include "Utility/DeviceUtil.h"

#include "xcuitest/LocalAuthentication.h"

BiometricType DeviceUtil::biometricType() {
  LAContext context;
  LAError error;
  context.canEvaluatePolicy(LAPolicy::deviceOwnerAuthenticationWithBiometrics, &error);
  switch (context.biometryType()) {
    case LABiometryType::faceID:
      return BiometricType::face;
    case LABiometryType::touchID:
      return BiometricType::touch;
    case LABiometryType::none:
      break;
  }
  return BiometricType::none;
}

std::string DeviceUtil::getBiometricTypeName() {
  switch (biometricType()) {
    case BiometricType::face:
      return "Face ID";
    case BiometricType::touch:
      return "Touch ID";
    case BiometricType::none:
      break;
  }
  return "None";
}

std::string DeviceUtil::bioType() {
  switch (biometricType()) {
    case BiometricType::face:
      return "face";
    case BiometricType::touch:
      return "fingerprint";
    case BiometricType::none:
      break;
  }
  return "";
}
