// Owner of the installation's key pair: names its keychain items by tag, records its creation
// time in a property-list file, loads it or makes a new one, moves a pair stored under the older
// tags to the current ones, deletes pairs, and tells whether the stored pairs must go because the
// app was installed afresh (the keychain outlives an uninstall, the property list does not).
//
// Loading is serialised by the store's lock; keychain work runs on the keychain queue and
// handlers on the main queue. Once three loads met the keychain's missing-entitlement status,
// loading stops asking the keychain for the life of the object.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "InstanceID/CDVInstanceIDBackupExcludedPlist.h"
#include "InstanceID/CDVInstanceIDKeyPair.h"
#include "InstanceID/CDVInstanceIDKeychain.h"

inline constexpr const char* kCDVInstanceIDKeyPairStoreFileName = "com.ombrix.iid-keypair";
// The keychain status of an app that may not use the keychain.
inline constexpr std::int64_t kCDVInstanceIDSecMissingEntitlementErrorCode = -34018;

class CDVInstanceIDKeyPairStore {
 public:
  using Handler = CDVInstanceIDKeychain::Handler;
  using KeyPairPtr = std::shared_ptr<CDVInstanceIDKeyPair>;

  CDVInstanceIDKeyPairStore();

  KeyPairPtr loadKeyPairWithError(platform::Error* error = nullptr);
  std::optional<std::string> appIdentityWithError(platform::Error* error = nullptr);
  // True when no key-pair property list exists (a fresh install): the stored pairs are then
  // deleted. Otherwise a pair under the legacy tags is moved to the current ones.
  bool invalidateKeyPairsIfNeeded();
  bool hasCachedKeyPairs();
  void migrateKeyPairCacheIfNeededWithHandler(Handler handler);
  void deleteSavedKeyPairWithSubtype(const std::string& subtype, Handler handler);
  bool removeKeyPairCreationTimePlistWithError(platform::Error* error = nullptr);
  KeyPairPtr generateAndSaveKeyWithSubtype(const std::string& subtype, std::int64_t creationTime,
                                           platform::Error* error = nullptr);
  KeyPairPtr validCachedKeyPairWithSubtype(const std::string& subtype, platform::Error* error = nullptr);
  KeyPairPtr cachedKeyPairWithSubtype(const std::string& subtype, platform::Error* error = nullptr);

  static KeyPairPtr keyPairForPrivateKeyTag(const std::string& privateTag, const std::string& publicTag,
                                            platform::Error* error = nullptr);
  static void deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                          Handler handler);
  void updateKeyRef(const SecKeyRef& keyRef, const std::string& tag, Handler handler);

  // The pair held in memory.
  KeyPairPtr keyPair() const;
  int keychainEntitlementsErrorCount() const;
  CDVInstanceIDBackupExcludedPlist& plist() { return *plist_; }

 private:
  void setKeyPair(KeyPairPtr keyPair);

  std::unique_ptr<CDVInstanceIDBackupExcludedPlist> plist_;
  std::mutex loadMutex_;
  mutable std::mutex stateMutex_;
  KeyPairPtr keyPair_;
  int keychainEntitlementsErrorCount_ = 0;
};
