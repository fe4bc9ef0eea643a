#include <gtest/gtest.h>

#include <thread>

#include "CheckinTestSupport.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "dispatch/Random.h"
#include "foundation/Date.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "obx/OBXNetworkTesting.h"

using iidtest::CheckinTest;
using platform::Dictionary;
using platform::Value;

namespace {

class CheckinServiceTest : public CheckinTest {
 protected:
  std::shared_ptr<OBXFakeNetworkTransport> transport = std::make_shared<OBXFakeNetworkTransport>();
  OBXScopedNetworkTransport scopedTransport{transport};
  std::shared_ptr<CDVInstanceIDCheckinService> service =
      std::make_shared<CDVInstanceIDCheckinService>("https://checkin.test/checkin", mainQueue_);

  // Checks in once with `existing`, answers with `status` and `body`, and returns the outcome.
  Answer exchange(const std::string& body, long status = 200,
                  CDVInstanceIDCheckinPreferencesPtr existing = nullptr) {
    Answer answer{nullptr, platform::Error("unanswered", 1, "")};
    service->checkinWithExistingCheckin(existing, [&](CDVInstanceIDCheckinPreferencesPtr preferences,
                                                      std::optional<platform::Error> error) {
      answer = {std::move(preferences), std::move(error)};
    });
    EXPECT_TRUE(transport->respond(status, json(body)));
    pump();
    return answer;
  }
};

const std::int64_t kNowMillis = 1700000000000;

}  // namespace

TEST_F(CheckinTest, ValidityByAgeLocaleAndClock) {
  auto record = std::make_shared<CDVInstanceIDCheckinPreferences>("1", "2");
  record->updateWithCheckinPlistContents(Dictionary{{kCDVInstanceIDCheckinLastTimestampKey, std::int64_t{0}}});
  // First look with credentials and no stored locale: valid whatever the age; the locale is stored.
  EXPECT_TRUE(record->hasValidCheckinInfo());
  EXPECT_EQ(OBXUserDefaults::standardUserDefaults().stringForKey(kCDVInstanceIDUserDefaultsKeyLocale), "en-CA");
  EXPECT_FALSE(record->hasValidCheckinInfo());  // now judged by age

  auto checkedInAgo = [&](std::int64_t millis) {
    record->updateWithCheckinPlistContents(Dictionary{{kCDVInstanceIDCheckinLastTimestampKey, kNowMillis - millis}});
    return record->hasValidCheckinInfo();
  };
  EXPECT_TRUE(checkedInAgo(0));
  EXPECT_TRUE(checkedInAgo(604799000));
  EXPECT_FALSE(checkedInAgo(604800000));  // seven days exactly
  EXPECT_FALSE(checkedInAgo(-1000));      // the clock was set back behind the check-in

  // A locale change: not valid once (the new locale is stored), then judged by age again.
  EXPECT_TRUE(checkedInAgo(1000));
  platform::locale::setPreferredLanguages(std::vector<std::string>{"fr-CA"});
  EXPECT_FALSE(record->hasValidCheckinInfo());
  EXPECT_EQ(OBXUserDefaults::standardUserDefaults().stringForKey(kCDVInstanceIDUserDefaultsKeyLocale), "fr-CA");
  EXPECT_TRUE(record->hasValidCheckinInfo());

  // No locale at all is stored as the empty text and does not count as a change every time.
  platform::locale::setPreferredLanguages(std::vector<std::string>{});
  OBXAppEnvironmentUtil::Environment old;
  old.systemVersion = "9.1";
  OBXScopedAppEnvironment environment(old);
  EXPECT_FALSE(record->hasValidCheckinInfo());
  EXPECT_TRUE(record->hasValidCheckinInfo());

  EXPECT_FALSE(std::make_shared<CDVInstanceIDCheckinPreferences>("1", "")->hasValidCheckinInfo());
}

TEST_F(CheckinTest, KeychainContentAndPlistForms) {
  EXPECT_EQ(CDVInstanceIDCheckinPreferences("12", "34").checkinKeychainContent(), "12|34");
  EXPECT_FALSE(CDVInstanceIDCheckinPreferences("12", "").checkinKeychainContent().has_value());
  EXPECT_EQ(CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents("12|34")->secretToken(), "34");
  EXPECT_FALSE(CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents("1234"));
  EXPECT_FALSE(CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents("1|2|3"));
  EXPECT_FALSE(CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents("|34"));

  CDVInstanceIDCheckinPreferences record("1", "2");
  record.updateWithCheckinPlistContents(Dictionary{{kCDVInstanceIDCheckinVersionInfoKey, "v"}, {"unknown", "x"}});
  Dictionary plist = record.checkinPlistContents();
  EXPECT_EQ(plist.size(), 5u);
  EXPECT_EQ(plist.get(kCDVInstanceIDCheckinVersionInfoKey), Value("v"));
  EXPECT_EQ(plist.get(kCDVInstanceIDCheckinDigestKey), Value(""));
  EXPECT_EQ(plist.get(kCDVInstanceIDCheckinGServicesDataKey), Value(Dictionary{}));
  record.reset();
  EXPECT_FALSE(record.hasCheckinInfo());
  EXPECT_EQ(record.versionInfo(), "");
}

TEST_F(CheckinServiceTest, RequestCarriesExactDigitsAndDeviceFacts) {
  platform::TimeZone::setCurrent(platform::TimeZone::named("America/Denver"));
  platform::ScopedRandom random(std::make_shared<platform::ScriptedRandom>(std::vector<std::uint64_t>{0xABCDEF0012345678}));
  auto existing = std::make_shared<CDVInstanceIDCheckinPreferences>("18446744073709551615", "9007199254740993");
  existing->updateWithCheckinPlistContents(
      Dictionary{{kCDVInstanceIDCheckinDigestKey, "dg"}, {kCDVInstanceIDCheckinLastTimestampKey, std::int64_t{1699999000000}}});
  service->checkinWithExistingCheckin(existing, nullptr);
  platform::TimeZone::setCurrent(std::nullopt);
  ASSERT_EQ(transport->requests().size(), 1u);
  const OBXNetworkRequest request = transport->requests()[0];
  EXPECT_EQ(request.method, "POST");
  EXPECT_EQ(request.url, "https://checkin.test/checkin");
  EXPECT_EQ(request.headers, (std::vector<std::pair<std::string, std::string>>{{"content-type", "application/json"}}));
  const std::string text(request.body.begin(), request.body.end());
  EXPECT_NE(text.find("\"id\":18446744073709551615"), std::string::npos) << text;
  EXPECT_NE(text.find("\"security_token\":9007199254740993"), std::string::npos) << text;

  Value body = *platform::json::parse(text);
  EXPECT_EQ(body["checkin"]["iosbuild"]["os_version"], Value("IOS_16.4"));
  EXPECT_EQ(body["checkin"]["iosbuild"]["model"], Value(CDVInstanceIDDeviceModel().value_or("")));
  EXPECT_EQ(body["checkin"]["last_checkin_msec"], Value(std::int64_t{1699999000000}));
  EXPECT_EQ(body["checkin"]["type"], Value(2));
  EXPECT_EQ(body["locale"], Value("en-CA"));
  EXPECT_EQ(body["time_zone"], Value("America/Denver"));
  EXPECT_EQ(body["digest"], Value("dg"));
  EXPECT_EQ(body["logging_id"], Value(std::uint32_t{0x12345678}));
  EXPECT_EQ(body["version"], Value(2));
  EXPECT_EQ(body["fragment"], Value(0));

  // Without a record, and without any locale: zeros and empty texts.
  platform::locale::setPreferredLanguages(std::vector<std::string>{});
  OBXAppEnvironmentUtil::Environment old;
  old.systemVersion = "9.0";
  OBXScopedAppEnvironment environment(old);
  Dictionary bare = service->checkinParametersWithExistingCheckin(nullptr);
  EXPECT_EQ(bare.get("locale"), Value(""));
  EXPECT_EQ(bare.get("id"), Value(0));
  EXPECT_EQ(bare.get("security_token"), Value(0));
  EXPECT_EQ(bare.get("digest"), Value(""));
  EXPECT_EQ(bare.get("checkin")["last_checkin_msec"], Value(0));
}

TEST_F(CheckinServiceTest, ReplyEdgeCases) {
  // Ids above 2^63 and 2^53 keep their digits; a future time becomes now; bad settings are skipped.
  Answer answer = exchange(R"({"android_id":18446744073709551615,"security_token":9007199254740993,
      "time_msec":1800000000000,"digest":"d1","version_info":"v1","device_data_version_info":"dd1",
      "setting":[{"name":"a","value":"1"},{"name":"b"},{"value":"2"},{"name":"c","value":null},"junk",
                 {"name":"e","value":18446744073709551615},{"name":"f","value":7}]})");
  ASSERT_TRUE(answer.preferences);
  EXPECT_EQ(answer.preferences->deviceID(), "18446744073709551615");
  EXPECT_EQ(answer.preferences->secretToken(), "9007199254740993");
  EXPECT_EQ(answer.preferences->lastCheckinTimestampMillis(), kNowMillis);
  EXPECT_EQ(linesWithCode(7002).size(), 1u);
  EXPECT_EQ(answer.preferences->digest(), "d1");
  EXPECT_EQ(answer.preferences->deviceDataVersion(), "dd1");
  EXPECT_EQ(answer.preferences->gServicesData(), (Dictionary{{"a", "1"}, {"f", 7}}));
  EXPECT_EQ(linesWithCode(7008).size(), 5u);

  // Ids sent as text are taken as they are; a missing time is 0; missing texts are empty.
  answer = exchange(R"({"android_id":"4611686018427387905","security_token":12})");
  ASSERT_TRUE(answer.preferences);
  EXPECT_EQ(answer.preferences->deviceID(), "4611686018427387905");
  EXPECT_EQ(answer.preferences->lastCheckinTimestampMillis(), 0);
  EXPECT_EQ(answer.preferences->versionInfo(), "");

  answer = exchange(R"({"security_token":12})");
  EXPECT_FALSE(answer.preferences);
  EXPECT_EQ(answer.error->code, kCDVInstanceIDErrorCodeInvalidValue);
  EXPECT_EQ(exchange("<html>oops</html>").error->code, 3840);
  EXPECT_EQ(exchange("[1,2]").error->code, 3840);
  answer = exchange(R"({"android_id":1,"security_token":2})", 500);
  EXPECT_FALSE(answer.preferences);
  EXPECT_EQ(answer.error->domain, kCDVInstanceIDDomain);

  Answer failed{nullptr, std::nullopt};
  service->checkinWithExistingCheckin(nullptr, [&](CDVInstanceIDCheckinPreferencesPtr p, std::optional<platform::Error> e) {
    failed = {p, e};
  });
  transport->fail(platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeTimedOut, "timed out"));
  pump();
  EXPECT_EQ(failed.error->code, kOBXNetworkErrorCodeTimedOut);

  // A request in flight when the session stops is cancelled; later check-ins fail with 6.
  service->checkinWithExistingCheckin(nullptr, [&](CDVInstanceIDCheckinPreferencesPtr p, std::optional<platform::Error> e) {
    failed = {p, e};
  });
  service->stopFetching();
  transport->respond(200, json(R"({"android_id":1,"security_token":2})"));
  pump();
  EXPECT_FALSE(failed.preferences);
  EXPECT_EQ(failed.error->code, kCDVInstanceIDURLErrorCancelled);
  service->checkinWithExistingCheckin(nullptr, [&](CDVInstanceIDCheckinPreferencesPtr p, std::optional<platform::Error> e) {
    failed = {p, e};
  });
  EXPECT_EQ(failed.error->code, kCDVInstanceIDErrorCodeInvalidState);
  EXPECT_EQ(linesWithCode(7007).size(), 1u);
}

TEST_F(CheckinServiceTest, CredentialsMustBeUnsigned64BitIntegers) {
  // Every digit is kept, whether the integer arrives as a number or as text.
  Answer answer = exchange(R"({"android_id":"18446744073709551615","security_token":"007"})");
  ASSERT_TRUE(answer.preferences);
  EXPECT_EQ(answer.preferences->deviceID(), "18446744073709551615");
  EXPECT_EQ(answer.preferences->secretToken(), "007");

  // Zero, in any spelling, is what a request without credentials sends: no credential either.
  const char* refused[] = {
      "true", "{\"a\":1}", "[1]", "1.5", "1e3", "99999999999999999999999", "18446744073709551616", "-1",
      "\"18446744073709551616\"", "\"12a\"", "\"-5\"", "\" 7\"", "\"1.0\"",
      "0", "-0", "0.0", "\"0\"", "\"00\"", "\"-0\"",
  };
  for (const char* value : refused) {
    for (const bool asDeviceID : {true, false}) {
      const std::string body = asDeviceID ? std::string(R"({"security_token":2,"android_id":)") + value + "}"
                                          : std::string(R"({"android_id":1,"security_token":)") + value + "}";
      answer = exchange(body);
      EXPECT_FALSE(answer.preferences) << body;
      ASSERT_TRUE(answer.error.has_value()) << body;
      EXPECT_EQ(answer.error->code, 3840) << body;
    }
  }
  EXPECT_EQ(exchange(R"({"android_id":1})").error->code, 3840) << "no secret";
  EXPECT_EQ(exchange(R"({"android_id":"","security_token":2})").error->code, kCDVInstanceIDErrorCodeInvalidValue);

  // A refused reply leaves the record in use and on disk as it was.
  saveRecord("111", "222", 8 * 24 * 3600);
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  for (const char* reply : {R"({"android_id":99999999999999999999999,"security_token":222})",
                            R"({"android_id":111,"security_token":0})", R"({"android_id":"0","security_token":222})"}) {
    std::vector<Answer> answers;
    auth->fetchCheckinInfoWithHandler(collect(answers));
    ASSERT_TRUE(transport->respond(200, json(reply))) << reply;
    pump();
    ASSERT_EQ(answers.size(), 1u) << reply;
    ASSERT_TRUE(answers[0].error && auth->checkinPreferences()) << reply;
    EXPECT_EQ(answers[0].error->code, 3840) << reply;
    EXPECT_EQ(auth->checkinPreferences()->deviceID(), "111") << reply;
    EXPECT_EQ(auth->checkinPreferences()->secretToken(), "222") << reply;
    auto cached = newStore()->cachedCheckinPreferences();
    ASSERT_TRUE(cached) << reply;
    EXPECT_EQ(cached->secretToken(), "222") << reply;
    EXPECT_EQ(keychainText(), "111|222") << reply;
  }
}

TEST_F(CheckinServiceTest, ThreeWaitersShareOneRequestAndAReentrantHandlerDoesNotDeadlock) {
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  EXPECT_FALSE(auth->checkinPreferences());
  std::vector<Answer> answers;
  std::vector<Answer> reentrant;
  auth->fetchCheckinInfoWithHandler(collect(answers));
  auth->fetchCheckinInfoWithHandler([&](CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> error) {
    answers.push_back({preferences, error});
    auth->fetchCheckinInfoWithHandler(collect(reentrant));  // valid by now: answered at once
  });
  auth->fetchCheckinInfoWithHandler(collect(answers));
  EXPECT_EQ(transport->requests().size(), 1u);
  EXPECT_EQ(linesWithCode(5004).size(), 2u);  // "Checkin is in progress" for the later two
  ASSERT_TRUE(transport->respond(200, json(R"({"android_id":111,"security_token":222,"time_msec":1699999999000})")));
  pump();
  ASSERT_EQ(answers.size(), 3u);
  for (const Answer& answer : answers) {
    EXPECT_EQ(answer.preferences, answers[0].preferences);
    EXPECT_FALSE(answer.error.has_value());
  }
  ASSERT_EQ(reentrant.size(), 1u);
  EXPECT_EQ(reentrant[0].preferences, answers[0].preferences);
  EXPECT_EQ(transport->requests().size(), 1u);
  EXPECT_EQ(keychainText(), "111|222");
  EXPECT_EQ(notificationCount(kCDVInstanceIDCheckinFetchedNotification), 1u);

  // A later launch reads the stored record back.
  auto relaunched = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  ASSERT_TRUE(relaunched->checkinPreferences());
  EXPECT_EQ(relaunched->checkinPreferences()->deviceID(), "111");
  EXPECT_EQ(relaunched->checkinPreferences()->lastCheckinTimestampMillis(), 1699999999000);
  EXPECT_TRUE(relaunched->hasValidCheckinInfo());
}

TEST_F(CheckinServiceTest, CallersOnSeveralThreadsStartOneCheckin) {
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  std::mutex mutex;
  std::vector<Answer> answers;
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      auth->fetchCheckinInfoWithHandler([&](CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> error) {
        std::lock_guard lock(mutex);
        answers.push_back({preferences, error});
      });
    });
  }
  for (auto& thread : threads) thread.join();
  ASSERT_EQ(transport->requests().size(), 1u);
  transport->respond(200, json(R"({"android_id":7,"security_token":8,"time_msec":1700000000000})"));
  pump();
  ASSERT_EQ(answers.size(), 4u);
  for (const Answer& answer : answers) {
    ASSERT_TRUE(answer.preferences);
    EXPECT_EQ(answer.preferences->deviceID(), "7");
  }
  EXPECT_FALSE(auth->isCheckinInProgress());
}

TEST_F(CheckinServiceTest, SameCredentialsAreNotRewrittenAndAFailedSaveEmptiesTheRecord) {
  saveRecord("111", "222", 8 * 24 * 3600);
  // Mark the stored item so a rewrite would show.
  ASSERT_EQ(SecItemUpdate(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, kCDVInstanceIDCheckinKeychainService}},
                          Dictionary{{kSecAttrLabel, "marker"}}),
            errSecSuccess);
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  EXPECT_FALSE(auth->hasValidCheckinInfo());
  std::vector<Answer> answers;
  auth->fetchCheckinInfoWithHandler(collect(answers));
  const platform::Bytes body = transport->requests()[0].body;
  const std::string sent(body.begin(), body.end());
  EXPECT_NE(sent.find("\"id\":111"), std::string::npos);
  EXPECT_NE(sent.find("\"digest\":\"old-digest\""), std::string::npos);
  transport->respond(200, json(R"({"android_id":111,"security_token":222,"time_msec":1699999999000,"digest":"new"})"));
  pump();
  ASSERT_EQ(answers.size(), 1u);
  EXPECT_TRUE(answers[0].preferences->hasPreCachedAuthCredentials());
  EXPECT_EQ(notificationCount(kCDVInstanceIDCheckinFetchedNotification), 0u);
  Value attributes;
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecReturnAttributes, true}}, &attributes),
            errSecSuccess);
  EXPECT_EQ(attributes[kSecAttrLabel], Value("marker"));
  auto cached = newStore()->cachedCheckinPreferences();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->digest(), "new");

  // New credentials that cannot be saved: the plist write fails, the record is emptied in memory
  // and the keychain credentials are removed, so the next request checks in again.
  clock_->advance(8 * 24 * 3600);
  ASSERT_TRUE(platform::files::removeItem(createSubDirectory()));
  auth->fetchCheckinInfoWithHandler(collect(answers));
  transport->respond(200, json(R"({"android_id":333,"security_token":444})"));
  pump();
  ASSERT_EQ(answers.size(), 2u);
  EXPECT_FALSE(answers[1].preferences);
  ASSERT_TRUE(answers[1].error.has_value());
  EXPECT_EQ(linesWithCode(7004).size(), 1u);
  EXPECT_FALSE(auth->checkinPreferences()->hasCheckinInfo());
  EXPECT_FALSE(keychainText().has_value());
}

TEST_F(CheckinServiceTest, ScheduledCheckinRetriesWithGrowingDelayOnTheClock) {
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(service, newStore());
  auth->scheduleCheckin(false);
  auth->scheduleCheckin(false);
  EXPECT_EQ(linesWithCode(5000).size(), 1u);  // already scheduled

  std::vector<double> delays;
  double waited = 0;
  std::size_t requests = 0;
  for (int failure = 0; failure < 7; ++failure) {
    // Step the clock in quarter seconds until the retry goes out.
    while (transport->requests().size() == requests) {
      ASSERT_LT(waited, 100.0);
      clock_->advance(0.25);
      waited += 0.25;
      pump();
    }
    requests = transport->requests().size();
    delays.push_back(waited);
    waited = 0;
    transport->fail(platform::Error(kOBXNetworkErrorDomain, kOBXNetworkErrorCodeCannotConnect, "refused"));
    pump();
    EXPECT_EQ(auth->checkinRetryCount(), failure + 1);
    EXPECT_TRUE(auth->hasScheduledCheckin());
  }
  EXPECT_EQ(delays, (std::vector<double>{1, 2, 4, 8, 16, 32, 32}));

  // A success ends the retries.
  clock_->advance(32);
  pump();
  transport->respond(200, json(R"({"android_id":5,"security_token":6,"time_msec":1700000100000})"));
  pump();
  EXPECT_TRUE(auth->hasValidCheckinInfo());
  EXPECT_FALSE(auth->hasScheduledCheckin());
  EXPECT_EQ(linesWithCode(5002).size(), 1u);
  auth->scheduleCheckin(true);  // valid: nothing to do
  EXPECT_EQ(transport->requests().size(), 8u);
}

TEST_F(CheckinTest, StoreReadsLegacyFormsAndRemovesEverything) {
  // Credentials only in a six-entry legacy plist.
  auto store = newStore();
  Dictionary legacy{{kCDVInstanceIDLegacyDeviceAuthIdKey, "77"}, {kCDVInstanceIDLegacySecretTokenKey, "88"},
                    {kCDVInstanceIDCheckinDigestKey, "dg"}, {kCDVInstanceIDCheckinVersionInfoKey, "v"},
                    {kCDVInstanceIDCheckinDeviceDataVersionKey, "d"}, {kCDVInstanceIDCheckinLastTimestampKey, std::int64_t{5}}};
  ASSERT_TRUE(store->plist().writeDictionary(legacy));
  ASSERT_TRUE(store->cachedCheckinPreferences());
  EXPECT_EQ(store->cachedCheckinPreferences()->deviceID(), "77");
  EXPECT_EQ(store->cachedCheckinPreferences()->digest(), "dg");

  // The legacy plist wins over a keychain record; a malformed keychain text is no record.
  store->keychain().setData(iidtest::bytes("11|22"), kCDVInstanceIDCheckinKeychainService, std::nullopt, iidtest::kBundleID,
                            nullptr);
  pump();
  auto cached = newStore()->cachedCheckinPreferences();
  ASSERT_TRUE(cached);
  EXPECT_EQ(cached->deviceID(), "77");
  legacy.remove(kCDVInstanceIDCheckinDigestKey);  // five entries: not the legacy form
  ASSERT_TRUE(store->plist().writeDictionary(legacy));
  EXPECT_EQ(store->cachedCheckinPreferences()->deviceID(), "11");
  store->keychain().setData(iidtest::bytes("1122"), kCDVInstanceIDCheckinKeychainService, std::nullopt, iidtest::kBundleID,
                            nullptr);
  ASSERT_TRUE(store->plist().deleteFile());
  EXPECT_FALSE(store->cachedCheckinPreferences());

  // The legacy keychain item moves to the current one.
  store->keychain().setData(iidtest::bytes("5|6"), kCDVInstanceIDLegacyCheckinKeychainService, std::nullopt,
                            kCDVInstanceIDLegacyCheckinKeychainAccount, nullptr);
  pump();
  newStore()->migrateCheckinItemIfNeeded();
  pump();
  EXPECT_EQ(keychainText(), "5|6");
  EXPECT_FALSE(newStore()->keychain().dataForService(kCDVInstanceIDLegacyCheckinKeychainService,
                                                     kCDVInstanceIDLegacyCheckinKeychainAccount));

  // Reset removes plist and items; the scheduler then holds no record.
  saveRecord("9", "10", 0);
  auto auth = CDVInstanceIDAuthService::initWithCheckinService(
      std::make_shared<CDVInstanceIDCheckinService>("https://checkin.test/checkin", mainQueue_), newStore());
  ASSERT_TRUE(auth->hasValidCheckinInfo());
  std::vector<std::optional<platform::Error>> outcomes;
  auth->resetCheckinWithHandler([&](std::optional<platform::Error> error) { outcomes.push_back(error); });
  pump();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].has_value());
  EXPECT_FALSE(auth->checkinPreferences());
  EXPECT_FALSE(keychainText().has_value());
  EXPECT_FALSE(newStore()->hasCheckinPlist());
}
