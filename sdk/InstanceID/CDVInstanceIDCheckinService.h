// The device check-in exchange: one JSON POST to the vendor's "/checkin" endpoint carrying the
// device's facts and the previous credentials, and the reply turned into a new check-in record.
//
// Ids and tokens travel as JSON numbers with their exact decimal digits (unsigned 64-bit values
// included), in both directions. Replies are handled on the service's reply queue.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "InstanceID/CDVInstanceIDCheckinPreferences.h"
#include "dispatch/Queue.h"
#include "foundation/Error.h"
#include "obx/OBXNetwork.h"

inline constexpr const char* kCDVInstanceIDCheckinURL = "https://device-provisioning.ombrixapis.com/checkin";
inline constexpr const char* kCDVInstanceIDCheckinSessionDescription = "com.ombrix.iid-checkin";
inline constexpr double kCDVInstanceIDCheckinTimeout = 60;
// Error of a reply that arrives after its session was stopped (the platform's "cancelled").
inline constexpr const char* kCDVInstanceIDURLErrorDomain = "NSURLErrorDomain";
inline constexpr std::int64_t kCDVInstanceIDURLErrorCancelled = -999;

class CDVInstanceIDCheckinService {
 public:
  using Completion =
      std::function<void(CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> error)>;
  // Receives the request instead of the network, and the reply handler to answer it with.
  using TestBlock = std::function<void(const OBXNetworkRequest& request, OBXNetworkCompletionHandler reply)>;

  // Posts to `checkinURL` (tests: a loopback server) with a request timeout of
  // `timeoutSeconds`; replies are handled on `replyQueue` (default: a serial queue of its own).
  explicit CDVInstanceIDCheckinService(std::string checkinURL = kCDVInstanceIDCheckinURL,
                                       std::shared_ptr<platform::Queue> replyQueue = nullptr,
                                       double timeoutSeconds = kCDVInstanceIDCheckinTimeout);
  // Removes the process-wide test block and stops the session.
  ~CDVInstanceIDCheckinService();
  CDVInstanceIDCheckinService(const CDVInstanceIDCheckinService&) = delete;
  CDVInstanceIDCheckinService& operator=(const CDVInstanceIDCheckinService&) = delete;

  // Checks in with the existing record (possibly none); the completion runs once, on the reply
  // queue (at once, on the calling thread, when the session was stopped).
  void checkinWithExistingCheckin(CDVInstanceIDCheckinPreferencesPtr existing, Completion completion);
  platform::Dictionary checkinParametersWithExistingCheckin(const CDVInstanceIDCheckinPreferencesPtr& existing) const;
  // Drops the session; requests in flight complete with a cancellation error and later check-ins
  // fail with error 6.
  void stopFetching();

  static void setCheckinTestBlock(TestBlock block);

 private:
  static void handleReply(const std::shared_ptr<const OBXHTTPResponse>& response, const platform::Bytes& data,
                          const std::optional<platform::Error>& error, const Completion& completion);

  const std::string checkinURL_;
  const std::shared_ptr<platform::Queue> replyQueue_;
  mutable std::mutex mutex_;
  std::shared_ptr<OBXNetwork> session_;
  // Shared with requests in flight: cleared when the session they were sent on is stopped.
  std::shared_ptr<std::atomic<bool>> sessionLive_;
};
