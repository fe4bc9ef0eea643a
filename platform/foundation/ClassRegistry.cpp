#include "foundation/ClassRegistry.h"

#include <cstdio>
#include <map>
#include <mutex>
#include <typeinfo>

namespace platform {

std::string Object::description() const {
  char address[32];
  std::snprintf(address, sizeof address, "%p", static_cast<const void*>(this));
  return std::string("<") + typeid(*this).name() + ": " + address + ">";
}

namespace {

struct Registry {
  std::mutex mutex;
  std::map<std::string, ClassRef, std::less<>> classes;
};

Registry& registry() {
  static Registry* instance = new Registry();  // never destroyed: usable during static teardown
  return *instance;
}

}  // namespace

void ClassRegistry::registerClass(ClassRef cls) {
  if (!cls) return;
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  r.classes[cls->className()] = std::move(cls);
}

bool ClassRegistry::unregisterClass(std::string_view name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(name);
  if (it == r.classes.end()) return false;
  r.classes.erase(it);
  return true;
}

ClassRef ClassRegistry::classNamed(std::string_view name) {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  auto it = r.classes.find(name);
  return it == r.classes.end() ? nullptr : it->second;
}

std::vector<std::string> ClassRegistry::registeredClassNames() {
  auto& r = registry();
  std::lock_guard lock(r.mutex);
  std::vector<std::string> names;
  for (const auto& [name, cls] : r.classes) names.push_back(name);
  return names;
}

void ClassRegistry::resetForTesting() {
  auto& r = registry();
  std::map<std::string, ClassRef, std::less<>> old;
  {
    std::lock_guard lock(r.mutex);
    old.swap(r.classes);
  }
}

}  // namespace platform
