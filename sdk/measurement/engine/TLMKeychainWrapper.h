// Small string values kept as generic-password keychain items of the app, addressed by an
// identifier and an app id (the app's bundle identifier): service = the app id, generic attribute
// and account = the identifier's bytes, value = the string's UTF-8 bytes, accessible always, on
// this device only. Keychain items outlive a reinstall of the app. Every operation answers
// nothing or false on failure and logs nothing. Thread-safe.
#pragma once

#include <optional>
#include <string>

#include "foundation/Value.h"

class TLMKeychainWrapper {
 public:
  // The item's search query; none when either text is empty or not UTF-8.
  static std::optional<platform::Dictionary> searchDirectoryForIdentifier(const std::string& identifier,
                                                                          const std::string& appID);
  static std::optional<platform::Bytes> keychainDataWithIdentifier(const std::string& identifier,
                                                                   const std::string& appID);
  // The stored text; none when absent, empty or not UTF-8.
  static std::optional<std::string> keychainValueWithIdentifier(const std::string& identifier,
                                                                const std::string& appID);
  // Adds the item or replaces its value (an existing item with an empty value included).
  static bool upsertKeychainValue(const std::string& value, const std::string& identifier, const std::string& appID);
  static void deleteKeychainValueWithIdentifier(const std::string& identifier, const std::string& appID);
};
