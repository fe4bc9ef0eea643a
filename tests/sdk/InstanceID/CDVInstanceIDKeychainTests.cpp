#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <future>
#include <iterator>

#include "Bounds.h"
#include "InstanceID/CDVInstanceIDAuthKeychain.h"
#include "InstanceID/CDVInstanceIDBackupExcludedPlist.h"
#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDKeychain.h"
#include "InstanceIDTestSupport.h"
#include "foundation/PropertyList.h"

using iidtest::bytes;
using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

class KeychainTest : public iidtest::InstanceIDTest {
 protected:
  // The data of the one keychain item (service, account), asked of the keychain itself.
  std::optional<Bytes> storedData(const std::string& service, const std::string& account) {
    Value result;
    Dictionary query{{kSecClass, kSecClassGenericPassword},
                     {kSecAttrService, service},
                     {kSecAttrAccount, account},
                     {kSecReturnData, true},
                     {kSecMatchLimit, kSecMatchLimitAll}};
    if (SecItemCopyMatching(query, &result) != errSecSuccess) return std::nullopt;
    EXPECT_EQ(result.size(), 1u);
    return result.at(0).dataValue();
  }

  std::vector<std::optional<platform::Error>> outcomes;
  CDVInstanceIDKeychain::Handler record() {
    return [this](std::optional<platform::Error> error) { outcomes.push_back(std::move(error)); };
  }
};

}  // namespace

TEST_F(KeychainTest, AccessQueueStatusesAndHandlers) {
  auto keychain = CDVInstanceIDKeychain::sharedInstance();
  const Dictionary item{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "s"}, {kSecAttrAccount, "a"}};

  // Removing what is not there reports no error, though it is logged.
  keychain->removeItemWithQuery(item, record());
  EXPECT_TRUE(outcomes.empty());  // queued, not run
  pump();
  ASSERT_EQ(outcomes.size(), 1u);
  EXPECT_FALSE(outcomes[0].has_value());
  EXPECT_EQ(linesWithCode(23002).size(), 1u);

  // A lookup that matches nothing answers nothing and logs the status.
  OSStatus status = 0;
  EXPECT_TRUE(keychain->itemWithQuery(item, &status).isNull());
  EXPECT_EQ(status, errSecItemNotFound);
  ASSERT_EQ(linesWithCode(23000).size(), 1u);
  EXPECT_NE(linesWithCode(23000)[0].message.find("-25300"), std::string::npos);

  // A failed addition reports the keychain status as its code; handlers run in completion order.
  Dictionary withData = item;
  withData.set(kSecValueData, bytes("v"));
  keychain->addItemWithQuery(withData, record());
  keychain->addItemWithQuery(withData, record());
  pump();
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_FALSE(outcomes[1].has_value());
  ASSERT_TRUE(outcomes[2].has_value());
  EXPECT_EQ(outcomes[2]->domain, kCDVInstanceIDKeychainErrorDomain);
  EXPECT_EQ(outcomes[2]->code, errSecDuplicateItem);
  EXPECT_EQ(linesWithCode(23001).size(), 1u);
}

TEST_F(KeychainTest, LookupFromABlockOnTheKeychainQueueRunsInline) {
  // A real serial queue: a lookup made by a block already on it must not wait for itself.
  auto keychain = std::make_shared<CDVInstanceIDKeychain>();
  std::promise<bool> found;
  keychain->queue()->async([&] {
    keychain->itemWithQuery(Dictionary{{kSecClass, kSecClassGenericPassword}});
    found.set_value(keychain->queue()->isCurrent());
  });
  auto future = found.get_future();
  ASSERT_EQ(future.wait_for(testsupport::kEventWait), std::future_status::ready);
  EXPECT_TRUE(future.get());
}

TEST_F(KeychainTest, ItemCacheAnswersFromMemoryExceptForWildcards) {
  CDVInstanceIDAuthKeychain cache("com.ombrix.iid");
  EXPECT_TRUE(cache.itemsMatchingService("svc", "acct").empty());
  EXPECT_TRUE(cache.itemsMatchingService("svc", "acct").empty());
  EXPECT_EQ(linesWithCode(23000).size(), 1u);  // the second read came from the cache

  // Items added behind the cache's back: a cached empty list still answers, wildcards ask.
  for (const char* account : {"acct", "other"}) {
    ASSERT_EQ(SecItemAdd(Dictionary{{kSecClass, kSecClassGenericPassword},
                                    {kSecAttrGeneric, "com.ombrix.iid"},
                                    {kSecAttrService, "svc"},
                                    {kSecAttrAccount, account},
                                    {kSecValueData, bytes(account)}},
                         nullptr),
              errSecSuccess);
  }
  EXPECT_TRUE(cache.itemsMatchingService("svc", "acct").empty());
  EXPECT_EQ(cache.itemsMatchingService("*", "*").size(), 2u);
  EXPECT_EQ(cache.itemsMatchingService("svc", "*").size(), 2u);
  EXPECT_TRUE(cache.itemsMatchingService("svc", "acct").empty());  // wildcard reads cached nothing

  // Another generic identifier sees none of them.
  CDVInstanceIDAuthKeychain tokens("com.ombrix.iid-tokens");
  EXPECT_TRUE(tokens.itemsMatchingService("*", "*").empty());

  // Removing with a wildcard account empties the service's cache entries: the next read asks.
  cache.removeItemsMatchingService("svc", "*", nullptr);
  EXPECT_TRUE(cache.itemsMatchingService("svc", "other").empty());  // the read waited for the removal
  EXPECT_FALSE(storedData("svc", "acct").has_value());
  EXPECT_EQ(linesWithCode(23000).size(), 3u);  // the tokens read, then this one
}

TEST_F(KeychainTest, WritesAreSeenAtOnceAndTwoQuickWritesKeepTheSecond) {
  CDVInstanceIDAuthKeychain cache("com.ombrix.iid");
  cache.setData(bytes("first"), "svc", std::nullopt, "acct", record());
  cache.setData(bytes("second"), "svc", std::nullopt, "acct", record());
  EXPECT_EQ(cache.dataForService("svc", "acct"), bytes("second"));  // before the keychain ran
  pump();
  ASSERT_EQ(outcomes.size(), 2u);
  EXPECT_FALSE(outcomes[0].has_value());
  EXPECT_FALSE(outcomes[1].has_value());
  EXPECT_EQ(storedData("svc", "acct"), bytes("second"));
  EXPECT_EQ(CDVInstanceIDAuthKeychain("com.ombrix.iid").dataForService("svc", "acct"), bytes("second"));

  Value attributes;
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword},
                                           {kSecAttrAccount, "acct"},
                                           {kSecReturnAttributes, true}},
                                &attributes),
            errSecSuccess);
  EXPECT_EQ(attributes[kSecAttrAccessible], Value(kSecAttrAccessibleAlwaysThisDeviceOnly));
  EXPECT_EQ(attributes[kSecAttrGeneric], Value("com.ombrix.iid"));

  // Empty data removes the item and caches an empty list.
  cache.setData(Bytes{}, "svc", std::nullopt, "acct", record());
  EXPECT_TRUE(cache.itemsMatchingService("svc", "acct").empty());
  pump();
  EXPECT_FALSE(storedData("svc", "acct").has_value());
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_FALSE(outcomes[2].has_value());

  // Wildcard writes are refused.
  cache.setData(bytes("x"), "*", std::nullopt, "acct", record());
  pump();
  ASSERT_EQ(outcomes.size(), 4u);
  ASSERT_TRUE(outcomes[3].has_value());
  EXPECT_EQ(outcomes[3]->code, -1301);
  EXPECT_EQ(outcomes[3]->domain, "com.ombrix.iid");
}

TEST_F(KeychainTest, BackupExcludedPlistRelocationRules) {
  const std::string documents = platform::sandbox::documentsDirectory();
  const Dictionary content{{"k", "v"}};
  auto writeIn = [&](const std::string& dir, const std::string& name, const Dictionary& dictionary) {
    ASSERT_TRUE(platform::plist::writeFile(platform::files::join(dir, name + ".plist"), Value(dictionary)));
  };

  // No Application Support subdirectory: the file lives in Documents.
  CDVInstanceIDBackupExcludedPlist early("a", kCDVInstanceIDSubDirectoryName);
  EXPECT_FALSE(early.fileInStandardDirectory());
  ASSERT_TRUE(early.writeDictionary(content));
  EXPECT_TRUE(platform::files::exists(documents + "/a.plist"));
  EXPECT_TRUE(platform::files::isExcludedFromBackup(documents + "/a.plist"));

  // With the subdirectory, a Documents file moves there.
  const std::string support = createSubDirectory();
  CDVInstanceIDBackupExcludedPlist moved("a", kCDVInstanceIDSubDirectoryName);
  EXPECT_TRUE(moved.fileInStandardDirectory());
  EXPECT_FALSE(platform::files::exists(documents + "/a.plist"));
  EXPECT_EQ(moved.contentAsDictionary(), content);

  // A file in both places: the Documents copy is used.
  writeIn(documents, "b", Dictionary{{"from", "documents"}});
  writeIn(support, "b", Dictionary{{"from", "support"}});
  CDVInstanceIDBackupExcludedPlist both("b", kCDVInstanceIDSubDirectoryName);
  EXPECT_FALSE(both.fileInStandardDirectory());
  EXPECT_EQ(both.contentAsDictionary()->get("from"), Value("documents"));

  // Only a regular file is a copy in Documents: a FIFO at its name is neither used nor moved.
  const std::string fifo = documents + "/f.plist";
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  CDVInstanceIDBackupExcludedPlist passed("f", kCDVInstanceIDSubDirectoryName);
  EXPECT_TRUE(passed.fileInStandardDirectory());
  EXPECT_FALSE(platform::files::exists(support + "/f.plist"));
  struct stat left {};
  EXPECT_TRUE(::lstat(fifo.c_str(), &left) == 0 && S_ISFIFO(left.st_mode));

  // Nor is another user's file there, alone or beside the subdirectory's: it is neither used,
  // moved nor written.
  if (::geteuid() == 0) {
    const std::string his = documents + "/g.plist";
    writeIn(documents, "g", Dictionary{{"from", "another user"}});
    ASSERT_EQ(::chown(his.c_str(), 54321, 54321), 0);
    const auto bytes = [&his] {
      std::ifstream file(his, std::ios::binary);
      return std::string(std::istreambuf_iterator<char>(file), {});
    };
    const std::string before = bytes();
    CDVInstanceIDBackupExcludedPlist alone("g", kCDVInstanceIDSubDirectoryName);
    EXPECT_TRUE(alone.fileInStandardDirectory());
    EXPECT_FALSE(platform::files::exists(support + "/g.plist"));
    writeIn(support, "g", Dictionary{{"from", "support"}});
    CDVInstanceIDBackupExcludedPlist beside("g", kCDVInstanceIDSubDirectoryName);
    EXPECT_TRUE(beside.fileInStandardDirectory());
    EXPECT_EQ(beside.contentAsDictionary()->get("from"), Value("support"));
    ASSERT_TRUE(beside.writeDictionary(content));
    struct stat still {};
    EXPECT_TRUE(::lstat(his.c_str(), &still) == 0 && still.st_uid == 54321u);
    EXPECT_EQ(bytes(), before);
  } else {
    std::printf("not root: another user's file in Documents not tried\n");
  }

  // Deleting a missing file succeeds and drops the cached content.
  CDVInstanceIDBackupExcludedPlist fresh("c", kCDVInstanceIDSubDirectoryName);
  EXPECT_TRUE(fresh.fileInStandardDirectory());
  EXPECT_FALSE(fresh.contentAsDictionary().has_value());
  ASSERT_TRUE(fresh.writeDictionary(content));
  ASSERT_TRUE(platform::files::removeItem(support + "/c.plist"));
  EXPECT_EQ(fresh.contentAsDictionary(), content);  // cached
  EXPECT_TRUE(fresh.deleteFile());
  EXPECT_FALSE(fresh.contentAsDictionary().has_value());

  // A write that cannot happen fails with an error and keeps the old cache.
  CDVInstanceIDBackupExcludedPlist blocked("d", kCDVInstanceIDSubDirectoryName);
  ASSERT_TRUE(blocked.writeDictionary(content));
  ASSERT_TRUE(platform::files::removeItem(support));
  platform::Error error;
  EXPECT_FALSE(blocked.writeDictionary(Dictionary{{"k", "w"}}, &error));
  EXPECT_FALSE(error.domain.empty());
  EXPECT_EQ(linesWithCode(6000).size(), 1u);
  EXPECT_EQ(blocked.contentAsDictionary(), content);
}

// An earlier version's file still used in Documents is written there only while no other user
// may change Documents.
TEST_F(KeychainTest, AFileKeptInDocumentsIsWrittenOnlyWhileOtherUsersCannotChangeDocuments) {
  const std::string documents = platform::sandbox::documentsDirectory();
  const std::string support = createSubDirectory();
  for (const std::string& dir : {documents, support}) {
    ASSERT_TRUE(platform::plist::writeFile(platform::files::join(dir, "e.plist"), Value(Dictionary{{"from", dir}})));
  }
  CDVInstanceIDBackupExcludedPlist kept("e", kCDVInstanceIDSubDirectoryName);
  ASSERT_FALSE(kept.fileInStandardDirectory());

  ASSERT_EQ(::chmod(documents.c_str(), 0777), 0);
  platform::Error error;
  EXPECT_FALSE(kept.writeDictionary(Dictionary{{"k", "v"}}, &error));
  EXPECT_NE(error.description.find("other users"), std::string::npos) << error.description;
  EXPECT_EQ(platform::files::directoryContents(documents), std::vector<std::string>{"e.plist"});
  EXPECT_EQ(platform::plist::readFile(documents + "/e.plist"), Value(Dictionary{{"from", documents}}));

  ASSERT_EQ(::chmod(documents.c_str(), 0700), 0);
  EXPECT_TRUE(kept.writeDictionary(Dictionary{{"k", "v"}}));
  EXPECT_EQ(platform::plist::readFile(documents + "/e.plist"), Value(Dictionary{{"k", "v"}}));
}
