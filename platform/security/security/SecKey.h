// Keys of the device keychain: RSA key pairs made by the platform (OpenSSL underneath, through
// security/OpenSSLGate.h), key references, and the secure random source (the kernel's).
//
// A key reference (SecKeyRef) is an immutable key: its class (public or private), type, size,
// exported bytes and application label (the SHA-1 digest of the pair's public key bytes). The
// exported bytes are those of the platform's key export: PKCS #1 DER, RSAPublicKey for a public
// key and RSAPrivateKey for a private key. Keychain searches hand references out wrapped in a
// Value (kSecReturnRef); SecKeyFromValue unwraps them.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "foundation/Value.h"
#include "security/SecItem.h"

class SecKey {
 public:
  SecKey(std::string keyClass, std::string keyType, int sizeInBits, platform::Bytes externalRepresentation,
         platform::Bytes applicationLabel)
      : keyClass_(std::move(keyClass)),
        keyType_(std::move(keyType)),
        sizeInBits_(sizeInBits),
        externalRepresentation_(std::move(externalRepresentation)),
        applicationLabel_(std::move(applicationLabel)) {}

  const std::string& keyClass() const { return keyClass_; }
  const std::string& keyType() const { return keyType_; }
  int sizeInBits() const { return sizeInBits_; }
  const platform::Bytes& externalRepresentation() const { return externalRepresentation_; }
  const platform::Bytes& applicationLabel() const { return applicationLabel_; }

 private:
  std::string keyClass_;
  std::string keyType_;
  int sizeInBits_;
  platform::Bytes externalRepresentation_;
  platform::Bytes applicationLabel_;
};

using SecKeyRef = std::shared_ptr<SecKey>;

// Wraps a reference for a dictionary (kSecValueRef) and unwraps one (null when `value` holds none).
platform::Value SecKeyValue(const SecKeyRef& key);
SecKeyRef SecKeyFromValue(const platform::Value& value);

// Key-generation parameters: the attributes of both keys of the pair.
inline constexpr const char* kSecPrivateKeyAttrs = "private-key-attributes";
inline constexpr const char* kSecPublicKeyAttrs = "public-key-attributes";

// Makes an RSA key pair. `parameters`: kSecAttrKeyType (kSecAttrKeyTypeRSA), kSecAttrKeySizeInBits
// (1024 to 4096, a multiple of 8), optional kSecAttrLabel, and kSecPrivateKeyAttrs /
// kSecPublicKeyAttrs dictionaries with kSecAttrIsPermanent, kSecAttrApplicationTag, kSecAttrLabel
// and kSecAttrAccessible. Keys marked permanent are added to the keychain as key items (both or
// neither). errSecParam for malformed parameters, errSecDuplicateItem when an equal key item
// exists, errSecMissingEntitlement as every keychain call, errSecNotAvailable once the process has
// begun to end; the references are set only on success.
OSStatus SecKeyGeneratePair(const platform::Dictionary& parameters, SecKeyRef* publicKey, SecKeyRef* privateKey);

// Fills `count` bytes from the system's cryptographic random source; 0 on success, -1 on failure.
inline constexpr const void* kSecRandomDefault = nullptr;
int SecRandomCopyBytes(const void* random, std::size_t count, void* bytes);
