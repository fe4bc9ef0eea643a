#include "InstanceID/CDVInstanceIDKeyPair.h"

#include "InstanceID/CDVInstanceIDKeychain.h"
#include "InstanceID/CDVInstanceIDLogger.h"
#include "InstanceID/CDVInstanceIDStringEncoding.h"
#include "InstanceID/CDVInstanceIDUtilities.h"
#include "security/CommonDigest.h"

platform::Bytes CDVInstanceIDSHA1(const platform::Bytes& data) {
  platform::Bytes digest(CC_SHA1_DIGEST_LENGTH);
  CC_SHA1(data.data(), data.size(), digest.data());
  return digest;
}

std::string CDVInstanceIDWebSafeBase64(const platform::Bytes& data) {
  static const std::shared_ptr<CDVInstanceIDStringEncoding>& encoding = *new std::shared_ptr<CDVInstanceIDStringEncoding>([] {
    auto websafe = CDVInstanceIDStringEncoding::rfc4648Base64WebsafeStringEncoding();
    websafe->setDoPad(false);
    return websafe;
  }());
  return encoding->encode(data).value_or(std::string());
}

std::optional<std::string> CDVInstanceIDAppIdentity(const CDVInstanceIDKeyPair& keyPair) {
  if (!keyPair.publicKey()) {
    CDVInstanceIDLoggerError(9002, "Unable to create a valid asymmetric crypto key");
    return std::nullopt;
  }
  platform::Bytes digest = CDVInstanceIDSHA1(keyPair.publicKeyData());
  digest[0] = static_cast<std::uint8_t>(0x70 | (digest[0] & 0x0F));
  digest.resize(8);
  return CDVInstanceIDWebSafeBase64(digest);
}

std::string CDVInstanceIDPublicTagWithSubtype(const std::string&) {
  static const std::string* tag = new std::string("com.ombrix.iid.keypair.public-" + CDVInstanceIDAppIdentifier());
  return *tag;
}

std::string CDVInstanceIDPrivateTagWithSubtype(const std::string&) {
  static const std::string* tag = new std::string("com.ombrix.iid.keypair.private-" + CDVInstanceIDAppIdentifier());
  return *tag;
}

std::string CDVInstanceIDLegacyPublicTagWithSubtype(const std::string& subtype) {
  return "com.ombrix.iid-" + subtype + "|P|";
}

std::string CDVInstanceIDLegacyPrivateTagWithSubtype(const std::string& subtype) {
  return "com.ombrix.iid-" + subtype + "|K|";
}

std::string CDVInstanceIDCreationTimeKeyWithSubtype(const std::string& subtype) { return subtype + "|S|" + "cre"; }

platform::Dictionary CDVInstanceIDKeyPairQuery(const std::string& tag, bool addReturnType, bool returnData) {
  platform::Dictionary query{
      {kSecClass, kSecClassKey}, {kSecAttrApplicationTag, CDVInstanceIDUTF8Bytes(tag)}, {kSecAttrKeyType, kSecAttrKeyTypeRSA}};
  if (addReturnType) query.set(returnData ? kSecReturnData : kSecReturnRef, true);
  return query;
}

std::optional<platform::Bytes> CDVInstanceIDKeyDataWithTag(const std::string& tag, OSStatus* status) {
  if (tag.empty()) return std::nullopt;
  platform::Value item =
      CDVInstanceIDKeychain::sharedInstance()->itemWithQuery(CDVInstanceIDKeyPairQuery(tag, true, true), status);
  if (const platform::Bytes* data = item.dataPtr()) return *data;
  return std::nullopt;
}

SecKeyRef CDVInstanceIDCachedKeyRefWithTag(const std::string& tag, OSStatus* status) {
  if (tag.empty()) return nullptr;
  return SecKeyFromValue(
      CDVInstanceIDKeychain::sharedInstance()->itemWithQuery(CDVInstanceIDKeyPairQuery(tag, true, false), status));
}

bool CDVInstanceIDHasMigratedKeyPair(const std::string& legacyPublicKeyTag, const std::string& newPublicKeyTag) {
  std::optional<platform::Bytes> oldData = CDVInstanceIDKeyDataWithTag(legacyPublicKeyTag);
  std::optional<platform::Bytes> newData = CDVInstanceIDKeyDataWithTag(newPublicKeyTag);
  return oldData && newData && *oldData == *newData;
}

std::shared_ptr<CDVInstanceIDKeyPair> CDVInstanceIDKeychain::generateKeyPairWithPrivateTag(const std::string& privateTag,
                                                                                          const std::string& publicTag) {
  platform::Dictionary privateAttributes{{kSecAttrIsPermanent, true},
                                         {kSecAttrApplicationTag, CDVInstanceIDUTF8Bytes(privateTag)},
                                         {kSecAttrLabel, kCDVInstanceIDKeyPairPrivateKeyLabel},
                                         {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}};
  platform::Dictionary publicAttributes{{kSecAttrIsPermanent, true},
                                        {kSecAttrApplicationTag, CDVInstanceIDUTF8Bytes(publicTag)},
                                        {kSecAttrLabel, kCDVInstanceIDKeyPairPublicKeyLabel},
                                        {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}};
  platform::Dictionary parameters{{kSecAttrKeyType, kSecAttrKeyTypeRSA},
                                  {kSecAttrKeySizeInBits, 2048},
                                  {kSecAttrLabel, kCDVInstanceIDKeyPairLabel},
                                  {kSecPrivateKeyAttrs, privateAttributes},
                                  {kSecPublicKeyAttrs, publicAttributes}};
  SecKeyRef publicKey;
  SecKeyRef privateKey;
  OSStatus status = errSecSuccess;
  queue_->sync([&] {
    // Keys left under these tags (a pair whose creation time was lost) would be found by the tag
    // lookups in place of the new pair, so the new pair's data would not match its keys.
    SecItemDelete(CDVInstanceIDKeyPairQuery(publicTag, false, false));
    SecItemDelete(CDVInstanceIDKeyPairQuery(privateTag, false, false));
    status = SecKeyGeneratePair(parameters, &publicKey, &privateKey);
  });
  if (status != errSecSuccess || !publicKey || !privateKey) {
    CDVInstanceIDLoggerWarning(23003, "Couldn't create keypair from Keychain OSStatus: %d", status);
  }
  platform::Bytes publicData = CDVInstanceIDKeyDataWithTag(publicTag).value_or(platform::Bytes());
  platform::Bytes privateData = CDVInstanceIDKeyDataWithTag(privateTag).value_or(platform::Bytes());
  return std::make_shared<CDVInstanceIDKeyPair>(std::move(privateKey), std::move(publicKey), std::move(publicData),
                                                std::move(privateData));
}
