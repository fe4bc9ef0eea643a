// The APNS device token and environment a push token was requested with: carried in token
// options, kept in cached token records and compared to decide whether a cached token still fits.
// Immutable; safe to share between threads.
#pragma once

#include <memory>
#include <optional>

#include "foundation/Value.h"

// Token option keys.
inline constexpr const char* kCDVInstanceIDTokenOptionsAPNSKey = "apns_token";
inline constexpr const char* kCDVInstanceIDTokenOptionsAPNSIsSandboxKey = "apns_sandbox";
inline constexpr const char* kCDVInstanceIDTokenOptionsCindervaleAppIDKey = "qpx_app_id";

class CDVInstanceIDAPNSInfo {
 public:
  CDVInstanceIDAPNSInfo(platform::Bytes deviceToken, bool isSandbox)
      : deviceToken_(std::move(deviceToken)), sandbox_(isSandbox) {}

  // A value only when "apns_token" is bytes and "apns_sandbox" a number.
  static std::shared_ptr<CDVInstanceIDAPNSInfo> initWithTokenOptionsDictionary(const platform::Dictionary& options);
  // The coded form: "device_token" (bytes) and "sandbox" (boolean).
  platform::Dictionary encode() const;
  // Nothing unless "device_token" holds bytes.
  static std::shared_ptr<CDVInstanceIDAPNSInfo> decode(const platform::Value& coded);
  // The coded form as archive bytes (a binary property list), and back.
  platform::Bytes archive() const;
  static std::shared_ptr<CDVInstanceIDAPNSInfo> unarchive(const platform::Bytes& bytes);

  const platform::Bytes& deviceToken() const { return deviceToken_; }
  bool isSandbox() const { return sandbox_; }
  // Same token bytes and same flag; false against nothing.
  bool isEqualToAPNSInfo(const CDVInstanceIDAPNSInfo* other) const;

 private:
  const platform::Bytes deviceToken_;
  const bool sandbox_;
};

using CDVInstanceIDAPNSInfoPtr = std::shared_ptr<const CDVInstanceIDAPNSInfo>;
