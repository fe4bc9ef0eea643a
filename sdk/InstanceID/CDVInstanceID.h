// The instance identity's one public object: the instance identifier, registration tokens per
// authorized entity and scope, the default token of the messaging sender, deletion of tokens and
// of the whole identity, and the reaction to a new APNS device token.
//
// Registered with the core as the library "cind-iid" (CDVInstanceIDRegisterLibrary) and made
// lazily by the component container of the default app. Completions of public operations run on
// the main queue. The default-token and APNS fields are guarded by the object's lock; no lock is
// held while a handler runs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Core/Public/CDVApp.h"
#include "Core/Public/CDVComponent.h"
#include "Core/Public/CDVOptions.h"
#include "InstanceID/CDVInstanceIDKeyPairStore.h"
#include "InstanceID/CDVInstanceIDTokenManager.h"
#include "foundation/NotificationCenter.h"

inline constexpr const char* kCDVInstanceIDLibraryName = "cind-iid";
inline constexpr const char* kCDVInstanceIDInstanceProviderProtocolName = "CDVInstanceIDInstanceProvider";

// Notifications: enqueued on the posting thread's default notification queue, so each is posted
// when that queue next runs, and one with the same name and object still waiting is replaced.
inline constexpr const char* kCDVInstanceIDDefaultJXQTokenNotification = "com.cindervale.iid.notif.jxq-token";
inline constexpr const char* kCDVInstanceIDTokenRefreshNotification = "com.cindervale.iid.notif.refresh-token";
inline constexpr const char* kCDVInstanceIDDefaultJXQTokenFailNotification = "com.cindervale.iid.notif.jxq-token-fail";
// Observed: the object is the APNS token bytes, the user info holds its type.
inline constexpr const char* kCDVInstanceIDAPNSTokenNotification = "com.cindervale.iid.notif.apns-token";
inline constexpr const char* kCDVInstanceIDAPNSTokenTypeKey = "APNSTokenType";

// User info key of the cause of error 0 from an identity deletion (a platform::Error object).
inline constexpr const char* kCDVInstanceIDUnderlyingErrorKey = "NSUnderlyingError";
// The configuration failure.
inline constexpr const char* kCDVInstanceIDConfigErrorDomain = "com.cindervale.instanceid";
inline constexpr std::int64_t kCDVInstanceIDConfigErrorCode = -121;
inline constexpr const char* kCDVInstanceIDLocalizedDescriptionKey = "NSLocalizedDescription";
inline constexpr const char* kCDVInstanceIDLocalizedFailureReasonKey = "NSLocalizedFailureReason";

struct CDVInstanceIDResult {
  std::string instanceID;
  std::string token;
};

// Handlers waiting for one default-token fetch, called in the order they were added.
class CDVInstanceIDCombinedHandler {
 public:
  using Handler = std::function<void(std::optional<std::string> token, std::optional<platform::Error> error)>;
  void addHandler(Handler handler);
  // One handler calling every handler added so far (a snapshot).
  Handler combinedHandler() const;

 private:
  mutable std::mutex mutex_;
  std::vector<Handler> handlers_;
};

// The component protocol the instance identity is found under.
CDVProtocol CDVInstanceIDInstanceProvider();

class CDVInstanceID : public platform::Object, public std::enable_shared_from_this<CDVInstanceID> {
 public:
  using TokenHandler = std::function<void(std::optional<std::string> token, std::optional<platform::Error> error)>;
  using IDHandler = std::function<void(std::optional<std::string> identity, std::optional<platform::Error> error)>;
  using ErrorHandler = std::function<void(std::optional<platform::Error> error)>;
  using ResultHandler =
      std::function<void(std::optional<CDVInstanceIDResult> result, std::optional<platform::Error> error)>;
  using KeyPairHandler =
      std::function<void(std::shared_ptr<CDVInstanceIDKeyPair> keyPair, std::optional<platform::Error> error)>;

  // The instance of the default app (or the test instance); null without a default app.
  static std::shared_ptr<CDVInstanceID> instanceID();
  // A new started instance that instanceID() answers from now on; clearInstanceIDForTests drops it.
  static std::shared_ptr<CDVInstanceID> instanceIDForTests();
  static void clearInstanceIDForTests();
  // A new instance, not started. Key-pair loading runs on `workQueue` (default: the global queue,
  // or the queue set for tests).
  static std::shared_ptr<CDVInstanceID> initPrivately(std::shared_ptr<platform::Queue> workQueue = nullptr);
  static void setWorkQueueForTesting(std::shared_ptr<platform::Queue> queue);
  ~CDVInstanceID() override;

  // Makes the subdirectory, the token manager and the key-pair store, and observes the APNS and
  // identity-invalid notifications. Without a folder for the app's data (no bundle identifier to
  // name it, no chosen root) or when the subdirectory cannot be had (a way other users may
  // change, a file in its place) it logs why and makes nothing: every call then answers an error
  // (kCDVInstanceIDErrorCodeInvalidStart) whose description is that reason.
  void start();
  // Sender id and app id from the options; raises platform::Exception without a sender id.
  void configureInstanceIDWithOptions(const CDVOptions& options, const std::shared_ptr<CDVApp>& app);

  // The cached default token; without one, starts fetching it and answers nothing.
  std::optional<std::string> token();
  void instanceIDWithHandler(ResultHandler handler);
  void getIDWithHandler(IDHandler handler);
  void tokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                 const platform::Dictionary& options, TokenHandler handler);
  void deleteTokenWithAuthorizedEntity(const std::string& authorizedEntity, const std::string& scope,
                                       ErrorHandler handler);
  void deleteIDWithHandler(ErrorHandler handler);
  // The identifier, synchronously (the measurement library reads it).
  std::optional<std::string> appInstanceID(platform::Error* error = nullptr);
  void fetchCheckinInfoWithHandler(CDVInstanceIDAuthService::CheckinHandler handler);
  bool tryToLoadValidCheckinInfo();
  std::string deviceAuthID();
  std::string secretToken();
  std::string versionInfo();

  // The default token's fetch, retries and its waiting handlers.
  void defaultTokenWithHandler(TokenHandler handler) { defaultTokenWithRetry(false, std::move(handler)); }
  void defaultTokenWithRetry(bool retry, TokenHandler handler);
  double retryIntervalToFetchDefaultToken() const;
  void retryGetDefaultTokenAfter(double seconds);
  void performDefaultTokenHandlerWithToken(std::optional<std::string> token, std::optional<platform::Error> error);
  void asyncLoadKeyPairWithHandler(KeyPairHandler handler);
  void setDefaultJXQToken(std::optional<std::string> token);
  static bool isJXQAutoInitEnabled();
  void didCompleteConfigure();
  void deleteIdentityWithHandler(ErrorHandler handler);
  void notifyIdentityReset();
  void notifyAPNSTokenIsSet(const platform::Notification& notification);

  // Push environment: the sandbox answer is computed once per process.
  static bool isSandboxApp();
  // Reads the main bundle's "embedded.mobileprovision"; production whenever it cannot decide.
  static bool isProductionApp();
  static void logAPNSConfigurationError(const std::string& message);

  static constexpr int maxRetryCountForDefaultToken() { return 5; }
  static constexpr int minIntervalForDefaultTokenRetry() { return 10; }
  static constexpr int maxRetryIntervalForDefaultTokenInSeconds() { return 1200; }
  static platform::Error configureErrorWithReason(const std::string& reason);

  // State, for the curious and for tests.
  std::optional<std::string> jxqSenderID() const;
  void setJXQSenderID(std::optional<std::string> senderID);
  std::optional<std::string> cindervaleAppID() const;
  std::optional<platform::Bytes> apnsTokenData() const;
  std::int64_t apnsTokenType() const;
  std::optional<std::string> APNSTupleString() const;
  std::optional<std::string> defaultJXQToken() const;
  int retryCountForDefaultToken() const;
  bool isFetchingDefaultToken() const;
  const std::shared_ptr<CDVInstanceIDTokenManager>& tokenManager() const { return tokenManager_; }
  const std::shared_ptr<CDVInstanceIDKeyPairStore>& keyPairStore() const { return keyPairStore_; }

 private:
  explicit CDVInstanceID(std::shared_ptr<platform::Queue> workQueue) : workQueue_(std::move(workQueue)) {}
  std::optional<std::string> cachedTokenIfAvailable();
  // In a child forked from the process that used the SDK: every call fails as before a start,
  // the warning naming `call`, the one the host made.
  static bool refusedHere(const char* call);
  void defaultTokenFetched(std::optional<std::string> token, std::optional<platform::Error> error,
                           const platform::Dictionary& options, bool messagingExisted);
  void exitWithReason(const std::string& reason, const std::shared_ptr<CDVApp>& app);
  static void post(const std::string& name, platform::Value object);

  const std::shared_ptr<platform::Queue> workQueue_;
  std::shared_ptr<CDVInstanceIDTokenManager> tokenManager_;
  std::shared_ptr<CDVInstanceIDKeyPairStore> keyPairStore_;
  // Why start() made nothing (set before the instance is handed out, never changed after).
  std::optional<platform::Error> startFailure_;
  // The error of `code`; for an invalid start, the reason start() made nothing when it knows one.
  platform::Error errorWithCode(std::int64_t code) const;
  platform::Error invalidStartError() const;

  mutable std::mutex mutex_;
  std::optional<std::string> jxqSenderID_;
  std::optional<std::string> cindervaleAppID_;
  std::optional<platform::Bytes> apnsTokenData_;
  std::int64_t apnsTokenType_ = 0;
  std::optional<std::string> APNSTupleString_;
  std::optional<std::string> defaultJXQToken_;
  int retryCountForDefaultToken_ = 0;
  std::shared_ptr<CDVInstanceIDCombinedHandler> defaultTokenFetchHandler_;
};

// The library class "CDVInstanceID": one lazy component for CDVInstanceIDInstanceProvider, and
// the configuration of the default app. Other SDK parts find it by name in the class registry:
//
//   auto cls = std::dynamic_pointer_cast<CDVInstanceIDLibrary>(platform::ClassRegistry::classNamed("CDVInstanceID"));
//   std::shared_ptr<CDVInstanceID> iid = cls ? cls->instanceID() : nullptr;
//   std::optional<std::string> id = iid ? iid->appInstanceID(&error) : std::nullopt;
class CDVInstanceIDLibrary : public CDVLibrary {
 public:
  CDVInstanceIDLibrary() : CDVLibrary("CDVInstanceID") {}
  // "instanceID": the instance of the default app.
  std::shared_ptr<CDVInstanceID> instanceID() const { return CDVInstanceID::instanceID(); }
  std::vector<std::shared_ptr<CDVComponent>> componentsToRegister() const override;
  bool respondsToConfigureWithApp() const override { return true; }
  void configureWithApp(const std::shared_ptr<CDVApp>& app) const override;
};

// Registers the library with the core as "cind-iid" with the library version, and its class in
// the class registry. The host calls it before configuring apps.
void CDVInstanceIDRegisterLibrary();
