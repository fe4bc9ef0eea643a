#include "Utility/Biometrics.h"

#include <cstdint>

#include "xcuitest/notify.h"

namespace {

void postEnrollment(std::uint64_t state) {
  const char* name = "com.apple.BiometricKit.enrollmentChanged";
  int token = 0;
  notify_register_check(name, &token);
  notify_set_state(token, state);
  notify_post(name);
  notify_cancel(token);
}

}  // namespace

void Biometrics::enrolled() { postEnrollment(1); }

void Biometrics::unenrolled() { postEnrollment(0); }

void Biometrics::successfulAuthentication() {
  notify_post("com.apple.BiometricKit_Sim.fingerTouch.match");
  notify_post("com.apple.BiometricKit_Sim.pearl.match");
}

void Biometrics::unsuccessfulAuthentication() {
  notify_post("com.apple.BiometricKit_Sim.fingerTouch.nomatch");
  notify_post("com.apple.BiometricKit_Sim.pearl.nomatch");
}
