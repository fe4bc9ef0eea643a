#include <gtest/gtest.h>

#include <thread>

#include "MeasurementEngineTestSupport.h"
#include "foundation/Date.h"
#include "foundation/Device.h"
#include "foundation/Locale.h"
#include "measurement/engine/TLMEnvironmentInfo.h"
#include "measurement/model/TLMUtil.h"

namespace {
constexpr const char* kAdID1 = "6D92078A-8246-4BA4-AE5B-76104861E7DC";
constexpr const char* kAdID2 = "0C6AE0F4-05A5-4A3E-8A0E-3C1A7E11F00D";
}  // namespace

TEST(TLMIdentityTest, TheAppInstanceIDIsMadeOnceAndReplacedOnlyWhenTheAdvertisingIDIsReset) {
  EngineHarness h;
  auto identity = h.makeIdentity();
  const std::string first = identity->appInstanceID();
  EXPECT_EQ(first.size(), 32u);
  EXPECT_EQ(first.find_first_not_of("0123456789ABCDEF"), std::string::npos);
  EXPECT_EQ(h.persisted->appInstanceID(), first);
  EXPECT_EQ(h.makeIdentity()->appInstanceID(), first);  // the next process reads the same id

  // The first advertising identifier ever seen keeps the id.
  h.adManager->identifier = kAdID1;
  h.clock->advance(2);
  EXPECT_EQ(identity->appInstanceID(), first);
  EXPECT_EQ(identity->hashedIDFA(), tlm_MD5String(kAdID1));
  EXPECT_EQ(identity->resettableDeviceID(), kAdID1);

  // Within the cache time (1 s) nothing is re-read.
  h.adManager->identifier = kAdID2;
  h.clock->advance(0.5);
  EXPECT_EQ(identity->resettableDeviceID(), kAdID1);
  // A clock set back does not count as fresh.
  h.clock->setNow(h.clock->now() - 100);
  EXPECT_EQ(identity->resettableDeviceID(), kAdID2);
  const std::string second = identity->appInstanceID();
  EXPECT_NE(second, first);
  EXPECT_EQ(h.persisted->appInstanceID(), second);

  // Tracking limited: the all-zero identifier changes no hash and the old identifier is dropped.
  h.adManager->identifier = kTLMZeroAdvertisingIdentifier;
  h.adManager->trackingEnabled = false;
  h.clock->advance(2);
  EXPECT_EQ(identity->resettableDeviceID(), std::nullopt);
  EXPECT_TRUE(identity->limitedAdTracking());
  EXPECT_EQ(identity->hashedIDFA(), tlm_MD5String(kAdID2));
  EXPECT_EQ(identity->appInstanceID(), second);
}

TEST(TLMIdentityTest, AppIDsVersionFieldsAndTheVendorIdentifier) {
  EngineHarness h;
  h.installBundle("2.0", "2019.07");
  platform::ScopedIdentifierForVendor vendor("VENDOR-ID");
  auto identity = h.makeIdentity(std::nullopt);
  identity->setAppIDFromQPX("");
  EXPECT_TRUE(h.monitor->has(20005));
  identity->setAppIDFromQPX("first");
  identity->setAppIDFromQPX("second");
  EXPECT_EQ(identity->appIDFromQPX(), "first");
  EXPECT_EQ(identity->appVersion(), "2.0");
  EXPECT_EQ(identity->appVersionMajor(), 2019);
  EXPECT_EQ(identity->appVersionMinor(), 7);
  EXPECT_EQ(identity->appVersionRelease(), std::nullopt);

  EXPECT_EQ(TLMIdentity::numericFieldsFromAppVersionNumeric("1.2b3"), (std::vector<std::int32_t>{1, 23}));
  EXPECT_TRUE(h.monitor->has(20002));
  EXPECT_EQ(TLMIdentity::numericFieldsFromAppVersionNumeric("1..2"), (std::vector<std::int32_t>{1, 2}));
  EXPECT_EQ(TLMIdentity::tallymarkLibraryVersionFromString("60003000"), 60003);
  EXPECT_EQ(TLMIdentity::tallymarkLibraryVersionFromString("600"), 0);

  EXPECT_EQ(identity->identifierForVendor(), "VENDOR-ID");
  h.adManager->identifier = kAdID1;
  h.clock->advance(5);
  identity->updateIdentifiers();
  EXPECT_EQ(identity->identifierForVendor(), std::nullopt);  // a resettable id wins
}

TEST(TLMIdentityTest, GettersAndRefreshesOnSeveralThreadsAgreeOnOneID) {
  EngineHarness h;
  auto identity = h.makeIdentity();
  h.adManager->identifier = kAdID1;
  std::vector<std::thread> threads;
  std::vector<std::string> seen(4);
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&, i] {
      for (int k = 0; k < 200; ++k) {
        identity->updateIdentifiers();
        seen[i] = identity->appInstanceID();
        (void)identity->resettableDeviceID();
      }
    });
  }
  for (auto& t : threads) t.join();
  for (const auto& id : seen) EXPECT_EQ(id, seen[0]);
  EXPECT_EQ(h.persisted->appInstanceID(), seen[0]);
}

TEST(TLMIdentifiersTest, OriginAdEventIDsAndEnvironment) {
  EngineHarness h;
  TLMIdentifiers identifiers;
  identifiers.setOrigin("");
  EXPECT_TRUE(h.monitor->has(37004));
  identifiers.setOrigin("xq");
  EXPECT_EQ(identifiers.origin(), "xq");
  const auto a = std::stoll(identifiers.adEventID());
  const auto b = std::stoll(identifiers.adEventID());
  EXPECT_EQ(b, a + 1);
  EXPECT_EQ(TLMIdentifiers::libraryVersion(), "60003");

  TLMEnvironmentInfo environment;
  platform::locale::setPreferredLanguages(std::vector<std::string>{"de-CH", "en"});
  EXPECT_EQ(environment.userDefaultLanguage(), "de-ch");
  platform::TimeZone::setCurrent(platform::TimeZone::named("Asia/Kolkata"));
  EXPECT_EQ(environment.timeZoneOffsetMinutes(), 330);
  platform::TimeZone::setCurrent(platform::TimeZone::named("America/St_Johns"));
  h.clock->setNow(1700000000);  // November: -3:30
  EXPECT_EQ(environment.timeZoneOffsetMinutes(), -210);  // truncated toward zero
  platform::TimeZone::setCurrent(std::nullopt);
  platform::locale::setPreferredLanguages(std::vector<std::string>{});
  EXPECT_EQ(environment.userDefaultLanguage(), std::nullopt);
  EXPECT_TRUE(h.monitor->has(14001));
  platform::locale::setPreferredLanguages(std::nullopt);
}
