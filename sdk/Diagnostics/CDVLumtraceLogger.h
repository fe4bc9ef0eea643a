// The process-wide log-upload client. Callers hand it a LogEvent with a log source and an
// account; it stamps the event's times, appends it to the open event file of that account and
// log source (Diagnostics/CDVLumtraceWriter.h), and a send pass (timed, on demand, or when the
// app goes to the background) closes every open file and posts each file as one LogRequest.
//
// Uploads go one at a time, the last listed file first; a file waiting from an earlier pass is
// listed once. A 4xx reply other than 408 and 429 means the server will never take the file: it
// is deleted (logged, I-COR000022) and the next file goes. Any other reply but HTTP 200 (or no
// reply) keeps the file and uses up one of six retries; six failures in a row stop uploads for
// the rest of the process (events are still written). A success restores the six retries. A
// request that cannot be encoded is not posted and its file stays (I-COR000021).
//
// Every operation may be called from any thread. Event writes, flushes and send passes run on
// the client's serial queue; replies arrive on the reply queue (the global background queue).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "Diagnostics/CDVLumtraceWriter.h"
#include "dispatch/Queue.h"
#include "foundation/NotificationCenter.h"
#include "obx/OBXNetwork.h"
#include "proto/LMTPBMessages.h"

// The log-upload endpoint the client starts with.
inline constexpr const char* kCDVLumtraceDefaultServerURL = "https://lumtrace.ombrix.com/log";
// The platform's application-did-enter-background notification.
inline constexpr const char* kCDVApplicationDidEnterBackgroundNotification =
    "UIApplicationDidEnterBackgroundNotification";

class CDVLumtraceLogger;

class CDVLumtraceLoggerDelegate {
 public:
  virtual ~CDVLumtraceLoggerDelegate() = default;
  // Told at the start of every send pass, on the client's queue.
  virtual void lumtraceLoggerWillSendLogs(CDVLumtraceLogger& logger) = 0;
};

class CDVLumtraceLogger : public OBXNetworkReachabilityDelegate,
                          public std::enable_shared_from_this<CDVLumtraceLogger> {
 public:
  using CompletionHandler = std::function<void()>;

  // The one client of the process, made on first use with init().
  static std::shared_ptr<CDVLumtraceLogger> sharedInstance();
  // A client on the queue "lumtrace", a new network client, the reply queue of background
  // priority and the directory "CDVLumtraceLogger" in the Caches directory. Without a Caches
  // directory it logs why (I-COR000031) and keeps nothing: every event is discarded (I-COR000017)
  // and a send pass finds nothing to send.
  static std::shared_ptr<CDVLumtraceLogger> init();
  // A client on the given parts (tests pass manual queues, a network on a fake transport and a
  // directory of their own). The first timed send pass is scheduled at once.
  static std::shared_ptr<CDVLumtraceLogger> initWithQueue(std::shared_ptr<platform::Queue> queue,
                                                          std::shared_ptr<platform::Queue> replyQueue,
                                                          std::shared_ptr<OBXNetwork> network,
                                                          std::string logDirectory);
  // The endpoint new clients start with and diagnostics points the shared client at
  // (kCDVLumtraceDefaultServerURL unless a host or test set another).
  static std::string logUploadEndpoint();
  static void setLogUploadEndpoint(std::optional<std::string> url);
  // Test support: forgets the shared client, so the next sharedInstance() makes a new one (in
  // the sandbox then current).
  static void resetSharedInstanceForTesting();

  ~CDVLumtraceLogger() override;
  CDVLumtraceLogger(const CDVLumtraceLogger&) = delete;
  CDVLumtraceLogger& operator=(const CDVLumtraceLogger&) = delete;

  // Takes a copy of the event, stamps its missing event time and uptime (on the caller's
  // thread), then appends it on the queue. An empty account is refused (logged, event dropped).
  void logEvent(const LMTPBLogEvent& event, int32_t logSource, const std::string& account);
  // Runs a send pass on the queue. `completion` (may be empty) is called when a pass has
  // uploaded every listed file; it is not called when an upload fails or uploads are stopped.
  void flushWithCompletionHandler(CompletionHandler completion);
  void applicationDidEnterBackground(const platform::Notification& notification);
  void reachabilityDidChange() override;

  // Settable properties.
  std::shared_ptr<CDVLumtraceLoggerDelegate> delegate() const;
  void setDelegate(const std::shared_ptr<CDVLumtraceLoggerDelegate>& delegate);  // held weakly
  std::string serverURL() const;
  void setServerURL(const std::string& url);
  std::string applicationBuild() const;
  void setApplicationBuild(const std::string& build);
  std::optional<std::string> installIdentifier() const;
  void setInstallIdentifier(std::optional<std::string> identifier);
  std::optional<std::string> crellanCookie() const;
  void setCrellanCookie(std::optional<std::string> cookie);
  int64_t sendDelayMillis() const;
  void setSendDelayMillis(int64_t millis);
  uint64_t maxRequestNumBytes() const;
  void setMaxRequestNumBytes(uint64_t bytes);

  const std::string& logDirectory() const { return logDirectory_; }
  const std::shared_ptr<platform::Queue>& queue() const { return queue_; }
  const std::shared_ptr<OBXNetwork>& network() const { return network_; }
  int32_t uploadRetriesRemaining() const { return uploadRetriesRemaining_.load(); }
  bool sendScheduled() const { return sendScheduled_.load(); }
  size_t pendingRequestCount() const;

  // The upload of one event file (none when the file cannot be read or holds no whole record).
  std::shared_ptr<LMTPBLogRequest> logRequestFromPath(const std::string& path, int32_t logSource) const;

  // Turns a request into the body that is posted (none when it cannot be encoded).
  using RequestEncoder = std::function<std::optional<std::vector<uint8_t>>(const LMTPBLogRequest&)>;
  // Test support: replaces the encoder (empty: the message's own encoding).
  void setRequestEncoderForTesting(RequestEncoder encoder);

  // Use the factories.
  struct PrivateTag {};
  CDVLumtraceLogger(PrivateTag, std::shared_ptr<platform::Queue> queue, std::shared_ptr<platform::Queue> replyQueue,
                    std::shared_ptr<OBXNetwork> network, std::string logDirectory);

 private:
  std::shared_ptr<CDVLumtraceAccountData> accountDataForAccount(const std::string& account);
  void flushWriters();
  void updatePendingRequests();
  // Takes the last listed request and marks its file in flight until its upload has been
  // handled (finishRequestInFlight). None when the list is empty, or when another request is
  // still in flight (`inFlight` is then set).
  std::shared_ptr<const CDVLumtraceRequest> nextPendingRequest(bool& inFlight);
  void finishRequestInFlight();
  // Whether a listed or in-flight request refers to `path` (a new event file must not take
  // that name).
  bool isPathOfPendingRequest(const std::string& path) const;
  void scheduleNextSend();
  void sendLogsWithCompletionHandler(CompletionHandler completion);
  void sendNextPendingRequestWithCompletionHandler(CompletionHandler completion);
  void writeEvent(const std::shared_ptr<LMTPBLogEvent>& event, int32_t logSource, const std::string& account);

  const std::shared_ptr<platform::Queue> queue_;
  const std::shared_ptr<platform::Queue> replyQueue_;
  const std::shared_ptr<OBXNetwork> network_;
  const std::string logDirectory_;

  // Touched only on queue_.
  std::map<std::string, std::shared_ptr<CDVLumtraceAccountData>> accounts_;

  std::atomic<int32_t> uploadRetriesRemaining_{6};
  std::atomic<bool> sendScheduled_{false};

  mutable std::mutex pendingRequestsLock_;
  std::vector<std::shared_ptr<const CDVLumtraceRequest>> pendingRequests_;
  // The file of the request taken from the list and not yet handled (read, posted and its
  // reply dealt with). A send pass and the reply-thread chain never take a request at once.
  std::optional<std::string> requestInFlightPath_;

  mutable std::mutex propertiesLock_;
  std::weak_ptr<CDVLumtraceLoggerDelegate> delegate_;
  std::string serverURL_;
  std::string applicationBuild_ = "0";
  std::optional<std::string> installIdentifier_;
  std::optional<std::string> crellanCookie_;
  int64_t sendDelayMillis_ = 900000;
  uint64_t maxRequestNumBytes_ = 0x100000;
  RequestEncoder requestEncoder_;

  platform::NotificationCenter::ObserverToken backgroundObserver_ = 0;
};
