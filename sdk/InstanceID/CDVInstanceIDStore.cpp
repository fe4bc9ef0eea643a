#include "InstanceID/CDVInstanceIDStore.h"

#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"

CDVInstanceIDStore::CDVInstanceIDStore(std::weak_ptr<CDVInstanceIDStoreDelegate> delegate)
    : CDVInstanceIDStore(std::make_shared<CDVInstanceIDCheckinStore>(kCDVInstanceIDCheckinFileName,
                                                                     kCDVInstanceIDSubDirectoryName),
                         CDVInstanceIDTokenStore::defaultStore(), std::move(delegate)) {}

CDVInstanceIDStore::CDVInstanceIDStore(std::shared_ptr<CDVInstanceIDCheckinStore> checkinStore,
                                       std::shared_ptr<CDVInstanceIDTokenStore> tokenStore,
                                       std::weak_ptr<CDVInstanceIDStoreDelegate> delegate)
    : checkinStore_(std::move(checkinStore)), tokenStore_(std::move(tokenStore)), delegate_(std::move(delegate)) {
  resetCredentialsIfNeeded();
}

void CDVInstanceIDStore::resetCredentialsIfNeeded() {
  if (checkinStore_->hasCheckinPlist()) {
    checkinStore_->migrateCheckinItemIfNeeded();
    return;
  }
  CDVInstanceIDCheckinPreferencesPtr old = checkinStore_->cachedCheckinPreferences();
  if (!old) return;
  std::weak_ptr<CDVInstanceIDStore*> weakSelf = self_;
  std::weak_ptr<CDVInstanceIDStoreDelegate> delegate = delegate_;
  checkinStore_->removeCheckinPreferencesWithHandler([weakSelf, delegate, old](std::optional<platform::Error> error) {
    if (error) {
      CDVInstanceIDLoggerError(13003, "Couldn't remove cached checkin preferences for a fresh install. Error: %@",
                               error->fullDescription());
    } else {
      CDVInstanceIDLoggerDebug(13002, "Removed cached checkin preferences from Keychain because this is a fresh install.");
    }
    if (!old->deviceID().empty() && !old->secretToken().empty()) {
      CDVInstanceIDLoggerDebug(13006, "App reset detected. Will delete server registrations.");
      std::shared_ptr<CDVInstanceIDStore*> self = weakSelf.lock();
      std::shared_ptr<CDVInstanceIDStoreDelegate> target = delegate.lock();
      if (self && target) target->storeDidDeleteJXQScopedTokensForCheckin(**self, old);
    } else {
      CDVInstanceIDLoggerDebug(
          13009, "App reset detected but no valid checkin auth preferences found. Will not delete server registrations.");
    }
  });
}

CDVInstanceIDTokenInfoPtr CDVInstanceIDStore::tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                             const std::string& scope) {
  if (authorizedEntity.empty() || scope.empty()) return nullptr;
  return tokenStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope);
}

std::vector<CDVInstanceIDTokenInfoPtr> CDVInstanceIDStore::cachedTokenInfos() { return tokenStore_->cachedTokenInfos(); }

void CDVInstanceIDStore::saveTokenInfo(const CDVInstanceIDTokenInfoPtr& tokenInfo, Handler handler) {
  tokenStore_->saveTokenInfo(tokenInfo, std::move(handler));
}

void CDVInstanceIDStore::removeCachedTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                               const std::string& scope) {
  if (authorizedEntity.empty() || scope.empty()) {
    CDVInstanceIDLoggerError(13012, "Will not delete token with invalid entity: %@, scope: %@", authorizedEntity, scope);
    return;
  }
  tokenStore_->removeTokenWithAuthorizedEntity(authorizedEntity, scope);
}

void CDVInstanceIDStore::removeAllCachedTokensWithHandler(Handler handler) {
  tokenStore_->removeAllTokensWithHandler(std::move(handler));
}

void CDVInstanceIDStore::saveCheckinPreferences(const CDVInstanceIDCheckinPreferencesPtr& preferences, Handler handler) {
  checkinStore_->saveCheckinPreferences(preferences, std::move(handler));
}

CDVInstanceIDCheckinPreferencesPtr CDVInstanceIDStore::cachedCheckinPreferences() {
  return checkinStore_->cachedCheckinPreferences();
}

void CDVInstanceIDStore::removeCheckinPreferencesWithHandler(Handler handler) {
  checkinStore_->removeCheckinPreferencesWithHandler([handler = std::move(handler)](std::optional<platform::Error> error) {
    if (handler) handler(std::move(error));
  });
}

std::string CDVInstanceIDStore::supportedDirectory() { return platform::sandbox::applicationSupportDirectory(); }

std::string CDVInstanceIDStore::pathForSupportSubDirectory(const std::string& subDirectoryName) {
  return platform::files::join(supportedDirectory(), subDirectoryName);
}

bool CDVInstanceIDStore::createSubDirectory(const std::string& subDirectoryName, platform::Error* error) {
  const std::string path = pathForSupportSubDirectory(subDirectoryName);
  if (platform::files::exists(path) && !platform::files::isDirectory(path)) {
    CDVInstanceIDLoggerError(13001, "Found file instead of directory at %@", path);
    return platform::setError(error, platform::files::kCocoaErrorDomain, 516,
                              "Found file instead of directory at \"" + path + "\"");
  }
  platform::Error made;
  if (!platform::files::createOwnDirectories(supportedDirectory(), subDirectoryName, &made)) {
    CDVInstanceIDLoggerError(13000, "Cannot create directory %@, error: %@", path, made.fullDescription());
    return platform::setError(error, std::move(made));
  }
  return true;
}

bool CDVInstanceIDStore::removeSubDirectory(const std::string& subDirectoryName, platform::Error* error) {
  const std::string path = pathForSupportSubDirectory(subDirectoryName);
  if (!platform::files::isDirectory(path)) return true;
  return platform::files::removeItem(path, error);
}
