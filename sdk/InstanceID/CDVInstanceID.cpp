#include "InstanceID/CDVInstanceID.h"

#include <algorithm>
#include <cmath>

#include "Core/Private/CDVCopies.h"
#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVComponentContainer.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "foundation/Bundle.h"
#include "foundation/ClassRegistry.h"
#include "foundation/Exception.h"
#include "foundation/Files.h"
#include "foundation/NotificationQueue.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"
#include "obx/OBXAppEnvironmentUtil.h"

namespace {

std::mutex& testInstanceMutex() {
  static std::mutex* mutex = new std::mutex();  // never destroyed
  return *mutex;
}
std::shared_ptr<CDVInstanceID>& testInstance() {
  static auto* instance = new std::shared_ptr<CDVInstanceID>();  // never destroyed
  return *instance;
}

std::shared_ptr<platform::Queue>& testWorkQueue() {
  static auto* queue = new std::shared_ptr<platform::Queue>();  // never destroyed
  return *queue;
}

platform::Value underlyingErrorInfo(const platform::Error& error) {
  return platform::Value(
      platform::Dictionary{{kCDVInstanceIDUnderlyingErrorKey, platform::Value::object(std::make_shared<platform::Error>(error))}});
}

}  // namespace

// ---- combined handler ----

void CDVInstanceIDCombinedHandler::addHandler(Handler handler) {
  if (!handler) return;
  std::lock_guard lock(mutex_);
  handlers_.push_back(std::move(handler));
}

CDVInstanceIDCombinedHandler::Handler CDVInstanceIDCombinedHandler::combinedHandler() const {
  std::vector<Handler> snapshot;
  {
    std::lock_guard lock(mutex_);
    snapshot = handlers_;
  }
  return [snapshot](std::optional<std::string> token, std::optional<platform::Error> error) {
    for (const Handler& handler : snapshot) handler(token, error);
  };
}

// ---- registration and creation ----

CDVProtocol CDVInstanceIDInstanceProvider() {
  return CDVProtocol::of<CDVInstanceID>(kCDVInstanceIDInstanceProviderProtocolName);
}

std::vector<std::shared_ptr<CDVComponent>> CDVInstanceIDLibrary::componentsToRegister() const {
  return {CDVComponent::componentWithProtocol(CDVInstanceIDInstanceProvider(), CDVInstantiationLazy, {},
                                              [](CDVComponentContainer&, bool* isCacheable) -> CDVInstance {
                                                *isCacheable = true;
                                                std::shared_ptr<CDVInstanceID> instance = CDVInstanceID::initPrivately();
                                                instance->start();
                                                return instance;
                                              })};
}

void CDVInstanceIDLibrary::configureWithApp(const std::shared_ptr<CDVApp>& app) const {
  if (!app) return;
  if (!app->isDefaultApp()) {
    CDVInstanceIDLoggerDebug(1002, "Cindervale Instance ID only works with the default app.");
    return;
  }
  if (std::shared_ptr<CDVInstanceID> instance = CDVInstanceID::instanceID()) {
    instance->configureInstanceIDWithOptions(*app->options(), app);
  }
}

void CDVInstanceIDRegisterLibrary() {
  auto library = std::make_shared<CDVInstanceIDLibrary>();
  platform::ClassRegistry::registerClass(library);
  CDVApp::registerInternalLibrary(library, kCDVInstanceIDLibraryName, CDVInstanceIDCurrentLibraryVersion());
}

std::shared_ptr<CDVInstanceID> CDVInstanceID::instanceID() {
  // In a forked child, an instance that never starts (every call answers as before a start), made
  // without the app's container, whose locks the parent's threads may have held at the fork.
  if (refusedHere(__func__)) return initPrivately();
  {
    std::lock_guard lock(testInstanceMutex());
    if (testInstance()) return testInstance();
  }
  std::shared_ptr<CDVApp> app = CDVApp::defaultApp();
  if (!app || !app->container()) return nullptr;
  return app->container()->instanceForProtocol<CDVInstanceID>(CDVInstanceIDInstanceProvider());
}

std::shared_ptr<CDVInstanceID> CDVInstanceID::instanceIDForTests() {
  std::shared_ptr<CDVInstanceID> instance = initPrivately();
  instance->start();
  std::lock_guard lock(testInstanceMutex());
  testInstance() = instance;
  return instance;
}

void CDVInstanceID::clearInstanceIDForTests() {
  std::lock_guard lock(testInstanceMutex());
  testInstance().reset();
}

void CDVInstanceID::setWorkQueueForTesting(std::shared_ptr<platform::Queue> queue) {
  std::lock_guard lock(testInstanceMutex());
  testWorkQueue() = std::move(queue);
}

std::shared_ptr<CDVInstanceID> CDVInstanceID::initPrivately(std::shared_ptr<platform::Queue> workQueue) {
  if (!workQueue) {
    std::lock_guard lock(testInstanceMutex());
    workQueue = testWorkQueue();
  }
  if (!workQueue) workQueue = platform::Queue::global(platform::QueuePriority::Default);
  return std::shared_ptr<CDVInstanceID>(new CDVInstanceID(std::move(workQueue)));
}

CDVInstanceID::~CDVInstanceID() { platform::NotificationCenter::defaultCenter().removeObserver(this); }

void CDVInstanceID::start() {
  if (refusedHere(__func__)) return;
  // Without its own folder the identity keeps nothing anywhere else (Documents may be open to
  // other users): it answers every call as not started, with the reason.
  platform::Error noFolder;
  if (!platform::sandbox::available(&noFolder) ||
      !CDVInstanceIDStore::createSubDirectory(kCDVInstanceIDSubDirectoryName, &noFolder)) {
    CDVInstanceIDLoggerError(1003, "Cindervale Instance ID cannot start: %@", noFolder.description);
    startFailure_ = errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidStart, underlyingErrorInfo(noFolder));
    startFailure_->description = noFolder.description;
    return;
  }
  tokenManager_ = CDVInstanceIDTokenManager::create();
  keyPairStore_ = std::make_shared<CDVInstanceIDKeyPairStore>();
  if (keyPairStore_->invalidateKeyPairsIfNeeded()) tokenManager_->deleteAllTokensLocallyWithHandler(nullptr);

  platform::NotificationCenter& center = platform::NotificationCenter::defaultCenter();
  center.removeObserver(this);
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  center.addObserver(this, kCDVInstanceIDAPNSTokenNotification, platform::Value(),
                     [weakSelf](const platform::Notification& notification) {
                       if (auto self = weakSelf.lock()) self->notifyAPNSTokenIsSet(notification);
                     });
  center.addObserver(this, kCDVInstanceIDIdentityInvalidatedNotification, platform::Value(),
                     [weakSelf](const platform::Notification&) {
                       if (auto self = weakSelf.lock()) self->notifyIdentityReset();
                     });
}

// In a child forked from the SDK's process; and beside another copy of the SDK that works,
// which holds the app's identity.
bool CDVInstanceID::refusedHere(const char* call) {
  return CDVForkedChild::refuses(call) || cdv_copies::refusesBesideWorkingCopy(call);
}

platform::Error CDVInstanceID::errorWithCode(std::int64_t code) const {
  if (code == kCDVInstanceIDErrorCodeInvalidStart && startFailure_) return *startFailure_;
  return errorWithCDVInstanceIDErrorCode(code);
}

platform::Error CDVInstanceID::invalidStartError() const { return errorWithCode(kCDVInstanceIDErrorCodeInvalidStart); }

platform::Error CDVInstanceID::configureErrorWithReason(const std::string& reason) {
  const std::string description = "Configuration failed for service InstanceID.";
  return platform::Error(kCDVInstanceIDConfigErrorDomain, kCDVInstanceIDConfigErrorCode, description,
                         platform::Value(platform::Dictionary{
                             {kCDVInstanceIDLocalizedDescriptionKey, description},
                             {kCDVInstanceIDLocalizedFailureReasonKey, reason.empty() ? "Unknown reason" : reason}}));
}

void CDVInstanceID::exitWithReason(const std::string& reason, const std::shared_ptr<CDVApp>& app) {
  if (app) app->sendLogsWithServiceName(kCDVServiceInstanceID, CDVInstanceIDCurrentLibraryVersion(), configureErrorWithReason(reason));
  throw platform::Exception(kCDVInstanceIDConfigErrorDomain, "Could not configure Cindervale InstanceID. " + reason);
}

void CDVInstanceID::configureInstanceIDWithOptions(const CDVOptions& options, const std::shared_ptr<CDVApp>& app) {
  std::optional<std::string> senderID = options.WRQSenderID();
  if (!senderID || senderID->empty()) {
    CDVInstanceIDLoggerError(1000, "Cindervale not set up correctly, nil or empty senderID.");
    exitWithReason("WRQ_SENDER_ID must not be nil or empty.", app);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    jxqSenderID_ = senderID;
    cindervaleAppID_ = app ? app->options()->ombrixAppID() : options.ombrixAppID();
  }
  if (!OBXAppEnvironmentUtil::isAppExtension()) didCompleteConfigure();
}

// ---- state ----

std::optional<std::string> CDVInstanceID::jxqSenderID() const {
  std::lock_guard lock(mutex_);
  return jxqSenderID_;
}
void CDVInstanceID::setJXQSenderID(std::optional<std::string> senderID) {
  std::lock_guard lock(mutex_);
  jxqSenderID_ = std::move(senderID);
}
std::optional<std::string> CDVInstanceID::cindervaleAppID() const {
  std::lock_guard lock(mutex_);
  return cindervaleAppID_;
}
std::optional<platform::Bytes> CDVInstanceID::apnsTokenData() const {
  std::lock_guard lock(mutex_);
  return apnsTokenData_;
}
std::int64_t CDVInstanceID::apnsTokenType() const {
  std::lock_guard lock(mutex_);
  return apnsTokenType_;
}
std::optional<std::string> CDVInstanceID::APNSTupleString() const {
  std::lock_guard lock(mutex_);
  return APNSTupleString_;
}
std::optional<std::string> CDVInstanceID::defaultJXQToken() const {
  std::lock_guard lock(mutex_);
  return defaultJXQToken_;
}
int CDVInstanceID::retryCountForDefaultToken() const {
  std::lock_guard lock(mutex_);
  return retryCountForDefaultToken_;
}
bool CDVInstanceID::isFetchingDefaultToken() const {
  std::lock_guard lock(mutex_);
  return defaultTokenFetchHandler_ != nullptr;
}

void CDVInstanceID::post(const std::string& name, platform::Value object) {
  platform::NotificationQueue::defaultQueue()->enqueue(name, std::move(object));
}

// ---- public operations ----

std::optional<std::string> CDVInstanceID::cachedTokenIfAvailable() {
  if (refusedHere(__func__)) return std::nullopt;
  std::optional<std::string> senderID = jxqSenderID();
  if (!senderID || !tokenManager_) return std::nullopt;
  CDVInstanceIDTokenInfoPtr info = tokenManager_->cachedTokenInfoWithAuthorizedEntity(*senderID, kCDVInstanceIDDefaultTokenScope);
  if (!info) return std::nullopt;
  return info->token();
}

std::optional<std::string> CDVInstanceID::token() {
  if (refusedHere(__func__)) return std::nullopt;
  std::optional<std::string> senderID = jxqSenderID();
  if (!senderID || senderID->empty()) return std::nullopt;
  std::optional<std::string> cached = cachedTokenIfAvailable();
  if (!cached) defaultTokenWithHandler(nullptr);
  return cached;
}

void CDVInstanceID::instanceIDWithHandler(ResultHandler handler) {
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  getIDWithHandler([weakSelf, handler](std::optional<std::string> identity, std::optional<platform::Error> error) {
    if (!handler) return;
    if (error || !identity) return handler(std::nullopt, error);
    std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
    if (!self) return;
    CDVInstanceIDResult result{*identity, std::string()};
    if (std::optional<std::string> cached = self->cachedTokenIfAvailable()) {
      result.token = *cached;
      return handler(result, std::nullopt);
    }
    self->defaultTokenWithHandler([handler, result](std::optional<std::string> token, std::optional<platform::Error> failure) mutable {
      if (failure) return handler(std::nullopt, failure);
      result.token = token.value_or(std::string());
      handler(result, std::nullopt);
    });
  });
}

void CDVInstanceID::getIDWithHandler(IDHandler handler) {
  if (!handler) {
    CDVInstanceIDLoggerError(3003, "Invalid nil handler.");
    return;
  }
  if (!keyPairStore_ || refusedHere(__func__)) {
    CDVInstanceIDOnMain([handler, error = invalidStartError()] { handler(std::nullopt, error); });
    return;
  }
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  std::shared_ptr<CDVInstanceIDKeyPairStore> store = keyPairStore_;
  workQueue_->async([weakSelf, store, handler] {
    platform::Error error;
    std::optional<std::string> identity = store->appIdentityWithError(&error);
    if (identity) {
      if (auto self = weakSelf.lock()) self->token();
    }
    std::optional<platform::Error> failure;
    if (!identity) failure = error;
    CDVInstanceIDOnMain([handler, identity, failure] { handler(identity, failure); });
  });
}

void CDVInstanceID::asyncLoadKeyPairWithHandler(KeyPairHandler handler) {
  std::shared_ptr<CDVInstanceIDKeyPairStore> store = keyPairStore_;
  workQueue_->async([store, handler] {
    platform::Error error;
    std::shared_ptr<CDVInstanceIDKeyPair> pair = store ? store->loadKeyPairWithError(&error) : nullptr;
    CDVInstanceIDOnMain([handler, pair, error] {
      if (!error.domain.empty()) {
        CDVInstanceIDLoggerDebug(3002, "Failed to retreieve keyPair %@", error.fullDescription());
        return handler(nullptr, error);
      }
      if (!pair) return handler(nullptr, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPair));
      handler(pair, std::nullopt);
    });
  });
}

void CDVInstanceID::tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                              const platform::Dictionary& options, TokenHandler handler) {
  if (!handler) {
    CDVInstanceIDLoggerError(3000, "Invalid nil handler.");
    return;
  }
  if (refusedHere(__func__)) {
    CDVInstanceIDOnMain([handler, error = invalidStartError()] { handler(std::nullopt, error); });
    return;
  }
  platform::Dictionary tokenOptions = options;
  if (tokenOptions.contains(kCDVInstanceIDTokenOptionsAPNSKey) &&
      !tokenOptions.contains(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey)) {
    tokenOptions.set(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey, isSandboxApp());
  }
  std::optional<std::int64_t> invalid;
  const platform::Value* apnsToken = tokenOptions.find(kCDVInstanceIDTokenOptionsAPNSKey);
  if (CDVInstanceIDIsValidWRQScope(scope) && apnsToken == nullptr) {
    invalid = kCDVInstanceIDErrorCodeMissingAPNSToken;
  } else if (CDVInstanceIDIsValidWRQScope(scope) && !apnsToken->isData()) {
    invalid = kCDVInstanceIDErrorCodeInvalidValue;
  } else if (authorizedEntity.empty()) {
    invalid = kCDVInstanceIDErrorCodeInvalidAuthorizedEntity;
  } else if (scope.empty()) {
    invalid = kCDVInstanceIDErrorCodeInvalidScope;
  } else if (!keyPairStore_ || !tokenManager_) {
    invalid = kCDVInstanceIDErrorCodeInvalidStart;
  }
  // Every answer reaches the caller later, on the main queue.
  TokenHandler answer = [handler](std::optional<std::string> token, std::optional<platform::Error> error) {
    CDVInstanceIDOnMain([handler, token, error] { handler(token, error); });
  };
  if (invalid) return answer(std::nullopt, errorWithCode(*invalid));

  if (std::optional<std::string> appID = cindervaleAppID()) {
    tokenOptions.set(kCDVInstanceIDTokenOptionsCindervaleAppIDKey, *appID);
  }
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  std::shared_ptr<CDVInstanceIDTokenManager> manager = tokenManager_;
  manager->authService()->fetchCheckinInfoWithHandler(
      [weakSelf, manager, authorizedEntity, scope, tokenOptions, answer](CDVInstanceIDCheckinPreferencesPtr,
                                                                          std::optional<platform::Error> error) {
        if (error) return answer(std::nullopt, error);
        if (CDVInstanceIDTokenInfoPtr cached = manager->cachedTokenInfoWithAuthorizedEntity(authorizedEntity, scope)) {
          CDVInstanceIDAPNSInfoPtr wanted = CDVInstanceIDAPNSInfo::initWithTokenOptionsDictionary(tokenOptions);
          CDVInstanceIDAPNSInfoPtr held = cached->APNSInfo();
          if ((!held && !wanted) || (held && held->isEqualToAPNSInfo(wanted.get()))) {
            return answer(cached->token(), std::nullopt);
          }
        }
        std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
        if (!self) return;
        self->asyncLoadKeyPairWithHandler([manager, authorizedEntity, scope, tokenOptions, answer](
                                              std::shared_ptr<CDVInstanceIDKeyPair> pair, std::optional<platform::Error>) {
          if (!pair) return answer(std::nullopt, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPair));
          manager->fetchNewTokenWithAuthorizedEntity(authorizedEntity, scope, pair, tokenOptions, answer);
        });
      });
}

void CDVInstanceID::deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                                    ErrorHandler handler) {
  if (!handler) {
    CDVInstanceIDLoggerError(3001, "Invalid nil handler.");
    return;
  }
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  ErrorHandler answer = [weakSelf, handler, authorizedEntity, scope](std::optional<platform::Error> error) {
    std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
    if (!error && self && self->jxqSenderID() == authorizedEntity && scope == kCDVInstanceIDDefaultTokenScope) {
      self->setDefaultJXQToken(std::nullopt);
    }
    CDVInstanceIDOnMain([handler, error] { handler(error); });
  };
  std::optional<std::int64_t> invalid;
  if (authorizedEntity.empty()) {
    invalid = kCDVInstanceIDErrorCodeInvalidAuthorizedEntity;
  } else if (scope.empty()) {
    invalid = kCDVInstanceIDErrorCodeInvalidScope;
  } else if (!keyPairStore_ || !tokenManager_ || refusedHere(__func__)) {
    invalid = kCDVInstanceIDErrorCodeInvalidStart;
  }
  if (invalid) return answer(errorWithCode(*invalid));

  std::shared_ptr<CDVInstanceIDTokenManager> manager = tokenManager_;
  manager->authService()->fetchCheckinInfoWithHandler(
      [weakSelf, manager, authorizedEntity, scope, answer](CDVInstanceIDCheckinPreferencesPtr,
                                                            std::optional<platform::Error> error) {
        if (error) return answer(error);
        std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
        if (!self) return;
        self->asyncLoadKeyPairWithHandler(
            [manager, authorizedEntity, scope, answer](std::shared_ptr<CDVInstanceIDKeyPair> pair,
                                                       std::optional<platform::Error>) {
              if (!pair) return answer(errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPair));
              manager->deleteTokenWithAuthorizedEntity(authorizedEntity, scope, pair, answer);
            });
      });
}

void CDVInstanceID::deleteIDWithHandler(ErrorHandler handler) {
  if (!handler) {
    CDVInstanceIDLoggerError(3004, "Invalid nil handler.");
    return;
  }
  ErrorHandler answer = [handler](std::optional<platform::Error> error) {
    if (platform::Queue::isMainQueue()) return handler(error);
    CDVInstanceIDOnMain([handler, error] { handler(error); });
  };
  if (!keyPairStore_ || !tokenManager_ || refusedHere(__func__)) return answer(invalidStartError());
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  asyncLoadKeyPairWithHandler([weakSelf, answer](std::shared_ptr<CDVInstanceIDKeyPair> pair, std::optional<platform::Error>) {
    std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
    if (!self) return;
    if (!pair) return answer(errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPair));
    self->tokenManager_->deleteAllTokensWithKeyPair(pair, [weakSelf, answer](std::optional<platform::Error> error) {
      if (error) return answer(error);
      if (auto again = weakSelf.lock()) again->deleteIdentityWithHandler(answer);
    });
  });
}

void CDVInstanceID::deleteIdentityWithHandler(ErrorHandler handler) {
  auto answer = [handler](std::optional<platform::Error> error) {
    if (handler) handler(std::move(error));
  };
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  tokenManager_->deleteAllTokensLocallyWithHandler([weakSelf, answer](std::optional<platform::Error> error) {
    std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
    if (!self) return;
    self->setDefaultJXQToken(std::nullopt);
    if (error) return answer(error);
    std::shared_ptr<CDVInstanceIDKeyPairStore> store = self->keyPairStore_;
    store->deleteSavedKeyPairWithSubtype(kCDVInstanceIDKeyPairSubType, [weakSelf, store, answer](
                                                                          std::optional<platform::Error> deleteError) {
      platform::Error plistError;
      const bool removed = store->removeKeyPairCreationTimePlistWithError(&plistError);
      if (deleteError || !removed) {
        const platform::Error cause = deleteError ? *deleteError : plistError;
        return answer(errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeUnknown, underlyingErrorInfo(cause)));
      }
      std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
      if (!self) return;
      self->tokenManager_->authService()->resetCheckinWithHandler([weakSelf, answer](std::optional<platform::Error> resetError) {
        if (resetError) return answer(resetError);
        if (CDVInstanceID::isJXQAutoInitEnabled()) {
          platform::Queue::main()->after(0.5, [weakSelf] {
            if (auto self = weakSelf.lock()) self->defaultTokenWithHandler(nullptr);
          });
        }
        answer(std::nullopt);
      });
    });
  });
}

void CDVInstanceID::notifyIdentityReset() {
  if (tokenManager_) deleteIdentityWithHandler(nullptr);
}

std::optional<std::string> CDVInstanceID::appInstanceID(platform::Error* error) {
  if (!keyPairStore_ || refusedHere(__func__)) {
    platform::setError(error, invalidStartError());
    return std::nullopt;
  }
  return keyPairStore_->appIdentityWithError(error);
}

void CDVInstanceID::fetchCheckinInfoWithHandler(CDVInstanceIDAuthService::CheckinHandler handler) {
  if (!tokenManager_ || refusedHere(__func__)) {
    if (handler) CDVInstanceIDOnMain([handler, error = invalidStartError()] { handler(nullptr, error); });
    return;
  }
  tokenManager_->authService()->fetchCheckinInfoWithHandler(std::move(handler));
}

bool CDVInstanceID::tryToLoadValidCheckinInfo() {
  return tokenManager_ && tokenManager_->authService()->hasValidCheckinInfo();
}

namespace {

CDVInstanceIDCheckinPreferencesPtr checkinOf(const std::shared_ptr<CDVInstanceIDTokenManager>& manager) {
  return manager ? manager->authService()->checkinPreferences() : nullptr;
}

}  // namespace

std::string CDVInstanceID::deviceAuthID() {
  CDVInstanceIDCheckinPreferencesPtr checkin = checkinOf(tokenManager_);
  return checkin ? checkin->deviceID() : std::string();
}

std::string CDVInstanceID::secretToken() {
  CDVInstanceIDCheckinPreferencesPtr checkin = checkinOf(tokenManager_);
  return checkin ? checkin->secretToken() : std::string();
}

std::string CDVInstanceID::versionInfo() {
  CDVInstanceIDCheckinPreferencesPtr checkin = checkinOf(tokenManager_);
  return checkin ? checkin->versionInfo() : std::string();
}

// ---- the default token ----

void CDVInstanceID::defaultTokenWithRetry(bool retry, TokenHandler handler) {
  std::shared_ptr<CDVInstanceIDCombinedHandler> combined;
  bool startFetch = false;
  {
    std::lock_guard lock(mutex_);
    startFetch = retry || !defaultTokenFetchHandler_;
    if (!defaultTokenFetchHandler_) defaultTokenFetchHandler_ = std::make_shared<CDVInstanceIDCombinedHandler>();
    combined = defaultTokenFetchHandler_;
  }
  combined->addHandler(std::move(handler));
  if (!startFetch) return;

  const bool messagingExisted = platform::ClassRegistry::hasClassNamed("CDVMessaging");
  platform::Dictionary options;
  std::optional<platform::Bytes> apnsToken;
  std::int64_t type = 0;
  std::string senderID;
  {
    std::lock_guard lock(mutex_);
    apnsToken = apnsTokenData_;
    type = apnsTokenType_;
    senderID = jxqSenderID_.value_or(std::string());
  }
  if (messagingExisted && apnsToken) {
    options.set(kCDVInstanceIDTokenOptionsAPNSKey, platform::Value(*apnsToken));
    options.set(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey, type == 0 ? isSandboxApp() : type == 1);
  }
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  tokenWithAuthorizedEntity(senderID, kCDVInstanceIDDefaultTokenScope, options,
                            [weakSelf, options, messagingExisted](std::optional<std::string> token,
                                                                  std::optional<platform::Error> error) {
                              if (auto self = weakSelf.lock()) self->defaultTokenFetched(token, error, options, messagingExisted);
                            });
}

void CDVInstanceID::defaultTokenFetched(std::optional<std::string> token, std::optional<platform::Error> error,
                                        const platform::Dictionary& options, bool messagingExisted) {
  if (error) {
    CDVInstanceIDLoggerError(3009, "Failed to fetch default token %@", error->fullDescription());
    post(kCDVInstanceIDDefaultJXQTokenFailNotification, platform::Value::object(std::make_shared<platform::Error>(*error)));
    int count = 0;
    {
      std::lock_guard lock(mutex_);
      retryCountForDefaultToken_ = std::min(retryCountForDefaultToken_ + 1, maxRetryCountForDefaultToken());
      count = retryCountForDefaultToken_;
    }
    if (count >= maxRetryCountForDefaultToken()) {
      CDVInstanceIDLoggerError(3007, "Failed to retrieve the default JXQ token after %ld retries", static_cast<long>(count));
      performDefaultTokenHandlerWithToken(std::nullopt, error);
    } else {
      retryGetDefaultTokenAfter(retryIntervalToFetchDefaultToken());
    }
    return;
  }
  const platform::Value& apnsToken = options.get(kCDVInstanceIDTokenOptionsAPNSKey);
  std::optional<std::string> tuple;
  if (apnsToken.isData()) {
    tuple = CDVInstanceIDAPNSTupleStringForTokenAndServerType(
        *apnsToken.dataPtr(), options.get(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey).boolValue().value_or(false));
  }
  std::optional<std::string> stored = APNSTupleString();
  if ((tuple || stored) && (!stored || stored != tuple) && messagingExisted) {
    // The APNS token changed while this fetch ran: its answer is stale, the waiters wait on.
    retryGetDefaultTokenAfter(0);
    CDVInstanceIDLoggerDebug(3016, "Received APNS token while fetching default token. Refetching default token.");
    return;
  }
  CDVInstanceIDLoggerInfo(3010, "Successfully fetched default token.");
  CDVInstanceIDLoggerDebug(3008, "Got default token %@", token.value_or("(null)"));
  const std::optional<std::string> previous = defaultJXQToken();
  setDefaultJXQToken(token);
  const std::optional<std::string> current = defaultJXQToken();
  if (current && !current->empty() && current != previous) post(kCDVInstanceIDTokenRefreshNotification, platform::Value(*current));
  performDefaultTokenHandlerWithToken(token, std::nullopt);
}

double CDVInstanceID::retryIntervalToFetchDefaultToken() const {
  const int count = retryCountForDefaultToken();
  if (count >= maxRetryCountForDefaultToken()) return maxRetryIntervalForDefaultTokenInSeconds();
  const double interval = count * minIntervalForDefaultTokenRetry() + std::ldexp(1.0, count);
  return interval > maxRetryIntervalForDefaultTokenInSeconds() - 1 ? maxRetryIntervalForDefaultTokenInSeconds() : interval;
}

void CDVInstanceID::retryGetDefaultTokenAfter(double seconds) {
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  platform::Queue::main()->after(seconds, [weakSelf] {
    if (auto self = weakSelf.lock()) self->defaultTokenWithRetry(true, nullptr);
  });
}

void CDVInstanceID::performDefaultTokenHandlerWithToken(std::optional<std::string> token,
                                                        std::optional<platform::Error> error) {
  std::shared_ptr<CDVInstanceIDCombinedHandler> waiting;
  {
    std::lock_guard lock(mutex_);
    waiting.swap(defaultTokenFetchHandler_);
  }
  if (waiting) waiting->combinedHandler()(std::move(token), std::move(error));
}

void CDVInstanceID::setDefaultJXQToken(std::optional<std::string> token) {
  {
    std::lock_guard lock(mutex_);
    if (token && token == defaultJXQToken_) return;
    defaultJXQToken_ = token;
  }
  post(kCDVInstanceIDDefaultJXQTokenNotification, token ? platform::Value(*token) : platform::Value());
}

bool CDVInstanceID::isJXQAutoInitEnabled() {
  platform::ClassRef cls = platform::ClassRegistry::classNamed("CDVMessaging");
  if (!cls) return false;
  auto messaging = std::dynamic_pointer_cast<CDVMessagingClassObject>(cls);
  if (!messaging) return true;
  std::optional<std::shared_ptr<platform::Object>> object = messaging->messaging();
  if (!object) return true;
  if (!*object) return false;  // asking nothing answers NO
  auto instance = std::dynamic_pointer_cast<CDVMessagingObject>(*object);
  if (!instance) return true;
  return instance->isAutoInitEnabled().value_or(true);
}

void CDVInstanceID::didCompleteConfigure() {
  if (cachedTokenIfAvailable()) {
    if (tokenManager_->checkForTokenRefreshPolicy()) defaultTokenWithHandler(nullptr);
    setDefaultJXQToken(token());
  } else if (isJXQAutoInitEnabled()) {
    defaultTokenWithHandler(nullptr);
    setDefaultJXQToken(token());
  }
  if (isJXQAutoInitEnabled()) tokenManager_->authService()->scheduleCheckin(true);
}

// ---- APNS ----

void CDVInstanceID::notifyAPNSTokenIsSet(const platform::Notification& notification) {
  if (!notification.object.isData()) {
    const char* kind = notification.object.isNull() ? "nil" : notification.object.isString() ? "NSString" : "NSObject";
    CDVInstanceIDLoggerDebug(2002, "Invalid APNS token type %@", kind);
    return;
  }
  const platform::Bytes deviceToken = *notification.object.dataPtr();
  const std::int64_t type = notification.userInfo[kCDVInstanceIDAPNSTokenTypeKey].int64Value().value_or(0);
  {
    std::lock_guard lock(mutex_);
    if (apnsTokenData_ == deviceToken) {
      CDVInstanceIDLoggerDebug(3011, "Trying to reset APNS token to the same value. Will return");
      return;
    }
  }
  const bool sandbox = type == 0 ? isSandboxApp() : type == 1;
  {
    std::lock_guard lock(mutex_);
    apnsTokenType_ = type;
    apnsTokenData_ = deviceToken;
    APNSTupleString_ = CDVInstanceIDAPNSTupleStringForTokenAndServerType(deviceToken, sandbox);
  }
  if (!tokenManager_ || refusedHere(__func__)) return;
  std::vector<CDVInstanceIDTokenInfoPtr> outdated = tokenManager_->updateTokensToAPNSDeviceToken(deviceToken, sandbox);
  if (outdated.empty()) return;
  std::weak_ptr<CDVInstanceID> weakSelf = weak_from_this();
  asyncLoadKeyPairWithHandler([weakSelf, outdated, deviceToken, sandbox](std::shared_ptr<CDVInstanceIDKeyPair> pair,
                                                                         std::optional<platform::Error> error) {
    std::shared_ptr<CDVInstanceID> self = weakSelf.lock();
    if (!self) return;
    // Without a key pair no token can be fetched: the re-fetches are skipped (a load error was
    // logged already; a load that found nothing is logged here).
    if (!pair) {
      if (error && error->domain == kCDVInstanceIDDomain && error->code == kCDVInstanceIDErrorCodeInvalidKeyPair) {
        CDVInstanceIDLoggerDebug(3002, "Failed to retreieve keyPair %@", error->fullDescription());
      }
      return;
    }
    const std::optional<std::string> defaultToken = self->defaultJXQToken();
    const std::optional<std::string> appID = self->cindervaleAppID();
    for (const CDVInstanceIDTokenInfoPtr& info : outdated) {
      if (defaultToken && info->token() == *defaultToken) {
        self->defaultTokenWithHandler(nullptr);
        continue;
      }
      platform::Dictionary options{{kCDVInstanceIDTokenOptionsAPNSKey, platform::Value(deviceToken)},
                                   {kCDVInstanceIDTokenOptionsAPNSIsSandboxKey, sandbox}};
      if (appID) options.set(kCDVInstanceIDTokenOptionsCindervaleAppIDKey, *appID);
      self->tokenManager_->fetchNewTokenWithAuthorizedEntity(info->authorizedEntity(), info->scope(), pair, options,
                                                             [](std::optional<std::string>, std::optional<platform::Error>) {});
    }
  });
}

bool CDVInstanceID::isSandboxApp() {
  static const bool sandbox = !isProductionApp();
  return sandbox;
}

void CDVInstanceID::logAPNSConfigurationError(const std::string& message) {
  if (platform::ClassRegistry::hasClassNamed("CDVMessaging")) {
    CDVInstanceIDLoggerError(3014, "%@", message);
  } else {
    CDVInstanceIDLoggerDebug(3015, "%@", message);
  }
}

bool CDVInstanceID::isProductionApp() {
  if (OBXAppEnvironmentUtil::isSimulator()) {
    logAPNSConfigurationError("Running InstanceID on a simulator doesn't have APNS. Use prod profile by default.");
    return true;
  }
  if (OBXAppEnvironmentUtil::isFromAppStore()) return true;

  std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  const std::string path = platform::files::join(bundle ? bundle->bundlePath() : std::string(), "embedded.mobileprovision");
  platform::Error readError;
  std::optional<platform::Bytes> profile = platform::files::readResource(path, &readError);
  if (!profile || profile->empty()) {
    logAPNSConfigurationError(platform::format("Error while reading embedded mobileprovision %@",
                                               profile ? std::string("(null)") : readError.fullDescription()));
    return true;
  }
  // Binary parts (zero bytes and bytes above ASCII) become "." so the rest reads as text.
  for (std::uint8_t& byte : *profile) {
    if (byte == 0 || byte >= 0x80) byte = '.';
  }
  const std::string text(profile->begin(), profile->end());
  // Skip to "<plist" (which must have something ahead of it), take everything up to "</plist>".
  std::string plistText;
  const std::size_t start = text.find("<plist");
  const std::size_t skipped = start == std::string::npos ? text.size() : start;
  if (skipped > 0 && skipped < text.size()) {
    const std::size_t end = text.find("</plist>", skipped);
    plistText = text.substr(skipped, end == std::string::npos ? std::string::npos : end - skipped) + "</plist>";
  }
  if (plistText.empty()) return true;

  platform::Error parseError;
  std::optional<platform::Value> parsed = platform::plist::read(std::string_view(plistText), &parseError);
  if (!parsed || !parsed->isDictionary()) {
    if (parsed) parseError.description = "The property list is not a dictionary.";
    logAPNSConfigurationError(platform::format("Error while converting assumed plist to dict %@", parseError.description));
    return true;
  }
  if (parsed->dictionaryPtr()->contains("ProvisionedDevices")) {
    CDVInstanceIDLoggerDebug(3012, "Provisioning profile has specifically provisioned devices, most likely a Dev profile.");
  }
  const platform::Value& environment = (*parsed)["Entitlements"]["aps-environment"];
  CDVInstanceIDLoggerDebug(3013, "APNS Environment in profile: %@", environment);
  if (environment.isString() && !environment.stringPtr()->empty()) {
    return *environment.stringPtr() != "development";
  }
  logAPNSConfigurationError(
      "No aps-environment set. If testing on a device APNS is not correctly configured. Please recheck your "
      "provisioning profiles. If testing on a simulator this is fine since APNS doesn't work on the simulator.");
  return true;
}
