// A network transport for tests: it records every request and answers only when the test
// says so (or at once, through a responder the test installs).
#pragma once

#include <deque>
#include <functional>
#include <mutex>
#include <vector>

#include "obx/OBXNetwork.h"

class OBXFakeNetworkTransport : public OBXNetworkTransport {
 public:
  using Responder = std::function<OBXNetworkResult(const OBXNetworkRequest&)>;

  void perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) override;

  // Every request received, answered or not, oldest first.
  std::vector<OBXNetworkRequest> requests() const;
  // Requests not answered yet.
  std::size_t pendingCount() const;

  // Answers the oldest unanswered request with an HTTP reply; false when none is waiting.
  bool respond(long statusCode, platform::Bytes body = {},
               std::vector<std::pair<std::string, std::string>> headers = {});
  // Answers the oldest unanswered request with a transport error; false when none is waiting.
  bool fail(platform::Error error);
  // Answers the oldest unanswered request with a prepared result; false when none is waiting.
  bool answer(OBXNetworkResult result);
  // While set, requests are answered at once by the responder instead of waiting.
  void setResponder(Responder responder);

 private:
  struct Pending {
    OBXNetworkRequest request;
    std::function<void(OBXNetworkResult)> done;
  };
  mutable std::mutex mutex_;
  std::vector<OBXNetworkRequest> requests_;
  std::deque<Pending> pending_;
  Responder responder_;
};

// A libcurl transport of its own whose reply-body store calls `beforeBodyGrowth` with the
// capacity it is about to allocate; the hook may throw, as a failing allocation would.
std::shared_ptr<OBXNetworkTransport> OBXCurlNetworkTransportForTesting(std::function<void(std::size_t)> beforeBodyGrowth);
