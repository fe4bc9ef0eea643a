#include <gtest/gtest.h>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <pthread.h>
#include <time.h>

#include <atomic>
#include <cstdlib>
#include <thread>

#include "Bounds.h"
#include "ForkedChild.h"
#include "foundation/Sandbox.h"
#include "security/CommonDigest.h"
#include "security/OpenSSLGate.h"
#include "security/SecKey.h"

using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

Bytes tag(const std::string& text) { return Bytes(text.begin(), text.end()); }

Dictionary pairParameters(const std::string& privateTag, const std::string& publicTag, bool permanent = true) {
  return Dictionary{{kSecAttrKeyType, kSecAttrKeyTypeRSA},
                    {kSecAttrKeySizeInBits, 2048},
                    {kSecPrivateKeyAttrs, Dictionary{{kSecAttrIsPermanent, permanent}, {kSecAttrApplicationTag, tag(privateTag)}}},
                    {kSecPublicKeyAttrs, Dictionary{{kSecAttrIsPermanent, permanent}, {kSecAttrApplicationTag, tag(publicTag)}}}};
}

Dictionary keyQuery(const std::string& applicationTag, std::initializer_list<Dictionary::Entry> extra = {}) {
  Dictionary query{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag(applicationTag)}, {kSecAttrKeyType, kSecAttrKeyTypeRSA}};
  for (const auto& [key, value] : extra) query.set(key, value);
  return query;
}

}  // namespace

TEST(SecKey, GeneratedPairIsStoredByTagAndReadBackAsDataOrReference) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  SecKeyRef publicKey;
  SecKeyRef privateKey;
  ASSERT_EQ(SecKeyGeneratePair(pairParameters("priv", "pub"), &publicKey, &privateKey), errSecSuccess);
  ASSERT_TRUE(publicKey && privateKey);
  EXPECT_EQ(publicKey->keyClass(), kSecAttrKeyClassPublic);
  EXPECT_EQ(privateKey->sizeInBits(), 2048);
  EXPECT_EQ(publicKey->applicationLabel(), privateKey->applicationLabel());

  // The public bytes are a PKCS #1 RSAPublicKey of 2048 bits.
  const unsigned char* cursor = publicKey->externalRepresentation().data();
  EVP_PKEY* parsed = d2i_PublicKey(EVP_PKEY_RSA, nullptr, &cursor, static_cast<long>(publicKey->externalRepresentation().size()));
  ASSERT_NE(parsed, nullptr);
  EXPECT_EQ(EVP_PKEY_get_bits(parsed), 2048);
  EVP_PKEY_free(parsed);

  Value data;
  ASSERT_EQ(SecItemCopyMatching(keyQuery("pub", {{kSecReturnData, true}}), &data), errSecSuccess);
  EXPECT_EQ(data, Value(publicKey->externalRepresentation()));
  Value reference;
  ASSERT_EQ(SecItemCopyMatching(keyQuery("priv", {{kSecReturnRef, true}}), &reference), errSecSuccess);
  ASSERT_TRUE(SecKeyFromValue(reference));
  EXPECT_EQ(SecKeyFromValue(reference)->externalRepresentation(), privateKey->externalRepresentation());
  EXPECT_EQ(SecItemCopyMatching(keyQuery("other", {{kSecReturnRef, true}}), nullptr), errSecItemNotFound);

  // A key added again from its reference under another tag is a second item; under the same
  // tag it is a duplicate.
  EXPECT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag("copy")},
                                  {kSecValueRef, SecKeyValue(publicKey)}},
                       nullptr),
            errSecSuccess);
  EXPECT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassKey}, {kSecAttrApplicationTag, tag("copy")},
                                  {kSecValueRef, SecKeyValue(publicKey)}},
                       nullptr),
            errSecDuplicateItem);
  ASSERT_EQ(SecItemCopyMatching(keyQuery("copy", {{kSecReturnData, true}}), &data), errSecSuccess);
  EXPECT_EQ(data, Value(publicKey->externalRepresentation()));

  // Generic passwords have no references; key items are deleted by tag.
  EXPECT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecReturnRef, true}}, nullptr),
            errSecParam);
  EXPECT_EQ(SecItemDelete(keyQuery("pub")), errSecSuccess);
  EXPECT_EQ(SecItemCopyMatching(keyQuery("pub"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemCopyMatching(keyQuery("priv"), nullptr), errSecSuccess);
}

TEST(SecKey, GenerationRefusalsAndTransientKeys) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  SecKeyRef publicKey;
  Dictionary badSize = pairParameters("a", "b");
  badSize.set(kSecAttrKeySizeInBits, 100);
  EXPECT_EQ(SecKeyGeneratePair(badSize, &publicKey, nullptr), errSecParam);
  Dictionary badType = pairParameters("a", "b");
  badType.set(kSecAttrKeyType, "ec");
  EXPECT_EQ(SecKeyGeneratePair(badType, &publicKey, nullptr), errSecParam);
  EXPECT_FALSE(publicKey);
  {
    SecScopedMissingEntitlement missing;
    EXPECT_EQ(SecKeyGeneratePair(pairParameters("a", "b"), &publicKey, nullptr), errSecMissingEntitlement);
  }
  // Keys not marked permanent are made but not stored.
  ASSERT_EQ(SecKeyGeneratePair(pairParameters("a", "b", false), &publicKey, nullptr), errSecSuccess);
  EXPECT_TRUE(publicKey);
  EXPECT_EQ(SecItemCopyMatching(keyQuery("b"), nullptr), errSecItemNotFound);
}

namespace {

// Digests of "abc" and two draws of random bytes; true when all are as they must be.
bool digestsAndRandomBytesWork() {
  unsigned char sha1[CC_SHA1_DIGEST_LENGTH] = {};
  CC_SHA1("abc", 3, sha1);
  const Bytes expectedSHA1 = {0xa9, 0x99, 0x3e, 0x36, 0x47, 0x06, 0x81, 0x6a, 0xba, 0x3e,
                              0x25, 0x71, 0x78, 0x50, 0xc2, 0x6c, 0x9c, 0xd0, 0xd8, 0x9d};
  unsigned char md5[CC_MD5_DIGEST_LENGTH] = {};
  CC_MD5("abc", 3, md5);
  const Bytes expectedMD5 = {0x90, 0x01, 0x50, 0x98, 0x3c, 0xd2, 0x4f, 0xb0,
                             0xd6, 0x96, 0x3f, 0x7d, 0x28, 0xe1, 0x7f, 0x72};
  Bytes first(1000);
  Bytes second(1000);
  return Bytes(sha1, sha1 + 20) == expectedSHA1 && Bytes(md5, md5 + 16) == expectedMD5 &&
         SecRandomCopyBytes(kSecRandomDefault, first.size(), first.data()) == 0 &&
         SecRandomCopyBytes(kSecRandomDefault, second.size(), second.data()) == 0 && first != second;
}

}  // namespace

TEST(SecKey, DigestAndRandomBytes) {
  EXPECT_TRUE(digestsAndRandomBytesWork());
  EXPECT_EQ(SecRandomCopyBytes(kSecRandomDefault, 4, nullptr), -1);
  EXPECT_EQ(SecRandomCopyBytes(kSecRandomDefault, 0, nullptr), 0);
}

// Each case ends OpenSSL's use in a process of its own.
TEST(SecKeyDeathTest, DigestsAndRandomBytesOutliveOpenSSL) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        OPENSSL_cleanup();  // what OpenSSL's own exit handler does when a host set it up first
        std::_Exit(digestsAndRandomBytesWork() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

TEST(SecKeyDeathTest, NoKeyIsMadeOnceTheProcessHasBegunToEnd) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        platform::security::OpenSSLGate::process().close();  // what the exit handler does
        SecKeyRef publicKey;
        const OSStatus status = SecKeyGeneratePair(pairParameters("a", "b", false), &publicKey, nullptr);
        std::_Exit(status == errSecNotAvailable && !publicKey && digestsAndRandomBytesWork() ? 0 : 1);
      },
      ::testing::ExitedWithCode(0), "");
}

namespace {

// A thread making a transient 4096-bit pair.
struct KeyMaker {
  std::atomic<bool> done{false};
  OSStatus status = errSecParam;
  SecKeyRef publicKey;
  SecKeyRef privateKey;
  std::thread thread{[this] {
    Dictionary parameters = pairParameters("fork-private", "fork-public", false);
    parameters.set(kSecAttrKeySizeInBits, 4096);
    status = SecKeyGeneratePair(parameters, &publicKey, &privateKey);
    done = true;
  }};

  // Whether the maker is well inside the generation: checking the parameters takes far less
  // processor time than this.
  bool generating() {
    clockid_t clock;
    timespec used{};
    if (pthread_getcpuclockid(thread.native_handle(), &clock) != 0 || clock_gettime(clock, &used) != 0) return false;
    return used.tv_sec > 0 || used.tv_nsec > 20'000'000;
  }
};

}  // namespace

// The fork waits for the key being made (OpenSSL's locks are then free), and the child ends at
// once after it; the key is made as before.
TEST(SecKeyFork, AForkWhileAKeyIsMadeWaitsForItAndTheChildEndsAtOnce) {
  constexpr int kForks = 3;
  for (int forks = 0; forks < kForks; ++forks) {
    KeyMaker maker;
    while (!maker.done && !maker.generating()) std::this_thread::yield();
    const testsupport::ChildEnd end = testsupport::runInChild([] { std::exit(0); }, testsupport::kChildLife);
    EXPECT_TRUE(end.exitedWith(0)) << "fork " << forks << ": status " << end.status << " after " << end.took.count() << " ms";
    maker.thread.join();
    ASSERT_EQ(maker.status, errSecSuccess);
    ASSERT_TRUE(maker.publicKey && maker.privateKey);
    EXPECT_EQ(maker.privateKey->sizeInBits(), 4096);
    EXPECT_EQ(maker.publicKey->applicationLabel(), maker.privateKey->applicationLabel());
  }
}
