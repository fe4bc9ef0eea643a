#include "obx/OBXNetworkTesting.h"

void OBXFakeNetworkTransport::perform(const OBXNetworkRequest& request, std::function<void(OBXNetworkResult)> done) {
  Responder responder;
  {
    std::lock_guard lock(mutex_);
    requests_.push_back(request);
    responder = responder_;
    if (!responder) {
      pending_.push_back(Pending{request, std::move(done)});
      return;
    }
  }
  done(responder(request));
}

std::vector<OBXNetworkRequest> OBXFakeNetworkTransport::requests() const {
  std::lock_guard lock(mutex_);
  return requests_;
}

std::size_t OBXFakeNetworkTransport::pendingCount() const {
  std::lock_guard lock(mutex_);
  return pending_.size();
}

bool OBXFakeNetworkTransport::respond(long statusCode, platform::Bytes body,
                                      std::vector<std::pair<std::string, std::string>> headers) {
  OBXNetworkResult result;
  auto response = std::make_shared<OBXHTTPResponse>();
  response->statusCode = statusCode;
  response->headers = std::move(headers);
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    response->url = pending_.front().request.url;
  }
  result.response = std::move(response);
  result.data = std::move(body);
  return answer(std::move(result));
}

bool OBXFakeNetworkTransport::fail(platform::Error error) {
  OBXNetworkResult result;
  result.error = std::move(error);
  return answer(std::move(result));
}

bool OBXFakeNetworkTransport::answer(OBXNetworkResult result) {
  Pending pending;
  {
    std::lock_guard lock(mutex_);
    if (pending_.empty()) return false;
    pending = std::move(pending_.front());
    pending_.pop_front();
  }
  pending.done(std::move(result));
  return true;
}

void OBXFakeNetworkTransport::setResponder(Responder responder) {
  std::lock_guard lock(mutex_);
  responder_ = std::move(responder);
}
