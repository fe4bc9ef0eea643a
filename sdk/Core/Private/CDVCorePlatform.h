// The few platform services the core uses, in one place.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "foundation/Bundle.h"
#include "foundation/NotificationCenter.h"
#include "foundation/ProcessInfo.h"
#include "foundation/PropertyList.h"
#include "foundation/UserDefaults.h"
#include "foundation/Value.h"

namespace cdv_platform {

// A notification's user info under construction.
class UserInfo {
 public:
  void set(const std::string& key, platform::Value value) { values_.set(key, std::move(value)); }
  // Objects travel wrapped as exactly std::shared_ptr<T>: observers read them back with
  // Value::objectAs<T>().
  template <typename T>
  void setObject(const std::string& key, std::shared_ptr<T> object) {
    values_.set(key, platform::Value::object(std::move(object)));
  }
  platform::Value value() const { return platform::Value(values_); }

 private:
  platform::Dictionary values_;
};

inline std::vector<std::string> launchArguments() { return platform::ProcessInfo::arguments(); }

inline platform::Value defaultsObject(const std::string& key) {
  return platform::UserDefaults::standard().objectForKey(key);
}
inline bool defaultsBool(const std::string& key) {
  return platform::UserDefaults::standard().boolForKey(key);
}
inline void defaultsSet(const std::string& key, const platform::Value& value) {
  platform::UserDefaults::standard().setObject(value, key);
}
inline void defaultsRemove(const std::string& key) {
  platform::UserDefaults::standard().removeObjectForKey(key);
}
inline void defaultsSynchronize() { platform::UserDefaults::standard().synchronize(); }

inline platform::Dictionary mainBundleInfoDictionary() {
  auto bundle = platform::Bundle::main();
  if (!bundle) return {};
  const platform::Dictionary* info = bundle->infoDictionary().dictionaryPtr();
  return info ? *info : platform::Dictionary();
}
inline std::optional<std::string> mainBundleIdentifier() {
  auto bundle = platform::Bundle::main();
  return bundle ? bundle->bundleIdentifier() : std::nullopt;
}

inline std::optional<platform::Value> readPropertyListFile(const std::string& path, platform::Error* error = nullptr) {
  return platform::plist::readResource(path, error);
}

inline void postNotification(const std::string& name, platform::Value object, const UserInfo& userInfo) {
  platform::NotificationCenter::defaultCenter().post(name, std::move(object), userInfo.value());
}

// Whether the process runs as an app extension.
bool isAppExtension();

}  // namespace cdv_platform
