// Cached token records in the keychain: one generic-password item per (authorized entity, scope),
// service "<entity>:<scope>", account = the bundle identifier, data = the record's archive.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "InstanceID/CDVInstanceIDAuthKeychain.h"
#include "InstanceID/CDVInstanceIDTokenInfo.h"

inline constexpr const char* kCDVInstanceIDTokenKeychainId = "com.ombrix.iid-tokens";

class CDVInstanceIDTokenStore {
 public:
  using Handler = CDVInstanceIDKeychain::Handler;

  // Over the keychain items of the identifier "com.ombrix.iid-tokens".
  static std::shared_ptr<CDVInstanceIDTokenStore> defaultStore();
  explicit CDVInstanceIDTokenStore(std::shared_ptr<CDVInstanceIDAuthKeychain> keychain);

  CDVInstanceIDTokenInfoPtr tokenInfoWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope);
  // Every readable record of the account.
  std::vector<CDVInstanceIDTokenInfoPtr> cachedTokenInfos();
  // Stamps the record's cache time with now, then writes it.
  void saveTokenInfo(const CDVInstanceIDTokenInfoPtr& tokenInfo, Handler handler);
  void removeTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope);
  void removeAllTokensWithHandler(Handler handler);

  // Nothing (after a debug line) for data that is no record archive.
  static CDVInstanceIDTokenInfoPtr tokenInfoFromKeychainItem(const platform::Bytes& item);
  static std::string serviceKeyForAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope);

  CDVInstanceIDAuthKeychain& keychain() { return *keychain_; }

 private:
  std::shared_ptr<CDVInstanceIDAuthKeychain> keychain_;
};
