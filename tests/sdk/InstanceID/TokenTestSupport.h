// Token fixture: a valid check-in on record, token operations and key-pair work on queues the
// test pumps, and a fake token endpoint that records every request and answers from a script
// (or holds the reply until the test releases it).
#pragma once

#include <deque>
#include <map>

#include "CheckinTestSupport.h"
#include "InstanceID/CDVInstanceID.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDTokenManager.h"

namespace iidtest {

// The body of a form request decoded: percent escapes undone, names mapped to values; `order`
// keeps the names as sent.
struct Form {
  std::map<std::string, std::string> values;
  std::vector<std::string> order;
  bool has(const std::string& name) const { return values.count(name) > 0; }
  std::string operator[](const std::string& name) const {
    auto at = values.find(name);
    return at == values.end() ? std::string("<absent>") : at->second;
  }
};

inline std::string percentDecode(const std::string& text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size()) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

inline Form decodeForm(const std::string& body) {
  Form form;
  std::size_t start = 0;
  while (start <= body.size()) {
    std::size_t end = body.find('&', start);
    if (end == std::string::npos) end = body.size();
    const std::string pair = body.substr(start, end - start);
    const std::size_t eq = pair.find('=');
    const std::string name = percentDecode(pair.substr(0, eq));
    form.order.push_back(name);
    form.values[name] = eq == std::string::npos ? std::string() : percentDecode(pair.substr(eq + 1));
    start = end + 1;
  }
  return form;
}

class TokenTest : public CheckinTest {
 protected:
  void SetUp() override {
    CheckinTest::SetUp();
    CDVInstanceIDTokenManager::setOperationQueueForTesting(operationQueue_);
    CDVInstanceID::setWorkQueueForTesting(workQueue_);
    CDVInstanceIDTokenOperation::setDefaultTestBlock(
        [this](const OBXNetworkRequest& request, OBXNetworkCompletionHandler reply) {
          requests.push_back(request);
          if (holdReplies) {
            held.push_back(std::move(reply));
            return;
          }
          std::string body = replies.empty() ? std::string("token=tok-default") : replies.front();
          if (!replies.empty() && replies.size() > 1) replies.pop_front();
          reply(nullptr, bytes(body), std::nullopt);
        });
    CDVInstanceIDTokenFetchOperation::resetPhoneRegistrationErrorRetryCountForTesting();
  }

  void TearDown() override {
    pump();
    CDVInstanceIDTokenOperation::setDefaultTestBlock(nullptr);
    CDVInstanceIDTokenManager::setOperationQueueForTesting(nullptr);
    CDVInstanceID::setWorkQueueForTesting(nullptr);
    CDVInstanceIDCheckinService::setCheckinTestBlock(nullptr);
    CheckinTest::TearDown();
  }

  // Every queue of the fixture until all are idle.
  void pump() {
    while (keychainQueue_->drain() + mainQueue_->drain() + operationQueue_->drain() + workQueue_->drain() > 0) {
    }
  }

  // A started facade with sender id "sender-1" (not configured: no automatic fetch).
  std::shared_ptr<CDVInstanceID> startedFacade() {
    auto facade = CDVInstanceID::initPrivately();
    facade->start();
    facade->setJXQSenderID("sender-1");
    pump();
    return facade;
  }

  Form requestForm(std::size_t index) const {
    return decodeForm(std::string(requests.at(index).body.begin(), requests.at(index).body.end()));
  }
  static std::string header(const OBXNetworkRequest& request, const std::string& name) {
    for (const auto& [key, value] : request.headers) {
      if (key == name) return value;
    }
    return "<absent>";
  }
  void releaseHeld(const std::string& body) {
    OBXNetworkCompletionHandler reply = std::move(held.front());
    held.pop_front();
    reply(nullptr, bytes(body), std::nullopt);
    pump();
  }

  struct Outcome {
    std::optional<std::string> value;
    std::optional<platform::Error> error;
  };
  static CDVInstanceID::TokenHandler into(std::vector<Outcome>& outcomes) {
    return [&outcomes](std::optional<std::string> token, std::optional<platform::Error> error) {
      outcomes.push_back({std::move(token), std::move(error)});
    };
  }
  static std::int64_t codeOf(const Outcome& outcome) { return outcome.error ? outcome.error->code : -1; }

  std::shared_ptr<PumpedQueue> operationQueue_ = PumpedQueue::create(kCDVInstanceIDTokenOperationsQueueName);
  std::shared_ptr<PumpedQueue> workQueue_ = PumpedQueue::create("global");
  std::vector<OBXNetworkRequest> requests;
  // Replies in order; the last one repeats.
  std::deque<std::string> replies;
  bool holdReplies = false;
  std::deque<OBXNetworkCompletionHandler> held;
};

}  // namespace iidtest
