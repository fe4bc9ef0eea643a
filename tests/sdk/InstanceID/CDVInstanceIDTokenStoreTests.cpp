// Token records and their cache: the archive, freshness, the refresh policy, APNS changes,
// reinstall detection, cancelled fetches, and the push environment read from a provisioning
// profile.
#include <algorithm>

#include "TokenTestSupport.h"
#include "foundation/PropertyList.h"
#include "obx/OBXAppEnvironmentUtil.h"

using platform::Value;

namespace {

class TokenStoreTest : public iidtest::TokenTest {
 protected:
  CDVInstanceIDTokenInfoPtr record(const std::string& entity, const std::string& scope,
                                   std::optional<std::string> version = "7.1",
                                   std::optional<std::string> appID = "1:123:ios:abc") {
    return std::make_shared<CDVInstanceIDTokenInfo>(entity, scope, "tok-" + entity, version, appID);
  }
  void installOptionsFile() {
    const std::string path = platform::files::join(platform::Bundle::main()->bundlePath(), "OmbrixService-Info.plist");
    ASSERT_TRUE(platform::plist::writeFile(path, Value(platform::Dictionary{{"OMBRIX_APP_ID", "1:123:ios:abc"},
                                                                            {"WRQ_SENDER_ID", "123"}})));
    ASSERT_EQ(CDVInstanceIDCindervaleAppID(), "1:123:ios:abc");
  }
  void save(CDVInstanceIDTokenStore& store, const CDVInstanceIDTokenInfoPtr& info) {
    store.saveTokenInfo(info, nullptr);
    pump();
  }
};

TEST_F(TokenStoreTest, ArchiveRoundTripAndRejectedForms) {
  auto info = record("e", "s", "7.1", std::nullopt);
  info->setAPNSInfo(std::make_shared<CDVInstanceIDAPNSInfo>(platform::Bytes{0, 0xff, 7}, true));
  info->setCacheTime(1700000000.625);
  CDVInstanceIDTokenInfoPtr back = CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(info->archive());
  ASSERT_TRUE(back);
  EXPECT_EQ(back->token(), "tok-e");
  EXPECT_EQ(back->appVersion(), "7.1");
  EXPECT_FALSE(back->cindervaleAppID().has_value());
  EXPECT_EQ(back->cacheTime(), 1700000000.625);
  ASSERT_TRUE(back->APNSInfo());
  EXPECT_TRUE(back->APNSInfo()->isEqualToAPNSInfo(info->APNSInfo().get()));
  const CDVInstanceIDAPNSInfo production(platform::Bytes{0, 0xff, 7}, false);
  EXPECT_FALSE(back->APNSInfo()->isEqualToAPNSInfo(&production));
  EXPECT_FALSE(back->APNSInfo()->isEqualToAPNSInfo(nullptr));

  auto archiveOf = [](platform::Dictionary coded) {
    return *platform::plist::write(Value(std::move(coded)), platform::plist::Format::Binary);
  };
  const platform::Dictionary minimal{{"authorized_entity", "e"}, {"scope", "s"}, {"token", "t"}};
  EXPECT_TRUE(CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(archiveOf(minimal)));
  for (const auto& [key, wrong] : std::vector<std::pair<std::string, Value>>{
           {"token", Value(3)}, {"app_version", Value(1.5)}, {"apns_info", Value("text")}, {"cache_time", Value(12)}}) {
    platform::Dictionary coded = minimal;
    coded.set(key, wrong);
    EXPECT_FALSE(CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(archiveOf(coded))) << key;
  }
  EXPECT_TRUE(linesWithCode(15015).empty());
  EXPECT_FALSE(CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(iidtest::bytes("not an archive")));
  EXPECT_EQ(linesWithCode(15015).size(), 1u);
  platform::Dictionary badAPNS = minimal;
  badAPNS.set("apns_info", Value(iidtest::bytes("garbage")));
  CDVInstanceIDTokenInfoPtr withoutAPNS = CDVInstanceIDTokenStore::tokenInfoFromKeychainItem(archiveOf(badAPNS));
  ASSERT_TRUE(withoutAPNS);
  EXPECT_FALSE(withoutAPNS->APNSInfo());
  EXPECT_EQ(linesWithCode(22000).size(), 1u);
}

TEST_F(TokenStoreTest, FreshnessByAgeVersionAppIDAndLocale) {
  installOptionsFile();
  clock_->setNow(1700000000);
  auto store = CDVInstanceIDTokenStore::defaultStore();
  save(*store, record("e", "s"));
  CDVInstanceIDTokenInfoPtr info = store->tokenInfoWithAuthorizedEntity("e", "s");
  ASSERT_TRUE(info);
  EXPECT_EQ(info->cacheTime(), 1700000000);
  EXPECT_FALSE(info->isFresh()) << "no locale stored yet";
  OBXUserDefaults::standardUserDefaults().setObject(*CDVInstanceIDCurrentLocale(), kCDVInstanceIDUserDefaultsKeyLocale);
  EXPECT_TRUE(info->isFresh());
  clock_->setNow(1700000000 + 604799.999);
  EXPECT_TRUE(info->isFresh());
  clock_->setNow(1700000000 + 604800);
  EXPECT_FALSE(info->isFresh());
  clock_->setNow(1699990000);  // a clock set back
  EXPECT_TRUE(info->isFresh());
  EXPECT_FALSE(record("e", "s", std::nullopt)->isFresh()) << "never cached";
  auto other = record("e", "s", "7.0");
  other->setCacheTime(1699990000);
  EXPECT_FALSE(other->isFresh());
  EXPECT_EQ(linesWithCode(14004).size(), 1u);
  auto otherApp = record("e", "s", "7.1", "1:999:ios:x");
  otherApp->setCacheTime(1699990000);
  EXPECT_FALSE(otherApp->isFresh());
  EXPECT_EQ(linesWithCode(22001).size(), 1u);
}

TEST_F(TokenStoreTest, RefreshPolicyAndApnsChangesRemoveTheRightRecords) {
  auto manager = CDVInstanceIDTokenManager::create();
  CDVInstanceIDStore& store = *manager->instanceIDStore();
  auto apns = std::make_shared<CDVInstanceIDAPNSInfo>(platform::Bytes{1}, false);
  auto withAPNS = record("pushed", "s");
  withAPNS->setAPNSInfo(apns);
  for (const auto& info : {record("sender", "*"), record("plain", "s"), withAPNS}) store.saveTokenInfo(info, nullptr);
  pump();
  // No app id in the options: none of them is fresh.
  EXPECT_TRUE(manager->checkForTokenRefreshPolicy());
  pump();
  std::vector<std::string> left;
  for (const auto& info : store.cachedTokenInfos()) left.push_back(info->authorizedEntity());
  EXPECT_EQ(left, std::vector<std::string>{"sender"}) << "the stale default record stays";

  store.saveTokenInfo(withAPNS, nullptr);
  store.saveTokenInfo(record("plain", "s"), nullptr);
  pump();
  std::vector<CDVInstanceIDTokenInfoPtr> dropped = manager->updateTokensToAPNSDeviceToken({1}, false);
  pump();
  ASSERT_EQ(dropped.size(), 2u);
  EXPECT_EQ(store.cachedTokenInfos().size(), 1u);
  EXPECT_TRUE(store.tokenInfoWithAuthorizedEntity("pushed", "s"));
  EXPECT_TRUE(manager->updateTokensToAPNSDeviceToken({1}, false).empty()) << "the same token twice";
  EXPECT_EQ(manager->updateTokensToAPNSDeviceToken({1}, true).size(), 1u) << "another environment";

  store.removeCachedTokenWithAuthorizedEntity("pushed", "");
  EXPECT_EQ(linesWithCode(13012).size(), 1u);
}

TEST_F(TokenStoreTest, ReinstallDeletesTheEarlierInstallationsRegistrations) {
  saveRecord("555", "666", 3600);
  ASSERT_TRUE(platform::files::removeItem(
      platform::files::join(createSubDirectory(), std::string(kCDVInstanceIDCheckinFileName) + ".plist")));
  replies = {"deleted=1"};
  auto manager = CDVInstanceIDTokenManager::create();
  pump();
  EXPECT_FALSE(keychainText().has_value());
  EXPECT_FALSE(manager->authService()->checkinPreferences());
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(header(requests[0], "Authorization"), "AidLogin 555:666");
  const iidtest::Form form = requestForm(0);
  EXPECT_EQ(form["delete"], "true");
  EXPECT_FALSE(form.has("sender") || form.has("X-scope") || form.has("appid"));
  EXPECT_EQ(linesWithCode(13006).size(), 1u);
  EXPECT_EQ(linesWithCode(14007).size(), 1u);
}

TEST_F(TokenStoreTest, CancelledFetchIsReportedAndSavesNothing) {
  saveRecord("1001", "2002", 3600);
  holdReplies = true;
  auto manager = CDVInstanceIDTokenManager::create();
  std::vector<Outcome> outcomes;
  manager->fetchNewTokenWithAuthorizedEntity("e", "s", nullptr, {}, into(outcomes));
  pump();
  ASSERT_EQ(requests.size(), 1u);
  manager->stopAllTokenOperations();
  releaseHeld("token=late");
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_EQ(outcomes[0].error->domain, kCDVInstanceIDDomain);
  EXPECT_EQ(codeOf(outcomes[0]), kCDVInstanceIDErrorCodeOperationCancelled);
  EXPECT_FALSE(manager->cachedTokenInfoWithAuthorizedEntity("e", "s"));
}

TEST_F(TokenStoreTest, PushEnvironmentFromTheProvisioningProfile) {
  OBXScopedAppEnvironment device(OBXAppEnvironmentUtil::Environment{.isSimulator = false});
  auto profileWith = [&](const std::string& entitlements, const std::string& prefix) {
    std::string text = prefix +
                       "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
                       "<key>Name</key><string>Vesmora Dev</string><key>Entitlements</key><dict>" +
                       entitlements + "</dict><key>ProvisionedDevices</key><array/></dict></plist>";
    // The property list inside the bytes of a signed envelope, copied into a vector of the whole
    // size (GCC 12's optimiser misreads range inserts here as writing past the end).
    const platform::Bytes head = {0x30, 0x82, 0x00, 0xff, 0x80};
    const platform::Bytes tail = {0x00, 0xa0, 0x82, 0x04};
    platform::Bytes bytes(head.size() + text.size() + tail.size());
    std::copy(tail.begin(), tail.end(),
              std::copy(text.begin(), text.end(), std::copy(head.begin(), head.end(), bytes.begin())));
    if (prefix == "@start") bytes.assign(text.begin() + static_cast<long>(text.find("<plist")), text.end());
    ASSERT_TRUE(platform::files::writeFileAtomically(
        platform::files::join(platform::Bundle::main()->bundlePath(), "embedded.mobileprovision"), bytes));
  };
  profileWith("<key>aps-environment</key><string>development</string>", "");
  EXPECT_FALSE(CDVInstanceID::isProductionApp());
  EXPECT_EQ(linesWithCode(3012).size(), 1u);
  profileWith("<key>aps-environment</key><string>production</string>", "");
  EXPECT_TRUE(CDVInstanceID::isProductionApp());
  profileWith("", "");
  EXPECT_TRUE(CDVInstanceID::isProductionApp());
  EXPECT_EQ(linesWithCode(3015).size(), 1u);
  profileWith("<key>aps-environment</key><string>development</string>", "@start");
  EXPECT_TRUE(CDVInstanceID::isProductionApp()) << "nothing ahead of the property list: not taken";
  EXPECT_EQ(linesWithCode(3015).size(), 1u) << "and no message";
  platform::ClassRegistry::registerClass(std::make_shared<CDVMessagingClassObject>());
  platform::files::removeItem(platform::files::join(platform::Bundle::main()->bundlePath(), "embedded.mobileprovision"));
  EXPECT_TRUE(CDVInstanceID::isProductionApp());
  EXPECT_EQ(linesWithCode(3014).size(), 1u) << "an error once the messaging component is there";
}

}  // namespace
