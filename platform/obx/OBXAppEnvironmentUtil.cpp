#include "obx/OBXAppEnvironmentUtil.h"

#include <mutex>

namespace {

struct EnvironmentSlot {
  std::mutex mutex;
  OBXAppEnvironmentUtil::Environment environment;
};

EnvironmentSlot& slot() {
  static EnvironmentSlot* shared = new EnvironmentSlot();  // never destroyed
  return *shared;
}

}  // namespace

OBXAppEnvironmentUtil::Environment OBXAppEnvironmentUtil::environment() {
  std::lock_guard lock(slot().mutex);
  return slot().environment;
}

OBXAppEnvironmentUtil::Environment OBXAppEnvironmentUtil::setEnvironment(Environment environment) {
  std::lock_guard lock(slot().mutex);
  std::swap(slot().environment, environment);
  return environment;
}

bool OBXAppEnvironmentUtil::isAppExtension() { return environment().isAppExtension; }
bool OBXAppEnvironmentUtil::isSimulator() { return environment().isSimulator; }
bool OBXAppEnvironmentUtil::isFromAppStore() { return environment().isFromAppStore; }
bool OBXAppEnvironmentUtil::isAppStoreReceiptSandbox() { return environment().isAppStoreReceiptSandbox; }
std::string OBXAppEnvironmentUtil::systemVersion() { return environment().systemVersion; }
