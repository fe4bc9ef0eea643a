#include "InstanceID/CDVInstanceIDAuthKeychain.h"

#include "InstanceID/CDVInstanceIDError.h"

CDVInstanceIDAuthKeychain::CDVInstanceIDAuthKeychain(std::string identifier) : generic_(std::move(identifier)) {}

platform::Dictionary CDVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                        const std::string& account,
                                                                        const std::string& generic) {
  platform::Dictionary query{{kSecClass, kSecClassGenericPassword}};
  if (!generic.empty() && !isWildcard(generic)) query.set(kSecAttrGeneric, generic);
  if (!account.empty() && !isWildcard(account)) query.set(kSecAttrAccount, account);
  if (!service.empty() && !isWildcard(service)) query.set(kSecAttrService, service);
  return query;
}

platform::Dictionary CDVInstanceIDAuthKeychain::keychainQueryForService(const std::string& service,
                                                                        const std::string& account) const {
  return keychainQueryForService(service, account, generic_);
}

std::vector<platform::Bytes> CDVInstanceIDAuthKeychain::itemsMatchingService(const std::string& service,
                                                                             const std::string& account) {
  const bool wildcard = isWildcard(service) || isWildcard(account);
  std::uint64_t changeCount;
  {
    std::lock_guard lock(mutex_);
    if (!wildcard) {
      auto byService = cachedKeychainData_.find(service);
      if (byService != cachedKeychainData_.end()) {
        auto byAccount = byService->second.find(account);
        if (byAccount != byService->second.end()) return byAccount->second;
      }
    }
    changeCount = changeCount_;
  }

  platform::Dictionary query = keychainQueryForService(service, account);
  query.set(kSecReturnData, true);
  query.set(kSecReturnAttributes, true);
  query.set(kSecMatchLimit, kSecMatchLimitAll);
  platform::Value result = CDVInstanceIDKeychain::sharedInstance()->itemWithQuery(query);

  std::vector<platform::Bytes> items;
  if (const platform::Array* found = result.arrayPtr()) {
    for (const platform::Value& item : *found) {
      const platform::Bytes* data = item[kSecValueData].dataPtr();
      if (data != nullptr) items.push_back(*data);
    }
  }
  if (!wildcard) {
    std::lock_guard lock(mutex_);
    if (changeCount == changeCount_) cachedKeychainData_[service][account] = items;
  }
  return items;
}

std::optional<platform::Bytes> CDVInstanceIDAuthKeychain::dataForService(const std::string& service,
                                                                        const std::string& account) {
  std::vector<platform::Bytes> items = itemsMatchingService(service, account);
  if (items.empty()) return std::nullopt;
  return items.front();
}

void CDVInstanceIDAuthKeychain::forgetLocked(const std::string& service, const std::string& account) {
  ++changeCount_;
  if (isWildcard(service)) {
    cachedKeychainData_.clear();
  } else if (isWildcard(account)) {
    auto byService = cachedKeychainData_.find(service);
    if (byService != cachedKeychainData_.end()) byService->second.clear();
  } else {
    cachedKeychainData_[service][account] = {};
  }
}

void CDVInstanceIDAuthKeychain::setData(const platform::Bytes& data, const std::string& service,
                                        const std::optional<std::string>& accessibility, const std::string& account,
                                        Handler handler) {
  if (isWildcard(service) || isWildcard(account)) {
    if (handler) {
      platform::Error error(kCDVInstanceIDKeychainErrorDomain, kCDVInstanceIDKeychainWildcardWriteError,
                            "Wildcard service or account cannot be written");
      platform::Queue::main()->async([handler = std::move(handler), error] { handler(error); });
    }
    return;
  }
  const platform::Dictionary query = keychainQueryForService(service, account);
  std::optional<platform::Dictionary> addQuery;
  if (!data.empty()) {
    addQuery = query;
    addQuery->set(kSecValueData, data);
    addQuery->set(kSecAttrAccessible, accessibility.value_or(kSecAttrAccessibleAlwaysThisDeviceOnly));
  }
  {
    std::lock_guard lock(mutex_);
    forgetLocked(service, account);
    if (!data.empty()) cachedKeychainData_[service][account] = {data};
  }
  CDVInstanceIDKeychain::sharedInstance()->replaceItemWithQuery(query, std::move(addQuery), std::move(handler));
}

void CDVInstanceIDAuthKeychain::removeItemsMatchingService(const std::string& service, const std::string& account,
                                                           Handler handler) {
  {
    std::lock_guard lock(mutex_);
    forgetLocked(service, account);
  }
  CDVInstanceIDKeychain::sharedInstance()->removeItemWithQuery(keychainQueryForService(service, account),
                                                               std::move(handler));
}
