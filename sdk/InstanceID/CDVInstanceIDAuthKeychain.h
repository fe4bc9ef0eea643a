// Generic-password keychain items addressed by service and account, read through an in-memory
// cache. Every item carries the object's identifier as its generic attribute.
//
// The cache maps (service, account) to the list of item data; a present list, even an empty
// one, answers reads without asking the keychain. Writes and removals change the cache at once,
// before the keychain work runs, so a read right after a write sees the new value. "*" as service
// or account means any; wildcard reads are never cached and wildcard writes are refused.
// All members may be called from any thread; handlers run on the main queue.
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "InstanceID/CDVInstanceIDKeychain.h"

inline constexpr const char* kCDVInstanceIDKeychainWildcardIdentifier = "*";
// The status of a refused wildcard write.
inline constexpr std::int64_t kCDVInstanceIDKeychainWildcardWriteError = -1301;

class CDVInstanceIDAuthKeychain {
 public:
  using Handler = CDVInstanceIDKeychain::Handler;

  explicit CDVInstanceIDAuthKeychain(std::string identifier);

  // Generic password items; generic, account and service each only when non-empty and not "*".
  static platform::Dictionary keychainQueryForService(const std::string& service, const std::string& account,
                                                      const std::string& generic);
  platform::Dictionary keychainQueryForService(const std::string& service, const std::string& account) const;

  std::vector<platform::Bytes> itemsMatchingService(const std::string& service, const std::string& account);
  // The first item's data, or nothing.
  std::optional<platform::Bytes> dataForService(const std::string& service, const std::string& account);
  // Replaces the item (remove, then add unless `data` is empty, as one keychain step). No
  // accessibility means always-this-device-only.
  void setData(const platform::Bytes& data, const std::string& service, const std::optional<std::string>& accessibility,
               const std::string& account, Handler handler);
  void removeItemsMatchingService(const std::string& service, const std::string& account, Handler handler);

  const std::string& generic() const { return generic_; }

 private:
  static bool isWildcard(const std::string& text) { return text == kCDVInstanceIDKeychainWildcardIdentifier; }
  // Cache update of a removal; the caller holds the lock.
  void forgetLocked(const std::string& service, const std::string& account);

  const std::string generic_;
  std::mutex mutex_;
  std::map<std::string, std::map<std::string, std::vector<platform::Bytes>>> cachedKeychainData_;
  // Grows with every write or removal: a read that met a change while it asked the keychain
  // answers what it read but does not cache it.
  std::uint64_t changeCount_ = 0;
};
