#include "foundation/Bundle.h"

#include <cstdlib>
#include <map>
#include <mutex>

#include "foundation/Files.h"
#include "foundation/PropertyList.h"

namespace platform {

namespace {

struct BundleRegistry {
  std::mutex mutex;
  std::shared_ptr<const Bundle> main;
  std::map<std::string, std::shared_ptr<const Bundle>, std::less<>> byClass;
};

BundleRegistry& bundleRegistry() {
  static BundleRegistry* r = new BundleRegistry();  // never destroyed: threads may outlive main()
  return *r;
}
// Made as the program loads: a child forked while another thread made it would wait for ever on
// its guard.
[[maybe_unused]] const BundleRegistry& gRegistryMadeAtLoad = bundleRegistry();

std::shared_ptr<const Bundle> defaultMain() {
  if (std::optional<std::string> path = Bundle::mainPathFromEnvironment()) {
    if (auto bundle = Bundle::atPath(*path)) return bundle;
  }
  return std::make_shared<Bundle>(std::string(), Value());
}

}  // namespace

Bundle::Bundle(std::string path, Value infoDictionary) : path_(std::move(path)), info_(std::move(infoDictionary)) {}

std::shared_ptr<const Bundle> Bundle::atPath(const std::string& path) {
  if (!files::isDirectory(path)) return nullptr;
  Value info;
  std::shared_ptr<Error> unread;
  std::string infoPath = files::join(path, "Info.plist");
  if (files::exists(infoPath)) {
    Error error;
    if (auto read = plist::readResource(infoPath, &error); read && read->isDictionary()) {
      info = *read;
    } else if (!read) {
      unread = std::make_shared<Error>(std::move(error));
    }
  }
  auto bundle = std::make_shared<Bundle>(path, std::move(info));
  bundle->infoError_ = std::move(unread);
  return bundle;
}

std::shared_ptr<const Bundle> Bundle::main() {
  BundleRegistry& r = bundleRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (r.main) return r.main;
  std::shared_ptr<const Bundle> made = defaultMain();
  // Without a descriptor its Info.plist could not be read now; it can be once one is free.
  if (const Error* unread = made->infoError(); unread == nullptr || !files::outOfDescriptors(*unread, "")) {
    r.main = made;
  }
  return made;
}

std::optional<std::string> Bundle::mainPathFromEnvironment() {
  const char* path = std::getenv("VESMORA_MAIN_BUNDLE");
  if (path == nullptr || *path == '\0') return std::nullopt;
  return std::string(path);
}

void Bundle::setMain(std::shared_ptr<const Bundle> bundle) {
  BundleRegistry& r = bundleRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.main = std::move(bundle);
}

std::shared_ptr<const Bundle> Bundle::forClass(std::string_view className) {
  {
    BundleRegistry& r = bundleRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.byClass.find(className);
    if (it != r.byClass.end()) return it->second;
  }
  return main();
}

void Bundle::setBundleForClass(const std::string& className, std::shared_ptr<const Bundle> bundle) {
  BundleRegistry& r = bundleRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  if (bundle) {
    r.byClass[className] = std::move(bundle);
  } else {
    r.byClass.erase(className);
  }
}

void Bundle::resetForTesting() {
  BundleRegistry& r = bundleRegistry();
  std::lock_guard<std::mutex> lock(r.mutex);
  r.main.reset();
  r.byClass.clear();
}

std::optional<std::string> Bundle::bundleIdentifier() const { return info_["CFBundleIdentifier"].stringValue(); }

std::optional<std::string> Bundle::pathForResource(std::string_view name, std::string_view type,
                                                   std::string_view directory) const {
  if (path_.empty() || name.empty()) return std::nullopt;
  std::string file(name);
  if (!type.empty()) {
    if (type.front() != '.') file += '.';
    file += type;
  }
  std::string dir = directory.empty() ? path_ : files::join(path_, std::string(directory));
  std::string full = files::join(dir, file);
  if (!files::exists(full) || files::isDirectory(full)) return std::nullopt;
  return full;
}

}  // namespace platform
