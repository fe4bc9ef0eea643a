// The token store and the check-in store behind one object, and the detection of a reinstall:
// the keychain outlives an uninstall, the check-in property list does not, so credentials in the
// keychain without the property list belong to an earlier installation. They are removed, and
// the delegate is asked to delete that installation's server registrations.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "InstanceID/CDVInstanceIDCheckinStore.h"
#include "InstanceID/CDVInstanceIDTokenStore.h"

class CDVInstanceIDStore;

class CDVInstanceIDStoreDelegate {
 public:
  virtual ~CDVInstanceIDStoreDelegate() = default;
  // The credentials of an earlier installation were removed; they are handed over once more.
  virtual void storeDidDeleteJXQScopedTokensForCheckin(CDVInstanceIDStore& store,
                                                       const CDVInstanceIDCheckinPreferencesPtr& preferences) = 0;
};

class CDVInstanceIDStore {
 public:
  using Handler = CDVInstanceIDKeychain::Handler;

  // Check-in store over "o-checkin" in the instance identity's subdirectory, the default token
  // store; the reinstall check runs at once.
  explicit CDVInstanceIDStore(std::weak_ptr<CDVInstanceIDStoreDelegate> delegate);
  CDVInstanceIDStore(std::shared_ptr<CDVInstanceIDCheckinStore> checkinStore,
                     std::shared_ptr<CDVInstanceIDTokenStore> tokenStore,
                     std::weak_ptr<CDVInstanceIDStoreDelegate> delegate);

  // Token side; an empty entity or scope reads nothing and removes nothing.
  CDVInstanceIDTokenInfoPtr tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope);
  std::vector<CDVInstanceIDTokenInfoPtr> cachedTokenInfos();
  void saveTokenInfo(const CDVInstanceIDTokenInfoPtr& tokenInfo, Handler handler);
  void removeCachedTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope);
  void removeAllCachedTokensWithHandler(Handler handler);

  // Check-in side, forwarded to the check-in store.
  void saveCheckinPreferences(const CDVInstanceIDCheckinPreferencesPtr& preferences, Handler handler);
  CDVInstanceIDCheckinPreferencesPtr cachedCheckinPreferences();
  void removeCheckinPreferencesWithHandler(Handler handler);

  // Application Support of the user domain, and subdirectories of it.
  static std::string supportedDirectory();
  static std::string pathForSupportSubDirectory(const std::string& subDirectoryName);
  // YES when the directory is there or was made (with intermediate directories); one an
  // earlier version left open to group or others is closed. NO (`error` saying why) for a file
  // in its place or a way there that is refused.
  static bool createSubDirectory(const std::string& subDirectoryName, platform::Error* error = nullptr);
  static bool removeSubDirectory(const std::string& subDirectoryName, platform::Error* error = nullptr);

  const std::shared_ptr<CDVInstanceIDCheckinStore>& checkinStore() const { return checkinStore_; }
  const std::shared_ptr<CDVInstanceIDTokenStore>& tokenStore() const { return tokenStore_; }

 private:
  void resetCredentialsIfNeeded();

  std::shared_ptr<CDVInstanceIDCheckinStore> checkinStore_;
  std::shared_ptr<CDVInstanceIDTokenStore> tokenStore_;
  std::weak_ptr<CDVInstanceIDStoreDelegate> delegate_;
  // Lets a removal that finishes after the store is gone find out.
  std::shared_ptr<CDVInstanceIDStore*> self_ = std::make_shared<CDVInstanceIDStore*>(this);
};
