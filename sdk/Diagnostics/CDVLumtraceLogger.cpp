#include "Diagnostics/CDVLumtraceLogger.h"

#include <algorithm>
#include <cstdlib>

#include "Core/Private/CDVForkedChild.h"
#include "Core/Public/CDVLogger.h"
#include "foundation/Files.h"
#include "foundation/Immortal.h"
#include "foundation/Sandbox.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "proto/NANOAccessors.h"

namespace {

constexpr int32_t kUploadRetries = 6;

std::mutex gSharedLock;
constinit platform::Immortal<std::shared_ptr<CDVLumtraceLogger>> gSharedInstanceStorage;
constinit std::shared_ptr<CDVLumtraceLogger>& gSharedInstance = *gSharedInstanceStorage;
std::mutex gEndpointLock;
constinit platform::Immortal<std::optional<std::string>> gEndpointStorage;
constinit std::optional<std::string>& gEndpoint = *gEndpointStorage;

// The integer value of a directory name, as the platform reads one: leading blanks, an optional
// sign and the digits that follow; 0 when there are none.
int32_t integerValueOfName(const std::string& name) {
  const long long value = std::strtoll(name.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// A client error that says this request will never be taken (408 timeout and 429 too many
// requests are worth trying again).
bool isRefusal(long statusCode) {
  return statusCode >= 400 && statusCode < 500 && statusCode != 408 && statusCode != 429;
}

}  // namespace

// ---- Process-wide client -----------------------------------------------------------------------

std::shared_ptr<CDVLumtraceLogger> CDVLumtraceLogger::sharedInstance() {
  std::lock_guard lock(gSharedLock);
  if (!gSharedInstance) gSharedInstance = init();
  return gSharedInstance;
}

void CDVLumtraceLogger::resetSharedInstanceForTesting() {
  std::shared_ptr<CDVLumtraceLogger> previous;
  {
    std::lock_guard lock(gSharedLock);
    previous.swap(gSharedInstance);
  }
}

std::string CDVLumtraceLogger::logUploadEndpoint() {
  std::lock_guard lock(gEndpointLock);
  return gEndpoint.value_or(kCDVLumtraceDefaultServerURL);
}

void CDVLumtraceLogger::setLogUploadEndpoint(std::optional<std::string> url) {
  std::lock_guard lock(gEndpointLock);
  gEndpoint = std::move(url);
}

std::shared_ptr<CDVLumtraceLogger> CDVLumtraceLogger::init() {
  platform::Error error;
  const std::string caches = platform::sandbox::folder(&platform::sandbox::cachesDirectory, &error);
  if (caches.empty()) {
    CDVLogError(kCDVLoggerCore, "I-COR000031", "Diagnostics logs are not kept: %@", error.description);
  }
  return initWithQueue(platform::Queue::serial("lumtrace"), platform::Queue::global(platform::QueuePriority::Background),
                       std::make_shared<OBXNetwork>(),
                       caches.empty() ? std::string() : platform::files::join(caches, "CDVLumtraceLogger"));
}

std::shared_ptr<CDVLumtraceLogger> CDVLumtraceLogger::initWithQueue(std::shared_ptr<platform::Queue> queue,
                                                                    std::shared_ptr<platform::Queue> replyQueue,
                                                                    std::shared_ptr<OBXNetwork> network,
                                                                    std::string logDirectory) {
  auto logger = std::make_shared<CDVLumtraceLogger>(PrivateTag{}, std::move(queue), std::move(replyQueue),
                                                    std::move(network), std::move(logDirectory));
  std::weak_ptr<CDVLumtraceLogger> weakLogger = logger;
  logger->backgroundObserver_ = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVApplicationDidEnterBackgroundNotification, platform::Value(),
      [weakLogger](const platform::Notification& notification) {
        if (CDVForkedChild::refuses("diagnostics")) return;
        if (auto strong = weakLogger.lock()) strong->applicationDidEnterBackground(notification);
      });
  logger->scheduleNextSend();
  return logger;
}

CDVLumtraceLogger::CDVLumtraceLogger(PrivateTag, std::shared_ptr<platform::Queue> queue,
                                     std::shared_ptr<platform::Queue> replyQueue, std::shared_ptr<OBXNetwork> network,
                                     std::string logDirectory)
    : queue_(std::move(queue)),
      replyQueue_(std::move(replyQueue)),
      network_(std::move(network)),
      logDirectory_(std::move(logDirectory)),
      serverURL_(logUploadEndpoint()) {}

CDVLumtraceLogger::~CDVLumtraceLogger() {
  if (backgroundObserver_ != 0) platform::NotificationCenter::defaultCenter().removeObserver(backgroundObserver_);
}

// ---- Properties --------------------------------------------------------------------------------

std::shared_ptr<CDVLumtraceLoggerDelegate> CDVLumtraceLogger::delegate() const {
  std::lock_guard lock(propertiesLock_);
  return delegate_.lock();
}
void CDVLumtraceLogger::setDelegate(const std::shared_ptr<CDVLumtraceLoggerDelegate>& delegate) {
  std::lock_guard lock(propertiesLock_);
  delegate_ = delegate;
}
std::string CDVLumtraceLogger::serverURL() const {
  std::lock_guard lock(propertiesLock_);
  return serverURL_;
}
void CDVLumtraceLogger::setServerURL(const std::string& url) {
  std::lock_guard lock(propertiesLock_);
  serverURL_ = url;
}
std::string CDVLumtraceLogger::applicationBuild() const {
  std::lock_guard lock(propertiesLock_);
  return applicationBuild_;
}
void CDVLumtraceLogger::setApplicationBuild(const std::string& build) {
  std::lock_guard lock(propertiesLock_);
  applicationBuild_ = build;
}
std::optional<std::string> CDVLumtraceLogger::installIdentifier() const {
  std::lock_guard lock(propertiesLock_);
  return installIdentifier_;
}
void CDVLumtraceLogger::setInstallIdentifier(std::optional<std::string> identifier) {
  std::lock_guard lock(propertiesLock_);
  installIdentifier_ = std::move(identifier);
}
std::optional<std::string> CDVLumtraceLogger::crellanCookie() const {
  std::lock_guard lock(propertiesLock_);
  return crellanCookie_;
}
void CDVLumtraceLogger::setCrellanCookie(std::optional<std::string> cookie) {
  std::lock_guard lock(propertiesLock_);
  crellanCookie_ = std::move(cookie);
}
int64_t CDVLumtraceLogger::sendDelayMillis() const {
  std::lock_guard lock(propertiesLock_);
  return sendDelayMillis_;
}
void CDVLumtraceLogger::setSendDelayMillis(int64_t millis) {
  std::lock_guard lock(propertiesLock_);
  sendDelayMillis_ = millis;
}
uint64_t CDVLumtraceLogger::maxRequestNumBytes() const {
  std::lock_guard lock(propertiesLock_);
  return maxRequestNumBytes_;
}
void CDVLumtraceLogger::setMaxRequestNumBytes(uint64_t bytes) {
  std::lock_guard lock(propertiesLock_);
  maxRequestNumBytes_ = bytes;
}
void CDVLumtraceLogger::setRequestEncoderForTesting(RequestEncoder encoder) {
  std::lock_guard lock(propertiesLock_);
  requestEncoder_ = std::move(encoder);
}
size_t CDVLumtraceLogger::pendingRequestCount() const {
  std::lock_guard lock(pendingRequestsLock_);
  return pendingRequests_.size();
}

// ---- Logging events ----------------------------------------------------------------------------

void CDVLumtraceLogger::logEvent(const LMTPBLogEvent& event, int32_t logSource, const std::string& account) {
  std::shared_ptr<LMTPBLogEvent> copy = LMTPBLogEvent::initWithMessageInfo(event.messageInfo());
  if (!copy) return;
  if (!NANOHasField(*copy, LMTPBLogEventSlot::event_time_ms)) {
    NANOSetInt64(*copy, LMTPBLogEventSlot::event_time_ms, CurrentTimeMillis());
  }
  if (!NANOHasField(*copy, LMTPBLogEventSlot::event_uptime_ms)) {
    NANOSetInt64(*copy, LMTPBLogEventSlot::event_uptime_ms, CurrentUptimeMillis());
  }
  std::weak_ptr<CDVLumtraceLogger> weakSelf = weak_from_this();
  queue_->async([weakSelf, copy, logSource, account] {
    if (auto self = weakSelf.lock()) self->writeEvent(copy, logSource, account);
  });
}

void CDVLumtraceLogger::writeEvent(const std::shared_ptr<LMTPBLogEvent>& event, int32_t logSource,
                                   const std::string& account) {
  if (account.empty() || logDirectory_.empty()) {
    CDVLogError(kCDVLoggerCore, "I-COR000017", "Failure to write data for account %@, logSource %d. Discarding.",
                account, logSource);
    return;
  }
  std::shared_ptr<CDVLumtraceAccountData> accountData = accountDataForAccount(account);
  std::shared_ptr<CDVLumtraceWriter> writer = accountData->writerForLogSource(
      logSource, [this](const std::string& path) { return isPathOfPendingRequest(path); });
  if (!writer->writeLogEvent(*event)) {
    CDVLogError(kCDVLoggerCore, "I-COR000017", "Failure to write data for account %@, logSource %d. Discarding.",
                account, logSource);
    accountData->removeWriterForLogSource(logSource);
    return;
  }
  if (writer->numBytes() > maxRequestNumBytes()) {
    writer->close();
    accountData->removeWriterForLogSource(logSource);
  }
}

std::shared_ptr<CDVLumtraceAccountData> CDVLumtraceLogger::accountDataForAccount(const std::string& account) {
  auto found = accounts_.find(account);
  if (found != accounts_.end()) return found->second;
  // The logger's folder and the account's are the SDK's own: made when missing, closed to others
  // when found open (a writer refuses the source folder below when another user's).
  const std::size_t slash = logDirectory_.rfind('/');
  const std::string escaped = CDVLumtraceEscapeAccount(account);
  platform::Error error;
  if (slash != std::string::npos &&
      !platform::files::createOwnDirectories(logDirectory_.substr(0, slash),
                                             platform::files::join(logDirectory_.substr(slash + 1), escaped), &error)) {
    CDVLogError(kCDVLoggerCore, "I-COR000015", "Failed to create directory: %@", error.fullDescription());
  }
  auto data = CDVLumtraceAccountData::initWithAccountLogDirectory(platform::files::join(logDirectory_, escaped));
  accounts_[account] = data;
  return data;
}

void CDVLumtraceLogger::flushWriters() {
  for (auto& [account, data] : accounts_) data->flushWriters();
}

// ---- Send passes -------------------------------------------------------------------------------

void CDVLumtraceLogger::flushWithCompletionHandler(CompletionHandler completion) {
  std::weak_ptr<CDVLumtraceLogger> weakSelf = weak_from_this();
  queue_->async([weakSelf, completion = std::move(completion)]() mutable {
    if (auto self = weakSelf.lock()) self->sendLogsWithCompletionHandler(std::move(completion));
  });
}

void CDVLumtraceLogger::applicationDidEnterBackground(const platform::Notification&) {
  flushWithCompletionHandler(nullptr);
}

void CDVLumtraceLogger::reachabilityDidChange() { scheduleNextSend(); }

void CDVLumtraceLogger::scheduleNextSend() {
  if (sendScheduled_.load()) return;
  if (!network_->isNetworkConnected()) {
    network_->setReachabilityDelegate(shared_from_this());
    // Reachability may have come back between the check and the registration.
    if (!network_->isNetworkConnected()) return;
  }
  network_->setReachabilityDelegate(nullptr);
  bool expected = false;
  if (!sendScheduled_.compare_exchange_strong(expected, true)) return;
  std::weak_ptr<CDVLumtraceLogger> weakSelf = weak_from_this();
  queue_->after(static_cast<double>(sendDelayMillis()) / 1000.0, [weakSelf] {
    if (auto self = weakSelf.lock()) {
      self->sendScheduled_.store(false);
      self->sendLogsWithCompletionHandler(nullptr);
    }
  });
}

void CDVLumtraceLogger::sendLogsWithCompletionHandler(CompletionHandler completion) {
  if (auto delegate = this->delegate()) delegate->lumtraceLoggerWillSendLogs(*this);
  flushWriters();
  updatePendingRequests();
  sendNextPendingRequestWithCompletionHandler(std::move(completion));
}

void CDVLumtraceLogger::updatePendingRequests() {
  if (logDirectory_.empty()) return;
  for (const std::string& accountName : platform::files::directoryContents(logDirectory_)) {
    const std::string accountDirectory = platform::files::join(logDirectory_, accountName);
    const std::string account = CDVLumtraceUnescapeAccount(accountName);
    for (const std::string& sourceName : platform::files::directoryContents(accountDirectory)) {
      const std::string sourceDirectory = platform::files::join(accountDirectory, sourceName);
      const int32_t logSource = integerValueOfName(sourceName);
      for (const std::string& fileName : platform::files::directoryContents(sourceDirectory)) {
        const std::string path = platform::files::join(sourceDirectory, fileName);
        std::lock_guard lock(pendingRequestsLock_);
        // A file still waiting from an earlier pass keeps its one place in the list.
        const bool listed = std::any_of(pendingRequests_.begin(), pendingRequests_.end(),
                                        [&path](const auto& request) { return request->path() == path; });
        if (!listed) pendingRequests_.push_back(CDVLumtraceRequest::initWithLogSource(logSource, account, path));
      }
    }
  }
}

std::shared_ptr<const CDVLumtraceRequest> CDVLumtraceLogger::nextPendingRequest(bool& inFlight) {
  std::lock_guard lock(pendingRequestsLock_);
  inFlight = requestInFlightPath_.has_value();
  if (inFlight || pendingRequests_.empty()) return nullptr;
  auto request = pendingRequests_.back();
  pendingRequests_.pop_back();
  requestInFlightPath_ = request->path();
  return request;
}

void CDVLumtraceLogger::finishRequestInFlight() {
  std::lock_guard lock(pendingRequestsLock_);
  requestInFlightPath_.reset();
}

bool CDVLumtraceLogger::isPathOfPendingRequest(const std::string& path) const {
  std::lock_guard lock(pendingRequestsLock_);
  if (requestInFlightPath_ == path) return true;
  for (const auto& request : pendingRequests_) {
    if (request->path() == path) return true;
  }
  return false;
}

void CDVLumtraceLogger::sendNextPendingRequestWithCompletionHandler(CompletionHandler completion) {
  if (network_->hasUploadInProgress() || uploadRetriesRemaining_.load() <= 0) return;
  // A reply that has arrived but is still being handled counts as an upload in progress: its
  // file may not be deleted yet, and a pass that took a listed copy of it would post it again.
  bool inFlight = false;
  std::shared_ptr<const CDVLumtraceRequest> request = nextPendingRequest(inFlight);
  if (inFlight) return;
  if (!request) {
    scheduleNextSend();
    if (completion) completion();
    return;
  }
  std::shared_ptr<LMTPBLogRequest> logRequest = logRequestFromPath(request->path(), request->logSource());
  std::weak_ptr<CDVLumtraceLogger> weakSelf = weak_from_this();
  auto goOn = [this, weakSelf, &completion] {
    finishRequestInFlight();
    queue_->async([weakSelf, completion = std::move(completion)]() mutable {
      if (auto self = weakSelf.lock()) self->sendNextPendingRequestWithCompletionHandler(std::move(completion));
    });
  };
  if (!logRequest) {
    // Only the event file itself goes: a directory found in its place is left alone.
    platform::files::removeFile(request->path());
    goOn();
    return;
  }
  NANOSetInt64(*logRequest, LMTPBLogRequestSlot::request_time_ms, CurrentTimeMillis());
  NANOSetInt64(*logRequest, LMTPBLogRequestSlot::request_uptime_ms, CurrentUptimeMillis());
  RequestEncoder encoder;
  {
    std::lock_guard lock(propertiesLock_);
    encoder = requestEncoder_;
  }
  std::optional<std::vector<uint8_t>> body = encoder ? encoder(*logRequest) : logRequest->protoBuffer();
  if (!body) {
    // Posting an empty body would have the file deleted on a 200 without its events being
    // delivered: the file stays for a later pass.
    CDVLogError(kCDVLoggerCore, "I-COR000021", "Could not encode the log request of %@. Keeping the file.",
                request->path());
    goOn();
    return;
  }
  const std::string path = request->path();
  network_->postURL(
      serverURL(), std::move(*body), replyQueue_, false,
      [weakSelf, path, completion = std::move(completion)](std::shared_ptr<const OBXHTTPResponse> response,
                                                          platform::Bytes, std::optional<platform::Error> error) {
        auto self = weakSelf.lock();
        if (!self) return;
        const long statusCode = response ? response->statusCode : 0;
        if (!error && statusCode == kOBXNetworkHTTPStatusOK) {
          platform::files::removeFile(path);
          self->uploadRetriesRemaining_.store(kUploadRetries);
          self->finishRequestInFlight();
          self->sendNextPendingRequestWithCompletionHandler(completion);
          return;
        }
        if (!error && isRefusal(statusCode)) {
          // The server will refuse this file every time: keeping it would hold back every
          // older file for ever.
          CDVLogError(kCDVLoggerCore, "I-COR000022",
                      "Lumtrace refused the log file %@ with Status Code: %ld. Deleting the file.", path,
                      statusCode);
          platform::files::removeFile(path);
          self->finishRequestInFlight();
          self->sendNextPendingRequestWithCompletionHandler(completion);
          return;
        }
        CDVLogError(kCDVLoggerCore, "I-COR000020", "Error posting to Lumtrace: %@, with Status Code: %ld",
                    error ? error->fullDescription() : std::string("(null)"), statusCode);
        self->uploadRetriesRemaining_.fetch_sub(1);
        self->finishRequestInFlight();
        self->scheduleNextSend();
      });
}

std::shared_ptr<LMTPBLogRequest> CDVLumtraceLogger::logRequestFromPath(const std::string& path,
                                                                       int32_t logSource) const {
  std::optional<platform::Bytes> contents = platform::files::readFile(path);
  if (!contents) return nullptr;
  // A process that died while writing leaves a cut-off record at the end; only whole records
  // are sent, and a file without any has nothing to send.
  const size_t whole = CDVLumtraceWholeRecordsLength(*contents);
  if (whole == 0) return nullptr;
  contents->resize(whole);

  auto request = LMTPBLogRequest::initWithMessageInfo(nullptr);
  auto clientInfo = LMTPBClientInfo::initWithMessageInfo(nullptr);
  auto iosClientInfo = LMTPBIosClientInfo::initWithMessageInfo(nullptr);
  if (!request || !clientInfo || !iosClientInfo) return nullptr;
  NANOSetInt32(*request, LMTPBLogRequestSlot::log_source, logSource);
  NANOSetArray(*request, LMTPBLogRequestSlot::serialized_log_events, platform::Array{platform::Value(std::move(*contents))});
  NANOSetInt32(*clientInfo, LMTPBClientInfoSlot::client_type, 3);
  NANOSetString(*iosClientInfo, LMTPBIosClientInfoSlot::application_build, applicationBuild());
  NANOSetString(*iosClientInfo, LMTPBIosClientInfoSlot::os_version, OBXAppEnvironmentUtil::systemVersion());
  const std::optional<std::string> install = installIdentifier();
  if (install && !install->empty()) {
    NANOSetString(*iosClientInfo, LMTPBIosClientInfoSlot::install_identifier, *install);
  }
  NANOSetMessage(*clientInfo, LMTPBClientInfoSlot::ios_client_info, iosClientInfo.get());
  NANOSetMessage(*request, LMTPBLogRequestSlot::client_info, clientInfo.get());
  const std::optional<std::string> cookie = crellanCookie();
  if (cookie) NANOSetString(*request, LMTPBLogRequestSlot::crellan_cookie, *cookie);
  return request;
}
