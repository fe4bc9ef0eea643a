#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "Bounds.h"
#include "foundation/Files.h"
#include "foundation/Sandbox.h"
#include "security/SecItem.h"

using platform::Bytes;
using platform::Dictionary;
using platform::Value;

namespace {

Bytes bytes(const std::string& text) { return Bytes(text.begin(), text.end()); }

Dictionary password(const std::string& service, const std::string& account) {
  return Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, service}, {kSecAttrAccount, account}};
}

Dictionary with(Dictionary base, std::initializer_list<Dictionary::Entry> extra) {
  for (const auto& [key, value] : extra) base.set(key, value);
  return base;
}

}  // namespace

TEST(SecItem, GenericPasswordAddFindUpdateDelete) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  ASSERT_EQ(SecItemAdd(with(password("app", "a"), {{kSecValueData, bytes("one")}}), nullptr), errSecSuccess);
  EXPECT_EQ(SecItemAdd(with(password("app", "a"), {{kSecValueData, bytes("two")}}), nullptr), errSecDuplicateItem);
  ASSERT_EQ(SecItemAdd(with(password("app", "b"), {{kSecValueData, bytes("bee")},
                                                   {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}}),
                       nullptr),
            errSecSuccess);

  Value result;
  ASSERT_EQ(SecItemCopyMatching(with(password("app", "a"), {{kSecReturnData, true}}), &result), errSecSuccess);
  EXPECT_EQ(result, Value(bytes("one")));

  // All items of the service, with attributes and data, in the order they were added.
  result = Value();
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword},
                                           {kSecAttrService, "app"},
                                           {kSecMatchLimit, kSecMatchLimitAll},
                                           {kSecReturnData, true},
                                           {kSecReturnAttributes, true}},
                                &result),
            errSecSuccess);
  ASSERT_EQ(result.size(), 2u);
  EXPECT_EQ(result.at(0)[kSecAttrAccount], Value("a"));
  EXPECT_EQ(result.at(0)[kSecAttrAccessible], Value(kSecAttrAccessibleWhenUnlocked));  // the default
  EXPECT_EQ(result.at(1)[kSecValueData], Value(bytes("bee")));
  EXPECT_EQ(result.at(1)[kSecAttrAccessible], Value(kSecAttrAccessibleAlwaysThisDeviceOnly));

  // Without a return flag a search only reports whether something matched.
  result = Value();
  EXPECT_EQ(SecItemCopyMatching(password("app", "a"), &result), errSecSuccess);
  EXPECT_TRUE(result.isNull());

  EXPECT_EQ(SecItemUpdate(password("app", "a"), Dictionary{{kSecValueData, bytes("uno")}}), errSecSuccess);
  ASSERT_EQ(SecItemCopyMatching(with(password("app", "a"), {{kSecReturnData, true}}), &result), errSecSuccess);
  EXPECT_EQ(result, Value(bytes("uno")));
  EXPECT_EQ(SecItemUpdate(password("app", "zz"), Dictionary{{kSecValueData, bytes("x")}}), errSecItemNotFound);

  // Renaming "a" onto "b" would make two equal items: refused, nothing changed.
  EXPECT_EQ(SecItemUpdate(password("app", "a"), Dictionary{{kSecAttrAccount, "b"}}), errSecDuplicateItem);
  EXPECT_EQ(SecItemCopyMatching(password("app", "a"), nullptr), errSecSuccess);

  EXPECT_EQ(SecItemDelete(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecAttrService, "app"},
                                     {kSecReturnData, true}}),
            errSecSuccess);  // every match, return flags ignored
  EXPECT_EQ(SecItemCopyMatching(password("app", "b"), nullptr), errSecItemNotFound);
  EXPECT_EQ(SecItemDelete(password("app", "b")), errSecItemNotFound);
}

TEST(SecItem, MalformedDictionariesAreParameterErrors) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  const Dictionary item = with(password("s", "a"), {{kSecValueData, bytes("v")}});
  EXPECT_EQ(SecItemAdd(Dictionary{{kSecAttrService, "s"}}, nullptr), errSecParam);  // no class
  EXPECT_EQ(SecItemAdd(with(item, {{kSecClass, "no-such-class"}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemAdd(with(item, {{kSecValueData, "text, not data"}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemAdd(with(item, {{kSecAttrAccessible, "sometimes"}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemAdd(with(item, {{"colour", "blue"}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemAdd(with(item, {{kSecMatchLimit, kSecMatchLimitOne}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword}, {kSecMatchLimit, "7"}}, nullptr),
            errSecParam);
  EXPECT_EQ(SecItemCopyMatching(with(password("s", "a"), {{kSecReturnData, "yes"}}), nullptr), errSecParam);
  EXPECT_EQ(SecItemCopyMatching(with(item, {}), nullptr), errSecParam);  // data is no search key
  EXPECT_EQ(SecItemUpdate(password("s", "a"), Dictionary{}), errSecParam);
  EXPECT_EQ(SecItemUpdate(password("s", "a"), Dictionary{{kSecClass, kSecClassGenericPassword}}), errSecParam);
  // None of the refusals stored anything.
  EXPECT_FALSE(platform::files::exists(sandbox.deviceRoot() + "/Keychains/keychain.plist"));
}

TEST(SecItem, ItemsOutliveTheAppButNotTheDevice) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, bytes("kept")}}), nullptr), errSecSuccess);
  sandbox.wipeApp();
  Value result;
  ASSERT_EQ(SecItemCopyMatching(with(password("s", "a"), {{kSecReturnData, true}}), &result), errSecSuccess);
  EXPECT_EQ(result, Value(bytes("kept")));
  {
    platform::sandbox::ScopedTemporarySandbox otherDevice;
    EXPECT_EQ(SecItemCopyMatching(password("s", "a"), nullptr), errSecItemNotFound);
  }

  // A damaged keychain file is reported and left as it is, not replaced by an empty keychain.
  const std::string path = sandbox.deviceRoot() + "/Keychains/keychain.plist";
  ASSERT_TRUE(platform::files::writeFileAtomically(path, std::string("not a property list")));
  EXPECT_EQ(SecItemCopyMatching(password("s", "a"), nullptr), errSecIO);
  EXPECT_EQ(SecItemAdd(with(password("s", "b"), {{kSecValueData, bytes("x")}}), nullptr), errSecIO);
  EXPECT_EQ(platform::files::readFile(path), bytes("not a property list"));
}

TEST(SecItemDeathTest, AKeychainFileThatIsAFifoOrAnotherUsersIsNotReadAndSaysSo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The sandbox goes before the child ends: std::exit leaves what is on the stack.
  EXPECT_EXIT(std::exit([] {
        // A read that waits for a writer of the FIFO ends the child here.
        ::alarm(static_cast<unsigned>(testsupport::kEventWait.count()));
        platform::sandbox::ScopedTemporarySandbox sandbox;
        const std::string folder = sandbox.deviceRoot() + "/Keychains";
        const std::string path = folder + "/keychain.plist";
        if (!platform::files::createDirectories(folder) || ::mkfifo(path.c_str(), 0600) != 0) return 10;
        if (SecItemCopyMatching(password("s", "a"), nullptr) != errSecIO) return 11;
        // Another user's file, here where only root can put one, holding an item of his making.
        if (::geteuid() == 0) {
          ::unlink(path.c_str());
          if (SecItemAdd(with(password("s", "a"), {{kSecValueData, bytes("his")}}), nullptr) != errSecSuccess ||
              ::chown(path.c_str(), 65534, 65534) != 0) {
            return 12;
          }
          if (SecItemCopyMatching(password("s", "a"), nullptr) != errSecIO) return 13;
        }
        return 0;
      }()),
      ::testing::ExitedWithCode(0), "");
}

TEST(SecItem, TheKeychainFileIsTheOwnersAlone) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  const mode_t previous = ::umask(0);
  const OSStatus status = SecItemAdd(with(password("app", "a"), {{kSecValueData, bytes("secret")}}), nullptr);
  ::umask(previous);
  ASSERT_EQ(status, errSecSuccess);
  struct stat info {};
  ASSERT_EQ(::stat((sandbox.deviceRoot() + "/Keychains/keychain.plist").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  ASSERT_EQ(::stat((sandbox.deviceRoot() + "/Keychains").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);

  // The keychain's folder, left open by an earlier version, is closed.
  platform::sandbox::ScopedTemporarySandbox earlier;
  const std::string folder = earlier.deviceRoot() + "/Keychains";
  ASSERT_EQ(::mkdir(folder.c_str(), 0755), 0);
  ASSERT_EQ(::chmod(folder.c_str(), 0755), 0);
  ASSERT_EQ(SecItemAdd(with(password("app", "a"), {{kSecValueData, bytes("secret")}}), nullptr), errSecSuccess);
  ASSERT_EQ(::stat(folder.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0700u);
}

TEST(SecItem, MissingEntitlementRefusesEverything) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  ASSERT_EQ(SecItemAdd(with(password("s", "a"), {{kSecValueData, bytes("v")}}), nullptr), errSecSuccess);
  {
    SecScopedMissingEntitlement missing;
    EXPECT_EQ(SecItemAdd(with(password("s", "b"), {{kSecValueData, bytes("v")}}), nullptr), errSecMissingEntitlement);
    EXPECT_EQ(SecItemCopyMatching(password("s", "a"), nullptr), errSecMissingEntitlement);
    EXPECT_EQ(SecItemUpdate(password("s", "a"), Dictionary{{kSecValueData, bytes("w")}}), errSecMissingEntitlement);
    EXPECT_EQ(SecItemDelete(password("s", "a")), errSecMissingEntitlement);
  }
  EXPECT_EQ(SecItemCopyMatching(password("s", "a"), nullptr), errSecSuccess);
  EXPECT_EQ(SecItemCopyMatching(password("s", "b"), nullptr), errSecItemNotFound);
}

TEST(SecItem, ConcurrentWritersLoseNoItem) {
  platform::sandbox::ScopedTemporarySandbox sandbox;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([t] {
      for (int i = 0; i < 10; ++i) {
        const std::string account = std::to_string(t) + "-" + std::to_string(i);
        EXPECT_EQ(SecItemAdd(with(password("s", account), {{kSecValueData, bytes(account)}}), nullptr), errSecSuccess);
        EXPECT_EQ(SecItemUpdate(password("s", account), Dictionary{{kSecAttrLabel, "seen"}}), errSecSuccess);
      }
    });
  }
  for (auto& thread : threads) thread.join();
  Value result;
  ASSERT_EQ(SecItemCopyMatching(Dictionary{{kSecClass, kSecClassGenericPassword},
                                           {kSecAttrLabel, "seen"},
                                           {kSecMatchLimit, kSecMatchLimitAll},
                                           {kSecReturnAttributes, true}},
                                &result),
            errSecSuccess);
  EXPECT_EQ(result.size(), 40u);
}
