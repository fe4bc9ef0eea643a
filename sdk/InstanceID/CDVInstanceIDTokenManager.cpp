#include "InstanceID/CDVInstanceIDTokenManager.h"

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"

namespace {

struct TestingSlot {
  std::mutex mutex;
  std::shared_ptr<platform::Queue> operationQueue;
  std::shared_ptr<CDVInstanceIDCheckinService> checkinService;
};

TestingSlot& testingSlot() {
  static TestingSlot* slot = new TestingSlot();  // never destroyed
  return *slot;
}

platform::Error cancelledError() {
  return errorWithCDVInstanceIDErrorCode(
      kCDVInstanceIDErrorCodeOperationCancelled,
      platform::Value(platform::Dictionary{{"msg", "The token operation was cancelled."}}));
}

}  // namespace

void CDVInstanceIDTokenManager::setOperationQueueForTesting(std::shared_ptr<platform::Queue> queue) {
  std::lock_guard lock(testingSlot().mutex);
  testingSlot().operationQueue = std::move(queue);
}

void CDVInstanceIDTokenManager::setCheckinServiceForTesting(std::shared_ptr<CDVInstanceIDCheckinService> service) {
  std::lock_guard lock(testingSlot().mutex);
  testingSlot().checkinService = std::move(service);
}

std::shared_ptr<CDVInstanceIDTokenManager> CDVInstanceIDTokenManager::create() {
  std::shared_ptr<CDVInstanceIDTokenManager> manager(new CDVInstanceIDTokenManager());
  // The queue exists before the store's reinstall check can hand it a delete.
  manager->configureTokenOperations();
  manager->instanceIDStore_ = std::make_shared<CDVInstanceIDStore>(std::weak_ptr<CDVInstanceIDStoreDelegate>(manager));
  std::shared_ptr<CDVInstanceIDCheckinService> service;
  {
    std::lock_guard lock(testingSlot().mutex);
    service = testingSlot().checkinService;
  }
  manager->authService_ =
      service ? CDVInstanceIDAuthService::initWithCheckinService(service, manager->instanceIDStore_->checkinStore())
              : CDVInstanceIDAuthService::initWithStore(manager->instanceIDStore_->checkinStore());
  return manager;
}

CDVInstanceIDTokenManager::~CDVInstanceIDTokenManager() { stopAllTokenOperations(); }

void CDVInstanceIDTokenManager::configureTokenOperations() {
  std::shared_ptr<platform::Queue> queue;
  {
    std::lock_guard lock(testingSlot().mutex);
    queue = testingSlot().operationQueue;
  }
  tokenOperations_ = CDVInstanceIDTokenOperationQueue::create(kCDVInstanceIDTokenOperationsQueueName, std::move(queue));
}

CDVInstanceIDAPNSInfoPtr CDVInstanceIDTokenManager::currentAPNSInfo() const {
  std::lock_guard lock(mutex_);
  return currentAPNSInfo_;
}

void CDVInstanceIDTokenManager::fetchNewTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                  const std::string& scope,
                                                                  std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
                                                                  const platform::Dictionary& options,
                                                                  TokenHandler handler) {
  CDVInstanceIDLoggerDebug(14000, "Fetch new token for authorizedEntity: %@, scope: %@", authorizedEntity, scope);
  auto operation = CDVInstanceIDTokenFetchOperation::initWithAuthorizedEntity(
      authorizedEntity, scope, options, authService_->checkinPreferences(), std::move(keyPair));
  std::shared_ptr<CDVInstanceIDStore> store = instanceIDStore_;
  operation->addCompletionHandler([store, authorizedEntity, scope, options, handler](
                                      CDVInstanceIDTokenOperationResult result, std::optional<std::string> token,
                                      std::optional<platform::Error> error) {
    CDVInstanceIDOnMain([store, authorizedEntity, scope, options, handler, result, token, error] {
      auto answer = [handler](std::optional<std::string> value, std::optional<platform::Error> failure) {
        if (handler) handler(std::move(value), std::move(failure));
      };
      if (error) return answer(std::nullopt, error);
      // A cancelled fetch brings no token: the caller hears of it and the cache stays as it was.
      if (result == CDVInstanceIDTokenOperationCancelled || !token) return answer(std::nullopt, cancelledError());
      const platform::Value& appID = options.get(kCDVInstanceIDTokenOptionsCindervaleAppIDKey);
      auto info = std::make_shared<CDVInstanceIDTokenInfo>(authorizedEntity, scope, *token,
                                                           CDVInstanceIDCurrentAppVersion(), appID.stringValue());
      info->setAPNSInfo(CDVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(options));
      store->saveTokenInfo(info, [answer, token, authorizedEntity, scope](std::optional<platform::Error> saveError) {
        if (saveError) return answer(std::nullopt, saveError);
        CDVInstanceIDLoggerDebug(14001, "Token fetch successful, token: %@, authorizedEntity: %@, scope:%@", *token,
                                 authorizedEntity, scope);
        answer(token, std::nullopt);
      });
    });
  });
  tokenOperations_->addOperation(operation);
}

CDVInstanceIDTokenInfoPtr CDVInstanceIDTokenManager::cachedTokenInfoWithAuthorizedEntity(
    const std::string& authorizedEntity, const std::string& scope) {
  return instanceIDStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope);
}

namespace {

// A delete's outcome for its handler: a cancelled delete is no success.
void answerDelete(const CDVInstanceIDTokenManager::ErrorHandler& handler, CDVInstanceIDTokenOperationResult result,
                  std::optional<platform::Error> error) {
  if (!error && result == CDVInstanceIDTokenOperationCancelled) error = cancelledError();
  CDVInstanceIDOnMain([handler, error] { handler(error); });
}

}  // namespace

void CDVInstanceIDTokenManager::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity,
                                                                const std::string& scope,
                                                                std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
                                                                ErrorHandler handler) {
  if (instanceIDStore_->tokenInfoWithAuthorizedEntity(authorizedEntity, scope)) {
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(authorizedEntity, scope);
  }
  auto operation = CDVInstanceIDTokenDeleteOperation::initWithAuthorizedEntity(
      authorizedEntity, scope, authService_->checkinPreferences(), std::move(keyPair), CDVInstanceIDTokenActionDelete);
  if (handler) {
    operation->addCompletionHandler(
        [handler](CDVInstanceIDTokenOperationResult result, std::optional<std::string>,
                  std::optional<platform::Error> error) { answerDelete(handler, result, std::move(error)); });
  }
  tokenOperations_->addOperation(operation);
}

void CDVInstanceIDTokenManager::deleteAllTokensWithKeyPair(std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
                                                           ErrorHandler handler) {
  CDVInstanceIDCheckinPreferencesPtr checkin = authService_->checkinPreferences();
  if (!checkin || !checkin->hasCheckinInfo()) {
    if (handler) CDVInstanceIDOnMain([handler] { handler(std::nullopt); });
    return;
  }
  auto operation = CDVInstanceIDTokenDeleteOperation::initWithAuthorizedEntity(
      std::string(kCDVInstanceIDKeychainWildcardIdentifier), std::string(kCDVInstanceIDKeychainWildcardIdentifier),
      checkin, std::move(keyPair), CDVInstanceIDTokenActionDeleteAll);
  if (handler) {
    operation->addCompletionHandler(
        [handler](CDVInstanceIDTokenOperationResult result, std::optional<std::string>,
                  std::optional<platform::Error> error) { answerDelete(handler, result, std::move(error)); });
  }
  tokenOperations_->addOperation(operation);
}

void CDVInstanceIDTokenManager::deleteAllTokensLocallyWithHandler(ErrorHandler handler) {
  instanceIDStore_->removeAllCachedTokensWithHandler([handler](std::optional<platform::Error> error) {
    if (handler) handler(std::move(error));
  });
}

void CDVInstanceIDTokenManager::stopAllTokenOperations() {
  if (authService_) authService_->stopCheckinRequest();
  if (tokenOperations_) tokenOperations_->cancelAllOperations();
}

void CDVInstanceIDTokenManager::storeDidDeleteJXQScopedTokensForCheckin(
    CDVInstanceIDStore&, const CDVInstanceIDCheckinPreferencesPtr& preferences) {
  auto operation = CDVInstanceIDTokenDeleteOperation::initWithAuthorizedEntity(std::nullopt, std::nullopt, preferences,
                                                                               nullptr, CDVInstanceIDTokenActionDelete);
  operation->addCompletionHandler(
      [](CDVInstanceIDTokenOperationResult, std::optional<std::string>, std::optional<platform::Error> error) {
        if (error) {
          CDVInstanceIDLoggerDebug(14006, "Failed to delete WRQ server registrations on app reset.");
        } else {
          CDVInstanceIDLoggerDebug(14007, "Successfully deleted WRQ server registrations on app reset");
        }
      });
  tokenOperations_->addOperation(operation);
}

bool CDVInstanceIDTokenManager::checkForTokenRefreshPolicy() {
  bool defaultTokenStale = false;
  std::vector<CDVInstanceIDTokenInfoPtr> stale;
  for (const CDVInstanceIDTokenInfoPtr& info : instanceIDStore_->cachedTokenInfos()) {
    if (info->isFresh()) continue;
    CDVInstanceIDLoggerDebug(14012, "Invalidating cached token for %@ (%@) due to token is no longer fresh.",
                             info->authorizedEntity(), info->scope());
    if (info->scope() == kCDVInstanceIDDefaultTokenScope) {
      defaultTokenStale = true;
    } else {
      stale.push_back(info);
    }
  }
  for (const CDVInstanceIDTokenInfoPtr& info : stale) {
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(info->authorizedEntity(), info->scope());
  }
  return defaultTokenStale;
}

std::vector<CDVInstanceIDTokenInfoPtr> CDVInstanceIDTokenManager::updateTokensToAPNSDeviceToken(
    const platform::Bytes& deviceToken, bool isSandbox) {
  auto info = std::make_shared<const CDVInstanceIDAPNSInfo>(deviceToken, isSandbox);
  {
    std::lock_guard lock(mutex_);
    if (info->isEqualToAPNSInfo(currentAPNSInfo_.get())) return {};
    currentAPNSInfo_ = info;
  }
  std::vector<CDVInstanceIDTokenInfoPtr> outdated;
  for (const CDVInstanceIDTokenInfoPtr& cached : instanceIDStore_->cachedTokenInfos()) {
    CDVInstanceIDAPNSInfoPtr cachedAPNS = cached->APNSInfo();
    if (cachedAPNS && cachedAPNS->isEqualToAPNSInfo(info.get())) continue;
    CDVInstanceIDLoggerDebug(14011, "Invalidating cached token for %@ (%@) due to APNs token change.",
                             cached->authorizedEntity(), cached->scope());
    instanceIDStore_->removeCachedTokenWithAuthorizedEntity(cached->authorizedEntity(), cached->scope());
    outdated.push_back(cached);
  }
  return outdated;
}
