// The installation's RSA key pair, the keychain tags it is stored under, and the instance
// identifier derived from its public key.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "foundation/Error.h"
#include "foundation/Value.h"
#include "security/SecKey.h"

// The subtype in use everywhere: the empty text.
inline constexpr const char* kCDVInstanceIDKeyPairSubType = "";
inline constexpr const char* kCDVInstanceIDKeyPairLabel = "Cindervale InstanceID Key Pair";
inline constexpr const char* kCDVInstanceIDKeyPairPrivateKeyLabel = "Cindervale InstanceID Key Pair Private Key";
inline constexpr const char* kCDVInstanceIDKeyPairPublicKeyLabel = "Cindervale InstanceID Key Pair Public Key";

class CDVInstanceIDKeyPair {
 public:
  CDVInstanceIDKeyPair(SecKeyRef privateKey, SecKeyRef publicKey, platform::Bytes publicKeyData,
                       platform::Bytes privateKeyData)
      : privateKey_(std::move(privateKey)),
        publicKey_(std::move(publicKey)),
        publicKeyData_(std::move(publicKeyData)),
        privateKeyData_(std::move(privateKeyData)) {}

  // Both key references present; the data blobs do not count.
  bool isValid() const { return privateKey_ != nullptr && publicKey_ != nullptr; }
  const SecKeyRef& privateKey() const { return privateKey_; }
  const SecKeyRef& publicKey() const { return publicKey_; }
  const platform::Bytes& publicKeyData() const { return publicKeyData_; }
  const platform::Bytes& privateKeyData() const { return privateKeyData_; }
  void setPublicKeyData(platform::Bytes data) { publicKeyData_ = std::move(data); }
  void setPrivateKeyData(platform::Bytes data) { privateKeyData_ = std::move(data); }

 private:
  SecKeyRef privateKey_;
  SecKeyRef publicKey_;
  platform::Bytes publicKeyData_;
  platform::Bytes privateKeyData_;
};

// The instance identifier: 11 base64url characters, the first one of "c" to "f"; nothing (after
// an error line) for a pair without public key.
std::optional<std::string> CDVInstanceIDAppIdentity(const CDVInstanceIDKeyPair& keyPair);
// The 20-byte SHA-1 digest.
platform::Bytes CDVInstanceIDSHA1(const platform::Bytes& data);
// base64url without padding.
std::string CDVInstanceIDWebSafeBase64(const platform::Bytes& data);

// "com.ombrix.iid.keypair.public-" / ".private-" followed by the bundle identifier, built once
// per process; the subtype does not enter.
std::string CDVInstanceIDPublicTagWithSubtype(const std::string& subtype);
std::string CDVInstanceIDPrivateTagWithSubtype(const std::string& subtype);
// "com.ombrix.iid-" + subtype + "|P|" / "|K|".
std::string CDVInstanceIDLegacyPublicTagWithSubtype(const std::string& subtype);
std::string CDVInstanceIDLegacyPrivateTagWithSubtype(const std::string& subtype);
// subtype + "|S|" + "cre": the key of the pair's creation time in the key-pair property list.
std::string CDVInstanceIDCreationTimeKeyWithSubtype(const std::string& subtype);

// Key item query of a tag: class key, the tag as UTF-8 data, key type RSA; with
// `addReturnType`, kSecReturnData (`returnData`) or kSecReturnRef set to true.
platform::Dictionary CDVInstanceIDKeyPairQuery(const std::string& tag, bool addReturnType, bool returnData);
// The key bytes / reference stored under a tag, through the keychain queue. An empty tag answers
// nothing without asking the keychain. `status`, when given, receives the keychain's status.
std::optional<platform::Bytes> CDVInstanceIDKeyDataWithTag(const std::string& tag, OSStatus* status = nullptr);
SecKeyRef CDVInstanceIDCachedKeyRefWithTag(const std::string& tag, OSStatus* status = nullptr);
// Whether the key data under the two tags exist and are equal.
bool CDVInstanceIDHasMigratedKeyPair(const std::string& legacyPublicKeyTag, const std::string& newPublicKeyTag);
