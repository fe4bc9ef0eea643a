// Check-in fixture: a check-in store over the instance identity's subdirectory and helpers to
// put a record in place as an earlier launch would have left it.
#pragma once

#include "InstanceID/CDVInstanceIDAuthService.h"
#include "InstanceID/CDVInstanceIDCheckinStore.h"
#include "InstanceIDTestSupport.h"
#include "foundation/Json.h"
#include "obx/OBXUserDefaults.h"

namespace iidtest {

class CheckinTest : public InstanceIDTest {
 protected:
  void SetUp() override {
    InstanceIDTest::SetUp();
    createSubDirectory();
  }

  static std::shared_ptr<CDVInstanceIDCheckinStore> newStore() {
    return std::make_shared<CDVInstanceIDCheckinStore>(kCDVInstanceIDCheckinFileName, kCDVInstanceIDSubDirectoryName);
  }

  // A record saved by an earlier launch, checked in `ageSeconds` ago, with the locale stored.
  void saveRecord(const std::string& deviceID, const std::string& secret, double ageSeconds,
                  const std::string& digest = "old-digest") {
    auto record = std::make_shared<CDVInstanceIDCheckinPreferences>(deviceID, secret);
    record->updateWithCheckinPlistContents(platform::Dictionary{
        {kCDVInstanceIDCheckinDigestKey, digest},
        {kCDVInstanceIDCheckinLastTimestampKey,
         CDVInstanceIDCurrentTimestampInMilliseconds() - static_cast<std::int64_t>(ageSeconds * 1000)}});
    std::optional<platform::Error> outcome = platform::Error("unset", 1, "");
    newStore()->saveCheckinPreferences(record, [&](std::optional<platform::Error> error) { outcome = error; });
    pump();
    ASSERT_FALSE(outcome.has_value()) << outcome->fullDescription();
    OBXUserDefaults::standardUserDefaults().setObject(CDVInstanceIDCurrentLocale().value_or(""),
                                                      kCDVInstanceIDUserDefaultsKeyLocale);
  }

  // The check-in keychain item's text, asked of the keychain itself.
  static std::optional<std::string> keychainText() {
    platform::Value result;
    if (SecItemCopyMatching(platform::Dictionary{{kSecClass, kSecClassGenericPassword},
                                                 {kSecAttrService, kCDVInstanceIDCheckinKeychainService},
                                                 {kSecAttrAccount, kBundleID},
                                                 {kSecReturnData, true}},
                            &result) != errSecSuccess) {
      return std::nullopt;
    }
    return std::string(result.dataPtr()->begin(), result.dataPtr()->end());
  }

  static platform::Bytes json(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

  struct Answer {
    CDVInstanceIDCheckinPreferencesPtr preferences;
    std::optional<platform::Error> error;
  };
  CDVInstanceIDAuthService::CheckinHandler collect(std::vector<Answer>& answers) {
    return [&answers](CDVInstanceIDCheckinPreferencesPtr preferences, std::optional<platform::Error> error) {
      answers.push_back({std::move(preferences), std::move(error)});
    };
  }
};

}  // namespace iidtest
