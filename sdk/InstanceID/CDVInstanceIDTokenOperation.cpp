#include "InstanceID/CDVInstanceIDTokenOperation.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <map>

#include "Core/Public/CDVApp.h"
#include "InstanceID/CDVInstanceIDAPNSInfo.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "foundation/Text.h"
#include "foundation/NotificationCenter.h"

namespace {

struct TokenTestBlockSlot {
  std::mutex mutex;
  CDVInstanceIDTokenOperation::TestBlock block;
};

TokenTestBlockSlot& defaultTestBlockSlot() {
  static TokenTestBlockSlot* slot = new TokenTestBlockSlot();  // never destroyed
  return *slot;
}

// Registration-error retries made in the life of the process; never reset.
std::atomic<int> phoneRegistrationErrorRetries{0};

bool mustEscape(unsigned char c) {
  return c < 0x20 || c >= 0x7f || c == '&' || c == '=' || c == '+' || c == '%' || c == '#' || c == ' ';
}

void appendEscaped(std::string& out, const std::string& text) {
  out += platform::text::percentEncoded(text, [](unsigned char c) { return !mustEscape(c); });
}

std::vector<std::string> split(const std::string& text, char separator) {
  std::vector<std::string> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(text.substr(start, at == std::string::npos ? std::string::npos : at - start));
    if (at == std::string::npos) return parts;
    start = at + 1;
  }
}

std::string textOf(const platform::Value& value) { return value.isString() ? *value.stringPtr() : std::string(); }

// A reply body as text; nothing when it is not UTF-8.
std::optional<std::string> textOfBody(const platform::Bytes& data) {
  std::string text(data.begin(), data.end());
  if (!platform::text::isValidUTF8(text)) return std::nullopt;
  return text;
}

}  // namespace

std::string CDVInstanceIDQueryFromQueryItems(const std::vector<CDVInstanceIDURLQueryItem>& items) {
  std::string query;
  for (const CDVInstanceIDURLQueryItem& item : items) {
    if (!query.empty()) query += '&';
    appendEscaped(query, item.name);
    if (item.value) {
      query += '=';
      appendEscaped(query, *item.value);
    }
  }
  return query;
}

std::optional<platform::Dictionary> CDVInstanceIDParseTokenResponse(const platform::Bytes& data) {
  const std::optional<std::string> text = textOfBody(data);
  if (!text) return std::nullopt;
  platform::Dictionary parsed;
  for (const std::string& line : split(*text, '\n')) {
    const std::vector<std::string> parts = split(line, '=');
    if (parts.size() < 2) continue;
    parsed.set(parts[0], parts[1]);
  }
  return parsed;
}

// ---- the operation ----

CDVInstanceIDTokenOperation::CDVInstanceIDTokenOperation(CDVInstanceIDTokenAction action,
                                                         std::optional<std::string> authorizedEntity,
                                                         std::optional<std::string> scope, platform::Dictionary options,
                                                         CDVInstanceIDCheckinPreferencesPtr checkinPreferences,
                                                         std::shared_ptr<CDVInstanceIDKeyPair> keyPair)
    : action_(action),
      authorizedEntity_(std::move(authorizedEntity)),
      scope_(std::move(scope)),
      options_(std::move(options)),
      checkinPreferences_(std::move(checkinPreferences)),
      keyPair_(std::move(keyPair)) {}

CDVInstanceIDTokenOperationResult CDVInstanceIDTokenOperation::result() const {
  std::lock_guard lock(mutex_);
  return result_;
}

void CDVInstanceIDTokenOperation::addCompletionHandler(CompletionHandler handler) {
  if (!handler) return;
  std::lock_guard lock(mutex_);
  completionHandlers_.push_back(std::move(handler));
}

void CDVInstanceIDTokenOperation::addStateObserver(StateObserver observer) {
  std::lock_guard lock(mutex_);
  observers_.push_back(std::move(observer));
}

void CDVInstanceIDTokenOperation::setTestBlock(TestBlock block) {
  std::lock_guard lock(mutex_);
  testBlock_ = std::move(block);
}

void CDVInstanceIDTokenOperation::setDefaultTestBlock(TestBlock block) {
  std::lock_guard lock(defaultTestBlockSlot().mutex);
  defaultTestBlockSlot().block = std::move(block);
}

bool CDVInstanceIDTokenOperation::isExecuting() const {
  std::lock_guard lock(mutex_);
  return executing_;
}

bool CDVInstanceIDTokenOperation::isFinished() const {
  std::lock_guard lock(mutex_);
  return finished_;
}

bool CDVInstanceIDTokenOperation::isCancelled() const {
  std::lock_guard lock(mutex_);
  return cancelled_;
}

void CDVInstanceIDTokenOperation::announce(const std::string& key) {
  std::vector<StateObserver> observers;
  {
    std::lock_guard lock(mutex_);
    observers = observers_;
  }
  for (const StateObserver& observer : observers) observer(key);
}

void CDVInstanceIDTokenOperation::setExecuting(bool executing) {
  {
    std::lock_guard lock(mutex_);
    if (executing_ == executing) return;
    executing_ = executing;
  }
  announce("isExecuting");
}

void CDVInstanceIDTokenOperation::start() {
  if (isCancelled()) {
    finishWithResult(CDVInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
    return;
  }
  if (!checkinPreferences_ || !checkinPreferences_->hasCheckinInfo()) {
    finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt,
                     errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidState));
    return;
  }
  setExecuting(true);
  performTokenOperation();
}

void CDVInstanceIDTokenOperation::cancel() {
  {
    std::lock_guard lock(mutex_);
    if (finishing_) return;
    cancelled_ = true;
  }
  // The transfer in flight, if any, is abandoned: its reply finds the operation finished.
  finishWithResult(CDVInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt);
}

void CDVInstanceIDTokenOperation::finishWithResult(CDVInstanceIDTokenOperationResult result,
                                                   std::optional<std::string> token,
                                                   std::optional<platform::Error> error) {
  std::vector<CompletionHandler> handlers;
  {
    std::lock_guard lock(mutex_);
    if (finishing_) return;
    finishing_ = true;
    result_ = result;
    handlers = completionHandlers_;
  }
  for (const CompletionHandler& handler : handlers) handler(result, token, error);
  setExecuting(false);
  {
    std::lock_guard lock(mutex_);
    finished_ = true;
  }
  announce("isFinished");
}

OBXNetworkRequest CDVInstanceIDTokenOperation::requestWithAuthHeader(const std::string& authHeader) {
  OBXNetworkRequest request;
  request.method = "POST";
  request.url = CDVInstanceIDRegisterServer();
  request.timeoutInterval = kCDVInstanceIDTokenRequestTimeout;
  request.headers.emplace_back("Authorization", authHeader);
  request.headers.emplace_back("app", CDVInstanceIDAppIdentifier());
  return request;
}

std::string CDVInstanceIDTokenOperation::HTTPAuthHeaderFromCheckin(const CDVInstanceIDCheckinPreferences& checkin) {
  return "AidLogin " + checkin.deviceID() + ":" + checkin.secretToken();
}

std::vector<CDVInstanceIDURLQueryItem> CDVInstanceIDTokenOperation::standardQueryItemsWithDeviceID(
    const std::optional<std::string>& deviceID, const std::optional<std::string>& scope) {
  std::vector<CDVInstanceIDURLQueryItem> items;
  items.push_back({"X-osv", CDVInstanceIDOperatingSystemVersion()});
  if (deviceID && !deviceID->empty()) items.push_back({"device", *deviceID});
  if (scope && !scope->empty()) items.push_back({"X-scope", *scope});
  items.push_back({"plat", "2"});
  items.push_back({"app", CDVInstanceIDAppIdentifier()});
  items.push_back({"app_ver", CDVInstanceIDCurrentAppVersion()});
  items.push_back({"X-cliv", "ciid-" + CDVInstanceIDCurrentWRQVersion().value_or("(null)")});
  return items;
}

std::vector<CDVInstanceIDURLQueryItem> CDVInstanceIDTokenOperation::queryItemsWithKeyPair(
    const CDVInstanceIDKeyPair& keyPair) const {
  return {{"appid", CDVInstanceIDAppIdentity(keyPair)}};
}

std::shared_ptr<OBXNetwork> CDVInstanceIDTokenOperation::sharedURLSession() {
  static const std::shared_ptr<OBXNetwork>& session = *new std::shared_ptr<OBXNetwork>([] {
    auto network = std::make_shared<OBXNetwork>();
    network->setTimeoutInterval(kCDVInstanceIDTokenRequestTimeout);
    return network;
  }());
  return session;
}

void CDVInstanceIDTokenOperation::send(OBXNetworkRequest request) {
  std::weak_ptr<CDVInstanceIDTokenOperation> weakSelf = shared_from_this();
  OBXNetworkCompletionHandler reply = [weakSelf](std::shared_ptr<const OBXHTTPResponse> response, platform::Bytes data,
                                                 std::optional<platform::Error> error) {
    std::shared_ptr<CDVInstanceIDTokenOperation> self = weakSelf.lock();
    if (!self || self->isFinished() || self->isCancelled()) return;
    self->handleResponseWithData(data, response, error);
  };
  TestBlock block;
  {
    std::lock_guard lock(mutex_);
    block = testBlock_;
  }
  if (!block) {
    std::lock_guard lock(defaultTestBlockSlot().mutex);
    block = defaultTestBlockSlot().block;
  }
  if (block) {
    block(request, reply);
    return;
  }
  std::map<std::string, std::string> headers(request.headers.begin(), request.headers.end());
  sharedURLSession()->postURL(request.url, headers, request.body, platform::Queue::global(), false, reply);
}

void CDVInstanceIDTokenOperation::sendForm(OBXNetworkRequest request, const std::vector<CDVInstanceIDURLQueryItem>& items,
                                           long logCode, const char* logFormat) {
  const std::string content = CDVInstanceIDQueryFromQueryItems(items);
  CDVInstanceIDLoggerDebug(logCode, logFormat, request.url, content);
  request.body.assign(content.begin(), content.end());
  send(std::move(request));
}

bool CDVInstanceIDTokenOperation::finishOnFailedExchange(const platform::Bytes& data,
                                                         const std::optional<platform::Error>& error, long logCode,
                                                         const char* logFormat) {
  if (error) {
    CDVInstanceIDLoggerDebug(logCode, logFormat, static_cast<long>(error->code));
    finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt, error);
    return true;
  }
  if (data.empty()) {
    finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt,
                     errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeUnknown));
    return true;
  }
  return false;
}

// ---- fetch ----

std::shared_ptr<CDVInstanceIDTokenFetchOperation> CDVInstanceIDTokenFetchOperation::initWithAuthorizedEntity(
    std::string authorizedEntity, std::string scope, platform::Dictionary options,
    CDVInstanceIDCheckinPreferencesPtr checkinPreferences, std::shared_ptr<CDVInstanceIDKeyPair> keyPair) {
  return std::shared_ptr<CDVInstanceIDTokenFetchOperation>(new CDVInstanceIDTokenFetchOperation(
      CDVInstanceIDTokenActionFetch, std::move(authorizedEntity), std::move(scope), std::move(options),
      std::move(checkinPreferences), std::move(keyPair)));
}

int CDVInstanceIDTokenFetchOperation::phoneRegistrationErrorRetryCount() { return phoneRegistrationErrorRetries.load(); }

void CDVInstanceIDTokenFetchOperation::resetPhoneRegistrationErrorRetryCountForTesting() {
  phoneRegistrationErrorRetries.store(0);
}

void CDVInstanceIDTokenFetchOperation::performTokenOperation() {
  const CDVInstanceIDCheckinPreferences& checkin = *checkinPreferences();
  OBXNetworkRequest request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
  request.headers.emplace_back("info", checkin.versionInfo());
  request.headers.emplace_back("X-cindervale-client", CDVApp::cindervaleUserAgent());

  std::vector<CDVInstanceIDURLQueryItem> items = standardQueryItemsWithDeviceID(checkin.deviceID(), scope());
  const std::string entity = authorizedEntity().value_or(std::string());
  items.push_back({"sender", entity});
  items.push_back({"X-subtype", entity});
  if (keyPair()) {
    for (CDVInstanceIDURLQueryItem& item : queryItemsWithKeyPair(*keyPair())) items.push_back(std::move(item));
  }
  const platform::Value& apnsToken = options().get(kCDVInstanceIDTokenOptionsAPNSKey);
  const platform::Value& sandbox = options().get(kCDVInstanceIDTokenOptionsAPNSIsSandboxKey);
  if (apnsToken.isData() && sandbox.isNumber()) {
    items.push_back({"apns_token", CDVInstanceIDAPNSTupleStringForTokenAndServerType(*apnsToken.dataPtr(),
                                                                                     sandbox.boolValue().value_or(false))});
  }
  const platform::Value& appID = options().get(kCDVInstanceIDTokenOptionsCindervaleAppIDKey);
  if (appID.isString()) items.push_back({"qpx_app_id", *appID.stringPtr()});

  sendForm(std::move(request), items, 20000, "Register request to %@ content: %@");
}

void CDVInstanceIDTokenFetchOperation::handleResponseWithData(const platform::Bytes& data,
                                                              const std::shared_ptr<const OBXHTTPResponse>&,
                                                              const std::optional<platform::Error>& error) {
  if (finishOnFailedExchange(data, error, 20001, "Token fetch HTTP error. Error Code: %ld")) return;
  const platform::Dictionary parsed = CDVInstanceIDParseTokenResponse(data).value_or(platform::Dictionary());
  const std::string token = textOf(parsed.get("token"));
  if (!token.empty()) {
    finishWithResult(CDVInstanceIDTokenOperationSucceeded, token, std::nullopt);
    return;
  }
  const std::string errorText = textOf(parsed.get("Error"));
  if (!errorText.empty()) {
    const std::vector<std::string> parts = split(errorText, ':');
    auto has = [&parts](const char* part) { return std::find(parts.begin(), parts.end(), part) != parts.end(); };
    if (has("PHONE_REGISTRATION_ERROR") &&
        phoneRegistrationErrorRetries.load() < kCDVInstanceIDMaxPhoneRegistrationErrorRetryCount) {
      retryAfterRegistrationError();
      return;
    }
    if (has("RST")) {
      platform::NotificationCenter::defaultCenter().post(kCDVInstanceIDIdentityInvalidatedNotification);
      CDVInstanceIDLoggerDebug(2001, "Identity is invalid. Server request identity reset.");
      finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt,
                       errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidIdentity));
      return;
    }
  }
  CDVInstanceIDLoggerDebug(20002, "Invalid fetch response, expected 'token' or 'Error' key");
  finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt,
                   errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeUnknown));
}

void CDVInstanceIDTokenFetchOperation::retryAfterRegistrationError() {
  const double delay = std::ldexp(1.0, phoneRegistrationErrorRetries.load());
  std::weak_ptr<CDVInstanceIDTokenOperation> weakSelf = shared_from_this();
  platform::Queue::main()->after(delay, [weakSelf] {
    std::shared_ptr<CDVInstanceIDTokenOperation> self = weakSelf.lock();
    // A cancelled or finished operation asks no more.
    if (!self || self->isCancelled() || self->isFinished()) return;
    ++phoneRegistrationErrorRetries;
    self->performTokenOperation();
  });
}

// ---- delete ----

std::shared_ptr<CDVInstanceIDTokenDeleteOperation> CDVInstanceIDTokenDeleteOperation::initWithAuthorizedEntity(
    std::optional<std::string> authorizedEntity, std::optional<std::string> scope,
    CDVInstanceIDCheckinPreferencesPtr checkinPreferences, std::shared_ptr<CDVInstanceIDKeyPair> keyPair,
    CDVInstanceIDTokenAction action) {
  return std::shared_ptr<CDVInstanceIDTokenDeleteOperation>(
      new CDVInstanceIDTokenDeleteOperation(action, std::move(authorizedEntity), std::move(scope), platform::Dictionary(),
                                            std::move(checkinPreferences), std::move(keyPair)));
}

void CDVInstanceIDTokenDeleteOperation::performTokenOperation() {
  const CDVInstanceIDCheckinPreferences& checkin = *checkinPreferences();
  OBXNetworkRequest request = requestWithAuthHeader(HTTPAuthHeaderFromCheckin(checkin));
  std::vector<CDVInstanceIDURLQueryItem> items = standardQueryItemsWithDeviceID(checkin.deviceID(), scope());
  items.push_back({"delete", "true"});
  if (action() == CDVInstanceIDTokenActionDeleteAll) items.push_back({"iid-operation", "delete"});
  if (authorizedEntity()) items.push_back({"sender", *authorizedEntity()});
  if (keyPair()) {
    for (CDVInstanceIDURLQueryItem& item : queryItemsWithKeyPair(*keyPair())) items.push_back(std::move(item));
  }
  sendForm(std::move(request), items, 21000, "Unregister request to %@ content: %@");
}

void CDVInstanceIDTokenDeleteOperation::handleResponseWithData(const platform::Bytes& data,
                                                               const std::shared_ptr<const OBXHTTPResponse>& response,
                                                               const std::optional<platform::Error>& error) {
  if (finishOnFailedExchange(data, error, 21001, "Device unregister HTTP fetch error. Error code: %ld")) return;
  const std::string body = textOfBody(data).value_or(std::string());
  if (body.rfind("deleted=", 0) == 0 || body.rfind("token=", 0) == 0) {
    finishWithResult(CDVInstanceIDTokenOperationSucceeded, std::nullopt, std::nullopt);
    return;
  }
  CDVInstanceIDLoggerDebug(21002, "Invalid unregister response %@",
                           response ? response->url + " " + std::to_string(response->statusCode) : std::string("(null)"));
  finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt,
                   errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeUnknown));
}

// ---- the queue ----

std::shared_ptr<CDVInstanceIDTokenOperationQueue> CDVInstanceIDTokenOperationQueue::create(
    std::string name, std::shared_ptr<platform::Queue> queue) {
  if (!queue) queue = platform::Queue::serial(name);
  return std::shared_ptr<CDVInstanceIDTokenOperationQueue>(
      new CDVInstanceIDTokenOperationQueue(std::move(name), std::move(queue)));
}

void CDVInstanceIDTokenOperationQueue::addOperation(CDVInstanceIDTokenOperationPtr operation) {
  if (!operation) return;
  std::weak_ptr<CDVInstanceIDTokenOperationQueue> weakSelf = shared_from_this();
  CDVInstanceIDTokenOperation* raw = operation.get();
  operation->addStateObserver([weakSelf, raw](const std::string& key) {
    if (key != "isFinished") return;
    std::shared_ptr<CDVInstanceIDTokenOperationQueue> self = weakSelf.lock();
    if (!self) return;
    {
      std::lock_guard lock(self->mutex_);
      if (self->running_.get() == raw) self->running_.reset();
      auto at = std::find_if(self->pending_.begin(), self->pending_.end(),
                             [raw](const CDVInstanceIDTokenOperationPtr& op) { return op.get() == raw; });
      if (at != self->pending_.end()) self->pending_.erase(at);
    }
    self->startNextIfIdle();
  });
  {
    std::lock_guard lock(mutex_);
    pending_.push_back(std::move(operation));
  }
  startNextIfIdle();
}

void CDVInstanceIDTokenOperationQueue::startNextIfIdle() {
  CDVInstanceIDTokenOperationPtr next;
  {
    std::lock_guard lock(mutex_);
    if (running_ || pending_.empty()) return;
    next = pending_.front();
    pending_.pop_front();
    running_ = next;
  }
  queue_->async([next] { next->start(); });
}

void CDVInstanceIDTokenOperationQueue::cancelAllOperations() {
  std::vector<CDVInstanceIDTokenOperationPtr> operations;
  {
    std::lock_guard lock(mutex_);
    operations.assign(pending_.begin(), pending_.end());
    if (running_) operations.insert(operations.begin(), running_);
  }
  for (const CDVInstanceIDTokenOperationPtr& operation : operations) operation->cancel();
}

std::size_t CDVInstanceIDTokenOperationQueue::operationCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size() + (running_ ? 1 : 0);
}
