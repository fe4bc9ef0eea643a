#include "obx/OBXNetwork.h"

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <set>

#include "foundation/Cancellation.h"

namespace {

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](unsigned char x, unsigned char y) {
           return std::tolower(x) == std::tolower(y);
         });
}

// An http or https URL with a non-empty host.
bool isAcceptableURL(const std::string& url) {
  std::string lower(url.size(), '\0');
  std::transform(url.begin(), url.end(), lower.begin(), [](unsigned char c) { return std::tolower(c); });
  std::size_t hostStart;
  if (lower.rfind("http://", 0) == 0) {
    hostStart = 7;
  } else if (lower.rfind("https://", 0) == 0) {
    hostStart = 8;
  } else {
    return false;
  }
  if (std::any_of(url.begin(), url.end(), [](unsigned char c) { return c <= 0x20 || c == 0x7f; })) return false;
  std::size_t hostEnd = url.find_first_of("/?#", hostStart);
  std::string authority = url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
  std::size_t at = authority.rfind('@');
  if (at != std::string::npos) authority = authority.substr(at + 1);
  return !authority.empty() && authority[0] != ':';
}

struct TransportSlot {
  std::mutex mutex;
  std::shared_ptr<OBXNetworkTransport> installed;
};

TransportSlot& transportSlot() {
  static TransportSlot* slot = new TransportSlot();  // never destroyed
  return *slot;
}

std::shared_ptr<OBXNetworkTransport> defaultTransport() {
  TransportSlot& slot = transportSlot();
  std::lock_guard lock(slot.mutex);
  return slot.installed ? slot.installed : OBXCurlNetworkTransport();
}

std::atomic<std::uint64_t> gSessionCounter{0};

std::string newSessionID() {
  return "com.obx.network.session-" + std::to_string(static_cast<long long>(getpid())) + "-" +
         std::to_string(++gSessionCounter);
}

}  // namespace

std::optional<std::string> OBXHTTPResponse::headerValue(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (equalsIgnoringCase(key, name)) return value;
  }
  return std::nullopt;
}

long long OBXHTTPResponse::expectedContentLength() const {
  std::optional<std::string> value = headerValue("Content-Length");
  if (!value || value->empty() || value->size() > 18) return -1;
  long long length = 0;
  for (char c : *value) {
    if (c < '0' || c > '9') return -1;
    length = length * 10 + (c - '0');
  }
  return length;
}

// State that outlives the client while its requests are in flight.
struct OBXNetwork::Shared {
  mutable std::mutex mutex;
  double timeoutInterval = 60;
  std::size_t maxResponseBodySize = kOBXNetworkDefaultMaxResponseBodySize;
  bool debugMode = false;
  std::weak_ptr<OBXNetworkReachabilityDelegate> reachabilityDelegate;
  std::weak_ptr<OBXNetworkLoggerDelegate> loggerDelegate;
  std::atomic<int> uploadsInFlight{0};

  void log(OBXNetworkLogLevel level, OBXNetworkMessageCode code, const std::string& message,
           const std::vector<platform::Value>& contexts) const {
    std::shared_ptr<OBXNetworkLoggerDelegate> delegate;
    {
      std::lock_guard lock(mutex);
      if (level == kOBXNetworkLogLevelDebug && !debugMode) return;
      delegate = loggerDelegate.lock();
    }
    if (!delegate) return;
    if (contexts.empty()) {
      delegate->OBXNetwork_logWithLevel(level, code, message);
    } else if (contexts.size() == 1) {
      delegate->OBXNetwork_logWithLevel(level, code, message, contexts[0]);
    } else {
      delegate->OBXNetwork_logWithLevel(level, code, message, contexts);
    }
  }
};

namespace {

// Every live client, for reachability changes.
struct ClientRegistry {
  std::mutex mutex;
  std::set<OBXNetwork::Shared*> clients;
  bool reachable = true;
};

ClientRegistry& clientRegistry() {
  static ClientRegistry* shared = new ClientRegistry();  // never destroyed
  return *shared;
}

}  // namespace

OBXNetwork::OBXNetwork() : OBXNetwork(std::string()) {}

OBXNetwork::OBXNetwork(std::string reachabilityHost) : OBXNetwork(std::move(reachabilityHost), nullptr) {}

OBXNetwork::OBXNetwork(std::string reachabilityHost, std::shared_ptr<OBXNetworkTransport> transport)
    : reachabilityHost_(std::move(reachabilityHost)), transport_(std::move(transport)), shared_(std::make_shared<Shared>()) {
  std::lock_guard lock(clientRegistry().mutex);
  clientRegistry().clients.insert(shared_.get());
}

OBXNetwork::~OBXNetwork() {
  std::lock_guard lock(clientRegistry().mutex);
  clientRegistry().clients.erase(shared_.get());
}

std::string OBXNetwork::postURL(const std::string& url, const platform::Bytes& payload,
                                std::shared_ptr<platform::Queue> queue, bool usingBackgroundSession,
                                OBXNetworkCompletionHandler completionHandler) {
  return postURL(url, {}, payload, std::move(queue), usingBackgroundSession, std::move(completionHandler));
}

std::string OBXNetwork::postURL(const std::string& url, const std::map<std::string, std::string>& headers,
                                const platform::Bytes& payload, std::shared_ptr<platform::Queue> queue,
                                bool usingBackgroundSession, OBXNetworkCompletionHandler completionHandler) {
  OBXNetworkRequest request;
  request.method = "POST";
  request.url = url;
  request.headers.assign(headers.begin(), headers.end());
  request.body = payload;
  request.usingBackgroundSession = usingBackgroundSession;
  return send(std::move(request), true, std::move(queue), std::move(completionHandler));
}

std::string OBXNetwork::getURL(const std::string& url, const std::map<std::string, std::string>& headers,
                               std::shared_ptr<platform::Queue> queue, bool usingBackgroundSession,
                               OBXNetworkCompletionHandler completionHandler) {
  OBXNetworkRequest request;
  request.method = "GET";
  request.url = url;
  request.headers.assign(headers.begin(), headers.end());
  request.usingBackgroundSession = usingBackgroundSession;
  return send(std::move(request), false, std::move(queue), std::move(completionHandler));
}

namespace {

// An upload counted in its client's uploads in flight until end() or its destruction, once.
class UploadInFlight {
 public:
  explicit UploadInFlight(std::shared_ptr<OBXNetwork::Shared> shared) : shared_(std::move(shared)) {}
  ~UploadInFlight() { end(); }
  UploadInFlight(const UploadInFlight&) = delete;
  UploadInFlight& operator=(const UploadInFlight&) = delete;
  void end() {
    if (shared_ && !ended_.exchange(true)) --shared_->uploadsInFlight;
  }

 private:
  std::shared_ptr<OBXNetwork::Shared> shared_;
  std::atomic<bool> ended_{false};
};

}  // namespace

std::string OBXNetwork::send(OBXNetworkRequest request, bool isUpload, std::shared_ptr<platform::Queue> queue,
                             OBXNetworkCompletionHandler handler) {
  if (!queue) queue = platform::Queue::main();
  std::shared_ptr<Shared> shared = shared_;

  if (!isAcceptableURL(request.url)) {
    shared->log(kOBXNetworkLogLevelError, kOBXNetworkMessageCodeInvalidURL, "Invalid URL", {platform::Value(request.url)});
    platform::Error error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeInvalidURL, "Invalid URL: " + request.url);
    if (handler) {
      queue->async([handler = std::move(handler), error = std::move(error)] { handler(nullptr, {}, error); });
    }
    return std::string();
  }

  request.sessionID = newSessionID();
  request.timeoutInterval = timeoutInterval();
  request.maxResponseBodySize = maxResponseBodySize();
  std::string sessionID = request.sessionID;
  std::string url = request.url;
  if (isUpload) ++shared->uploadsInFlight;
  shared->log(kOBXNetworkLogLevelDebug, kOBXNetworkMessageCodeRequestStarted, "Sending request", {platform::Value(url)});

  auto answered = std::make_shared<std::atomic<bool>>(false);
  auto done = [shared, queue, handler = std::move(handler), answered, isUpload, url](OBXNetworkResult result) {
    if (answered->exchange(true)) {
      shared->log(kOBXNetworkLogLevelError, kOBXNetworkMessageCodeDuplicateCompletion,
                  "Transport answered a request twice; the second answer is dropped", {platform::Value(url)});
      return;
    }
    if (result.error) {
      shared->log(kOBXNetworkLogLevelWarning, kOBXNetworkMessageCodeRequestFailed, "Request failed",
                  {platform::Value(url), platform::Value(result.error->description)});
    } else {
      long status = result.response ? result.response->statusCode : 0;
      shared->log(kOBXNetworkLogLevelDebug, kOBXNetworkMessageCodeResponseReceived, "Response received",
                  {platform::Value(url), platform::Value(static_cast<std::int64_t>(status))});
    }
    // An upload stays in progress until its handler's turn on its queue, and ends there just
    // before the handler runs: what else runs on that queue sees the upload and what its handler
    // clears change at once. A turn that never runs (the queue gone) still ends it.
    auto inFlight = std::make_shared<UploadInFlight>(isUpload ? shared : nullptr);
    if (!handler) return;
    queue->async([handler, inFlight = std::move(inFlight), result = std::move(result)]() mutable {
      inFlight->end();
      handler(std::move(result.response), std::move(result.data), std::move(result.error));
    });
  };

  // A transport that throws instead of answering still answers here: a request left without
  // its completion would count as an upload in progress for ever.
  // So does one whose caller's thread is cancelled inside it, and the cancellation goes on.
  auto answer = std::make_shared<std::function<void(OBXNetworkResult)>>(std::move(done));
  try {
    std::shared_ptr<OBXNetworkTransport> transport = transport_ ? transport_ : defaultTransport();
    transport->perform(request, [answer](OBXNetworkResult result) { (*answer)(std::move(result)); });
  } catch (...) {
    if (!answered->load()) {
      OBXNetworkResult failure;
      failure.error = platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTransportFailure,
                                      "The transport could not take the request");
      (*answer)(std::move(failure));
    }
    if (platform::handlingCancellation()) throw;
  }
  return sessionID;
}

void OBXNetwork::setTimeoutInterval(double seconds) {
  if (!(seconds > 0) || !std::isfinite(seconds)) return;
  std::lock_guard lock(shared_->mutex);
  shared_->timeoutInterval = seconds;
}

void OBXNetwork::setMaxResponseBodySize(std::size_t bytes) {
  if (bytes == 0) return;
  std::lock_guard lock(shared_->mutex);
  shared_->maxResponseBodySize = bytes;
}

std::size_t OBXNetwork::maxResponseBodySize() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->maxResponseBodySize;
}

double OBXNetwork::timeoutInterval() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->timeoutInterval;
}

bool OBXNetwork::isNetworkConnected() const { return isNetworkReachable(); }

bool OBXNetwork::hasUploadInProgress() const { return shared_->uploadsInFlight.load() > 0; }

void OBXNetwork::setReachabilityDelegate(std::shared_ptr<OBXNetworkReachabilityDelegate> delegate) {
  std::lock_guard lock(shared_->mutex);
  shared_->reachabilityDelegate = delegate;
}

void OBXNetwork::setLoggerDelegate(std::shared_ptr<OBXNetworkLoggerDelegate> delegate) {
  std::lock_guard lock(shared_->mutex);
  shared_->loggerDelegate = delegate;
}

void OBXNetwork::setIsDebugModeEnabled(bool enabled) {
  std::lock_guard lock(shared_->mutex);
  shared_->debugMode = enabled;
}

bool OBXNetwork::isDebugModeEnabled() const {
  std::lock_guard lock(shared_->mutex);
  return shared_->debugMode;
}

void OBXNetwork::handleEventsForBackgroundURLSessionID(const std::string&, std::function<void()> completionHandler) {
  if (completionHandler) platform::Queue::main()->async(std::move(completionHandler));
}

void OBXNetwork::setNetworkReachable(bool reachable) {
  std::vector<std::shared_ptr<OBXNetworkReachabilityDelegate>> delegates;
  {
    ClientRegistry& r = clientRegistry();
    std::lock_guard lock(r.mutex);
    if (r.reachable == reachable) return;
    r.reachable = reachable;
    for (Shared* client : r.clients) {
      std::lock_guard clientLock(client->mutex);
      if (auto delegate = client->reachabilityDelegate.lock()) delegates.push_back(std::move(delegate));
    }
  }
  for (auto& delegate : delegates) delegate->reachabilityDidChange();
}

bool OBXNetwork::isNetworkReachable() {
  std::lock_guard lock(clientRegistry().mutex);
  return clientRegistry().reachable;
}

std::shared_ptr<OBXNetworkTransport> OBXNetwork::setDefaultTransport(std::shared_ptr<OBXNetworkTransport> transport) {
  TransportSlot& slot = transportSlot();
  std::lock_guard lock(slot.mutex);
  std::shared_ptr<OBXNetworkTransport> previous = std::move(slot.installed);
  slot.installed = std::move(transport);
  return previous;
}
