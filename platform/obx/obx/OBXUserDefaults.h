// The vendor utilities' view of the standard user defaults (foundation/UserDefaults.h).
#pragma once

#include <optional>
#include <string>

#include "foundation/Value.h"

class OBXUserDefaults {
 public:
  static OBXUserDefaults& standardUserDefaults();

  // The text stored under `key`; nothing when absent or not a text.
  std::optional<std::string> stringForKey(const std::string& key) const;
  // Stores a property-list value; a null value removes the key.
  void setObject(const platform::Value& value, const std::string& key);

 private:
  OBXUserDefaults() = default;
};
