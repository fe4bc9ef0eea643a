#include "InstanceID/CDVInstanceIDCheckinPreferences.h"

#include <vector>

#include "InstanceID/CDVInstanceIDUtilities.h"
#include "obx/OBXUserDefaults.h"

CDVInstanceIDCheckinPreferences::CDVInstanceIDCheckinPreferences(std::string deviceID, std::string secretToken)
    : deviceID_(std::move(deviceID)), secretToken_(std::move(secretToken)) {}

std::string CDVInstanceIDCheckinPreferences::deviceID() const {
  std::lock_guard lock(mutex_);
  return deviceID_;
}
std::string CDVInstanceIDCheckinPreferences::secretToken() const {
  std::lock_guard lock(mutex_);
  return secretToken_;
}
std::string CDVInstanceIDCheckinPreferences::digest() const {
  std::lock_guard lock(mutex_);
  return digest_;
}
std::string CDVInstanceIDCheckinPreferences::versionInfo() const {
  std::lock_guard lock(mutex_);
  return versionInfo_;
}
std::string CDVInstanceIDCheckinPreferences::deviceDataVersion() const {
  std::lock_guard lock(mutex_);
  return deviceDataVersion_;
}
std::int64_t CDVInstanceIDCheckinPreferences::lastCheckinTimestampMillis() const {
  std::lock_guard lock(mutex_);
  return lastCheckinTimestampMillis_;
}
platform::Dictionary CDVInstanceIDCheckinPreferences::gServicesData() const {
  std::lock_guard lock(mutex_);
  return gServicesData_;
}
bool CDVInstanceIDCheckinPreferences::hasPreCachedAuthCredentials() const {
  std::lock_guard lock(mutex_);
  return hasPreCachedAuthCredentials_;
}
void CDVInstanceIDCheckinPreferences::setHasPreCachedAuthCredentials(bool preCached) {
  std::lock_guard lock(mutex_);
  hasPreCachedAuthCredentials_ = preCached;
}

bool CDVInstanceIDCheckinPreferences::hasCheckinInfo() const {
  std::lock_guard lock(mutex_);
  return !deviceID_.empty() && !secretToken_.empty();
}

// A record is valid:
// - on the first check after the locale was first stored (a launch that finds credentials but no
//   stored locale), whatever its age;
// - otherwise not after a locale change (the new locale is stored, so the next check judges by
//   age again);
// - otherwise while less than seven days have passed since the server's check-in time. A check-in
//   time ahead of the clock (the clock was set back) is no proof of freshness: such a record is
//   not valid, and the next check-in records a time the clock agrees with.
bool CDVInstanceIDCheckinPreferences::hasValidCheckinInfo() const {
  OBXUserDefaults& defaults = OBXUserDefaults::standardUserDefaults();
  const bool hasInfo = hasCheckinInfo();
  auto storeCurrentLocale = [&defaults] {
    // No locale at all is kept as the empty text, which the change test compares equal to none.
    defaults.setObject(platform::Value(CDVInstanceIDCurrentLocale().value_or(std::string())),
                       kCDVInstanceIDUserDefaultsKeyLocale);
  };
  if (!defaults.stringForKey(kCDVInstanceIDUserDefaultsKeyLocale) && hasInfo) {
    storeCurrentLocale();
    return true;
  }
  if (CDVInstanceIDHasLocaleChanged()) {
    storeCurrentLocale();
    return false;
  }
  if (!hasInfo) return false;
  const double ageSeconds =
      static_cast<double>(CDVInstanceIDCurrentTimestampInMilliseconds() - lastCheckinTimestampMillis()) / 1000.0;
  return ageSeconds >= 0 && ageSeconds < kCDVInstanceIDCheckinValidityInterval;
}

std::optional<std::string> CDVInstanceIDCheckinPreferences::checkinKeychainContent() const {
  std::lock_guard lock(mutex_);
  if (deviceID_.empty() || secretToken_.empty()) return std::nullopt;
  return deviceID_ + "|" + secretToken_;
}

platform::Dictionary CDVInstanceIDCheckinPreferences::checkinPlistContents() const {
  std::lock_guard lock(mutex_);
  return platform::Dictionary{
      {kCDVInstanceIDCheckinDigestKey, digest_},
      {kCDVInstanceIDCheckinVersionInfoKey, versionInfo_},
      {kCDVInstanceIDCheckinDeviceDataVersionKey, deviceDataVersion_},
      {kCDVInstanceIDCheckinLastTimestampKey, lastCheckinTimestampMillis_},
      {kCDVInstanceIDCheckinGServicesDataKey, gServicesData_},
  };
}

void CDVInstanceIDCheckinPreferences::updateWithCheckinPlistContents(const platform::Dictionary& contents) {
  std::lock_guard lock(mutex_);
  for (const auto& [key, value] : contents) {
    if (key == kCDVInstanceIDCheckinDigestKey) {
      digest_ = value.stringValue().value_or(std::string());
    } else if (key == kCDVInstanceIDCheckinVersionInfoKey) {
      versionInfo_ = value.stringValue().value_or(std::string());
    } else if (key == kCDVInstanceIDCheckinDeviceDataVersionKey) {
      deviceDataVersion_ = value.stringValue().value_or(std::string());
    } else if (key == kCDVInstanceIDCheckinLastTimestampKey) {
      lastCheckinTimestampMillis_ = value.int64Value().value_or(0);
    } else if (key == kCDVInstanceIDCheckinGServicesDataKey) {
      const platform::Dictionary* services = value.dictionaryPtr();
      gServicesData_ = services ? *services : platform::Dictionary();
    }
  }
}

void CDVInstanceIDCheckinPreferences::reset() {
  std::lock_guard lock(mutex_);
  deviceID_.clear();
  secretToken_.clear();
  digest_.clear();
  versionInfo_.clear();
  deviceDataVersion_.clear();
  lastCheckinTimestampMillis_ = 0;
  gServicesData_.clear();
}

std::optional<std::string> CDVInstanceIDCheckinPreferences::checkinKeychainContent(const std::string& content,
                                                                                  std::size_t index) {
  std::size_t bar = content.find('|');
  if (bar == std::string::npos || content.find('|', bar + 1) != std::string::npos) return std::nullopt;
  return index == 0 ? content.substr(0, bar) : content.substr(bar + 1);
}

std::optional<std::string> CDVInstanceIDCheckinPreferences::checkinDeviceIDFromKeychainContent(const std::string& content) {
  return checkinKeychainContent(content, 0);
}

std::optional<std::string> CDVInstanceIDCheckinPreferences::checkinSecretFromKeychainContent(const std::string& content) {
  return checkinKeychainContent(content, 1);
}

CDVInstanceIDCheckinPreferencesPtr CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents(
    const std::string& content) {
  std::optional<std::string> deviceID = checkinDeviceIDFromKeychainContent(content);
  std::optional<std::string> secret = checkinSecretFromKeychainContent(content);
  if (!deviceID || !secret || deviceID->empty() || secret->empty()) return nullptr;
  return std::make_shared<CDVInstanceIDCheckinPreferences>(*deviceID, *secret);
}
