#include "security/SecKey.h"

#include <nettle/md5.h>
#include <nettle/sha1.h>
#include <openssl/evp.h>
#include <openssl/rsa.h>
#include <openssl/x509.h>
#include <sys/random.h>

#include <cerrno>

#include "SecItemInternal.h"
#include "security/CommonDigest.h"
#include "security/OpenSSLGate.h"

using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

// PKCS #1 DER of a key: RSAPublicKey or RSAPrivateKey.
std::optional<Bytes> exportKey(EVP_PKEY* key, bool isPrivate) {
  unsigned char* buffer = nullptr;
  int length = isPrivate ? i2d_PrivateKey(key, &buffer) : i2d_PublicKey(key, &buffer);
  if (length <= 0 || buffer == nullptr) return std::nullopt;
  Bytes bytes(buffer, buffer + length);
  OPENSSL_free(buffer);
  return bytes;
}

struct KeyAttributes {
  bool permanent = false;
  Dictionary itemAttributes;  // tag, label, accessibility
};

// Reads one of the per-key attribute dictionaries; false when malformed.
bool readKeyAttributes(const Value& value, KeyAttributes& out) {
  if (value.isNull()) return true;
  const Dictionary* attributes = value.dictionaryPtr();
  if (attributes == nullptr) return false;
  for (const auto& [key, item] : *attributes) {
    if (key == kSecAttrIsPermanent) {
      if (!item.isNumber()) return false;
      out.permanent = item.boolValue().value_or(false);
    } else if (key == kSecAttrApplicationTag) {
      if (!item.isData()) return false;
      out.itemAttributes.set(key, item);
    } else if (key == kSecAttrLabel) {
      if (!item.isString()) return false;
      out.itemAttributes.set(key, item);
    } else if (key == kSecAttrAccessible) {
      if (!item.isString()) return false;
      out.itemAttributes.set(key, item);
    } else {
      return false;
    }
  }
  return true;
}

Dictionary keyItem(const SecKey& key, const KeyAttributes& attributes, const Value& pairLabel) {
  Dictionary item{{kSecClass, kSecClassKey}};
  if (pairLabel.isString()) item.set(kSecAttrLabel, pairLabel);
  for (const auto& [name, value] : attributes.itemAttributes) item.set(name, value);
  if (!item.contains(kSecAttrAccessible)) item.set(kSecAttrAccessible, kSecAttrAccessibleWhenUnlocked);
  item.set(kSecAttrKeyClass, key.keyClass());
  item.set(kSecAttrKeyType, key.keyType());
  item.set(kSecAttrKeySizeInBits, static_cast<std::int64_t>(key.sizeInBits()));
  item.set(kSecAttrApplicationLabel, key.applicationLabel());
  item.set(kSecValueData, key.externalRepresentation());
  return item;
}

}  // namespace

Value SecKeyValue(const SecKeyRef& key) { return Value::object(key); }

SecKeyRef SecKeyFromValue(const Value& value) { return value.objectAs<SecKey>(); }

OSStatus SecKeyGeneratePair(const Dictionary& parameters, SecKeyRef* publicKey, SecKeyRef* privateKey) {
  if (security_internal::entitlementMissing()) return errSecMissingEntitlement;
  if (parameters.get(kSecAttrKeyType) != Value(kSecAttrKeyTypeRSA)) return errSecParam;
  std::optional<std::int64_t> bits = parameters.get(kSecAttrKeySizeInBits).int64Value();
  if (!bits || *bits < 1024 || *bits > 4096 || *bits % 8 != 0) return errSecParam;
  const Value& pairLabel = parameters.get(kSecAttrLabel);
  if (!pairLabel.isNull() && !pairLabel.isString()) return errSecParam;
  KeyAttributes privateAttributes;
  KeyAttributes publicAttributes;
  if (!readKeyAttributes(parameters.get(kSecPrivateKeyAttrs), privateAttributes) ||
      !readKeyAttributes(parameters.get(kSecPublicKeyAttrs), publicAttributes)) {
    return errSecParam;
  }
  for (const auto& [key, value] : parameters) {
    if (key != kSecAttrKeyType && key != kSecAttrKeySizeInBits && key != kSecAttrLabel && key != kSecPrivateKeyAttrs &&
        key != kSecPublicKeyAttrs) {
      return errSecParam;
    }
  }

  std::optional<Bytes> publicBytes;
  std::optional<Bytes> privateBytes;
  {
    platform::security::OpenSSLUse use;
    if (!use.allowed()) return errSecNotAvailable;
    platform::security::OpenSSLCalls calls;
    std::unique_ptr<EVP_PKEY, void (*)(EVP_PKEY*)> pkey(EVP_RSA_gen(static_cast<unsigned int>(*bits)), EVP_PKEY_free);
    if (pkey == nullptr) return errSecParam;
    publicBytes = exportKey(pkey.get(), false);
    privateBytes = exportKey(pkey.get(), true);
  }
  if (!publicBytes || !privateBytes) return errSecParam;

  Bytes label(CC_SHA1_DIGEST_LENGTH);
  CC_SHA1(publicBytes->data(), publicBytes->size(), label.data());
  const int size = static_cast<int>(*bits);
  auto newPublic = std::make_shared<SecKey>(kSecAttrKeyClassPublic, kSecAttrKeyTypeRSA, size, *publicBytes, label);
  auto newPrivate = std::make_shared<SecKey>(kSecAttrKeyClassPrivate, kSecAttrKeyTypeRSA, size, *privateBytes, label);

  std::vector<Dictionary> items;
  if (publicAttributes.permanent) items.push_back(keyItem(*newPublic, publicAttributes, pairLabel));
  if (privateAttributes.permanent) items.push_back(keyItem(*newPrivate, privateAttributes, pairLabel));
  if (!items.empty()) {
    if (OSStatus status = security_internal::addItems(items); status != errSecSuccess) return status;
  }
  if (publicKey != nullptr) *publicKey = std::move(newPublic);
  if (privateKey != nullptr) *privateKey = std::move(newPrivate);
  return errSecSuccess;
}

int SecRandomCopyBytes(const void*, std::size_t count, void* bytes) {
  if (count == 0) return 0;
  if (bytes == nullptr || count > static_cast<std::size_t>(INT32_MAX)) return -1;
  auto* out = static_cast<unsigned char*>(bytes);
  // The kernel's generator: no state in the process that could be torn down before a caller.
  for (std::size_t filled = 0; filled < count;) {
    const ssize_t got = getrandom(out + filled, count - filled, 0);
    if (got < 0 && errno != EINTR) return -1;
    if (got > 0) filled += static_cast<std::size_t>(got);
  }
  return 0;
}

unsigned char* CC_SHA1(const void* data, std::size_t length, unsigned char* md) {
  sha1_ctx context;
  sha1_init(&context);
  sha1_update(&context, length, static_cast<const uint8_t*>(data));
  sha1_digest(&context, SHA1_DIGEST_SIZE, md);
  return md;
}

unsigned char* CC_MD5(const void* data, std::size_t length, unsigned char* md) {
  md5_ctx context;
  md5_init(&context);
  md5_update(&context, length, static_cast<const uint8_t*>(data));
  md5_digest(&context, MD5_DIGEST_SIZE, md);
  return md;
}
