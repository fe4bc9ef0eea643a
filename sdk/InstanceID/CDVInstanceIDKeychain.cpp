#include "InstanceID/CDVInstanceIDKeychain.h"

#include <mutex>

#include "InstanceID/CDVInstanceIDError.h"
#include "InstanceID/CDVInstanceIDLogger.h"

namespace {

struct SharedSlot {
  std::mutex mutex;
  std::shared_ptr<CDVInstanceIDKeychain> keychain;
};

SharedSlot& sharedSlot() {
  static SharedSlot* slot = new SharedSlot();  // never destroyed: threads may outlive main()
  return *slot;
}

void callOnMain(const CDVInstanceIDKeychain::Handler& handler, std::optional<platform::Error> error) {
  if (!handler) return;
  platform::Queue::main()->async([handler, error = std::move(error)] { handler(error); });
}

}  // namespace

std::shared_ptr<CDVInstanceIDKeychain> CDVInstanceIDKeychain::sharedInstance() {
  std::lock_guard lock(sharedSlot().mutex);
  if (!sharedSlot().keychain) sharedSlot().keychain = std::make_shared<CDVInstanceIDKeychain>();
  return sharedSlot().keychain;
}

std::shared_ptr<CDVInstanceIDKeychain> CDVInstanceIDKeychain::setSharedInstance(std::shared_ptr<CDVInstanceIDKeychain> keychain) {
  std::lock_guard lock(sharedSlot().mutex);
  std::swap(sharedSlot().keychain, keychain);
  return keychain;
}

CDVInstanceIDKeychain::CDVInstanceIDKeychain(std::shared_ptr<platform::Queue> queue)
    : queue_(queue ? std::move(queue) : platform::Queue::serial(kCDVInstanceIDKeychainQueueLabel)) {}

platform::Value CDVInstanceIDKeychain::itemWithQuery(const platform::Dictionary& query, OSStatus* status) {
  platform::Value result;
  OSStatus answer = errSecSuccess;
  queue_->sync([&] {
    answer = SecItemCopyMatching(query, &result);
    if (answer != errSecSuccess) {
      result = platform::Value();
      CDVInstanceIDLoggerDebug(23000, "Info is not found in Keychain. OSStatus: %d. Keychain query: %@", answer,
                               platform::Value(query));
    }
  });
  if (status != nullptr) *status = answer;
  return result;
}

std::optional<platform::Error> CDVInstanceIDKeychain::removalError(OSStatus status, const platform::Dictionary& query) {
  if (status == errSecSuccess) return std::nullopt;
  CDVInstanceIDLoggerDebug(23002, "Couldn't delete item from Keychain OSStatus: %d with the keychain query %@", status,
                           platform::Value(query));
  if (status == errSecItemNotFound) return std::nullopt;
  return CDVInstanceIDKeychainError(status);
}

std::optional<platform::Error> CDVInstanceIDKeychain::additionError(OSStatus status, bool log) {
  if (status == errSecSuccess) return std::nullopt;
  if (log) CDVInstanceIDLoggerWarning(23001, "Couldn't add item to Keychain OSStatus: %d", status);
  return CDVInstanceIDKeychainError(status);
}

void CDVInstanceIDKeychain::removeItemWithQuery(const platform::Dictionary& query, Handler handler) {
  queue_->async([query, handler = std::move(handler)] {
    std::optional<platform::Error> error = removalError(SecItemDelete(query), query);
    callOnMain(handler, std::move(error));
  });
}

void CDVInstanceIDKeychain::addItemWithQuery(const platform::Dictionary& query, Handler handler) {
  queue_->async([query, handler = std::move(handler)] {
    std::optional<platform::Error> error = additionError(SecItemAdd(query, nullptr), static_cast<bool>(handler));
    callOnMain(handler, std::move(error));
  });
}

void CDVInstanceIDKeychain::replaceItemWithQuery(const platform::Dictionary& removeQuery,
                                                 std::optional<platform::Dictionary> addQuery, Handler handler) {
  queue_->async([removeQuery, addQuery = std::move(addQuery), handler = std::move(handler)] {
    std::optional<platform::Error> error = removalError(SecItemDelete(removeQuery), removeQuery);
    if (!error && addQuery) error = additionError(SecItemAdd(*addQuery, nullptr), static_cast<bool>(handler));
    callOnMain(handler, std::move(error));
  });
}
