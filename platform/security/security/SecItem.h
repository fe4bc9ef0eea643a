// The device keychain: small secret items kept by the system for the app, queried by dictionary.
//
// Items live in one property-list file under the sandbox's device root (foundation/Sandbox.h),
// "<device root>/Keychains/keychain.plist": the app's own, as its access group is on a phone,
// and outside its container, so they outlive a reinstall of the app
// (ScopedTemporarySandbox::wipeApp keeps them). When the sandbox has no device root to be had,
// every call answers errSecNoSuchKeychain and SecCopyErrorMessageString says why. Every call
// reads and writes that file under one process-wide lock: all functions are thread-safe, and a
// change is on disk when the call returns.
//
// Item classes: generic passwords (kSecClassGenericPassword), unique by service and account, and
// keys (kSecClassKey, security/SecKey.h), unique by application label, application tag, key
// type and key class; two keys may therefore share a tag. Each class has its attribute keys and
// the subset that makes an item unique in the class table in SecItem.cpp.
//
// Dictionaries hold attribute keys with property-list values (strings, data, numbers, dates),
// kSecValueData (data) and, in searches, kSecMatchLimit and the kSecReturn... flags. A key the
// item class does not know, a value of the wrong kind or a missing class gives errSecParam.
//
// Searches (SecItemCopyMatching, SecItemUpdate, SecItemDelete) match items whose attributes equal
// every attribute given, in the order the items were added. SecItemCopyMatching answers, per
// matched item: its data (kSecReturnData alone), its key reference (kSecReturnRef alone, key
// items only: a Value holding a SecKeyRef), or a dictionary of its attributes, with kSecValueData
// and kSecValueRef when those flags are set too (kSecReturnAttributes); one item
// (kSecMatchLimitOne, the default) or an array of all (kSecMatchLimitAll); nothing when no return
// flag is set. SecItemDelete removes every matched item and ignores limits and return flags.
//
// A key item is added from a key reference (kSecValueRef, see security/SecKey.h): the item takes
// the key's exported bytes as its data and the key's class, type, size and application label.
#pragma once

#include <cstdint>
#include <string>

#include "foundation/Value.h"

using OSStatus = std::int32_t;

inline constexpr OSStatus errSecSuccess = 0;
inline constexpr OSStatus errSecIO = -36;                   // the keychain file cannot be read or written
inline constexpr OSStatus errSecParam = -50;                // a malformed query or attribute
inline constexpr OSStatus errSecDuplicateItem = -25299;     // an item with the same unique attributes exists
inline constexpr OSStatus errSecItemNotFound = -25300;      // nothing matched
inline constexpr OSStatus errSecNotAvailable = -25291;      // keys cannot be made any more: the process is ending
inline constexpr OSStatus errSecMissingEntitlement = -34018;  // the app may not use the keychain
inline constexpr OSStatus errSecNoSuchKeychain = -25294;    // no folder to keep the keychain in

// Dictionary keys.
inline constexpr const char* kSecClass = "class";
inline constexpr const char* kSecAttrService = "service";
inline constexpr const char* kSecAttrAccount = "account";
inline constexpr const char* kSecAttrGeneric = "generic";
inline constexpr const char* kSecAttrLabel = "label";
inline constexpr const char* kSecAttrAccessible = "accessible";
inline constexpr const char* kSecValueData = "value-data";
inline constexpr const char* kSecMatchLimit = "match-limit";
inline constexpr const char* kSecReturnData = "return-data";
inline constexpr const char* kSecReturnAttributes = "return-attributes";
inline constexpr const char* kSecReturnRef = "return-ref";
inline constexpr const char* kSecValueRef = "value-ref";
// Key item attributes.
inline constexpr const char* kSecAttrApplicationTag = "application-tag";      // data
inline constexpr const char* kSecAttrApplicationLabel = "application-label";  // data: SHA-1 of the public key
inline constexpr const char* kSecAttrKeyType = "key-type";
inline constexpr const char* kSecAttrKeyClass = "key-class";
inline constexpr const char* kSecAttrKeySizeInBits = "key-size-in-bits";      // number
inline constexpr const char* kSecAttrIsPermanent = "is-permanent";            // key generation only

// Values of kSecClass.
inline constexpr const char* kSecClassGenericPassword = "generic-password";
inline constexpr const char* kSecClassKey = "key";

// Values of kSecAttrKeyType and kSecAttrKeyClass.
inline constexpr const char* kSecAttrKeyTypeRSA = "rsa";
inline constexpr const char* kSecAttrKeyClassPublic = "public";
inline constexpr const char* kSecAttrKeyClassPrivate = "private";

// Values of kSecAttrAccessible (kSecAttrAccessibleWhenUnlocked when an item is added without).
inline constexpr const char* kSecAttrAccessibleWhenUnlocked = "when-unlocked";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlock = "after-first-unlock";
inline constexpr const char* kSecAttrAccessibleAlways = "always";
inline constexpr const char* kSecAttrAccessibleWhenUnlockedThisDeviceOnly = "when-unlocked-this-device-only";
inline constexpr const char* kSecAttrAccessibleAfterFirstUnlockThisDeviceOnly =
    "after-first-unlock-this-device-only";
inline constexpr const char* kSecAttrAccessibleAlwaysThisDeviceOnly = "always-this-device-only";

// Values of kSecMatchLimit.
inline constexpr const char* kSecMatchLimitOne = "one";
inline constexpr const char* kSecMatchLimitAll = "all";

// Adds one item; `result` (may be null) receives what the return flags ask for.
OSStatus SecItemAdd(const platform::Dictionary& attributes, platform::Value* result);
// Finds items; `result` (may be null) receives the answer described above.
OSStatus SecItemCopyMatching(const platform::Dictionary& query, platform::Value* result);
// Sets `attributesToUpdate` (attributes and kSecValueData, never the class) on every matched item.
// errSecDuplicateItem, and nothing changed, when an item would then equal another one.
OSStatus SecItemUpdate(const platform::Dictionary& query, const platform::Dictionary& attributesToUpdate);
OSStatus SecItemDelete(const platform::Dictionary& query);

// What a status means; for errSecNoSuchKeychain, why there is no folder for the keychain now
// (the sandbox's reason: what is missing and what to set).
std::string SecCopyErrorMessageString(OSStatus status);

// Test support: while set, every call answers errSecMissingEntitlement (an app built without the
// keychain entitlement) and touches nothing.
void SecKeychainSetEntitlementMissingForTesting(bool missing);

class SecScopedMissingEntitlement {
 public:
  SecScopedMissingEntitlement() { SecKeychainSetEntitlementMissingForTesting(true); }
  ~SecScopedMissingEntitlement() { SecKeychainSetEntitlementMissingForTesting(false); }
  SecScopedMissingEntitlement(const SecScopedMissingEntitlement&) = delete;
  SecScopedMissingEntitlement& operator=(const SecScopedMissingEntitlement&) = delete;
};
