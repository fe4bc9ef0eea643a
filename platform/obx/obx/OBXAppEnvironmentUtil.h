// Facts about the environment the app runs in. This platform cannot find them out, so they are
// process-wide values that the host or a test sets. Defaults: a simulator, not an app extension,
// not installed from the app store, no sandbox receipt, system version "16.4".
#pragma once

#include <string>

class OBXAppEnvironmentUtil {
 public:
  struct Environment {
    bool isAppExtension = false;
    bool isSimulator = true;
    bool isFromAppStore = false;
    bool isAppStoreReceiptSandbox = false;
    std::string systemVersion = "16.4";
  };

  static bool isAppExtension();
  static bool isSimulator();
  static bool isFromAppStore();
  static bool isAppStoreReceiptSandbox();
  // The operating-system version, e.g. "16.4".
  static std::string systemVersion();

  static Environment environment();
  // Replaces the environment; returns the previous one.
  static Environment setEnvironment(Environment environment);
};

// Sets the environment for the lifetime of the object.
class OBXScopedAppEnvironment {
 public:
  explicit OBXScopedAppEnvironment(OBXAppEnvironmentUtil::Environment environment)
      : previous_(OBXAppEnvironmentUtil::setEnvironment(std::move(environment))) {}
  ~OBXScopedAppEnvironment() { OBXAppEnvironmentUtil::setEnvironment(std::move(previous_)); }
  OBXScopedAppEnvironment(const OBXScopedAppEnvironment&) = delete;
  OBXScopedAppEnvironment& operator=(const OBXScopedAppEnvironment&) = delete;

 private:
  OBXAppEnvironmentUtil::Environment previous_;
};
