// The facade: the default-token state machine, validation and caching of token requests, and
// the delete flows, against a fake token endpoint on queues the test pumps.
#include <sys/stat.h>

#include <thread>

#include "Core/Public/CDVComponentContainer.h"
#include "InstanceID/CDVInstanceIDKeyPairStore.h"
#include "TokenTestSupport.h"
#include "foundation/Exception.h"
#include "foundation/PropertyList.h"

using platform::Value;

namespace {

class FacadeTest : public iidtest::TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    saveRecord("1001", "2002", 3600);
    facade = startedFacade();
  }
  void TearDown() override {
    facade.reset();
    TokenTest::TearDown();
  }

  // A record in the token cache as an earlier fetch would have left it.
  void cacheToken(const std::string& entity, const std::string& scope, const std::string& token,
                  CDVInstanceIDAPNSInfoPtr apns = nullptr) {
    auto info = std::make_shared<CDVInstanceIDTokenInfo>(entity, scope, token, "7.1", std::nullopt);
    info->setAPNSInfo(std::move(apns));
    facade->tokenManager()->instanceIDStore()->saveTokenInfo(info, nullptr);
    pump();
  }
  void postAPNSToken(const platform::Bytes& token, std::int64_t type) {
    platform::NotificationCenter::defaultCenter().post(kCDVInstanceIDAPNSTokenNotification, Value(token),
                                                       Value(platform::Dictionary{{kCDVInstanceIDAPNSTokenTypeKey, type}}));
  }

  std::shared_ptr<CDVInstanceID> facade;
};

using IdentityFolderTest = iidtest::TokenTest;

TEST_F(IdentityFolderTest, StartingClosesTheIdentityFolderAnEarlierVersionLeftOpen) {
  const auto modeOf = [](const std::string& path) {
    struct stat info {};
    return ::stat(path.c_str(), &info) == 0 ? (info.st_mode & 07777) : 0xFFFFu;
  };
  const std::string folder = createSubDirectory();
  const std::string support = platform::sandbox::applicationSupportDirectory();
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod((support + "/Ombrix").c_str(), 0777), 0);
  ASSERT_EQ(::chmod(support.c_str(), 0755), 0);  // as the host may have made it
  auto facade = startedFacade();
  EXPECT_EQ(modeOf(folder), 0700u);
  EXPECT_EQ(modeOf(support + "/Ombrix"), 0700u);
  EXPECT_EQ(modeOf(support), 0755u);
}

// A file where the identity's folder belongs: the identity does not start, says why, and keeps
// nothing in Documents instead.
TEST_F(IdentityFolderTest, AFileInPlaceOfTheIdentityFolderStartsNothingAndWritesNothingElsewhere) {
  const std::string folder = createSubDirectory();
  ASSERT_TRUE(platform::files::removeItem(folder));
  ASSERT_TRUE(platform::files::writeFileAtomically(folder, std::string("not a folder")));
  auto facade = startedFacade();
  platform::Error error;
  EXPECT_FALSE(facade->appInstanceID(&error).has_value());
  EXPECT_EQ(error.code, kCDVInstanceIDErrorCodeInvalidStart);
  EXPECT_NE(error.description.find("Found file instead of directory at \"" + folder + "\""), std::string::npos)
      << error.description;
  EXPECT_EQ(linesWithCode(1003).size(), 1u);
  EXPECT_EQ(platform::files::directoryContents(platform::sandbox::documentsDirectory()), std::vector<std::string>{});
}

// An earlier version's key pair file in a Documents open to all users, and the identity's own in
// its own folder: the identity goes on with its own and leaves Documents as it is.
TEST_F(IdentityFolderTest, ItsOwnFileIsUsedAndAnEarlierVersionsFileInAnOpenDocumentsLeftAlone) {
  platform::Error error;
  const std::optional<std::string> identity = startedFacade()->appInstanceID(&error);
  ASSERT_TRUE(identity.has_value()) << error.fullDescription();
  const std::string documents = platform::sandbox::documentsDirectory();
  const std::string earlier = documents + "/" + kCDVInstanceIDKeyPairStoreFileName + ".plist";
  const platform::Value earlierContent(platform::Dictionary{{"from", "an earlier version"}});
  ASSERT_TRUE(platform::plist::writeFile(earlier, earlierContent));
  ASSERT_EQ(::chmod(documents.c_str(), 0777), 0);

  auto facade = startedFacade();
  EXPECT_EQ(facade->appInstanceID(&error), identity) << error.fullDescription();
  EXPECT_EQ(platform::files::directoryContents(documents),
            std::vector<std::string>{std::string(kCDVInstanceIDKeyPairStoreFileName) + ".plist"});
  EXPECT_EQ(platform::plist::readFile(earlier), earlierContent);
}

// The same two files with Documents private to the app: the Documents copy is the one used (here
// it has no creation time, so a key pair is made and its time written there), and the identity's
// folder keeps its file as it was.
TEST_F(IdentityFolderTest, WithAPrivateDocumentsItsKeyPairFileIsUsedAndTheFolderOneLeftAlone) {
  platform::Error error;
  const std::optional<std::string> identity = startedFacade()->appInstanceID(&error);
  ASSERT_TRUE(identity.has_value()) << error.fullDescription();
  const std::string fileName = std::string(kCDVInstanceIDKeyPairStoreFileName) + ".plist";
  const std::string own = platform::files::join(createSubDirectory(), fileName);
  const std::optional<platform::Value> ownContent = platform::plist::readFile(own);
  ASSERT_TRUE(ownContent.has_value());
  const std::string documents = platform::sandbox::documentsDirectory();
  const std::string earlier = documents + "/" + fileName;
  const platform::Value earlierContent(platform::Dictionary{{"from", "an earlier version"}});
  ASSERT_TRUE(platform::plist::writeFile(earlier, earlierContent));
  ASSERT_EQ(::chmod(documents.c_str(), 0700), 0);

  auto facade = startedFacade();
  const std::optional<std::string> used = facade->appInstanceID(&error);
  ASSERT_TRUE(used.has_value()) << error.fullDescription();
  EXPECT_NE(used, identity);
  const std::optional<platform::Value> rewritten = platform::plist::readFile(earlier);
  ASSERT_TRUE(rewritten.has_value() && rewritten->dictionaryPtr() != nullptr);
  EXPECT_EQ(rewritten->dictionaryPtr()->get("from"), platform::Value("an earlier version"));
  const std::string creationTime = CDVInstanceIDCreationTimeKeyWithSubtype(kCDVInstanceIDKeyPairSubType);
  EXPECT_TRUE(rewritten->dictionaryPtr()->contains(creationTime));
  EXPECT_EQ(platform::plist::readFile(own), ownContent);

  // A folder or a FIFO at that name in Documents is no copy of the file: the folder's own is used,
  // launch after launch, and what stands there is left as it was.
  ASSERT_TRUE(platform::files::removeItem(earlier));
  ASSERT_TRUE(platform::files::createMissingDirectories(earlier));
  ASSERT_TRUE(platform::files::writeFileAtomically(earlier + "/inside", std::string("kept")));
  for (const mode_t kind : {S_IFDIR, S_IFIFO}) {
    if (kind == S_IFIFO) {
      ASSERT_TRUE(platform::files::removeItem(earlier));
      ASSERT_EQ(::mkfifo(earlier.c_str(), 0600), 0);
    }
    clearLines();
    for (int launch = 0; launch < 3; ++launch) {
      EXPECT_EQ(startedFacade()->appInstanceID(&error), used) << error.fullDescription();
    }
    if (kind == S_IFDIR) {
      EXPECT_EQ(platform::files::directoryContents(earlier), std::vector<std::string>{"inside"});
    }
    std::lock_guard lock(mutex_);
    for (const OBXLogLine& line : lines_) EXPECT_GT(line.level, OBXLoggerLevelWarning) << line.message;
  }
  struct stat fifo {};
  EXPECT_TRUE(::lstat(earlier.c_str(), &fifo) == 0 && S_ISFIFO(fifo.st_mode));
  EXPECT_EQ(platform::files::directoryContents(documents), std::vector<std::string>{fileName});
  EXPECT_EQ(platform::plist::readFile(own), ownContent);
}

TEST_F(FacadeTest, ConcurrentDefaultTokenRequestsShareOneFetchAndHearInOrder) {
  std::vector<std::string> order;
  facade->defaultTokenWithHandler([&](std::optional<std::string> token, auto) { order.push_back("a:" + *token); });
  EXPECT_FALSE(facade->token().has_value());  // starts no second fetch
  facade->defaultTokenWithHandler([&](std::optional<std::string> token, auto) { order.push_back("b:" + *token); });
  EXPECT_TRUE(facade->isFetchingDefaultToken());
  pump();

  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(order, (std::vector<std::string>{"a:tok-default", "b:tok-default"}));
  EXPECT_FALSE(facade->isFetchingDefaultToken());
  EXPECT_EQ(facade->defaultJXQToken(), "tok-default");
  EXPECT_EQ(notificationCount(kCDVInstanceIDTokenRefreshNotification), 1u);
  EXPECT_EQ(notificationCount(kCDVInstanceIDDefaultJXQTokenNotification), 1u);
  // Answered from the cache from now on.
  EXPECT_EQ(facade->token(), "tok-default");
  pump();
  EXPECT_EQ(requests.size(), 1u);

  facade->setJXQSenderID(std::string());
  EXPECT_FALSE(facade->token().has_value());
  EXPECT_FALSE(facade->isFetchingDefaultToken());
}

TEST_F(FacadeTest, TokenAskedOnTwoThreadsAtOnceStartsOneFetch) {
  std::vector<std::thread> threads;
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([this] {
      for (int i = 0; i < 50; ++i) facade->token();
    });
  }
  for (std::thread& thread : threads) thread.join();
  pump();
  EXPECT_EQ(requests.size(), 1u);
  EXPECT_EQ(facade->token(), "tok-default");
}

TEST_F(FacadeTest, FailedDefaultFetchesRetryOnGrowingDelaysThenGiveUpForGood) {
  replies = {"Error=SERVICE_NOT_AVAILABLE"};
  std::vector<Outcome> outcomes;
  facade->defaultTokenWithHandler(into(outcomes));
  pump();
  ASSERT_EQ(requests.size(), 1u);

  const double delays[] = {12, 24, 38, 56};
  for (int retry = 0; retry < 4; ++retry) {
    EXPECT_EQ(facade->retryCountForDefaultToken(), retry + 1);
    ASSERT_EQ(clock_->nextTimerDelay(), delays[retry]) << "retry " << retry;
    clock_->advance(delays[retry] - 0.001);
    pump();
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(retry + 1)) << "not before the delay";
    clock_->advance(0.001);
    pump();
    EXPECT_EQ(requests.size(), static_cast<std::size_t>(retry + 2));
    EXPECT_EQ(outcomes.size(), retry < 3 ? 0u : 1u) << "waiters wait through the retries";
  }
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(codeOf(outcomes[0]), kCDVInstanceIDErrorCodeUnknown);
  EXPECT_EQ(linesWithCode(3007).size(), 1u);
  EXPECT_EQ(notificationCount(kCDVInstanceIDDefaultJXQTokenFailNotification), 5u);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
  EXPECT_EQ(facade->retryIntervalToFetchDefaultToken(), 1200);

  // The count is never reset: a later failure completes its waiters at once.
  facade->defaultTokenWithHandler(into(outcomes));
  pump();
  EXPECT_EQ(requests.size(), 6u);
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(clock_->pendingTimerCount(), 0u);
}

TEST_F(FacadeTest, ApnsTokenArrivingDuringAFetchDiscardsItsAnswerAndRefetches) {
  platform::ClassRegistry::registerClass(std::make_shared<CDVMessagingClassObject>());
  holdReplies = true;
  std::vector<Outcome> outcomes;
  facade->defaultTokenWithHandler(into(outcomes));
  pump();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_FALSE(requestForm(0).has("apns_token"));

  postAPNSToken({0xab, 0x01}, 2);
  EXPECT_EQ(facade->APNSTupleString(), "p_ab01");
  releaseHeld("token=stale");
  EXPECT_TRUE(outcomes.empty());
  EXPECT_EQ(linesWithCode(3016).size(), 1u);
  clock_->advance(0);
  pump();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requestForm(1)["apns_token"], "p_ab01");
  releaseHeld("token=fresh");
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].value, "fresh");
  EXPECT_EQ(facade->defaultJXQToken(), "fresh");

  // The same APNS token again changes nothing, not even its type.
  postAPNSToken({0xab, 0x01}, 1);
  EXPECT_EQ(facade->apnsTokenType(), 2);
  EXPECT_EQ(linesWithCode(3011).size(), 1u);
}

TEST_F(FacadeTest, TokenRequestValidationFirstFailingRuleWins) {
  const Value apns(platform::Bytes{1, 2});
  struct Case {
    std::string entity, scope;
    platform::Dictionary options;
    std::int64_t code;
  };
  const std::vector<Case> cases = {
      {"", "JXQ", {}, kCDVInstanceIDErrorCodeMissingAPNSToken},
      {"", "jxq", {{"apns_token", "not bytes"}}, kCDVInstanceIDErrorCodeInvalidValue},
      {"", "", {}, kCDVInstanceIDErrorCodeInvalidAuthorizedEntity},
      {"e", "", {}, kCDVInstanceIDErrorCodeInvalidScope},
  };
  std::vector<Outcome> outcomes;
  for (const Case& c : cases) facade->tokenWithAuthorizedEntity(c.entity, c.scope, c.options, into(outcomes));
  auto unstarted = CDVInstanceID::initPrivately();
  unstarted->tokenWithAuthorizedEntity("e", "jxq", {{"apns_token", apns}}, into(outcomes));
  unstarted->tokenWithAuthorizedEntity("", "s", {}, into(outcomes));
  EXPECT_TRUE(outcomes.empty()) << "answers arrive later, on the main queue";
  pump();
  ASSERT_EQ(outcomes.size(), 6u);
  for (std::size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(codeOf(outcomes[i]), cases[i].code) << i;
  EXPECT_EQ(codeOf(outcomes[4]), kCDVInstanceIDErrorCodeInvalidStart);
  EXPECT_EQ(codeOf(outcomes[5]), kCDVInstanceIDErrorCodeInvalidAuthorizedEntity);
  EXPECT_TRUE(requests.empty());
  facade->tokenWithAuthorizedEntity("e", "s", {}, nullptr);
  EXPECT_EQ(linesWithCode(3000).size(), 1u);
}

TEST_F(FacadeTest, CachedTokenIsReusedOnlyWhenItsApnsInformationFits) {
  auto apnsA = std::make_shared<CDVInstanceIDAPNSInfo>(platform::Bytes{0xa}, false);
  const platform::Dictionary optionsA{{"apns_token", Value(platform::Bytes{0xa})}, {"apns_sandbox", false}};
  const platform::Dictionary optionsB{{"apns_token", Value(platform::Bytes{0xb})}, {"apns_sandbox", false}};
  cacheToken("plain", "s", "cached-plain");
  cacheToken("pushed", "s", "cached-pushed", apnsA);
  std::vector<Outcome> outcomes;
  facade->tokenWithAuthorizedEntity("plain", "s", {}, into(outcomes));
  facade->tokenWithAuthorizedEntity("pushed", "s", optionsA, into(outcomes));
  pump();
  EXPECT_TRUE(requests.empty());
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_EQ(outcomes[0].value, "cached-plain");
  EXPECT_EQ(outcomes[1].value, "cached-pushed");

  replies = {"token=new-pushed"};
  facade->tokenWithAuthorizedEntity("pushed", "s", optionsB, into(outcomes));
  pump();
  facade->tokenWithAuthorizedEntity("plain", "s", optionsA, into(outcomes));
  pump();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_EQ(requestForm(0)["apns_token"], "p_0b");
  EXPECT_EQ(outcomes[2].value, "new-pushed");
  // The new record carries the new APNS information.
  CDVInstanceIDTokenInfoPtr saved = facade->tokenManager()->cachedTokenInfoWithAuthorizedEntity("pushed", "s");
  ASSERT_TRUE(saved && saved->APNSInfo());
  EXPECT_EQ(saved->APNSInfo()->deviceToken(), platform::Bytes{0xb});
}

TEST_F(FacadeTest, CheckinFailureFailsTheRequestEvenWithACachedToken) {
  cacheToken("plain", "s", "cached-plain");
  clock_->advance(8 * 24 * 3600);  // the check-in on record is too old now
  CDVInstanceIDCheckinService::setCheckinTestBlock([](const OBXNetworkRequest&, OBXNetworkCompletionHandler reply) {
    reply(nullptr, {}, platform::Error("NSURLErrorDomain", -1009, "offline"));
  });
  std::vector<Outcome> outcomes;
  facade->tokenWithAuthorizedEntity("plain", "s", {}, into(outcomes));
  ASSERT_TRUE(pumpUntil([&] { pump(); return !outcomes.empty(); }));
  EXPECT_EQ(outcomes[0].error->code, -1009);
  EXPECT_FALSE(outcomes[0].value.has_value());
}

TEST_F(FacadeTest, TokenNotificationsWaitForThePostingQueueAndCoalesce) {
  std::vector<Value> objects;
  auto observer = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVInstanceIDDefaultJXQTokenNotification, Value(), [&](const platform::Notification& n) { objects.push_back(n.object); });
  workQueue_->async([&] {
    facade->setDefaultJXQToken("a");
    facade->setDefaultJXQToken(std::nullopt);
    facade->setDefaultJXQToken("b");
    facade->setDefaultJXQToken(std::nullopt);
    EXPECT_TRUE(objects.empty()) << "posted only when the queue runs again";
  });
  workQueue_->drain();
  EXPECT_EQ(mainQueue_->pendingCount(), 0u) << "posted on the poster's queue, not the main one";
  // The two "nothing" posts became one, after "b", so observers end with the current state.
  EXPECT_EQ(objects, (std::vector<Value>{Value("a"), Value("b"), Value()}));
  platform::NotificationCenter::defaultCenter().removeObserver(observer);
}

TEST_F(FacadeTest, DeletingTheDefaultTokenClearsItAndTellsObservers) {
  facade->defaultTokenWithHandler(nullptr);
  pump();
  ASSERT_EQ(facade->defaultJXQToken(), "tok-default");
  std::vector<Value> objects;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVInstanceIDDefaultJXQTokenNotification, Value(), [&](const platform::Notification& n) { objects.push_back(n.object); });
  replies = {"deleted=1"};
  std::vector<std::optional<platform::Error>> errors;
  facade->deleteTokenWithAuthorizedEntity("sender-1", "*", [&](std::optional<platform::Error> e) { errors.push_back(e); });
  pump();
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_FALSE(errors[0].has_value());
  ASSERT_EQ(requests.size(), 2u);
  const iidtest::Form form = requestForm(1);
  EXPECT_EQ(form["delete"], "true");
  EXPECT_EQ(form["sender"], "sender-1");
  EXPECT_EQ(form["X-scope"], "*");
  EXPECT_EQ(form["appid"].size(), 11u);
  EXPECT_FALSE(form.has("iid-operation"));
  EXPECT_FALSE(facade->defaultJXQToken().has_value());
  EXPECT_EQ(objects, (std::vector<Value>{Value()}));
  EXPECT_FALSE(facade->tokenManager()->cachedTokenInfoWithAuthorizedEntity("sender-1", "*"));

  // A refused delete keeps the error for the caller.
  replies = {"nope"};
  facade->deleteTokenWithAuthorizedEntity("other", "s", [&](std::optional<platform::Error> e) { errors.push_back(e); });
  pump();
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_EQ(errors[1]->code, kCDVInstanceIDErrorCodeUnknown);
}

TEST_F(FacadeTest, DeletingTheIdentityUnregistersAllThenForgetsEverythingLocally) {
  cacheToken("plain", "s", "cached-plain");
  platform::Error error;
  const std::optional<std::string> before = facade->appInstanceID(&error);
  ASSERT_TRUE(before.has_value());
  replies = {"deleted=all"};
  std::vector<std::optional<platform::Error>> errors;
  facade->deleteIDWithHandler([&](std::optional<platform::Error> e) { errors.push_back(e); });
  pump();
  ASSERT_EQ(errors.size(), 1u);
  EXPECT_FALSE(errors[0].has_value()) << errors[0]->fullDescription();
  ASSERT_EQ(requests.size(), 1u);
  const iidtest::Form form = requestForm(0);
  EXPECT_EQ(form["iid-operation"], "delete");
  EXPECT_EQ(form["sender"], "*");
  EXPECT_EQ(form["X-scope"], "*");
  EXPECT_EQ(form["appid"], *before);
  EXPECT_TRUE(facade->tokenManager()->instanceIDStore()->cachedTokenInfos().empty());
  EXPECT_FALSE(facade->tryToLoadValidCheckinInfo());
  EXPECT_NE(facade->appInstanceID(&error), before) << "a new key pair, a new identifier";
}

TEST_F(FacadeTest, NewApnsTokenRefetchesTheTokensMadeForAnotherOne) {
  facade->defaultTokenWithHandler(nullptr);
  pump();
  const platform::Bytes oldToken{0x01};
  cacheToken("other", "s", "cached-other", std::make_shared<CDVInstanceIDAPNSInfo>(oldToken, false));
  cacheToken("fits", "s", "cached-fits", std::make_shared<CDVInstanceIDAPNSInfo>(platform::Bytes{0x02}, false));
  platform::ClassRegistry::registerClass(std::make_shared<CDVMessagingClassObject>());
  replies = {"token=renewed"};
  postAPNSToken({0x02}, 2);
  pump();
  // The default token (no APNS information) and "other" are fetched again, "fits" is kept.
  ASSERT_EQ(requests.size(), 3u);
  std::vector<std::string> senders = {requestForm(1)["sender"], requestForm(2)["sender"]};
  std::sort(senders.begin(), senders.end());
  EXPECT_EQ(senders, (std::vector<std::string>{"other", "sender-1"}));
  for (std::size_t i = 1; i < 3; ++i) EXPECT_EQ(requestForm(i)["apns_token"], "p_02");
  auto cached = [&](const std::string& entity, const std::string& scope) {
    CDVInstanceIDTokenInfoPtr info = facade->tokenManager()->cachedTokenInfoWithAuthorizedEntity(entity, scope);
    return info ? info->token() : std::string("<none>");
  };
  EXPECT_EQ(cached("other", "s"), "renewed");
  EXPECT_EQ(cached("fits", "s"), "cached-fits");
  EXPECT_EQ(facade->defaultJXQToken(), "renewed");
}

TEST_F(FacadeTest, IdentityAskedWhenNoWorkerThreadCanBeStartedStillAnswersOnce) {
  // A facade on the process-wide global queue, as outside tests.
  CDVInstanceID::setWorkQueueForTesting(nullptr);
  auto global = CDVInstanceID::initPrivately();
  global->start();
  global->setJXQSenderID("sender-1");
  pump();
  const std::optional<std::string> identity = global->appInstanceID();  // the key pair, loaded here
  ASSERT_TRUE(identity.has_value());
  cacheToken("sender-1", kCDVInstanceIDDefaultTokenScope, "tok-cached");

  struct RefusalsOff {
    ~RefusalsOff() { platform::refuseNextWorkerJobs(0); }
  } off;
  platform::refuseNextWorkerJobs(1000);
  std::vector<Outcome> answers;
  EXPECT_NO_THROW(global->getIDWithHandler([&](std::optional<std::string> id, std::optional<platform::Error> error) {
    answers.push_back({std::move(id), std::move(error)});
  }));
  // The block waits for a worker that exists; its answer then reaches the main queue.
  ASSERT_TRUE(mainQueue_->waitForBlock(testsupport::kEventWait));
  pump();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_EQ(answers[0].value, identity);
  EXPECT_FALSE(answers[0].error.has_value());
}

class LibraryTest : public iidtest::TokenTest {
 protected:
  void SetUp() override {
    TokenTest::SetUp();
    CDVApp::resetForTesting();
    CDVComponentContainer::resetRegistrantsForTesting();
    CDVInstanceIDRegisterLibrary();
  }
  void TearDown() override {
    pump();
    CDVInstanceID::clearInstanceIDForTests();
    CDVApp::resetForTesting();
    CDVComponentContainer::resetRegistrantsForTesting();
    TokenTest::TearDown();
  }
  static std::shared_ptr<CDVOptions> options(const std::string& senderID) {
    return CDVOptions::initInternalWithOptionsDictionary(platform::Dictionary{
        {"OMBRIX_APP_ID", "1:123456789:ios:abc123"}, {"BUNDLE_ID", iidtest::kBundleID}, {"WRQ_SENDER_ID", senderID}});
  }
};

TEST_F(LibraryTest, RegisteredAsALazyComponentConfiguredWithTheDefaultApp) {
  EXPECT_NE(CDVApp::cindervaleUserAgent().find("cind-iid/" + CDVInstanceIDCurrentLibraryVersion()), std::string::npos);
  saveRecord("1001", "2002", 3600);
  platform::ClassRegistry::registerClass(std::make_shared<CDVMessagingClassObject>());  // auto-init on
  CDVApp::configureWithOptions(options("777"));
  pump();
  std::shared_ptr<CDVInstanceID> instance = CDVInstanceID::instanceID();
  ASSERT_TRUE(instance);
  EXPECT_EQ(instance, CDVInstanceID::instanceID()) << "made once, then kept";
  EXPECT_EQ(instance->jxqSenderID(), "777");
  EXPECT_EQ(instance->cindervaleAppID(), "1:123456789:ios:abc123");
  // Configuring fetched the default token; its request carried the app id.
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requestForm(0)["qpx_app_id"], "1:123456789:ios:abc123");
  EXPECT_EQ(instance->defaultJXQToken(), "tok-default");

  std::optional<CDVInstanceIDResult> result;
  instance->instanceIDWithHandler([&](std::optional<CDVInstanceIDResult> r, auto) { result = r; });
  pump();
  ASSERT_TRUE(result.has_value());
  EXPECT_EQ(result->instanceID, instance->appInstanceID());
  EXPECT_EQ(result->token, "tok-default");

  // How other SDK parts reach it: by class name.
  auto cls = std::dynamic_pointer_cast<CDVInstanceIDLibrary>(platform::ClassRegistry::classNamed("CDVInstanceID"));
  ASSERT_TRUE(cls);
  EXPECT_EQ(cls->instanceID(), instance);
}

TEST_F(LibraryTest, EmptySenderIDFailsConfigurationLoudly) {
  std::vector<platform::Error> reported;
  auto token = platform::NotificationCenter::defaultCenter().addObserver(
      kCDVAppDiagnosticsNotification, Value(), [&](const platform::Notification& n) {
        if (auto error = n.userInfo[kCDVAppDiagnosticsErrorKey].objectAs<platform::Error>()) reported.push_back(*error);
      });
  auto instance = CDVInstanceID::instanceIDForTests();
  try {
    instance->configureInstanceIDWithOptions(*options(""), nullptr);
    ADD_FAILURE() << "no exception";
  } catch (const platform::Exception& e) {
    EXPECT_EQ(e.name(), "com.cindervale.instanceid");
    EXPECT_EQ(e.reason(), "Could not configure Cindervale InstanceID. WRQ_SENDER_ID must not be nil or empty.");
  }
  EXPECT_EQ(linesWithCode(1000).size(), 1u);
  const platform::Error error = CDVInstanceID::configureErrorWithReason("");
  EXPECT_EQ(error.code, -121);
  EXPECT_EQ(error.userInfo[kCDVInstanceIDLocalizedFailureReasonKey], Value("Unknown reason"));
  platform::NotificationCenter::defaultCenter().removeObserver(token);
  EXPECT_TRUE(requests.empty());
}

}  // namespace
