#include "InstanceID/CDVInstanceIDError.h"

#include "foundation/Format.h"
#include "security/SecItem.h"

platform::Error errorWithCDVInstanceIDErrorCode(std::int64_t code, platform::Value userInfo) {
  return platform::Error(kCDVInstanceIDDomain, code,
                         platform::format("The operation couldn't be completed. (%@ error %lld.)",
                                          kCDVInstanceIDDomain, code),
                         std::move(userInfo));
}

platform::Error CDVInstanceIDErrorMissingCheckin() {
  return errorWithCDVInstanceIDErrorCode(
      kCDVInstanceIDErrorCodeMissingCheckin,
      platform::Value(platform::Dictionary{{"msg", "Missing device credentials. Retry later."}}));
}

platform::Error CDVInstanceIDKeychainError(std::int64_t status) {
  if (status == errSecNoSuchKeychain) {
    return platform::Error(kCDVInstanceIDKeychainErrorDomain, status,
                           SecCopyErrorMessageString(static_cast<OSStatus>(status)));
  }
  return platform::Error(kCDVInstanceIDKeychainErrorDomain, status,
                         platform::format("The operation couldn't be completed. (%@ error %lld.)",
                                          kCDVInstanceIDKeychainErrorDomain, status));
}
