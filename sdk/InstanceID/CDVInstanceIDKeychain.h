// The one door to the keychain: every keychain call of the instance identity runs, one after
// another, on the serial queue "com.ombrix.CindervaleInstanceID.Keychain". Reads wait for their
// turn; additions and removals are queued and report on the main queue, in the order they ran.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "dispatch/Queue.h"
#include "foundation/Error.h"
#include "foundation/Value.h"
#include "security/SecItem.h"

class CDVInstanceIDKeyPair;

inline constexpr const char* kCDVInstanceIDKeychainQueueLabel = "com.ombrix.CindervaleInstanceID.Keychain";

class CDVInstanceIDKeychain {
 public:
  // Error or none; called on the main queue.
  using Handler = std::function<void(std::optional<platform::Error>)>;

  // The one object of the process (made on first use), or the one a test installed.
  static std::shared_ptr<CDVInstanceIDKeychain> sharedInstance();
  // Installs `keychain` as the shared instance (null: a new default one on next use); returns the
  // previous one.
  static std::shared_ptr<CDVInstanceIDKeychain> setSharedInstance(std::shared_ptr<CDVInstanceIDKeychain> keychain);

  // A keychain on its own serial queue, or on `queue` (tests pass a ManualQueue).
  explicit CDVInstanceIDKeychain(std::shared_ptr<platform::Queue> queue = nullptr);

  // The matched item (data, reference or attributes, as the query asks), or a null Value. Waits
  // for the queue; called from a block already on the queue it runs at once. `status`, when
  // given, receives the keychain's status (errSecMissingEntitlement included).
  platform::Value itemWithQuery(const platform::Dictionary& query, OSStatus* status = nullptr);
  // Removes every matching item; a missing item is no error.
  void removeItemWithQuery(const platform::Dictionary& query, Handler handler);
  void addItemWithQuery(const platform::Dictionary& query, Handler handler);
  // Removes the items of `removeQuery`, then (when given) adds `addQuery`, in one block, so no
  // other keychain call runs in between. The handler gets the removal's failure, else the add's.
  void replaceItemWithQuery(const platform::Dictionary& removeQuery, std::optional<platform::Dictionary> addQuery,
                            Handler handler);
  // Makes an RSA-2048 key pair stored under the two tags (see CDVInstanceIDKeyPair.h), replacing
  // any key items left under them. The answer holds whatever references and data could be read
  // back, valid or not.
  std::shared_ptr<CDVInstanceIDKeyPair> generateKeyPairWithPrivateTag(const std::string& privateTag,
                                                                      const std::string& publicTag);

  const std::shared_ptr<platform::Queue>& queue() const { return queue_; }

 private:
  static std::optional<platform::Error> removalError(OSStatus status, const platform::Dictionary& query);
  static std::optional<platform::Error> additionError(OSStatus status, bool log);
  std::shared_ptr<platform::Queue> queue_;
};
