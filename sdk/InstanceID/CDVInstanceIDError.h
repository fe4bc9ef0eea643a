// Error values of the instance identity: domain "com.cindervale.iid" and a numeric code; keychain
// failures use the domain "com.ombrix.iid" with the keychain status as code.
#pragma once

#include <cstdint>

#include "foundation/Error.h"

inline constexpr const char* kCDVInstanceIDDomain = "com.cindervale.iid";
inline constexpr const char* kCDVInstanceIDKeychainErrorDomain = "com.ombrix.iid";

enum CDVInstanceIDErrorCode : std::int64_t {
  // General failure: an unusable reply, an empty identifier, a failed identity deletion.
  kCDVInstanceIDErrorCodeUnknown = 0,
  // Internal state that cannot serve the request: no check-in information, no URL session,
  // nothing to save.
  kCDVInstanceIDErrorCodeInvalidState = 6,
  // A value the service or the caller handed over is unusable (a check-in reply without device id).
  kCDVInstanceIDErrorCodeInvalidValue = 7,
  kCDVInstanceIDErrorCodeMissingCheckin = 501,
  kCDVInstanceIDErrorCodeMissingAPNSToken = 1001,
  kCDVInstanceIDErrorCodeInvalidAuthorizedEntity = 1003,
  kCDVInstanceIDErrorCodeInvalidScope = 1004,
  kCDVInstanceIDErrorCodeInvalidStart = 1005,
  kCDVInstanceIDErrorCodeInvalidKeyPair = 1006,
  kCDVInstanceIDErrorCodeMissingKeyPair = 2001,
  kCDVInstanceIDErrorCodeInvalidKeyPairTags = 2002,
  kCDVInstanceIDErrorCodeInvalidKeyPairCreationTime = 2005,
  kCDVInstanceIDErrorCodeInvalidIdentity = 2006,
};

// An error of the domain "com.cindervale.iid"; `userInfo` is a dictionary or null.
platform::Error errorWithCDVInstanceIDErrorCode(std::int64_t code, platform::Value userInfo = platform::Value());
inline std::int64_t instanceIDErrorCode(const platform::Error& error) { return error.code; }
// Code 501 with user info "msg" = "Missing device credentials. Retry later.".
platform::Error CDVInstanceIDErrorMissingCheckin();
// A keychain failure: domain "com.ombrix.iid", the keychain status as code (with no folder for
// the keychain, the reason as description).
platform::Error CDVInstanceIDKeychainError(std::int64_t status);
