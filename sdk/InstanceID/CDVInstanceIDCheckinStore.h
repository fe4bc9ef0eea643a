// Where the check-in record is kept: device id and secret token as one keychain item (service
// "com.ombrix.iid.checkin", account = the bundle identifier), the rest in a backup-excluded
// property list. Older versions kept the credentials in another keychain item and in a six-entry
// property list; both are still read.
#pragma once

#include <memory>
#include <string>

#include "InstanceID/CDVInstanceIDAuthKeychain.h"
#include "InstanceID/CDVInstanceIDBackupExcludedPlist.h"
#include "InstanceID/CDVInstanceIDCheckinPreferences.h"

inline constexpr const char* kCDVInstanceIDCheckinKeychainGeneric = "com.ombrix.iid";
inline constexpr const char* kCDVInstanceIDCheckinKeychainService = "com.ombrix.iid.checkin";
inline constexpr const char* kCDVInstanceIDLegacyCheckinKeychainService = "com.ombrix.iid.checkin-service";
inline constexpr const char* kCDVInstanceIDLegacyCheckinKeychainAccount = "com.ombrix.iid.checkin-account";
inline constexpr const char* kCDVInstanceIDCheckinFileName = "o-checkin";

class CDVInstanceIDCheckinStore {
 public:
  using Handler = CDVInstanceIDKeychain::Handler;

  // The property list "<fileName>.plist" in the Application Support subdirectory and the keychain
  // items of the generic identifier "com.ombrix.iid".
  CDVInstanceIDCheckinStore(const std::string& checkinPlistFileName, const std::string& subDirectoryName);
  CDVInstanceIDCheckinStore(std::shared_ptr<CDVInstanceIDBackupExcludedPlist> plist,
                            std::shared_ptr<CDVInstanceIDAuthKeychain> keychain);

  bool hasCheckinPlist() const;
  // Writes the property list, then (unless the credentials were already held) the keychain item.
  // A failed property-list write also removes the keychain credentials.
  void saveCheckinPreferences(const CDVInstanceIDCheckinPreferencesPtr& preferences, Handler handler);
  void removeCheckinPreferencesWithHandler(Handler handler);
  CDVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences();
  // Moves the legacy keychain item's data to the current item.
  void migrateCheckinItemIfNeeded();

  // The bundle identifier, fetched once per process.
  static std::string bundleIdentifierForKeychainAccount();

  CDVInstanceIDBackupExcludedPlist& plist() { return *plist_; }
  CDVInstanceIDAuthKeychain& keychain() { return *keychain_; }

 private:
  std::shared_ptr<CDVInstanceIDBackupExcludedPlist> plist_;
  std::shared_ptr<CDVInstanceIDAuthKeychain> keychain_;
};
