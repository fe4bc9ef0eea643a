// Token operations: the form body and the reply text, the request a fetch and a delete send, the
// outcomes of replies, registration-error retries on the manual clock, and the operation life
// cycle on the serial operation queue.
#include "TokenTestSupport.h"

using platform::Value;

namespace {

class TokenOperationTest : public iidtest::TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    checkin = std::make_shared<CDVInstanceIDCheckinPreferences>("1001", "2002");
    checkin->updateWithCheckinPlistContents(platform::Dictionary{{kCDVInstanceIDCheckinVersionInfoKey, "vi-9"}});
    queue = CDVInstanceIDTokenOperationQueue::create(kCDVInstanceIDTokenOperationsQueueName, operationQueue_);
  }

  struct Finish {
    CDVInstanceIDTokenOperationResult result;
    std::optional<std::string> token;
    std::optional<platform::Error> error;
  };
  CDVInstanceIDTokenOperationPtr fetch(platform::Dictionary options = {}, CDVInstanceIDCheckinPreferencesPtr credentials = nullptr) {
    auto operation = CDVInstanceIDTokenFetchOperation::initWithAuthorizedEntity("sender-1", "scope-1", std::move(options),
                                                                               credentials ? credentials : checkin, nullptr);
    operation->addCompletionHandler([this](CDVInstanceIDTokenOperationResult result, std::optional<std::string> token,
                                           std::optional<platform::Error> error) {
      finishes.push_back({result, std::move(token), std::move(error)});
    });
    return operation;
  }
  Finish run(const std::string& reply) {
    replies = {reply};
    finishes.clear();
    queue->addOperation(fetch());
    pump();
    EXPECT_EQ(finishes.size(), 1u);
    return finishes.empty() ? Finish{CDVInstanceIDTokenOperationCancelled, std::nullopt, std::nullopt} : finishes[0];
  }

  CDVInstanceIDCheckinPreferencesPtr checkin;
  std::shared_ptr<CDVInstanceIDTokenOperationQueue> queue;
  std::vector<Finish> finishes;
};

TEST_F(TokenOperationTest, FormBodyEscapesOnlyWhatWouldChangeItsMeaning) {
  const std::string ordinary = "AZaz09.-_:*()";
  EXPECT_EQ(CDVInstanceIDQueryFromQueryItems({{"n", ordinary}, {"flag", std::nullopt}, {"e", ""}}),
            "n=" + ordinary + "&flag&e=");
  EXPECT_EQ(CDVInstanceIDQueryFromQueryItems({{"a&b", "x=y+z%#"}, {"s", "two words\n\x7f\xc3\xa9"}}),
            "a%26b=x%3Dy%2Bz%25%23&s=two%20words%0A%7F%C3%A9");
  const iidtest::Form decoded = iidtest::decodeForm(CDVInstanceIDQueryFromQueryItems({{"X-scope", "a&b=c"}, {"k", "%41"}}));
  EXPECT_EQ(decoded["X-scope"], "a&b=c");
  EXPECT_EQ(decoded["k"], "%41");
}

TEST_F(TokenOperationTest, ReplyLinesKeepTheValueUpToASecondEqualsSign) {
  const platform::Dictionary parsed =
      *CDVInstanceIDParseTokenResponse(iidtest::bytes("junk\ntoken=abc=def==\nError=\nk=1\nk=2\n=v\nw=\xc3\xa9=x"));
  EXPECT_EQ(parsed.get("token"), Value("abc"));
  EXPECT_EQ(parsed.get("Error"), Value(""));
  EXPECT_EQ(parsed.get("k"), Value("2"));
  EXPECT_EQ(parsed.get(""), Value("v"));
  EXPECT_EQ(parsed.get("w"), Value("\xc3\xa9"));
  EXPECT_FALSE(parsed.contains("junk"));
  // Bytes that are not UTF-8 make the whole reply unreadable.
  EXPECT_FALSE(CDVInstanceIDParseTokenResponse(iidtest::bytes("token=abc\xff\nk=1")).has_value());
  EXPECT_FALSE(CDVInstanceIDParseTokenResponse(iidtest::bytes("token=\xc3")).has_value());
}

TEST_F(TokenOperationTest, FetchRequestCarriesCredentialsAndParametersInOrder) {
  auto operation = fetch({{"apns_token", Value(platform::Bytes{0xde, 0xad})}, {"apns_sandbox", true}, {"qpx_app_id", "1:2:ios:3"}});
  queue->addOperation(operation);
  pump();
  ASSERT_EQ(requests.size(), 1u);
  const OBXNetworkRequest& request = requests[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "https://iid.ombrixapis.com/register");
  EXPECT_EQ(header(request, "Authorization"), "AidLogin 1001:2002");
  EXPECT_EQ(header(request, "app"), iidtest::kBundleID);
  EXPECT_EQ(header(request, "info"), "vi-9");
  EXPECT_EQ(header(request, "X-cindervale-client"), CDVApp::cindervaleUserAgent());
  const iidtest::Form form = requestForm(0);
  EXPECT_EQ(form.order, (std::vector<std::string>{"X-osv", "device", "X-scope", "plat", "app", "app_ver", "X-cliv", "sender",
                                                  "X-subtype", "apns_token", "qpx_app_id"}));
  EXPECT_EQ(form["X-scope"], "scope-1");
  EXPECT_EQ(form["X-cliv"], "ciid-(null)");
  EXPECT_EQ(form["apns_token"], "s_dead");
  EXPECT_EQ(form["qpx_app_id"], "1:2:ios:3");

  // Without a sandbox flag there is no APNS parameter.
  queue->addOperation(fetch({{"apns_token", Value(platform::Bytes{1})}}));
  pump();
  EXPECT_FALSE(requestForm(1).has("apns_token"));
}

TEST_F(TokenOperationTest, FetchReplyOutcomes) {
  Finish ok = run("token=abc=def");
  EXPECT_EQ(ok.result, CDVInstanceIDTokenOperationSucceeded);
  EXPECT_EQ(ok.token, "abc");
  Finish unreadable = run("token=abc\xfe");
  EXPECT_EQ(unreadable.result, CDVInstanceIDTokenOperationError);
  EXPECT_FALSE(unreadable.token.has_value());
  EXPECT_EQ(unreadable.error->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(run("token=\nother=1").error->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(run("").error->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(run("Error=SOMETHING_ELSE").error->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(notificationCount(kCDVInstanceIDIdentityInvalidatedNotification), 0u);
  Finish reset = run("Error=X:RST:Y");
  EXPECT_EQ(reset.result, CDVInstanceIDTokenOperationError);
  EXPECT_EQ(reset.error->code, kCDVInstanceIDErrorCodeInvalidIdentity);
  EXPECT_EQ(notificationCount(kCDVInstanceIDIdentityInvalidatedNotification), 1u);
  EXPECT_EQ(run("Error=FIRST_RSTX").error->code, kCDVInstanceIDErrorCodeUnknown) << "a part, not a piece of one";
}

TEST_F(TokenOperationTest, RegistrationErrorsRetryOnDoublingDelaysTenTimesPerProcess) {
  replies = {"Error=PHONE_REGISTRATION_ERROR"};
  auto operation = fetch();
  queue->addOperation(operation);
  pump();
  for (int retry = 0; retry < 10; ++retry) {
    ASSERT_EQ(clock_->nextTimerDelay(), double(1 << retry)) << retry;
    EXPECT_TRUE(operation->isExecuting());
    clock_->advance(double(1 << retry));
    pump();
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(retry + 2));
  }
  ASSERT_EQ(finishes.size(), 1u);
  EXPECT_EQ(finishes[0].error->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);

  // A cancelled operation does not ask again.
  CDVInstanceIDTokenFetchOperation::resetPhoneRegistrationErrorRetryCountForTesting();
  auto cancelled = fetch();
  queue->addOperation(cancelled);
  pump();
  cancelled->cancel();
  clock_->advance(1);
  pump();
  EXPECT_EQ(requests.size(), 12u);
  EXPECT_EQ(CDVInstanceIDTokenFetchOperation::phoneRegistrationErrorRetryCount(), 0);
  EXPECT_EQ(finishes.back().result, CDVInstanceIDTokenOperationCancelled);
}

TEST_F(TokenOperationTest, LifeCycleRunsOneAtATimeAndFinishesOnce) {
  holdReplies = true;
  auto first = fetch();
  auto second = fetch();
  auto unstartable = fetch({}, std::make_shared<CDVInstanceIDCheckinPreferences>("", ""));
  auto cancelledEarly = fetch();
  queue->addOperation(first);
  queue->addOperation(second);
  queue->addOperation(unstartable);
  queue->addOperation(cancelledEarly);
  cancelledEarly->cancel();
  pump();
  EXPECT_EQ(requests.size(), 1u) << "the second waits for the first";
  EXPECT_EQ(queue->operationCount(), 3u);
  releaseHeld("token=one");
  ASSERT_EQ(requests.size(), 2u);
  first->finishWithResult(CDVInstanceIDTokenOperationError, std::nullopt, std::nullopt);  // finished already
  releaseHeld("token=two");
  EXPECT_EQ(requests.size(), 2u) << "no check-in, no request; cancelled, no request";
  ASSERT_EQ(finishes.size(), 4u);
  EXPECT_EQ(finishes[0].result, CDVInstanceIDTokenOperationCancelled);
  EXPECT_FALSE(finishes[0].error.has_value());
  EXPECT_EQ(finishes[1].token, "one");
  EXPECT_EQ(finishes[2].token, "two");
  EXPECT_EQ(finishes[3].error->code, kCDVInstanceIDErrorCodeInvalidState);
  EXPECT_TRUE(first->isFinished() && !first->isExecuting());
  EXPECT_EQ(queue->operationCount(), 0u);
}

TEST_F(TokenOperationTest, DeleteRequestsAndReplies) {
  auto keyPairStore = std::make_shared<CDVInstanceIDKeyPairStore>();
  auto pair = keyPairStore->loadKeyPairWithError();
  ASSERT_TRUE(pair);
  std::vector<std::optional<platform::Error>> errors;
  auto enqueue = [&](std::optional<std::string> entity, std::optional<std::string> scope,
                     std::shared_ptr<CDVInstanceIDKeyPair> keys, CDVInstanceIDTokenAction action) {
    auto operation = CDVInstanceIDTokenDeleteOperation::initWithAuthorizedEntity(entity, scope, checkin, keys, action);
    operation->addCompletionHandler([&](auto, auto, std::optional<platform::Error> error) { errors.push_back(error); });
    queue->addOperation(operation);
    pump();
  };
  replies = {"deleted=whatever", "token=x", "no", "deleted=\xff"};
  enqueue("*", "*", pair, CDVInstanceIDTokenActionDeleteAll);
  enqueue(std::nullopt, std::nullopt, nullptr, CDVInstanceIDTokenActionDelete);
  enqueue("e", "s", nullptr, CDVInstanceIDTokenActionDelete);
  enqueue("e", "s", nullptr, CDVInstanceIDTokenActionDelete);

  const iidtest::Form all = requestForm(0);
  EXPECT_EQ(all.order, (std::vector<std::string>{"X-osv", "device", "X-scope", "plat", "app", "app_ver", "X-cliv", "delete",
                                                 "iid-operation", "sender", "appid"}));
  EXPECT_EQ(all["sender"], "*");
  EXPECT_EQ(all["appid"], *CDVInstanceIDAppIdentity(*pair));
  EXPECT_EQ(header(requests[0], "info"), "<absent>");
  const iidtest::Form bare = requestForm(1);
  EXPECT_EQ(bare.order, (std::vector<std::string>{"X-osv", "device", "plat", "app", "app_ver", "X-cliv", "delete"}));
  ASSERT_EQ(errors.size(), 4u);
  EXPECT_FALSE(errors[0].has_value());
  EXPECT_FALSE(errors[1].has_value());
  EXPECT_EQ(errors[2]->code, kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(errors[3]->code, kCDVInstanceIDErrorCodeUnknown) << "a reply that is not text is no success";
  EXPECT_EQ(linesWithCode(21002).size(), 2u);
}

}  // namespace
