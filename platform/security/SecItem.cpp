#include "security/SecItem.h"

#include "SecItemInternal.h"
#include "security/SecKey.h"

#include <algorithm>
#include <atomic>
#include <mutex>
#include <string>
#include <vector>

#include "foundation/Files.h"
#include "foundation/PropertyList.h"
#include "foundation/Sandbox.h"

using platform::Dictionary;
using platform::Value;

namespace {

struct ItemClass {
  std::string name;
  std::vector<std::string> attributes;  // attribute keys an item of the class may carry
  std::vector<std::string> uniqueBy;    // attributes that tell two items of the class apart
  bool hasReferences = false;           // items can be handed out as references (kSecReturnRef)
};

const std::vector<ItemClass>& itemClasses() {
  static const auto* classes = new std::vector<ItemClass>{
      {kSecClassGenericPassword,
       {kSecAttrService, kSecAttrAccount, kSecAttrGeneric, kSecAttrLabel, kSecAttrAccessible},
       {kSecAttrService, kSecAttrAccount}},
      {kSecClassKey,
       {kSecAttrApplicationTag, kSecAttrApplicationLabel, kSecAttrKeyType, kSecAttrKeyClass, kSecAttrKeySizeInBits,
        kSecAttrLabel, kSecAttrAccessible},
       {kSecAttrApplicationLabel, kSecAttrApplicationTag, kSecAttrKeyType, kSecAttrKeyClass},
       true},
  };
  return *classes;
}

const ItemClass* classNamed(const Value& name) {
  const std::string* text = name.stringPtr();
  if (text == nullptr) return nullptr;
  for (const ItemClass& itemClass : itemClasses()) {
    if (itemClass.name == *text) return &itemClass;
  }
  return nullptr;
}

bool contains(const std::vector<std::string>& keys, const std::string& key) {
  return std::find(keys.begin(), keys.end(), key) != keys.end();
}

bool isValidAccessibility(const Value& value) {
  static const std::vector<std::string>& known = *new std::vector<std::string>{
      kSecAttrAccessibleWhenUnlocked, kSecAttrAccessibleAfterFirstUnlock, kSecAttrAccessibleAlways,
      kSecAttrAccessibleWhenUnlockedThisDeviceOnly, kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly,
      kSecAttrAccessibleAlwaysThisDeviceOnly};
  const std::string* text = value.stringPtr();
  return text != nullptr && contains(known, *text);
}

// An attribute value the keychain can keep and compare.
bool isValidAttribute(const std::string& key, const Value& value) {
  if (key == kSecAttrAccessible) return isValidAccessibility(value);
  return value.isString() || value.isData() || value.isNumber() || value.isDate();
}

bool readFlag(const Value& value, bool& flag) {
  if (!value.isNumber()) return false;
  flag = value.boolValue().value_or(false);
  return true;
}

// A parsed search: the class, the attributes to match and what to answer.
struct Search {
  const ItemClass* itemClass = nullptr;
  Dictionary match;
  bool returnData = false;
  bool returnAttributes = false;
  bool returnRef = false;
  bool limitAll = false;
};

OSStatus parseSearch(const Dictionary& query, Search& search) {
  search.itemClass = classNamed(query.get(kSecClass));
  if (search.itemClass == nullptr) return errSecParam;
  for (const auto& [key, value] : query) {
    if (key == kSecClass) continue;
    if (key == kSecReturnData) {
      if (!readFlag(value, search.returnData)) return errSecParam;
    } else if (key == kSecReturnAttributes) {
      if (!readFlag(value, search.returnAttributes)) return errSecParam;
    } else if (key == kSecReturnRef) {
      if (!readFlag(value, search.returnRef) || (search.returnRef && !search.itemClass->hasReferences)) return errSecParam;
    } else if (key == kSecMatchLimit) {
      const std::string* limit = value.stringPtr();
      if (limit == nullptr || (*limit != kSecMatchLimitOne && *limit != kSecMatchLimitAll)) return errSecParam;
      search.limitAll = *limit == kSecMatchLimitAll;
    } else if (contains(search.itemClass->attributes, key) && isValidAttribute(key, value)) {
      search.match.set(key, value);
    } else {
      return errSecParam;
    }
  }
  return errSecSuccess;
}

bool matches(const Dictionary& item, const Search& search) {
  if (item.get(kSecClass) != Value(search.itemClass->name)) return false;
  for (const auto& [key, value] : search.match) {
    if (item.get(key) != value) return false;
  }
  return true;
}

// Two items of one class that no search on their unique attributes could tell apart.
bool sameIdentity(const Dictionary& a, const Dictionary& b, const ItemClass& itemClass) {
  if (a.get(kSecClass) != b.get(kSecClass)) return false;
  for (const std::string& key : itemClass.uniqueBy) {
    if (a.get(key) != b.get(key)) return false;
  }
  return true;
}

// The reference of a key item.
Value referenceFor(const Dictionary& item) {
  const Value& data = item.get(kSecValueData);
  const Value& label = item.get(kSecAttrApplicationLabel);
  return SecKeyValue(std::make_shared<SecKey>(item.get(kSecAttrKeyClass).stringValue().value_or(std::string()),
                                              item.get(kSecAttrKeyType).stringValue().value_or(std::string()),
                                              static_cast<int>(item.get(kSecAttrKeySizeInBits).int64Value().value_or(0)),
                                              data.isData() ? *data.dataPtr() : platform::Bytes{},
                                              label.isData() ? *label.dataPtr() : platform::Bytes{}));
}

Value answerFor(const Dictionary& item, bool returnData, bool returnAttributes, bool returnRef = false) {
  if (!returnAttributes) {
    if (returnRef && !returnData) return referenceFor(item);
    return item.get(kSecValueData).isData() ? item.get(kSecValueData) : Value(platform::Bytes{});
  }
  Dictionary attributes;
  for (const auto& [key, value] : item) {
    if (key != kSecValueData) attributes.set(key, value);
  }
  if (returnData) {
    const Value& data = item.get(kSecValueData);
    attributes.set(kSecValueData, data.isData() ? data : Value(platform::Bytes{}));
  }
  if (returnRef) attributes.set(kSecValueRef, referenceFor(item));
  return Value(std::move(attributes));
}

std::mutex& keychainMutex() {
  static auto* mutex = new std::mutex();  // never destroyed: threads may outlive main()
  return *mutex;
}

std::atomic<bool>& entitlementMissingFlag() {
  static auto* missing = new std::atomic<bool>(false);
  return *missing;
}

// The folder of the keychain file; the empty string when the sandbox has no device root.
std::string keychainDirectory(platform::Error* error = nullptr) {
  const std::string device = platform::sandbox::folder(&platform::sandbox::deviceRoot, error);
  return device.empty() ? device : platform::files::join(device, "Keychains");
}

// The stored items; errSecIO when the file exists but cannot be read as a list of items (it is
// then left alone rather than overwritten), errSecNoSuchKeychain without a folder for it.
OSStatus loadItems(std::vector<Dictionary>& items) {
  items.clear();
  const std::string directory = keychainDirectory();
  if (directory.empty()) return errSecNoSuchKeychain;
  const std::string path = platform::files::join(directory, "keychain.plist");
  if (!platform::files::exists(path)) return errSecSuccess;
  std::optional<Value> stored = platform::plist::readFile(path);
  if (!stored || !stored->isArray()) return errSecIO;
  for (const Value& item : *stored->arrayPtr()) {
    if (!item.isDictionary()) return errSecIO;
    items.push_back(*item.dictionaryPtr());
  }
  return errSecSuccess;
}

OSStatus saveItems(const std::vector<Dictionary>& items) {
  const std::string directory = keychainDirectory();
  if (directory.empty()) return errSecNoSuchKeychain;
  if (!platform::files::createDirectories(directory)) return errSecIO;
  platform::Array array;
  array.reserve(items.size());
  for (const Dictionary& item : items) array.emplace_back(item);
  return platform::plist::writeFile(platform::files::join(directory, "keychain.plist"), Value(std::move(array)),
                                    platform::plist::Format::Binary)
             ? errSecSuccess
             : errSecIO;
}

}  // namespace

OSStatus SecItemAdd(const Dictionary& attributes, Value* result) {
  if (entitlementMissingFlag()) return errSecMissingEntitlement;
  const ItemClass* itemClass = classNamed(attributes.get(kSecClass));
  if (itemClass == nullptr) return errSecParam;
  Dictionary item;
  bool returnData = false;
  bool returnAttributes = false;
  for (const auto& [key, value] : attributes) {
    if (key == kSecReturnData) {
      if (!readFlag(value, returnData)) return errSecParam;
    } else if (key == kSecReturnAttributes) {
      if (!readFlag(value, returnAttributes)) return errSecParam;
    } else if (key == kSecValueData) {
      if (!value.isData()) return errSecParam;
      item.set(key, value);
    } else if (key == kSecValueRef) {
      SecKeyRef keyRef = SecKeyFromValue(value);
      if (!itemClass->hasReferences || !keyRef) return errSecParam;
      item.set(kSecValueData, keyRef->externalRepresentation());
      item.set(kSecAttrKeyClass, keyRef->keyClass());
      item.set(kSecAttrKeyType, keyRef->keyType());
      item.set(kSecAttrKeySizeInBits, static_cast<std::int64_t>(keyRef->sizeInBits()));
      if (!attributes.contains(kSecAttrApplicationLabel)) item.set(kSecAttrApplicationLabel, keyRef->applicationLabel());
    } else if (key == kSecClass || (contains(itemClass->attributes, key) && isValidAttribute(key, value))) {
      item.set(key, value);
    } else {
      return errSecParam;
    }
  }
  if (!item.contains(kSecAttrAccessible)) item.set(kSecAttrAccessible, kSecAttrAccessibleWhenUnlocked);

  if (OSStatus status = security_internal::addItems({item}); status != errSecSuccess) return status;
  if (result != nullptr && (returnData || returnAttributes)) *result = answerFor(item, returnData, returnAttributes);
  return errSecSuccess;
}

OSStatus SecItemCopyMatching(const Dictionary& query, Value* result) {
  if (entitlementMissingFlag()) return errSecMissingEntitlement;
  Search search;
  if (OSStatus status = parseSearch(query, search); status != errSecSuccess) return status;

  std::lock_guard<std::mutex> lock(keychainMutex());
  std::vector<Dictionary> items;
  if (OSStatus status = loadItems(items); status != errSecSuccess) return status;
  platform::Array answers;
  for (const Dictionary& item : items) {
    if (!matches(item, search)) continue;
    answers.push_back(answerFor(item, search.returnData, search.returnAttributes, search.returnRef));
    if (!search.limitAll) break;
  }
  if (answers.empty()) return errSecItemNotFound;
  if (result != nullptr && (search.returnData || search.returnAttributes || search.returnRef)) {
    *result = search.limitAll ? Value(std::move(answers)) : answers.front();
  }
  return errSecSuccess;
}

OSStatus SecItemUpdate(const Dictionary& query, const Dictionary& attributesToUpdate) {
  if (entitlementMissingFlag()) return errSecMissingEntitlement;
  Search search;
  if (OSStatus status = parseSearch(query, search); status != errSecSuccess) return status;
  if (search.returnData || search.returnAttributes || search.returnRef || attributesToUpdate.empty()) return errSecParam;
  for (const auto& [key, value] : attributesToUpdate) {
    const bool valid = key == kSecValueData ? value.isData()
                                            : contains(search.itemClass->attributes, key) && isValidAttribute(key, value);
    if (!valid) return errSecParam;
  }

  std::lock_guard<std::mutex> lock(keychainMutex());
  std::vector<Dictionary> items;
  if (OSStatus status = loadItems(items); status != errSecSuccess) return status;
  std::vector<bool> updated(items.size(), false);
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!matches(items[i], search)) continue;
    for (const auto& [key, value] : attributesToUpdate) items[i].set(key, value);
    updated[i] = true;
  }
  if (std::find(updated.begin(), updated.end(), true) == updated.end()) return errSecItemNotFound;
  for (std::size_t i = 0; i < items.size(); ++i) {
    if (!updated[i]) continue;
    for (std::size_t j = 0; j < items.size(); ++j) {
      if (j != i && sameIdentity(items[i], items[j], *search.itemClass)) return errSecDuplicateItem;
    }
  }
  return saveItems(items);
}

OSStatus SecItemDelete(const Dictionary& query) {
  if (entitlementMissingFlag()) return errSecMissingEntitlement;
  Search search;
  if (OSStatus status = parseSearch(query, search); status != errSecSuccess) return status;

  std::lock_guard<std::mutex> lock(keychainMutex());
  std::vector<Dictionary> items;
  if (OSStatus status = loadItems(items); status != errSecSuccess) return status;
  const auto removed = std::remove_if(items.begin(), items.end(),
                                      [&](const Dictionary& item) { return matches(item, search); });
  if (removed == items.end()) return errSecItemNotFound;
  items.erase(removed, items.end());
  return saveItems(items);
}

std::string SecCopyErrorMessageString(OSStatus status) {
  switch (status) {
    case errSecSuccess: return "No error.";
    case errSecIO: return "The keychain file cannot be read or written.";
    case errSecParam: return "One or more parameters passed to a function were not valid.";
    case errSecDuplicateItem: return "The specified item already exists in the keychain.";
    case errSecItemNotFound: return "The specified item could not be found in the keychain.";
    case errSecNotAvailable: return "No keychain is available: the process is ending.";
    case errSecMissingEntitlement: return "A required entitlement isn't present.";
    case errSecNoSuchKeychain: {
      platform::Error error;
      if (keychainDirectory(&error).empty()) return error.description;
      return "The specified keychain could not be found.";
    }
    default: return "Unknown keychain status " + std::to_string(status) + ".";
  }
}

void SecKeychainSetEntitlementMissingForTesting(bool missing) { entitlementMissingFlag() = missing; }

bool security_internal::entitlementMissing() { return entitlementMissingFlag(); }

OSStatus security_internal::addItems(const std::vector<Dictionary>& newItems) {
  std::lock_guard<std::mutex> lock(keychainMutex());
  std::vector<Dictionary> items;
  if (OSStatus status = loadItems(items); status != errSecSuccess) return status;
  for (const Dictionary& item : newItems) {
    const ItemClass* itemClass = classNamed(item.get(kSecClass));
    if (itemClass == nullptr) return errSecParam;
    for (const Dictionary& existing : items) {
      if (sameIdentity(existing, item, *itemClass)) return errSecDuplicateItem;
    }
    items.push_back(item);
  }
  return saveItems(items);
}
