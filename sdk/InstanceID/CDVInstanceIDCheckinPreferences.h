// The device's check-in record: the device id and secret token that authorise every token
// request, and the opaque values of the last check-in reply.
//
// Device id and secret token keep the exact decimal digits the server sent. The record may be
// read on one thread while the check-in scheduler resets it on another: every member is guarded.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/Value.h"

// Property-list keys of the record.
inline constexpr const char* kCDVInstanceIDCheckinDigestKey = "OMSInstanceIDDigestKey";
inline constexpr const char* kCDVInstanceIDCheckinVersionInfoKey = "OMSInstanceIDVersionInfo";
inline constexpr const char* kCDVInstanceIDCheckinDeviceDataVersionKey = "OMSInstanceIDDeviceDataVersion";
inline constexpr const char* kCDVInstanceIDCheckinLastTimestampKey = "OMSInstanceIDLastCheckinTimestampKey";
inline constexpr const char* kCDVInstanceIDCheckinGServicesDataKey = "OMSInstanceIDGServicesData";
// Keys of the legacy property list, which also held the credentials.
inline constexpr const char* kCDVInstanceIDLegacyDeviceAuthIdKey = "OMSInstanceIDDeviceAuthIdKey";
inline constexpr const char* kCDVInstanceIDLegacySecretTokenKey = "OMSInstanceIDSecretTokenKey";
// A check-in is valid for this many seconds after the server's check-in time.
inline constexpr double kCDVInstanceIDCheckinValidityInterval = 7 * 24 * 60 * 60;

class CDVInstanceIDCheckinPreferences {
 public:
  CDVInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken);

  std::string deviceID() const;
  std::string secretToken() const;
  std::string digest() const;
  std::string versionInfo() const;
  std::string deviceDataVersion() const;
  std::int64_t lastCheckinTimestampMillis() const;
  platform::Dictionary gServicesData() const;
  bool hasPreCachedAuthCredentials() const;
  void setHasPreCachedAuthCredentials(bool preCached);

  // Both device id and secret token non-empty.
  bool hasCheckinInfo() const;
  // Judged by the stored locale and the record's age (see the .cpp); stores the current locale
  // when it was missing or changed.
  bool hasValidCheckinInfo() const;

  // deviceID "|" secretToken; nothing when either is empty.
  std::optional<std::string> checkinKeychainContent() const;
  // The five property-list entries.
  platform::Dictionary checkinPlistContents() const;
  // Takes digest, version info, device-data version, check-in time and services data from a
  // property-list content; other keys are ignored.
  void updateWithCheckinPlistContents(const platform::Dictionary& contents);
  // Clears every field.
  void reset();

  // The two parts of a keychain content; nothing unless it splits at "|" into exactly two parts.
  static std::optional<std::string> checkinDeviceIDFromKeychainContent(const std::string& content);
  static std::optional<std::string> checkinSecretFromKeychainContent(const std::string& content);
  // A record when both parts are non-empty.
  static std::shared_ptr<CDVInstanceIDCheckinPreferences> preferencesFromKeychainContents(const std::string& content);

 private:
  static std::optional<std::string> checkinKeychainContent(const std::string& content, std::size_t index);

  mutable std::mutex mutex_;
  std::string deviceID_;
  std::string secretToken_;
  std::string digest_;
  std::string versionInfo_;
  std::string deviceDataVersion_;
  std::int64_t lastCheckinTimestampMillis_ = 0;
  platform::Dictionary gServicesData_;
  bool hasPreCachedAuthCredentials_ = false;
};

using CDVInstanceIDCheckinPreferencesPtr = std::shared_ptr<CDVInstanceIDCheckinPreferences>;
