// Network client of the vendor utilities framework: HTTP POST and GET with a completion called
// exactly once per accepted request on the caller's queue, a request timeout, an upload-in-progress
// flag, and reachability as a process-wide settable flag with a delegate.
//
// Requests go through a transport (OBXNetworkTransport). The default is libcurl (HTTPS and plain
// HTTP, compressed replies decoded); a test installs a fake transport process-wide
// (OBXScopedNetworkTransport, see obx/OBXNetworkTesting.h) or hands one to a client.
//
// What a reply may cost is bounded: its body, once decoded, may hold at most the request's
// maxResponseBodySize bytes (kOBXNetworkDefaultMaxResponseBodySize unless the caller raised it)
// and the whole exchange takes at most the timeout; past either the request fails with an error
// (kOBXNetworkErrorCodeResponseTooLarge, kOBXNetworkErrorCodeTimedOut). A GET follows redirects.
// A POST follows only those that send its body on (307, 308): a 301, 302 or 303 would turn it
// into a GET without the body, so that reply itself is the answer (its status, headers and an
// empty body), and a success answers only the request that carried the body.
// This platform has no background URL sessions: the background flag is passed to the transport
// and otherwise changes nothing.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "dispatch/Queue.h"
#include "foundation/Error.h"
#include "foundation/Value.h"

// HTTP status codes the callers test for.
inline constexpr long kOBXNetworkHTTPStatusOK = 200;
inline constexpr long kOBXNetworkHTTPStatusNoContent = 204;
inline constexpr long kOBXNetworkHTTPStatusCodeNotModified = 304;
inline constexpr long kOBXNetworkHTTPStatusCodeNotFound = 404;
inline constexpr long kOBXNetworkHTTPStatusCodeCannotAcceptTraffic = 429;
inline constexpr long kOBXNetworkHTTPStatusCodeUnavailable = 503;

// Errors of requests that did not complete an HTTP exchange.
inline constexpr const char* kOBXNetworkErrorDomain = "com.obx.network.ErrorDomain";
enum OBXNetworkErrorCode : int {
  kOBXNetworkErrorCodeUnknown = 0,
  kOBXNetworkErrorCodeInvalidURL = 1,         // not an http or https URL with a host
  kOBXNetworkErrorCodeTimedOut = 2,           // no complete reply within the timeout
  kOBXNetworkErrorCodeCannotConnect = 3,      // host not found, connection refused or reset
  kOBXNetworkErrorCodeTransportFailure = 4,   // any other transport failure (TLS, protocol)
  kOBXNetworkErrorCodeResponseTooLarge = 5,   // the decoded reply body exceeded the request's limit
};

// The largest decoded reply body a request accepts unless its caller says otherwise.
inline constexpr std::size_t kOBXNetworkDefaultMaxResponseBodySize = 8 * 1024 * 1024;

// Levels of the network's log messages (the logger levels).
enum OBXNetworkLogLevel : int {
  kOBXNetworkLogLevelError = 3,
  kOBXNetworkLogLevelWarning = 4,
  kOBXNetworkLogLevelInfo = 6,
  kOBXNetworkLogLevelDebug = 7,
};

// Codes of the network's log messages.
enum OBXNetworkMessageCode : int {
  kOBXNetworkMessageCodeRequestStarted = 900000,      // debug: "Sending request" (context: URL)
  kOBXNetworkMessageCodeInvalidURL = 900001,          // error: "Invalid URL" (context: URL)
  kOBXNetworkMessageCodeRequestFailed = 900002,       // warning: "Request failed" (contexts: URL, error)
  kOBXNetworkMessageCodeResponseReceived = 900003,    // debug: "Response received" (contexts: URL, status)
  kOBXNetworkMessageCodeDuplicateCompletion = 900004, // error: a transport answered a request twice
};

// The HTTP part of a completed exchange.
struct OBXHTTPResponse {
  std::string url;
  long statusCode = 0;
  // Header lines of the final reply in order received.
  std::vector<std::pair<std::string, std::string>> headers;

  // The first header of that name, compared without regard to case.
  std::optional<std::string> headerValue(const std::string& name) const;
  // The Content-Length header as a number; -1 when absent or not a number.
  long long expectedContentLength() const;
};

// Response (null when no HTTP exchange completed), body, and error (empty on completion).
using OBXNetworkCompletionHandler =
    std::function<void(std::shared_ptr<const OBXHTTPResponse> response, platform::Bytes data,
                       std::optional<platform::Error> error)>;

class OBXNetworkReachabilityDelegate {
 public:
  virtual ~OBXNetworkReachabilityDelegate() = default;
  virtual void reachabilityDidChange() = 0;
};

class OBXNetworkLoggerDelegate {
 public:
  virtual ~OBXNetworkLoggerDelegate() = default;
  virtual void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                                       const std::string& message) = 0;
  virtual void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                                       const std::string& message, const platform::Value& context) = 0;
  virtual void OBXNetwork_logWithLevel(OBXNetworkLogLevel level, OBXNetworkMessageCode messageCode,
                                       const std::string& message, const std::vector<platform::Value>& contexts) = 0;
};

// One request as the transport sees it.
struct OBXNetworkRequest {
  std::string sessionID;
  std::string method;  // "GET" or "POST"
  std::string url;
  std::vector<std::pair<std::string, std::string>> headers;
  platform::Bytes body;
  double timeoutInterval = 60;
  bool usingBackgroundSession = false;
  // Bytes of decoded reply body accepted; a longer reply fails the request.
  std::size_t maxResponseBodySize = kOBXNetworkDefaultMaxResponseBodySize;
};

struct OBXNetworkResult {
  std::shared_ptr<const OBXHTTPResponse> response;
  platform::Bytes data;
  std::optional<platform::Error> error;
};

class OBXNetworkTransport {
 public:
  virtual ~OBXNetworkTransport() = default;
  // Performs the request and calls `done` once, from any thread, possibly before returning.
  // `done` is called whatever happens inside the transfer, allocation failure included.
  virtual void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) = 0;
};

// The libcurl transport (one shared instance).
std::shared_ptr<OBXNetworkTransport> OBXCurlNetworkTransport();

class OBXNetwork {
 public:
  // A client on the process-wide transport (looked up per request) and no reachability host.
  OBXNetwork();
  // The reachability host is recorded; reachability itself is the process-wide flag.
  explicit OBXNetwork(std::string reachabilityHost);
  // A client on its own transport.
  OBXNetwork(std::string reachabilityHost, std::shared_ptr<OBXNetworkTransport> transport);
  ~OBXNetwork();
  OBXNetwork(const OBXNetwork&) = delete;
  OBXNetwork& operator=(const OBXNetwork&) = delete;

  const std::string& reachabilityHost() const { return reachabilityHost_; }

  // Posts `payload` to `url`. Returns the new request's session ID, or an empty text when the
  // request was refused (not an http/https URL with a host); the handler is then called once
  // with an error all the same. The handler runs on `queue` (the main queue when null) exactly
  // once per request; a post stays an upload in progress until that turn, which ends it just
  // before the handler runs (so work on `queue` never sees the one change without the other).
  std::string postURL(const std::string& url, const platform::Bytes& payload, std::shared_ptr<platform::Queue> queue,
                      bool usingBackgroundSession, OBXNetworkCompletionHandler completionHandler);
  // postURL with request headers (such as "content-type").
  std::string postURL(const std::string& url, const std::map<std::string, std::string>& headers,
                      const platform::Bytes& payload, std::shared_ptr<platform::Queue> queue,
                      bool usingBackgroundSession, OBXNetworkCompletionHandler completionHandler);
  // GET with the given headers; otherwise like postURL (a GET does not count as an upload).
  std::string getURL(const std::string& url, const std::map<std::string, std::string>& headers,
                     std::shared_ptr<platform::Queue> queue, bool usingBackgroundSession,
                     OBXNetworkCompletionHandler completionHandler);

  // Timeout in seconds for requests made afterwards (default 60); values that are not positive
  // numbers are ignored.
  void setTimeoutInterval(double seconds);
  double timeoutInterval() const;
  // Largest decoded reply body accepted by requests made afterwards (default
  // kOBXNetworkDefaultMaxResponseBodySize); 0 is ignored.
  void setMaxResponseBodySize(std::size_t bytes);
  std::size_t maxResponseBodySize() const;

  // Whether the network is reachable now (the process-wide flag).
  bool isNetworkConnected() const;
  // Whether a post made through this client has not yet reached its handler's turn on its queue.
  bool hasUploadInProgress() const;

  // Delegates are held weakly. The reachability delegate is told of every change of the flag.
  void setReachabilityDelegate(std::shared_ptr<OBXNetworkReachabilityDelegate> delegate);
  void setLoggerDelegate(std::shared_ptr<OBXNetworkLoggerDelegate> delegate);
  // Debug mode sends debug-level messages to the logger delegate too.
  void setIsDebugModeEnabled(bool enabled);
  bool isDebugModeEnabled() const;

  // Takes over the events of a background session; this platform has none, so the handler is
  // called on the main queue at once.
  static void handleEventsForBackgroundURLSessionID(const std::string& sessionID, std::function<void()> completionHandler);

  // Process-wide reachability flag (initially reachable). Changing it calls
  // `reachabilityDidChange` of every client's reachability delegate, on the calling thread.
  static void setNetworkReachable(bool reachable);
  static bool isNetworkReachable();

  // Process-wide transport for clients without their own (null restores libcurl); returns the
  // previous one.
  static std::shared_ptr<OBXNetworkTransport> setDefaultTransport(std::shared_ptr<OBXNetworkTransport> transport);

  // State shared with requests in flight (implementation detail).
  struct Shared;

 private:
  std::string send(OBXNetworkRequest request, bool isUpload, std::shared_ptr<platform::Queue> queue,
                   OBXNetworkCompletionHandler handler);

  std::string reachabilityHost_;
  std::shared_ptr<OBXNetworkTransport> transport_;
  std::shared_ptr<Shared> shared_;
};

// Installs a process-wide transport for the lifetime of the object.
class OBXScopedNetworkTransport {
 public:
  explicit OBXScopedNetworkTransport(std::shared_ptr<OBXNetworkTransport> transport)
      : previous_(OBXNetwork::setDefaultTransport(std::move(transport))) {}
  ~OBXScopedNetworkTransport() { OBXNetwork::setDefaultTransport(std::move(previous_)); }
  OBXScopedNetworkTransport(const OBXScopedNetworkTransport&) = delete;
  OBXScopedNetworkTransport& operator=(const OBXScopedNetworkTransport&) = delete;

 private:
  std::shared_ptr<OBXNetworkTransport> previous_;
};
