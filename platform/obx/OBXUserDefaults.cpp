#include "obx/OBXUserDefaults.h"

#include "foundation/UserDefaults.h"

OBXUserDefaults& OBXUserDefaults::standardUserDefaults() {
  static OBXUserDefaults* shared = new OBXUserDefaults();  // never destroyed
  return *shared;
}

std::optional<std::string> OBXUserDefaults::stringForKey(const std::string& key) const {
  platform::Value value = platform::UserDefaults::standard().objectForKey(key);
  if (!value.isString()) return std::nullopt;
  return value.stringValue();
}

void OBXUserDefaults::setObject(const platform::Value& value, const std::string& key) {
  if (value.isNull()) {
    platform::UserDefaults::standard().removeObjectForKey(key);
  } else {
    platform::UserDefaults::standard().setObject(value, key);
  }
}
