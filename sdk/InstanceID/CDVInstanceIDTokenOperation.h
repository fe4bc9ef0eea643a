// One exchange with the token endpoint as an asynchronous operation: a fetch registers for a
// token of an authorized entity and scope, a delete unregisters one token or all of them. The
// operation authenticates with the device's check-in credentials, names the installation by its
// instance identifier, sends a form body and reads a reply of "key=value" lines.
//
// Operations run one at a time on a CDVInstanceIDTokenOperationQueue. An operation finishes once
// only: its completion handlers run once, in the order they were added, on the thread that
// finished it; a reply arriving after a cancellation is ignored. All members are thread-safe.
#pragma once

#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "InstanceID/CDVInstanceIDCheckinPreferences.h"
#include "InstanceID/CDVInstanceIDKeyPair.h"
#include "dispatch/Queue.h"
#include "foundation/Error.h"
#include "obx/OBXNetwork.h"

// Posted (no object) when the server asks for the identity to be reset.
inline constexpr const char* kCDVInstanceIDIdentityInvalidatedNotification = "com.ombrix.iid.identity-invalid";
inline constexpr double kCDVInstanceIDTokenRequestTimeout = 60;
// The operation was cancelled before it brought an answer.
inline constexpr std::int64_t kCDVInstanceIDErrorCodeOperationCancelled = 8;
// How many registration-error retries the process makes in all.
inline constexpr int kCDVInstanceIDMaxPhoneRegistrationErrorRetryCount = 10;

enum CDVInstanceIDTokenAction : std::int64_t {
  CDVInstanceIDTokenActionFetch = 0,
  CDVInstanceIDTokenActionDelete = 1,
  CDVInstanceIDTokenActionDeleteAll = 2,
};

enum CDVInstanceIDTokenOperationResult : std::int64_t {
  CDVInstanceIDTokenOperationSucceeded = 0,
  CDVInstanceIDTokenOperationError = 1,
  CDVInstanceIDTokenOperationCancelled = 2,
};

struct CDVInstanceIDURLQueryItem {
  static CDVInstanceIDURLQueryItem queryItemWithName(std::string name, std::optional<std::string> value) {
    return CDVInstanceIDURLQueryItem{std::move(name), std::move(value)};
  }
  std::string name;
  std::optional<std::string> value;
};

// Names and values joined as "name=value" with "&"; a parameter without value is its name alone.
// Bytes that would change the form's meaning ("&", "=", "+", "%", "#", blanks, control
// characters, non-ASCII bytes) are percent-encoded; everything else is written as it is.
std::string CDVInstanceIDQueryFromQueryItems(const std::vector<CDVInstanceIDURLQueryItem>& items);
// The reply's "key=value" lines: the key is the text before the first "=", the value the text up
// to a second "=" (the rest of the line is dropped); lines without "=" are skipped and a later key
// replaces an earlier one. A body that is not UTF-8 text is unreadable: nothing.
std::optional<platform::Dictionary> CDVInstanceIDParseTokenResponse(const platform::Bytes& data);

class CDVInstanceIDTokenOperation : public std::enable_shared_from_this<CDVInstanceIDTokenOperation> {
 public:
  using CompletionHandler = std::function<void(CDVInstanceIDTokenOperationResult result,
                                               std::optional<std::string> token, std::optional<platform::Error> error)>;
  // Receives the finished request instead of the network, and the reply block to answer with.
  using TestBlock = std::function<void(const OBXNetworkRequest& request, OBXNetworkCompletionHandler reply)>;
  // Told of every change of "isExecuting" and "isFinished".
  using StateObserver = std::function<void(const std::string& key)>;

  virtual ~CDVInstanceIDTokenOperation() = default;
  CDVInstanceIDTokenOperation(const CDVInstanceIDTokenOperation&) = delete;
  CDVInstanceIDTokenOperation& operator=(const CDVInstanceIDTokenOperation&) = delete;

  CDVInstanceIDTokenAction action() const { return action_; }
  const std::optional<std::string>& authorizedEntity() const { return authorizedEntity_; }
  const std::optional<std::string>& scope() const { return scope_; }
  const platform::Dictionary& options() const { return options_; }
  const CDVInstanceIDCheckinPreferencesPtr& checkinPreferences() const { return checkinPreferences_; }
  const std::shared_ptr<CDVInstanceIDKeyPair>& keyPair() const { return keyPair_; }
  CDVInstanceIDTokenOperationResult result() const;

  void addCompletionHandler(CompletionHandler handler);
  void addStateObserver(StateObserver observer);
  void setTestBlock(TestBlock block);
  // Used by operations without a test block of their own (tests: a fake server).
  static void setDefaultTestBlock(TestBlock block);

  void start();
  void cancel();
  bool isAsynchronous() const { return true; }
  bool isExecuting() const;
  bool isFinished() const;
  bool isCancelled() const;

  // Builds and sends the request (nothing in the base).
  virtual void performTokenOperation() {}
  void finishWithResult(CDVInstanceIDTokenOperationResult result, std::optional<std::string> token,
                        std::optional<platform::Error> error);
  virtual void handleResponseWithData(const platform::Bytes& data, const std::shared_ptr<const OBXHTTPResponse>& response,
                                      const std::optional<platform::Error>& error) = 0;

  // POST to the token endpoint with "Authorization" and "app".
  static OBXNetworkRequest requestWithAuthHeader(const std::string& authHeader);
  // "AidLogin <device id>:<secret token>".
  static std::string HTTPAuthHeaderFromCheckin(const CDVInstanceIDCheckinPreferences& checkin);
  static std::vector<CDVInstanceIDURLQueryItem> standardQueryItemsWithDeviceID(const std::optional<std::string>& deviceID,
                                                                               const std::optional<std::string>& scope);
  std::vector<CDVInstanceIDURLQueryItem> queryItemsWithKeyPair(const CDVInstanceIDKeyPair& keyPair) const;
  // The one client of the process: request time-out 60 seconds.
  static std::shared_ptr<OBXNetwork> sharedURLSession();

 protected:
  CDVInstanceIDTokenOperation(CDVInstanceIDTokenAction action, std::optional<std::string> authorizedEntity,
                              std::optional<std::string> scope, platform::Dictionary options,
                              CDVInstanceIDCheckinPreferencesPtr checkinPreferences,
                              std::shared_ptr<CDVInstanceIDKeyPair> keyPair);
  // Hands the request to the test block or the network; the reply reaches
  // handleResponseWithData unless the operation is gone.
  void send(OBXNetworkRequest request);
  // Writes the items as the body (logged with the URL under `logCode`) and sends the request.
  void sendForm(OBXNetworkRequest request, const std::vector<CDVInstanceIDURLQueryItem>& items, long logCode,
                const char* logFormat);
  // A transport error (logged with its code under `logCode`) or an empty reply finishes the
  // operation with an error; true when it did.
  bool finishOnFailedExchange(const platform::Bytes& data, const std::optional<platform::Error>& error, long logCode,
                              const char* logFormat);

 private:
  void setExecuting(bool executing);
  void announce(const std::string& key);

  const CDVInstanceIDTokenAction action_;
  const std::optional<std::string> authorizedEntity_;
  const std::optional<std::string> scope_;
  const platform::Dictionary options_;
  const CDVInstanceIDCheckinPreferencesPtr checkinPreferences_;
  const std::shared_ptr<CDVInstanceIDKeyPair> keyPair_;

  mutable std::mutex mutex_;
  CDVInstanceIDTokenOperationResult result_ = CDVInstanceIDTokenOperationSucceeded;
  std::vector<CompletionHandler> completionHandlers_;
  std::vector<StateObserver> observers_;
  TestBlock testBlock_;
  bool executing_ = false;
  bool finishing_ = false;  // finishWithResult has begun: later calls do nothing
  bool finished_ = false;
  bool cancelled_ = false;
};

using CDVInstanceIDTokenOperationPtr = std::shared_ptr<CDVInstanceIDTokenOperation>;

class CDVInstanceIDTokenFetchOperation : public CDVInstanceIDTokenOperation {
 public:
  static std::shared_ptr<CDVInstanceIDTokenFetchOperation> initWithAuthorizedEntity(
      std::string authorizedEntity, std::string scope, platform::Dictionary options,
      CDVInstanceIDCheckinPreferencesPtr checkinPreferences, std::shared_ptr<CDVInstanceIDKeyPair> keyPair);

  void performTokenOperation() override;
  void handleResponseWithData(const platform::Bytes& data, const std::shared_ptr<const OBXHTTPResponse>& response,
                              const std::optional<platform::Error>& error) override;

  // Registration-error retries made so far in the process (tests may reset it).
  static int phoneRegistrationErrorRetryCount();
  static void resetPhoneRegistrationErrorRetryCountForTesting();

 private:
  using CDVInstanceIDTokenOperation::CDVInstanceIDTokenOperation;
  void retryAfterRegistrationError();
};

class CDVInstanceIDTokenDeleteOperation : public CDVInstanceIDTokenOperation {
 public:
  // Entity, scope and key pair may be absent (a delete after a reinstall has none).
  static std::shared_ptr<CDVInstanceIDTokenDeleteOperation> initWithAuthorizedEntity(
      std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
      CDVInstanceIDCheckinPreferencesPtr checkinPreferences, std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
      CDVInstanceIDTokenAction action);

  void performTokenOperation() override;
  void handleResponseWithData(const platform::Bytes& data, const std::shared_ptr<const OBXHTTPResponse>& response,
                              const std::optional<platform::Error>& error) override;

 private:
  using CDVInstanceIDTokenOperation::CDVInstanceIDTokenOperation;
};

// A serial queue of token operations: at most one executes at a time, the next starts when it
// has finished. Operations start on `queue` (a serial dispatch queue).
class CDVInstanceIDTokenOperationQueue : public std::enable_shared_from_this<CDVInstanceIDTokenOperationQueue> {
 public:
  static std::shared_ptr<CDVInstanceIDTokenOperationQueue> create(std::string name,
                                                                  std::shared_ptr<platform::Queue> queue = nullptr);
  const std::string& name() const { return name_; }
  int maxConcurrentOperationCount() const { return 1; }
  void addOperation(CDVInstanceIDTokenOperationPtr operation);
  // Cancels every operation not yet finished.
  void cancelAllOperations();
  std::size_t operationCount() const;

 private:
  CDVInstanceIDTokenOperationQueue(std::string name, std::shared_ptr<platform::Queue> queue)
      : name_(std::move(name)), queue_(std::move(queue)) {}
  void startNextIfIdle();

  const std::string name_;
  const std::shared_ptr<platform::Queue> queue_;
  mutable std::mutex mutex_;
  std::deque<CDVInstanceIDTokenOperationPtr> pending_;
  CDVInstanceIDTokenOperationPtr running_;
};
