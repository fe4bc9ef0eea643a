// Facts about the app's surroundings: the system version, the device model, whether the code runs
// in an app extension or the simulator, the store receipt and the application object.
// Thread-safe. The system's major version and the device model are read once per process.
#pragma once

#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "foundation/ClassRegistry.h"

class TLMAEU {
 public:
  // The system's major version is 7 or later.
  static bool isOSSupported();
  // The device's system version text, e.g. "16.4".
  static std::string systemVersion();
  // The machine name (uname); empty when it cannot be read.
  static std::optional<std::string> deviceModel();
  // The app runs in the simulator (machine "x86_64" or "i386").
  static bool isNOD();
  // The main bundle is an app extension (its path ends in ".appex").
  static bool isAEX();
  // The application object: none inside an app extension, else what the class registered as
  // "UIApplication" answers when it offers sharedApplication (foundation/SharedApplication.h).
  static std::shared_ptr<platform::Object> sharedApplication();
  // The path of the app's store receipt ("<bundle>/StoreKit/receipt", "sandboxReceipt" for a
  // sandbox purchase); none on an unsupported system, without a bundle path, or when the
  // Info.plist key "CindervaleAppStoreReceiptURLCheckEnabled" is a number that is false.
  static std::optional<std::string> appStoreRURL();
  // The store receipt is a sandbox receipt.
  static bool isASRS();

  // Tests: forgets the values read once per process.
  static void resetForTesting();
  // Tests: the lock of the values read once per process.
  static std::mutex& lockForTesting();
};
