// Simulated biometric events on the simulator, posted as its notifications.
#pragma once

class Biometrics {
 public:
  // Enrolment present / removed ("com.apple.BiometricKit.enrollmentChanged" with state 1 / 0).
  static void enrolled();
  static void unenrolled();
  // A matching, respectively non-matching, finger and face.
  static void successfulAuthentication();
  static void unsuccessfulAuthentication();
};
