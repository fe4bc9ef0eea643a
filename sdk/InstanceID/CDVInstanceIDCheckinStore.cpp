#include "InstanceID/CDVInstanceIDCheckinStore.h"

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"

CDVInstanceIDCheckinStore::CDVInstanceIDCheckinStore(const std::string& checkinPlistFileName,
                                                     const std::string& subDirectoryName)
    : CDVInstanceIDCheckinStore(std::make_shared<CDVInstanceIDBackupExcludedPlist>(checkinPlistFileName, subDirectoryName),
                                std::make_shared<CDVInstanceIDAuthKeychain>(kCDVInstanceIDCheckinKeychainGeneric)) {}

CDVInstanceIDCheckinStore::CDVInstanceIDCheckinStore(std::shared_ptr<CDVInstanceIDBackupExcludedPlist> plist,
                                                     std::shared_ptr<CDVInstanceIDAuthKeychain> keychain)
    : plist_(std::move(plist)), keychain_(std::move(keychain)) {}

std::string CDVInstanceIDCheckinStore::bundleIdentifierForKeychainAccount() {
  static const std::string* identifier = new std::string(CDVInstanceIDAppIdentifier());
  return *identifier;
}

bool CDVInstanceIDCheckinStore::hasCheckinPlist() const { return plist_->doesFileExist(); }

void CDVInstanceIDCheckinStore::saveCheckinPreferences(const CDVInstanceIDCheckinPreferencesPtr& preferences,
                                                       Handler handler) {
  auto answer = [&handler](std::optional<platform::Error> error) {
    if (handler) handler(std::move(error));
  };
  std::optional<std::string> keychainContent = preferences ? preferences->checkinKeychainContent() : std::nullopt;
  if (!keychainContent) {
    CDVInstanceIDLoggerDebug(8000, "Failed to get checkin keychain content from memory.");
    return answer(errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidState));
  }
  platform::Dictionary plistContent = preferences->checkinPlistContents();
  if (plistContent.empty()) {
    CDVInstanceIDLoggerDebug(8001, "Failed to get checkin plist contents from memory.");
    return answer(errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidState));
  }
  platform::Error writeError;
  if (!plist_->writeDictionary(plistContent, &writeError)) {
    CDVInstanceIDLoggerDebug(8003, "Failed to save checkin plist contents.Will delete auth credentials");
    keychain_->removeItemsMatchingService(kCDVInstanceIDCheckinKeychainService, bundleIdentifierForKeychainAccount(),
                                          nullptr);
    return answer(writeError);
  }
  CDVInstanceIDLoggerDebug(8010, "Checkin plist file is saved");
  if (preferences->hasPreCachedAuthCredentials()) return answer(std::nullopt);
  keychain_->setData(CDVInstanceIDUTF8Bytes(*keychainContent), kCDVInstanceIDCheckinKeychainService, std::nullopt,
                     bundleIdentifierForKeychainAccount(), std::move(handler));
}

void CDVInstanceIDCheckinStore::removeCheckinPreferencesWithHandler(Handler handler) {
  platform::Error deleteError;
  if (!plist_->deleteFile(&deleteError)) {
    if (handler) handler(deleteError);
    return;
  }
  CDVInstanceIDLoggerDebug(8009, "Deleted checkin plist file.");
  std::shared_ptr<CDVInstanceIDAuthKeychain> keychain = keychain_;
  keychain_->removeItemsMatchingService(
      kCDVInstanceIDCheckinKeychainService, bundleIdentifierForKeychainAccount(),
      [keychain, handler](std::optional<platform::Error> error) {
        keychain->removeItemsMatchingService(kCDVInstanceIDLegacyCheckinKeychainService,
                                             kCDVInstanceIDLegacyCheckinKeychainAccount, nullptr);
        if (handler) handler(std::move(error));
      });
}

CDVInstanceIDCheckinPreferencesPtr CDVInstanceIDCheckinStore::cachedCheckinPreferences() {
  CDVInstanceIDCheckinPreferencesPtr preferences;
  std::optional<platform::Bytes> item =
      keychain_->dataForService(kCDVInstanceIDCheckinKeychainService, bundleIdentifierForKeychainAccount());
  if (item) {
    preferences = CDVInstanceIDCheckinPreferences::preferencesFromKeychainContents(std::string(item->begin(), item->end()));
  }
  const platform::Dictionary content = plist_->contentAsDictionary().value_or(platform::Dictionary());
  const std::string plistDeviceID = content.get(kCDVInstanceIDLegacyDeviceAuthIdKey).stringValue().value_or(std::string());
  const std::string plistSecret = content.get(kCDVInstanceIDLegacySecretTokenKey).stringValue().value_or(std::string());
  const bool plistHasCredentials = !plistDeviceID.empty() && !plistSecret.empty();
  if (!preferences) {
    if (!plistHasCredentials) return nullptr;
    preferences = std::make_shared<CDVInstanceIDCheckinPreferences>(plistDeviceID, plistSecret);
  } else if (content.size() == 6 && plistHasCredentials) {
    // The legacy property list wins over the keychain.
    preferences = std::make_shared<CDVInstanceIDCheckinPreferences>(plistDeviceID, plistSecret);
  }
  preferences->updateWithCheckinPlistContents(content);
  return preferences;
}

void CDVInstanceIDCheckinStore::migrateCheckinItemIfNeeded() {
  std::optional<platform::Bytes> legacy =
      keychain_->dataForService(kCDVInstanceIDLegacyCheckinKeychainService, kCDVInstanceIDLegacyCheckinKeychainAccount);
  if (!legacy || legacy->empty()) return;
  keychain_->setData(*legacy, kCDVInstanceIDCheckinKeychainService, std::nullopt, bundleIdentifierForKeychainAccount(),
                     nullptr);
  keychain_->removeItemsMatchingService(kCDVInstanceIDLegacyCheckinKeychainService,
                                        kCDVInstanceIDLegacyCheckinKeychainAccount, nullptr);
}
