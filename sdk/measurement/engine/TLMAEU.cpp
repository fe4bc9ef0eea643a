#include "measurement/engine/TLMAEU.h"

#include <sys/utsname.h>

#include <cstdlib>
#include <filesystem>
#include <mutex>

#include "foundation/Bundle.h"
#include "foundation/Files.h"
#include "foundation/SharedApplication.h"
#include "foundation/Text.h"
#include "obx/OBXAppEnvironmentUtil.h"

namespace {

struct OnceValues {
  std::mutex mutex;
  std::optional<int> majorVersion;
  std::optional<std::optional<std::string>> deviceModel;
};

OnceValues& onceValues() {
  static auto* values = new OnceValues();  // never destroyed: threads may outlive main()
  return *values;
}

}  // namespace

bool TLMAEU::isOSSupported() {
  OnceValues& values = onceValues();
  std::lock_guard<std::mutex> lock(values.mutex);
  if (!values.majorVersion) {
    // The leading integer of the version text, as the platform reads "16.4" as 16.
    values.majorVersion = static_cast<int>(std::strtol(systemVersion().c_str(), nullptr, 10));
  }
  return *values.majorVersion > 6;
}

std::string TLMAEU::systemVersion() { return OBXAppEnvironmentUtil::systemVersion(); }

std::optional<std::string> TLMAEU::deviceModel() {
  OnceValues& values = onceValues();
  std::lock_guard<std::mutex> lock(values.mutex);
  if (!values.deviceModel) {
    struct utsname info {};
    values.deviceModel = ::uname(&info) == 0 ? std::optional<std::string>(info.machine) : std::nullopt;
  }
  return *values.deviceModel;
}

bool TLMAEU::isNOD() {
  const std::optional<std::string> model = deviceModel();
  return model == "x86_64" || model == "i386";
}

bool TLMAEU::isAEX() {
  std::string path = platform::Bundle::main()->bundlePath();
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  return platform::text::hasSuffix(path, ".appex");
}

std::shared_ptr<platform::Object> TLMAEU::sharedApplication() {
  if (isAEX()) return nullptr;
  const auto application =
      std::dynamic_pointer_cast<platform::SharedApplicationClass>(platform::ClassRegistry::classNamed("UIApplication"));
  return application ? application->sharedApplication() : nullptr;
}

std::optional<std::string> TLMAEU::appStoreRURL() {
  if (!isOSSupported()) return std::nullopt;
  const std::shared_ptr<const platform::Bundle> bundle = platform::Bundle::main();
  const platform::Value& check = bundle->objectForInfoDictionaryKey("CindervaleAppStoreReceiptURLCheckEnabled");
  if (check.isNumber() && !check.boolValue().value_or(true)) return std::nullopt;
  if (bundle->bundlePath().empty()) return std::nullopt;
  const char* receipt = OBXAppEnvironmentUtil::isAppStoreReceiptSandbox() ? "sandboxReceipt" : "receipt";
  return platform::files::join(platform::files::join(bundle->bundlePath(), "StoreKit"), receipt);
}

bool TLMAEU::isASRS() {
  const std::optional<std::string> url = appStoreRURL();
  return url && std::filesystem::path(*url).filename() == "sandboxReceipt";
}

std::mutex& TLMAEU::lockForTesting() { return onceValues().mutex; }

void TLMAEU::resetForTesting() {
  OnceValues& values = onceValues();
  std::lock_guard<std::mutex> lock(values.mutex);
  values.majorVersion.reset();
  values.deviceModel.reset();
}
