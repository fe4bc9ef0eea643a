#include <gtest/gtest.h>

#include <sys/utsname.h>

#include "EngineTestSupport.h"
#include "foundation/Bundle.h"
#include "foundation/Files.h"
#include "foundation/PropertyList.h"
#include "foundation/SharedApplication.h"
#include "measurement/engine/TLMAEU.h"
#include "measurement/engine/TLMInfoPlistFileUtil.h"
#include "measurement/engine/TLMKeychainWrapper.h"
#include "obx/OBXAppEnvironmentUtil.h"
#include "security/SecItem.h"

using platform::Value;

namespace {

// Installs a main bundle for the life of the object.
class ScopedMainBundle {
 public:
  ScopedMainBundle(const std::string& path, Value info) {
    platform::files::createDirectories(path);
    platform::Bundle::setMain(std::make_shared<platform::Bundle>(path, std::move(info)));
  }
  ~ScopedMainBundle() { platform::Bundle::resetForTesting(); }
};

OBXAppEnvironmentUtil::Environment systemVersion(const std::string& version) {
  OBXAppEnvironmentUtil::Environment environment;
  environment.systemVersion = version;
  return environment;
}

class ApplicationClass : public platform::ClassObject, public platform::SharedApplicationClass {
 public:
  ApplicationClass() : platform::ClassObject("UIApplication") {}
  std::shared_ptr<platform::Object> sharedApplication() const override { return application; }
  std::shared_ptr<platform::Object> application = std::make_shared<platform::Object>();
};

constexpr const char* kAppID = "com.example.app";

}  // namespace

TEST(TLMAEUTest, SystemVersionSevenIsTheFirstSupportedAndIsReadOnce) {
  {
    OBXScopedAppEnvironment environment(systemVersion("6.1"));
    TLMAEU::resetForTesting();
    EXPECT_FALSE(TLMAEU::isOSSupported());
    EXPECT_FALSE(TLMAEU::appStoreRURL().has_value());
  }
  {
    OBXScopedAppEnvironment environment(systemVersion("7.0"));
    TLMAEU::resetForTesting();
    EXPECT_TRUE(TLMAEU::isOSSupported());
  }
  OBXScopedAppEnvironment environment(systemVersion("5.0"));
  EXPECT_TRUE(TLMAEU::isOSSupported());  // still the value read first
  TLMAEU::resetForTesting();
  EXPECT_FALSE(TLMAEU::isOSSupported());
  TLMAEU::resetForTesting();
}

TEST(TLMAEUTest, BundleAndDeviceFacts) {
  EngineTestEnvironment env;
  TLMAEU::resetForTesting();
  struct utsname info {};
  ASSERT_EQ(::uname(&info), 0);
  EXPECT_EQ(TLMAEU::deviceModel(), std::string(info.machine));
  EXPECT_EQ(TLMAEU::isNOD(), std::string(info.machine) == "x86_64" || std::string(info.machine) == "i386");

  auto applicationClass = std::make_shared<ApplicationClass>();
  platform::ClassRegistry::registerClass(applicationClass);
  {
    ScopedMainBundle bundle(env.sandbox.root() + "/Host.app", Value::dictionary({}));
    EXPECT_FALSE(TLMAEU::isAEX());
    EXPECT_EQ(TLMAEU::sharedApplication(), applicationClass->application);
    EXPECT_EQ(TLMAEU::appStoreRURL(), env.sandbox.root() + "/Host.app/StoreKit/receipt");
    EXPECT_FALSE(TLMAEU::isASRS());
    OBXAppEnvironmentUtil::Environment sandboxReceipt;
    sandboxReceipt.isAppStoreReceiptSandbox = true;
    OBXScopedAppEnvironment environment(sandboxReceipt);
    EXPECT_TRUE(TLMAEU::isASRS());
  }
  {
    ScopedMainBundle bundle(env.sandbox.root() + "/Share.appex/",
                            Value::dictionary({{"CindervaleAppStoreReceiptURLCheckEnabled", false}}));
    EXPECT_TRUE(TLMAEU::isAEX());
    EXPECT_EQ(TLMAEU::sharedApplication(), nullptr);
    EXPECT_FALSE(TLMAEU::appStoreRURL().has_value());
    EXPECT_FALSE(TLMAEU::isASRS());
  }
  platform::ClassRegistry::unregisterClass("UIApplication");
  EXPECT_EQ(TLMAEU::sharedApplication(), nullptr);
}

TEST(TLMInfoPlistFileUtilTest, TheSDKBundleIsTheFallback) {
  EngineTestEnvironment env;
  ScopedMainBundle main(env.sandbox.root() + "/Host.app", Value());
  EXPECT_FALSE(TLMInfoPlistFileUtil::ombrixServiceInfoPlistPath().has_value());

  const std::string sdkPath = env.sandbox.root() + "/SDK.bundle";
  ASSERT_TRUE(platform::files::createDirectories(sdkPath));
  ASSERT_TRUE(platform::plist::writeFile(sdkPath + "/OmbrixService-Info.plist",
                                         Value::dictionary({{"OMBRIX_APP_ID", "1:123:ios:abc"}})));
  platform::Bundle::setBundleForClass("TLMInfoPlistFileUtil", std::make_shared<platform::Bundle>(sdkPath, Value()));
  EXPECT_EQ(TLMInfoPlistFileUtil::ombrixServiceInfoPlistPath(), sdkPath + "/OmbrixService-Info.plist");
  ASSERT_TRUE(TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist().has_value());
  EXPECT_EQ(TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist()->get("OMBRIX_APP_ID"), Value("1:123:ios:abc"));

  // The main bundle's file wins; a file that holds no dictionary reads as none.
  ASSERT_TRUE(platform::plist::writeFile(env.sandbox.root() + "/Host.app/OmbrixService-Info.plist",
                                         Value::array({Value("not a dictionary")})));
  EXPECT_EQ(TLMInfoPlistFileUtil::ombrixServiceInfoPlistPath(), env.sandbox.root() + "/Host.app/OmbrixService-Info.plist");
  EXPECT_FALSE(TLMInfoPlistFileUtil::dictionaryFromOmbrixServiceInfoPlist().has_value());
}

TEST(TLMKeychainWrapperTest, UpsertAddsThenUpdatesAndSurvivesAReinstall) {
  EngineTestEnvironment env;
  EXPECT_FALSE(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID).has_value());
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("1", "_pfo", kAppID));
  ASSERT_TRUE(TLMKeychainWrapper::upsertKeychainValue("2", "_pfo", kAppID));  // no duplicate failure
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "2");
  EXPECT_FALSE(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", "com.example.other").has_value());

  env.sandbox.wipeApp();
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "2");

  Value attributes;
  platform::Dictionary query = *TLMKeychainWrapper::searchDirectoryForIdentifier("_pfo", kAppID);
  query.set(kSecReturnAttributes, true);
  ASSERT_EQ(SecItemCopyMatching(query, &attributes), errSecSuccess);
  EXPECT_EQ(attributes[kSecAttrAccessible], Value(kSecAttrAccessibleAlwaysThisDeviceOnly));
  EXPECT_EQ(attributes[kSecAttrAccount], Value(platform::Bytes{'_', 'p', 'f', 'o'}));

  TLMKeychainWrapper::deleteKeychainValueWithIdentifier("_pfo", kAppID);
  EXPECT_FALSE(TLMKeychainWrapper::keychainDataWithIdentifier("_pfo", kAppID).has_value());
}

TEST(TLMKeychainWrapperTest, AnItemWithAnEmptyValueIsUpdatedAndBadAddressesAreRefused) {
  EngineTestEnvironment env;
  platform::Dictionary emptyItem = *TLMKeychainWrapper::searchDirectoryForIdentifier("_pfo", kAppID);
  emptyItem.set(kSecValueData, platform::Bytes{});
  ASSERT_EQ(SecItemAdd(emptyItem, nullptr), errSecSuccess);
  EXPECT_FALSE(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID).has_value());
  EXPECT_TRUE(TLMKeychainWrapper::upsertKeychainValue("5", "_pfo", kAppID));
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "5");

  EXPECT_FALSE(TLMKeychainWrapper::searchDirectoryForIdentifier("", kAppID).has_value());
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("1", "_pfo", ""));
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("1", "", kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue(std::string("\xff\xfe"), "_pfo", kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", "").has_value());
  TLMKeychainWrapper::deleteKeychainValueWithIdentifier("", kAppID);
  EXPECT_EQ(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID), "5");

  SecScopedMissingEntitlement missing;
  EXPECT_FALSE(TLMKeychainWrapper::upsertKeychainValue("6", "_pfo", kAppID));
  EXPECT_FALSE(TLMKeychainWrapper::keychainValueWithIdentifier("_pfo", kAppID).has_value());
}
