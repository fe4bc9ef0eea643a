#include "measurement/engine/TLMKeychainWrapper.h"

#include "foundation/Text.h"
#include "security/SecItem.h"

namespace {

platform::Bytes utf8Bytes(const std::string& text) { return platform::Bytes(text.begin(), text.end()); }

}  // namespace

std::optional<platform::Dictionary> TLMKeychainWrapper::searchDirectoryForIdentifier(const std::string& identifier,
                                                                                     const std::string& appID) {
  if (identifier.empty() || appID.empty() || !platform::text::isValidUTF8(identifier) ||
      !platform::text::isValidUTF8(appID)) {
    return std::nullopt;
  }
  return platform::Dictionary{{kSecClass, kSecClassGenericPassword},
                              {kSecAttrService, appID},
                              {kSecAttrGeneric, utf8Bytes(identifier)},
                              {kSecAttrAccount, utf8Bytes(identifier)}};
}

std::optional<platform::Bytes> TLMKeychainWrapper::keychainDataWithIdentifier(const std::string& identifier,
                                                                              const std::string& appID) {
  std::optional<platform::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return std::nullopt;
  query->set(kSecMatchLimit, kSecMatchLimitOne);
  query->set(kSecReturnData, true);
  platform::Value result;
  if (SecItemCopyMatching(*query, &result) != errSecSuccess) return std::nullopt;
  return result.dataValue();
}

std::optional<std::string> TLMKeychainWrapper::keychainValueWithIdentifier(const std::string& identifier,
                                                                           const std::string& appID) {
  const std::optional<platform::Bytes> data = keychainDataWithIdentifier(identifier, appID);
  if (!data || data->empty()) return std::nullopt;
  std::string value(data->begin(), data->end());
  if (!platform::text::isValidUTF8(value)) return std::nullopt;
  return value;
}

bool TLMKeychainWrapper::upsertKeychainValue(const std::string& value, const std::string& identifier,
                                             const std::string& appID) {
  if (!platform::text::isValidUTF8(value)) return false;
  const std::optional<platform::Dictionary> query = searchDirectoryForIdentifier(identifier, appID);
  if (!query) return false;
  const platform::Dictionary changes{{kSecValueData, utf8Bytes(value)},
                                     {kSecAttrAccessible, kSecAttrAccessibleAlwaysThisDeviceOnly}};
  const std::optional<std::string> existing = keychainValueWithIdentifier(identifier, appID);
  if (existing && !existing->empty()) return SecItemUpdate(*query, changes) == errSecSuccess;

  platform::Dictionary item = *query;
  for (const auto& [key, change] : changes) item.set(key, change);
  OSStatus status = SecItemAdd(item, nullptr);
  // An item already there without a (readable) value: replace its value instead of failing for
  // ever on the duplicate.
  if (status == errSecDuplicateItem) status = SecItemUpdate(*query, changes);
  return status == errSecSuccess;
}

void TLMKeychainWrapper::deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID) {
  if (const std::optional<platform::Dictionary> query = searchDirectoryForIdentifier(identifier, appID)) {
    SecItemDelete(*query);
  }
}
