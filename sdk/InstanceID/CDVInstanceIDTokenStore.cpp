#include "InstanceID/CDVInstanceIDTokenStore.h"

#include "InstanceID/CDVInstanceIDCheckinStore.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "dispatch/Clock.h"

std::shared_ptr<CDVInstanceIDTokenStore> CDVInstanceIDTokenStore::defaultStore() {
  return std::make_shared<CDVInstanceIDTokenStore>(std::make_shared<CDVInstanceIDAuthKeychain>(kCDVInstanceIDTokenKeychainId));
}

CDVInstanceIDTokenStore::CDVInstanceIDTokenStore(std::shared_ptr<CDVInstanceIDAuthKeychain> keychain)
    : keychain_(std::move(keychain)) {}

std::string CDVInstanceIDTokenStore::serviceKeyForAuthorizedEntity(const std::string& authorizedEntity,
                                                                   const std::string& scope) {
  return authorizedEntity + ":" + scope;
}

CDVInstanceIDTokenInfoPtr CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(const platform::Bytes& item) {
  bool unreadable = false;
  CDVInstanceIDTokenInfoPtr info = CDVInstanceIDTokenInfo::unarchive(item, &unreadable);
  if (unreadable) {
    CDVInstanceIDLoggerDebug(15015, "Unable to parse token info from Keychain item; item was in an invalid format");
  }
  return info;
}

CDVInstanceIDTokenInfoPtr CDVInstanceIDTokenStore::tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                                  const std::string& scope) {
  std::optional<platform::Bytes> item =
      keychain_->dataForService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount());
  if (!item || item->empty()) return nullptr;
  return tokenInfoFromKeychainItem(*item);
}

std::vector<CDVInstanceIDTokenInfoPtr> CDVInstanceIDTokenStore::cachedTokenInfos() {
  std::vector<CDVInstanceIDTokenInfoPtr> infos;
  for (const platform::Bytes& item : keychain_->itemsMatchingService(
           kCDVInstanceIDKeychainWildcardIdentifier, CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount())) {
    if (CDVInstanceIDTokenInfoPtr info = tokenInfoFromKeychainItem(item)) infos.push_back(std::move(info));
  }
  return infos;
}

void CDVInstanceIDTokenStore::saveTokenInfo(const CDVInstanceIDTokenInfoPtr& tokenInfo, Handler handler) {
  tokenInfo->setCacheTime(platform::Clock::current()->now());
  keychain_->setData(tokenInfo->archive(),
                     serviceKeyForAuthorizedEntity(tokenInfo->authorizedEntity(), tokenInfo->scope()), std::nullopt,
                     CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount(), std::move(handler));
}

void CDVInstanceIDTokenStore::removeTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                              const std::string& scope) {
  keychain_->removeItemsMatchingService(serviceKeyForAuthorizedEntity(authorizedEntity, scope),
                                        CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount(), nullptr);
}

void CDVInstanceIDTokenStore::removeAllTokensWithHandler(Handler handler) {
  keychain_->removeItemsMatchingService(kCDVInstanceIDKeychainWildcardIdentifier,
                                        CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount(),
                                        std::move(handler));
}
