#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "Bounds.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDKeyPair.h"
#include "InstanceID/CDVInstanceIDKeyPairStore.h"
#include "InstanceIDTestSupport.h"
#include "security/SecKey.h"

using iidtest::bytes;
using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

const std::string kAlphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-_";

class KeyPairTest : public iidtest::InstanceIDTest {
 protected:
  void SetUp() override {
    InstanceIDTest::SetUp();
    createSubDirectory();
  }

  static void expectIdentifierShape(const std::string& identifier) {
    ASSERT_EQ(identifier.size(), 11u) << identifier;
    EXPECT_NE(std::string("cdef").find(identifier[0]), std::string::npos) << identifier;
    EXPECT_EQ(identifier.find_first_not_of(kAlphabet), std::string::npos) << identifier;
  }

  // A relaunch: a new store object on the same files and keychain.
  std::unique_ptr<CDVInstanceIDKeyPairStore> relaunch() {
    pump();
    platform::UserDefaults::resetForTesting();
    return std::make_unique<CDVInstanceIDKeyPairStore>();
  }

  static std::optional<Bytes> currentPublicKeyData() {
    return CDVInstanceIDKeyDataWithTag(CDVInstanceIDPublicTagWithSubtype(""));
  }
};

}  // namespace

TEST_F(KeyPairTest, IdentifierShapeAndStabilityAcrossLaunches) {
  for (int i = 0; i < 64; ++i) {
    CDVInstanceIDKeyPair pair(nullptr, std::make_shared<SecKey>("public", "rsa", 2048, Bytes(), Bytes()),
                              Bytes(static_cast<std::size_t>(i), static_cast<std::uint8_t>(i * 7)), Bytes());
    std::optional<std::string> identifier = CDVInstanceIDAppIdentity(pair);
    ASSERT_TRUE(identifier);
    expectIdentifierShape(*identifier);
    EXPECT_EQ(CDVInstanceIDAppIdentity(pair), identifier);
  }
  EXPECT_FALSE(CDVInstanceIDAppIdentity(CDVInstanceIDKeyPair(nullptr, nullptr, bytes("x"), Bytes())).has_value());
  EXPECT_EQ(linesWithCode(9002).size(), 1u);
  EXPECT_EQ(CDVInstanceIDPublicTagWithSubtype("ignored"), std::string("com.ombrix.iid.keypair.public-") + iidtest::kBundleID);
  EXPECT_EQ(CDVInstanceIDLegacyPrivateTagWithSubtype(""), "com.ombrix.iid-|K|");
  EXPECT_EQ(CDVInstanceIDCreationTimeKeyWithSubtype(""), "|S|cre");

  auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
  platform::Error error;
  std::optional<std::string> first = store->appIdentityWithError(&error);
  ASSERT_TRUE(first) << error.fullDescription();
  expectIdentifierShape(*first);
  EXPECT_EQ(store->plist().contentAsDictionary()->get("|S|cre"), Value(std::int64_t{1700000000}));

  store = relaunch();
  EXPECT_FALSE(store->invalidateKeyPairsIfNeeded());
  pump();
  EXPECT_TRUE(store->hasCachedKeyPairs());
  EXPECT_EQ(store->appIdentityWithError(&error), first);
}

TEST_F(KeyPairTest, TwoThreadsLoadingAFreshStoreGetOnePair) {
  CDVInstanceIDKeyPairStore store;
  std::optional<std::string> identifiers[2];
  std::thread other([&] { identifiers[1] = store.appIdentityWithError(); });
  identifiers[0] = store.appIdentityWithError();
  other.join();
  ASSERT_TRUE(identifiers[0]);
  EXPECT_EQ(identifiers[0], identifiers[1]);
  Value found;
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassKey},
                                           {kSecAttrKeyClass, kSecAttrKeyClassPublic},
                                           {kSecMatchLimit, kSecMatchLimitAll},
                                           {kSecReturnAttributes, true}},
                                &found),
            errSecSuccess);
  EXPECT_EQ(found.size(), 1u);
}

TEST_F(KeyPairTest, ReinstallInvalidatesThePairAndAPairWithoutCreationTimeIsReplaced) {
  auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
  std::optional<std::string> first = store->appIdentityWithError();
  ASSERT_TRUE(first);

  // Reinstall: the keychain keeps the pair, the property list is gone.
  pump();
  sandbox_->wipeApp();
  createSubDirectory();
  clock_->advance(60);
  store = relaunch();
  EXPECT_TRUE(store->invalidateKeyPairsIfNeeded());
  pump();
  EXPECT_FALSE(currentPublicKeyData().has_value());
  std::optional<std::string> second = store->appIdentityWithError();
  ASSERT_TRUE(second);
  EXPECT_NE(second, first);
  EXPECT_EQ(store->plist().contentAsDictionary()->get("|S|cre"), Value(std::int64_t{1700000060}));

  // The creation time lost while the pair stays in the keychain: the pair is not used.
  Bytes keptData = *currentPublicKeyData();
  ASSERT_TRUE(store->removeKeyPairCreationTimePlistWithError());
  store = relaunch();
  std::optional<std::string> third = store->appIdentityWithError();
  ASSERT_TRUE(third);
  EXPECT_NE(third, second);
  EXPECT_NE(*currentPublicKeyData(), keptData);
  EXPECT_TRUE(store->plist().contentAsDictionary()->contains("|S|cre"));
}

TEST_F(KeyPairTest, LegacyPairMovesToTheCurrentTagsOnce) {
  SecKeyRef legacyPublic;
  SecKeyRef legacyPrivate;
  auto tagged = [](const std::string& tag) {
    return Dictionary{{kSecAttrIsPermanent, true}, {kSecAttrApplicationTag, bytes(tag)}};
  };
  ASSERT_EQ(SecKeyGeneratePair(Dictionary{{kSecAttrKeyType, kSecAttrKeyTypeRSA},
                                          {kSecAttrKeySizeInBits, 2048},
                                          {kSecPrivateKeyAttrs, tagged("com.ombrix.iid-|K|")},
                                          {kSecPublicKeyAttrs, tagged("com.ombrix.iid-|P|")}},
                               &legacyPublic, &legacyPrivate),
            errSecSuccess);
  // The older version also kept the creation time (and something else, which must survive).
  auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
  ASSERT_TRUE(store->plist().writeDictionary(Dictionary{{"|S|cre", std::int64_t{1600000000}}, {"other", "kept"}}));

  EXPECT_FALSE(store->invalidateKeyPairsIfNeeded());
  pump();
  EXPECT_EQ(currentPublicKeyData(), legacyPublic->externalRepresentation());
  EXPECT_EQ(CDVInstanceIDKeyDataWithTag(CDVInstanceIDPrivateTagWithSubtype("")), legacyPrivate->externalRepresentation());
  EXPECT_EQ(CDVInstanceIDKeyDataWithTag("com.ombrix.iid-|P|"), legacyPublic->externalRepresentation());  // kept
  const std::string expected =
      *CDVInstanceIDAppIdentity(CDVInstanceIDKeyPair(legacyPrivate, legacyPublic, legacyPublic->externalRepresentation(), Bytes()));
  EXPECT_EQ(store->appIdentityWithError(), expected);

  // Already migrated: nothing changes and no error; a relaunch finds the same identity.
  store = relaunch();
  std::vector<std::optional<platform::Error>> outcomes;
  store->migrateKeyPairCacheIfNeededWithHandler([&](std::optional<platform::Error> error) { outcomes.push_back(error); });
  pump();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].has_value());
  EXPECT_FALSE(store->keyPair());  // nothing was taken over this time
  EXPECT_EQ(store->appIdentityWithError(), expected);
  EXPECT_EQ(store->plist().contentAsDictionary()->get("other"), Value("kept"));

  // Deletion removes current and legacy pairs and the creation time, keeping other entries.
  store->deleteSavedKeyPairWithSubtype("", [&](std::optional<platform::Error> error) { outcomes.push_back(error); });
  EXPECT_FALSE(store->keyPair());
  pump();
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_FALSE(outcomes[1].has_value());
  EXPECT_FALSE(currentPublicKeyData().has_value());
  EXPECT_FALSE(CDVInstanceIDKeyDataWithTag("com.ombrix.iid-|K|").has_value());
  EXPECT_EQ(store->plist().contentAsDictionary(), (Dictionary{{"other", "kept"}}));
  EXPECT_FALSE(store->hasCachedKeyPairs());
  EXPECT_FALSE(store->plist().doesFileExist());
}

TEST_F(KeyPairTest, ThreeEntitlementFailuresStopKeychainReads) {
  auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
  ASSERT_TRUE(store->loadKeyPairWithError());
  store = relaunch();
  {
    SecScopedMissingEntitlement missing;
    for (int attempt = 1; attempt <= 3; ++attempt) {
      platform::Error error;
      EXPECT_FALSE(store->loadKeyPairWithError(&error));
      EXPECT_EQ(error.code, kCDVInstanceIDSecMissingEntitlementErrorCode);
      EXPECT_EQ(store->keychainEntitlementsErrorCount(), attempt);
    }
    EXPECT_EQ(linesWithCode(10003).size(), 3u);  // generation failed each time too
    const std::size_t lookups = linesWithCode(23000).size();
    EXPECT_FALSE(store->loadKeyPairWithError());
    EXPECT_EQ(linesWithCode(10002).size(), 1u);
    EXPECT_EQ(linesWithCode(23000).size(), lookups);  // the keychain was not asked
  }
  EXPECT_FALSE(store->loadKeyPairWithError());  // for the life of the store
  EXPECT_TRUE(relaunch()->loadKeyPairWithError());
}

TEST_F(KeyPairTest, TagAndPlistFailures) {
  platform::Error error;
  const std::size_t lookups = linesWithCode(23000).size();
  EXPECT_FALSE(CDVInstanceIDKeyPairStore::keyPairForPrivateKeyTag("", "pub", &error));
  EXPECT_EQ(error.code, kCDVInstanceIDErrorCodeInvalidKeyPairTags);
  EXPECT_FALSE(CDVInstanceIDKeyPairStore::keyPairForPrivateKeyTag("priv", "", &error));
  EXPECT_EQ(linesWithCode(23000).size(), lookups);
  EXPECT_FALSE(CDVInstanceIDKeyPairStore::keyPairForPrivateKeyTag("priv", "pub", &error));
  EXPECT_EQ(error.code, kCDVInstanceIDErrorCodeMissingKeyPair);

  // The creation time cannot be written: the new key items do not stay behind.
  auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
  ASSERT_TRUE(platform::files::removeItem(createSubDirectory()));
  EXPECT_FALSE(store->loadKeyPairWithError(&error));
  EXPECT_EQ(linesWithCode(10004).size(), 1u);
  pump();
  EXPECT_FALSE(currentPublicKeyData().has_value());
  EXPECT_FALSE(CDVInstanceIDKeyDataWithTag(CDVInstanceIDPrivateTagWithSubtype("")).has_value());
}

TEST_F(KeyPairTest, AFifoInPlaceOfThePlistIsNotWaitedOnAndTheIdentityStillAnswers) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_EXIT(
      {
        // A load that waits for a writer of the FIFO ends the child here.
        ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
        auto store = std::make_unique<CDVInstanceIDKeyPairStore>();
        const std::string path =
            platform::files::join(createSubDirectory(), std::string(kCDVInstanceIDKeyPairStoreFileName) + ".plist");
        const bool made = ::mkfifo(path.c_str(), 0600) == 0;
        platform::Error error;
        const bool answered = made && store->appIdentityWithError(&error).has_value();
        pump();
        sandbox_.reset();  // this process's own, made by its SetUp: std::exit runs no TearDown
        std::exit(!made ? 10 : answered ? 0 : 11);
      },
      ::testing::ExitedWithCode(0), "");
}
