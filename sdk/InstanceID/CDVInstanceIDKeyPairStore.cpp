#include "InstanceID/CDVInstanceIDKeyPairStore.h"

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDUtilities.h"

namespace {

// The last failure of several keychain steps whose handlers run one after another on the main
// queue.
struct LastFailure {
  std::mutex mutex;
  std::optional<platform::Error> error;
  void remember(const std::optional<platform::Error>& failure) {
    std::lock_guard lock(mutex);
    if (failure) error = failure;
  }
  std::optional<platform::Error> get() {
    std::lock_guard lock(mutex);
    return error;
  }
};

std::string describe(const std::optional<platform::Error>& error) {
  return error ? error->fullDescription() : std::string();
}

}  // namespace

CDVInstanceIDKeyPairStore::CDVInstanceIDKeyPairStore()
    : plist_(std::make_unique<CDVInstanceIDBackupExcludedPlist>(kCDVInstanceIDKeyPairStoreFileName,
                                                               kCDVInstanceIDSubDirectoryName)) {}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::keyPair() const {
  std::lock_guard lock(stateMutex_);
  return keyPair_;
}

void CDVInstanceIDKeyPairStore::setKeyPair(KeyPairPtr keyPair) {
  std::lock_guard lock(stateMutex_);
  keyPair_ = std::move(keyPair);
}

int CDVInstanceIDKeyPairStore::keychainEntitlementsErrorCount() const {
  std::lock_guard lock(stateMutex_);
  return keychainEntitlementsErrorCount_;
}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::loadKeyPairWithError(platform::Error* error) {
  {
    std::lock_guard lock(loadMutex_);
    KeyPairPtr held = keyPair();
    if (held && held->isValid()) return held;
    if (keychainEntitlementsErrorCount() >= 3) {
      CDVInstanceIDLoggerDebug(
          10002, "Keychain not accessible, Entitlements missing error (-34018). Will not check token in cache.");
      return nullptr;
    }
    platform::Error loadError;
    bool failed = false;
    if (!held) {
      held = validCachedKeyPairWithSubtype(kCDVInstanceIDKeyPairSubType, &loadError);
      failed = held == nullptr;
      setKeyPair(held);
    }
    if (failed && loadError.code == kCDVInstanceIDSecMissingEntitlementErrorCode) {
      std::lock_guard state(stateMutex_);
      ++keychainEntitlementsErrorCount_;
    }
    if (!held) {
      held = generateAndSaveKeyWithSubtype(kCDVInstanceIDKeyPairSubType, CDVInstanceIDCurrentTimestampInSeconds(),
                                           &loadError);
      setKeyPair(held);
      failed = held == nullptr;
    }
    if (error != nullptr) *error = failed ? loadError : platform::Error();
  }
  return keyPair();
}

std::optional<std::string> CDVInstanceIDKeyPairStore::appIdentityWithError(platform::Error* error) {
  platform::Error loadError;
  KeyPairPtr pair = loadKeyPairWithError(&loadError);
  if (!pair) {
    CDVInstanceIDLoggerError(10009, "Keypair could not be loaded from Keychain. Error: %@", loadError.fullDescription());
    if (error != nullptr) *error = loadError;
    return std::nullopt;
  }
  if (error != nullptr) *error = platform::Error();
  std::optional<std::string> identity = CDVInstanceIDAppIdentity(*pair);
  if (!identity || identity->empty()) {
    platform::setError(error, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeUnknown));
    return std::nullopt;
  }
  return identity;
}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::validCachedKeyPairWithSubtype(const std::string& subtype,
                                                                                            platform::Error* error) {
  std::optional<platform::Dictionary> content = plist_->contentAsDictionary();
  if (!content || !content->contains(CDVInstanceIDCreationTimeKeyWithSubtype(subtype))) {
    platform::setError(error, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPairCreationTime));
    return nullptr;
  }
  return cachedKeyPairWithSubtype(subtype, error);
}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::cachedKeyPairWithSubtype(const std::string& subtype,
                                                                                       platform::Error* error) {
  return keyPairForPrivateKeyTag(CDVInstanceIDPrivateTagWithSubtype(subtype), CDVInstanceIDPublicTagWithSubtype(subtype),
                                 error);
}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::keyPairForPrivateKeyTag(const std::string& privateTag,
                                                                                      const std::string& publicTag,
                                                                                      platform::Error* error) {
  if (privateTag.empty() || publicTag.empty()) {
    platform::setError(error, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeInvalidKeyPairTags));
    return nullptr;
  }
  OSStatus privateStatus = errSecSuccess;
  OSStatus publicStatus = errSecSuccess;
  SecKeyRef privateKey = CDVInstanceIDCachedKeyRefWithTag(privateTag, &privateStatus);
  SecKeyRef publicKey = CDVInstanceIDCachedKeyRefWithTag(publicTag, &publicStatus);
  if (!privateKey || !publicKey) {
    // A keychain the app may not use is told apart from a missing item, so the caller can count it.
    if (privateStatus == errSecMissingEntitlement || publicStatus == errSecMissingEntitlement) {
      platform::setError(error, CDVInstanceIDKeychainError(errSecMissingEntitlement));
    } else {
      platform::setError(error, errorWithCDVInstanceIDErrorCode(kCDVInstanceIDErrorCodeMissingKeyPair));
    }
    CDVInstanceIDLoggerDebug(9000, "No keypair info is found with tag %@", privateTag);
    return nullptr;
  }
  platform::Bytes publicData = CDVInstanceIDKeyDataWithTag(publicTag).value_or(platform::Bytes());
  platform::Bytes privateData = CDVInstanceIDKeyDataWithTag(privateTag).value_or(platform::Bytes());
  return std::make_shared<CDVInstanceIDKeyPair>(std::move(privateKey), std::move(publicKey), std::move(publicData),
                                                std::move(privateData));
}

CDVInstanceIDKeyPairStore::KeyPairPtr CDVInstanceIDKeyPairStore::generateAndSaveKeyWithSubtype(const std::string& subtype,
                                                                                            std::int64_t creationTime,
                                                                                            platform::Error* error) {
  const std::string privateTag = CDVInstanceIDPrivateTagWithSubtype(subtype);
  const std::string publicTag = CDVInstanceIDPublicTagWithSubtype(subtype);
  KeyPairPtr pair = CDVInstanceIDKeychain::sharedInstance()->generateKeyPairWithPrivateTag(privateTag, publicTag);
  if (!pair->isValid()) {
    CDVInstanceIDLoggerError(10003, "Unable to generate keypair.");
    return nullptr;
  }
  if (error != nullptr) *error = platform::Error();
  platform::Dictionary content = plist_->contentAsDictionary().value_or(platform::Dictionary());
  content.set(CDVInstanceIDCreationTimeKeyWithSubtype(subtype), creationTime);
  platform::Error writeError;
  if (!plist_->writeDictionary(content, &writeError)) {
    deleteKeyPairWithPrivateTag(privateTag, publicTag, nullptr);
    CDVInstanceIDLoggerError(10004, "Failed to save keypair data to plist %@", writeError.fullDescription());
    platform::setError(error, std::move(writeError));
    return nullptr;
  }
  return pair;
}

void CDVInstanceIDKeyPairStore::migrateKeyPairCacheIfNeededWithHandler(Handler handler) {
  const std::string legacyPrivate = CDVInstanceIDLegacyPrivateTagWithSubtype(kCDVInstanceIDKeyPairSubType);
  const std::string legacyPublic = CDVInstanceIDLegacyPublicTagWithSubtype(kCDVInstanceIDKeyPairSubType);
  KeyPairPtr legacy = keyPairForPrivateKeyTag(legacyPrivate, legacyPublic);
  auto answer = [handler](std::optional<platform::Error> error) {
    if (handler) platform::Queue::main()->async([handler, error] { handler(error); });
  };
  if (!legacy || !legacy->isValid()) {
    CDVInstanceIDLoggerDebug(9006, "There's no legacy keypair so no need to do migration.");
    answer(std::nullopt);
    return;
  }
  const std::string currentPublic = CDVInstanceIDPublicTagWithSubtype(kCDVInstanceIDKeyPairSubType);
  if (CDVInstanceIDHasMigratedKeyPair(legacyPublic, currentPublic)) {
    answer(std::nullopt);
    return;
  }
  setKeyPair(legacy);
  auto failure = std::make_shared<LastFailure>();
  updateKeyRef(legacy->publicKey(), currentPublic, [failure](std::optional<platform::Error> error) {
    if (error) CDVInstanceIDLoggerError(9004, "Unable to migrate key pair from legacy ones.");
    failure->remember(error);
  });
  updateKeyRef(legacy->privateKey(), CDVInstanceIDPrivateTagWithSubtype(kCDVInstanceIDKeyPairSubType),
               [failure, handler](std::optional<platform::Error> error) {
                 if (error) CDVInstanceIDLoggerError(9004, "Unable to migrate key pair from legacy ones.");
                 failure->remember(error);
                 if (handler) handler(failure->get());
               });
}

void CDVInstanceIDKeyPairStore::updateKeyRef(const SecKeyRef& keyRef, const std::string& tag, Handler handler) {
  platform::Dictionary removeQuery{{kSecAttrApplicationTag, CDVInstanceIDUTF8Bytes(tag)},
                                   {kSecClass, kSecClassKey},
                                   {kSecAttrKeyType, kSecAttrKeyTypeRSA},
                                   {kSecReturnRef, true}};
  platform::Dictionary addQuery{{kSecAttrApplicationTag, CDVInstanceIDUTF8Bytes(tag)},
                                {kSecClass, kSecClassKey},
                                {kSecValueRef, SecKeyValue(keyRef)},
                                {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}};
  auto failure = std::make_shared<LastFailure>();
  auto keychain = CDVInstanceIDKeychain::sharedInstance();
  keychain->removeItemWithQuery(removeQuery, [failure](std::optional<platform::Error> error) { failure->remember(error); });
  keychain->addItemWithQuery(addQuery, [failure, handler](std::optional<platform::Error> error) {
    failure->remember(error);
    if (handler) handler(failure->get());
  });
}

void CDVInstanceIDKeyPairStore::deleteKeyPairWithPrivateTag(const std::string& privateTag, const std::string& publicTag,
                                                            Handler handler) {
  auto failure = std::make_shared<LastFailure>();
  auto keychain = CDVInstanceIDKeychain::sharedInstance();
  keychain->removeItemWithQuery(CDVInstanceIDKeyPairQuery(publicTag, false, false),
                                [failure](std::optional<platform::Error> error) { failure->remember(error); });
  keychain->removeItemWithQuery(CDVInstanceIDKeyPairQuery(privateTag, false, false),
                                [failure, handler](std::optional<platform::Error> error) {
                                  failure->remember(error);
                                  if (handler) handler(failure->get());
                                });
}

void CDVInstanceIDKeyPairStore::deleteSavedKeyPairWithSubtype(const std::string& subtype, Handler handler) {
  std::optional<platform::Dictionary> content = plist_->contentAsDictionary();
  const std::string creationKey = CDVInstanceIDCreationTimeKeyWithSubtype(subtype);
  if (content && content->contains(creationKey)) {
    content->remove(creationKey);
    platform::Error writeError;
    if (!plist_->writeDictionary(*content, &writeError)) {
      CDVInstanceIDLoggerError(10006, "Unable to remove keypair creation time from plist %@", writeError.fullDescription());
    }
  }
  setKeyPair(nullptr);
  deleteKeyPairWithPrivateTag(
      CDVInstanceIDPrivateTagWithSubtype(subtype), CDVInstanceIDPublicTagWithSubtype(subtype),
      [subtype, handler](std::optional<platform::Error> error) {
        deleteKeyPairWithPrivateTag(CDVInstanceIDLegacyPrivateTagWithSubtype(subtype),
                                    CDVInstanceIDLegacyPublicTagWithSubtype(subtype), nullptr);
        if (error) CDVInstanceIDLoggerError(10007, "Unable to remove RSA keypair, error: %@", describe(error));
        if (handler) handler(error);
      });
}

bool CDVInstanceIDKeyPairStore::invalidateKeyPairsIfNeeded() {
  if (plist_->doesFileExist()) {
    migrateKeyPairCacheIfNeededWithHandler(nullptr);
    return false;
  }
  deleteSavedKeyPairWithSubtype(kCDVInstanceIDKeyPairSubType, nullptr);
  return true;
}

bool CDVInstanceIDKeyPairStore::hasCachedKeyPairs() {
  platform::Error error;
  if (cachedKeyPairWithSubtype(kCDVInstanceIDKeyPairSubType, &error)) return true;
  CDVInstanceIDLoggerDebug(10000, "Failed to get the cached keyPair %@", error.fullDescription());
  platform::Error removeError;
  if (!removeKeyPairCreationTimePlistWithError(&removeError)) {
    CDVInstanceIDLoggerDebug(10001, "Failed to remove keyPair creationTime plist %@", removeError.fullDescription());
  }
  return false;
}

bool CDVInstanceIDKeyPairStore::removeKeyPairCreationTimePlistWithError(platform::Error* error) {
  if (!plist_->deleteFile(error)) {
    CDVInstanceIDLoggerError(10008, "Unable to delete keypair creation times plist");
    return false;
  }
  return true;
}
