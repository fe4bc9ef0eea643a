// What the key functions share with the keychain store (not a public header).
#pragma once

#include <vector>

#include "security/SecItem.h"

namespace security_internal {

// Adds complete items (already checked) in one step under the keychain lock: all of them, or none
// when one would duplicate an existing item or another of the list.
OSStatus addItems(const std::vector<platform::Dictionary>& items);
// Whether every keychain call is refused (tests).
bool entitlementMissing();

}  // namespace security_internal
