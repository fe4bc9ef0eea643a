// Owner of the token operations: runs them one at a time on the queue
// "com.ombrix.iid-token-operations", caches what a fetch brings back, removes cached tokens that
// are no longer fresh or were made for another APNS token, and deletes the server registrations
// of an earlier installation. Every handler given to the manager is called on the main queue.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "InstanceID/CDVInstanceIDAuthService.h"
#include "InstanceID/CDVInstanceIDStore.h"
#include "InstanceID/CDVInstanceIDTokenOperation.h"

inline constexpr const char* kCDVInstanceIDTokenOperationsQueueName = "com.ombrix.iid-token-operations";
// The scope of the default token.
inline constexpr const char* kCDVInstanceIDDefaultTokenScope = "*";

class CDVInstanceIDTokenManager : public CDVInstanceIDStoreDelegate,
                                  public std::enable_shared_from_this<CDVInstanceIDTokenManager> {
 public:
  using TokenHandler = std::function<void(std::optional<std::string> token, std::optional<platform::Error> error)>;
  using ErrorHandler = std::function<void(std::optional<platform::Error> error)>;

  // The operation queue first, then the store (whose reinstall check may queue a delete), then
  // the check-in scheduler over the store's check-in side.
  static std::shared_ptr<CDVInstanceIDTokenManager> create();
  ~CDVInstanceIDTokenManager() override;

  void fetchNewTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                         std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
                                         const platform::Dictionary& options, TokenHandler handler);
  CDVInstanceIDTokenInfoPtr cachedTokenInfoWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                const std::string& scope);
  void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                       std::shared_ptr<CDVInstanceIDKeyPair> keyPair, ErrorHandler handler);
  void deleteAllTokensWithKeyPair(std::shared_ptr<CDVInstanceIDKeyPair> keyPair, ErrorHandler handler);
  void deleteAllTokensLocallyWithHandler(ErrorHandler handler);
  void stopAllTokenOperations();
  // Removes stale cached tokens except the default one; true when the default one is stale.
  bool checkForTokenRefreshPolicy();
  // The cached records made for another APNS token, removed from the cache.
  std::vector<CDVInstanceIDTokenInfoPtr> updateTokensToAPNSDeviceToken(const platform::Bytes& deviceToken, bool isSandbox);

  void storeDidDeleteJXQScopedTokensForCheckin(CDVInstanceIDStore& store,
                                               const CDVInstanceIDCheckinPreferencesPtr& preferences) override;

  const std::shared_ptr<CDVInstanceIDStore>& instanceIDStore() const { return instanceIDStore_; }
  const std::shared_ptr<CDVInstanceIDAuthService>& authService() const { return authService_; }
  const std::shared_ptr<CDVInstanceIDTokenOperationQueue>& tokenOperations() const { return tokenOperations_; }
  CDVInstanceIDAPNSInfoPtr currentAPNSInfo() const;

  // Tests: the dispatch queue on which operations of managers made afterwards start (null: a
  // serial queue of their own), and a check-in service of their own.
  static void setOperationQueueForTesting(std::shared_ptr<platform::Queue> queue);
  static void setCheckinServiceForTesting(std::shared_ptr<CDVInstanceIDCheckinService> service);

 private:
  CDVInstanceIDTokenManager() = default;
  void configureTokenOperations();

  std::shared_ptr<CDVInstanceIDTokenOperationQueue> tokenOperations_;
  std::shared_ptr<CDVInstanceIDStore> instanceIDStore_;
  std::shared_ptr<CDVInstanceIDAuthService> authService_;
  mutable std::mutex mutex_;
  CDVInstanceIDAPNSInfoPtr currentAPNSInfo_;
};
